// The tools as an operator meets them: mistakes end with one plain line that
// says what is wrong and how to mend it, and a non-zero status, before
// anything is started; the capture-queue listing tells handled from pending.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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
    void Scenario(const std::string& text) { std::ofstream(dataDir + "/s.scenario") << text; }
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
    static bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
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

// Each message of the language is the scenario suite's; here, that the
// program says it and stops before anything starts.
TEST_F(ToolsTest, AScenarioMistakeIsReportedWithItsLineBeforeAnythingStarts) {
    PrepareHere();
    struct Case {
        std::string scenario;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"say hello\n# fine\nnfoo.exe create a1 mail\\alice.nsf Form=Appointment\n",
         "tarn-sim: " + dataDir + "/s.scenario line 3: unknown task nfoo.exe (the tasks are nserver.exe, nhttp.exe "
         "and amgr.exe): nfoo.exe create a1 mail\\alice.nsf Form=Appointment\n"},
        {"processor stop\n",
         "tarn-sim: " + dataDir + "/s.scenario line 1: processor steps need the demo's sample processor: play this "
         "scenario with tarn-sim demo --scenario FILE: processor stop\n"},
    };
    for (const auto& c : cases) {
        Scenario(c.scenario);
        auto r = Sim({"run", "--data", prepared, "--scenario", dataDir + "/s.scenario"});
        EXPECT_EQ(r.exitCode, 2) << c.scenario;
        EXPECT_EQ(r.err, c.error);
        EXPECT_TRUE(r.out.empty()) << c.scenario;  // no task was started
    }
    // The same from standard input.
    auto piped = Sim({"run", "--data", prepared}, "sync\nnserver.exe explode\n");
    EXPECT_EQ(piped.exitCode, 2);
    EXPECT_EQ(piped.err.rfind("tarn-sim: standard input line 2: unknown operation \"explode\"", 0), 0u) << piped.err;
    // The demo knows processor steps, but not a mode it has not got.
    Scenario("processor mode sleepy\n");
    auto demo = Sim({"demo", "--data", dataDir + "/demo", "--scenario", dataDir + "/s.scenario"});
    EXPECT_EQ(demo.exitCode, 2);
    EXPECT_NE(demo.err.find("line 1: processor steps are: "), std::string::npos) << demo.err;
    auto unreadable = Sim({"run", "--data", prepared, "--scenario", dataDir + "/none.scenario"});
    EXPECT_EQ(unreadable.exitCode, 2);
    EXPECT_EQ(unreadable.err, "tarn-sim: cannot read the scenario " + dataDir + "/none.scenario\n");
}

TEST_F(ToolsTest, AHeadingWithoutTextIsPlayedNotFallenOver) {
    PrepareHere();
    Scenario("say\nsay   Two blanks before\n");
    auto r = Sim({"run", "--data", prepared, "--scenario", dataDir + "/s.scenario"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(HasLine(r.out, "== "));
    EXPECT_TRUE(HasLine(r.out, "== Two blanks before"));
    EXPECT_TRUE(HasLine(r.out, "  still pending          0"));
}

TEST_F(ToolsTest, TheRunnerStopsAtAnUnknownOperationAndSaysWhichLine) {
    PrepareHere();
    auto r = Run(BuildDir() + "/bin/nserver.exe", {"--data", prepared},
                 "echo first\nnserver.exe create a1 mail\\alice.nsf\necho never\n");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err,
              "runner: line 2: unknown operation \"nserver.exe\" (known: create, createx, modify, modifyx, remove, "
              "stub, stubx, delete, wait, sync, sleep, echo, quit): nserver.exe create a1 mail\\alice.nsf\n");
    EXPECT_TRUE(HasLine(r.out, "first"));
    EXPECT_FALSE(HasLine(r.out, "never"));
    EXPECT_TRUE(std::any_of(r.out.begin(), r.out.end(), [](const std::string& l) {
        return l.starts_with("runner: deregistered:");  // the add-in was unloaded as usual
    }));

    auto incomplete = Run(BuildDir() + "/bin/amgr.exe", {"--data", prepared}, "stub\n");
    EXPECT_EQ(incomplete.exitCode, 2);
    EXPECT_EQ(incomplete.err, "runner: line 1: wrong number of words for stub (it is: stub LABEL): stub\n");
    auto fine = Run(BuildDir() + "/bin/amgr.exe", {"--data", prepared}, "wait\nsync 1\n");
    EXPECT_EQ(fine.exitCode, 0) << fine.err;
}

TEST_F(ToolsTest, AProcessorPortAlreadyInUseIsSaidSoAndNotShared) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    const std::string port = std::to_string(ntohs(a.sin_port));
    auto r = Run(BuildDir() + "/bin/tarn-processor", {"--port", port});
    close(fd);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "tarn-processor: port " + port +
                         " on 127.0.0.1 is already in use: stop the program that holds it, or choose another port "
                         "(--port N; --port 0 picks a free one)\n");
    EXPECT_TRUE(r.out.empty());
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
