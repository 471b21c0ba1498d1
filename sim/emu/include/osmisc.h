/* Status texts. */
#ifndef TARN_EMU_OSMISC_H
#define TARN_EMU_OSMISC_H

#include "global.h"

#ifdef __cplusplus
extern "C" {
#endif
/* Pass ERR(status) and BufferLength = the buffer's size - 1; returns the
   text's length, 0 when there is none. */
WORD LNPUBLIC OSLoadString(HMODULE hModule, STATUS StringCode, char FAR *retBuffer, WORD BufferLength);
#ifdef __cplusplus
}
#endif

#endif
