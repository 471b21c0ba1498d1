// Membership tests run on every event: their cost must not grow with the
// list. Compared with a plain scan of the same list, in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/ascii.h"
#include "config/tarn_config.h"

namespace {

std::vector<std::string> MakeList(int n) {
    std::vector<std::string> list;
    list.reserve(n);
    for (int i = 0; i < n; ++i) list.push_back("mail\\user" + std::to_string(i) + ".nsf");
    return list;
}

// The path looked up is in the middle of the list, as a typical member is.
std::string Probe(int n) { return "MAIL\\USER" + std::to_string(n / 2) + ".NSF"; }

void BM_IsUserMailFile(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    TARNConfig config;
    config.AdoptLists(MakeList(n), {});
    const std::string probe = Probe(n);
    char path[256];
    for (auto _ : state) {
        memcpy(path, probe.c_str(), probe.size() + 1);
        benchmark::DoNotOptimize(config.IsUserMailFile(path));
    }
}

void BM_IsExcludedDb(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    TARNConfig config;
    auto list = MakeList(n);
    std::sort(list.begin(), list.end());
    config.AdoptLists({}, list);
    const std::string probe = Probe(n);
    char path[256];
    for (auto _ : state) {
        memcpy(path, probe.c_str(), probe.size() + 1);
        benchmark::DoNotOptimize(config.IsExcludedDb(path));
    }
}

void BM_LinearScan(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<std::string> list = MakeList(n);
    const std::string probe = Probe(n);
    char path[256];
    for (auto _ : state) {
        memcpy(path, probe.c_str(), probe.size() + 1);
        LowerAscii(path);
        bool found = false;
        for (const std::string& e : list)
            if (e.size() == strlen(path) && memcmp(e.data(), path, e.size()) == 0) {
                found = true;
                break;
            }
        benchmark::DoNotOptimize(found);
    }
}

void BM_IsUserMailFileMiss(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    TARNConfig config;
    config.AdoptLists(MakeList(n), {});
    char path[256];
    for (auto _ : state) {
        strcpy(path, "mail\\nobody-here.nsf");
        benchmark::DoNotOptimize(config.IsUserMailFile(path));
    }
}

// Members spread over the whole list, so a large list's lookups miss the
// cache as a server's would: what the index's layout costs.
void BM_IsUserMailFileSpread(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    TARNConfig config;
    config.AdoptLists(MakeList(n), {});
    std::vector<std::string> probes;
    for (int i = 0; i < 4096; ++i) probes.push_back("MAIL\\USER" + std::to_string((i * 7919L) % n) + ".NSF");
    char path[256];
    size_t next = 0;
    for (auto _ : state) {
        const std::string& probe = probes[next++ & 4095];
        memcpy(path, probe.c_str(), probe.size() + 1);
        benchmark::DoNotOptimize(config.IsUserMailFile(path));
    }
}

BENCHMARK(BM_IsUserMailFile)->Arg(10)->Arg(10000)->Arg(100000);
BENCHMARK(BM_IsExcludedDb)->Arg(10)->Arg(10000)->Arg(100000);
BENCHMARK(BM_IsUserMailFileSpread)->Arg(10)->Arg(10000)->Arg(100000);
BENCHMARK(BM_IsUserMailFileMiss)->Arg(10)->Arg(10000)->Arg(100000);
BENCHMARK(BM_LinearScan)->Arg(10)->Arg(10000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
