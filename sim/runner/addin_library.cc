#include "runner/addin_library.h"

#include <dlfcn.h>
#include <unistd.h>

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

std::string SelfDir() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    std::string s(path);
    auto slash = s.rfind('/');
    return slash == std::string::npos ? "." : s.substr(0, slash);
}

const char* AddinFileName() { return "libtarn.so"; }

void EndAfterExitHandlers(const int*) {}

}  // namespace runner
