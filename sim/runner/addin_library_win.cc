#include "runner/addin_library.h"

#include <windows.h>

#include <cstdio>

namespace runner {

AddinLibrary* AddinLibrary::Load(const std::string& path, std::string* error) {
    HMODULE h = LoadLibraryA(path.c_str());
    if (!h) {
        char text[64];
        snprintf(text, sizeof text, "LoadLibrary error %lu", GetLastError());
        *error = text;
        return nullptr;
    }
    return new AddinLibrary(h);
}

void* AddinLibrary::Symbol(const char* name) const {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

void AddinLibrary::Unload() {
    FreeLibrary(static_cast<HMODULE>(handle));
    delete this;
}

const char* AddinFileName() { return "ntarn.dll"; }

}  // namespace runner
