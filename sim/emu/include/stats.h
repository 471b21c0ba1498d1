/* Server statistics: values under a facility, shown by the console's
   "show stat Facility[.Name]". Names, values and prototypes as the C API
   reference gives them. */
#ifndef TARN_EMU_STATS_H
#define TARN_EMU_STATS_H

#include "global.h"

/* Value types. VT_LONG is a LONG (32-bit), VT_NUMBER a NUMBER (double),
   VT_TEXT a terminated string, VT_TIMEDATE a TIMEDATE. */
#define VT_LONG 0
#define VT_TEXT 1
#define VT_TIMEDATE 2
#define VT_NUMBER 3

/* Flags of StatUpdate. */
#define ST_UNIQUE 0x0001
#define ST_ADDITIVE 0x0002
#define ST_RESETABLE 0x0003

#ifdef __cplusplus
extern "C" {
#endif

typedef STATUS(LNCALLBACKPTR STATTRAVERSEPROC)(void FAR *Context, char FAR *Facility, char FAR *StatName,
                                               WORD ValueType, void FAR *Value);

STATUS LNPUBLIC StatUpdate(const char FAR *Facility, const char FAR *StatName, WORD Flags, WORD ValueType,
                           const void FAR *Value);
void LNPUBLIC StatDelete(const char FAR *Facility, const char FAR *StatName);
STATUS LNPUBLIC StatReset(const char *Facility, const char *StatName);
/* Facility NULL: every facility; StatName NULL: every statistic of it. A
   routine answering an error ends the walk. */
void LNPUBLIC StatTraverse(char FAR *Facility, char FAR *StatName, STATTRAVERSEPROC Routine, void FAR *Context);
/* Every statistic, one line each: NamePrefix Facility.Name ValuePrefix value
   LineSuffix, after HeaderString; a terminated text in a block the caller
   frees (OSMemFree). retStatsLength leaves the terminator out. */
STATUS LNPUBLIC StatQuery(char FAR *HeaderString, char FAR *NamePrefix, char FAR *ValuePrefix, char FAR *LineSuffix,
                          DHANDLE FAR *rethStats, DWORD FAR *retStatsLength);

#ifdef __cplusplus
}
#endif

#endif
