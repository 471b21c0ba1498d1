// The task as the layers below the session meet it, in real task processes
// over the loaded library: its log follows the level in force at each line,
// and its notices keep to TARN_HTTP_Workers from the first one, however many
// server threads make it at once.
#include <chrono>

#include "processor/processor.h"
#include "support/test_support.h"

using namespace tarntest;
using namespace std::chrono_literals;

namespace {

const std::string P = "Brackwater TARN 1.2.27 (nserver.exe) : ";
const char kSave[] = "create s mail\\alice.nsf Form=Appointment ApptUNID=@unid\nsync save\n";

class ServingTest : public DataDirTest {
protected:
    // Databases without a server document; ServerDocument makes it.
    void Prepare(uint16_t port) {
        SampleConfig cfg;
        cfg.serverDocument = false;
        CreateSampleDatabases(cfg);
        CreateMailFile("mail\\alice.nsf", "CN=Alice");
        emu::SetIniVariable("TARN_Task_List", "nserver.exe,nhttp.exe");
        this->port = port;
    }
    // The one server document, at `level`, replacing the one before.
    void ServerDocument(int level) {
        DBHANDLE db = 0;
        ASSERT_EQ(NSFDbOpen("brackwater\\tarnconfig.nsf", &db), 0);
        if (serverDoc) {
            ASSERT_EQ(emu::DeleteNotes(db, {serverDoc}), 0);
        }
        ASSERT_EQ(emu::CreateDocument(db,
                                      {emu::Text("Form", "Server"), emu::Text("Url_DomToTN", "servlet/dts"),
                                       emu::Text("Hostname_DomToTN", "127.0.0.1"), emu::Number("Port_Domino", port),
                                       emu::Text("AuthType", "None"), emu::Text("Username", "tarn"),
                                       emu::Text("Password", "secret"), emu::Number("DTC_LogLevel", level)},
                                      &serverDoc),
                  0);
        NSFDbClose(db);
    }

    uint16_t port = 9;
    NOTEID serverDoc = 0;
};

// A refresh that raises the level takes effect with the first line written
// after the reload, in the very callback that made it: no caller holds an
// older level for its own lines.
TEST_F(ServingTest, ALevelRaisedByARefreshHoldsFromTheNextLineOn) {
    Prepare(9);  // notices go nowhere; this is about the lines
    ServerDocument(1);
    FedTask server("nserver.exe", dataDir), http("nhttp.exe", dataDir);
    ASSERT_TRUE(server.Ok() && http.Ok());
    server.Feed(kSave);
    ASSERT_TRUE(server.WaitForLine("runner: sync save"));

    ServerDocument(3);
    http.Feed("create x brackwater\\tarnalerts.nsf Form=Alert\nsync alert\n");
    ASSERT_TRUE(http.WaitForLine("runner: sync alert"));
    server.Feed(kSave);
    auto lines = BannerLines(server.Finish().out);
    http.Finish();

    // At level 1 nothing of the first save's callbacks shows; the reload
    // comes in the second save's first callback, whose lines from then on
    // show, and every later callback's whole.
    const int starts = Count(lines, P + "ExtMgrCallback. Start");
    EXPECT_GE(starts, 1) << testing::PrintToString(lines);
    EXPECT_EQ(Count(lines, P + "ExtMgrCallback. Populating Event data"), starts + 1)
        << testing::PrintToString(lines);
    EXPECT_EQ(Count(lines, P + "ExtMgrCallback. checking IPC for config update"), starts);
    EXPECT_EQ(Count(lines, P + "TARNQueue::WriteToQueue :  Saved queue note ok"), 1);
    EXPECT_EQ(QueueNotes().size(), 2u);
}

// Eight server threads save at once, each the first notice of the task:
// TARN_HTTP_Workers=1 holds for all of them, so one exchange is in flight
// (the processor holds it) and the other seven wait in memory until the
// teardown drops them.
TEST_F(ServingTest, TheWorkerLimitHoldsForTheFirstNoticesOfManyThreads) {
    tarnsim::ProcessorOptions o;
    o.mode = tarnsim::FailMode::Hang;
    o.hangLimit = 30s;
    tarnsim::Processor processor(o);
    ASSERT_TRUE(processor.Start());
    Prepare(static_cast<uint16_t>(processor.Port()));
    ServerDocument(1);
    emu::SetIniVariable("TARN_HTTP_Workers", "1");
    std::string script;
    for (int i = 0; i < 8; ++i)
        script += "create a" + std::to_string(i) + " mail\\alice.nsf Form=Appointment ApptUNID=@unid\n";
    auto r = RunTask("nserver.exe", dataDir, script + "sync all\n", {}, {"--threads", "8"});
    processor.Stop();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto lines = BannerLines(r.out);
    EXPECT_EQ(Count(lines, P + "Teardown: 8 notice(s) abandoned (7 queued, 1 in flight)"), 1)
        << testing::PrintToString(lines);
    EXPECT_EQ(emu::ShowStat("TARN.Task.nserver.exe.Notices.WorkersPeak"),
              std::vector<std::string>{"TARN.Task.nserver.exe.Notices.WorkersPeak = 1"});
    EXPECT_EQ(QueueNotes().size(), 8u);
}

}  // namespace
