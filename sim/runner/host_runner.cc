// A server task process of the embedded host. Started under a task's name
// (nserver.exe, nhttp.exe, ... are hard links to this program), it loads the
// add-in as the Extension Manager does, calls MainEntryPoint once, performs
// the note operations it is given on a pool of server threads, and unloads
// the add-in at its end.
//
//   nserver.exe [--data DIR] [--addin LIB] [--threads N] [--script FILE] [--linger MS]
//
// --linger keeps the process alive MS milliseconds after the add-in was
// unloaded, as a server goes on shutting down: what the add-in left running
// then shows.
//
// Operations are read from the script (or standard input), one a line:
//   create LABEL DB ITEM...        new document, saved (EM_NSFNOTEUPDATE)
//   createx LABEL DB ITEM...       the same, saved as an extended update (102)
//   modify LABEL ITEM...           set items of the document and save it
//   modifyx LABEL ITEM...          the same as an extended update
//   remove LABEL NAME              delete an item and save
//   stub LABEL | stubx LABEL       delete by an update that writes a deletion stub
//   delete LABEL...                delete-notes on the documents (one call)
//   wait                           wait until every operation so far is done
//   sleep MS                       pause the reader of operations
//   echo TEXT                      print a line
//   sync TOKEN                     wait as "wait" does, then print "runner: sync TOKEN"
//   quit                           stop reading
// An unknown operation, or one with the wrong number of words, stops the
// script there: the line is reported and the runner exits with status 2.
// ITEM is Name=text, Name#=number, Name@=time (a number) or Name[]=a|b|c;
// the text value "@unid" stands for the document's own UNID (as ApptUNID
// of a real calendar entry holds it).
// Values may be quoted with "..." to hold blanks. DB is a Notes path such as
// mail\\alice.nsf. Labels name documents for later lines.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "emu/emulator.h"
#include "emu/platform.h"
#include "runner/addin_library.h"
#include "runner/allocation_faults.h"
#include "runner/interpreter.h"
#include "runner/operations.h"
#include "runner/reports.h"
#include "runner/words.h"

namespace {

struct Options {
    std::string data;
    std::string addin;
    std::string script;
    int threads = 4;
    int lingerMs = 0;
};

std::string DefaultAddin() {
    if (const char* env = getenv("TARN_ADDIN"); env && *env) return env;
    const std::string dir = emu::platform::ExecutableDirectory(), name = runner::AddinFileName();
    std::error_code ec;
    for (const std::string& candidate : {dir + "/../" + name, dir + "/" + name})
        if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
    return name;
}

bool IsLinuxTaskName(const std::string& path) {
    const size_t cut = path.find_last_of("/\\");
    const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    if (name == "tarn-host" || name.empty()) return false;  // this program's own name
    std::string ext = name.substr(std::min(name.rfind('.'), name.size()));
    for (char& c : ext) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return ext != ".exe";
}

int Usage() {
    fprintf(stderr, "usage: TASK.exe [--data DIR] [--addin LIB] [--threads N] [--script FILE] [--linger MS]\n");
    return 2;
}

}  // namespace

namespace {
int gExitCode = 0;
int Run(int argc, char** argv);
}  // namespace

int main(int argc, char** argv) {
    runner::EndAfterExitHandlers(&gExitCode);
    gExitCode = Run(argc, argv);
    return gExitCode;
}

namespace {
int Run(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--data" && (v = next())) opt.data = v;
        else if (a == "--addin" && (v = next())) opt.addin = v;
        else if (a == "--script" && (v = next())) opt.script = v;
        else if (a == "--threads" && (v = next())) opt.threads = std::max(1, atoi(v));
        else if (a == "--linger" && (v = next())) opt.lingerMs = std::max(0, atoi(v));
        else return Usage();
    }
    if (!opt.data.empty()) emu::SetDataDirectory(opt.data);
    // Started under a Linux server's task name (server, http, amgr: no
    // ".exe"), the host answers paths with '/' as that server does.
    if (IsLinuxTaskName(argv[0])) emu::SetPathSeparator('/');
    // A server has a data directory with a notes.ini; without one every served
    // task would only say that no tasks are listed.
    {
        std::string dir = emu::DataDirectory();
        std::error_code ec;
        if (!std::filesystem::is_directory(dir, ec)) {
            fprintf(stderr, "runner: the data directory %s does not exist; prepare one with: tarn-sim prepare --data %s\n",
                    dir.c_str(), dir.c_str());
            return 2;
        }
        if (!std::filesystem::is_regular_file(dir + "/notes.ini", ec)) {
            fprintf(stderr,
                    "runner: %s was never prepared (it has no notes.ini); prepare it with: tarn-sim prepare --data %s\n",
                    dir.c_str(), dir.c_str());
            return 2;
        }
    }
    if (opt.addin.empty()) opt.addin = DefaultAddin();

    std::string loadError;
    runner::AddinLibrary* lib = runner::AddinLibrary::Load(opt.addin, &loadError);
    if (!lib) {
        fprintf(stderr, "runner: cannot load %s: %s\n", opt.addin.c_str(), loadError.c_str());
        return 1;
    }
    using EntryPoint = STATUS (*)();
    auto entry = reinterpret_cast<EntryPoint>(lib->Symbol("MainEntryPoint"));
    if (!entry) {
        fprintf(stderr, "runner: %s has no MainEntryPoint\n", opt.addin.c_str());
        lib->Unload();
        return 1;
    }
    // Violations recorded after main returns (exit handlers of a library
    // that stayed loaded) are reported by this handler, which runs after them.
    atexit(runner::ReportLateViolations);
    runner::WatchAllocations(reinterpret_cast<void*>(entry));
    // Every call MainEntryPoint makes beyond the EM functions is listed.
    emu::EnterStartup();
    STATUS status;
    {
        runner::AllocationPhase phase(emu::Op::AllocateAtStartup);
        status = entry();
    }
    emu::LeaveStartup();
    if (status) fprintf(stderr, "runner: MainEntryPoint returned %u\n", status);
    if (getenv("TARN_RUNNER_ENTRY_TWICE")) {
        emu::EnterStartup();
        STATUS again = entry();
        emu::LeaveStartup();
        fprintf(stderr, "runner: second MainEntryPoint returned %u\n", again);
    }

    bool badScript = false;
    {
        runner::Interpreter runner(opt.threads);
        std::ifstream file;
        if (!opt.script.empty()) {
            file.open(opt.script);
            if (!file) {
                fprintf(stderr, "runner: cannot read %s\n", opt.script.c_str());
                badScript = true;
            }
        }
        std::istream& in = opt.script.empty() ? std::cin : file;
        std::string line;
        int lineNo = 0;
        while (std::getline(in, line)) {
            ++lineNo;
            auto words = SplitWords(line);
            if (words.empty() || words[0][0] == '#') continue;
            if (std::string problem = CheckOperation(words); !problem.empty()) {
                // A script with a mistake stops here: what follows may depend on it.
                fprintf(stderr, "runner: line %d: %s: %s\n", lineNo, problem.c_str(), line.c_str());
                badScript = true;
                break;
            }
            if (words[0] == "quit") break;
            runner.Execute(words, lineNo);
        }
    }

    // A server ends NSF service first (EM_TERMINATENSF, its callbacks stop
    // their threads there), then unloads the Extension Manager libraries.
    // Waiting for threads inside dlclose instead would hold the loader lock
    // that a starting or ending thread may need.
    // Then the runtime ends: a call after it is a violation.
    emu::TerminateNsf();
    lib->Unload();
    runner::ReportLeftOpen();
    emu::EndRuntime();
    if (opt.lingerMs) std::this_thread::sleep_for(std::chrono::milliseconds(opt.lingerMs));
    runner::PrintDeregistrations();
    runner::PrintStartupCalls();
    runner::PrintViolations();
    emu::WriteOutputLine("runner: exit " + std::to_string(status));
    if (status) return 3;
    return badScript ? 2 : 0;
}
}  // namespace
