// Reading a view, one way for the add-in and its tools: the view found as
// the add-in finds it (a view one can use: not hidden, not a folder), its
// entries read a page at a time, the collection and every buffer released on
// every way out.
#pragma once

#include <cstdint>

#include "base/notes_capi.h"
#include "base/view_guards.h"

// A view or folder one can use, by name or alias (the toolkit's own pattern).
inline STATUS FindUsableView(DBHANDLE db, const char* view, NOTEID* id) {
    return NIFFindDesignNoteExt(db, view, NOTE_CLASS_VIEW, DFLAGPAT_VIEWS_AND_FOLDERS, id, 0);
}

// A view of that name whatever its design flags (hidden, a folder): why
// FindUsableView did not find one, when it is there.
inline STATUS FindViewWithAnyFlags(DBHANDLE db, const char* view, NOTEID* id) {
    return NIFFindDesignNoteExt(db, view, NOTE_CLASS_VIEW, "", id, 0);
}

// How a read ended. Empty: the view answered no entry at all. Refused: the
// page callback turned a page down. CloseFailed: everything was read but the
// collection did not close.
enum class ViewRead { Ok, Empty, NotFound, NoCollection, ReadFailed, NoBuffer, Refused, CloseFailed };

// The C API call a result stands for, for a line that names it.
inline const char* ViewReadCall(ViewRead r) {
    switch (r) {
        case ViewRead::NotFound: return "NIFFindDesignNoteExt";
        case ViewRead::NoCollection: return "NIFOpenCollection";
        case ViewRead::ReadFailed:
        case ViewRead::Refused: return "NIFReadEntries";
        case ViewRead::NoBuffer: return "OSLockObject";
        case ViewRead::CloseFailed: return "NIFCloseCollection";
        default: return "";
    }
}

// Reads the entries of `view` with `mask`, the first page only unless
// allPages, handing each page, locked, to page(bytes, length, entries),
// which answers false to refuse it. The status of the call that failed (or
// of the close, which is also tried after an empty read) goes to *status.
template <class Page>
ViewRead ReadView(DBHANDLE db, const char* view, DWORD mask, bool allPages, Page&& page, STATUS* status = nullptr) {
    STATUS ignored = NOERROR;
    STATUS& s = status ? *status : ignored;
    s = NOERROR;
    NOTEID viewId = 0;
    if ((s = FindUsableView(db, view, &viewId)) != NOERROR) return ViewRead::NotFound;
    CollectionGuard collection;
    if ((s = NIFOpenCollection(db, db, viewId, 0, NULLHANDLE, collection.out(), nullptr, nullptr, nullptr,
                               nullptr)) != NOERROR) {
        collection.handle = 0;  // nothing a failed open wrote is closed
        return ViewRead::NoCollection;
    }
    COLLECTIONPOSITION pos{};
    bool any = false;
    for (;;) {
        BufferGuard buffer;
        WORD length = 0;
        DWORD returned = 0;
        WORD signal = 0;
        if ((s = NIFReadEntries(collection.get(), &pos, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 0xFFFFFFFF, mask,
                                &buffer.handle, &length, nullptr, &returned, &signal)) != NOERROR)
            return ViewRead::ReadFailed;
        // A later page without entries ends a read that found some.
        if (returned == 0) break;
        any = true;
        const auto* bytes = buffer.handle ? static_cast<const uint8_t*>(OSLockObject(buffer.handle)) : nullptr;
        buffer.locked = bytes != nullptr;
        if (!bytes) return ViewRead::NoBuffer;
        if (!page(bytes, length, returned)) return ViewRead::Refused;
        if (!allPages || !(signal & SIGNAL_MORE_TO_DO)) break;
    }
    if ((s = collection.Close()) != NOERROR) return any ? ViewRead::CloseFailed : ViewRead::Empty;
    return any ? ViewRead::Ok : ViewRead::Empty;
}
