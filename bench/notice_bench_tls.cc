// Notices over HTTPS (TARN_HTTP_Secure=1) against the same notices over
// plain HTTP, side by side: each iteration times one round of each in turn,
// so a machine whose load changes during the run slows both alike. Each side
// is a task of its own with a processor of its own, both fresh for every
// repetition. The ratio is that of the medians of the rounds; with
// --benchmark_repetitions=5 --benchmark_report_aggregates_only=true the
// report gives the median of five such ratios. Connections are kept alive
// and TLS sessions shared, so the handshakes (counted by the processor) are
// those of the connections, not of the notices.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <ctime>

#include "notice_bench.h"
#include "processor/certificates.h"

namespace {

using namespace noticebench;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A task and its processor, over HTTPS with a CA made here or over plain
// HTTP, connected by an untimed first round.
struct Side {
    std::string dir;
    std::unique_ptr<tarnsim::Processor> processor;
    TARNSession session;
    explicit Side(bool tls) : dir(tarntest::MakeTempDir(tls ? "notice-tls" : "notice-plain")) {
        emu::SetDataDirectory(dir);
        tarnsim::ProcessorOptions o;
        tarnsim::CertificateAuthority ca("bench CA", dir + "/ca.pem");
        if (tls) {
            if (!ca.Issue({"127.0.0.1"}, dir + "/server.pem", dir + "/server.key")) std::abort();
            o.tlsCert = dir + "/server.pem";
            o.tlsKey = dir + "/server.key";
        }
        processor = StartedProcessor(o);
        // Read when the task connects, in the first round.
        emu::SetIniVariable("TARN_HTTP_Secure", tls ? "1" : "0");
        if (tls) emu::SetIniVariable("TARN_HTTP_CAFile", ca.CertFile());
        if (!session.Init("nserver.exe", "nserver.exe")) std::abort();
        HandOverRound(session);
        emu::RemoveIniVariable("TARN_HTTP_Secure");
        emu::RemoveIniVariable("TARN_HTTP_CAFile");
    }
    ~Side() {
        session.Reset();
        processor->Stop();
        std::filesystem::remove_all(dir);
    }
    // Notices per second of one timed round; adds the process's CPU time
    // per notice (client and processor together) to `cpuPerNotice`.
    double Round(std::vector<double>& cpuPerNotice) {
        const double cpu0 = ProcessCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        HandOverRound(session);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpuPerNotice.push_back(1e6 * (ProcessCpuSeconds() - cpu0) / kNotices);
        return kNotices / wall;
    }
    static double ProcessCpuSeconds() {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
    }
};

void BM_SendTransactionNoticeOverHttps(benchmark::State& state) {
    std::vector<double> plainRates, httpsRates, plainCpu, httpsCpu;
    tarnsim::TlsHandshakes handshakes;
    size_t delivered = 0;
    {
        Side plain(false), https(true);
        const size_t before = https.processor->AcceptedNotices().size();
        // Each side goes first in every other iteration, so neither always
        // meets the machine as the other left it.
        bool plainFirst = true;
        for (auto _ : state) {
            if (plainFirst) plainRates.push_back(plain.Round(plainCpu));
            httpsRates.push_back(https.Round(httpsCpu));
            if (!plainFirst) plainRates.push_back(plain.Round(plainCpu));
            plainFirst = !plainFirst;
        }
        delivered = https.processor->AcceptedNotices().size() - before;
        handshakes = https.processor->Handshakes();
    }
    emu::RemoveAllQueues();
    emu::SetDataDirectory(TheSetup().dir);
    const double plainRate = Median(plainRates), httpsRate = Median(httpsRates);
    // Every notice the HTTPS task sent, the first round's included.
    const double notices = static_cast<double>(state.iterations() + 1) * kNotices;
    state.counters["plain_notices_per_s"] = plainRate;
    state.counters["https_notices_per_s"] = httpsRate;
    state.counters["https_vs_plain"] = httpsRate / plainRate;
    // Whether a gap is work or waiting: CPU microseconds per notice.
    state.counters["plain_cpu_us"] = Median(plainCpu);
    state.counters["https_cpu_us"] = Median(httpsCpu);
    state.counters["delivered"] = static_cast<double>(delivered);
    state.counters["handshakes_per_1000"] = 1000.0 * handshakes.completed / notices;
    state.counters["full_handshakes_per_1000"] = 1000.0 * (handshakes.completed - handshakes.resumed) / notices;
    state.SetItemsProcessed(state.iterations() * kNotices);
}

BENCHMARK(BM_SendTransactionNoticeOverHttps)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(30);

}  // namespace
