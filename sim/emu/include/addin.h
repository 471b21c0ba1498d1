/* Console and log lines. */
#ifndef TARN_EMU_ADDIN_H
#define TARN_EMU_ADDIN_H

#include "global.h"

#ifdef __cplusplus
extern "C" {
#endif
/* printf-like; at most 6 specifiers and 24 bytes of arguments. A non-zero
   AdditionalErrorCode adds its text after the line. */
void LNVARARGS AddInLogMessageText(char FAR *String, STATUS AdditionalErrorCode, ...);
void LNPUBLIC AddInLogErrorText(char FAR *String, STATUS AdditionalErrorCode, char FAR *Arg);
#ifdef __cplusplus
}
#endif

#endif
