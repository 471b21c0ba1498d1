/* Id tables. */
#ifndef TARN_EMU_IDTABLE_H
#define TARN_EMU_IDTABLE_H

#include "global.h"

#define RRV_DELETED 0x80000000

#ifdef __cplusplus
extern "C" {
#endif
/* fFirst TRUE on the first call; later calls pass FALSE with *retID as the
   previous call left it. Ascending; FALSE when empty or exhausted. */
BOOL LNPUBLIC IDScan(DHANDLE hTable, BOOL fFirst, DWORD FAR *retID);
DWORD LNPUBLIC IDEntries(DHANDLE hTable);
STATUS LNPUBLIC IDDestroyTable(DHANDLE hTable);
#ifdef __cplusplus
}
#endif

#endif
