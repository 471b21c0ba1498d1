#include "log/notes_error.h"

#include <cstdarg>
#include <cstdio>

#include "base/notes_capi.h"
#include "log/tarn_log.h"

// Texts are cut to their buffers on purpose.
#pragma GCC diagnostic ignored "-Wformat-truncation"

void CheckNotesStatus(uint16_t status, const char* format, ...) {
    if (status == 0 || format == nullptr) return;
    va_list ap;
    va_start(ap, format);
    const LogLine message(format, ap);
    va_end(ap);
    char text[200];
    snprintf(text, sizeof text, "%s: %s (0x%x)", message.Text(), StatusText(status).c_str(),
             static_cast<unsigned>(status));
    throw NotesWrapper::notes_error(status, text);
}

void NotesStatusText(uint16_t status, char* out, uint16_t size) {
    if (size == 0) return;
    out[0] = '\0';
    // hModule 0: required on UNIX; a pointer-sized 0 for either HMODULE form.
    WORD n = OSLoadString(0, ERR(status), out, static_cast<WORD>(size - 1));
    out[size - 1] = '\0';
    // A code the host has no text for answers 0 and leaves the buffer empty;
    // the line still names the code, as the text lookup uses it (without flags).
    if (n == 0 || out[0] == '\0')
        snprintf(out, size, "Unknown error code %u", static_cast<unsigned>(ERR(status)));
}
