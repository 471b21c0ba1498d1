#include <cstring>

#include "host/entry.h"
#include "log/tarn_log.h"

#if defined(_WIN32)
#include <windows.h>
#include <shlwapi.h>

void GetProcessName(char* buffer, size_t size) {
    char path[260];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n >= sizeof path) n = sizeof path - 1;
    path[n] = '\0';
    CopyBounded(buffer, size, PathFindFileNameA(path));
}
#else
#include <unistd.h>

void GetProcessName(char* buffer, size_t size) {
    // A hard link keeps its own name here, as a task's executable does.
    char path[260];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n < 0) n = 0;
    path[n] = '\0';
    const char* slash = strrchr(path, '/');
    CopyBounded(buffer, size, slash ? slash + 1 : path);
}
#endif

bool IsTaskListed(const char* processName, const char* taskList) {
    return strstr(taskList, processName) != nullptr;
}
