// A burst of notices from many server threads at once, on the task's one
// connection: each reaches the processor exactly once, and the first
// connection is made once.
#include <set>
#include <thread>

#include "support/processor_fixture.h"
#include "transport/notice_workers.h"

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
        ASSERT_TRUE(Transport().WaitForNotices(60000));
        std::multiset<std::string> ids;
        for (const auto& n : processor->AcceptedNotices()) ids.insert(n.qnoteid);
        EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads * perThread));
        EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());  // none twice
        EXPECT_EQ(Count("openHTTPConnection. InternetConnect Success"), 1);
    }
}

// A reply whose head holds a line longer than the HTTP client takes is said
// as such, not as memory running out.
TEST_F(NoticeBurstTest, AReplyHeaderTooLargeIsSaidAsSuch) {
    PlayedProcessor played([](PlayedProcessor&, size_t, const httplib::Request&, httplib::Response& res) {
        res.set_header("X-Padding", std::string(200u << 10, 'p'));
        res.set_content("ok", "text/plain");
    });
    Configure(tarnsim::AuthMode::None, "tarn", "secret", 1, "/servlet/dts", played.Port());
    ASSERT_TRUE(Send(1));
    ASSERT_TRUE(Transport().WaitForNotices(30000));
    EXPECT_EQ(Count("HttpSendRequest Failed: The server's reply header is too large"), 1)
        << ::testing::PrintToString(emu::ConsoleLines());
}

// A worker kept inside a C API call (NotesInitThread held by the host)
// outlives the teardown's wait. At termination the library is pinned; at an
// unload with no termination first, the teardown waits longer and is done as
// soon as the worker lets go.
TEST_F(NoticeBurstTest, AWorkerHeldPastTheTeardownWaitIsPinnedOrWaitedFor) {
    struct Restore {
        ~Restore() {
            emu::SetThreadInitHold(false);
            SetTeardownWaitForTesting(std::chrono::milliseconds(3000));
        }
    } restore;
    SetTeardownWaitForTesting(std::chrono::milliseconds(100));
    const std::string abandoned =
        "Teardown: 1 notice(s) abandoned (0 queued, 1 in flight); 1 notice worker(s) still running after 100 ms; "
        "going on without them";
    for (bool terminate : {true, false}) {
        SCOPED_TRACE(terminate ? "EM_TERMINATENSF" : "unload");
        Serve();
        Configure(tarnsim::AuthMode::None, "tarn", "secret", 1);
        emu::SetThreadInitHold(true);
        ASSERT_TRUE(Send(1));
        ASSERT_TRUE(emu::WaitForHeldThreadInits(1, std::chrono::seconds(30)));
        if (terminate) {
            Transport().Terminate();
            emu::SetThreadInitHold(false);
            EXPECT_EQ(emu::ConsoleLines(),
                      (std::vector<std::string>{P + abandoned, P + "Teardown: notice workers outlived the wait; the library stays loaded "
                                                  "until the process ends"}));
        } else {
            // Let go once the teardown says it waits longer.
            const std::string more =
                "Teardown: waiting up to 20000 ms more for the notice workers before the library unloads";
            std::thread release([&] {
                EXPECT_TRUE(emu::WaitForConsoleLine(P + more, std::chrono::seconds(30)));
                emu::SetThreadInitHold(false);
            });
            session->Reset();
            release.join();
            EXPECT_EQ(emu::ConsoleLines(), (std::vector<std::string>{P + abandoned, P + more}));
        }
        // The worker, let go, carries nothing and ends.
        EXPECT_TRUE(Transport().WaitForNotices(30000));
        EXPECT_TRUE(processor->Notices().empty());
    }
}

}  // namespace
