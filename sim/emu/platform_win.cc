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

void AppendToFile(const std::string& path, const std::string& bytes) {
    // FILE_APPEND_DATA alone: every write goes to the end, as O_APPEND does.
    HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
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

}  // namespace emu::platform

namespace boost::interprocess::ipcdetail {
void get_shared_dir(std::string& shared_dir) { shared_dir = emu::platform::IpcDirectory(); }
}  // namespace boost::interprocess::ipcdetail
