// Memory running out inside the add-in, for tests: EMU_FAULTS names
// AllocateAtStartup and AllocateInEvent make this program's operator new
// fail the add-in's own allocations (the n-th with "@n") while
// MainEntryPoint runs, or while an operation (and so its callbacks) runs.
#pragma once

#include "emu/emulator.h"

namespace runner {

#if defined(_WIN32)
inline void WatchAllocations(void*) {}
class AllocationPhase {
public:
    explicit AllocationPhase(emu::Op) {}
};
#else
// `addinSymbol`: any address inside the loaded add-in.
void WatchAllocations(void* addinSymbol);

// While it lives, the add-in's allocations on this thread count as `op`.
class AllocationPhase {
public:
    explicit AllocationPhase(emu::Op op);
    ~AllocationPhase();
    AllocationPhase(const AllocationPhase&) = delete;
    AllocationPhase& operator=(const AllocationPhase&) = delete;

private:
    int previous;
};
#endif

}  // namespace runner
