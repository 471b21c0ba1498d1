// Owners of what reading a view hands out: the collection, closed on every
// way out, and the read-entries buffer, which is the caller's whenever one
// comes back (even with 0 entries): unlocked and freed exactly once.
#pragma once

#include "base/notes_capi.h"

struct BufferGuard {
    DHANDLE handle = NULLHANDLE;
    bool locked = false;
    BufferGuard() = default;
    BufferGuard(const BufferGuard&) = delete;
    BufferGuard& operator=(const BufferGuard&) = delete;
    ~BufferGuard() {
        if (!handle) return;
        if (locked) OSUnlockObject(handle);
        OSMemFree(handle);
    }
};

// HCOLLECTION is a WORD in the C API reference; whether it widens on 64-bit is not
// stated. It is received into a zeroed 4-byte variable, right for either.
struct CollectionGuard {
    DWORD handle = 0;
    CollectionGuard() = default;
    CollectionGuard(const CollectionGuard&) = delete;
    CollectionGuard& operator=(const CollectionGuard&) = delete;
    HCOLLECTION* out() { return reinterpret_cast<HCOLLECTION*>(&handle); }
    HCOLLECTION get() const { return static_cast<HCOLLECTION>(handle); }
    ~CollectionGuard() {
        if (handle) NIFCloseCollection(get());
    }
    STATUS Close() {
        STATUS s = NIFCloseCollection(get());
        handle = 0;
        return s;
    }
};
