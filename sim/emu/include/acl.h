/* Access control lists. */
#ifndef TARN_EMU_ACL_H
#define TARN_EMU_ACL_H

#include "global.h"

#define ACL_LEVEL_NOACCESS 0
#define ACL_LEVEL_DEPOSITOR 1
#define ACL_LEVEL_READER 2
#define ACL_LEVEL_AUTHOR 3
#define ACL_LEVEL_EDITOR 4
#define ACL_LEVEL_DESIGNER 5
#define ACL_LEVEL_MANAGER 6

typedef struct {
    BYTE BitMask[10];
} ACL_PRIVILEGES;

#ifdef __cplusplus
extern "C" {
#endif
/* *rethACL is the caller's: free it with OSMemFree. */
STATUS LNPUBLIC NSFDbReadACL(DBHANDLE hDB, DHANDLE FAR *rethACL);
STATUS LNPUBLIC ACLEnumEntries(DHANDLE hACL,
                               void(LNCALLBACKPTR EnumFunc)(void FAR *EnumFuncParam, char FAR *Name,
                                                            WORD AccessLevel, ACL_PRIVILEGES FAR *Privileges,
                                                            WORD AccessFlags),
                               void FAR *EnumFuncParam);
#ifdef __cplusplus
}
#endif

#endif
