// Owns one Notes database handle; every database the add-in opens is held
// in one and closed only through it, exactly once.
#pragma once

#include <cstring>
#include <utility>

#include "host/notes_capi.h"

class DbHandle {
public:
    DbHandle() = default;
    ~DbHandle() { reset(); }
    DbHandle(const DbHandle&) = delete;
    DbHandle(DbHandle&& other) noexcept : handle(other.handle) { other.handle = 0; }
    // Takes the other's handle, closing its own first when they differ.
    DbHandle& operator=(DbHandle&& other) noexcept {
        if (handle != other.handle) reset();
        handle = other.handle;
        other.handle = 0;
        return *this;
    }
    DbHandle& operator=(const DbHandle&) = delete;

    void reset() {
        if (handle) NSFDbClose(handle);
        handle = 0;
    }
    DBHANDLE get() const { return handle; }
    DBHANDLE* out() {
        reset();
        return &handle;
    }
    explicit operator bool() const { return handle != 0; }

private:
    DBHANDLE handle = 0;
};

// Opens a database into the holder; on failure the holder stays empty.
inline STATUS OpenDatabaseInto(DbHandle& holder, const char* path) {
    DBHANDLE h = 0;
    STATUS s = NSFDbOpen(path, &h);
    if (s != 0) {
        holder.reset();
        return s;
    }
    DbHandle opened;
    *opened.out() = h;
    holder = std::move(opened);
    return 0;
}

// This thread's own handle on a database opened on another thread: handles
// are valid only on the thread that opened them, so each use from a server
// thread takes a copy and closes it on the same thread (the holder is local
// to the use). On failure the holder stays empty.
inline STATUS ReopenDatabaseInto(DbHandle& holder, DBHANDLE opened) {
    DBHANDLE h = 0;
    STATUS s = NSFDbReopen(opened, &h);
    if (s != 0) {
        holder.reset();
        return s;
    }
    DbHandle reopened;
    *reopened.out() = h;
    holder = std::move(reopened);
    return 0;
}

// Owns one note handle, by the same rules: empty when made, closed once,
// only through it.
class NoteHandle {
public:
    NoteHandle() = default;
    ~NoteHandle() { reset(); }
    NoteHandle(const NoteHandle&) = delete;
    NoteHandle(NoteHandle&& other) noexcept : handle(other.handle) { other.handle = 0; }
    NoteHandle& operator=(NoteHandle&& other) noexcept {
        if (handle != other.handle) reset();
        handle = other.handle;
        other.handle = 0;
        return *this;
    }
    NoteHandle& operator=(const NoteHandle&) = delete;

    void reset() {
        if (handle) NSFNoteClose(handle);
        handle = 0;
    }
    NOTEHANDLE get() const { return handle; }
    // Takes an open note; closes the one held first.
    void adopt(NOTEHANDLE h) {
        reset();
        handle = h;
    }
    explicit operator bool() const { return handle != 0; }

private:
    NOTEHANDLE handle = 0;
};

// Open and create a note into the holder; on failure it stays empty (a
// handle a failed call may have written is never closed).
inline STATUS OpenNoteInto(NoteHandle& holder, DBHANDLE db, NOTEID id, WORD flags) {
    holder.reset();
    NOTEHANDLE h = 0;
    STATUS s = NSFNoteOpen(db, id, flags, &h);
    if (s == 0) holder.adopt(h);
    return s;
}

inline STATUS CreateNoteInto(NoteHandle& holder, DBHANDLE db) {
    holder.reset();
    NOTEHANDLE h = 0;
    STATUS s = NSFNoteCreate(db, &h);
    if (s == 0) holder.adopt(h);
    return s;
}

// The one existence test for an item of a note.
inline bool HasItem(NOTEHANDLE note, const char* name) {
    return NSFItemInfo(note, name, static_cast<WORD>(strlen(name)), nullptr, nullptr, nullptr, nullptr) == 0;
}
