#include <windows.h>

#include <atomic>

#include "transport/library_pin.h"

void PinThisLibrary() {
    static std::atomic<bool> pinned{false};
    if (pinned.load(std::memory_order_acquire)) return;
    HMODULE self = nullptr;
    // PIN: FreeLibrary never unmaps the module again. Taking it twice when
    // two threads race here is harmless.
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCSTR>(&PinThisLibrary), &self))
        pinned.store(true, std::memory_order_release);
}
