// tarn-sim: the whole system on one machine.
//
//   tarn-sim demo    [--data DIR] [--scenario FILE]   prepare, start, play, summarise
//   tarn-sim prepare [--data DIR] [--port N] [--auth none|basic|session] [--level N]
//                    [--secure [--ca-file FILE]]
//   tarn-sim run     --data DIR [--scenario FILE]     start the tasks over an existing
//                                                     data directory and play a scenario
//                                                     (standard input when no file)
//   tarn-sim queue   --data DIR [--items] [--pending] list the capture queue
//   tarn-sim stats   --data DIR [PREFIX]              the server's statistics, as the
//                                                     console's "show stat PREFIX" shows them
//
// A scenario is a text file, one step a line (scenario.h, examples/). ${PORT}
// stands for the port of the demo's sample processor. The demo's processor
// consumes the capture queue as an outbox (sim/processor/outbox.h): at the
// end, nothing may be left pending.
// Mistakes (a data directory never prepared, an unknown task, step or
// operation) end the program with one line on standard error and status 2,
// before anything is started.
//
// The parts: prepare.* (data directory and databases), config_steps.* (an
// administrator's edits), tasks.* (task processes), demo_processor.* (the
// sample processor), scenario.* (the language), play.* (playing it),
// report.* and queue_listing.* (what came of it).
#include <signal.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "base/auth_names.h"
#include "config_steps.h"
#include "emu/emulator.h"
#include "emu/platform.h"
#include "demo_processor.h"
#include "processor/certificates.h"
#include "host_calls.h"
#include "play.h"
#include "prepare.h"
#include "queue_listing.h"
#include "scenario.h"

namespace fs = std::filesystem;
using namespace simcli;

namespace {

std::string DefaultScenario() {
    for (const std::string& p : {emu::platform::ExecutableDirectory() + "/../../examples/demo.scenario", std::string("examples/demo.scenario")})
        if (fs::exists(p)) return p;
    return "examples/demo.scenario";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"The TARN add-in and its embedded Domino host, on one machine"};
    app.require_subcommand(1);
    std::string dir = "demo-data", scenarioFile;
    PrepareOptions prep;
    bool items = false, pendingOnly = false;
    double sweepInterval = 3, sweepGrace = 1;

    auto* demo = app.add_subcommand("demo", "prepare a data directory, start the processors and tasks, play a scenario");
    demo->add_option("--data", dir, "data directory (made afresh)");
    demo->add_option("--scenario", scenarioFile, "scenario file (default examples/demo.scenario)");
    demo->add_option("--sweep-interval", sweepInterval, "seconds between the processor's sweeps of the capture queue")
        ->check(CLI::Range(0.01, 3600.0))
        ->capture_default_str();
    demo->add_flag("--secure", prep.secure,
                   "notices over HTTPS: a CA and the processor's certificate are made in DIR/tls, and the tasks "
                   "trust that CA (TARN_HTTP_Secure=1, TARN_HTTP_CAFile)");
    demo->add_option("--sweep-grace", sweepGrace, "seconds a queue note may wait for its notice before a sweep takes it")
        ->check(CLI::Range(0.0, 3600.0))
        ->capture_default_str();

    auto* prepare = app.add_subcommand("prepare", "make a data directory with the sample databases");
    prepare->add_option("--data", dir, "data directory (made afresh)");
    prepare->add_option("--port", prep.port, "processor port");
    prepare->add_option("--auth", prep.auth, "AuthType item: None, Basic or Session")
        ->transform(CLI::Validator([](std::string& v) { return tarn::TakeAuthOption(v, tarn::kAuthNames); },
                                   "None|Basic|Session"));
    prepare->add_option("--level", prep.level, "DTC_LogLevel");
    prepare->add_flag("--secure", prep.secure, "notes.ini TARN_HTTP_Secure=1: notices over HTTPS");
    prepare->add_option("--ca-file", prep.caFile,
                        "notes.ini TARN_HTTP_CAFile: the CA certificates (PEM) the processor's certificate must "
                        "chain to, instead of the system's")
        ->needs("--secure");

    auto* run = app.add_subcommand("run", "start the tasks over an existing data directory and play a scenario");
    run->add_option("--data", dir, "data directory")->required();
    run->add_option("--scenario", scenarioFile, "scenario file (default: standard input, read to its end first)");

    auto* queue = app.add_subcommand("queue", "list the capture queue, handled and pending notes");
    queue->add_option("--data", dir, "data directory")->required();
    queue->add_flag("--items", items, "show every item");
    queue->add_flag("--pending", pendingOnly, "only the notes no processor has handled yet (Status is not 1)");

    std::string statPrefix;
    auto* stats = app.add_subcommand("stats", "show the statistics the tasks published, as \"show stat\" does");
    stats->add_option("--data", dir, "data directory")->required();
    stats->add_option("prefix", statPrefix, "a facility, group or statistic (TARN, TARN.Notices, ...); all when none");

    CLI11_PARSE(app, argc, argv);
    signal(SIGPIPE, SIG_IGN);
    // tarn-sim calls the host as server code does: its own breaches are said
    // (only when there are any, so its outputs stay as they are).
    atexit([] {
        if (emu::ViolationCount() == 0) return;
        for (const auto& line : emu::ViolationReport("tarn-sim")) fprintf(stderr, "%s\n", line.c_str());
    });
    dir = fs::absolute(dir).string();

    if (*prepare) return Prepare(dir, prep) ? 0 : 1;
    if (*queue || *run || *stats) {
        if (std::string problem = CheckPrepared(dir, true); !problem.empty()) {
            fprintf(stderr, "tarn-sim: %s\n", problem.c_str());
            return 2;
        }
    }
    if (*queue) return ListQueue(dir, items, pendingOnly);
    if (*stats) {
        emu::SetDataDirectory(dir);
        for (const std::string& line : emu::ShowStat(statPrefix)) printf("%s\n", line.c_str());
        return 0;
    }

    if (*demo && scenarioFile.empty()) scenarioFile = DefaultScenario();
    std::vector<ScenarioLine> scenario;
    {
        std::ifstream file;
        if (!scenarioFile.empty()) {
            file.open(scenarioFile);
            if (!file) {
                fprintf(stderr, "tarn-sim: cannot read the scenario %s\n", scenarioFile.c_str());
                return 2;
            }
        }
        std::istream& in = scenarioFile.empty() ? std::cin : file;
        std::string problem;
        if (!ReadScenario(in, scenarioFile.empty() ? "standard input" : scenarioFile, demo->parsed(), &scenario,
                          &problem)) {
            fprintf(stderr, "%s\n", problem.c_str());
            return 2;
        }
    }
    if (*run) return RunScenario(dir, scenario, nullptr);

    // demo
    tarnsim::ProcessorOptions po;
    po.path = "/servlet/dts";
    tarnsim::OutboxOptions oo;
    oo.sweepInterval = std::chrono::milliseconds(static_cast<long long>(sweepInterval * 1000 + 0.5));
    oo.grace = std::chrono::milliseconds(static_cast<long long>(sweepGrace * 1000 + 0.5));
    const std::string tlsDir = dir + "/tls";
    if (prep.secure && getenv("TARN_SIM_WINDOWS") && *getenv("TARN_SIM_WINDOWS")) {
        // WinINet trusts only the Windows certificate store, where the demo
        // puts nothing; refused here rather than every notice refused later.
        fprintf(stderr, "tarn-sim: --secure runs with the Linux tasks only (the Windows tasks would need the "
                        "demo's CA in their certificate store)\n");
        return 2;
    }
    if (prep.secure) {
        po.tlsCert = tlsDir + "/server.pem";
        po.tlsKey = tlsDir + "/server.key";
        prep.caFile = tlsDir + "/ca.pem";
    }
    DemoProcessor processor(po, oo);
    // The databases first: the processor consumes the capture queue from its start.
    printf("== Preparing %s\n", dir.c_str());
    if (!Prepare(dir, prep)) return 1;
    if (prep.secure) {
        fs::create_directories(tlsDir);
        if (std::string problem = tarnsim::MakeLoopbackCertificates(tlsDir); !problem.empty()) {
            fprintf(stderr, "tarn-sim: cannot make the demo's certificates: %s\n", problem.c_str());
            return 1;
        }
    }
    std::string why;
    size_t recovered = 0;
    if (!processor.Start(&why, &recovered)) {
        fprintf(stderr, "tarn-sim: cannot start the sample processor: %s\n", why.c_str());
        return 1;
    }
    // The configuration names the port the processor got.
    if (!ChangeConfig({"config", "server", "Port_Domino#=" + std::to_string(processor.Port())})) return 1;
    printf("   sample transaction processor on 127.0.0.1:%d, path /servlet/dts; it consumes the capture queue\n",
           processor.Port());
    printf("   (sweeps every %g s, grace %g s)\n", sweepInterval, sweepGrace);
    if (prep.secure)
        printf("   HTTPS: the processor's certificate is for 127.0.0.1, signed by the demo's CA %s; the tasks trust "
               "it (TARN_HTTP_Secure=1, TARN_HTTP_CAFile)\n",
               prep.caFile.c_str());
    printf("   configuration, alerts, capture queue and mail files of alice, bob, carol, shared\n");
    printf("   TARN_Task_List=nserver.exe,nhttp.exe,amgr.exe\n");
    int rc = RunScenario(dir, scenario, &processor);
    processor.Stop();
    return rc;
}
