// tarn-setup resync against what the add-in itself captured: the same span
// of changes, once seen live by the add-in and once captured again by the
// tool, must give the same queue notes.
#include <algorithm>
#include <map>
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
    std::string Now() { return Line(Resync({"--all", "--dry-run"}), "resync: next: --since ").substr(22); }

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

    // Chained from the printed end: nothing new. A dry run writes nothing.
    const std::string next = Line(r, "resync: next: --since ").substr(22);
    const auto second = Resync({"--since", next});  // every listed mail file
    EXPECT_EQ(Line(second, "resync: total:"), "resync: total: 2 mail files, captured 0, refused 0, skipped 0 "
                                              "(carries $TARN), deletions 0 (written 0), 2 not resynchronised");
    const auto dry = Resync({"--since", since, "--dry-run", "mail\\alice.nsf"});
    EXPECT_EQ(Line(dry, "resync: mail\\alice.nsf:"), Line(r, "resync: mail\\alice.nsf:"));
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
    for (const Strings& bad : {Strings{"--since", "yesterday"}, Strings{"--since", "2026-02-30 10:00"}, Strings{},
                               Strings{"--since", since, "--until", since}}) {
        const auto refused = Resync(bad);
        EXPECT_EQ(refused.exitCode, 2) << ::testing::PrintToString(bad);
        EXPECT_NE(refused.err, "");
    }
}

}  // namespace
