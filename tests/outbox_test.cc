// The sample processor as an outbox consumer: a Status write that fails, and
// the whole promise across real processes: the processor goes away during a burst of changes, comes back,
// and every queue note is handled exactly once.
#include <sys/stat.h>
#include <signal.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "processor/outbox.h"
#include "support/outbox_support.h"
#include "support/processor_fixture.h"
#include "support/test_support.h"

using namespace tarntest;
using namespace std::chrono_literals;

namespace {

class OutboxTest : public QueueDbTest {
protected:
    // An outbox whose sweeps run only when the test asks.
    std::unique_ptr<tarnsim::Outbox> Make() {
        tarnsim::OutboxOptions o;
        o.sweepInterval = 1h;
        o.grace = 0ms;
        o.now = [this] { return clock; };
        return std::make_unique<tarnsim::Outbox>(
            o,
            [this](const tarnsim::QueueNote& n, tarnsim::Via via) { handled.push_back({n, via}); },
            [this](const std::string& line) { log.push_back(line); });
    }
    std::chrono::steady_clock::time_point clock = std::chrono::steady_clock::now();  // stepped by the tests
    std::vector<std::pair<tarnsim::QueueNote, tarnsim::Via>> handled;
    std::vector<std::string> log;
};

TEST_F(OutboxTest, AStatusThatCannotBeWrittenIsRetriedWithoutHandlingTheNoteAgain) {
    auto outbox = Make();
    ASSERT_TRUE(outbox->Start(nullptr));
    NOTEID id = WriteQueueNote(db, 1);
    emu::InjectFault(emu::Op::UpdateNote, emu::err::DB_IO);
    outbox->OnNotice(Hex8(id));
    EXPECT_EQ(handled.size(), 1u);
    EXPECT_EQ(QueueStatus()[id], 0);
    EXPECT_EQ(outbox->Counts().unmarked, 1u);
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("handled, but its Status could not be written"), std::string::npos) << log.back();
    // Neither a sweep nor a second notice handles it again while the write is owed.
    EXPECT_EQ(outbox->Sweep(true), 0u);
    EXPECT_EQ(outbox->OnNotice(Hex8(id)), "(already handled)");
    emu::ClearFaults();
    EXPECT_EQ(outbox->Sweep(true), 0u);  // writes the Status it owed
    EXPECT_EQ(QueueStatus()[id], 1);
    EXPECT_EQ(outbox->Counts().unmarked, 0u);
    EXPECT_EQ(handled.size(), 1u);
    EXPECT_EQ(emu::Open().notes, 0);
}

// ---- the programs ----------------------------------------------------------------

// tarn-processor over the data directory; returns once it listens.
RunningTask StartProcessor(const std::string& dataDir, uint16_t port, const std::string& record) {
    RunningTask p = StartTask(BuildDir() + "/bin/tarn-processor", dataDir, "", {},
                              {"--port", std::to_string(port), "--record", record, "--sweep-interval", "0.2",
                               "--sweep-grace", "0.1"});
    EXPECT_TRUE(WaitUntil(
        [&] {
            std::ifstream out(p.scriptPath + ".out");
            std::string line;
            return std::getline(out, line) && line.starts_with("listening on");
        },
        20s));
    return p;
}

ProcessResult Stop(const RunningTask& p) {
    kill(p.pid, SIGTERM);
    return WaitTask(p);
}

TEST_F(OutboxTest, TheProcessorStoppedDuringABurstHandlesEveryQueueNoteExactlyOnce) {
    // The kit's own queue database here, not the fixture's bare one.
    NSFDbClose(db);
    db = 0;
    ASSERT_EQ(NSFDbDelete(kQueueDb), 0);
    uint16_t port = UnusedLoopbackPort();
    SampleConfig cfg;
    cfg.logLevel = 1;
    cfg.port = port;
    CreateSampleDatabases(cfg);
    CreateMailFile("mail\\alice.nsf", "CN=Alice Able/O=Brackwater");
    CreateMailFile("mail\\bob.nsf", "CN=Bob Baker/O=Brackwater");
    emu::SetIniVariable("TARN_Task_List", "nserver.exe,amgr.exe");
    const std::string record = dataDir + "/processor.jsonl";

    // Two tasks, 300 changes each, in steps of ten: the first half while the
    // processor runs, the second while it is stopped. The tasks are fed by the
    // test's steps, not by a clock.
    auto half = [](const std::string& mail, int from) {
        std::string script;
        for (int i = from; i < from + 150; ++i) {
            script += "create d" + std::to_string(i) + " " + mail + " Form=Appointment ApptUNID=@unid\n";
            if (i % 10 == 0) script += "sleep 25\n";
        }
        return script;
    };
    RunningTask processor = StartProcessor(dataDir, port, record);
    FedTask nserver("nserver.exe", dataDir), amgr("amgr.exe", dataDir);
    ASSERT_TRUE(nserver.Ok() && amgr.Ok());
    nserver.Feed(half("mail\\alice.nsf", 1));
    amgr.Feed(half("mail\\bob.nsf", 1));
    ASSERT_TRUE(WaitUntil([] { return QueueStatus().size() >= 60; }, 60s));
    ProcessResult first = Stop(processor);
    EXPECT_EQ(first.exitCode, 0) << first.err;
    size_t atStop = QueueStatus().size();
    nserver.Feed(half("mail\\alice.nsf", 151));
    amgr.Feed(half("mail\\bob.nsf", 151));
    ASSERT_TRUE(WaitUntil([&] { return QueueStatus().size() >= atStop + 60; }, 60s));  // notices lost meanwhile
    processor = StartProcessor(dataDir, port, record);
    ProcessResult n = nserver.Finish(), a = amgr.Finish();
    EXPECT_TRUE(WaitUntil([] { return PendingCount() == 0; }, 30s)) << PendingCount() << " pending";
    ProcessResult second = Stop(processor);
    EXPECT_EQ(second.exitCode, 0) << second.err;

    // Both tasks logged the notices that found no processor.
    int lost = 0;
    for (const auto* r : {&n, &a}) {
        EXPECT_EQ(r->exitCode, 0) << r->err;
        for (const auto& line : r->out) lost += line.find("HttpSendRequest Failed: ") != std::string::npos;
    }
    EXPECT_GT(lost, 0);

    auto status = QueueStatus();
    EXPECT_EQ(status.size(), 600u);
    std::map<std::string, int> times, via;
    std::ifstream in(record);
    std::string line;
    while (std::getline(in, line)) {
        auto j = nlohmann::json::parse(line);
        if (j["kind"] != "handled") continue;
        ++times[j["qnoteid"].get<std::string>()];
        ++via[j["via"].get<std::string>()];
    }
    EXPECT_EQ(times.size(), status.size());
    for (const auto& [id, s] : status) {
        EXPECT_EQ(s, 1) << Hex8(id);
        EXPECT_EQ(times[Hex8(id)], 1) << Hex8(id);
    }
    EXPECT_GT(via["sweep"], 0);  // the lost notices were made good by sweeps
    EXPECT_GT(via["notice"], 0);
    EXPECT_NE(second.err.find("recovered by sweep"), std::string::npos) << second.err;
}

}  // namespace
