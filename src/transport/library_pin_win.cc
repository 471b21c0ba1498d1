#include <windows.h>

#include <mutex>

#include "transport/library_pin.h"

void PinThisLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        HMODULE self = nullptr;
        // PIN: FreeLibrary never unmaps the module again.
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCSTR>(&PinThisLibrary), &self);
    });
}
