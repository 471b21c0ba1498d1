#include "play.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>
#include <tuple>

#include "config_steps.h"
#include "demo_processor.h"
#include "emu/emulator.h"
#include "emu/platform.h"
#include "resync_time.h"
#include "queue_listing.h"
#include "report.h"
#include "runner/words.h"
#include "task_names.h"
#include "tasks.h"

namespace fs = std::filesystem;

namespace simcli {
namespace {

struct PlayResult {
    int changes = 0;
    int steps = 0;
    bool ok = true;
};

// Notices travel on workers of their own after a task has done its part:
// wait until the tasks' console and the processor have been quiet for a
// moment. A worker logs each step of its exchange (at the demo's level), and
// with the processor away it logs its failure; so a notice of before an
// outage is not cut off by the stop, nor one sent during it answered by the
// processor that comes back.
void Settle(DemoProcessor* processor, const std::string& dir) {
    if (!processor) return;
    auto state = [&] {
        std::error_code ec;
        auto size = fs::file_size(dir + "/console.log", ec);
        return std::make_tuple(static_cast<uintmax_t>(ec ? 0 : size), processor->Notices().size(),
                               processor->Logins().size());
    };
    auto seen = state();
    for (int i = 0; i < 40; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto now = state();
        if (now == seen) return;
        seen = now;
    }
}

// Waits until no queue note is pending, as long as a sweep or two takes:
// once the tasks are done, and before the processor is stopped, so that an
// outage begins at a defined point. `heading` is printed if there is a wait.
void AwaitSweeps(DemoProcessor* processor, const char* heading) {
    if (!processor || !processor->Running()) return;
    const auto& o = processor->Options();
    auto limit = std::chrono::steady_clock::now() + 2 * (o.sweepInterval + o.grace) + std::chrono::seconds(5);
    bool told = false;
    for (;;) {
        std::vector<emu::NoteDump> queue;
        emu::DumpNotes("brackwater\\qcapture.nsf", &queue);
        size_t pending = CountPending(queue);
        if (pending == 0 || std::chrono::steady_clock::now() > limit) return;
        if (!told && heading) {
            printf("%s: %zu queue note(s) pending\n", heading, pending);
            fflush(stdout);
            told = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// "resync ARGS...": tarn-setup resync over the data directory, "@NAME" for
// the time of "mark NAME"; its lines shown as the administrator's.
bool RunResync(const std::string& dir, const std::vector<std::string>& w,
               const std::map<std::string, std::string>& marks) {
    std::vector<std::string> command = {emu::platform::ExecutableDirectory() + "/tarn-setup", "--data", dir, "resync"};
    for (size_t i = 1; i < w.size(); ++i) {
        if (w[i].size() > 1 && w[i][0] == '@') {
            auto m = marks.find(w[i].substr(1));
            if (m == marks.end()) {
                fprintf(stderr, "tarn-sim: resync: no mark %s before it\n", w[i].c_str());
                return false;
            }
            command.push_back(m->second);
        } else {
            command.push_back(w[i]);
        }
    }
    std::string shown;
    for (size_t i = 3; i < command.size(); ++i) shown += " " + command[i];
    printf("   (administrator) tarn-setup%s\n", shown.c_str());
    fflush(stdout);
    int out[2];
    if (pipe(out) != 0) return false;
    std::vector<char*> argv;
    for (auto& c : command) argv.push_back(c.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        close(out[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    FILE* in = fdopen(out[0], "r");
    char line[1024];
    while (in && fgets(line, sizeof line, in)) printf("   (tarn-setup) %s", line);
    if (in) fclose(in);
    int status = 0;
    waitpid(pid, &status, 0);
    fflush(stdout);
    // 1: a mail file could not be resynchronised, said above; the rest was done.
    return WIFEXITED(status) && WEXITSTATUS(status) <= 1;
}

PlayResult Play(const std::vector<ScenarioLine>& scenario, std::map<std::string, std::unique_ptr<Task>>& tasks,
                const std::map<std::string, std::string>& vars, DemoProcessor* processor, const std::string& dir) {
    PlayResult r;
    int token = 0;
    std::map<std::string, std::string> marks;  // mark NAME: the time, as resync takes it
    auto syncAll = [&] {
        ++token;
        for (auto& [n, t] : tasks) t->Sync(token);
    };
    const std::vector<std::string> changing = {"create", "createx", "modify", "modifyx", "remove",
                                               "stub",   "stubx",   "delete"};
    for (const auto& step : scenario) {
        std::string line = Substitute(step.text, vars);
        auto w = SplitWords(line);
        ++r.steps;
        if (w[0] == "say") {
            syncAll();
            printf("\n== %s\n", HeadingText(line).c_str());
        } else if (w[0] == "sync") {
            syncAll();
        } else if (w[0] == "show") {
            // What the host holds: each task publishes its figures every few
            // seconds and when it ends.
            syncAll();
            PrintStats(w.size() == 3 ? w[2] : "");
        } else if (w[0] == "pause") {
            std::this_thread::sleep_for(std::chrono::milliseconds(atoi(w[1].c_str())));
        } else if (w[0] == "config") {
            syncAll();
            printf("   (administrator) %s\n", line.c_str());
            if (!ChangeConfig(w)) r.ok = false;
        } else if (w[0] == "mark") {
            syncAll();
            // What the tasks did before the mark is before it.
            marks[w[1]] = tarnsetup::FormatTime(tarnsetup::NextTick());
            printf("   (administrator) noted the time as %s: %s\n", w[1].c_str(), marks[w[1]].c_str());
        } else if (w[0] == "resync") {
            syncAll();
            if (!RunResync(dir, w, marks)) r.ok = false;
        } else if (w[0] == "processor" && processor) {
            syncAll();
            Settle(processor, dir);
            tarnsim::AuthMode auth;
            tarnsim::FailMode fail;
            if (w[1] == "auth" && tarnsim::ParseAuthMode(w[2], auth)) {
                processor->SetAuth(auth);
                printf("   (processor) now asks for: %s\n", tarnsim::AuthModeName(auth));
            } else if (w[1] == "mode" && tarnsim::ParseFailMode(w[2], fail)) {
                processor->SetMode(fail);
                printf("   (processor) now answers: %s\n", tarnsim::FailModeName(fail));
            } else if (w[1] == "stop") {
                AwaitSweeps(processor, "   (processor) catching up before it stops");
                processor->Stop();
                auto c = processor->Counts();
                printf("   (processor) stopped: nothing answers on port %d (%llu queue notes handled so far)\n",
                       processor->Port(), static_cast<unsigned long long>(c.byNotice + c.bySweep));
            } else if (w[1] == "start") {
                std::string why;
                size_t recovered = 0;
                if (processor->Running()) {
                    printf("   (processor) already running\n");
                } else if (processor->Start(&why, &recovered)) {
                    printf("   (processor) started again on 127.0.0.1:%d; its first sweep recovered %zu queue "
                           "note(s)\n",
                           processor->Port(), recovered);
                } else {
                    fprintf(stderr, "tarn-sim: scenario line %d: cannot start the sample processor again: %s\n",
                            step.number, why.c_str());
                    r.ok = false;
                }
            }
            fflush(stdout);
        } else {
            // A task's operation; CheckStep made sure it is one.
            if (std::find(changing.begin(), changing.end(), w[1]) != changing.end()) ++r.changes;
            tasks[w[0]]->Send(line.substr(line.find(w[0]) + w[0].size() + 1));
        }
        if (r.steps % 25 == 0) fprintf(stderr, "tarn-sim: %d steps played\n", r.steps);
    }
    syncAll();
    Settle(processor, dir);
    return r;
}

}  // namespace

int RunScenario(const std::string& dir, const std::vector<ScenarioLine>& scenario, DemoProcessor* processor) {
    emu::SetDataDirectory(dir);
    emu::SetConsoleEcho(false);
    const auto start = std::chrono::steady_clock::now();
    printf("== Starting the server tasks over %s\n", dir.c_str());
    std::map<std::string, std::unique_ptr<Task>> tasks;
    for (const auto& name : kTasks) tasks[name] = std::make_unique<Task>(name, dir);
    std::map<std::string, std::string> vars;
    if (processor) vars["PORT"] = std::to_string(processor->Port());
    PlayResult played = Play(scenario, tasks, vars, processor, dir);
    printf("\n== Stopping the server tasks\n");
    for (auto& [n, t] : tasks) t->Finish();
    AwaitSweeps(processor, "\n== Waiting for the processor's sweep");
    // Handlings under way end, and their counts with them, before the summary.
    if (processor && processor->Running()) {
        printf("\n== Stopping the sample processor\n");
        processor->Stop();
    }
    PrintReport(dir, played.changes, processor,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (processor) PrintStats("TARN");
    return played.ok ? 0 : 1;
}

}  // namespace simcli
