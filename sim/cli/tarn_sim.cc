// tarn-sim: the whole system on one machine.
//
//   tarn-sim demo    [--data DIR] [--scenario FILE]   prepare, start, play, summarise
//   tarn-sim prepare [--data DIR] [--port N] [--auth none|basic|session] [--level N]
//   tarn-sim run     --data DIR [--scenario FILE]     start the tasks over an existing
//                                                     data directory and play a scenario
//                                                     (standard input when no file)
//   tarn-sim queue   --data DIR                       list the capture queue
//
// A scenario is a text file, one step a line (see examples/):
//   say TEXT                      print a line of narrative
//   TASK OPERATION...             a note operation performed in that server task
//                                 (nserver.exe create a1 mail\alice.nsf Form=Appointment ...)
//   config user add PATH          add a mail file to the "maildblookup" view
//   config user remove PATH       take it out again
//   config exclude add PATH       add a database to the "dsdlookup" view
//   config server ITEM...         change items of the "server" document
//   processor auth none|basic|session   what the demo's sample processor asks for
//   processor mode normal|404|500|hang|close   how it answers
//   sync                          wait until every task has done what it was given
//   pause MS                      wait
// ${PORT} stands for the port of the demo's sample processor.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emu/emulator.h"
#include "processor/processor.h"
#include "runner/words.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kTasks = {"nserver.exe", "nhttp.exe", "amgr.exe"};

std::string SelfDir() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    return fs::path(path).parent_path().string();
}

bool Check(STATUS s, const std::string& what) {
    if (s == 0) return true;
    char text[200];
    OSLoadString(0, ERR(s), text, sizeof text - 1);
    fprintf(stderr, "tarn-sim: %s failed: %s (0x%x)\n", what.c_str(), text, s);
    return false;
}

struct Db {
    DBHANDLE h = 0;
    explicit Db(const std::string& path) { Check(NSFDbOpen(path.c_str(), &h), "open " + path); }
    ~Db() {
        if (h) NSFDbClose(h);
    }
};

// ---- prepare -------------------------------------------------------------------

struct PrepareOptions {
    int port = 8080;
    std::string auth = "None";
    int level = 3;
};

struct MailUser {
    const char* path;
    const char* owner;
    bool listed;
};
const MailUser kUsers[] = {
    {"mail\\alice.nsf", "CN=Alice Able/O=Brackwater", true},
    {"mail\\bob.nsf", "CN=Bob Baker/O=Brackwater", true},
    {"mail\\carol.nsf", "CN=Carol Cole/O=Brackwater", false},
    {"mail\\shared.nsf", "CN=Shared Resources/O=Brackwater", true},
};

bool Prepare(const std::string& dir, const PrepareOptions& o) {
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir);
    emu::SetDataDirectory(dir);
    emu::RemoveAllQueues();
    emu::SetIniVariable("TARN_Task_List", "nserver.exe,nhttp.exe,amgr.exe");
    if (!Check(emu::CreateDatabase("brackwater\\tarnconfig.nsf", "TARN configuration"), "create configuration"))
        return false;
    {
        Db cfg("brackwater\\tarnconfig.nsf");
        NOTEID id;
        bool ok = Check(emu::CreateView(cfg.h, {"server", "", {"Server"}, {"Hostname_DomToTN"}, -1}, &id), "view") &&
                  Check(emu::CreateView(cfg.h, {"maildblookup", "", {"MailDb"}, {"MailFile"}, 0}, &id), "view") &&
                  Check(emu::CreateView(cfg.h, {"dsdlookup", "", {"Exclude"}, {"DbPath"}, 0}, &id), "view") &&
                  Check(emu::CreateDocument(cfg.h,
                                            {emu::Text("Form", "Server"), emu::Number("DTC_LogLevel", o.level),
                                             emu::Text("Url_DomToTN", "servlet/dts"),
                                             emu::Text("Hostname_DomToTN", "127.0.0.1"),
                                             emu::Number("Port_Domino", o.port), emu::Text("AuthType", o.auth),
                                             emu::Text("Username", "tarn"), emu::Text("Password", "secret")},
                                            &id),
                        "server document");
        if (!ok) return false;
        for (const auto& u : kUsers)
            if (u.listed && !Check(emu::CreateDocument(cfg.h, {emu::Text("Form", "MailDb"), emu::Text("MailFile", u.path)}, &id), "user"))
                return false;
        if (!Check(emu::CreateDocument(cfg.h, {emu::Text("Form", "Exclude"), emu::Text("DbPath", "mail\\shared.nsf")}, &id),
                   "exclude"))
            return false;
    }
    for (const char* p : {"brackwater\\tarnalerts.nsf", "brackwater\\qcapture.nsf"})
        if (!Check(emu::CreateDatabase(p), std::string("create ") + p)) return false;
    for (const auto& u : kUsers) {
        if (!Check(emu::CreateDatabase(u.path), std::string("create ") + u.path)) return false;
        Db mail(u.path);
        if (!Check(emu::SetProfile(mail.h, "CalendarProfile", {emu::Text("Owner", u.owner)}), "profile")) return false;
    }
    return true;
}

// ---- the capture queue ---------------------------------------------------------

std::string ItemText(const emu::ItemValue& item) {
    if (item.type == TYPE_NUMBER || item.type == TYPE_TIME) {
        std::ostringstream s;
        s << (item.numbers.empty() ? 0 : item.numbers[0]);
        return s.str();
    }
    std::string out;
    for (size_t i = 0; i < item.texts.size(); ++i) out += (i ? "; " : "") + item.texts[i];
    return out;
}

std::string DescribeQueueNote(const emu::NoteDump& n) {
    std::map<std::string, std::string> v;
    for (const auto& item : n.items) v[item.name] = ItemText(item);
    char id[16];
    snprintf(id, sizeof id, "%08X", n.id);
    return std::string(id) + "  " + (v["Action"] == "1" ? "delete" : "change") + "  " + v["CalForm"] + " " +
           v["CalNoteID"] + " in " + v["CalDbPath"] + " for " + v["CalUserName"] + "  (UNID " + v["CalUNID"] + ")";
}

int ListQueue(const std::string& dir, bool itemsToo) {
    emu::SetDataDirectory(dir);
    std::vector<emu::NoteDump> notes;
    if (!Check(emu::DumpNotes("brackwater\\qcapture.nsf", &notes), "read the capture queue")) return 1;
    printf("Capture queue brackwater\\qcapture.nsf: %zu note(s)\n", notes.size());
    for (const auto& n : notes) {
        printf("  %s\n", DescribeQueueNote(n).c_str());
        if (!itemsToo) continue;
        for (const auto& item : n.items)
            printf("      %-12s %s\n", item.name.c_str(), ItemText(item).c_str());
    }
    return 0;
}

// ---- configuration changes --------------------------------------------------------

bool ChangeConfig(const std::vector<std::string>& w) {
    Db cfg("brackwater\\tarnconfig.nsf");
    if (!cfg.h) return false;
    NOTEID id;
    if (w.size() == 4 && (w[1] == "user" || w[1] == "exclude") && w[2] == "add") {
        bool user = w[1] == "user";
        return Check(emu::CreateDocument(cfg.h, {emu::Text("Form", user ? "MailDb" : "Exclude"),
                                                 emu::Text(user ? "MailFile" : "DbPath", w[3])},
                                         &id),
                     "config " + w[1] + " add");
    }
    std::vector<emu::NoteDump> docs;
    if (!Check(emu::DumpNotes("brackwater\\tarnconfig.nsf", &docs), "read configuration")) return false;
    auto find = [&](const std::string& form, const std::string& item, const std::string& value) -> NOTEID {
        for (const auto& d : docs) {
            bool formOk = false, valueOk = item.empty();
            for (const auto& i : d.items) {
                if (i.name == "Form" && ItemText(i) == form) formOk = true;
                if (!item.empty() && i.name == item && ItemText(i) == value) valueOk = true;
            }
            if (formOk && valueOk) return d.id;
        }
        return 0;
    };
    if (w.size() == 4 && w[1] == "user" && w[2] == "remove") {
        NOTEID target = find("MailDb", "MailFile", w[3]);
        if (!target) {
            fprintf(stderr, "tarn-sim: %s is not in maildblookup\n", w[3].c_str());
            return false;
        }
        // An administrator's edit: the configuration database is no mail file,
        // so no task needs to see this deletion.
        NOTEHANDLE note = 0;
        if (!Check(NSFNoteOpen(cfg.h, target, 0, &note), "open user document")) return false;
        for (const char* item : {"Form", "MailFile"}) NSFItemDelete(note, item, static_cast<uint16_t>(strlen(item)));
        STATUS s = NSFNoteUpdate(note, 0);
        NSFNoteClose(note);
        return Check(s, "config user remove");
    }
    if (w.size() >= 3 && w[1] == "server") {
        NOTEID target = find("Server", "", "");
        NOTEHANDLE note = 0;
        if (!target || !Check(NSFNoteOpen(cfg.h, target, 0, &note), "open server document")) return false;
        for (size_t i = 2; i < w.size(); ++i) {
            auto eq = w[i].find('=');
            if (eq == std::string::npos) continue;
            std::string name = w[i].substr(0, eq), value = w[i].substr(eq + 1);
            bool number = !name.empty() && name.back() == '#';
            if (number) name.pop_back();
            NSFItemDelete(note, name.c_str(), static_cast<uint16_t>(name.size()));
            if (number) {
                double d = atof(value.c_str());
                NSFItemSetNumber(note, name.c_str(), &d);
            } else {
                NSFItemAppend(note, ITEM_SUMMARY, name.c_str(), static_cast<uint16_t>(name.size()), TYPE_TEXT,
                           value.data(), static_cast<uint32_t>(value.size()));
            }
        }
        STATUS s = NSFNoteUpdate(note, 0);
        NSFNoteClose(note);
        return Check(s, "config server");
    }
    fprintf(stderr, "tarn-sim: unknown config step\n");
    return false;
}

// ---- server tasks as processes ----------------------------------------------------

class Task {
public:
    Task(const std::string& name, const std::string& dir) : name(name) {
        int in[2], out[2];
        if (pipe(in) || pipe(out)) throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            close(in[1]);
            close(out[0]);
            std::string exe = SelfDir() + "/" + name;
            execl(exe.c_str(), name.c_str(), "--data", dir.c_str(), "--threads", "4", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        toTask = in[1];
        fromTask = out[0];
        reader = std::thread([this] { Read(); });
    }
    ~Task() { Finish(); }

    void Send(const std::string& line) {
        std::string l = line + "\n";
        if (toTask >= 0 && write(toTask, l.data(), l.size()) < 0) perror("write to task");
    }
    void Sync(int token) {
        Send("sync " + std::to_string(token));
        std::unique_lock lock(mutex);
        synced.wait_for(lock, std::chrono::seconds(60), [&] { return lastSync >= token || ended; });
    }
    void Finish() {
        if (toTask >= 0) {
            close(toTask);
            toTask = -1;
        }
        if (reader.joinable()) reader.join();
        if (pid > 0) {
            int status = 0;
            waitpid(pid, &status, 0);
            pid = -1;
        }
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex);
        return lines;
    }
    const std::string name;

private:
    void Read() {
        std::string pending;
        char buf[4096];
        for (;;) {
            ssize_t n = read(fromTask, buf, sizeof buf);
            if (n <= 0) break;
            pending.append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                Line(pending.substr(0, nl));
                pending.erase(0, nl + 1);
            }
        }
        close(fromTask);
        std::lock_guard lock(mutex);
        ended = true;
        synced.notify_all();
    }
    void Line(const std::string& line) {
        if (line.rfind("runner: sync ", 0) == 0) {
            std::lock_guard lock(mutex);
            lastSync = atoi(line.c_str() + 13);
            synced.notify_all();
            return;
        }
        if (line.rfind("runner: deregistered", 0) == 0 || line.rfind("runner: exit", 0) == 0) return;
        {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        }
        static std::mutex printing;
        std::lock_guard lock(printing);
        printf("  [%-11s] %s\n", name.c_str(), line.c_str());
        fflush(stdout);
    }

    pid_t pid = -1;
    int toTask = -1, fromTask = -1;
    std::thread reader;
    std::mutex mutex;
    std::condition_variable synced;
    int lastSync = 0;
    bool ended = false;
    std::vector<std::string> lines;
};


std::string Substitute(std::string line, const std::map<std::string, std::string>& vars) {
    for (const auto& [k, v] : vars)
        for (size_t p; (p = line.find("${" + k + "}")) != std::string::npos;) line.replace(p, k.size() + 3, v);
    return line;
}

struct PlayResult {
    int changes = 0;
    int steps = 0;
    bool ok = true;
};

// Notices travel on workers of their own after a task has done its part:
// wait until the processor has heard nothing new for a moment.
void Settle(tarnsim::Processor* processor) {
    if (!processor) return;
    size_t seen = processor->Notices().size();
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        size_t now = processor->Notices().size();
        if (now == seen) return;
        seen = now;
    }
}

PlayResult Play(std::istream& in, std::map<std::string, std::unique_ptr<Task>>& tasks,
                const std::map<std::string, std::string>& vars, tarnsim::Processor* processor) {
    PlayResult r;
    std::string raw;
    int token = 0, lineNo = 0;
    auto syncAll = [&] {
        ++token;
        for (auto& [n, t] : tasks) t->Sync(token);
    };
    const std::vector<std::string> changing = {"create", "createx", "modify", "modifyx", "remove",
                                               "stub",   "stubx",   "delete"};
    while (std::getline(in, raw)) {
        ++lineNo;
        std::string line = Substitute(raw, vars);
        auto w = SplitWords(line);
        if (w.empty() || w[0][0] == '#') continue;
        ++r.steps;
        if (w[0] == "say") {
            syncAll();
            printf("\n== %s\n", line.substr(line.find("say") + 4).c_str());
        } else if (w[0] == "sync") {
            syncAll();
        } else if (w[0] == "pause" && w.size() == 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(atoi(w[1].c_str())));
        } else if (w[0] == "config") {
            syncAll();
            printf("   (administrator) %s\n", line.c_str());
            if (!ChangeConfig(w)) r.ok = false;
        } else if (w[0] == "processor" && w.size() == 3 && processor) {
            syncAll();
            Settle(processor);
            tarnsim::AuthMode auth;
            tarnsim::FailMode fail;
            if (w[1] == "auth" && tarnsim::ParseAuthMode(w[2], auth)) {
                processor->SetAuth(auth);
                printf("   (processor) now asks for: %s\n", tarnsim::AuthModeName(auth));
            } else if (w[1] == "mode" && tarnsim::ParseFailMode(w[2], fail)) {
                processor->SetMode(fail);
                printf("   (processor) now answers: %s\n", tarnsim::FailModeName(fail));
            } else {
                fprintf(stderr, "tarn-sim: scenario line %d not understood: %s\n", lineNo, raw.c_str());
                r.ok = false;
            }
        } else if (tasks.count(w[0]) && w.size() >= 2) {
            if (std::find(changing.begin(), changing.end(), w[1]) != changing.end()) ++r.changes;
            tasks[w[0]]->Send(line.substr(line.find(w[0]) + w[0].size() + 1));
        } else {
            fprintf(stderr, "tarn-sim: scenario line %d not understood: %s\n", lineNo, raw.c_str());
            r.ok = false;
        }
        if (r.steps % 25 == 0) fprintf(stderr, "tarn-sim: %d steps played\n", r.steps);
    }
    syncAll();
    Settle(processor);
    return r;
}

// Level-3 reasons of the filter, as the console log holds them.
std::map<std::string, int> Refusals(const std::string& dir, int* accepted, int* refused) {
    std::map<std::string, int> reasons;
    std::ifstream log(dir + "/console.log");
    std::string line;
    const std::vector<std::string> markers = {"Filter: FAIL: ", "Filter: Not Appointment", "Error: Calendar Profile"};
    *accepted = 0;
    *refused = 0;
    while (std::getline(log, line)) {
        auto colon = line.find(") : ");
        if (colon == std::string::npos) continue;
        std::string text = line.substr(colon + 4);
        if (text == "TARNEventProcessor::ProcessEventSingle. Passed Filter") ++*accepted;
        if (text == "TARNEventProcessor::ProcessEventSingle. Failed Filter") ++*refused;
        for (const auto& m : markers)
            if (text.rfind(m, 0) == 0) {
                for (char& c : text)
                    if (c == '\t') c = ' ';
                ++reasons[text];
            }
    }
    return reasons;
}

std::string LookupQueueNote(const std::string& qnoteid) {
    std::vector<emu::NoteDump> notes;
    if (emu::DumpNotes("brackwater\\qcapture.nsf", &notes) != 0) return "(capture queue unreadable)";
    unsigned long id = strtoul(qnoteid.c_str(), nullptr, 16);
    for (const auto& n : notes)
        if (n.id == id) return DescribeQueueNote(n);
    return "(no such queue note)";
}

int RunScenario(const std::string& dir, std::istream& scenario, tarnsim::Processor* processor) {
    emu::SetDataDirectory(dir);
    emu::SetConsoleEcho(false);
    const auto start = std::chrono::steady_clock::now();
    printf("== Starting the server tasks over %s\n", dir.c_str());
    std::map<std::string, std::unique_ptr<Task>> tasks;
    for (const auto& name : kTasks) tasks[name] = std::make_unique<Task>(name, dir);
    std::map<std::string, std::string> vars;
    if (processor) vars["PORT"] = std::to_string(processor->Port());
    PlayResult played = Play(scenario, tasks, vars, processor);
    printf("\n== Stopping the server tasks\n");
    for (auto& [n, t] : tasks) t->Finish();

    printf("\n== Capture queue\n");
    ListQueue(dir, false);
    size_t delivered = 0;
    if (processor) {
        printf("\n== Notices the sample processor received (and the authentication they came through)\n");
        for (const auto& n : processor->Notices()) {
            if (!n.accepted) continue;
            ++delivered;
            if (n.refresh)
                printf("  [%-7s] refreshconfig\n", n.acceptedUnder.c_str());
            else
                printf("  [%-7s] %-6s queue note %s  ->  %s\n", n.acceptedUnder.c_str(), n.action.c_str(),
                       n.qnoteid.c_str(), n.lookup.c_str());
        }
        for (const auto& l : processor->Logins())
            printf("  form login as %s: %s\n", l.username.c_str(), l.ok ? "accepted" : "refused");
    }
    int accepted = 0, refused = 0;
    auto reasons = Refusals(dir, &accepted, &refused);
    std::vector<emu::NoteDump> queue;
    emu::DumpNotes("brackwater\\qcapture.nsf", &queue);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("\n== Summary\n");
    printf("  changes made           %d\n", played.changes);
    printf("  events accepted        %d\n", accepted);
    printf("  events refused         %d, by reason:\n", refused);
    int explained = 0;
    for (const auto& [why, n] : reasons) {
        printf("      %4d  %s\n", n, why.c_str());
        explained += n;
    }
    if (refused > explained)
        printf("      %4d  (no line of their own: alerts in the HTTP task, notices that are no cancellation, no ApptUNID)\n",
               refused - explained);
    printf("  queue notes            %zu\n", queue.size());
    if (processor) printf("  notices delivered      %zu\n", delivered);
    printf("  time taken             %.1f s\n", seconds);
    printf("  console log            %s/console.log\n", dir.c_str());
    return played.ok ? 0 : 1;
}

std::string DefaultScenario() {
    for (const std::string& p : {SelfDir() + "/../../examples/demo.scenario", std::string("examples/demo.scenario")})
        if (fs::exists(p)) return p;
    return "examples/demo.scenario";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"The TARN add-in and its embedded Domino host, on one machine"};
    app.require_subcommand(1);
    std::string dir = "demo-data", scenarioFile;
    PrepareOptions prep;
    bool items = false;

    auto* demo = app.add_subcommand("demo", "prepare a data directory, start the processors and tasks, play a scenario");
    demo->add_option("--data", dir, "data directory (made afresh)");
    demo->add_option("--scenario", scenarioFile, "scenario file (default examples/demo.scenario)");

    auto* prepare = app.add_subcommand("prepare", "make a data directory with the sample databases");
    prepare->add_option("--data", dir, "data directory (made afresh)");
    prepare->add_option("--port", prep.port, "processor port");
    prepare->add_option("--auth", prep.auth, "AuthType item: None, Basic or Session");
    prepare->add_option("--level", prep.level, "DTC_LogLevel");

    auto* run = app.add_subcommand("run", "start the tasks over an existing data directory and play a scenario");
    run->add_option("--data", dir, "data directory")->required();
    run->add_option("--scenario", scenarioFile, "scenario file (default: standard input)");

    auto* queue = app.add_subcommand("queue", "list the capture queue");
    queue->add_option("--data", dir, "data directory")->required();
    queue->add_flag("--items", items, "show every item");

    CLI11_PARSE(app, argc, argv);
    signal(SIGPIPE, SIG_IGN);
    dir = fs::absolute(dir).string();

    if (*prepare) return Prepare(dir, prep) ? 0 : 1;
    if (*queue) return ListQueue(dir, items);
    if (*run) {
        if (scenarioFile.empty()) return RunScenario(dir, std::cin, nullptr);
        std::ifstream in(scenarioFile);
        if (!in) {
            fprintf(stderr, "tarn-sim: cannot read %s\n", scenarioFile.c_str());
            return 1;
        }
        return RunScenario(dir, in, nullptr);
    }
    // demo
    if (scenarioFile.empty()) scenarioFile = DefaultScenario();
    std::ifstream in(scenarioFile);
    if (!in) {
        fprintf(stderr, "tarn-sim: cannot read %s\n", scenarioFile.c_str());
        return 1;
    }
    tarnsim::ProcessorOptions po;
    po.path = "/servlet/dts";
    tarnsim::Processor processor(po);
    if (!processor.Start()) {
        fprintf(stderr, "tarn-sim: cannot start the sample processor\n");
        return 1;
    }
    processor.SetLookup(LookupQueueNote);
    prep.port = processor.Port();
    printf("== Preparing %s\n", dir.c_str());
    printf("   sample transaction processor on 127.0.0.1:%d, path /servlet/dts\n", processor.Port());
    if (!Prepare(dir, prep)) return 1;
    printf("   configuration, alerts, capture queue and mail files of alice, bob, carol, shared\n");
    printf("   TARN_Task_List=nserver.exe,nhttp.exe,amgr.exe\n");
    int rc = RunScenario(dir, in, &processor);
    processor.Stop();
    return rc;
}
