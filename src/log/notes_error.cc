#include "log/notes_error.h"

#include <cstdarg>
#include <cstdio>

#include "host/notes_capi.h"

// Texts are cut to their buffers on purpose.
#pragma GCC diagnostic ignored "-Wformat-truncation"

void CheckNotesStatus(uint16_t status, const char* format, ...) {
    if (status == 0 || format == nullptr) return;
    char message[200];
    va_list ap;
    va_start(ap, format);
    vsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    char statusText[200];
    NotesStatusText(status, statusText, sizeof statusText);
    char text[200];
    snprintf(text, sizeof text, "%s: %s (0x%x)", message, statusText, static_cast<unsigned>(status));
    throw NotesWrapper::notes_error(status, text);
}

void NotesStatusText(uint16_t status, char* out, uint16_t size) {
    if (size == 0) return;
    out[0] = '\0';
    // hModule 0: required on UNIX; a pointer-sized 0 for either HMODULE form.
    OSLoadString(0, ERR(status), out, static_cast<WORD>(size - 1));
    out[size - 1] = '\0';
}
