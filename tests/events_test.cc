// Events raised by real note operations in the emulator, through the
// registered callback, the filter and the capture queue.
#include <algorithm>
#include <atomic>
#include <map>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>

#include "events/tarn_event_processor.h"
#include "host/entry.h"
#include "host/tarn_session.h"
#include "processor/processor.h"
#include "support/stats_support.h"
#include "support/test_support.h"

using namespace tarntest;
using Strings = std::vector<std::string>;

namespace {

const std::string P = "Brackwater TARN 1.2.27 (nserver.exe) : ";

class EventsTest : public DataDirTest {
protected:
    void SetUp() override {
        DataDirTest::SetUp();
        processor = std::make_unique<tarnsim::Processor>();
        ASSERT_TRUE(processor->Start());
        SampleConfig cfg = ServedBy(processor->Port(), 3);
        cfg.mailFiles = {"mail\\alice.nsf", "mail\\bob.nsf", "mail\\shared.nsf"};
        CreateMailFiles(cfg);
        StartSession();
    }
    void TearDown() override {
        StopAddIn(&registrations);
        for (auto& [path, db] : dbs) NSFDbClose(db);
        dbs.clear();
        ExpectAllReleased();
        DataDirTest::TearDown();
    }

    void StartSession() {
        StartAddIn("nserver.exe", "nserver.exe,nhttp.exe", &registrations);
        emu::ClearConsole();
    }

    DBHANDLE Db(const std::string& path) {
        auto [it, fresh] = dbs.emplace(path, 0);
        if (fresh) {
            EXPECT_EQ(NSFDbOpen(path.c_str(), &it->second), 0) << path;
        }
        return it->second;
    }

    // Creates and saves a document; "ApptUNID=self" stands for its own UNID.
    NOTEID Save(const std::string& db, const std::vector<std::pair<std::string, std::string>>& items,
                bool extended = false, std::string* unid = nullptr) {
        return SaveDocument(Db(db), items, extended, 0, unid);
    }

    NOTEID Appointment(const std::string& db = "mail\\alice.nsf") {
        return Save(db, {{"Form", "Appointment"}, {"ApptUNID", "self"}, {"Subject", "Review"}});
    }

    static Strings Console() { return emu::ConsoleLines(); }
    static int Count(const std::string& line) {
        auto lines = Console();
        return static_cast<int>(std::count(lines.begin(), lines.end(), P + line));
    }
    static bool Has(const std::string& line) { return Count(line) > 0; }

    std::unique_ptr<tarnsim::Processor> processor;
    std::vector<HEMREGISTRATION> registrations;
    std::map<std::string, DBHANDLE> dbs;
};

TEST_F(EventsTest, AcceptedAppointmentBecomesOneQueueNote) {
    std::string unid;
    const NOTEID id = Save("Mail\\Alice.NSF", {{"Form", "Appointment"}, {"ApptUNID", "self"}}, false, &unid);

    auto q = CaptureQueue();
    ASSERT_EQ(q.size(), 1u);
    // The path lower-cased by the filter.
    EXPECT_EQ(q[0].Fields(), std::make_tuple(0.0, 0.0, std::string("mail\\alice.nsf"), Hex8(id), unid,
                                             std::string("Appointment"), std::string("CN=Alice Able/O=Brackwater")));
    for (const std::string& line : Strings{"Filter: pass :\tAppointment", "UNID:" + unid,
                                   "TARNQueue::WriteToQueue :  Saved queue note ok",
                                   "TARNEventProcessor::ProcessEventSingle. Write to Queue Ok"})
        EXPECT_TRUE(Has(line)) << line;
    // The queue note's own save did not re-enter the callback.
    EXPECT_EQ(Count("TARNEventProcessor::ProcessEventSingle. Passed Filter"), 1);
    EXPECT_EQ(Count("ExtMgrCallback. Start"), 2);

    // The processor hears of exactly that queue note.
    ASSERT_TRUE(ProcessSession().GetTransport()->WaitForNotices(10000));
    auto notices = processor->AcceptedNotices();
    ASSERT_EQ(notices.size(), 1u);
    const auto dump = QueueNotes();
    EXPECT_EQ(notices[0].qnoteid, Hex8(dump[0].id));
    EXPECT_EQ(notices[0].action, "Change");
    // Saved without a commit, and durable all the same: every item is a
    // summary item, and summary data is written regardless.
    emu::SaveInfo info;
    ASSERT_TRUE(emu::SaveFlags("brackwater\\qcapture.nsf", dump[0].id, &info));
    EXPECT_EQ(info.flags, DWORD{UPDATE_NOCOMMIT});
    EXPECT_FALSE(info.extended);
    std::vector<std::tuple<std::string, uint16_t, uint16_t>> items;
    for (const auto& item : dump[0].items) items.emplace_back(item.name, item.type, item.flags & ITEM_SUMMARY);
    const uint16_t N = TYPE_NUMBER, T = TYPE_TEXT, S = ITEM_SUMMARY;
    EXPECT_EQ(items, (decltype(items){{"Action", N, S}, {"Status", N, S}, {"CalDbPath", T, S}, {"CalNoteID", T, S},
                                      {"CalUNID", T, S}, {"CalForm", T, S}, {"CalUserName", T, S}}));
}

TEST_F(EventsTest, WhichCallsAreProcessed) {
    NOTEID plain = Appointment();
    NOTEID extended = Save("mail\\alice.nsf", {{"Form", "Appointment"}, {"ApptUNID", "self"}}, true);
    auto Actions = [&] {
        std::vector<double> a;
        for (const auto& n : CaptureQueue()) a.push_back(n.action);
        return a;
    };
    EXPECT_EQ(Actions(), (std::vector<double>{0, 0}));
    // Each save is seen before and after; the queue notes' saves are not seen.
    EXPECT_EQ(Count("ExtMgrCallback. Event: EM_NSFNOTEUPDATE"), 2);
    EXPECT_EQ(Count("ExtMgrCallback. Event: EM_NSFNOTEUPDATEXTENDED"), 2);

    // Deleting updates are seen in their before call, as deletions.
    emu::ClearConsole();
    ASSERT_EQ(emu::DeleteByStub(Db("mail\\alice.nsf"), plain, false), 0);
    ASSERT_EQ(emu::DeleteByStub(Db("mail\\alice.nsf"), extended, true), 0);
    EXPECT_EQ(Actions(), (std::vector<double>{0, 0, 1, 1}));
    EXPECT_EQ(Count("ExtMgrCallback. Event: &UPDATE_DELETED"), 4);
    EXPECT_TRUE(Has("Filter: PASS :\tdeletion"));
}

TEST_F(EventsTest, DeleteNotesExpandsIntoOneDeletionPerNote) {
    NOTEID a = Appointment(), b = Appointment(), c = Appointment();
    emu::ClearConsole();
    const FigureSnapshot before;
    ASSERT_EQ(emu::DeleteNotes(Db("mail\\alice.nsf"), {a, b, c}), 0);
    const Moved moved = before.Since();
    EXPECT_EQ(moved.at("Events.Deletions"), 3u);
    EXPECT_EQ(moved.at("Events.Captured"), 3u);
    EXPECT_EQ(moved.count("Events.Cancellations"), 0u);
    std::vector<std::pair<double, std::string>> deletions;
    for (const auto& n : CaptureQueue()) deletions.emplace_back(n.action, n.noteId);
    deletions.erase(deletions.begin(), deletions.begin() + 3);  // the saves
    EXPECT_EQ(deletions, (decltype(deletions){{1, Hex8(a)}, {1, Hex8(b)}, {1, Hex8(c)}}));
    EXPECT_EQ(Count("ExtMgrCallback. Event: EM_NSFDBDELETENOTES. Processing."), 1);
    // Each note opened for the expansion was closed (checked at tear-down).

    // The after call, were it registered, hands nothing on.
    emu::ClearConsole();
    EXPECT_EQ(tarntest::CallHandler(&ExtMgrCallback, EM_NSFDBDELETENOTES, EM_AFTER, 0, Db("mail\\alice.nsf"),
                                    NULLHANDLE, static_cast<UNID*>(nullptr)),
              725);
    EXPECT_TRUE(Has("ExtMgrCallback. Event: EM_NSFDBDELETENOTES. Not PreEvent"));
    EXPECT_FALSE(Has("ExtMgrCallback. Processing Event"));
    EXPECT_EQ(CaptureQueue().size(), 6u);
}


// Another add-in's hook that throws while the capture queue is saved.
STATUS LNCALLBACK ThrowOnQueueSave(EMRECORD* record) {
    if (record->NotificationType != EM_BEFORE) return ERR_EM_CONTINUE;
    va_list ap;
    va_copy(ap, record->Ap);
    const NOTEHANDLE note = va_arg(ap, NOTEHANDLE);
    va_end(ap);
    DBHANDLE db = 0;
    NSFNoteGetInfo(note, _NOTE_DB, &db);
    char path[MAXPATH] = {};
    NSFDbPathGet(db, path, nullptr);
    if (strcmp(path, "brackwater\\qcapture.nsf") == 0) {
        static int thrown = 0;
        if (thrown++ == 0) throw std::runtime_error("hook failed");
    }
    return ERR_EM_CONTINUE;
}

// A note that cannot be opened, an id table scan that fails part way, a
// note whose processing throws: each is said, and the others go on. Every
// note handle was closed (checked at tear-down).
TEST_F(EventsTest, DeleteNotesGoesOnPastANoteItCannotQueue) {
    NOTEID a = Appointment(), b = Appointment();
    emu::ClearConsole();
    emu::InjectFault(emu::Op::OpenNote, emu::err::INJECTED, 1);
    FigureSnapshot before;
    ASSERT_EQ(emu::DeleteNotes(Db("mail\\alice.nsf"), {a, b}), 0);
    EXPECT_TRUE(Has("ProcessDeletedNotes: note " + Hex8(a) + " could not be opened: Injected failure"));
    EXPECT_EQ(before.Since().at("Events.DeletionsNotQueued"), 1u);
    EXPECT_EQ(CaptureQueue().size(), 3u);

    NOTEID c = Appointment(), d = Appointment(), e = Appointment();
    emu::ClearFaults();
    emu::InjectFault(emu::Op::IdScan, emu::err::INJECTED, 2);
    before = FigureSnapshot();
    ASSERT_EQ(emu::DeleteNotes(Db("mail\\alice.nsf"), {c, d, e}), 0);
    EXPECT_EQ(before.Since().at("Events.DeletionsNotQueued"), 2u);
    EXPECT_EQ(Count("ProcessDeletedNotes: id table scan failed after note " + Hex8(std::min({c, d, e})) +
                    " (1 of 3): deletions in mail\\alice.nsf not queued"),
              1)
        << ::testing::PrintToString(Console());
    EXPECT_EQ(CaptureQueue().size(), 7u);  // the one deletion reached before the failure

    NOTEID f = Appointment(), g = Appointment();
    emu::ClearFaults();
    HEMREGISTRATION hook = 0;
    ASSERT_EQ(EMRegister(EM_NSFNOTEUPDATE, EM_REG_BEFORE, &ThrowOnQueueSave, 0, &hook), 0);
    before = FigureSnapshot();
    ASSERT_EQ(emu::DeleteNotes(Db("mail\\alice.nsf"), {f, g}), 0);
    EMDeregister(hook);
    EXPECT_EQ(Count("hook failed"), 1);
    const Moved moved = before.Since();
    EXPECT_EQ(moved.at("Queue.Failed"), 1u);  // every change seen is captured, refused or failed
    EXPECT_EQ(moved.at("Events.Seen"), 2u);
    EXPECT_EQ(moved.at("Queue.Written"), 1u);
    auto q = CaptureQueue();
    ASSERT_EQ(q.size(), 10u);
    EXPECT_EQ(q.back().noteId, Hex8(g));
    EXPECT_EQ(q.back().action, 1);
}

TEST_F(EventsTest, RefusalsSayWhy) {
    struct Case {
        std::string db;
        std::vector<std::pair<std::string, std::string>> items;
        std::string line;  // empty: refused without a line of its own
        std::string figure;  // the one refusal figure it moves
    };
    const Case cases[] = {
        {"mail\\shared.nsf", {{"Form", "Appointment"}, {"ApptUNID", "self"}}, "Filter: FAIL: Excluded db being updated",
         "Excluded"},
        {"mail\\carol.nsf", {{"Form", "Appointment"}, {"ApptUNID", "self"}}, "Filter: FAIL: Not a TARN\tuser mail file",
         "NotUser"},
        {"mail\\alice.nsf", {{"Subject", "no form"}}, "Filter: FAIL: No FORM field contained in document", "NoForm"},
        {"mail\\alice.nsf", {{"Form", "appointment"}}, "Filter: Not Appointment, Task, or Notice", "NotCalendar"},
        {"mail\\alice.nsf", {{"Form", "Appointments"}}, "Filter: Not Appointment, Task, or Notice", "NotCalendar"},
        {"mail\\alice.nsf", {{"Form", "Task"}}, "Filter: FAIL: hasTaskDates: No start date", "NoStartDate"},
        {"mail\\alice.nsf", {{"Form", "Task"}, {"StartDateTime", "x"}}, "Filter: FAIL: hasTaskDates: No Due date",
         "NoDueDate"},
        {"mail\\alice.nsf", {{"Form", "Appointment"}, {"ApptUNID", "self"}, {"$REF", "parent"}},
         "Filter: FAIL: Repeating child", "RepeatingChild"},
        {"mail\\alice.nsf", {{"Form", "Appointment"}, {"ApptUNID", "0123456789abcdef0123456789abcdef"}},
         "Filter: FAIL: NOT isApptUNIDThisDoc AKA draft Calendar", "Draft"},
        {"mail\\alice.nsf", {{"Form", "Task"}, {"StartDateTime", "x"}, {"DueDateTime", "y"}}, "", "NoApptUNID"},
        {"mail\\alice.nsf", {{"Form", "Notice"}, {"NoticeType", "S"}}, "", "NotCancellation"},  // a plain update
        {"mail\\alice.nsf", {{"Form", "Appointment"}, {"ApptUNID", "self"}, {"$TARN", "1"}}, "$TARN removed.",
         "Marker"},
        {"mail\\noprofile.nsf", {{"Form", "Appointment"}, {"ApptUNID", "self"}}, "Filter: FAIL: Not a TARN\tuser mail file",
         "NotUser"},
        // Last: its further lines are looked at below.
        {"brackwater\\tarnalerts.nsf", {{"Form", "Alert"}}, "Received config update alert", "Alert"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line + " in " + c.db);
        emu::ClearConsole();
        const FigureSnapshot before;
        Save(c.db, c.items);
        EXPECT_EQ(before.Since(), (Moved{{"Events.Seen", 1}, {"Events.Refused." + c.figure, 1}}));
        if (!c.line.empty()) {
            EXPECT_TRUE(Has(c.line)) << ::testing::PrintToString(Console());
        }
        EXPECT_TRUE(Has("TARNEventProcessor::ProcessEventSingle. Failed Filter"));
        EXPECT_FALSE(Has("TARNEventProcessor::ProcessEventSingle. Passed Filter"));
    }
    // The alerts database in a task other than the HTTP one: no broadcast.
    EXPECT_TRUE(Has("Filter: FAIL: TARN Alerts db being updated!"));
    EXPECT_FALSE(Has("Broadcasting Config Referesh"));
    EXPECT_TRUE(CaptureQueue().empty());
}

TEST_F(EventsTest, NonDocumentsAreRefusedFirst) {
    NOTEID id = 0;
    ASSERT_EQ(emu::CreateDocument(Db("mail\\alice.nsf"), {emu::Text("Form", "Appointment")}, &id, 0x0004), 0);
    NOTEHANDLE note = 0;
    ASSERT_EQ(NSFNoteOpen(Db("mail\\alice.nsf"), id, 0, &note), 0);
    emu::ClearConsole();
    const FigureSnapshot before;
    ASSERT_EQ(NSFNoteUpdate(note, 0), 0);
    NSFNoteClose(note);
    EXPECT_TRUE(Has("Filter: FAIL: Note NOT a Document"));
    EXPECT_FALSE(Has("Event Database: mail\\alice.nsf"));
    EXPECT_EQ(before.Since(), (Moved{{"Events.Seen", 1}, {"Events.Refused.NotDocument", 1}}));
}

TEST_F(EventsTest, CancellationNoticesBecomeDeletions) {
    FigureSnapshot before;
    Save("mail\\alice.nsf", {{"Form", "Notice"}, {"NoticeType", "S"}}, true);
    Save("mail\\alice.nsf", {{"Form", "TaskNotice"}, {"NoticeType", "C"}, {"ApptUNID", "self"}}, true);
    Save("mail\\alice.nsf", {{"Form", "Notice"}, {"NoticeType", "R"}, {"ApptUNID", "self"}, {"$REF", "x"}}, true);
    auto q = CaptureQueue();
    ASSERT_EQ(q.size(), 3u);  // cancellations skip the repeating-child check
    for (const auto& n : q) EXPECT_EQ(n.action, 1);
    EXPECT_EQ(q[1].form, "TaskNotice");
    EXPECT_EQ(Count("Filter: pass :\tCancellation"), 3);
    Moved moved = before.Since();
    EXPECT_EQ(moved.at("Events.Cancellations"), 3u);
    EXPECT_EQ(moved.count("Events.Deletions"), 0u);

    emu::ClearConsole();
    before = FigureSnapshot();
    Save("mail\\alice.nsf", {{"Form", "Notice"}, {"NoticeType", "C"}, {"ApptUNID", "00000000000000000000000000000000"}}, true);
    Save("mail\\alice.nsf", {{"Form", "Notice"}, {"NoticeType", "X"}}, true);
    Save("mail\\alice.nsf", {{"Form", "Notice"}, {"NoticeType", ""}}, true);
    Save("mail\\alice.nsf", {{"Form", "Notice"}}, true);
    EXPECT_EQ(CaptureQueue().size(), 3u);
    EXPECT_EQ(Count("Filter: FAIL: NOT isApptUNIDThisDoc AKA draft Calendar"), 1);
    EXPECT_EQ(Count("TARNEventProcessor::ProcessEventSingle. Failed Filter"), 4);
    moved = before.Since();
    EXPECT_EQ(moved.at("Events.Refused.Draft"), 1u);
    EXPECT_EQ(moved.at("Events.Refused.NotCancellation"), 3u);
}

TEST_F(EventsTest, MarkerIsRemovedOnceAndTheNextUpdateIsFiltered) {
    const NOTEID id = Save("mail\\alice.nsf", {{"Form", "Appointment"}, {"ApptUNID", "self"}, {"$TARN", "1"}});
    EXPECT_EQ(Count("$TARN removed."), 1);
    EXPECT_EQ(Count("ExtMgrCallback. Start"), 2);  // the marker's own save did not re-enter
    EXPECT_TRUE(CaptureQueue().empty());

    NOTEHANDLE note = 0;
    ASSERT_EQ(NSFNoteOpen(Db("mail\\alice.nsf"), id, 0, &note), 0);
    EXPECT_NE(NSFItemInfo(note, "$TARN", 5, nullptr, nullptr, nullptr, nullptr), 0);
    PutText(note, "Subject", "moved");
    ASSERT_EQ(NSFNoteUpdate(note, 0), 0);
    NSFNoteClose(note);
    EXPECT_EQ(CaptureQueue().size(), 1u);
}

TEST_F(EventsTest, OwnerComesFromTheCalendarProfile) {
    DBHANDLE db = Db("mail\\bob.nsf");
    ASSERT_EQ(emu::SetProfile(db, "CalendarProfile", {emu::Number("Owner", 5)}), 0);
    NOTEID id = Appointment("mail\\bob.nsf");
    EXPECT_TRUE(CaptureQueue().empty());
    EXPECT_FALSE(Has("Error: Calendar Profile not found."));
    EXPECT_EQ(Count("Error: Calendar Profile Owner is not text: change of note " + Hex8(id) +
                    " in mail\\bob.nsf not queued"),
              1);

    // A value the host cannot lock loses the change with a line, not silently.
    ASSERT_EQ(emu::SetProfile(db, "CalendarProfile", {emu::Text("Owner", "CN=Bob")}), 0);
    emu::InjectFault(emu::Op::LockObject, emu::err::INJECTED, 1);
    id = Appointment("mail\\bob.nsf");
    EXPECT_TRUE(CaptureQueue().empty());
    EXPECT_EQ(Count("Error: Calendar Profile Owner could not be locked: change of note " + Hex8(id) +
                    " in mail\\bob.nsf not queued"),
              1);

    const std::string longOwner(300, 'o');
    ASSERT_EQ(emu::SetProfile(db, "CalendarProfile", {emu::Text("Owner", longOwner)}), 0);
    Appointment("mail\\bob.nsf");
    auto q = CaptureQueue();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].user, std::string(255, 'o'));
}

// At level 1 an accepted change and an ordinary refusal say nothing; a user's
// mail file without a profile is an error.
TEST_F(EventsTest, AtLevelOneOnlyAMissingProfileIsSaid) {
    StopAddIn(&registrations);
    SampleConfig cfg = ServedBy(processor->Port(), 1);
    cfg.mailFiles = {"mail\\alice.nsf", "mail\\noprofile.nsf"};
    std::filesystem::remove_all(dataDir + "/brackwater");
    CreateSampleDatabases(cfg);
    StartSession();
    Appointment();
    Save("mail\\carol.nsf", {{"Form", "Appointment"}});
    EXPECT_TRUE(Console().empty()) << ::testing::PrintToString(Console());
    EXPECT_EQ(CaptureQueue().size(), 1u);
    ASSERT_TRUE(ProcessSession().GetTransport()->WaitForNotices(10000));  // alice's notice out of the figures
    const FigureSnapshot before;
    Appointment("mail\\noprofile.nsf");
    EXPECT_EQ(Console(), Strings{P + "Error: Calendar Profile not found."});
    EXPECT_EQ(before.Since(), (Moved{{"Events.Seen", 1}, {"Events.Refused.NoOwner", 1}}));
    EXPECT_EQ(CaptureQueue().size(), 1u);
}

TEST_F(EventsTest, QueueFailuresLeaveNothingBehind) {
    emu::InjectFault(emu::Op::CreateNote, emu::err::INJECTED, 2);  // 1: the user's note
    const FigureSnapshot before;
    Appointment();
    EXPECT_EQ(before.Since(), (Moved{{"Events.Seen", 1}, {"Queue.Failed", 1}}));
    EXPECT_TRUE(Has("ERROR: TARNQueue::WriteToQueue :  Could NOT write to DTC queue"));
    EXPECT_TRUE(Has("TARNEventProcessor::ProcessEventSingle. Write to Queue Fail"));

    // Each lost change says which item, why, which note and which mail file.
    // The text items' appends come after the 3 of the user's note.
    const std::tuple<emu::Op, unsigned, const char*> items[] = {
        {emu::Op::SetItemNumber, 1, "Action"}, {emu::Op::SetItemNumber, 2, "Status"},
        {emu::Op::AppendItem, 4, "CalDbPath"}, {emu::Op::AppendItem, 5, "CalNoteID"},
        {emu::Op::AppendItem, 6, "CalUNID"},   {emu::Op::AppendItem, 7, "CalForm"},
        {emu::Op::AppendItem, 8, "CalUserName"}};
    for (const auto& [op, nth, item] : items) {
        emu::ClearFaults();
        emu::ClearConsole();
        emu::InjectFault(op, emu::err::INJECTED, nth);
        NOTEID id = Appointment();
        EXPECT_EQ(Count(std::string("ERROR: TARNQueue::WriteToQueue :  item ") + item +
                        " not written (Injected failure): change of note " + Hex8(id) + " in mail\\alice.nsf not queued"),
                  1)
            << ::testing::PrintToString(Console());
    }
    emu::ClearFaults();
    emu::ClearConsole();
    emu::InjectFault(emu::Op::UpdateNote, emu::err::INJECTED, 2);  // 1: the user's save
    Appointment();
    EXPECT_TRUE(Has("TARNQueue::WriteToQueue :  Error occured when saving Note to queue."));
    EXPECT_TRUE(CaptureQueue().empty());
    EXPECT_EQ(emu::Open().notes, 0);
}

TEST_F(EventsTest, NoteAndDatabaseLookupFailuresRefuseWithTheirStatus) {
    emu::InjectFault(emu::Op::OpenNote, emu::err::INJECTED, 1);
    FigureSnapshot before;
    NOTEID id = Appointment();
    EXPECT_TRUE(Has("Filter: FAIL: note " + Hex8(id) + " could not be opened: Injected failure"));
    EXPECT_EQ(before.Since(), (Moved{{"Events.Seen", 1}, {"Events.Refused.Unreadable", 1}}));
    emu::ClearFaults();
    emu::InjectFault(emu::Op::GetDatabasePath, emu::err::INJECTED, 1);
    before = FigureSnapshot();
    Appointment();
    EXPECT_EQ(before.Since(), (Moved{{"Events.Seen", 1}, {"Events.Refused.Error", 1}}));
    EXPECT_TRUE(Has("Couldn't get db path for event: Injected failure (0x1a41)"));
    // An item that cannot be read is not absent: the marker ($TARN, the
    // second item read) or the repeating child's $REF (the third) unread
    // refuses the change, said at level 1.
    for (const auto& [nth, item] : {std::pair{2u, "$TARN"}, std::pair{3u, "$REF"}}) {
        emu::ClearFaults();
        emu::InjectFault(emu::Op::ItemInfo, emu::err::DB_IO, nth);
        Appointment();
        EXPECT_EQ(CountWith(Console(), {P + "Filter: FAIL: item " + item + " could not be read: "}), 1) << item;
    }
    EXPECT_TRUE(CaptureQueue().empty());
}

TEST_F(EventsTest, DeletionWithoutUnidIsRefused) {
    TARNEventProcessor& p = *ProcessSession().GetProcessor();
    EventData e{};
    e.eventId = 47;
    EXPECT_TRUE(p.isValidDeletion(e));
    e.eventId = kEventDeletion;
    const FigureSnapshot before;
    EXPECT_FALSE(p.isValidDeletion(e));
    EXPECT_EQ(before.Since(), (Moved{{"Events.Refused.EmptyUNID", 1}}));
    e.unid[2] = 1;
    EXPECT_TRUE(p.isValidDeletion(e));
}

TEST_F(EventsTest, SkipQueryAndUninitialisedSessionDoNothing) {
    emu::SetCallbackSkip(true);
    Appointment();
    emu::SetCallbackSkip(false);
    EXPECT_TRUE(Console().empty());
    EXPECT_TRUE(CaptureQueue().empty());

    ProcessSession().MarkNotInitialised();
    Appointment();
    EXPECT_EQ(Count("ExtMgrCallback. TARNSession not initialised"), 2);
    EXPECT_TRUE(CaptureQueue().empty());
}

// The after-notification of a save that failed carries the failure in its
// status: nothing was changed, so nothing is captured.
TEST_F(EventsTest, AFailedSaveIsNotCaptured) {
    const NOTEID id = Appointment();
    const size_t before = CaptureQueue().size();
    NOTEHANDLE note = 0;
    ASSERT_EQ(NSFNoteOpen(Db("mail\\alice.nsf"), id, 0, &note), 0);
    emu::ClearConsole();
    EXPECT_EQ(tarntest::CallHandler(&ExtMgrCallback, EM_NSFNOTEUPDATE, EM_AFTER, ERR_NOTE_DELETED, note, 0),
              ERR_EM_CONTINUE);
    EXPECT_EQ(CaptureQueue().size(), before);
    EXPECT_FALSE(Has("ExtMgrCallback. Processing Event"));
    EXPECT_EQ(tarntest::CallHandler(&ExtMgrCallback, EM_NSFNOTEUPDATEXTENDED, EM_AFTER, NOERROR, note, DWORD(0)),
              ERR_EM_CONTINUE);
    EXPECT_EQ(CaptureQueue().size(), before + 1) << "the same note, saved: captured";
    NSFNoteClose(note);
}


// One save raising both update events, EM_NSFNOTEUPDATE around
// EM_NSFNOTEUPDATEXTENDED on the saving thread (the host's nested switch):
// still one queue note and one notice per save.
class NestedEventsTest : public EventsTest {
protected:
    void SetUp() override {
        emu::SetNestedUpdates(true);
        EventsTest::SetUp();
    }
    void TearDown() override {
        EventsTest::TearDown();
        emu::SetNestedUpdates(false);
    }
    // Every queue note was announced once, with its action; returns the notes.
    std::vector<QueueNote> ExpectOneNoticeEach() {
        EXPECT_TRUE(ProcessSession().GetTransport()->WaitForNotices(10000));
        std::map<std::string, Strings> actions;
        for (const auto& n : processor->AcceptedNotices()) actions[n.qnoteid].push_back(n.action);
        auto q = CaptureQueue();
        EXPECT_EQ(actions.size(), q.size());
        for (const auto& n : q)
            EXPECT_EQ(actions[Hex8(n.id)], Strings{n.action == 1 ? "Delete" : "Change"}) << Hex8(n.id);
        return q;
    }
};

TEST_F(NestedEventsTest, EachSaveIsCapturedOnce) {
    const NOTEID appt = Appointment();
    Save("mail\\bob.nsf", {{"Form", "Task"}, {"StartDateTime", "a"}, {"DueDateTime", "b"}, {"ApptUNID", "self"}});
    // A cancellation saved through NSFNoteUpdate is an extended update inside.
    Save("mail\\alice.nsf", {{"Form", "Notice"}, {"NoticeType", "S"}});
    Save("mail\\alice.nsf", {{"Form", "Appointment"}, {"ApptUNID", "self"}}, true);  // not nested
    NOTEHANDLE note = 0;
    ASSERT_EQ(NSFNoteOpen(Db("mail\\alice.nsf"), appt, 0, &note), 0);
    PutText(note, "Location", "Room 4");
    ASSERT_EQ(NSFNoteUpdate(note, 0), 0);
    NSFNoteClose(note);
    EXPECT_EQ(Count("ExtMgrCallback. Event: inner half of a save already seen"), 8);  // 4 nested saves

    // The marker is removed once; the refused save writes nothing.
    Save("mail\\alice.nsf", {{"Form", "Appointment"}, {"ApptUNID", "self"}, {"$TARN", "1"}});
    EXPECT_EQ(Count("$TARN removed."), 1);
    ASSERT_EQ(emu::DeleteByStub(Db("mail\\alice.nsf"), appt, false), 0);
    Save("mail\\carol.nsf", {{"Form", "Appointment"}, {"ApptUNID", "self"}});
    EXPECT_EQ(Count("Filter: FAIL: Not a TARN\tuser mail file"), 1);

    std::vector<std::tuple<double, std::string, bool>> got;  // action, form, whether of appt
    for (const auto& n : ExpectOneNoticeEach())
        got.emplace_back(n.action, n.form, n.dbPath == "mail\\alice.nsf" && n.noteId == Hex8(appt));
    EXPECT_EQ(got, (decltype(got){{0, "Appointment", true}, {0, "Task", false}, {1, "Notice", false},
                                  {0, "Appointment", false}, {0, "Appointment", true}, {1, "Appointment", true}}));
}

// Another add-in's hook, called after the add-in's: cancels the next save
// of the event it is told (47 or 102).
std::atomic<int> gCancelEvent{0};
STATUS LNCALLBACK CancelSave(EMRECORD* record) {
    if (record->NotificationType == EM_BEFORE && gCancelEvent == record->EId) {
        gCancelEvent = 0;
        return ERR_NOTE_DELETED;
    }
    return ERR_EM_CONTINUE;
}

TEST_F(NestedEventsTest, ACancelledSaveLeavesNothingBehindForTheNext) {
    HEMREGISTRATION hooks[2] = {};
    ASSERT_EQ(EMRegister(EM_NSFNOTEUPDATEXTENDED, EM_REG_BEFORE, &CancelSave, 0, &hooks[0]), 0);
    ASSERT_EQ(EMRegister(EM_NSFNOTEUPDATE, EM_REG_BEFORE, &CancelSave, 0, &hooks[1]), 0);
    NOTEHANDLE note = 0;
    ASSERT_EQ(NSFNoteCreate(Db("mail\\alice.nsf"), &note), 0);
    PutText(note, "Form", "Appointment");
    PutText(note, "ApptUNID", UnidOf(note));
    // Cancelled inside: the outer after-call reports the failure.
    gCancelEvent = EM_NSFNOTEUPDATEXTENDED;
    EXPECT_EQ(NSFNoteUpdate(note, 0), ERR_NOTE_DELETED);
    // Cancelled outside: no after-call of either event ever comes; the next
    // save, extended alone, must not pass for the inner half of this one.
    gCancelEvent = EM_NSFNOTEUPDATE;
    EXPECT_EQ(NSFNoteUpdate(note, 0), ERR_NOTE_DELETED);
    EXPECT_TRUE(CaptureQueue().empty());
    ASSERT_EQ(NSFNoteUpdateExtended(note, 0), 0);
    ASSERT_EQ(NSFNoteUpdate(note, 0), 0);
    ASSERT_EQ(NSFNoteUpdateExtended(note, 0), 0);
    NSFNoteClose(note);
    for (auto h : hooks) EMDeregister(h);
    EXPECT_EQ(ExpectOneNoticeEach().size(), 3u);
}

TEST_F(NestedEventsTest, WithoutTheOuterAfterCallTheInnerOneCaptures) {
    // The after-call of EM_NSFNOTEUPDATE could not be registered.
    EMDeregister(registrations[1]);
    registrations.erase(registrations.begin() + 1);
    Appointment();
    ASSERT_EQ(CaptureQueue().size(), 1u);
    ASSERT_EQ(emu::DeleteByStub(Db("mail\\alice.nsf"), Appointment(), false), 0);
    auto q = ExpectOneNoticeEach();
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q[2].action, 1);
}

}  // namespace
