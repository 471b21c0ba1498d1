// Many workers on one shared connection, as detached notice workers use it.
#include <atomic>
#include <map>
#include <thread>

#include "support/processor_fixture.h"

using namespace tarn::http;

namespace {
constexpr int kThreads = 8;
}

class HttpClientMtTest : public tarntest::ProcessorTest {};

TEST_F(HttpClientMtTest, EveryRequestOnTheSharedConnectionArrivesExactlyOnce) {
    constexpr int kPerThread = 60;
    StartProcessor();
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                RequestHandle r = Get(Notice(static_cast<uint32_t>(t * 1000 + i)));
                if (!r || !SendRequest(r) || tarntest::StatusOf(r) != 200 ||
                    tarntest::ReadBody(r, 8191) != processor->Options().replyBody)
                    ++failures;
                CloseHandle(r);
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(failures.load(), 0);

    std::map<std::string, int> seen;
    for (const auto& n : processor->AcceptedNotices()) ++seen[n.qnoteid];
    ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread));
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kPerThread; ++i) {
            const std::string id = tarntest::Hex8(static_cast<uint32_t>(t * 1000 + i));
            EXPECT_EQ(seen[id], 1) << id;
        }
}

// Logins and their cookies from many threads at once: each thread's login
// lands in the one cookie store, and every later notice is let through.
TEST_F(HttpClientMtTest, ConcurrentLoginsShareTheSessionCookies) {
    constexpr int kPerThread = 15;
    tarnsim::ProcessorOptions o;
    o.auth = tarnsim::AuthMode::Session;
    StartProcessor(o);
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            std::string body = "username=tarn&password=secret&redirectto=/";
            RequestHandle login = OpenRequest(connection, "POST", tarnsim::kLoginPath, kFlagsReloadKeepAlive);
            if (!login || !SendRequest(login, nullptr, body.data(), body.size()) || tarntest::StatusOf(login) != 200)
                ++failures;
            CloseHandle(login);
            for (int i = 0; i < kPerThread; ++i) {
                RequestHandle r = Get(Notice(static_cast<uint32_t>(t * 1000 + i)));
                if (!r || !SendRequest(r) || tarntest::StatusOf(r) != 200) ++failures;
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(processor->Logins().size(), static_cast<size_t>(kThreads));
    EXPECT_EQ(processor->AcceptedNotices().size(), static_cast<size_t>(kThreads * kPerThread));
    EXPECT_EQ(processor->Notices().size(), static_cast<size_t>(kThreads * kPerThread));
}
