/* Statuses of the MISC package (values as the C API's Java bindings carry them). */
#ifndef TARN_EMU_MISCERR_H
#define TARN_EMU_MISCERR_H

#include "global.h"

#define ERR_NOT_FOUND (PKG_MISC + 4)            /* 0x0404 */
#define ERR_MQ_POOLFULL (PKG_MISC + 94)         /* 0x045E */
#define ERR_MQ_TIMEOUT (PKG_MISC + 95)          /* 0x045F */
#define ERR_DUPLICATE_MQ (PKG_MISC + 97)        /* 0x0461 */
#define ERR_NO_SUCH_MQ (PKG_MISC + 98)          /* 0x0462 */
#define ERR_MQ_EXCEEDED_QUOTA (PKG_MISC + 99)   /* 0x0463 */
#define ERR_MQ_EMPTY (PKG_MISC + 100)           /* 0x0464 */
#define ERR_MQ_BFR_TOO_SMALL (PKG_MISC + 101)   /* 0x0465 */
#define ERR_MQ_QUITTING (PKG_MISC + 102)        /* 0x0466 */
#define ERR_STAT_NOT_FOUND (PKG_MISC + 82)      /* 0x0452 */
#define ERR_STAT_NOT_SET (PKG_MISC + 103)       /* 0x0467 */
#define ERR_MISC_INVALID_ARGS (PKG_MISC + 149)  /* 0x0495 */

#endif
