// Keeps the add-in's own library mapped for the rest of the process, once
// notice workers exist: a detached worker may still be running its code
// when the host unloads the add-in, and code that goes away under a thread
// crashes it. The add-in's teardown then runs at process exit instead of at
// unload (a Domino server unloads add-ins when it shuts down anyway).
#pragma once

// Idempotent and cheap after the first call. When this code is not in a
// library of its own (tests, tools), there is nothing to pin.
void PinThisLibrary();
