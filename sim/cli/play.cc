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

// tarn-setup ARGS... over the data directory, its lines shown as the
// administrator's. False when it failed (exit status 2 or more).
bool RunTarnSetup(const std::string& dir, const std::vector<std::string>& args) {
    std::vector<std::string> command = {emu::platform::ExecutableDirectory() + "/tarn-setup", "--data", dir};
    command.insert(command.end(), args.begin(), args.end());
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

// "resync ARGS...": tarn-setup resync, "@NAME" for the time of "mark NAME".
bool RunResync(const std::string& dir, const std::vector<std::string>& w,
               const std::map<std::string, std::string>& marks) {
    std::vector<std::string> args = {"resync"};
    for (size_t i = 1; i < w.size(); ++i) {
        if (w[i].size() > 1 && w[i][0] == '@') {
            auto m = marks.find(w[i].substr(1));
            if (m == marks.end()) {
                fprintf(stderr, "tarn-sim: resync: no mark %s before it\n", w[i].c_str());
                return false;
            }
            args.push_back(m->second);
        } else {
            args.push_back(w[i]);
        }
    }
    return RunTarnSetup(dir, args);
}

// Waits (30 s at most) until the statistic `name` is published as `value`,
// as a monitor would see it: the HTTP task reads the capture queue's
// backlog at its own interval.
bool AwaitStat(const std::string& name, const std::string& value) {
    const std::string want = name + " = " + value;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::vector<std::string> now;
    while ((now = emu::ShowStat(name)) != std::vector<std::string>{want}) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// Before the tasks stop: the processor has caught up, and the HTTP task has
// published the backlog as the queue now holds it, so that the figures the
// demo ends with are those of its summary.
void AwaitBacklogFigures(DemoProcessor* processor) {
    AwaitSweeps(processor, nullptr);
    std::vector<emu::NoteDump> queue;
    emu::DumpNotes("brackwater\\qcapture.nsf", &queue);
    const size_t pending = CountPending(queue);
    size_t handled = 0;
    for (const auto& n : queue) handled += IsHandled(n);
    if (!AwaitStat("TARN.Queue.Pending", std::to_string(pending)) ||
        !AwaitStat("TARN.Queue.Handled", std::to_string(handled)))
        printf("   (monitor) TARN.Queue.* did not reach the queue's %zu pending, %zu handled\n", pending, handled);
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
        } else if (w[0] == "wait") {
            syncAll();
            if (AwaitStat(w[2], w[3])) {
                printf("   (monitor) %s = %s\n", w[2].c_str(), w[3].c_str());
            } else {
                const auto now = emu::ShowStat(w[2]);
                printf("   (monitor) %s did not reach %s in 30 s: %s\n", w[2].c_str(), w[3].c_str(),
                       now.empty() ? "not published" : now[0].c_str());
                r.ok = false;
            }
            fflush(stdout);
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
    if (processor) AwaitBacklogFigures(processor);
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
    // What the processor handled is kept no longer than needed: here at
    // once, on a server after a week or so (tarn-setup purge from cron or a
    // program document).
    if (processor) {
        printf("\n== Purging the handled queue notes\n");
        if (!RunTarnSetup(dir, {"purge", "--handled", "--older-than", "0"})) played.ok = false;
    }
    return played.ok ? 0 : 1;
}

}  // namespace simcli
