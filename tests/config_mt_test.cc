// Readers on many server threads while the configuration reloads: each sees
// the old lists or the new ones whole, and settings text stays readable.
#include <atomic>
#include <cstring>
#include <thread>

#include "config/tarn_config.h"
#include "host/tarn_session.h"
#include "support/test_support.h"

using namespace tarntest;

namespace {

class ConfigReloadTest : public DataDirTest {};

TEST_F(ConfigReloadTest, ReadersNeverSeeAHalfLoadedConfiguration) {
    SampleConfig cfg;
    cfg.mailFiles.clear();
    for (int i = 0; i < 200; ++i) cfg.mailFiles.push_back("mail\\user" + std::to_string(i) + ".nsf");
    CreateSampleDatabases(cfg);
    emu::SetReadPageSize(16);  // reloads take several reads

    TARNSession session;
    session.StartLog("nserver.exe");
    TARNConfig config;
    ASSERT_TRUE(config.Open(&session));

    std::atomic<bool> stop{false};
    std::atomic<long> checks{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&, t] {
            long n = 0;
            while (!stop.load()) {
                char path[256];
                snprintf(path, sizeof path, "MAIL\\USER%d.NSF", (t * 37 + static_cast<int>(n)) % 200);
                if (!config.IsUserMailFile(path)) ++wrong;
                char other[256] = "mail\\nobody.nsf";
                if (config.IsUserMailFile(other)) ++wrong;
                char queue[256] = "brackwater\\qcapture.nsf";
                if (!config.IsExcludedDb(queue)) ++wrong;
                if (config.GetUrl() != "servlet/dts") ++wrong;
                if (config.GetLogLevel() != 3) ++wrong;
                ++n;
            }
            checks += n;
        });
    }
    for (int i = 0; i < 30; ++i) EXPECT_TRUE(config.Load());
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(checks.load(), 0);
    config.Reset();
}

}  // namespace
