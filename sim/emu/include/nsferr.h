/* Statuses of the NSF package (values as the C API's Java bindings carry them). */
#ifndef TARN_EMU_NSFERR_H
#define TARN_EMU_NSFERR_H

#include "global.h"

#define ERR_ITEM_NOT_FOUND (PKG_NSF + 34)  /* 0x0222 */
#define ERR_NOTE_DELETED (PKG_NSF + 37)    /* 0x0225 */
#define ERR_INVALID_NOTE (PKG_NSF + 39)    /* 0x0227 */
#define ERR_SUMMARY_TOO_BIG (PKG_NSF + 49) /* 0x0231 */
#define ERR_NO_MODIFIED_NOTES (PKG_NSF + 60) /* 0x023C: not a failure */
#define ERR_EM_CONTINUE (PKG_NSF + 213)    /* 0x02D5 = 725 */

#endif
