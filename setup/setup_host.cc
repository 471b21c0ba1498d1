// The embedded host's start for tarn-setup: its data directory is a folder
// given on the command line (a server's program is started inside it).
#include <cstdio>
#include <filesystem>

#include "emu/emulator.h"
#include "setup.h"

namespace tarnsetup {

bool StartHost(const Context& ctx) {
    std::error_code ec;
    std::string dir = ctx.dataDir.empty() ? std::filesystem::current_path(ec).string() : ctx.dataDir;
    if (!std::filesystem::is_directory(dir, ec)) {
        fprintf(stderr, "tarn-setup: the data directory %s does not exist\n", dir.c_str());
        return false;
    }
    emu::SetDataDirectory(dir);
    return true;
}

void StopHost() {}

}  // namespace tarnsetup
