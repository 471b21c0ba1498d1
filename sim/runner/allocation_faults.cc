// See allocation_faults.h. A replaced global operator new, so the add-in's
// allocations reach it as they would reach an exhausted heap; the add-in's
// new-handler then decides what a failure throws.
#include "runner/allocation_faults.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace runner {
namespace {

bool gArmed = false;               // EMU_FAULTS names an allocation fault
const void* gAddinBase = nullptr;  // where the add-in and the host library are mapped
const void* gHostBase = nullptr;
thread_local int tPhase = -1;      // the Op counted on this thread, or none
thread_local bool tAsking = false; // no fault inside the fault's own test

const void* BaseOf(const void* address) {
    Dl_info info{};
    return dladdr(address, &info) ? info.dli_fbase : nullptr;
}

// The nearest caller in the add-in or in the host library decides: the C++
// runtime's frames between are passed over, and an allocation the host
// makes inside a C API call is not the add-in's.
bool MadeByAddin() {
    void* frames[64];
    const int n = backtrace(frames, 64);
    for (int i = 1; i < n; ++i) {
        const void* base = BaseOf(frames[i]);
        if (base == gAddinBase) return true;
        if (base == gHostBase) return false;
    }
    return false;
}

[[maybe_unused]] bool Fails() {
    if (!gArmed || tPhase < 0 || tAsking) return false;
    tAsking = true;
    const bool fails = MadeByAddin() && emu::Fault(static_cast<emu::Op>(tPhase)) != 0;
    tAsking = false;
    return fails;
}

}  // namespace

void WatchAllocations(void* addinSymbol) {
    const char* faults = std::getenv("EMU_FAULTS");
    if (!faults || !std::strstr(faults, "Allocate")) return;
    gAddinBase = BaseOf(addinSymbol);
    gHostBase = BaseOf(reinterpret_cast<void*>(&emu::Fault));
    // backtrace loads its unwinder on first use: not inside a failing phase.
    void* warm[1];
    backtrace(warm, 1);
    gArmed = gAddinBase != nullptr && gHostBase != nullptr;
}

AllocationPhase::AllocationPhase(emu::Op op) : previous(tPhase) { tPhase = static_cast<int>(op); }
AllocationPhase::~AllocationPhase() { tPhase = previous; }

}  // namespace runner

// Not in a sanitizer build: the sanitizers replace operator new themselves,
// and a second replacement would hide their checks and mismatch what their
// own allocations are freed with. There the allocation faults never fire.
#ifndef TARN_SANITIZED
void* operator new(std::size_t size) {
    for (;;) {
        if (!runner::Fails())
            if (void* p = std::malloc(size ? size : 1)) return p;
        std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#endif
