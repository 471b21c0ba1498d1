// tarn-setup resync against what the add-in itself captured: the same span
// of changes, once seen live by the add-in and once captured again by the
// tool, must give the same queue notes.
#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>

#include "host/entry.h"
#include "host/tarn_session.h"
#include "processor/processor.h"
#include "support/test_support.h"

using namespace tarntest;
using Strings = std::vector<std::string>;

namespace {

struct QueueNote {
    NOTEID id = 0;
    double action = -1;
    std::map<std::string, std::string> text;  // the text items by name
};

class ResyncTest : public DataDirTest {
protected:
    void SetUp() override {
        DataDirTest::SetUp();
        ASSERT_TRUE(processor.Start());
        SampleConfig cfg = ServedBy(processor.Port(), 1);
        cfg.mailFiles = {"mail\\alice.nsf", "mail\\bob.nsf", "mail\\shared.nsf", "mail\\noprofile.nsf"};
        CreateMailFiles(cfg);
    }
    void TearDown() override {
        AddInOff();
        for (auto& [path, db] : dbs) NSFDbClose(db);
        ExpectAllReleased();
        DataDirTest::TearDown();
    }

    void AddInOn() { StartAddIn("nserver.exe", "nserver.exe", &registrations); }
    void AddInOff() { StopAddIn(&registrations); }

    DBHANDLE Db(const std::string& path) {
        auto [it, fresh] = dbs.emplace(path, 0);
        if (fresh) {
            EXPECT_EQ(NSFDbOpen(path.c_str(), &it->second), 0) << path;
        }
        return it->second;
    }

    // A saved document; "self" stands for its own UNID.
    NOTEID Save(const std::string& db, const std::vector<std::pair<std::string, std::string>>& items,
                bool extended = false, NOTEID id = 0) {
        return SaveDocument(Db(db), items, extended, id);
    }
    NOTEID Appointment(const std::string& db, NOTEID id = 0) {
        return Save(db, {{"Form", "Appointment"}, {"ApptUNID", "self"}, {"Subject", "Review"}}, false, id);
    }

    // The queue notes written from the first'th on.
    static std::vector<QueueNote> Queue(size_t first = 0) {
        const auto dump = QueueNotes();
        std::vector<QueueNote> out;
        for (size_t i = first; i < dump.size(); ++i) {
            QueueNote q;
            q.id = dump[i].id;
            for (const auto& item : dump[i].items) {
                if (item.name == "Action") q.action = item.numbers.at(0);
                if (item.type == TYPE_TEXT) q.text[item.name] = item.texts.at(0);
            }
            out.push_back(q);
        }
        return out;
    }

    ProcessResult Resync(const Strings& args) {
        Strings all = {"resync"};
        all.insert(all.end(), args.begin(), args.end());
        return RunTask("tarn-setup", dataDir, "", {}, all);
    }
    static std::string Line(const ProcessResult& r, const std::string& start) {
        for (const auto& l : r.out)
            if (l.rfind(start, 0) == 0) return l;
        return "(none: " + ::testing::PrintToString(r.out) + ")";
    }
    // The time a span starts at, as resync prints it: every change before
    // it is outside.
    std::string Now() { return Line(Resync({"--all", "--dry-run", "mail\\alice.nsf"}), "resync: next: --since ").substr(22); }

    tarnsim::Processor processor;
    std::vector<HEMREGISTRATION> registrations;
    std::map<std::string, DBHANDLE> dbs;
};

TEST_F(ResyncTest, CapturesAgainWhatTheAddInCapturedLive) {
    const NOTEID changed = Appointment("mail\\alice.nsf");
    const NOTEID deleted = Appointment("mail\\bob.nsf");
    const std::string since = Now();

    // The span, seen live by the add-in.
    AddInOn();
    Appointment("mail\\alice.nsf");
    Save("mail\\bob.nsf", {{"Form", "Task"}, {"StartDateTime", "a"}, {"DueDateTime", "b"}, {"ApptUNID", "self"}});
    Appointment("mail\\alice.nsf", changed);
    Save("mail\\alice.nsf", {{"Form", "Notice"}, {"NoticeType", "S"}}, true);  // a cancellation
    Save("mail\\alice.nsf", {{"Form", "Memo"}, {"Subject", "lunch"}});
    Appointment("mail\\shared.nsf");  // excluded
    Appointment("mail\\carol.nsf");   // no user's
    ASSERT_EQ(emu::DeleteByStub(Db("mail\\bob.nsf"), deleted, false), 0);
    AddInOff();
    // Written while no task ran: the processor's own change, still marked.
    Save("mail\\alice.nsf", {{"Form", "Appointment"}, {"ApptUNID", "self"}, {"$TARN", "1"}});
    auto live = Queue();
    ASSERT_EQ(live.size(), 5u);
    const size_t noticesLive = processor.AcceptedNotices().size();

    // Each mail file that cannot be resynchronised is reported, and the rest goes on.
    const auto r = Resync({"--since", since, "--deletions", "mail\\alice.nsf", "mail\\nothere.nsf", "mail\\bob.nsf",
                           "mail\\shared.nsf", "mail\\noprofile.nsf", "mail\\carol.nsf"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(Line(r, "resync: mail\\alice.nsf:"),
              "resync: mail\\alice.nsf: captured 3, refused 1 (not calendar 1), skipped 1 (carries $TARN), "
              "deletions 0 (written 0)");
    EXPECT_EQ(Line(r, "resync: mail\\bob.nsf:"),
              "resync: mail\\bob.nsf: captured 1, refused 0, skipped 0 (carries $TARN), deletions 1 (written 1)");
    for (const char* refused : {"shared.nsf: not resynchronised: excluded (dsdlookup)",
                                "nothere.nsf: not resynchronised: could not be opened (File does not exist)",
                                "noprofile.nsf: not resynchronised: no CalendarProfile Owner",
                                "carol.nsf: not resynchronised: not a user mail file (maildblookup)"})
        EXPECT_EQ(CountWith(r.out, {std::string("resync: mail\\") + refused}), 1) << refused;
    EXPECT_EQ(Line(r, "resync: total:"),
              "resync: total: 2 mail files, captured 4, refused 1 (not calendar 1), skipped 1 (carries $TARN), "
              "deletions 1 (written 1), 4 not resynchronised");

    // The same changes, the same notes (a resync goes mail file by mail
    // file); the deletion without its form (a stub keeps none), each marked
    // as the resync's.
    auto byDocument = [](std::vector<QueueNote> notes) {
        std::sort(notes.begin(), notes.end(), [](const QueueNote& a, const QueueNote& b) {
            return std::tie(a.text.at("CalDbPath"), a.text.at("CalNoteID")) <
                   std::tie(b.text.at("CalDbPath"), b.text.at("CalNoteID"));
        });
        return notes;
    };
    const auto again = byDocument(Queue(live.size()));
    live = byDocument(live);
    ASSERT_EQ(again.size(), live.size());
    for (size_t i = 0; i < live.size(); ++i) {
        SCOPED_TRACE("queue note " + std::to_string(i));
        auto want = live[i].text;
        if (want["CalDbPath"] == "mail\\bob.nsf" && want["CalNoteID"] == Hex8(deleted)) want["CalForm"] = "";
        want["Origin"] = "resync";
        EXPECT_EQ(again[i].action, live[i].action);
        EXPECT_EQ(again[i].text, want);
        EXPECT_EQ(live[i].text.count("Origin"), 0u);
    }
    // No notices unless asked for.
    EXPECT_EQ(processor.AcceptedNotices().size(), noticesLive);

    // Mail files went without: the span is still needed, from its start.
    EXPECT_EQ(Line(r, "resync: next: --since ").substr(22), since);
    // Chained from the end a run printed that did all it was given: nothing
    // new. A dry run writes nothing.
    const auto dry = Resync({"--since", since, "--dry-run", "mail\\alice.nsf"});
    EXPECT_EQ(dry.exitCode, 0);
    EXPECT_EQ(Line(dry, "resync: mail\\alice.nsf:"), Line(r, "resync: mail\\alice.nsf:"));
    const auto second = Resync({"--since", Line(dry, "resync: next: --since ").substr(22), "mail\\alice.nsf"});
    EXPECT_EQ(Line(second, "resync: total:"), "resync: total: 1 mail file, captured 0, refused 0, skipped 0 "
                                              "(carries $TARN), deletions 0 (written 0)");
    EXPECT_EQ(Queue().size(), 2 * live.size());
}

TEST_F(ResyncTest, NoticesGoOutWhenAskedForAndBadTimesAreRefused) {
    const std::string since = Now();
    Appointment("mail\\bob.nsf");
    EXPECT_EQ(Resync({"--since", since, "--notify", "mail\\bob.nsf"}).exitCode, 0);
    auto q = Queue();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].text["CalUserName"], "CN=Bob Baker/O=Brackwater");
    // Asked for, the notice went out through the add-in's transport.
    auto notices = processor.AcceptedNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].qnoteid, Hex8(q[0].id));

    // Bad times are refused before anything is opened.
    // A field of either form is its digits only: no blank or sign inside.
    for (const Strings& bad : {Strings{"--since", "yesterday"}, Strings{"--since", "2026-02-30 10:00"}, Strings{},
                               Strings{"--since", since, "--until", since}, Strings{"--since", "2026-12- 7 08:00"},
                               Strings{"--since", "2026-12-07T07:00:00.+5Z"}, Strings{"--since", "2026-+2-07 08:00"}}) {
        const auto refused = Resync(bad);
        EXPECT_EQ(refused.exitCode, 2) << ::testing::PrintToString(bad);
        EXPECT_NE(refused.err, "");
    }
}

TEST_F(ResyncTest, EachMailFileOnceHoweverWrittenAndAListedExclusionIsNoFailure) {
    // Listed four times, three ways, all one file to the add-in.
    for (const char* path : {"MAIL\\ALICE.NSF", "mail/alice.nsf", "Mail/Alice.nsf"}) AddUser(path);
    ASSERT_EQ(emu::SetProfile(Db("mail\\noprofile.nsf"), "CalendarProfile", {emu::Text("Owner", "CN=Nora/O=B")}), 0);
    const std::string since = Now();
    Appointment("mail\\alice.nsf");
    Appointment("mail\\bob.nsf");

    // Every listed one: mail\shared.nsf, listed and excluded, is counted as excluded.
    const auto listed = Resync({"--since", since});
    EXPECT_EQ(listed.exitCode, 0) << ::testing::PrintToString(listed.out);
    EXPECT_EQ(CountWith(listed.out, {"alice.nsf: captured 1,"}), 1);
    EXPECT_EQ(CountWith(listed.out, {"alice.nsf: the same mail file as ", ": resynchronised once"}), 3);
    EXPECT_EQ(Line(listed, "resync: mail\\shared.nsf:"), "resync: mail\\shared.nsf: excluded (dsdlookup): nothing to capture");
    EXPECT_EQ(Line(listed, "resync: total:"), "resync: total: 3 mail files, captured 2, refused 0, skipped 0 "
                                              "(carries $TARN), deletions 0 (written 0), 1 excluded");
    EXPECT_NE(Line(listed, "resync: next: --since ").substr(22), since);
    EXPECT_EQ(Queue().size(), 2u);

    // Named, twice, and the excluded one: refused.
    const auto named = Resync({"--since", since, "--dry-run", "MAIL/BOB.NSF", "mail\\bob.nsf", "mail\\shared.nsf"});
    EXPECT_EQ(named.exitCode, 1);
    EXPECT_EQ(Line(named, "resync: mail\\bob.nsf:"), "resync: mail\\bob.nsf: the same mail file as MAIL/BOB.NSF: resynchronised once");
    EXPECT_EQ(Line(named, "resync: mail\\shared.nsf:"), "resync: mail\\shared.nsf: not resynchronised: excluded (dsdlookup)");
    EXPECT_EQ(Line(named, "resync: next: --since ").substr(22), since);
}

}  // namespace

namespace {

// What a run of the fault sweep did.
struct SweepRun {
    ProcessResult result;
    // Each queue note by its items (action, status, path, note id, UNID, form, user).
    std::multiset<std::tuple<double, double, std::string, std::string, std::string, std::string, std::string>> queue;
    std::string documents;  // the users' documents, as the run left them
};

// One failing call at a time, each in a fresh copy of the same data: a run
// may fail, but it never exits 0 having lost a change, never writes one
// twice, never changes a user's document, never crashes; and a second run,
// without the fault, from the `next: --since` it printed brings back
// whatever it missed.
TEST_F(ResyncTest, NoFaultLosesDoublesOrChangesAnything) {
    const std::string since = Now();
    Appointment("mail\\alice.nsf");
    Save("mail\\alice.nsf", {{"Form", "Notice"}, {"NoticeType", "S"}}, true);  // a cancellation
    Save("mail\\alice.nsf", {{"Form", "Memo"}, {"Subject", "lunch"}});
    Save("mail\\alice.nsf", {{"Form", "Appointment"}, {"ApptUNID", "self"}, {"$TARN", "1"}});
    Appointment("mail\\bob.nsf");
    ASSERT_EQ(emu::DeleteByStub(Db("mail\\bob.nsf"), Appointment("mail\\bob.nsf"), false), 0);
    for (auto& [path, db] : dbs) NSFDbClose(db);
    dbs.clear();

    auto documents = [] {
        std::string text;
        for (const char* path : {"mail\\alice.nsf", "mail\\bob.nsf"})
            for (const auto& n : Notes(path)) {
                text += Hex8(n.id) + " " + std::to_string(n.oid.Sequence) + ":";
                for (const auto& i : n.items)
                    text += " " + i.name + "=" + ::testing::PrintToString(i.texts) + ::testing::PrintToString(i.numbers);
                text += "\n";
            }
        return text;
    };
    const std::string before = documents();
    const Strings span = {"--since", since, "--deletions", "mail\\alice.nsf", "mail\\bob.nsf"};
    // A run in dir (a copy of the data made first when fresh).
    auto run = [&](const std::string& dir, bool fresh, const std::string& faults, Strings args) {
        if (fresh) {
            std::filesystem::remove_all(dir);
            std::filesystem::create_directories(dir);
            for (const char* sub : {"brackwater", "mail"})
                std::filesystem::copy(dataDir + "/" + sub, dir + "/" + sub, std::filesystem::copy_options::recursive);
        }
        args.insert(args.begin(), "resync");
        std::map<std::string, std::string> env;
        if (!faults.empty()) env["EMU_FAULTS"] = faults;
        SweepRun r;
        r.result = RunTask("tarn-setup", dir, "", env, args);
        emu::SetDataDirectory(dir);
        for (const auto& n : CaptureQueue()) r.queue.emplace(n.Fields());
        r.documents = documents();
        emu::SetDataDirectory(dataDir);
        return r;
    };
    const std::string rowDir = dataDir + "/row";
    const SweepRun clean = run(rowDir, true, "", span);
    ASSERT_EQ(clean.result.exitCode, 0) << clean.result.err;
    const auto want = clean.queue;
    ASSERT_EQ(want.size(), 4u);
    ASSERT_EQ(clean.documents, before);

    // Each operation the run makes that answers a status, failing at each of
    // its calls in turn (the last: how many a run without faults makes). The
    // worker's start has no status of its own but matters with --notify.
    const struct {
        const char* op;
        unsigned lastCall;
        bool notify = false;
    } kRows[] = {
        {"OpenDatabase", 5},    {"CloseDatabase", 10},       {"GetDatabaseId", 6},  {"GetDatabasePath", 7},
        {"FindView", 3},        {"OpenCollection", 3},       {"ReadEntries", 3},    {"CloseCollection", 3},
        {"FreeMemory", 3},      {"GetProfileField", 5},      {"LockObject", 8},     {"GetModifiedNoteTable", 2},
        {"IdScan", 8},          {"GetDbNoteInfo", 6},        {"DestroyIdTable", 2}, {"OpenNote", 6},
        {"CloseNote", 10},      {"ItemInfo", 21},            {"ReopenDatabase", 5}, {"CreateNote", 4},
        {"SetItemNumber", 8},   {"AppendItem", 24},          {"UpdateNote", 4},     {"StatUpdate", 1},
        {"ThreadStart", 2, true},
    };
    const auto* results = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    int failedRows = 0, rowsRun = 0;
    for (const auto& row : kRows)
        for (unsigned n = 1; n <= row.lastCall; ++n) {
            const std::string fault = std::string(row.op) + "=0x1A41@" + std::to_string(n);
            SCOPED_TRACE(fault + (row.notify ? " --notify" : ""));
            const int failuresBefore = results->total_part_count();
            ++rowsRun;
            Strings args = span;
            if (row.notify) args.push_back("--notify");
            const SweepRun r = run(rowDir, true, fault, args);
            const std::string out = ::testing::PrintToString(r.result.out);
            EXPECT_TRUE(r.result.exitCode == 0 || r.result.exitCode == 1) << r.result.exitCode << r.result.err;
            EXPECT_EQ(r.documents, before);
            for (const auto& k : r.queue) EXPECT_EQ(r.queue.count(k), want.count(k)) << "written twice: " << out;
            if (r.result.exitCode == 0) {
                EXPECT_EQ(r.queue, want) << "exit 0 having lost a change: " << out;
            } else if (r.result.exitCode == 1) {
                // Said why: a mail file's line, or the configuration's.
                EXPECT_TRUE(CountWith(r.result.out, {": not resynchronised: "}) > 0 || !r.result.err.empty()) << out;
                // Taken up again from where it said (or from the start when
                // it printed no end), without the fault: nothing missing.
                const std::string next = Line(r.result, "resync: next: --since ");
                Strings again = span;
                if (next.rfind("resync:", 0) == 0) again[1] = next.substr(22);
                const SweepRun second = run(rowDir, false, "", again);
                EXPECT_EQ(second.result.exitCode, 0) << second.result.err;
                for (const auto& k : want) EXPECT_GE(second.queue.count(k), 1u) << "lost: " << out;
            }
            if (results->total_part_count() != failuresBefore) ++failedRows;
        }
    printf("fault sweep: %d of %d rows failed\n", failedRows, rowsRun);
}

}  // namespace
