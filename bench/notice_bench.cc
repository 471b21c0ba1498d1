// Notices per second through SendTransactionNotice (detached workers on the
// task's shared connection) against a plain libcurl keep-alive loop making
// the same GETs with the same concurrency, both against the same sample
// processor in the same run; the time a server thread spends inside
// SendTransactionNotice (p50, p99) against a bare thread start and detach;
// the threads and memory of the task during a burst of 5,000 notices to a
// processor that takes 50 ms per answer, against the same task before the
// burst; and a trickle of one save per millisecond for 5 s to a fast
// processor, with the worker threads started per notice (idle workers
// linger, so a trickle should reuse them). The same notices over HTTPS
// against plain HTTP: notice_bench_tls.cc.
#include <benchmark/benchmark.h>
#include <boost/thread/thread.hpp>
#include <curl/curl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <time.h>

#include "notice_bench.h"

namespace {

using namespace noticebench;

// CPU time of the calling thread: what the call costs the server thread,
// without the time it was preempted on a machine with fewer cores than threads.
double ThreadCpuMicros() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}


// Set by the plain loop, which runs first: notices per second.
double plainCurlRate = 0;
// Set by the bare thread start: its p99 in microseconds.
double threadStartP99 = 0;

// "Threads:" and "VmRSS:"/"VmHWM:" (kB) of this process.
long StatusField(const char* name) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = strlen(name);
    while (std::getline(in, line))
        if (line.compare(0, n, name) == 0) return atol(line.c_str() + n);
    return -1;
}

// The sample processor as a process of its own, so its threads and memory
// are not the task's.
struct ExternalProcessor {
    pid_t pid = -1;
    int port = 0;
    explicit ExternalProcessor(int delayMs) {
        int fds[2];
        if (pipe(fds) != 0) std::abort();
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            std::string exe = tarntest::BuildDir() + "/bin/tarn-processor";
            std::string delay = std::to_string(delayMs);
            execl(exe.c_str(), exe.c_str(), "--port", "0", "--delay-ms", delay.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        char line[128] = {};
        size_t got = 0;
        while (got < sizeof line - 1 && read(fds[0], line + got, 1) == 1 && line[got] != '\n') ++got;
        close(fds[0]);
        const char* colon = strrchr(line, ':');
        port = colon ? atoi(colon + 1) : 0;
        if (port <= 0) std::abort();
    }
    ~ExternalProcessor() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

// The burst of the field report: 8 server threads hand over 5,000 notices at
// once to a processor answering each in 50 ms.
void BM_BurstThreadsAndMemory(benchmark::State& state) {
    const std::string dir = tarntest::MakeTempDir("notice-burst");
    emu::SetDataDirectory(dir);
    emu::SetConsoleEcho(false);
    ExternalProcessor processor(50);
    tarntest::SampleConfig cfg;
    cfg.port = processor.port;
    cfg.url = "/servlet/dts";
    cfg.logLevel = 1;
    tarntest::CreateSampleDatabases(cfg);
    constexpr int kBurst = 5000;
    long threadsBefore = 0, peakThreads = 0, rssBefore = 0, peakRss = 0;
    uint64_t started = 0;
    {
        TARNSession session;
        if (!session.Init("nserver.exe", "nserver.exe")) std::abort();
        for (auto _ : state) {
            threadsBefore = StatusField("Threads:");
            rssBefore = StatusField("VmRSS:");
            std::ofstream("/proc/self/clear_refs") << "5";  // peak RSS from now on
            std::atomic<bool> done{false};
            std::atomic<long> peak{threadsBefore};
            std::thread sampler([&] {
                while (!done) {
                    peak = std::max(peak.load(), StatusField("Threads:"));
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
            });
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t)
                threads.emplace_back([&, t] {
                    for (int i = 0; i < kBurst / kThreads; ++i) {
                        EventData e;
                        memset(&e, 0, sizeof e);
                        e.eventId = 47;
                        e.queueNoteId = static_cast<uint32_t>(t * 10000 + i);
                        try {
                            session.GetProcessor()->SendTransactionNotice(e);
                        } catch (const std::exception&) {
                        }
                    }
                });
            for (auto& t : threads) t.join();
            session.GetTransport()->WaitForNotices(120000);
            started = session.GetTransport()->ThreadsStarted();
            done = true;
            sampler.join();
            peakThreads = peak;
            peakRss = StatusField("VmHWM:");
        }
        session.Reset();
    }
    emu::RemoveAllQueues();
    std::filesystem::remove_all(dir);
    // Beside the task's own threads: the 8 server threads and the sampler.
    state.counters["threads_before"] = static_cast<double>(threadsBefore);
    state.counters["peak_threads"] = static_cast<double>(peakThreads);
    state.counters["peak_extra_threads"] = static_cast<double>(peakThreads - threadsBefore);
    state.counters["rss_before_MB"] = rssBefore / 1024.0;
    state.counters["peak_rss_MB"] = peakRss / 1024.0;
    state.counters["peak_rss_vs_before"] = rssBefore > 0 ? static_cast<double>(peakRss) / rssBefore : 0;
    state.counters["threads_started_per_notice"] = static_cast<double>(started) / kBurst;
    state.SetItemsProcessed(state.iterations() * kBurst);
}

// One server thread saving a document every millisecond for 5 s to a
// processor that answers at once: how many worker threads the trickle
// starts per notice.
void BM_TrickleThreadsPerNotice(benchmark::State& state) {
    Setup& s = TheSetup();
    constexpr int kTrickle = 5000;
    uint64_t started = 0;
    size_t delivered = 0;
    for (auto _ : state) {
        const uint64_t before = s.session.GetTransport()->ThreadsStarted();
        const size_t acceptedBefore = s.processor->AcceptedNotices().size();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kTrickle; ++i) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(i));
            EventData e;
            memset(&e, 0, sizeof e);
            e.eventId = 47;
            e.queueNoteId = static_cast<uint32_t>(500000 + i);
            s.session.GetProcessor()->SendTransactionNotice(e);
        }
        // Counted before the wait, which lets the idle workers go.
        s.session.GetTransport()->WaitForNotices(60000, false);
        started += s.session.GetTransport()->ThreadsStarted() - before;
        delivered += s.processor->AcceptedNotices().size() - acceptedBefore;
        s.session.GetTransport()->WaitForNotices(60000);
    }
    const double notices = static_cast<double>(state.iterations()) * kTrickle;
    state.counters["threads_started_per_notice"] = static_cast<double>(started) / notices;
    state.counters["delivered_per_notice"] = static_cast<double>(delivered) / notices;
    state.SetItemsProcessed(state.iterations() * kTrickle);
}

// Baseline of the server-thread time: one bare Boost.Thread start and
// detach from each of 8 threads, 400 in all.
void BM_BareThreadStart(benchmark::State& state) {
    std::vector<double> inside;
    std::mutex m;
    std::atomic<int> running{0};
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&] {
                std::vector<double> mine;
                for (int i = 0; i < kNotices / kThreads; ++i) {
                    auto t0 = std::chrono::steady_clock::now();
                    ++running;
                    boost::thread worker([&running] { --running; });
                    worker.detach();
                    mine.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
                }
                std::lock_guard lock(m);
                inside.insert(inside.end(), mine.begin(), mine.end());
            });
        for (auto& t : threads) t.join();
        while (running.load()) std::this_thread::yield();
    }
    std::sort(inside.begin(), inside.end());
    threadStartP99 = inside[inside.size() * 99 / 100];
    state.counters["server_thread_us_p50"] = inside[inside.size() / 2];
    state.counters["server_thread_us_p99"] = threadStartP99;
}

void BM_SendTransactionNotice(benchmark::State& state) {
    Setup& s = TheSetup();
    std::vector<double> inside, cpu;
    std::mutex m;
    // An untimed first round makes the task's connections.
    for (int i = 0; i < kNotices; ++i) {
        EventData e;
        memset(&e, 0, sizeof e);
        e.eventId = 47;
        e.queueNoteId = static_cast<uint32_t>(900000 + i);
        s.session.GetProcessor()->SendTransactionNotice(e);
    }
    s.session.GetTransport()->WaitForNotices(60000);
    const size_t acceptedBefore = s.processor->AcceptedNotices().size();
    double elapsed = 0;  // seconds, handing over and delivering
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
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
        s.session.GetTransport()->WaitForNotices(60000);
        elapsed += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    std::sort(inside.begin(), inside.end());
    std::sort(cpu.begin(), cpu.end());
    state.SetItemsProcessed(state.iterations() * kNotices);
    state.counters["server_thread_us_p50"] = inside[inside.size() / 2];
    state.counters["server_thread_us_p99"] = inside[inside.size() * 99 / 100];
    state.counters["server_thread_cpu_us_p99"] = cpu[cpu.size() * 99 / 100];
    if (threadStartP99 > 0) state.counters["p99_vs_bare_thread_start"] = inside[inside.size() * 99 / 100] / threadStartP99;
    const double rate = state.iterations() * kNotices / elapsed;
    state.counters["notices_per_s"] = rate;
    state.counters["delivered"] = static_cast<double>(s.processor->AcceptedNotices().size() - acceptedBefore);
    if (plainCurlRate > 0) state.counters["throughput_vs_plain_curl"] = rate / plainCurlRate;
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
        s.session.GetTransport()->WaitForNotices(60000);
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
    // One kept-alive handle per thread for the whole run, connected by an
    // untimed first round (as the notice path's connections are).
    std::vector<CURL*> handles;
    for (int t = 0; t < kThreads; ++t) {
        CURL* curl = curl_easy_init();
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        handles.push_back(curl);
    }
    auto round = [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < kNotices / kThreads; ++i) {
                    char id[16];
                    snprintf(id, sizeof id, "%08X", t * 10000 + i);
                    curl_easy_setopt(handles[t], CURLOPT_URL, (base + id).c_str());
                    curl_easy_perform(handles[t]);
                }
            });
        for (auto& t : threads) t.join();
    };
    round();
    double elapsed = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        round();
        elapsed += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    for (CURL* curl : handles) curl_easy_cleanup(curl);
    plainCurlRate = state.iterations() * kNotices / elapsed;
    state.counters["notices_per_s"] = plainCurlRate;
    state.SetItemsProcessed(state.iterations() * kNotices);
}

// The sample processor closes a connection after 1,000 requests: the runs
// stay below that, so neither side pays for reconnecting.
BENCHMARK(BM_BurstThreadsAndMemory)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_BareThreadStart)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_PlainCurlKeepAlive)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_SendTransactionNotice)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_SendTransactionNoticePaced)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_TrickleThreadsPerNotice)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
