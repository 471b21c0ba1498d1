#include "base/callback_skip.h"

WORD CallbackSkip(TaskState state) {
    // The add-in's own rule always holds: a host's answer can add a skip,
    // never take back one the unload needs.
    if (state == TaskState::Stopping) return 1;
#if !defined(_WIN32)
    if (HostCallbackSkip && HostCallbackSkip() != 0) return 1;
#endif
    return 0;
}
