/* notes.ini variables. */
#ifndef TARN_EMU_OSENV_H
#define TARN_EMU_OSENV_H

#include "global.h"

#ifdef __cplusplus
extern "C" {
#endif
/* TRUE when set. BufferLength is the buffer's size - 1; the value is
   terminated. */
BOOL LNPUBLIC OSGetEnvironmentString(const char FAR *VariableName, char FAR *retValueBuffer, WORD BufferLength);
#ifdef __cplusplus
}
#endif

#endif
