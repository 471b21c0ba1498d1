// A thread the add-in starts calls NotesInitThread before its first C API
// call and NotesTermThread before it ends (per-thread resources of the
// run-time leak otherwise). One of these, first in the thread's function,
// does both.
#pragma once

#include "base/notes_capi.h"

class NotesThread {
public:
    NotesThread() : status(NotesInitThread()) {}
    ~NotesThread() {
        if (status == NOERROR) NotesTermThread();
    }
    NotesThread(const NotesThread&) = delete;
    NotesThread& operator=(const NotesThread&) = delete;
    // Not NOERROR: the thread must make no C API call.
    STATUS Status() const { return status; }
    // The runtime may have ended under this thread: no NotesTermThread.
    void Forget() { status = 1; }

private:
    STATUS status;
};
