// tarn-processor: the sample transaction processor as a program of its own.
// The first line on standard output is "listening on HOST:PORT", so a caller
// that asked for --port 0 learns the port that was chosen.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "processor/processor.h"

int main(int argc, char** argv) {
    tarnsim::ProcessorOptions options;
    std::string auth = "none", mode = "normal";
    int hangSeconds = 20;
    CLI::App app{"Sample transaction processor for TARN notices"};
    app.add_option("--host", options.host, "address to listen on")->capture_default_str();
    app.add_option("--port", options.port, "port to listen on; 0 picks a free one")->capture_default_str();
    app.add_option("--path", options.path, "request path of the notices")->capture_default_str();
    app.add_option("--auth", auth, "authentication asked for: none, basic or session")
        ->check(CLI::IsMember({"none", "basic", "session"}))
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
    app.add_option("--record", options.recordFile, "append one JSON line per notice and login to this file");
    int delayMs = 0;
    app.add_option("--delay-ms", delayMs, "milliseconds each notice waits before it is answered")
        ->check(CLI::Range(0, 600000))
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    tarnsim::ParseAuthMode(auth, options.auth);
    tarnsim::ParseFailMode(mode, options.mode);
    options.hangLimit = std::chrono::seconds(hangSeconds);
    options.replyDelay = std::chrono::milliseconds(delayMs);

    // Wait for SIGINT or SIGTERM on this thread; the server's threads must
    // not take them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    tarnsim::Processor processor(options);
    if (!processor.Start()) {
        std::cerr << "tarn-processor: cannot listen on " << options.host << ":" << options.port;
        if (!options.recordFile.empty()) std::cerr << " or open " << options.recordFile;
        std::cerr << "\n";
        return 1;
    }
    std::cout << "listening on " << options.host << ":" << processor.Port() << std::endl;
    std::cerr << "tarn-processor: path " << options.path << ", auth " << auth << ", mode " << mode << "\n";
    int received = 0;
    sigwait(&signals, &received);
    processor.Stop();
    std::cerr << "tarn-processor: stopped, " << processor.AcceptedNotices().size() << " notices accepted\n";
    return 0;
}
