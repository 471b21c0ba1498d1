/* Memory objects: lock, unlock, free. */
#ifndef TARN_EMU_OSMEM_H
#define TARN_EMU_OSMEM_H

#include "global.h"
#include "pool.h"

#ifdef __cplusplus
extern "C" {
#endif
/* Free only what a function hands over to the caller (a read-entries
   buffer); note, item and profile memory belongs to its owner. */
STATUS LNPUBLIC OSMemFree(DHANDLE Handle);
#ifdef __cplusplus
}
#endif

#endif
