// Owns one Notes database handle; every database the add-in opens is held
// in one and closed only through it, exactly once.
#pragma once

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
