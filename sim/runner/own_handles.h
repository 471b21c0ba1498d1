// The calling server thread's own handles, one for each database handle of
// the reading thread: handles belong to the thread that opened them, so a
// server thread reopens what it uses and closes it itself.
#pragma once

#include "emu/emulator.h"

namespace runner {

// This thread's handle for `shared` (reopened on first use); 0, said on
// standard error, when the reopen fails.
DBHANDLE OwnHandle(DBHANDLE shared);
// Closes every handle this thread reopened.
void CloseOwnHandles();

}  // namespace runner
