// A burst of notices from many server threads at once, on the task's one
// connection: each reaches the processor exactly once, and the first
// connection is made once.
#include <set>
#include <thread>

#include "support/processor_fixture.h"

using namespace tarntest;

namespace {

class NoticeBurstTest : public NoticeSessionTest {};

TEST_F(NoticeBurstTest, FiveHundredNoticesFromEightThreads) {
    for (auto mode : {tarnsim::AuthMode::None, tarnsim::AuthMode::Session}) {
        SCOPED_TRACE(tarnsim::AuthModeName(mode));
        Serve(Options([&](auto& o) { o.auth = mode; }));
        Configure(mode, "tarn", "secret", 3);
        emu::RemoveIniVariable("TARN_HTTP_Timeout");  // the defaults: a loaded machine may be slow to answer

        constexpr int kThreads = 8;
        const int perThread = mode == tarnsim::AuthMode::None ? 63 : 20;  // 504 and 160 notices
        std::vector<std::thread> servers;
        for (int t = 0; t < kThreads; ++t)
            servers.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i) EXPECT_TRUE(Send(static_cast<uint32_t>(t * 1000 + i)));
            });
        for (auto& s : servers) s.join();
        ASSERT_TRUE(Proc().WaitForNotices(60000));
        std::multiset<std::string> ids;
        for (const auto& n : processor->AcceptedNotices()) ids.insert(n.qnoteid);
        EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads * perThread));
        EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());  // none twice
        EXPECT_EQ(Count("openHTTPConnection. InternetConnect Success"), 1);
    }
}

}  // namespace
