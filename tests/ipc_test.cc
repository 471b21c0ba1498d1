// Configuration-refresh messages between real task processes over one data
// directory.
#include <algorithm>

#include "host/tarn_session.h"
#include "support/test_support.h"

using namespace tarntest;
using Strings = std::vector<std::string>;

namespace {

const char kAlert[] = "create a1 brackwater\\tarnalerts.nsf Form=Alert\n";

class RefreshTest : public DataDirTest {
protected:
    void Prepare(const std::string& taskList, int level = 3) {
        SampleConfig cfg;
        cfg.logLevel = level;
        cfg.port = 9;  // notices go nowhere; these tests are about the queues
        CreateSampleDatabases(cfg);
        CreateMailFile("mail\\alice.nsf", "CN=Alice");
        CreateMailFile("mail\\carol.nsf", "CN=Carol");
        emu::SetIniVariable("TARN_Task_List", taskList);
    }
    static Strings Sorted(Strings v) {
        std::sort(v.begin(), v.end());
        return v;
    }
};

// Entries that can never match a task are named, and their queues still
// opened as written; blanks around an entry are trimmed; an empty entry names
// no task.
TEST_F(RefreshTest, TheHttpTaskOpensEveryListedTasksQueueAsWritten) {
    Prepare("nhttp.exe, nserver.exe,,AMGR.exe,nrouter.exe;nupdate.exe,amgr.exe,nserver.exe,");
    auto r = RunTask("nhttp.exe", dataDir, kAlert);
    auto lines = BannerLines(r.out);
    EXPECT_EQ(Count(lines, "Opened message queue in: TARNnhttp.exe"), 1);
    EXPECT_EQ(Count(lines, "Opened message queue in: TARN"), 0);
    EXPECT_EQ(Count(lines, "WARNING: TARN_Task_List has an empty entry: no message queue opened for it"), 1);
    // " nserver.exe" serves nserver.exe (a substring match), so its queue is
    // the one that task reads: named without the blank.
    EXPECT_EQ(Count(lines, "Opened message queue in: TARNnserver.exe"), 2);
    const std::string p = "Brackwater TARN 1.2.27 (nhttp.exe) : WARNING: TARN_Task_List entry ";
    EXPECT_EQ(Count(lines, p + "\" nserver.exe\" has blanks around it: its task is served and its queue is "
                               "TARNnserver.exe"),
              1);
    EXPECT_EQ(Count(lines, p + "\"AMGR.exe\" can never match a task (capital letter)"), 1);
    EXPECT_EQ(Count(lines, p + "\"nrouter.exe;nupdate.exe\" can never match a task (';' inside, entries are "
                               "separated by ',')"),
              1);
    const Strings queues = {"TARNAMGR.exe", "TARNamgr.exe", "TARNnhttp.exe", "TARNnrouter.exe;nupdate.exe",
                            "TARNnserver.exe"};
    EXPECT_EQ(Sorted(emu::QueueNames()), queues);
    // One broadcast: one message in each queue, duplicates once; none in its
    // own, which it never reads.
    EXPECT_EQ(Count(lines, "Broadcasting Config Referesh"), 1);
    EXPECT_EQ(Count(lines, "Sending IPC to: TARNnserver.exe"), 1);
    EXPECT_EQ(Count(lines, "Sending IPC to: TARNnhttp.exe"), 0);
    for (const auto& q : queues) EXPECT_EQ(Waiting(q), q == "TARNnhttp.exe" ? 0 : 1) << q;
}

// A task that reads no message (idle, or not running) fills its queue: the
// full queue already holds a refresh, so the puts it refuses are no error.
// Any other refused put is one.
TEST_F(RefreshTest, AFullQueueIsNoErrorAndEveryOtherFailedPutIs) {
    Prepare("nserver.exe,nhttp.exe");
    std::string script = kAlert;
    for (int i = 0; i < 69; ++i) script += "modify a1 Subject=" + std::to_string(i) + "\n";
    auto r = RunTask("nhttp.exe", dataDir, script);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto lines = BannerLines(r.out);
    EXPECT_EQ(Count(lines, "Broadcasting Config Referesh"), 70);
    EXPECT_EQ(CountWith(lines, {"ERROR: refresh message"}), 0);
    // The queue holds 64 messages.
    EXPECT_EQ(Count(lines, "Refresh message to TARNnserver.exe not sent (Message queue is full): a refresh already "
                           "waits there"),
              6);
    EXPECT_EQ(Waiting("TARNnserver.exe"), 64);
    EXPECT_EQ(Waiting("TARNnhttp.exe"), 0);

    r = RunTask("nhttp.exe", dataDir, kAlert, {{"EMU_FAULTS", "MqPut=0x1A41"}});
    lines = BannerLines(r.out);
    EXPECT_EQ(Count(lines, "ERROR: refresh message to TARNnserver.exe not sent (Injected failure): that task keeps "
                           "its old configuration"),
              1)
        << ::testing::PrintToString(lines);
    EXPECT_EQ(CountWith(lines, {"not sent ("}), 1);
}

TEST_F(RefreshTest, ALaterTaskFindsEveryWaitingMessageAndReloadsOnce) {
    Prepare("nserver.exe,nhttp.exe");
    ASSERT_EQ(RunTask("nhttp.exe", dataDir,
                      std::string(kAlert) + "modify a1 Subject=1\nmodify a1 Subject=2\n").exitCode, 0);
    EXPECT_EQ(Waiting("TARNnserver.exe"), 3);
    AddUser("mail\\carol.nsf");  // what the reload will find

    // nserver.exe starts after the broadcasts: its first event takes all three.
    auto r = RunTask("nserver.exe", dataDir, "create c mail\\carol.nsf Form=Appointment ApptUNID=@unid\n");
    auto lines = BannerLines(r.out);
    EXPECT_EQ(Count(lines, "nserver.exe: message received: x"), 3);
    EXPECT_EQ(Count(lines, "ExtMgrCallback. checking IPC for config update"), 2);
    EXPECT_EQ(Count(lines, "TARNEventProcessor::ProcessEventSingle. Passed Filter"), 1);
    EXPECT_EQ(Waiting("TARNnserver.exe"), 0);
}

TEST_F(RefreshTest, AChangeMadeThroughTheHttpTaskChangesWhatARunningTaskAccepts) {
    Prepare("nserver.exe,nhttp.exe");
    // nserver.exe runs throughout: one change before the refresh, one after,
    // fed as the test goes.
    FedTask running("nserver.exe", dataDir);
    ASSERT_TRUE(running.Ok());
    running.Feed("create c1 mail\\carol.nsf Form=Appointment ApptUNID=@unid\nsync one\n");
    ASSERT_TRUE(ConsoleLogReaches(dataDir, "Not a TARN\tuser mail file"));
    AddUser("mail\\carol.nsf");
    ASSERT_EQ(RunTask("nhttp.exe", dataDir, kAlert).exitCode, 0);
    running.Feed("create c2 mail\\carol.nsf Form=Appointment ApptUNID=@unid\nsync two\n");
    auto r = running.Finish();
    ExpectTheRefreshWasServed(BannerLines(r.out));
}

TEST_F(RefreshTest, ATaskWhoseQueueCannotBeOpenedServesNothing) {
    Prepare("nserver.exe,nhttp.exe");
    auto r = RunTask("nserver.exe", dataDir, "create c mail\\alice.nsf Form=Appointment ApptUNID=@unid\n",
                     {{"EMU_FAULTS", "MqOpen=0x1A42"}});
    auto lines = BannerLines(r.out);
    EXPECT_EQ(Count(lines, "Opened message queue FAILED in: TARNnserver.exe"), 1);
    EXPECT_EQ(CountWith(lines, {"ERROR: message queue TARNnserver.exe could not be opened (",
                                "this task captures no change"}),
              1);
    EXPECT_EQ(Count(lines, "MainEntryPoint:\tcreated recursion ID"), 0);
    EXPECT_EQ(Count(lines, "ExtMgrCallback. Start"), 0);

    // In the HTTP task a queue that cannot be opened only leaves that task out.
    auto http = RunTask("nhttp.exe", dataDir, "", {{"EMU_FAULTS", "MqOpen=0x1A42@1"}});
    auto httpLines = BannerLines(http.out);
    EXPECT_EQ(Count(httpLines, "Opened message queue FAILED in: TARNnserver.exe"), 1);
    EXPECT_EQ(Count(httpLines, "Opened message queue in: TARNnhttp.exe"), 1);
    EXPECT_EQ(Count(httpLines, "MainEntryPoint:\tcreated recursion ID"), 1);
}

// The HTTP task is known whatever the case of its name; a long task name
// gives the same (cut) queue name on both sides.
TEST_F(RefreshTest, TheHttpTaskIsKnownByAnyCaseAndLongNamesGiveOneQueue) {
    const std::string name = "averyveryverylongtaskname.exe";  // 29 characters
    Prepare("nhttp.exe,nserver.exe," + name);
    auto lines = BannerLines(RunTaskAs("NHTTP.EXE", dataDir, kAlert).out);
    EXPECT_EQ(Count(lines, "Opened message queue in: TARNnserver.exe"), 1);
    EXPECT_EQ(Count(lines, "Broadcasting Config Referesh"), 1);
    EXPECT_EQ(Count(lines, "ExtMgrCallback. checking IPC for config update"), 0);

    lines = BannerLines(RunTaskAs(name, dataDir, "create c mail\\alice.nsf Form=Memo\n").out);
    const std::string cut = "TARN" + name.substr(0, 27);
    EXPECT_EQ(Count(lines, "Message queue name cut to fit: " + cut), 1);
    EXPECT_EQ(Count(lines, name + ": message received: x"), 1);
}

TEST_F(RefreshTest, AMessageTooLongForTheBufferStillCountsAsARefresh) {
    Prepare("nserver.exe,nhttp.exe");
    TARNSession session;
    ASSERT_TRUE(session.Init("nserver.exe", "nserver.exe,nhttp.exe"));
    AddUser("mail\\carol.nsf");
    const std::string longMessage(300, 'y');
    const MQHANDLE ownQueue = session.GetRefreshQueues().OwnQueue();
    ASSERT_EQ(MQPut(ownQueue, 1, const_cast<char*>(longMessage.data()), static_cast<uint16_t>(longMessage.size()), 0), 0);
    ASSERT_EQ(MQPut(ownQueue, 1, const_cast<char*>("x"), 2, 0), 0);
    emu::ClearConsole();
    session.CheckConfigRefreshMessages();
    EXPECT_EQ(MQGetCount(ownQueue), 0);  // taken off, not left to block the queue
    EXPECT_EQ(Count(emu::ConsoleLines(), "nserver.exe: message received: x"), 1);
    char carol[256] = "mail\\carol.nsf";
    EXPECT_TRUE(session.GetConfig()->IsUserMailFile(carol));
    session.Reset();
}

}  // namespace
