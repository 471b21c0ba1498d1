// Keeps the add-in's own library mapped for the rest of the process. Used
// only when a notice worker is still inside the library's code after the
// bounded wait at EM_TERMINATENSF: code that goes away under a thread
// crashes it. The add-in's teardown then runs at process exit instead of at
// unload. It cannot help once the unload has begun (the loader has already
// decided what to unmap), which is why the wait comes first.
#pragma once

// Idempotent and cheap after the first call. When this code is not in a
// library of its own (tests, tools), there is nothing to pin.
void PinThisLibrary();
