// Loading the add-in as the Extension Manager does: dlopen on Linux,
// LoadLibrary on Windows (addin_library.cc, addin_library_win.cc).
#pragma once

#include <string>

namespace runner {

class AddinLibrary {
public:
    // Null and the loader's reason in *error when the library cannot load.
    static AddinLibrary* Load(const std::string& path, std::string* error);
    void* Symbol(const char* name) const;
    // Unloads and deletes this object.
    void Unload();

private:
    explicit AddinLibrary(void* h) : handle(h) {}
    void* handle;
};

// Called first in main: how the process ends once main has returned and
// this program's own exit handlers have run, with *exitCode. Linux: as
// usual. Windows: without the libraries' detach routines (see the Windows
// flavour).
void EndAfterExitHandlers(const int* exitCode);

// The add-in's file name on this platform: libtarn.so, ntarn.dll.
const char* AddinFileName();

}  // namespace runner
