// Owners of the handles the C API hands out: every database the add-in and
// its tools open, every note opened or created, every id table and every
// block the caller must free is held in one and closed only through it,
// exactly once.
#pragma once

#include <cstring>

#include "base/notes_capi.h"

// Owns one handle closed by Close: empty when made, closed once, only
// through it.
template <typename Handle, auto Close>
class UniqueHandle {
public:
    UniqueHandle() = default;
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle(other.handle) { other.handle = 0; }
    // Takes the other's handle, closing its own first when they differ.
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (handle != other.handle) reset();
        handle = other.handle;
        other.handle = 0;
        return *this;
    }
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    void reset() {
        if (handle) Close(handle);
        handle = 0;
    }
    Handle get() const { return handle; }
    Handle* out() {
        reset();
        return &handle;
    }
    // Takes an open handle; closes the one held first.
    void adopt(Handle h) {
        reset();
        handle = h;
    }
    // Empties the holder, then holds what call(&h) opened, only when it
    // succeeded (a handle a failed call may have written is never closed).
    template <typename Call>
    STATUS Take(Call call) {
        reset();
        Handle h = 0;
        const STATUS s = call(&h);
        if (s == 0) handle = h;
        return s;
    }
    explicit operator bool() const { return handle != 0; }

private:
    Handle handle = 0;
};

using DbHandle = UniqueHandle<DBHANDLE, NSFDbClose>;
using NoteHandle = UniqueHandle<NOTEHANDLE, NSFNoteClose>;

// Opens a database into the holder; on failure the holder stays empty.
inline STATUS OpenDatabaseInto(DbHandle& holder, const char* path) {
    return holder.Take([&](DBHANDLE* h) { return NSFDbOpen(path, h); });
}

// This thread's own handle on a database opened on another thread: handles
// are valid only on the thread that opened them, so each use from a server
// thread takes a copy and closes it on the same thread (the holder is local
// to the use). On failure the holder stays empty.
inline STATUS ReopenDatabaseInto(DbHandle& holder, DBHANDLE opened) {
    return holder.Take([&](DBHANDLE* h) { return NSFDbReopen(opened, h); });
}

// Open and create a note into the holder; on failure it stays empty.
inline STATUS OpenNoteInto(NoteHandle& holder, DBHANDLE db, NOTEID id, WORD flags) {
    return holder.Take([&](NOTEHANDLE* h) { return NSFNoteOpen(db, id, flags, h); });
}

inline STATUS CreateNoteInto(NoteHandle& holder, DBHANDLE db) {
    return holder.Take([&](NOTEHANDLE* h) { return NSFNoteCreate(db, h); });
}

using IdTableHandle = UniqueHandle<DHANDLE, IDDestroyTable>;
// A block handed to the caller to free (an ACL, a result log).
using MemoryHandle = UniqueHandle<DHANDLE, OSMemFree>;
