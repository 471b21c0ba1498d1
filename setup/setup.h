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
    std::string dataDir;  // the stand-in's --data DIR; empty: the current directory, as on a server
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

// The host's start and stop around a command, one file per host: the
// stand-in's (setup_host.cc: its data directory from --data) and a C API
// program's on a server (setup_host_server.cc: NotesInitExtended, NotesTerm).
// AddHostOptions adds what that host takes on the command line; an argument
// for which HostArgument is true is the host's alone (the command line never
// sees it); StartHost gets the whole command line.
void AddHostOptions(CLI::App& app, Context& ctx);
bool HostArgument(const char* arg);
bool StartHost(const Context& ctx, int argc, char** argv);
void StopHost();

}  // namespace tarnsetup
