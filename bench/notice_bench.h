// What the notice benchmarks share: a task session notifying a sample
// processor in this process, and the round of notices they time.
#pragma once

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/tarn_session.h"
#include "processor/processor.h"
#include "support/test_support.h"

namespace noticebench {

constexpr int kThreads = 8;
constexpr int kNotices = 400;

// 8 server threads hand over kNotices notices at once; returns once every
// one has been carried.
inline void HandOverRound(TARNSession& session) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kNotices / kThreads; ++i) {
                EventData e;
                memset(&e, 0, sizeof e);
                e.eventId = 47;
                e.queueNoteId = static_cast<uint32_t>(t * 10000 + i);
                session.GetProcessor()->SendTransactionNotice(e);
            }
        });
    for (auto& t : threads) t.join();
    session.GetTransport()->WaitForNotices(60000);
}

// A processor served with `o`, and the current data directory's databases
// sending notices to it at log level 1, the console not echoed.
inline std::unique_ptr<tarnsim::Processor> StartedProcessor(const tarnsim::ProcessorOptions& o) {
    emu::SetConsoleEcho(false);
    auto processor = std::make_unique<tarnsim::Processor>(o);
    if (!processor->Start()) std::abort();
    tarntest::SampleConfig cfg;
    cfg.port = processor->Port();
    cfg.url = "/servlet/dts";
    cfg.logLevel = 1;
    tarntest::CreateSampleDatabases(cfg);
    return processor;
}

struct Setup {
    std::string dir;
    std::unique_ptr<tarnsim::Processor> processor;
    TARNSession session;
    Setup() {
        dir = tarntest::MakeTempDir("notice-bench");
        emu::SetDataDirectory(dir);
        processor = StartedProcessor({});
        if (!session.Init("nserver.exe", "nserver.exe")) std::abort();
    }
    ~Setup() {
        session.Reset();
        processor->Stop();
        emu::RemoveAllQueues();
        std::filesystem::remove_all(dir);
    }
};

inline Setup& TheSetup() {
    static Setup s;
    return s;
}

}  // namespace noticebench
