/* Extension Manager: registrations and the event record. */
#ifndef TARN_EMU_EXTMGR_H
#define TARN_EMU_EXTMGR_H

#include "global.h"
#include "nsferr.h"

typedef WORD EID;
typedef DWORD HEMREGISTRATION;

typedef struct {
    EID EId;               /* EM_xxx */
    WORD NotificationType; /* EM_BEFORE or EM_AFTER */
    STATUS Status;         /* EM_AFTER: the core function's result */
    VARARG_PTR Ap;         /* the core function's arguments, in order */
} EMRECORD;

typedef STATUS(LNCALLBACKPTR EMHANDLER)(EMRECORD FAR *);

/* Notification ids. */
#define EM_NSFNOTEDELETE 8
#define EM_NSFDBDELETENOTES 24
#define EM_NSFNOTEUPDATE 47
#define EM_TERMINATENSF 69
#define EM_NSFNOTEUPDATEXTENDED 102
#define EM_NSFNOTEUPDATEMAILBOX 164

/* Registration flags. */
#define EM_REG_BEFORE 0x0001
#define EM_REG_AFTER 0x0002

/* Notification types. Their values are not in the C API reference; 0 and 1 are
   the values the toolkit header is remembered to use. */
#define EM_BEFORE 0
#define EM_AFTER 1

#ifdef __cplusplus
extern "C" {
#endif
STATUS LNPUBLIC EMCreateRecursionID(WORD FAR *retRecursionID);
STATUS LNPUBLIC EMRegister(EID EmID, DWORD Flags, EMHANDLER Proc, WORD RecursionID,
                           HEMREGISTRATION FAR *rethRegistration);
STATUS LNPUBLIC EMDeregister(HEMREGISTRATION hRegistration);
#ifdef __cplusplus
}
#endif

#endif
