/* Locking a block inside a pool: the BLOCKID macros. */
#ifndef TARN_EMU_POOL_H
#define TARN_EMU_POOL_H

#include "global.h"

#ifdef __cplusplus
extern "C" {
#endif
void FAR *LNPUBLIC OSLockObject(DHANDLE Handle);
BOOL LNPUBLIC OSUnlockObject(DHANDLE Handle);
#ifdef __cplusplus
}
#endif

#define OSLock(t, h) ((t FAR *)OSLockObject(h))
#define OSLockBlock(t, b) ((t FAR *)(OSLock(char, (b).pool) + (b).block))
#define OSUnlockBlock(b) OSUnlockObject((b).pool)
#define NULLBLOCK 0
#define ISNULLBLOCKID(b) ((b).pool == NULLHANDLE)

#endif
