// A text field of a profile document (the mail file's CalendarProfile
// Owner), read one way: what the filter takes is what tarn-setup check
// reports on.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "base/notes_capi.h"

enum class ProfileText { Ok, NoProfile, NotText, NotLocked, Malformed };

// Why a field that was found is not taken, as the filter's line says it.
inline const char* ProfileTextProblem(ProfileText r) {
    switch (r) {
        case ProfileText::NotText: return "is not text";
        case ProfileText::NotLocked: return "could not be locked";
        case ProfileText::Malformed: return "is malformed";
        default: return "";
    }
}

// The field into out (size its whole buffer: cut to size - 1 characters,
// always terminated; empty unless Ok). An empty text is a text: Ok. The
// value is the type WORD then the text, inside the profile's pool, which is
// locked and unlocked here and never freed (it is not the caller's).
inline ProfileText ReadProfileText(DBHANDLE db, const char* profile, const char* field, char* out, size_t size) {
    if (size) out[0] = '\0';
    WORD type = 0;
    BLOCKID block{};
    DWORD length = 0;
    if (NSFProfileGetField(db, profile, static_cast<WORD>(strlen(profile)), nullptr, 0, field,
                           static_cast<WORD>(strlen(field)), &type, &block, &length) != NOERROR)
        return ProfileText::NoProfile;
    if (type != TYPE_TEXT) return ProfileText::NotText;
    // The pool is locked by itself, so a failed lock shows as null.
    const char* pool = block.pool != NULLHANDLE ? static_cast<const char*>(OSLockObject(block.pool)) : nullptr;
    if (!pool) return ProfileText::NotLocked;
    ProfileText result = ProfileText::Malformed;
    if (length >= sizeof(WORD)) {
        const size_t n = size ? std::min<size_t>(length - sizeof(WORD), size - 1) : 0;
        if (size) {
            memcpy(out, pool + block.block + sizeof(WORD), n);
            out[n] = '\0';
        }
        result = ProfileText::Ok;
    }
    OSUnlockBlock(block);
    return result;
}
