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
