// The tools as an operator meets them: a data directory that is missing or
// unprepared ends with one plain line that says how to mend it, and a non-zero
// status, before anything is started; the capture-queue listing tells handled
// from pending.
#include <sys/wait.h>

#include <algorithm>
#include <fstream>

#include "support/outbox_support.h"
#include "support/test_support.h"

using namespace tarntest;

namespace {

class ToolsTest : public DataDirTest {
protected:
    ProcessResult Sim(const std::vector<std::string>& args, const std::string& in = "") {
        return Run(BuildDir() + "/bin/tarn-sim", args, in);
    }
    // Runs a program with these arguments and standard input.
    ProcessResult Run(const std::string& exe, const std::vector<std::string>& args, const std::string& in = "") {
        std::string inPath = dataDir + "/.stdin", outPath = dataDir + "/.stdout", errPath = dataDir + "/.stderr";
        std::ofstream(inPath) << in;
        std::string command = exe;
        for (const auto& a : args) command += " '" + a + "'";
        command += " <" + inPath + " >" + outPath + " 2>" + errPath;
        ProcessResult r;
        r.exitCode = ExitCodeOf(system(command.c_str()));
        ReadTaskOutput(outPath, errPath, r);
        return r;
    }
    void PrepareHere() {
        prepared = dataDir + "/prepared";
        ASSERT_EQ(Sim({"prepare", "--data", prepared}).exitCode, 0);
    }
    void TearDown() override {
        if (!prepared.empty()) {
            // The tasks played over it opened message queues of their own.
            emu::SetDataDirectory(prepared);
            emu::RemoveAllQueues();
            EXPECT_TRUE(emu::QueueNames().empty());
            emu::SetDataDirectory(dataDir);
        }
        DataDirTest::TearDown();
    }
    static int Lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }
    std::string prepared;
};

TEST_F(ToolsTest, ADataDirectoryThatIsMissingOrWasNeverPreparedIsNamedWithTheFix) {
    const std::string missing = dataDir + "/nowhere", sim = BuildDir() + "/bin/tarn-sim",
                      task = BuildDir() + "/bin/nserver.exe", prepare = "tarn-sim prepare --data ";
    const std::string gone = " does not exist; prepare it with: " + prepare + missing + "\n";
    const std::string bare = dataDir + " was never prepared (it has no notes.ini); prepare it with: " + prepare +
                             dataDir + "\n";
    struct Case {
        std::string exe;
        std::vector<std::string> args;
        std::string err;
    };
    // The task processes say the same as tarn-sim, before loading the add-in.
    for (const Case& c : std::vector<Case>{
             {sim, {"run", "--data", missing}, "tarn-sim: the data directory " + missing + gone},
             {sim, {"queue", "--data", missing}, "tarn-sim: the data directory " + missing + gone},
             {sim, {"run", "--data", dataDir}, "tarn-sim: " + bare},
             {sim, {"queue", "--data", dataDir}, "tarn-sim: " + bare},
             {task, {"--data", missing},
              "runner: the data directory " + missing + " does not exist; prepare one with: " + prepare + missing + "\n"},
             {task, {"--data", dataDir}, "runner: " + bare},
             {BuildDir() + "/bin/tarn-processor", {"--port", "0", "--data", missing},
              "tarn-processor: the data directory " + missing + gone}}) {
        auto r = Run(c.exe, c.args);
        EXPECT_EQ(r.exitCode, 2) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(BannerLines(r.out).empty()) << c.err;
    }
    emu::SetIniVariable("TARN_Task_List", "nserver.exe");  // notes.ini alone is no prepared directory
    auto noConfig = Sim({"run", "--data", dataDir});
    EXPECT_EQ(noConfig.exitCode, 2);
    EXPECT_NE(noConfig.err.find("it has no configuration database brackwater\\tarnconfig.nsf"), std::string::npos)
        << noConfig.err;
    EXPECT_EQ(Lines(noConfig.err), 1);
    EXPECT_TRUE(noConfig.out.empty());  // nothing was started
}

TEST_F(ToolsTest, TheQueueListingTellsHandledFromPending) {
    PrepareHere();
    emu::SetDataDirectory(prepared);
    DBHANDLE db = 0;
    ASSERT_EQ(NSFDbOpen(kQueueDb, &db), 0);
    NOTEID a = WriteQueueNote(db, 1, 1), b = WriteQueueNote(db, 2, 0), c = WriteQueueNote(db, 3, 1);
    NSFDbClose(db);
    auto all = Sim({"queue", "--data", prepared});
    EXPECT_EQ(all.exitCode, 0) << all.err;
    ASSERT_EQ(all.out.size(), 4u);
    EXPECT_EQ(all.out[0], "Capture queue brackwater\\qcapture.nsf: 3 note(s), 1 pending");
    EXPECT_EQ(all.out[1].rfind("  " + Hex8(a) + "  handled  change  Appointment 00000901 in mail\\alice.nsf", 0), 0u)
        << all.out[1];
    EXPECT_EQ(all.out[2].rfind("  " + Hex8(b) + "  pending  change  Appointment 00000902", 0), 0u) << all.out[2];
    EXPECT_EQ(all.out[3].rfind("  " + Hex8(c) + "  handled  ", 0), 0u) << all.out[3];

    auto pending = Sim({"queue", "--data", prepared, "--pending"});
    EXPECT_EQ(pending.exitCode, 0) << pending.err;
    ASSERT_EQ(pending.out.size(), 2u);
    EXPECT_EQ(pending.out[0], "Capture queue brackwater\\qcapture.nsf: 1 of 3 note(s) pending");
    EXPECT_EQ(pending.out[1], all.out[2]);
}

}  // namespace
