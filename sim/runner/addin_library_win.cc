#include "runner/addin_library.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

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

namespace {
const int* gExitCode = nullptr;

// ExitProcess kills the other threads wherever they are, then runs every
// library's detach routine. The host's own library links the toolchain's
// threads library statically, whose key table lock a killed thread may
// still hold (seen under Wine: nnotes.dll's detach waiting in
// pthread_key_delete for ever after "runner: exit 0"). A server process is
// not ended through the stand-in's detach, so the task ends here, after
// this program's exit handlers (the late violation report) and before any
// detach: TerminateProcess on the own process keeps the exit code.
void EndNow() {
    fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(*gExitCode));
}
}  // namespace

void EndAfterExitHandlers(const int* exitCode) {
    gExitCode = exitCode;
    atexit(EndNow);  // first registered, so it runs last
}

}  // namespace runner
