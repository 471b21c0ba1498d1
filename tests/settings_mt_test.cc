// Settings read on many threads while reloads replace them: each read is
// one load's settings whole, and a replaced block is freed, not kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config/tarn_config.h"

namespace {

TARNSettings Load(const char* tag) {
    TARNSettings s;
    s.logLevel = 2;
    snprintf(s.url, sizeof s.url, "/%s/dts", tag);
    snprintf(s.hostname, sizeof s.hostname, "%s.example", tag);
    s.port = tag[0] == 'a' ? 8080 : 9090;
    snprintf(s.authType, sizeof s.authType, "%s", tag[0] == 'a' ? "Basic" : "Session");
    snprintf(s.username, sizeof s.username, "user-%s", tag);
    snprintf(s.password, sizeof s.password, "password-%s", tag);
    return s;
}

bool Same(const TARNSettings& a, const TARNSettings& b) {
    return a.logLevel == b.logLevel && a.port == b.port && strcmp(a.url, b.url) == 0 &&
           strcmp(a.hostname, b.hostname) == 0 && strcmp(a.authType, b.authType) == 0 &&
           strcmp(a.username, b.username) == 0 && strcmp(a.password, b.password) == 0;
}

TEST(SettingsReloadTest, AHundredThousandReloadsKeepOneBlockAndNoReaderSeesAMix) {
    const long before = TARNConfig::LiveBlocks();
    {
        TARNConfig config;
        const TARNSettings a = Load("alpha"), b = Load("beta");
        config.AdoptSettings(a);
        std::atomic<bool> stop{false};
        std::atomic<long> reads{0};
        std::atomic<int> mixed{0};
        std::vector<std::thread> readers;
        for (int t = 0; t < 2; ++t)
            readers.emplace_back([&] {
                long n = 0;
                while (!stop.load(std::memory_order_relaxed)) {
                    const TARNSettings s = config.GetSettings();
                    if (!Same(s, a) && !Same(s, b)) ++mixed;
                    ++n;
                }
                reads += n;
            });
        constexpr int kReloads = 100000;
        long most = 0;
        for (int i = 0; i < kReloads; ++i) {
            config.AdoptSettings(i % 2 ? a : b);
            if (i % 1000 == 0) most = std::max(most, TARNConfig::LiveBlocks() - before);
        }
        stop = true;
        for (auto& r : readers) r.join();
        EXPECT_EQ(mixed.load(), 0);
        EXPECT_GT(reads.load(), 0);
        // The block in force, and none of the 100,000 it replaced.
        EXPECT_EQ(most, 1);
        EXPECT_EQ(TARNConfig::LiveBlocks() - before, 1);
        EXPECT_TRUE(Same(config.GetSettings(), a));
    }
    EXPECT_EQ(TARNConfig::LiveBlocks(), before);
}

}  // namespace
