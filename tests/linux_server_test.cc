// The whole flow as on a Linux server: task programs named server, http and
// amgr (no "n", no ".exe"), and a host that answers database paths with '/'.
#include <algorithm>
#include <chrono>

#include "processor/processor.h"
#include "support/test_support.h"

using namespace tarntest;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

class LinuxServerTest : public DataDirTest {
protected:
    void SetUp() override {
        DataDirTest::SetUp();
        ASSERT_TRUE(processor.Start());
        SampleConfig cfg = ServedBy(processor.Port(), 3);
        // Written as a Linux administrator would; the alerts and queue
        // paths of the add-in keep their '\'.
        cfg.mailFiles = {"mail/alice.nsf"};
        CreateSampleDatabases(cfg);
        CreateMailFile("mail\\alice.nsf", "CN=Alice");
        CreateMailFile("mail\\carol.nsf", "CN=Carol");
        emu::SetIniVariable("TARN_Task_List", "server,http,amgr");
    }
    void TearDown() override {
        processor.Stop();
        DataDirTest::TearDown();
    }

    tarnsim::Processor processor;
    const std::map<std::string, std::string> env = {{"TARN_ADDIN", BuildDir() + "/libtarn.so"}};
};

TEST_F(LinuxServerTest, CaptureNoticeAlertAndRefreshUnderLinuxTaskNames) {
    FedTask server(TaskProgram("server", dataDir), dataDir, env);
    ASSERT_TRUE(server.Ok());
    // A user listed with '/' is served when the host answers '/'; a file not
    // listed yet is refused.
    server.Feed("create a1 mail\\alice.nsf Form=Appointment ApptUNID=@unid\n"
                "create c1 mail/carol.nsf Form=Appointment ApptUNID=@unid\nsync one\n");
    ASSERT_TRUE(ConsoleLogReaches(dataDir, "Not a TARN\tuser mail file"));
    ASSERT_TRUE(processor.WaitForAccepted(1, 30s));

    // Listed the other way; the HTTP task, named http, takes the alert from
    // the alerts database the host names with '/', and tells the others.
    AddUser("mail\\carol.nsf");
    auto http = RunTask(TaskProgram("http", dataDir), dataDir, "create x1 brackwater\\tarnalerts.nsf Form=Alert\n", env);
    EXPECT_EQ(http.exitCode, 0) << http.err;
    auto httpLines = BannerLines(http.out);
    EXPECT_EQ(Count(httpLines, "Opened message queue in: TARNserver"), 1);
    EXPECT_EQ(Count(httpLines, "Opened message queue in: TARNamgr"), 1);
    EXPECT_EQ(Count(httpLines, "Broadcasting Config Referesh"), 1);
    EXPECT_EQ(Count(httpLines, "ExtMgrCallback. checking IPC for config update"), 0) << "http is the HTTP task";

    server.Feed("create c2 mail\\carol.nsf Form=Appointment ApptUNID=@unid\nsync two\n");
    ASSERT_TRUE(processor.WaitForAccepted(2, 30s));
    auto r = server.Finish();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    auto lines = BannerLines(r.out);
    EXPECT_EQ(Count(lines, "Brackwater TARN 1.2.27  (server) loading..."), 1);
    EXPECT_EQ(Count(lines, "server: message received: x"), 1);
    EXPECT_EQ(Count(lines, "TARNEventProcessor::ProcessEventSingle. Passed Filter"), 2);
    EXPECT_NE(std::find(r.out.begin(), r.out.end(), "runner: deregistered: 69/1 24/1 102/2 102/1 47/1 47/2"),
              r.out.end());

    // The queue notes carry the paths as this server writes them.
    Strings paths;
    for (const auto& n : QueueNotes()) paths.push_back(TextOf(n, "CalDbPath"));
    EXPECT_EQ(paths, (Strings{"mail/alice.nsf", "mail/carol.nsf"}));
}

}  // namespace
