// tarn-setup's start as a Notes C API program on a server (the toolkit builds
// for Linux and Windows): NotesInitExtended before the first call, NotesTerm
// after the last.
//
// There is no --data here: the data directory is the one the server's
// notes.ini names (Directory=), which NotesInitExtended reads; a folder given
// beside it could only disagree with it. The program runs in the data
// directory as the server's user, as the server's own programs do; an
// argument "=FILE" names another notes.ini, the toolkit's own convention.
#include <cstdio>

#include <global.h>

#include "setup.h"

namespace tarnsetup {

void AddHostOptions(CLI::App& app, Context&) {
    app.footer(
        "Run it in the server's data directory as the server's user: it reads that directory's notes.ini "
        "(or the one named by an argument =FILE) and works on the server's own databases.");
}

bool HostArgument(const char* arg) { return arg[0] == '='; }

bool StartHost(const Context&, int argc, char** argv) {
    // No status text yet: OSLoadString needs the runtime that did not start.
    if (STATUS s = NotesInitExtended(argc, argv)) {
        fprintf(stderr,
                "tarn-setup: the Notes C API could not be started (status 0x%04X): run tarn-setup in the server's "
                "data directory, as the server's user, with its notes.ini there\n",
                static_cast<unsigned>(s));
        return false;
    }
    return true;
}

void StopHost() { NotesTerm(); }

}  // namespace tarnsetup
