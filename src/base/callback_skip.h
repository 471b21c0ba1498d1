// The callback-skip query: non-zero when an Extension Manager callback must
// return at once and do nothing. The C API has no such call, so it is the
// add-in's own.
//
// The add-in's own rule: non-zero once the library has begun unloading (the
// task's state is Stopping: its static objects are being destroyed), when a
// callback still arriving on a server thread must not touch the session
// being torn down; zero before. A host that offers a query of its own
// exports HostCallbackSkip (the embedded host does, and tests switch it on);
// its non-zero answer adds a skip, its zero leaves the rule to decide. The
// symbol is taken as a weak reference: with a real toolkit's libnotes.so it
// is absent (and on Windows never looked for).
#pragma once

#include "base/notes_capi.h"
#include "base/serving_state.h"

#if !defined(_WIN32)
extern "C" WORD HostCallbackSkip(void) __attribute__((weak));
#endif

// `state`: the task's, read once by the callback.
WORD CallbackSkip(TaskState state);
