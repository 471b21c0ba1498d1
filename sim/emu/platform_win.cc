#include "emu/platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include <string>

namespace {

// The thread that loaded the library: nnotes.dll is an import of the task's
// program, so it is loaded before main runs, on the main thread.
const DWORD gLoaderThread = GetCurrentThreadId();

// The task's console lines end in "\n" as on Linux: the programs that read
// them (tarn-sim, the tests) are native, and a text-mode stdout would end
// every line in "\r\n". The host and the add-in share msvcrt's stdout.
const bool gBinaryStdout = [] {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return true;
}();

std::string SharedFolder() {
    char temp[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof temp, temp);
    std::string dir = (n > 0 && n < sizeof temp) ? std::string(temp, n) : std::string(".\\");
    if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
    dir += "tarn_ipc";
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

}  // namespace

namespace emu::platform {

bool OnMainThread() { return GetCurrentThreadId() == gLoaderThread; }

long SystemThreadId() { return static_cast<long>(GetCurrentThreadId()); }

// Lines of several task processes must neither interleave nor overwrite
// one another. An append-only handle (FILE_APPEND_DATA) is such an append on
// Windows, but not under Wine, where it is a move to the end and a write:
// two tasks writing at once overwrote each other's lines. So each append
// holds an exclusive lock on one byte far past any end of the file while it
// moves to the end and writes; every task appends this way.
void AppendToFile(const std::string& path, const std::string& bytes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    OVERLAPPED range{};
    range.OffsetHigh = 0x40000000;
    const bool locked = LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &range) != FALSE;
    LARGE_INTEGER zero{};
    if (SetFilePointerEx(h, zero, nullptr, FILE_END)) {
        DWORD written = 0;
        WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
    if (locked) UnlockFileEx(h, 0, 1, 0, &range);
    CloseHandle(h);
}

// Boost.Interprocess keeps its emulated shared memory as files in one folder
// (the build defines BOOST_INTERPROCESS_SHARED_DIR_FUNC to ask us which).
// The user's temporary folder is shared by every task of one machine (one
// Wine prefix), and needs no registry or boot-time lookup.
std::string IpcDirectory() {
    static const std::string dir = SharedFolder();
    return dir;
}

// From the module file name, as the add-in takes its own process name.
std::string ExecutableDirectory() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return ".";
    std::string s(path, n);
    auto slash = s.find_last_of("\\/");
    return slash == std::string::npos ? "." : s.substr(0, slash);
}

}  // namespace emu::platform

namespace boost::interprocess::ipcdetail {
void get_shared_dir(std::string& shared_dir) { shared_dir = emu::platform::IpcDirectory(); }
}  // namespace boost::interprocess::ipcdetail
