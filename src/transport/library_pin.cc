#include "transport/library_pin.h"

#include <dlfcn.h>

#include <mutex>

void PinThisLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void*>(&PinThisLibrary), &info) || !info.dli_fname) return;
        // A reference that dlclose never drops: RTLD_NODELETE. NOLOAD, so a
        // main program (which has no such name to load) is left alone.
        dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    });
}
