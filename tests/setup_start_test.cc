// A C API program's start on the stand-in, as tarn-setup built for a server
// makes it: NotesInitExtended finds notes.ini in the working directory (or
// as "=FILE"), takes its Directory= as the data directory, and refuses what
// a server could not start from; NotesTerm ends the runtime.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/test_support.h"

using namespace tarntest;
namespace fs = std::filesystem;

namespace {

class ProgramStartTest : public DataDirTest {
protected:
    void TearDown() override {
        if (!cwd.empty()) {
            EXPECT_EQ(chdir(cwd.c_str()), 0);
        }
        emu::ClearViolations();  // NotesTerm's case provokes one
        if (emu::RuntimeEnded()) emu::RestartRuntime();
        DataDirTest::TearDown();
    }
    // notes.ini in folder `in` with these lines; the working directory becomes `in`.
    void IniIn(const std::string& in, const std::string& lines) {
        fs::create_directories(in);
        std::ofstream(in + "/notes.ini") << lines;
        if (cwd.empty()) cwd = fs::current_path().string();
        ASSERT_EQ(chdir(in.c_str()), 0);
    }
    STATUS Init(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        return NotesInitExtended(static_cast<int>(argv.size()), argv.data());
    }
    std::string cwd;
};

TEST_F(ProgramStartTest, NotesIniFromTheWorkingDirectoryOrAnArgument) {
    const std::string data = dataDir + "/server", other = dataDir + "/elsewhere";
    fs::create_directories(data);
    fs::create_directories(other);
    struct Case {
        std::string where, lines;   // the working directory's notes.ini
        std::vector<std::string> args;
        STATUS status;
        std::string dataDirectory;  // after a start that succeeded
    };
    const Case cases[] = {
        {dataDir + "/server", "Directory=" + data + "\nTARN_Task_List=server\n", {"tarn-setup"}, NOERROR, data},
        {dataDir + "/server", "directory=" + data + "\n", {"/opt/x/tarn-setup", "check"}, NOERROR, data},
        // "=FILE" wins over the working directory's.
        {dataDir + "/cwd", "Directory=" + data + "\n", {"tarn-setup", "=" + other + "/notes.ini"}, 0x0103, ""},
        {dataDir + "/cwd", "TARN_Task_List=server\n", {"tarn-setup"}, 0x0103, ""},          // no Directory=
        {dataDir + "/cwd", "Directory=" + dataDir + "/gone\n", {"tarn-setup"}, 0x0103, ""},  // no such folder
        {dataDir + "/cwd", "Directory=" + data + "\n", {}, ERR_MISC_INVALID_ARGS, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where + ": " + c.lines);
        emu::SetDataDirectory(dataDir);
        IniIn(c.where, c.lines);
        EXPECT_EQ(Init(c.args), c.status);
        if (c.status == NOERROR) {
            EXPECT_EQ(emu::DataDirectory(), c.dataDirectory);
        }
    }
    // The variables are the named notes.ini's, not the data directory's.
    std::ofstream(other + "/notes.ini") << "Directory=" << data << "\nTARN_Task_List=amgr\n";
    ASSERT_EQ(Init({"tarn-setup", "=" + other + "/notes.ini"}), NOERROR);
    char value[64] = {};
    EXPECT_TRUE(OSGetEnvironmentString("TARN_Task_List", value, sizeof value - 1));
    EXPECT_STREQ(value, "amgr");
}

TEST_F(ProgramStartTest, NotesTermEndsTheRuntime) {
    IniIn(dataDir, "Directory=" + dataDir + "\n");
    ASSERT_EQ(Init({"tarn-setup"}), NOERROR);
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(emu::CreateDatabase("x.nsf"), NOERROR);
    ASSERT_EQ(NSFDbOpen("x.nsf", &db), NOERROR);
    NSFDbClose(db);
    NotesTerm();
    EXPECT_EQ(NSFDbOpen("x.nsf", &db), 0x0217);  // ERR_NOTES_NOT_INITIALIZED
    EXPECT_EQ(emu::ViolationCount(), 1u);
}

}  // namespace
