// tarn-setup: creates, checks and resynchronises the add-in's databases.
//
//   tarn-setup create [options]   the three databases from their designs (admin/*.dxl)
//   tarn-setup check              what stops the add-in from capturing, one line each
//   tarn-setup resync ...         capture again what was missed
//
// A Notes C API program: on a server it runs in the data directory with the
// server's notes.ini (setup_host_server.cc); with the embedded host it takes
// --data DIR (setup_host.cc).
#include <algorithm>
#include <utility>
#include <vector>

#include "setup.h"

namespace tarnsetup {
namespace {

std::vector<std::pair<int, AddCommand>>& Commands() {
    static std::vector<std::pair<int, AddCommand>> commands;
    return commands;
}

}  // namespace

CommandRegistration::CommandRegistration(int order, AddCommand add) {
    Commands().emplace_back(order, std::move(add));
}

}  // namespace tarnsetup

int main(int argc, char** argv) {
    using namespace tarnsetup;
    CLI::App app{"The TARN add-in's databases: create, check, resync"};
    app.require_subcommand(1);
    app.fallthrough();  // a host's option before or after the command
    Context ctx;
    AddHostOptions(app, ctx);
    Run run;
    auto& commands = Commands();
    std::stable_sort(commands.begin(), commands.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& c : commands) c.second(app, run);
    std::vector<char*> own{argv[0]};
    for (int i = 1; i < argc; ++i)
        if (!HostArgument(argv[i])) own.push_back(argv[i]);
    CLI11_PARSE(app, static_cast<int>(own.size()), own.data());
    if (!run) return 2;
    if (!StartHost(ctx, argc, argv)) return 2;
    int rc = run(ctx);
    StopHost();
    return rc;
}
