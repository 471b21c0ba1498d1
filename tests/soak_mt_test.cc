// Exactness soak: three task processes with eight server threads each over one
// data directory, calendar changes mixed with refusals and deletions, while
// the HTTP task announces configuration changes that every task reloads.
// Afterwards the capture queue holds exactly one note per accepted change (the
// kind of each generated document fixes its fate), and the processor has
// received exactly one notice per queue note.
//
// Each task's script comes in three phases (create, change, delete), fed
// through a pipe; every task finishes a phase before any starts the next, so
// a document's operations stay in order while the tasks run side by side.
//
// With EMU_NESTED_UPDATES=1 one save raises both update events, one inside
// the other, and the counts must hold all the same.
//
// The scripts are generated from a seed (TARN_SOAK_SEED overrides it), so a
// failure can be replayed; TARN_SOAK_DOCS, TARN_SOAK_ALERTS and TARN_SOAK_AUTH
// change the size and the processor's authentication. Under ThreadSanitizer
// the size is smaller, and no sanitizer report may appear in any task's error
// output.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "processor/processor.h"
#include "support/test_support.h"

#if defined(__SANITIZE_THREAD__)
#define SOAK_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SOAK_UNDER_TSAN 1
#endif
#endif

using namespace tarntest;

namespace {

constexpr char kWrongUnid[] = "0123456789ABCDEF0123456789ABCDEF";
constexpr int kEventUpdate = 47, kEventExtended = 102, kEventDeletion = 8;

int EnvInt(const char* name, int fallback) {
    const char* v = getenv(name);
    return v && *v ? atoi(v) : fallback;
}

// ---- The world: mail files and what the configuration says about them ------------

struct MailFile {
    std::string path;
    bool user;             // listed in maildblookup
    bool excluded;         // listed in dsdlookup
    std::string owner;     // CalendarProfile Owner; empty: no profile at all
    int weight;
};

const std::vector<MailFile>& MailFiles() {
    static const std::vector<MailFile> files = {
        {"mail\\alice.nsf", true, false, "CN=Alice Able/O=Brackwater", 5},
        {"mail\\bob.nsf", true, false, "CN=Bob Baker/O=Brackwater", 5},
        {"mail\\dave.nsf", true, false, "", 1},                          // a user without a profile
        {"mail\\carol.nsf", false, false, "CN=Carol Cole/O=Brackwater", 1},  // not a user
        {"mail\\shared.nsf", true, true, "CN=Shared/O=Brackwater", 1},    // a user, but excluded
    };
    return files;
}

const MailFile& FileAt(const std::string& path) {
    for (const auto& f : MailFiles())
        if (f.path == path) return f;
    throw std::runtime_error("unknown mail file " + path);
}

// ---- What becomes of each kind of document ---------------------------------------------

// Items as the runner writes them ("@unid" for the document's own UNID).
using Items = std::map<std::string, std::string>;

// One queue note as expected, without the ids only the run knows.
struct Capture {
    int action;
    std::string form;
    auto operator<=>(const Capture&) const = default;
};

struct Expectation {
    std::vector<Capture> captures;
    // Refusals the add-in counts apart (TARN.Events.Refused.*).
    int missingProfile = 0;  // NoOwner
    int excluded = 0;        // Excluded
    int notUser = 0;         // NotUser
    int markerRemoved = 0;   // Marker
};

constexpr int kNone = -1;  // no queue note

// The kinds of document the scripts make, each with its fate fixed here: the
// action of the queue note that a plain save, an extended save and a deletion
// leave in a user's mail file with a profile (kNone: none). A change only
// moves the Location, so a document keeps its kind; a marked one loses its
// "$TARN" at its first save in a user's mail file, which leaves no note.
struct Kind {
    Items items;
    int onSave, onExtendedSave, onDeletion;
    bool marked = false;
};

const std::vector<Kind>& Kinds() {
    static const std::vector<Kind> kinds = {
        {{{"Form", "Appointment"}, {"ApptUNID", "@unid"}}, 0, 0, 1},
        {{{"Form", "Appointment"}, {"ApptUNID", "@unid"}}, 0, 0, 1},
        {{{"Form", "Task"}, {"StartDateTime", "45000"}, {"DueDateTime", "45001"}, {"ApptUNID", "@unid"}}, 0, 0, 1},
        {{{"Form", "Appointment"}, {"ApptUNID", "@unid"}, {"$TARN", "1"}}, 0, 0, 1, true},
        // Cancellations: only an extended save says what the notice is.
        {{{"Form", "Notice"}, {"NoticeType", "S"}}, kNone, 1, kNone},
        {{{"Form", "Notice"}, {"NoticeType", "C"}, {"ApptUNID", "@unid"}}, kNone, 1, kNone},
        {{{"Form", "TaskNotice"}, {"NoticeType", "R"}, {"ApptUNID", "@unid"}}, kNone, 1, kNone},
        // Refused whatever happens to them.
        {{{"Form", "Task"}, {"StartDateTime", "45000"}, {"ApptUNID", "@unid"}}, kNone, kNone, kNone},
        {{{"Form", "Appointment"}, {"ApptUNID", "@unid"}, {"$REF", "parent"}}, kNone, kNone, kNone},
        {{{"Form", "Appointment"}, {"ApptUNID", kWrongUnid}}, kNone, kNone, kNone},  // a draft
        {{{"Form", "Notice"}, {"NoticeType", "C"}, {"ApptUNID", kWrongUnid}}, kNone, kNone, kNone},
        {{{"Form", "Notice"}, {"NoticeType", "X"}, {"ApptUNID", "@unid"}}, kNone, kNone, kNone},
        {{{"Form", "Memo"}}, kNone, kNone, kNone},
        {{{"Form", "appointment"}, {"ApptUNID", "@unid"}}, kNone, kNone, kNone},
        {{{"Form", "Appointments"}, {"ApptUNID", "@unid"}}, kNone, kNone, kNone},
        {{}, kNone, kNone, kNone},  // no Form at all
    };
    return kinds;
}

// ---- Script generation ---------------------------------------------------------------

struct Document {
    std::string label;
    std::string db;
    size_t kind = 0;      // in Kinds()
    bool marked = false;  // still carries "$TARN"
    bool deleted = false;
    std::vector<Capture> captures;
};

struct TaskScript {
    std::string task;
    std::vector<std::string> phases;  // script text of each phase
    std::vector<Document> docs;
    int alerts = 0;       // updates of the alerts database (HTTP task only)
    Expectation expected;  // the whole task's, by the kinds
};

class Generator {
public:
    explicit Generator(uint32_t seed) : rng(seed) {}

    TaskScript Make(const std::string& task, char prefix, int docCount, int alerts) {
        TaskScript s;
        s.task = task;
        script = &s;
        alertsLeft = alerts;
        alertEvery = alerts ? std::max(1, (docCount * 3) / alerts) : 0;
        ticks = 0;
        for (int i = 0; i < docCount; ++i) s.docs.push_back(NewDocument(prefix + std::to_string(i)));
        std::ostringstream out;
        // Created all; changed about half; deleted about half. At most one
        // operation per document and phase: the server threads may reorder
        // a phase, never cross its end.
        auto endPhase = [&] {
            out << "sync " << s.phases.size() + 1 << "\n";
            s.phases.push_back(out.str());
            out.str("");
        };
        for (auto& d : s.docs) {
            Create(d, out);
            Tick(s, out);
        }
        // The HTTP task has broadcast at least once before anyone goes on.
        if (alerts > 0 && s.alerts == 0) Alert(s, out);
        endPhase();
        for (auto& d : s.docs) {
            if (Chance(50)) Change(d, out);
            Tick(s, out);
        }
        endPhase();
        std::map<std::string, std::vector<Document*>> group;  // delete-notes, per database
        for (auto& d : s.docs) {
            int roll = Pick(100);
            if (roll < 30) {
                Delete({&d}, out, roll < 15 ? "stub" : "stubx");
            } else if (roll < 50) {
                auto& g = group[d.db];
                g.push_back(&d);
                if (g.size() == 1 + static_cast<size_t>(Pick(4))) Flush(g, out);
            }
            Tick(s, out);
        }
        for (auto& [db, g] : group) Flush(g, out);
        while (alertsLeft > 0) Alert(s, out);
        endPhase();
        return s;
    }

private:
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
    bool Chance(int percent) { return Pick(100) < percent; }

    std::string PickDb() {
        int total = 0;
        for (const auto& f : MailFiles()) total += f.weight;
        int r = Pick(total);
        for (const auto& f : MailFiles()) {
            if (r < f.weight) return f.path;
            r -= f.weight;
        }
        return MailFiles().front().path;
    }

    Document NewDocument(const std::string& label) {
        Document d;
        d.label = label;
        d.db = PickDb();
        d.kind = static_cast<size_t>(Pick(static_cast<int>(Kinds().size())));
        d.marked = Kinds()[d.kind].marked;
        return d;
    }

    // What one event leaves, kept for the task and the document.
    void Apply(Document& d, int eventId) {
        // With the host's nested updates (EMU_NESTED_UPDATES, inherited by the
        // tasks) every plain save is carried out through the extended one.
        static const bool nested = EnvInt("EMU_NESTED_UPDATES", 0) != 0;
        const MailFile& file = FileAt(d.db);
        Expectation& out = script->expected;
        // Refused whatever the kind: counted apart. The marker goes at the
        // first save that reaches it.
        int* refused = file.excluded ? &out.excluded : !file.user ? &out.notUser : d.marked ? &out.markerRemoved : nullptr;
        if (refused) {
            if (refused == &out.markerRemoved) d.marked = false;
            ++*refused;
            return;
        }
        const Kind& k = Kinds()[d.kind];
        const int action = eventId == kEventDeletion                     ? k.onDeletion
                           : eventId == kEventExtended || nested ? k.onExtendedSave
                                                                         : k.onSave;
        if (action == kNone) return;
        if (file.owner.empty()) {
            ++out.missingProfile;
            return;
        }
        const Capture c{action, k.items.at("Form")};
        out.captures.push_back(c);
        d.captures.push_back(c);
    }

    void Create(Document& d, std::ostringstream& out) {
        const bool extended = Chance(40);
        // Subject finds the document again after the run.
        out << (extended ? "createx " : "create ") << d.label << " " << d.db << " Subject=" << d.label;
        for (const auto& [name, value] : Kinds()[d.kind].items)  // "@=": a time item
            out << " " << name << (name.ends_with("DateTime") ? "@=" : "=") << value;
        out << "\n";
        Apply(d, extended ? kEventExtended : kEventUpdate);
    }

    void Change(Document& d, std::ostringstream& out) {
        const bool extended = Chance(40);
        out << (extended ? "modifyx " : "modify ") << d.label << " Subject=" << d.label << " Location=\"Room 4\"\n";
        Apply(d, extended ? kEventExtended : kEventUpdate);
    }

    void Delete(const std::vector<Document*>& docs, std::ostringstream& out, const char* op) {
        out << op;
        for (Document* d : docs) out << " " << d->label;
        out << "\n";
        for (Document* d : docs) {
            Apply(*d, kEventDeletion);
            d->deleted = true;
        }
    }
    void Flush(std::vector<Document*>& g, std::ostringstream& out) {
        if (!g.empty()) Delete(g, out, "delete");
        g.clear();
    }

    // The HTTP task's share of the reloads: an update of the alerts database
    // now and then, each after a configuration change that touches no mail
    // file of the run (a user added or removed, an excluded database added), so
    // what is accepted never depends on when a task reloads.
    // Every task also paces itself a little, so that the tasks' work overlaps
    // in time and the reloads fall in the middle of it.
    void Tick(TaskScript& s, std::ostringstream& out) {
        ++ticks;
        if (ticks % 4 == 0) out << "sleep 4\n";
        if (alertsLeft > 0 && ticks % alertEvery == 0) Alert(s, out);
    }
    void Alert(TaskScript& s, std::ostringstream& out) {
        const int n = s.alerts;
        if (n % 3 == 0)
            out << "create ghost" << n << " brackwater\\tarnconfig.nsf Form=MailDb MailFile=mail\\ghost" << n << ".nsf\n";
        else if (n % 3 == 1)
            out << "create other" << n << " brackwater\\tarnconfig.nsf Form=Exclude DbPath=mail\\other" << n << ".nsf\n";
        else
            out << "delete ghost" << n - 2 << "\n";
        ++s.expected.notUser;  // the configuration database is no mail file
        out << "wait\ncreate alert" << n << " brackwater\\tarnalerts.nsf Form=Alert\n";
        ++s.alerts;
        --alertsLeft;
    }

    std::mt19937 rng;
    int alertsLeft = 0, alertEvery = 0, ticks = 0;
    TaskScript* script = nullptr;  // the one being made
};

// ---- Reading back what the run left -----------------------------------------------------

bool SanitizerReport(const std::string& err) {
    for (const char* mark : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                             "runtime error:"})
        if (err.find(mark) != std::string::npos) return true;
    return false;
}

// ---- The soak -------------------------------------------------------------------------

class SoakTest : public DataDirTest {};

TEST_F(SoakTest, QueueNotesAndNoticesMatchAcceptedChangesExactly) {
#ifdef SOAK_UNDER_TSAN
    const int docsPerTask = EnvInt("TARN_SOAK_DOCS", 100), alerts = EnvInt("TARN_SOAK_ALERTS", 12);
#else
    const int docsPerTask = EnvInt("TARN_SOAK_DOCS", 240), alerts = EnvInt("TARN_SOAK_ALERTS", 30);
#endif
    const uint32_t seed = static_cast<uint32_t>(EnvInt("TARN_SOAK_SEED", 20261206));
    SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(docsPerTask) + " documents per task");

    // The processor asks for Basic (TARN_SOAK_AUTH: none, basic or session):
    // every notice is then a challenge and an answer.
    tarnsim::ProcessorOptions options;
    options.auth = tarnsim::AuthMode::Basic;
    if (const char* auth = getenv("TARN_SOAK_AUTH"); auth && *auth) {
        ASSERT_TRUE(tarnsim::ParseAuthMode(auth, options.auth)) << auth;
    }
    const std::string authName = tarnsim::AuthModeName(options.auth);
    tarnsim::Processor processor(options);
    ASSERT_TRUE(processor.Start());

    SampleConfig cfg = ServedBy(processor.Port(), 3);  // every refusal and refresh message leaves its line
    cfg.authType = authName;  // "Basic" where the processor says "basic"
    cfg.authType[0] = static_cast<char>(toupper(cfg.authType[0]));
    cfg.mailFiles.clear();
    cfg.excluded.clear();
    for (const auto& f : MailFiles()) {
        if (f.user) cfg.mailFiles.push_back(f.path);
        if (f.excluded) cfg.excluded.push_back(f.path);
        if (!f.owner.empty()) CreateMailFile(f.path, f.owner);
        else ASSERT_EQ(emu::CreateDatabase(f.path), 0);  // no profile
    }
    CreateSampleDatabases(cfg);
    emu::SetIniVariable("TARN_Task_List", "nserver.exe,nhttp.exe,amgr.exe");

    Generator generator(seed);
    std::vector<TaskScript> scripts = {generator.Make("nserver.exe", 's', docsPerTask, 0),
                                       generator.Make("amgr.exe", 'a', docsPerTask, 0),
                                       generator.Make("nhttp.exe", 'h', docsPerTask / 2, alerts)};

    size_t expectedTotal = 0;
    int deletions = 0, totalAlerts = 0;
    for (const auto& s : scripts) {
        expectedTotal += s.expected.captures.size();
        totalAlerts += s.alerts;
        for (const auto& d : s.docs) deletions += d.deleted;
    }
    ASSERT_GT(expectedTotal, 0u);

    signal(SIGPIPE, SIG_IGN);  // a task that died fails the test; it must not end it
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<FedTask>> running;
    for (const auto& s : scripts)
        running.push_back(std::make_unique<FedTask>(s.task, dataDir, std::map<std::string, std::string>{},
                                                    std::vector<std::string>{"--threads", "8"}));
    bool stuck = false;
    for (size_t phase = 0; phase < scripts[0].phases.size() && !stuck; ++phase) {
        for (size_t i = 0; i < scripts.size(); ++i) running[i]->Feed(scripts[i].phases[phase]);
        for (size_t i = 0; i < scripts.size() && !stuck; ++i) {
            // Fed phase by phase, so that the tasks' phases overlap for
            // certain, whatever their speed (ThreadSanitizer slows them unevenly).
            stuck = !running[i]->WaitForLine("runner: sync " + std::to_string(phase + 1), std::chrono::seconds(120));
            EXPECT_FALSE(stuck) << scripts[i].task << " ended or hung in phase " << phase + 1;
        }
    }
    std::vector<ProcessResult> results;
    for (size_t i = 0; i < running.size(); ++i) {
        if (stuck) kill(running[i]->Pid(), SIGKILL);  // a hung task must not hang the test
        results.push_back(running[i]->Finish());
        if (stuck) ADD_FAILURE() << scripts[i].task << " exit " << results[i].exitCode << "\n" << results[i].err;
    }
    ASSERT_FALSE(stuck);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    // ---- each task's own account, at level 3: every accepted change and
    // every refresh message taken (the refusals are summed with the
    // statistics below)
    Expectation all;
    int refreshesTaken = 0, filteredLines = 0;
    for (size_t i = 0; i < results.size(); ++i) {
        const std::string& task = scripts[i].task;
        SCOPED_TRACE(task);
        EXPECT_EQ(results[i].exitCode, 0) << results[i].err;
        EXPECT_FALSE(SanitizerReport(results[i].err)) << results[i].err;
        EXPECT_EQ(results[i].err.find("runner: line"), std::string::npos) << results[i].err;
        const auto lines = BannerLines(results[i].out);
        const Expectation& e = scripts[i].expected;
        EXPECT_EQ(Count(lines, ": TARNEventProcessor::ProcessEventSingle. Write to Queue Ok"),
                  static_cast<int>(e.captures.size()));
        all.missingProfile += e.missingProfile;
        all.excluded += e.excluded;
        all.notUser += e.notUser;
        all.markerRemoved += e.markerRemoved;
        filteredLines += Count(lines, ": TARNEventProcessor::ProcessEventSingle. Passed Filter") +
                         Count(lines, ": TARNEventProcessor::ProcessEventSingle. Failed Filter");
        if (task == "nhttp.exe") {
            EXPECT_EQ(Count(lines, ": Broadcasting Config Referesh"), scripts[i].alerts);
        } else {
            // Every broadcast reached this task: taken at one of its events, or
            // still waiting after its last one; and some were taken mid-run.
            const int taken = Count(lines, ": " + task + ": message received: x");
            EXPECT_EQ(taken + Waiting("TARN" + task), totalAlerts);
            EXPECT_GT(taken, 0);
            refreshesTaken += taken;
        }
    }

    // ---- the capture queue against the kinds' fates
    const std::vector<QueueNote> queue = CaptureQueue();
    EXPECT_EQ(queue.size(), expectedTotal);

    using Key = std::pair<std::string, std::string>;  // mail file, note id
    std::map<Key, std::vector<Capture>> observed;
    std::map<Key, std::string> unidOf;
    std::set<std::string> unids;
    for (const auto& q : queue) {
        SCOPED_TRACE("queue note " + Hex8(q.id));
        EXPECT_EQ(q.status, 0);
        EXPECT_EQ(q.noteId.size(), 8u);
        EXPECT_EQ(q.unid.size(), 32u);
        const MailFile& file = FileAt(q.dbPath);
        EXPECT_TRUE(file.user && !file.excluded && !file.owner.empty());
        EXPECT_EQ(q.user, file.owner);
        Key key{q.dbPath, q.noteId};
        observed[key].push_back({static_cast<int>(q.action), q.form});
        auto [at, fresh] = unidOf.emplace(key, q.unid);
        if (fresh)
            EXPECT_TRUE(unids.insert(q.unid).second) << "UNID " << q.unid << " on two documents";
        else
            EXPECT_EQ(at->second, q.unid) << "one document, two UNIDs";
    }
    for (auto& [key, captures] : observed) std::sort(captures.begin(), captures.end());

    // Documents still there are found by their Subject: their captures must
    // match one for one. Deleted ones can only be told apart by what was
    // captured for them, per mail file.
    std::map<std::string, std::pair<std::string, uint32_t>> survivors;  // label -> mail file, id
    for (const auto& f : MailFiles())
        for (const auto& d : Notes(f.path)) survivors[TextOf(d, "Subject")] = {f.path, d.id};
    std::multiset<std::pair<std::string, std::vector<Capture>>> expectedGone, observedGone;
    size_t survived = 0;
    for (const auto& s : scripts)
        for (const auto& d : s.docs) {
            std::vector<Capture> want = d.captures;
            std::sort(want.begin(), want.end());
            auto found = survivors.find(d.label);
            EXPECT_EQ(found == survivors.end(), d.deleted) << d.label;
            if (found == survivors.end()) {
                if (!want.empty()) expectedGone.insert({d.db, want});
                continue;
            }
            ++survived;
            EXPECT_EQ(found->second.first, d.db) << d.label;
            auto seen = observed.find({d.db, Hex8(found->second.second)});
            std::vector<Capture> got = seen == observed.end() ? std::vector<Capture>{} : seen->second;
            EXPECT_TRUE(got == want) << d.label << ": " << got.size() << " queue note(s), expected " << want.size();
            if (seen != observed.end()) observed.erase(seen);
        }
    for (const auto& [key, captures] : observed) observedGone.insert({key.first, captures});
    EXPECT_TRUE(observedGone == expectedGone)
        << observedGone.size() << " deleted document(s) captured, expected " << expectedGone.size();

    // ---- the notices against the queue, once settled: the tasks have ended, and
    // the processor records a notice before it answers, so every notice is in.
    EXPECT_TRUE(processor.WaitForAccepted(queue.size() + totalAlerts, std::chrono::seconds(30)));
    std::map<std::string, std::vector<std::string>> actions;  // of the notices, by queue note id
    int refreshes = 0, refused = 0;
    for (const auto& n : processor.Notices()) {
        if (!n.accepted) {
            ++refused;
            // A challenge (Basic) or the login form (Session), nothing else.
            EXPECT_EQ(n.status, options.auth == tarnsim::AuthMode::Basic ? 401 : 200) << n.target;
            continue;
        }
        EXPECT_EQ(n.acceptedUnder, authName) << n.target;
        if (n.refresh) {
            ++refreshes;
            continue;
        }
        EXPECT_TRUE(n.tokenOk) << n.target;
        actions[n.qnoteid].push_back(n.action);
    }
    EXPECT_EQ(refreshes, totalAlerts);
    for (const auto& q : queue) {  // one notice each, naming its action
        const std::string id = Hex8(q.id);
        EXPECT_EQ(actions[id], std::vector<std::string>{q.action == 1 ? "Delete" : "Change"}) << "queue note " << id;
        actions.erase(id);
    }
    for (const auto& [id, a] : actions) ADD_FAILURE() << "notice for " << id << ", which is no queue note";

    // ---- the statistics the three tasks published, summed by the host,
    // against the console, the queue and the processor; the tasks' gauges
    // back at zero now that they ended
    std::map<std::string, long> figure;
    for (const std::string& line : emu::ShowStat("TARN")) {
        const size_t eq = line.find(" = ");
        figure[line.substr(5, eq - 5)] = atol(line.c_str() + eq + 3);
    }
    const long deletionNotes = std::count_if(queue.begin(), queue.end(), [](const QueueNote& q) { return q.action == 1; });
    for (const auto& [name, want] : std::vector<std::pair<std::string, long>>{
             {"Events.Seen", filteredLines},
             {"Events.Captured", static_cast<long>(queue.size())},
             {"Queue.Written", static_cast<long>(queue.size())},
             {"Queue.Failed", 0},
             {"Events.Refused.NoOwner", all.missingProfile},
             {"Events.Refused.Excluded", all.excluded},
             {"Events.Refused.NotUser", all.notUser},
             {"Events.Refused.Marker", all.markerRemoved},
             {"Notices.Sent", static_cast<long>(queue.size()) + totalAlerts},
             {"Notices.Delivered", static_cast<long>(queue.size()) + totalAlerts},
             {"Notices.Failed", 0},
             {"Config.RefreshSent", 2L * totalAlerts},  // one to each other task of the list
             {"Config.RefreshReceived", refreshesTaken}})
        EXPECT_EQ(figure[name], want) << name;
    EXPECT_EQ(figure["Events.Deletions"] + figure["Events.Cancellations"], deletionNotes);
    EXPECT_EQ(figure["Events.Seen"], figure["Events.Captured"] + figure["Events.Refused"]);
    for (const auto& s : scripts)
        for (const char* gauge : {"Notices.Waiting", "Notices.Workers", "Config.Users", "Config.Excluded"})
            EXPECT_EQ(figure["Task." + s.task + "." + gauge], 0) << s.task << " " << gauge;

    printf("soak: seed %u, %d documents per task (%zu survived, %d deleted), %d alerts; %zu queue notes, %d "
           "challenges, %d refresh messages taken; tasks ran %.1f s\n",
           seed, docsPerTask, survived, deletions, totalAlerts, queue.size(), refused, refreshesTaken, seconds);
    processor.Stop();
}

}  // namespace
