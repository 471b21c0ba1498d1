// tarn-setup: the administrator's program beside the add-in. Each command
// lives in a file of its own and registers itself with a CommandRegistration;
// main.cc starts the C API and runs the one chosen.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>

namespace tarnsetup {

// What every command shares: where the server's data directory is.
struct Context {
    std::string dataDir;  // --data DIR; empty: the current directory, as on a server
};

// A command's work, run once the C API is started; returns the exit status.
using Run = std::function<int(const Context&)>;

// Adds one subcommand to `app`; sets `run` from its callback when chosen.
using AddCommand = std::function<void(CLI::App& app, Run& run)>;

// A static object of this type in a command's file adds the command.
// `order` places it in the help text (create 10, check 20, resync 30).
struct CommandRegistration {
    CommandRegistration(int order, AddCommand add);
};

// The host's start and stop around a command (setup_host.cc): the stand-in's
// data directory here, NotesInitExtended with a toolkit.
bool StartHost(const Context& ctx);
void StopHost();

}  // namespace tarnsetup
