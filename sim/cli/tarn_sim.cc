// tarn-sim: the whole system on one machine.
//
//   tarn-sim demo    [--data DIR] [--scenario FILE]   prepare, start, play, summarise
//   tarn-sim prepare [--data DIR] [--port N] [--auth none|basic|session] [--level N]
//   tarn-sim run     --data DIR [--scenario FILE]     start the tasks over an existing
//                                                     data directory and play a scenario
//                                                     (standard input when no file)
//   tarn-sim queue   --data DIR [--items] [--pending] list the capture queue
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
//   processor stop | processor start   take it away and bring it back (a new
//                                 process would know nothing of the old one:
//                                 a fresh processor on the same port)
//   sync                          wait until every task has done what it was given
//   pause MS                      wait
// ${PORT} stands for the port of the demo's sample processor.
// The demo's processor consumes the capture queue as an outbox
// (sim/processor/outbox.h): at the end, nothing may be left pending.
// Mistakes (a data directory never prepared, an unknown task, step or
// operation) end the program with one line on standard error and status 2,
// before anything is started.
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
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "emu/emulator.h"
#include "processor/outbox.h"
#include "processor/processor.h"
#include "runner/operations.h"
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

bool IsHandled(const emu::NoteDump& n) {
    for (const auto& item : n.items)
        if (item.name == "Status") return item.type == TYPE_NUMBER && !item.numbers.empty() &&
                                          item.numbers[0] == tarnsim::kStatusHandled;
    return false;
}

size_t CountPending(const std::vector<emu::NoteDump>& queue) {
    size_t n = 0;
    for (const auto& q : queue) n += !IsHandled(q);
    return n;
}

int ListQueue(const std::string& dir, bool itemsToo, bool pendingOnly) {
    emu::SetDataDirectory(dir);
    std::vector<emu::NoteDump> notes;
    if (!Check(emu::DumpNotes("brackwater\\qcapture.nsf", &notes), "read the capture queue")) return 1;
    size_t pending = CountPending(notes);
    if (pendingOnly)
        printf("Capture queue brackwater\\qcapture.nsf: %zu of %zu note(s) pending\n", pending, notes.size());
    else
        printf("Capture queue brackwater\\qcapture.nsf: %zu note(s), %zu pending\n", notes.size(), pending);
    for (const auto& n : notes) {
        bool handled = IsHandled(n);
        if (pendingOnly && handled) continue;
        std::string line = DescribeQueueNote(n);
        line.insert(10, handled ? "handled  " : "pending  ");  // after the id
        printf("  %s\n", line.c_str());
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

// ---- the demo's sample processor ------------------------------------------------

// The sample processor with its outbox. It can be stopped and started again
// on the same port; what earlier instances received and counted is kept for
// the summary.
class DemoProcessor {
public:
    DemoProcessor(tarnsim::ProcessorOptions po, tarnsim::OutboxOptions oo) : po(std::move(po)), oo(oo) {}
    ~DemoProcessor() { Stop(); }

    // The first start picks a free port; later ones take the same again.
    bool Start(std::string* why, size_t* recovered) {
        if (processor) return true;
        processor = std::make_unique<tarnsim::Processor>(po);
        processor->SetAuth(auth);
        processor->SetMode(mode);
        auto handle = [](const tarnsim::QueueNote&, tarnsim::Via) {};  // the sample's work: its record is enough
        auto log = [](const std::string& line) {
            printf("   (processor) %s\n", line.c_str());
            fflush(stdout);
        };
        outbox = std::make_unique<tarnsim::Outbox>(oo, handle, log);
        tarnsim::Outbox* box = outbox.get();
        processor->SetLookup([box](const std::string& qnoteid) { return box->OnNotice(qnoteid); });
        if (!processor->Start()) {
            *why = processor->StartProblem();
            processor.reset();
            outbox.reset();
            return false;
        }
        po.port = processor->Port();
        if (!outbox->Start(why, recovered)) {
            processor->Stop();
            processor.reset();
            outbox.reset();
            return false;
        }
        return true;
    }

    // Nothing answers on the port afterwards; handlings under way finish first.
    void Stop() {
        if (!processor) return;
        processor->Stop();
        outbox->Stop();
        for (auto& n : processor->Notices()) pastNotices.push_back(n);
        for (auto& l : processor->Logins()) pastLogins.push_back(l);
        Add(pastCounts, outbox->Counts());
        processor.reset();
        outbox.reset();
    }

    bool Running() const { return processor != nullptr; }
    int Port() const { return po.port; }
    void SetAuth(tarnsim::AuthMode a) {
        auth = a;
        if (processor) processor->SetAuth(a);
    }
    void SetMode(tarnsim::FailMode m) {
        mode = m;
        if (processor) processor->SetMode(m);
    }
    std::vector<tarnsim::NoticeRecord> Notices() const {
        auto all = pastNotices;
        if (processor)
            for (auto& n : processor->Notices()) all.push_back(n);
        return all;
    }
    std::vector<tarnsim::LoginRecord> Logins() const {
        auto all = pastLogins;
        if (processor)
            for (auto& l : processor->Logins()) all.push_back(l);
        return all;
    }
    tarnsim::OutboxCounts Counts() const {
        tarnsim::OutboxCounts c = pastCounts;
        if (outbox) Add(c, outbox->Counts());
        return c;
    }
    const tarnsim::OutboxOptions& Options() const { return oo; }

private:
    static void Add(tarnsim::OutboxCounts& to, const tarnsim::OutboxCounts& c) {
        to.byNotice += c.byNotice;
        to.bySweep += c.bySweep;
        to.duplicates += c.duplicates;
        to.unknown += c.unknown;
        to.failures += c.failures;
        to.unmarked += c.unmarked;
    }
    tarnsim::ProcessorOptions po;
    tarnsim::OutboxOptions oo;
    tarnsim::AuthMode auth = tarnsim::AuthMode::None;
    tarnsim::FailMode mode = tarnsim::FailMode::Normal;
    std::unique_ptr<tarnsim::Processor> processor;
    std::unique_ptr<tarnsim::Outbox> outbox;
    std::vector<tarnsim::NoticeRecord> pastNotices;
    std::vector<tarnsim::LoginRecord> pastLogins;
    tarnsim::OutboxCounts pastCounts;
};

// ---- scenarios ----------------------------------------------------------------------

struct ScenarioLine {
    int number = 0;
    std::string text;
};

// Empty when the step can be played; otherwise what is wrong with it.
std::string CheckStep(const std::vector<std::string>& w, bool withProcessor) {
    const std::string& step = w[0];
    auto isNumber = [](const std::string& t) {
        return !t.empty() && t.size() < 10 && t.find_first_not_of("0123456789") == std::string::npos;
    };
    if (step == "say" || step == "sync") return {};
    if (step == "pause") return w.size() == 2 && isNumber(w[1]) ? "" : "pause takes a time in milliseconds (pause MS)";
    if (step == "config") {
        if (w.size() == 4 && w[1] == "user" && (w[2] == "add" || w[2] == "remove")) return {};
        if (w.size() == 4 && w[1] == "exclude" && w[2] == "add") return {};
        if (w.size() >= 3 && w[1] == "server") return {};
        return "config steps are: config user add PATH, config user remove PATH, config exclude add PATH, "
               "config server ITEM...";
    }
    if (step == "processor") {
        tarnsim::AuthMode a;
        tarnsim::FailMode f;
        bool ok = (w.size() == 3 && w[1] == "auth" && tarnsim::ParseAuthMode(w[2], a)) ||
                  (w.size() == 3 && w[1] == "mode" && tarnsim::ParseFailMode(w[2], f)) ||
                  (w.size() == 2 && (w[1] == "stop" || w[1] == "start"));
        if (!ok)
            return "processor steps are: processor auth none|basic|session, processor mode "
                   "normal|404|500|hang|close, processor stop, processor start";
        if (!withProcessor)
            return "processor steps need the demo's sample processor: play this scenario with tarn-sim demo "
                   "--scenario FILE";
        return {};
    }
    if (std::find(kTasks.begin(), kTasks.end(), step) != kTasks.end()) {
        if (w.size() < 2) return "a task step names an operation (" + step + " create LABEL DB ITEM...)";
        std::vector<std::string> op(w.begin() + 1, w.end());
        if (op[0] == "quit") return "quit would end the task for the rest of the scenario";
        return CheckOperation(op);
    }
    if (step.size() > 4 && step.compare(step.size() - 4, 4, ".exe") == 0)
        return "unknown task " + step + " (the tasks are nserver.exe, nhttp.exe and amgr.exe)";
    return "unknown step \"" + step + "\" (steps: say, sync, pause, config, processor, or a task: nserver.exe, "
           "nhttp.exe, amgr.exe)";
}

// Reads every step and checks it before anything is started. False, after
// one line on standard error, at the first mistake.
bool ReadScenario(std::istream& in, const std::string& name, bool withProcessor, std::vector<ScenarioLine>* out) {
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        auto w = SplitWords(raw);
        if (w.empty() || w[0][0] == '#') continue;
        if (std::string problem = CheckStep(w, withProcessor); !problem.empty()) {
            fprintf(stderr, "tarn-sim: %s line %d: %s: %s\n", name.c_str(), number, problem.c_str(), raw.c_str());
            return false;
        }
        out->push_back({number, raw});
    }
    return true;
}

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

PlayResult Play(const std::vector<ScenarioLine>& scenario, std::map<std::string, std::unique_ptr<Task>>& tasks,
                const std::map<std::string, std::string>& vars, DemoProcessor* processor, const std::string& dir) {
    PlayResult r;
    int token = 0;
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
            // "say" alone is an empty heading, not a reason to fall over.
            size_t text = line.find("say") + 3;
            text = line.find_first_not_of(" \t", text);
            printf("\n== %s\n", text == std::string::npos ? "" : line.substr(text).c_str());
        } else if (w[0] == "sync") {
            syncAll();
        } else if (w[0] == "pause") {
            std::this_thread::sleep_for(std::chrono::milliseconds(atoi(w[1].c_str())));
        } else if (w[0] == "config") {
            syncAll();
            printf("   (administrator) %s\n", line.c_str());
            if (!ChangeConfig(w)) r.ok = false;
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


// Queue notes that no accepted notice named: their notices were lost on the
// way (no processor, a refusal, a dropped connection).
size_t LostNotices(const std::vector<emu::NoteDump>& queue, const std::vector<tarnsim::NoticeRecord>& notices) {
    std::set<uint32_t> named;
    for (const auto& n : notices) {
        uint32_t id = 0;
        if (n.accepted && !n.refresh && tarnsim::Outbox::ParseNoteId(n.qnoteid, &id)) named.insert(id);
    }
    size_t lost = 0;
    for (const auto& q : queue) lost += !named.count(q.id);
    return lost;
}

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

    printf("\n== Capture queue\n");
    ListQueue(dir, false, false);
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
    const size_t pending = CountPending(queue);
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
    if (processor) {
        auto c = processor->Counts();
        printf("  queue notes handled    %llu (%llu on their notice, %llu recovered by sweep)\n",
               static_cast<unsigned long long>(c.byNotice + c.bySweep), static_cast<unsigned long long>(c.byNotice),
               static_cast<unsigned long long>(c.bySweep));
        printf("  recovered by sweep     %llu\n", static_cast<unsigned long long>(c.bySweep));
        printf("  still pending          %zu\n", pending);
        printf("  notices lost in transit %zu\n", LostNotices(queue, processor->Notices()));
        printf("  duplicates ignored     %llu\n", static_cast<unsigned long long>(c.duplicates));
        printf("  notices delivered      %zu\n", delivered);
    } else {
        printf("  queue notes handled    %zu\n", queue.size() - pending);
        printf("  still pending          %zu\n", pending);
    }
    printf("  time taken             %.1f s\n", seconds);
    printf("  console log            %s/console.log\n", dir.c_str());
    return played.ok ? 0 : 1;
}

std::string DefaultScenario() {
    for (const std::string& p : {SelfDir() + "/../../examples/demo.scenario", std::string("examples/demo.scenario")})
        if (fs::exists(p)) return p;
    return "examples/demo.scenario";
}


// A data directory that tarn-sim prepared: notes.ini and the configuration
// database at least. Empty when it is; otherwise one line saying what to do.
std::string CheckPrepared(const std::string& dir, bool needQueue) {
    std::error_code ec;
    const std::string fix = "; prepare it with: tarn-sim prepare --data " + dir;
    if (!fs::exists(dir, ec)) return "the data directory " + dir + " does not exist" + fix;
    if (!fs::is_directory(dir, ec)) return dir + " is not a directory";
    if (!fs::is_regular_file(dir + "/notes.ini", ec)) return dir + " was never prepared (it has no notes.ini)" + fix;
    emu::SetDataDirectory(dir);
    if (!fs::is_regular_file(emu::FilePathFor("brackwater\\tarnconfig.nsf"), ec))
        return dir + " was never prepared (it has no configuration database brackwater\\tarnconfig.nsf)" + fix;
    if (needQueue && !fs::is_regular_file(emu::FilePathFor("brackwater\\qcapture.nsf"), ec))
        return dir + " has no capture queue (brackwater\\qcapture.nsf)" + fix;
    return {};
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
    demo->add_option("--sweep-grace", sweepGrace, "seconds a queue note may wait for its notice before a sweep takes it")
        ->check(CLI::Range(0.0, 3600.0))
        ->capture_default_str();

    auto* prepare = app.add_subcommand("prepare", "make a data directory with the sample databases");
    prepare->add_option("--data", dir, "data directory (made afresh)");
    prepare->add_option("--port", prep.port, "processor port");
    prepare->add_option("--auth", prep.auth, "AuthType item: None, Basic or Session");
    prepare->add_option("--level", prep.level, "DTC_LogLevel");

    auto* run = app.add_subcommand("run", "start the tasks over an existing data directory and play a scenario");
    run->add_option("--data", dir, "data directory")->required();
    run->add_option("--scenario", scenarioFile, "scenario file (default: standard input, read to its end first)");

    auto* queue = app.add_subcommand("queue", "list the capture queue, handled and pending notes");
    queue->add_option("--data", dir, "data directory")->required();
    queue->add_flag("--items", items, "show every item");
    queue->add_flag("--pending", pendingOnly, "only the notes no processor has handled yet (Status is not 1)");

    CLI11_PARSE(app, argc, argv);
    signal(SIGPIPE, SIG_IGN);
    dir = fs::absolute(dir).string();

    if (*prepare) return Prepare(dir, prep) ? 0 : 1;
    if (*queue || *run) {
        if (std::string problem = CheckPrepared(dir, true); !problem.empty()) {
            fprintf(stderr, "tarn-sim: %s\n", problem.c_str());
            return 2;
        }
    }
    if (*queue) return ListQueue(dir, items, pendingOnly);

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
        if (!ReadScenario(in, scenarioFile.empty() ? "standard input" : scenarioFile, demo->parsed(), &scenario)) return 2;
    }
    if (*run) return RunScenario(dir, scenario, nullptr);

    // demo
    tarnsim::ProcessorOptions po;
    po.path = "/servlet/dts";
    tarnsim::OutboxOptions oo;
    oo.sweepInterval = std::chrono::milliseconds(static_cast<long long>(sweepInterval * 1000 + 0.5));
    oo.grace = std::chrono::milliseconds(static_cast<long long>(sweepGrace * 1000 + 0.5));
    DemoProcessor processor(po, oo);
    // The databases first: the processor consumes the capture queue from its start.
    printf("== Preparing %s\n", dir.c_str());
    if (!Prepare(dir, prep)) return 1;
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
    printf("   configuration, alerts, capture queue and mail files of alice, bob, carol, shared\n");
    printf("   TARN_Task_List=nserver.exe,nhttp.exe,amgr.exe\n");
    int rc = RunScenario(dir, scenario, &processor);
    processor.Stop();
    return rc;
}
