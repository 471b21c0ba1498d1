// A C API program's own start and end (one that begins with main(), such as
// tarn-setup built for a server): NotesInitExtended and NotesTerm.
//
// Where the reference is silent the stand-in takes the strict reading:
// notes.ini is the working directory's (a server's programs run in its data
// directory), or the one an argument "=FILE" names (a bare name: in the
// program's directory, as the reference places it); the file must exist and
// hold Directory=, an existing folder, which becomes the data directory.
// Anything else fails the start with ERR_NOEXIST and one line on stderr
// saying what was missing; the runtime is then not started.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "emu/internal.h"
#include "emu/platform.h"

namespace fs = std::filesystem;

namespace emu {
namespace {

std::string gProgram;          // argv[0]'s file name, for the reports
uint64_t gReported = 0;        // violations NotesTerm reported
bool gStarted = false;         // NotesInitExtended succeeded in this process

// The notes.ini NotesInitExtended reads.
std::string IniFileFrom(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (argv[i] && argv[i][0] == '=') {
            const fs::path file = argv[i] + 1;
            return file.has_parent_path() ? file.string() : (fs::path(platform::ExecutableDirectory()) / file).string();
        }
    return "notes.ini";
}

STATUS Refuse(const std::string& what) {
    fprintf(stderr, "%s: NotesInitExtended: %s\n", gProgram.c_str(), what.c_str());
    return err::NOEXIST;
}

// Violations made after NotesTerm (by static destructors, say) are still shown.
void ReportAtExit() {
    if (ViolationCount() <= gReported) return;
    for (const auto& line : ViolationReport(gProgram, "violations after NotesTerm", gReported))
        fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace
}  // namespace emu

using emu::Op;

extern "C" {

EMU_EXPORT STATUS NotesInitExtended(int argc, char** argv) {
    if (STATUS s = emu::Fault(Op::NotesInitExtended)) return s;
    if (argc < 1 || !argv || !argv[0]) return emu::err::INVALID_ARGS;
    emu::gProgram = fs::path(argv[0]).filename().string();
    const std::string ini = emu::IniFileFrom(argc, argv);
    std::error_code ec;
    if (!fs::is_regular_file(ini, ec)) return emu::Refuse("no notes.ini at " + fs::absolute(ini, ec).string());
    std::string dir;
    for (const auto& [name, value] : emu::detail::ReadIniFile(ini))
        if (emu::detail::SameNameNoCase(name, "Directory")) dir = value;
    if (dir.empty()) return emu::Refuse(ini + " has no Directory=");
    if (!fs::is_directory(dir, ec)) return emu::Refuse("Directory=" + dir + " is no folder");
    emu::SetDataDirectory(dir);
    emu::detail::SetIniFile(fs::absolute(ini, ec).string());
    // As the host programs do: a Linux server answers paths with '/'.
    if (const char* onLinux = std::getenv("EMU_LINUX_SERVER"); onLinux && *onLinux == '1') emu::SetPathSeparator('/');
    if (!emu::gStarted) std::atexit(emu::ReportAtExit);
    emu::gStarted = true;
    return NOERROR;
}

// Ends the runtime: every later call is a breach. What the program left
// open, and its violations, go to stderr (nothing when there are none).
EMU_EXPORT void NotesTerm(void) {
    emu::Fault(Op::NotesTerm);
    const std::string label = emu::gProgram.empty() ? "program" : emu::gProgram;
    if (const std::string open = emu::LeftOpenText(emu::Open()); !open.empty())
        fprintf(stderr, "%s: left open at NotesTerm:%s\n", label.c_str(), open.c_str());
    emu::gReported = emu::ViolationCount();
    if (emu::gReported)
        for (const auto& line : emu::ViolationReport(label)) fprintf(stderr, "%s\n", line.c_str());
    emu::EndRuntime();
}

}  // extern "C"
