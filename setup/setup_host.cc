// The embedded host's start for tarn-setup: its data directory is a folder
// given on the command line (a server's program is started inside it). The
// only file of tarn-setup that knows the stand-in.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "emu/emulator.h"
#include "setup.h"

namespace tarnsetup {

void AddHostOptions(CLI::App& app, Context& ctx) {
    app.add_option("--data", ctx.dataDir, "the server's data directory");
}

bool HostArgument(const char*) { return false; }

bool StartHost(const Context& ctx, int, char**) {
    std::error_code ec;
    std::string dir = ctx.dataDir.empty() ? std::filesystem::current_path(ec).string() : ctx.dataDir;
    if (!std::filesystem::is_directory(dir, ec)) {
        fprintf(stderr, "tarn-setup: the data directory %s does not exist\n", dir.c_str());
        return false;
    }
    emu::SetDataDirectory(dir);
    // The stand-in answers paths as a Windows server does unless told it is
    // a Linux one (its task names and path separator then differ).
    if (const char* onLinux = getenv("EMU_LINUX_SERVER"); onLinux && *onLinux == '1') emu::SetPathSeparator('/');
    // The add-in's configuration code logs as it loads (check): those lines
    // go to the server's log (console.log), the program's own to the terminal.
    emu::SetConsoleEcho(false);
    return true;
}

void StopHost() {}

}  // namespace tarnsetup
