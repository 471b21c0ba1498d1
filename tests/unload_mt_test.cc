// A task process that unloads the add-in while its notices are still on
// their way to a processor that does not answer: the workers are inside
// requests or waiting for one when the host lets the library go, and the
// process lives on a while after the unload, as a server shutting down does.

#include <algorithm>
#include <filesystem>
#include <string>

#include "processor/certificates.h"
#include "processor/processor.h"
#include "support/processor_fixture.h"

using namespace tarntest;

namespace {

class UnloadTest : public DataDirTest {
protected:
    // nserver.exe serving one user, its notices going to `processor`.
    void ServeAliceThrough(const tarnsim::Processor& processor) {
        CreateSampleDatabases(ServedBy(processor.Port(), 1));
        CreateMailFile("mail\\alice.nsf", "CN=Alice");
        emu::SetIniVariable("TARN_Task_List", "nserver.exe");
    }
    // `runs` task processes, each unloading in the middle of a burst of
    // notices to a processor (served with `o`) that holds every request
    // until it stops: it is stopped once the unload has said what it
    // abandoned, while the process lingers on.
    void UnloadInABurst(tarnsim::ProcessorOptions o, int runs);
    // Longer than any test waits: the processor's stop lets the requests go.
    static constexpr std::chrono::minutes kHeld{5};
};

TEST_F(UnloadTest, UnloadInTheMiddleOfABurstNeverCrashesAndCountsWhatWasAbandoned) {
    tarnsim::ProcessorOptions o;
    o.mode = tarnsim::FailMode::Hang;
    o.hangLimit = kHeld;
    UnloadInABurst(o, 14);
}

// The same with the exchanges inside TLS connections (handshakes done, the
// requests held, the connections dropped at the processor's stop).
TEST_F(UnloadTest, UnloadInTheMiddleOfABurstOverHttpsNeverCrashes) {
    const std::string dir = MakeTempDir("unload-tls");
    tarnsim::CertificateAuthority ca("TARN test CA", dir + "/ca.pem");
    ASSERT_TRUE(ca.Issue({"127.0.0.1"}, dir + "/server.pem", dir + "/server.key")) << ca.Problem();
    tarnsim::ProcessorOptions o;
    o.tlsCert = dir + "/server.pem";
    o.tlsKey = dir + "/server.key";
    o.mode = tarnsim::FailMode::Hang;
    o.hangLimit = kHeld;
    emu::SetIniVariable("TARN_HTTP_Secure", "1");
    emu::SetIniVariable("TARN_HTTP_CAFile", ca.CertFile());
    UnloadInABurst(o, 7);
    std::filesystem::remove_all(dir);
}

void UnloadTest::UnloadInABurst(tarnsim::ProcessorOptions o, int runs) {
    o.port = UnusedLoopbackPort();  // the same for every run's processor
    {
        tarnsim::Processor first(o);
        ASSERT_TRUE(first.Start());
        ServeAliceThrough(first);
        first.Stop();
    }
    // More notices than workers: some in flight, the rest waiting.
    constexpr int kNotices = 24;
    std::string script;
    for (int i = 0; i < kNotices; ++i)
        script += "create a" + std::to_string(i) + " mail\\alice.nsf Form=Appointment ApptUNID=@unid\n";
    const std::string teardown =
        "Brackwater TARN 1.2.27 (nserver.exe) : Teardown: " + std::to_string(kNotices) + " notice(s) abandoned (";

    size_t reached = 0;
    for (int run = 0; run < runs; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        tarnsim::Processor processor(o);
        ASSERT_TRUE(processor.Start());
        FedTask task("nserver.exe", dataDir, {}, {"--threads", "4", "--linger", "800"});
        ASSERT_TRUE(task.Ok());
        // Every save made, then the unload.
        task.Feed(script + "sync 1\n");
        EXPECT_TRUE(task.WaitForLine("runner: sync 1"));
        task.Feed("quit\n");
        EXPECT_TRUE(task.WaitForLine(teardown));
        processor.Stop();
        reached += processor.Notices().size();
        ProcessResult r = task.Finish();
        ASSERT_EQ(r.exitCode, 0) << r.err;
        // Nothing was answered, so every notice was abandoned, and said so once.
        auto lines = BannerLines(r.out);
        EXPECT_EQ(CountWith(lines, {teardown}), 1) << ::testing::PrintToString(lines);
        EXPECT_EQ(CountWith(lines, {"HttpSendRequest"}), 0);
    }
    // The exchanges were under way (over TLS when served so) when the unloads came.
    EXPECT_GT(reached, 0u);
}

// A task whose notice reached the processor, with its worker lingering for
// the next one, then unloads: the callbacks are deregistered at unload (the
// termination's own registration first, then the five in their order), not
// left to the process's exit.
TEST_F(UnloadTest, ATaskThatSentANoticeDeregistersEveryCallbackAtUnload) {
    tarnsim::Processor processor;
    ASSERT_TRUE(processor.Start());
    ServeAliceThrough(processor);

    // The task reads its operations from a pipe, so the test decides when it
    // unloads: after the processor has the notice.
    FedTask task("nserver.exe", dataDir);
    ASSERT_TRUE(task.Ok());
    task.Feed("create a1 mail\\alice.nsf Form=Appointment ApptUNID=@unid\nwait\n");
    const bool delivered = processor.WaitForAccepted(1, std::chrono::seconds(30));
    // The processor has the notice before its answer reaches the worker:
    // the worker's exchange is given time to end before the unload.
    task.Feed("sleep 1000\nquit\n");
    ProcessResult r = task.Finish();
    ASSERT_TRUE(delivered);
    ASSERT_EQ(r.exitCode, 0) << r.err;

    auto at = [&](const std::string& start) {
        return std::find_if(r.out.begin(), r.out.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; });
    };
    auto deregistered = at("runner: deregistered:");
    ASSERT_NE(deregistered, r.out.end());
    EXPECT_EQ(*deregistered, "runner: deregistered: 69/1 24/1 102/2 102/1 47/1 47/2");
    EXPECT_LT(deregistered, at("runner: exit"));
    // The lingering worker carried nothing: no notice was abandoned.
    for (const auto& l : BannerLines(r.out)) EXPECT_EQ(l.find("Teardown:"), std::string::npos) << l;
    processor.Stop();
}

// A save that reaches the callbacks while the add-in unloads, on a host
// that offers no callback-skip query: the add-in's own rule skips it, so
// even at level 2 the callback says nothing.
TEST_F(UnloadTest, ASaveArrivingDuringTheUnloadIsSkippedByTheAddInsOwnRule) {
    SampleConfig cfg;
    cfg.logLevel = 2;
    CreateSampleDatabases(cfg);
    emu::SetIniVariable("TARN_Task_List", "nserver.exe");
    ProcessResult r =
        RunTask("nserver.exe", dataDir, "", {{"EMU_CALLBACK_SKIP", "unanswered"}, {"EMU_SAVE_AT_UNLOAD", "1"}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(Count(r.out, "emu: a save raised while the add-in unloads"), 1);
    EXPECT_EQ(Count(r.out, "ExtMgrCallback. Start"), 0) << ::testing::PrintToString(r.out);
    EXPECT_EQ(Count(r.out, "runner: deregistered: 69/1 24/1 102/2 102/1 47/1 47/2"), 1);
}

}  // namespace
