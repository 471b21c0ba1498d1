// Notices per second through SendTransactionNotice (detached workers on the
// task's shared connection) against a plain libcurl keep-alive loop making
// the same GETs with the same concurrency, both against the same sample
// processor in the same run; and the time a server thread spends inside
// SendTransactionNotice (p50, p99).
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include <time.h>

#include "host/tarn_session.h"
#include "processor/processor.h"
#include "support/test_support.h"

namespace {

// CPU time of the calling thread: what the call costs the server thread,
// without the time it was preempted on a machine with fewer cores than threads.
double ThreadCpuMicros() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

constexpr int kThreads = 8;
constexpr int kNotices = 400;

struct Setup {
    std::string dir;
    std::unique_ptr<tarnsim::Processor> processor;
    TARNSession session;
    Setup() {
        dir = tarntest::MakeTempDir("notice-bench");
        emu::SetDataDirectory(dir);
        emu::SetConsoleEcho(false);
        processor = std::make_unique<tarnsim::Processor>();
        if (!processor->Start()) std::abort();
        tarntest::SampleConfig cfg;
        cfg.port = processor->Port();
        cfg.url = "/servlet/dts";
        cfg.logLevel = 1;
        tarntest::CreateSampleDatabases(cfg);
        if (!session.Init("nserver.exe", "nserver.exe")) std::abort();
    }
    ~Setup() {
        session.Reset();
        processor->Stop();
        emu::RemoveAllQueues();
        std::filesystem::remove_all(dir);
    }
};

Setup& TheSetup() {
    static Setup s;
    return s;
}

void BM_SendTransactionNotice(benchmark::State& state) {
    Setup& s = TheSetup();
    std::vector<double> inside, cpu;
    std::mutex m;
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                std::vector<double> mine, mineCpu;
                for (int i = 0; i < kNotices / kThreads; ++i) {
                    EventData e;
                    memset(&e, 0, sizeof e);
                    e.eventId = 47;
                    e.queueNoteId = static_cast<uint32_t>(t * 10000 + i);
                    const double c0 = ThreadCpuMicros();
                    auto t0 = std::chrono::steady_clock::now();
                    s.session.GetProcessor()->SendTransactionNotice(e);
                    mine.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
                    mineCpu.push_back(ThreadCpuMicros() - c0);
                }
                std::lock_guard lock(m);
                inside.insert(inside.end(), mine.begin(), mine.end());
                cpu.insert(cpu.end(), mineCpu.begin(), mineCpu.end());
            });
        for (auto& t : threads) t.join();
        s.session.GetProcessor()->WaitForNotices(60000);
    }
    std::sort(inside.begin(), inside.end());
    std::sort(cpu.begin(), cpu.end());
    state.SetItemsProcessed(state.iterations() * kNotices);
    state.counters["server_thread_us_p50"] = inside[inside.size() / 2];
    state.counters["server_thread_us_p99"] = inside[inside.size() * 99 / 100];
    state.counters["server_thread_cpu_us_p99"] = cpu[cpu.size() * 99 / 100];
}

// One server thread saving a document every half millisecond: the latency
// a user's save sees in ordinary operation.
void BM_SendTransactionNoticePaced(benchmark::State& state) {
    Setup& s = TheSetup();
    std::vector<double> inside;
    for (auto _ : state) {
        for (int i = 0; i < 200; ++i) {
            EventData e;
            memset(&e, 0, sizeof e);
            e.eventId = 47;
            e.queueNoteId = static_cast<uint32_t>(i);
            auto t0 = std::chrono::steady_clock::now();
            s.session.GetProcessor()->SendTransactionNotice(e);
            inside.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        s.session.GetProcessor()->WaitForNotices(60000);
    }
    std::sort(inside.begin(), inside.end());
    state.counters["server_thread_us_p50"] = inside[inside.size() / 2];
    state.counters["server_thread_us_p99"] = inside[inside.size() * 99 / 100];
}

size_t Discard(char*, size_t size, size_t n, void*) { return size * n; }

void BM_PlainCurlKeepAlive(benchmark::State& state) {
    Setup& s = TheSetup();
    const std::string base = "http://127.0.0.1:" + std::to_string(s.processor->Port()) +
                             "/servlet/dts?action=Change&id=Kq7Wm2Rx9Tb4Lz8Vn3Hc6Pd1Fs5Jg0Ye&qnoteid=";
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                CURL* curl = curl_easy_init();
                curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
                curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
                for (int i = 0; i < kNotices / kThreads; ++i) {
                    char id[16];
                    snprintf(id, sizeof id, "%08X", t * 10000 + i);
                    curl_easy_setopt(curl, CURLOPT_URL, (base + id).c_str());
                    curl_easy_perform(curl);
                }
                curl_easy_cleanup(curl);
            });
        for (auto& t : threads) t.join();
    }
    state.SetItemsProcessed(state.iterations() * kNotices);
}

BENCHMARK(BM_PlainCurlKeepAlive)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_SendTransactionNotice)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_SendTransactionNoticePaced)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
