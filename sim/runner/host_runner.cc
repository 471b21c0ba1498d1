// A server task process of the embedded host. Started under a task's name
// (nserver.exe, nhttp.exe, ... are hard links to this program), it loads the
// add-in as the Extension Manager does, calls MainEntryPoint once, performs
// the note operations it is given on a pool of server threads, and unloads
// the add-in at its end.
//
//   nserver.exe [--data DIR] [--addin LIB] [--threads N] [--script FILE] [--linger MS]
//
// --linger keeps the process alive MS milliseconds after the add-in was
// unloaded, as a server goes on shutting down: what the add-in left running
// then shows.
//
// Operations are read from the script (or standard input), one a line:
//   create LABEL DB ITEM...        new document, saved (EM_NSFNOTEUPDATE)
//   createx LABEL DB ITEM...       the same, saved as an extended update (102)
//   modify LABEL ITEM...           set items of the document and save it
//   modifyx LABEL ITEM...          the same as an extended update
//   remove LABEL NAME              delete an item and save
//   stub LABEL | stubx LABEL       delete by an update that writes a deletion stub
//   delete LABEL...                delete-notes on the documents (one call)
//   wait                           wait until every operation so far is done
//   sleep MS                       pause the reader of operations
//   echo TEXT                      print a line
//   sync TOKEN                     wait as "wait" does, then print "runner: sync TOKEN"
//   quit                           stop reading
// An unknown operation, or one with the wrong number of words, stops the
// script there: the line is reported and the runner exits with status 2.
// ITEM is Name=text, Name#=number, Name@=time (a number) or Name[]=a|b|c;
// the text value "@unid" stands for the document's own UNID (as ApptUNID
// of a real calendar entry holds it).
// Values may be quoted with "..." to hold blanks. DB is a Notes path such as
// mail\\alice.nsf. Labels name documents for later lines.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emu/emulator.h"
#include "emu/platform.h"
#include "runner/addin_library.h"
#include "runner/allocation_faults.h"
#include "runner/operations.h"
#include "runner/words.h"

namespace {

struct Options {
    std::string data;
    std::string addin;
    std::string script;
    int threads = 4;
    int lingerMs = 0;
};

std::string DefaultAddin() {
    if (const char* env = getenv("TARN_ADDIN"); env && *env) return env;
    const std::string dir = emu::platform::ExecutableDirectory(), name = runner::AddinFileName();
    std::error_code ec;
    for (const std::string& candidate : {dir + "/../" + name, dir + "/" + name})
        if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
    return name;
}

// The calling server thread's own handles, one for each database handle of
// the reading thread: handles belong to the thread that opened them, so a
// server thread reopens what it uses and closes it itself.
thread_local std::map<DBHANDLE, DBHANDLE> tOwnDbs;

DBHANDLE OwnHandle(DBHANDLE shared) {
    auto it = tOwnDbs.find(shared);
    if (it != tOwnDbs.end()) return it->second;
    DBHANDLE own = 0;
    if (STATUS s = NSFDbReopen(shared, &own)) {
        char text[200];
        OSLoadString(0, ERR(s), text, sizeof text - 1);
        fprintf(stderr, "runner: reopen failed: %s (0x%x)\n", text, s);
        return 0;
    }
    tOwnDbs[shared] = own;
    return own;
}

void CloseOwnHandles() {
    for (auto& [shared, own] : tOwnDbs) NSFDbClose(own);
    tOwnDbs.clear();
}

// A fixed pool of server threads; Drain waits until all queued work is done.
class ServerThreads {
public:
    explicit ServerThreads(int n) {
        for (int i = 0; i < n; ++i) workers.emplace_back([this] { Run(); });
    }
    ~ServerThreads() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        for (auto& t : workers) t.join();
    }
    void Post(std::function<void()> job) {
        {
            std::lock_guard lock(mutex);
            jobs.push_back(std::move(job));
            ++pending;
        }
        wake.notify_one();
    }
    void Drain() {
        std::unique_lock lock(mutex);
        idle.wait(lock, [this] { return pending == 0; });
    }

private:
    void Run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stopping || !jobs.empty(); });
                if (jobs.empty()) break;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            {
                // The job's callbacks are the add-in's events.
                runner::AllocationPhase phase(emu::Op::AllocateInEvent);
                job();
            }
            std::lock_guard lock(mutex);
            if (--pending == 0) idle.notify_all();
        }
        CloseOwnHandles();
    }
    std::mutex mutex;
    std::condition_variable wake, idle;
    std::deque<std::function<void()>> jobs;
    int pending = 0;
    bool stopping = false;
    std::vector<std::thread> workers;
};


bool ParseItem(const std::string& word, emu::ItemValue* out) {
    auto eq = word.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    std::string name = word.substr(0, eq);
    std::string value = word.substr(eq + 1);
    char kind = name.back();
    try {
        if (kind == '#' || kind == '@') {
            name.pop_back();
            *out = kind == '#' ? emu::Number(name, std::stod(value)) : emu::Time(name, std::stod(value));
        } else if (name.size() > 2 && name.compare(name.size() - 2, 2, "[]") == 0) {
            name.resize(name.size() - 2);
            std::vector<std::string> parts;
            std::stringstream ss(value);
            std::string part;
            while (std::getline(ss, part, '|')) parts.push_back(part);
            *out = emu::TextList(name, parts);
        } else {
            *out = emu::Text(name, value);
        }
    } catch (const std::exception&) {
        return false;
    }
    return !name.empty();
}

std::string UnidText(NOTEHANDLE note) {
    ORIGINATORID oid{};
    NSFNoteGetInfo(note, _NOTE_OID, &oid);
    char text[33];
    snprintf(text, sizeof text, "%08X%08X%08X%08X", static_cast<unsigned>(oid.File.Innards[1]),
             static_cast<unsigned>(oid.File.Innards[0]), static_cast<unsigned>(oid.Note.Innards[1]),
             static_cast<unsigned>(oid.Note.Innards[0]));
    return text;
}

STATUS WriteItems(NOTEHANDLE note, std::vector<emu::ItemValue> items) {
    for (auto& item : items) {
        if (item.type == TYPE_TEXT && item.texts.size() == 1 && item.texts[0] == "@unid") item.texts[0] = UnidText(note);
        NSFItemDelete(note, item.name.c_str(), static_cast<uint16_t>(item.name.size()));
        STATUS s = 0;
        if (item.type == TYPE_NUMBER || item.type == TYPE_TIME) {
            double v = item.numbers.empty() ? 0 : item.numbers[0];
            s = item.type == TYPE_NUMBER
                    ? NSFItemSetNumber(note, item.name.c_str(), &v)
                    : NSFItemAppend(note, item.flags, item.name.c_str(), static_cast<uint16_t>(item.name.size()),
                                 TYPE_TIME, &v, sizeof v);
        } else if (item.type == TYPE_TEXT_LIST) {
            std::string packed;  // 16-bit count, 16-bit lengths, then the texts
            uint16_t count = static_cast<uint16_t>(item.texts.size());
            packed.append(reinterpret_cast<const char*>(&count), 2);
            for (const auto& t : item.texts) {
                uint16_t len = static_cast<uint16_t>(t.size());
                packed.append(reinterpret_cast<const char*>(&len), 2);
            }
            for (const auto& t : item.texts) packed += t;
            s = NSFItemAppend(note, item.flags, item.name.c_str(), static_cast<uint16_t>(item.name.size()),
                           TYPE_TEXT_LIST, packed.data(), static_cast<uint32_t>(packed.size()));
        } else {
            const std::string& t = item.texts.empty() ? std::string() : item.texts[0];
            s = NSFItemAppend(note, item.flags, item.name.c_str(), static_cast<uint16_t>(item.name.size()), TYPE_TEXT,
                           t.data(), static_cast<uint32_t>(t.size()));
        }
        if (s) return s;
    }
    return 0;
}

struct Doc {
    std::string db;
    std::shared_future<NOTEID> id;
};

class Runner {
public:
    explicit Runner(int threads) : pool(threads) {}
    ~Runner() {
        pool.Drain();
        for (auto& [path, h] : dbs) NSFDbClose(h);
    }

    // Known, complete operations only: the caller checks with CheckOperation.
    void Execute(const std::vector<std::string>& w, int lineNo) {
        const std::string& op = w[0];
        if (op == "wait") return pool.Drain();
        if (op == "sync" && w.size() == 2) {
            pool.Drain();
            emu::WriteOutputLine("runner: sync " + w[1]);
            return;
        }
        if (op == "sleep" && w.size() == 2) return std::this_thread::sleep_for(std::chrono::milliseconds(atoi(w[1].c_str())));
        if (op == "echo") {
            std::string text;
            for (size_t i = 1; i < w.size(); ++i) text += (i > 1 ? " " : "") + w[i];
            emu::WriteOutputLine(text);
            return;
        }
        if ((op == "create" || op == "createx") && w.size() >= 3) return Create(w, op == "createx", lineNo);
        if ((op == "modify" || op == "modifyx") && w.size() >= 2) return Modify(w, op == "modifyx", lineNo);
        if (op == "remove" && w.size() == 3) return Remove(w, lineNo);
        if ((op == "stub" || op == "stubx") && w.size() == 2) return Stub(w[1], op == "stubx", lineNo);
        if (op == "delete" && w.size() >= 2) return Delete(w, lineNo);
        Fail(lineNo, "unknown or incomplete operation: " + op);
    }

private:
    static void Fail(int lineNo, const std::string& why) {
        fprintf(stderr, "runner: line %d: %s\n", lineNo, why.c_str());
    }
    static void Report(int lineNo, const char* what, STATUS s) {
        if (!s) return;
        char text[200];
        OSLoadString(0, ERR(s), text, sizeof text - 1);
        fprintf(stderr, "runner: line %d: %s failed: %s (0x%x)\n", lineNo, what, text, s);
    }

    // The reading thread's handle of a database (opened here, so that a
    // missing one is reported with its line); server threads reopen it.
    DBHANDLE Db(const std::string& path, int lineNo) {
        std::lock_guard lock(mutex);
        auto it = dbs.find(path);
        if (it != dbs.end()) return it->second;
        DBHANDLE h = 0;
        STATUS s = NSFDbOpen(path.c_str(), &h);
        if (s) {
            Report(lineNo, ("open " + path).c_str(), s);
            return 0;
        }
        dbs[path] = h;
        return h;
    }

    bool Items(const std::vector<std::string>& w, size_t from, std::vector<emu::ItemValue>* items, int lineNo) {
        for (size_t i = from; i < w.size(); ++i) {
            emu::ItemValue v;
            if (!ParseItem(w[i], &v)) {
                Fail(lineNo, "bad item: " + w[i]);
                return false;
            }
            items->push_back(v);
        }
        return true;
    }

    static STATUS Save(NOTEHANDLE note, bool extended) {
        return extended ? NSFNoteUpdateExtended(note, 0) : NSFNoteUpdate(note, 0);
    }

    void Create(const std::vector<std::string>& w, bool extended, int lineNo) {
        std::vector<emu::ItemValue> items;
        if (!Items(w, 3, &items, lineNo)) return;
        DBHANDLE db = Db(w[2], lineNo);
        if (!db) return;
        auto promise = std::make_shared<std::promise<NOTEID>>();
        {
            std::lock_guard lock(mutex);
            docs[w[1]] = Doc{w[2], promise->get_future().share()};
        }
        pool.Post([=] {
            NOTEHANDLE note = 0;
            NOTEID id = 0;
            DBHANDLE own = OwnHandle(db);
            STATUS s = own ? NSFNoteCreate(own, &note) : STATUS(emu::err::INVALID_HANDLE);
            if (!s) s = WriteItems(note, items);
            if (!s) s = Save(note, extended);
            if (!s) NSFNoteGetInfo(note, _NOTE_ID, &id);
            if (note) NSFNoteClose(note);
            Report(lineNo, "create", s);
            promise->set_value(id);
        });
    }

    bool Find(const std::string& label, Doc* doc, int lineNo) {
        std::lock_guard lock(mutex);
        auto it = docs.find(label);
        if (it == docs.end()) {
            Fail(lineNo, "no document labelled " + label);
            return false;
        }
        *doc = it->second;
        return true;
    }

    template <typename F>
    void OnNote(const std::string& label, int lineNo, F work) {
        Doc doc;
        if (!Find(label, &doc, lineNo)) return;
        DBHANDLE db = Db(doc.db, lineNo);
        if (!db) return;
        pool.Post([=] {
            NOTEID id = doc.id.get();
            if (!id) return;
            DBHANDLE own = OwnHandle(db);
            if (!own) return;
            NOTEHANDLE note = 0;
            STATUS s = NSFNoteOpen(own, id, 0, &note);
            if (!s) s = work(own, id, note);
            if (note) NSFNoteClose(note);
            Report(lineNo, "operation", s);
        });
    }

    void Modify(const std::vector<std::string>& w, bool extended, int lineNo) {
        std::vector<emu::ItemValue> items;
        if (!Items(w, 2, &items, lineNo)) return;
        OnNote(w[1], lineNo, [=](DBHANDLE, NOTEID, NOTEHANDLE note) {
            STATUS s = WriteItems(note, items);
            return s ? s : Save(note, extended);
        });
    }

    void Remove(const std::vector<std::string>& w, int lineNo) {
        std::string name = w[2];
        OnNote(w[1], lineNo, [=](DBHANDLE, NOTEID, NOTEHANDLE note) {
            NSFItemDelete(note, name.c_str(), static_cast<uint16_t>(name.size()));
            return NSFNoteUpdate(note, 0);
        });
    }

    void Stub(const std::string& label, bool extended, int lineNo) {
        Doc doc;
        if (!Find(label, &doc, lineNo)) return;
        DBHANDLE db = Db(doc.db, lineNo);
        if (!db) return;
        pool.Post([=] {
            NOTEID id = doc.id.get();
            DBHANDLE own = id ? OwnHandle(db) : 0;
            if (own) Report(lineNo, "stub", emu::DeleteByStub(own, id, extended));
        });
    }

    void Delete(const std::vector<std::string>& w, int lineNo) {
        std::vector<Doc> targets;
        for (size_t i = 1; i < w.size(); ++i) {
            Doc doc;
            if (!Find(w[i], &doc, lineNo)) return;
            targets.push_back(doc);
        }
        DBHANDLE db = Db(targets[0].db, lineNo);
        if (!db) return;
        pool.Post([=] {
            std::vector<NOTEID> ids;
            for (const auto& d : targets)
                if (NOTEID id = d.id.get()) ids.push_back(id);
            if (DBHANDLE own = OwnHandle(db)) Report(lineNo, "delete", emu::DeleteNotes(own, ids));
        });
    }

    ServerThreads pool;
    std::mutex mutex;
    std::map<std::string, DBHANDLE> dbs;
    std::map<std::string, Doc> docs;
};

// "runner: start-up calls: OSGetEnvironmentString x2, NSFDbOpen x3" (or
// "none"): what MainEntryPoint called beyond the EM functions, in order.
void PrintStartupCalls() {
    std::string list;
    for (const auto& call : emu::StartupCalls())
        list += (list.empty() ? " " : ", ") + call.function + " x" + std::to_string(call.count);
    emu::WriteOutputLine("runner: start-up calls:" + (list.empty() ? std::string(" none") : list));
}

// What the add-in left open at its unload, said only when something is.
void ReportLeftOpen() {
    const emu::OpenCounts c = emu::Open();
    const std::pair<const char*, int> counts[] = {
        {"databases", c.databases},       {"notes", c.notes},       {"collections", c.collections},
        {"locked blocks", c.lockedBlocks}, {"blocks", c.allocatedBlocks}, {"id tables", c.idTables},
    };
    std::string list;
    for (const auto& [what, n] : counts)
        if (n) list += (list.empty() ? " " : ", ") + std::to_string(n) + " " + what;
    if (!list.empty()) emu::WriteOutputLine("runner: left open at unload:" + list);
}

// One line a violation, then their count.
uint64_t gViolationsPrinted = 0;

void PrintViolations() {
    gViolationsPrinted = emu::ViolationCount();
    for (const auto& line : emu::ViolationReport("runner")) emu::WriteOutputLine(line);
}

void ReportLateViolations() {
    if (emu::ViolationCount() <= gViolationsPrinted) return;
    for (const auto& line : emu::ViolationReport("runner", "violations at exit", gViolationsPrinted))
        printf("%s\n", line.c_str());
    fflush(stdout);
}

bool IsLinuxTaskName(const std::string& path) {
    const size_t cut = path.find_last_of("/\\");
    const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    if (name == "tarn-host" || name.empty()) return false;  // this program's own name
    std::string ext = name.substr(std::min(name.rfind('.'), name.size()));
    for (char& c : ext) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return ext != ".exe";
}

int Usage() {
    fprintf(stderr, "usage: TASK.exe [--data DIR] [--addin LIB] [--threads N] [--script FILE] [--linger MS]\n");
    return 2;
}

}  // namespace

namespace {
int gExitCode = 0;
int Run(int argc, char** argv);
}  // namespace

int main(int argc, char** argv) {
    runner::EndAfterExitHandlers(&gExitCode);
    gExitCode = Run(argc, argv);
    return gExitCode;
}

namespace {
int Run(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--data" && (v = next())) opt.data = v;
        else if (a == "--addin" && (v = next())) opt.addin = v;
        else if (a == "--script" && (v = next())) opt.script = v;
        else if (a == "--threads" && (v = next())) opt.threads = std::max(1, atoi(v));
        else if (a == "--linger" && (v = next())) opt.lingerMs = std::max(0, atoi(v));
        else return Usage();
    }
    if (!opt.data.empty()) emu::SetDataDirectory(opt.data);
    // Started under a Linux server's task name (server, http, amgr: no
    // ".exe"), the host answers paths with '/' as that server does.
    if (IsLinuxTaskName(argv[0])) emu::SetPathSeparator('/');
    // A server has a data directory with a notes.ini; without one every served
    // task would only say that no tasks are listed.
    {
        std::string dir = emu::DataDirectory();
        std::error_code ec;
        if (!std::filesystem::is_directory(dir, ec)) {
            fprintf(stderr, "runner: the data directory %s does not exist; prepare one with: tarn-sim prepare --data %s\n",
                    dir.c_str(), dir.c_str());
            return 2;
        }
        if (!std::filesystem::is_regular_file(dir + "/notes.ini", ec)) {
            fprintf(stderr,
                    "runner: %s was never prepared (it has no notes.ini); prepare it with: tarn-sim prepare --data %s\n",
                    dir.c_str(), dir.c_str());
            return 2;
        }
    }
    if (opt.addin.empty()) opt.addin = DefaultAddin();

    std::string loadError;
    runner::AddinLibrary* lib = runner::AddinLibrary::Load(opt.addin, &loadError);
    if (!lib) {
        fprintf(stderr, "runner: cannot load %s: %s\n", opt.addin.c_str(), loadError.c_str());
        return 1;
    }
    using EntryPoint = STATUS (*)();
    auto entry = reinterpret_cast<EntryPoint>(lib->Symbol("MainEntryPoint"));
    if (!entry) {
        fprintf(stderr, "runner: %s has no MainEntryPoint\n", opt.addin.c_str());
        lib->Unload();
        return 1;
    }
    // Violations recorded after main returns (exit handlers of a library
    // that stayed loaded) are reported by this handler, which runs after them.
    atexit(ReportLateViolations);
    runner::WatchAllocations(reinterpret_cast<void*>(entry));
    // Every call MainEntryPoint makes beyond the EM functions is listed.
    emu::EnterStartup();
    STATUS status;
    {
        runner::AllocationPhase phase(emu::Op::AllocateAtStartup);
        status = entry();
    }
    emu::LeaveStartup();
    if (status) fprintf(stderr, "runner: MainEntryPoint returned %u\n", status);
    if (getenv("TARN_RUNNER_ENTRY_TWICE")) {
        emu::EnterStartup();
        STATUS again = entry();
        emu::LeaveStartup();
        fprintf(stderr, "runner: second MainEntryPoint returned %u\n", again);
    }

    bool badScript = false;
    {
        Runner runner(opt.threads);
        std::ifstream file;
        if (!opt.script.empty()) {
            file.open(opt.script);
            if (!file) {
                fprintf(stderr, "runner: cannot read %s\n", opt.script.c_str());
                badScript = true;
            }
        }
        std::istream& in = opt.script.empty() ? std::cin : file;
        std::string line;
        int lineNo = 0;
        while (std::getline(in, line)) {
            ++lineNo;
            auto words = SplitWords(line);
            if (words.empty() || words[0][0] == '#') continue;
            if (std::string problem = CheckOperation(words); !problem.empty()) {
                // A script with a mistake stops here: what follows may depend on it.
                fprintf(stderr, "runner: line %d: %s: %s\n", lineNo, problem.c_str(), line.c_str());
                badScript = true;
                break;
            }
            if (words[0] == "quit") break;
            runner.Execute(words, lineNo);
        }
    }

    // A server ends NSF service first (EM_TERMINATENSF, its callbacks stop
    // their threads there), then unloads the Extension Manager libraries.
    // Waiting for threads inside dlclose instead would hold the loader lock
    // that a starting or ending thread may need.
    // Then the runtime ends: a call after it is a violation.
    emu::TerminateNsf();
    lib->Unload();
    ReportLeftOpen();
    emu::EndRuntime();
    if (opt.lingerMs) std::this_thread::sleep_for(std::chrono::milliseconds(opt.lingerMs));
    std::string order;
    for (const auto& d : emu::DeregistrationLog()) order += " " + d;
    emu::WriteOutputLine("runner: deregistered:" + order);
    PrintStartupCalls();
    PrintViolations();
    emu::WriteOutputLine("runner: exit " + std::to_string(status));
    if (status) return 3;
    return badScript ? 2 : 0;
}
}  // namespace
