// Reading a note's items, one way for the add-in and its tools.
//
// Presence has one error policy: a look that fails is a failure, never an
// absence. Absence is a decision (the filter refuses a change without a
// Form, a load takes a default level); an unreadable $TARN or $REF read as
// absent would let through a change that must be refused, and an unreadable
// setting read as absent would load a wrong configuration. So any status but
// ERR_ITEM_NOT_FOUND throws notes_error, which stops the work in hand where it
// is caught: the filter refuses the change at level 1, a configuration load
// fails and the configuration in force stays. A throw, not a status, so no
// caller can take the failure for an answer by forgetting to look.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "base/notes_capi.h"
#include "base/status_text.h"

// Whether the note has the item, and its type into *type when asked.
// `context` opens the line of the failure ("Filter: FAIL: "), so it reads
// as its caller's.
inline bool ItemPresent(NOTEHANDLE note, const char* name, const char* context = "", WORD* type = nullptr) {
    const STATUS s = NSFItemInfo(note, name, static_cast<WORD>(strlen(name)), nullptr, type, nullptr, nullptr);
    if (s == NOERROR) return true;
    if (ERR(s) == ERR_ITEM_NOT_FOUND) return false;
    char message[320];
    snprintf(message, sizeof message, "%sitem %s could not be read: %s", context, name, StatusText(s).c_str());
    throw NotesWrapper::notes_error(s, message);
}

// A text item into out, `size` its whole buffer: at most size - 1
// characters and always terminated, empty when the item is missing or not
// text (nothing of what the buffer held before shows). Returns the length.
inline size_t ReadTextItem(NOTEHANDLE note, const char* name, char* out, size_t size) {
    if (size == 0) return 0;
    out[0] = '\0';
    const WORD limit = static_cast<WORD>(size > 0xFFFF ? 0xFFFF : size);
    WORD n = NSFItemGetText(note, name, out, limit);
    if (n >= limit) n = static_cast<WORD>(limit - 1);
    out[n] = '\0';
    return n;
}

template <size_t N>
size_t ReadTextItem(NOTEHANDLE note, const char* name, char (&out)[N]) {
    return ReadTextItem(note, name, out, N);
}
