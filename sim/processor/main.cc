// tarn-processor: the sample transaction processor as a program of its own.
// The first line on standard output is "listening on HOST:PORT", so a caller
// that asked for --port 0 learns the port that was chosen. Given --data, it
// also consumes that data directory's capture queue (see outbox.h).
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <nlohmann/json.hpp>

#include "base/auth_names.h"
#include "emu/emulator.h"
#include "processor/outbox.h"
#include "processor/processor.h"

namespace {

std::chrono::milliseconds Millis(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000 + 0.5));
}

}  // namespace

int main(int argc, char** argv) {
    tarnsim::ProcessorOptions options;
    std::string auth = "none", mode = "normal", data;
    int hangSeconds = 20;
    double sweepInterval = 3, sweepGrace = 1;
    CLI::App app{"Sample transaction processor for TARN notices"};
    app.add_option("--host", options.host, "address to listen on")->capture_default_str();
    app.add_option("--port", options.port, "port to listen on; 0 picks a free one")->capture_default_str();
    app.add_option("--path", options.path, "request path of the notices")->capture_default_str();
    app.add_option("--auth", auth, "authentication asked for: none, basic or session")
        ->transform(CLI::Validator([](std::string& v) { return tarn::TakeAuthOption(v, tarn::kAuthOptionNames); },
                                   "none|basic|session"))
        ->capture_default_str();
    app.add_option("--user", options.user, "user name accepted")->capture_default_str();
    app.add_option("--password", options.password, "password accepted")->capture_default_str();
    app.add_option("--mode", mode, "normal, 404, 500, hang (never answer) or close (drop the connection)")
        ->check(CLI::IsMember({"normal", "404", "500", "hang", "close"}))
        ->capture_default_str();
    app.add_option("--hang-limit", hangSeconds, "seconds a request is held in hang mode")
        ->check(CLI::Range(1, 3600))
        ->capture_default_str();
    app.add_option("--login-failure-status", options.loginFailureStatus,
                   "status answered to a form login with wrong credentials (200: the form again)")
        ->check(CLI::Range(200, 599))
        ->capture_default_str();
    app.add_option("--record", options.recordFile,
                   "append one JSON line per notice, login and handled queue note to this file");
    app.add_option("--data", data, "data directory whose capture queue to consume (brackwater\\qcapture.nsf)");
    app.add_option("--sweep-interval", sweepInterval, "seconds between sweeps of the capture queue")
        ->check(CLI::Range(0.01, 3600.0))
        ->capture_default_str();
    app.add_option("--sweep-grace", sweepGrace,
                   "seconds a queue note may wait for its notice before a sweep takes it")
        ->check(CLI::Range(0.0, 3600.0))
        ->capture_default_str();
    int delayMs = 0;
    app.add_option("--delay-ms", delayMs, "milliseconds each notice waits before it is answered")
        ->check(CLI::Range(0, 600000))
        ->capture_default_str();
    app.add_option("--tls-cert", options.tlsCert, "serve HTTPS with this certificate (PEM; the chain, server first)")
        ->check(CLI::ExistingFile);
    app.add_option("--tls-key", options.tlsKey, "the private key of --tls-cert (PEM)")->check(CLI::ExistingFile);
    CLI11_PARSE(app, argc, argv);
    if (options.tlsCert.empty() != options.tlsKey.empty()) {
        std::cerr << "tarn-processor: --tls-cert and --tls-key go together\n";
        return 2;
    }
    tarnsim::ParseAuthMode(auth, options.auth);
    tarnsim::ParseFailMode(mode, options.mode);
    options.hangLimit = std::chrono::seconds(hangSeconds);
    options.replyDelay = std::chrono::milliseconds(delayMs);

    std::string why;
    if (!data.empty() && !tarnsim::SelectDataDirectory(data, &why)) {
        std::cerr << "tarn-processor: " << why << "; prepare it with: tarn-sim prepare --data " << data << "\n";
        return 2;
    }

    // Wait for SIGINT or SIGTERM on this thread; the server's threads must
    // not take them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    tarnsim::Processor processor(options);
    std::unique_ptr<tarnsim::Outbox> outbox;
    if (!data.empty()) {
        tarnsim::OutboxOptions oo;
        oo.sweepInterval = Millis(sweepInterval);
        oo.grace = Millis(sweepGrace);
        // The sample's handling of a queue note: it records what changed.
        auto handle = [&processor](const tarnsim::QueueNote& n, tarnsim::Via via) {
            char id[9];
            snprintf(id, sizeof id, "%08X", n.id);
            nlohmann::json line = {{"kind", "handled"},         {"qnoteid", id},        {"via", tarnsim::ViaName(via)},
                                   {"action", n.deletion ? "Delete" : "Change"},      {"calDbPath", n.dbPath},
                                   {"calNoteId", n.noteId},     {"calUnid", n.unid},    {"calForm", n.form},
                                   {"calUserName", n.userName}};
            processor.Record(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        };
        auto log = [](const std::string& line) { std::cerr << "tarn-processor: " + line + "\n"; };
        outbox = std::make_unique<tarnsim::Outbox>(oo, handle, log);
        processor.SetLookup([&outbox](const std::string& qnoteid) { return outbox->OnNotice(qnoteid); });
    }
    if (!processor.Start()) {
        std::cerr << "tarn-processor: " << processor.StartProblem();
        if (processor.StartProblem().find("in use") != std::string::npos)
            std::cerr << " (--port N; --port 0 picks a free one)";
        std::cerr << "\n";
        return 1;
    }
    std::cout << "listening on " << options.host << ":" << processor.Port() << std::endl;
    std::cerr << "tarn-processor: path " << options.path << ", auth " << auth << ", mode " << mode
              << (options.tlsCert.empty() ? "" : ", HTTPS") << "\n";
    if (outbox) {
        size_t recovered = 0;
        if (!outbox->Start(&why, &recovered)) {
            processor.Stop();
            std::cerr << "tarn-processor: cannot consume the capture queue of " << data << ": " << why << "\n";
            return 1;
        }
        std::ostringstream line;  // one write: the sweep thread logs too
        line << "tarn-processor: consuming the capture queue of " << data << "; first sweep recovered " << recovered
             << " queue note(s); sweeping every " << sweepInterval << " s, grace " << sweepGrace << " s\n";
        std::cerr << line.str();
    }
    int received = 0;
    sigwait(&signals, &received);
    processor.Stop();
    std::cerr << "tarn-processor: stopped, " << processor.AcceptedNotices().size() << " notices accepted\n";
    if (outbox) {
        outbox->Stop();
        auto c = outbox->Counts();
        std::cerr << "tarn-processor: queue notes handled " << c.byNotice + c.bySweep << " (by notice " << c.byNotice
                  << ", recovered by sweep " << c.bySweep << "), duplicates ignored " << c.duplicates
                  << ", unknown notices " << c.unknown << ", host failures " << c.failures << "\n";
        outbox.reset();
    }
    // The processor is server code too: its breaches of the host's rules are said.
    for (const auto& line : emu::ViolationReport("tarn-processor")) std::cerr << line << "\n";
    return 0;
}
