// Failures an administrator must hear of, and the way back from a failed
// reload, in real task processes.
#include <chrono>

#include "support/test_support.h"

using namespace tarntest;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

// Each followed by a sync: the runner's server threads finish one step before
// the next begins.
const char kAlert[] = "create x brackwater\\tarnalerts.nsf Form=Alert\nsync alert\n";

class TaskFailureTest : public DataDirTest {
protected:
    void Prepare(int level = 3, const std::string& taskList = "nserver.exe,nhttp.exe") {
        SampleConfig cfg;
        cfg.logLevel = level;
        cfg.port = 9;  // notices go nowhere; these tests are about the task
        CreateSampleDatabases(cfg);
        CreateMailFile("mail\\alice.nsf", "CN=Alice");
        emu::SetIniVariable("TARN_Task_List", taskList);
    }
    // The server view, removed and put back as an administrator would.
    NOTEID RemoveServerView() {
        DBHANDLE db = 0;
        EXPECT_EQ(NSFDbOpen("brackwater\\tarnconfig.nsf", &db), 0);
        NOTEID view = 0;
        EXPECT_EQ(NIFFindDesignNoteExt(db, "server", NOTE_CLASS_VIEW, "", &view, 0), 0);
        EXPECT_EQ(emu::DeleteNotes(db, {view}), 0);
        NSFDbClose(db);
        return view;
    }
    void RestoreServerView() {
        DBHANDLE db = 0;
        ASSERT_EQ(NSFDbOpen("brackwater\\tarnconfig.nsf", &db), 0);
        NOTEID id = 0;
        EXPECT_EQ(tarntest::CreateView(db, {"server", "", {"Server"}, {"Hostname_DomToTN"}, -1}, &id), 0);
        NSFDbClose(db);
    }
    // One statistic as the console shows it, once the tasks published it.
    static testing::AssertionResult StatReaches(const std::string& line) {
        const std::string name = line.substr(0, line.find(" = "));
        if (WaitUntil([&] { return emu::ShowStat(name) == Strings{line}; }, 30s)) return testing::AssertionSuccess();
        return testing::AssertionFailure() << testing::PrintToString(emu::ShowStat(name));
    }
};

const char kSave[] = "create s mail\\alice.nsf Form=Appointment ApptUNID=@unid\nsync save\n";
const std::string kBack = "Configuration reloaded: this task captures changes again";

// A task other than HTTP: its reload fails on a refresh message; while off
// it captures nothing, and the next refresh after the mend brings it back.
// Both tasks run throughout, as on a server.
TEST_F(TaskFailureTest, ATaskOffAfterAFailedReloadComesBackWithTheNextRefresh) {
    Prepare();
    FedTask server("nserver.exe", dataDir), http("nhttp.exe", dataDir);
    ASSERT_TRUE(server.Ok() && http.Ok());
    server.Feed(kSave);
    ASSERT_TRUE(ConsoleLogReaches(dataDir, "Saved queue note ok"));

    RemoveServerView();
    http.Feed(kAlert);
    ASSERT_TRUE(ConsoleLogReaches(dataDir, "Broadcasting Config Referesh"));
    server.Feed(kSave);  // meets the refresh; the reload fails
    ASSERT_TRUE(ConsoleLogReaches(dataDir, "(nserver.exe) : Error occured when finding server view"));
    server.Feed(kSave);  // off: not captured
    ASSERT_TRUE(ConsoleLogReaches(dataDir, "(nserver.exe) : ExtMgrCallback. TARNSession not initialised", 2));
    EXPECT_EQ(QueueNotes().size(), 1u);
    EXPECT_TRUE(StatReaches("TARN.Task.nserver.exe.State = Off: reload failed"));
    EXPECT_TRUE(StatReaches("TARN.Task.nhttp.exe.State = Off: reload failed"));  // its own reload, on the alert

    RestoreServerView();
    http.Feed(kAlert);
    ASSERT_TRUE(ConsoleLogReaches(dataDir, "Broadcasting Config Referesh", 2));
    server.Feed(kSave);  // the refresh mends it, and this change is captured
    EXPECT_TRUE(StatReaches("TARN.Task.nserver.exe.State = Serving"));
    auto r = server.Finish();
    http.Finish();
    // Ended: nothing served, nothing held.
    for (const char* line : {"State = Not served", "Config.Users = 0", "Config.Excluded = 0", "Notices.Waiting = 0",
                             "Notices.Workers = 0"})
        EXPECT_TRUE(StatReaches(std::string("TARN.Task.nserver.exe.") + line));
    EXPECT_TRUE(StatReaches("TARN.Config.ReloadsFailed = 2"));
    auto lines = BannerLines(r.out);
    EXPECT_EQ(Count(lines, "(nserver.exe) : " + kBack), 1) << testing::PrintToString(lines);
    EXPECT_EQ(Count(lines, "TARNQueue::WriteToQueue :  Saved queue note ok"), 2);
    EXPECT_EQ(QueueNotes().size(), 2u);
}

// The HTTP task's own reload fails on an alert; while off it still knows
// an alert, and the one after the mend brings it back.
TEST_F(TaskFailureTest, TheHttpTaskOffAfterAFailedReloadComesBackWithTheNextAlert) {
    Prepare();
    FedTask http("nhttp.exe", dataDir);
    ASSERT_TRUE(http.Ok());
    RemoveServerView();
    http.Feed(kAlert);
    ASSERT_TRUE(ConsoleLogReaches(dataDir, "Error occured when finding server view"));
    http.Feed(kSave);
    // A delete-notes call is no alert: while off it is not looked at.
    http.Feed("delete s\nsync delete\n");
    ASSERT_TRUE(ConsoleLogReaches(dataDir, "ExtMgrCallback. TARNSession not initialised", 3));
    EXPECT_EQ(QueueNotes().size(), 0u);

    RestoreServerView();
    http.Feed(kAlert);
    http.Feed(kSave);
    auto r = http.Finish();
    auto lines = BannerLines(r.out);
    EXPECT_EQ(Count(lines, "(nhttp.exe) : " + kBack), 1) << testing::PrintToString(lines);
    // While off it looked at the save only for an alert, at the deletion not at all.
    EXPECT_TRUE(StatReaches("TARN.Events.Refused.Off = 1"));
    EXPECT_EQ(Count(lines, "Broadcasting Config Referesh"), 2);
    EXPECT_EQ(Count(lines, "TARNQueue::WriteToQueue :  Saved queue note ok"), 1);
    EXPECT_EQ(QueueNotes().size(), 1u);
}

// A start-up that failed stays off for good: a refresh does not start it.
TEST_F(TaskFailureTest, AFailedStartUpIsNotUndoneByARefresh) {
    Prepare();
    RemoveServerView();
    FedTask server("nserver.exe", dataDir);
    ASSERT_TRUE(server.Ok());
    RestoreServerView();
    ASSERT_EQ(RunTask("nhttp.exe", dataDir, kAlert).exitCode, 0);
    server.Feed(kSave);
    auto lines = BannerLines(server.Finish().out);
    EXPECT_EQ(CountWith(lines, {kBack}), 0);
    EXPECT_EQ(QueueNotes().size(), 0u);
}

TEST_F(TaskFailureTest, RegistrationFailuresAreSaidAtLevelOne) {
    Prepare(3);
    auto r = RunTask("nserver.exe", dataDir, "", {{"EMU_FAULTS", "EmRegister=0x1A41@2,EmDeregister=0x1A41@3"}});
    auto lines = BannerLines(r.out);
    const std::string p = "Brackwater TARN 1.2.27 (nserver.exe) : ";
    EXPECT_EQ(CountWith(lines, {p + "ERROR: MainEntryPoint:\tcould not register after callback for EM_NSFNOTEUPDATE: "}), 1)
        << testing::PrintToString(lines);
    // The refused one has no "registered" line; the others go on, and the
    // task is served.
    EXPECT_EQ(Count(lines, p + " (nserver.exe) loaded OK..."), 1);
    EXPECT_EQ(Count(lines, "MainEntryPoint:\tregistered after callback for EM_NSFNOTEUPDATE"), 0);
    EXPECT_EQ(Count(lines, "MainEntryPoint:\tregistered before callback for EM_NSFNOTEUPDATE"), 1);
    EXPECT_EQ(Count(lines, "MainEntryPoint:\tregistered callback for EM_NSFDBDELETENOTES"), 1);
    EXPECT_EQ(CountWith(lines, {"ERROR: EMDeregister failed (", "a callback stays registered"}), 1);
}

// A refresh message that cannot be put: that task keeps its old
// configuration. The HTTP task puts none into its own queue, so one line.
// (A task's own queue that cannot be opened is the refresh suite's.)
TEST_F(TaskFailureTest, QueueFailuresAreSaidAtLevelOne) {
    Prepare(1);
    auto http = BannerLines(RunTask("nhttp.exe", dataDir, kAlert, {{"EMU_FAULTS", "MqPut=0x1A42"}}).out);
    EXPECT_EQ(CountWith(http, {"ERROR: refresh message to TARN", "not sent (", "that task keeps its old configuration"}),
              1);
}

TEST_F(TaskFailureTest, ATaskListPastItsLengthSaysWhoIsNotServed) {
    const std::string filler(250, 'x');
    Prepare(1, "nhttp.exe," + filler + ",nserver.exe");
    auto late = BannerLines(RunTask("nserver.exe", dataDir, "").out);
    // Not served: the line has no banner, so the console log is read.
    const std::string tooLong = "ERROR: TARN_Task_List is longer than 255 characters: only its first 255 are used";
    EXPECT_EQ(ConsoleLogCount(dataDir, tooLong + ", and this task, named after them, is not served"), 1);
    EXPECT_EQ(late.size(), 1u) << testing::PrintToString(late);  // that line only
    auto early = BannerLines(RunTask("nhttp.exe", dataDir, "").out);
    EXPECT_EQ(ConsoleLogCount(dataDir, tooLong), 2);
    EXPECT_FALSE(early.empty());
}

}  // namespace
