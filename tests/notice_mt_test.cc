// A burst of notices from many server threads at once, on the task's one
// connection: each reaches the processor exactly once, and the first
// connection is made once.
#include <algorithm>
#include <cstring>
#include <set>
#include <thread>

#include "host/tarn_session.h"
#include "processor/processor.h"
#include "support/test_support.h"

using namespace tarntest;

namespace {

class NoticeBurstTest : public DataDirTest {};

TEST_F(NoticeBurstTest, FiveHundredNoticesFromEightThreads) {
    for (auto mode : {tarnsim::AuthMode::None, tarnsim::AuthMode::Session}) {
        SCOPED_TRACE(tarnsim::AuthModeName(mode));
        tarnsim::ProcessorOptions o;
        o.auth = mode;
        tarnsim::Processor processor(o);
        ASSERT_TRUE(processor.Start());
        SampleConfig cfg;
        cfg.port = processor.Port();
        cfg.url = "/servlet/dts";
        cfg.logLevel = 3;
        cfg.authType = mode == tarnsim::AuthMode::Session ? "Session" : "None";
        std::filesystem::remove_all(dataDir + "/brackwater");
        CreateSampleDatabases(cfg);
        TARNSession session;
        ASSERT_TRUE(session.Init("nserver.exe", "nserver.exe"));
        EventData level{};
        session.GetProcessor()->ProcessEvent(level);  // takes the configured level
        emu::ClearConsole();

        constexpr int kThreads = 8;
        const int perThread = mode == tarnsim::AuthMode::None ? 63 : 20;  // 504 and 160 notices
        std::vector<std::thread> servers;
        for (int t = 0; t < kThreads; ++t)
            servers.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i) {
                    EventData e;
                    memset(&e, 0, sizeof e);
                    e.eventId = 47;
                    e.queueNoteId = static_cast<uint32_t>(t * 1000 + i);
                    EXPECT_TRUE(session.GetProcessor()->SendTransactionNotice(e));
                }
            });
        for (auto& s : servers) s.join();
        ASSERT_TRUE(session.GetProcessor()->WaitForNotices(60000));
        std::multiset<std::string> ids;
        for (const auto& n : processor.AcceptedNotices()) ids.insert(n.qnoteid);
        EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads * perThread));
        EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());  // none twice
        auto lines = emu::ConsoleLines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(),
                             "Brackwater TARN 1.2.27 (nserver.exe) : openHTTPConnection. InternetConnect Success"),
                  1);
        session.Reset();
        processor.Stop();
    }
}

}  // namespace
