#include "runner/addin_library.h"

#include <dlfcn.h>

namespace runner {

AddinLibrary* AddinLibrary::Load(const std::string& path, std::string* error) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        *error = dlerror();
        return nullptr;
    }
    return new AddinLibrary(h);
}

void* AddinLibrary::Symbol(const char* name) const { return dlsym(handle, name); }

void AddinLibrary::Unload() {
    dlclose(handle);
    delete this;
}

const char* AddinFileName() { return "libtarn.so"; }

void EndAfterExitHandlers(const int*) {}

}  // namespace runner
