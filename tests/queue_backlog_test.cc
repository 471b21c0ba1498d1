// The capture queue as an operator watches it: the backlog statistics the
// HTTP task publishes, tarn-setup queue for a monitoring script, and
// tarn-setup purge, which must never delete a pending note.
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "processor/outbox.h"
#include "queue/queue_views.h"
#include "stats/queue_backlog.h"
#include "support/outbox_support.h"
#include "support/test_support.h"

using namespace tarntest;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

namespace {

class BacklogTest : public DataDirTest {
protected:
    void SetUp() override {
        DataDirTest::SetUp();
        SampleConfig cfg;
        cfg.port = 9;
        CreateSampleDatabases(cfg);  // the capture queue with its views, as tarn-setup create makes it
        ASSERT_EQ(NSFDbOpen(kQueueDb, &db), 0);
    }
    void TearDown() override {
        if (db) NSFDbClose(db);
        ExpectAllReleased();
        DataDirTest::TearDown();
    }
    // The three backlog figures (TARN.Queue also holds the tasks' Written and Failed counts).
    static Strings Figures() {
        Strings all;
        for (const char* name : {"TARN.Queue.Handled", "TARN.Queue.OldestPendingMinutes", "TARN.Queue.Pending"})
            for (const std::string& line : emu::ShowStat(name)) all.push_back(line);
        return all;
    }
    static Strings Expect(int pending, int minutes, int handled) {
        return {"TARN.Queue.Handled = " + std::to_string(handled),
                "TARN.Queue.OldestPendingMinutes = " + std::to_string(minutes),
                "TARN.Queue.Pending = " + std::to_string(pending)};
    }
    // The processor's own sweep: every pending note handled and marked.
    static size_t Sweep() {
        tarnsim::Outbox outbox({}, [](const tarnsim::QueueNote&, tarnsim::Via) {});
        size_t recovered = 0;
        EXPECT_TRUE(outbox.Start(nullptr, &recovered));
        outbox.Stop();
        return recovered;
    }
    static void SetStatus(DBHANDLE db, NOTEID id, double status) {
        NOTEHANDLE note = 0;
        ASSERT_EQ(NSFNoteOpen(db, id, 0, &note), 0);
        EXPECT_EQ(NSFItemSetNumber(note, "Status", &status), 0);
        EXPECT_EQ(NSFNoteUpdate(note, 0), 0);
        NSFNoteClose(note);
    }
    tarn::stats::QueueBacklog Backlog() {
        return tarn::stats::QueueBacklog([this](const char* line) { lines.push_back(line); });
    }
    DBHANDLE db = 0;
    Strings lines;
    const Clock::time_point t0 = Clock::now();
};

TEST_F(BacklogTest, TheFiguresFollowTheQueueAsTheProcessorStaysAwayAndReturns) {
    auto backlog = Backlog();
    NOTEID first = 0;
    for (int n = 0; n < 3; ++n) {
        const NOTEID id = WriteQueueNote(db, n);
        if (!first) first = id;
    }
    backlog.Round(t0);
    EXPECT_EQ(Figures(), Expect(3, 0, 0));
    // The oldest is the first written; its wait grows while nobody handles it.
    ASSERT_EQ(emu::BackdateNote(kQueueDb, first, 10 * 60 + 5), 0);
    ASSERT_EQ(emu::BackdateNote(kQueueDb, first + 1, 3 * 60), 0);
    backlog.Round(t0 + 60s);
    EXPECT_EQ(Figures(), Expect(3, 10, 0));
    ASSERT_EQ(emu::BackdateNote(kQueueDb, first, 15 * 60), 0);
    backlog.Round(t0 + 120s);
    EXPECT_EQ(Figures(), Expect(3, 25, 0));
    EXPECT_EQ(Sweep(), 3u);
    backlog.Round(t0 + 180s);
    EXPECT_EQ(Figures(), Expect(0, 0, 3));
    EXPECT_EQ(lines, Strings{});
}

// At the first round, then once per TARN_Queue_Interval; a value it cannot
// use is said once and the minute kept.
TEST_F(BacklogTest, ItReadsAtStartThenOncePerInterval) {
    auto backlog = Backlog();
    struct Step {
        Clock::duration at;
        const char* setting;  // TARN_Queue_Interval before the round; null: none
        bool reads;
        Clock::duration nextDue;
    } const steps[] = {
        {0s, nullptr, true, 60s},  {59s, nullptr, false, 60s}, {60s, "5", true, 65s},  {64s, "5", false, 65s},
        {65s, "abc", true, 125s},  {125s, "0", true, 185s},    {185s, "0", true, 245s}, {245s, "3600", true, 3845s},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::chrono::duration_cast<std::chrono::seconds>(s.at).count());
        if (s.setting) emu::SetIniVariable("TARN_Queue_Interval", s.setting);
        emu::ResetCallCounts();
        EXPECT_EQ(backlog.Round(t0 + s.at), t0 + s.nextDue);
        EXPECT_EQ(emu::CallCount(emu::Op::OpenDatabase), s.reads ? 1u : 0u);
    }
    EXPECT_EQ(lines, (Strings{"TARN_Queue_Interval=abc is not a number of seconds from 1 to 3600; using 60",
                              "TARN_Queue_Interval=0 is not a number of seconds from 1 to 3600; using 60"}));
}

// Each call the read makes, failing: one line while it fails, the figures
// it could not read kept, all released; once it reads again the figures are
// current and a later failure is said again.
TEST_F(BacklogTest, AFailedReadIsSaidOnceAndLeavesTheLastFigures) {
    struct Case {
        emu::Op op;
        const char* said;
        bool pendingMoves;  // only the Handled count failed
    } const cases[] = {
        {emu::Op::OpenDatabase, "brackwater\\qcapture.nsf could not be opened (Injected failure", false},
        {emu::Op::FindView, "NIFFindDesignNoteExt of view Pending failed (Injected failure", false},
        {emu::Op::OpenCollection, "NIFOpenCollection of view Pending failed (Injected failure", false},
        {emu::Op::ReadEntries, "NIFReadEntries of view Pending failed (Injected failure", false},
        {emu::Op::LockObject, "OSLockObject of view Pending failed", false},
        {emu::Op::CloseCollection, "NIFCloseCollection of view Pending failed (Injected failure", false},
        {emu::Op::GetDbNoteInfo, "NSFDbGetNoteInfo failed (Injected failure", false},
        {emu::Op::GetCollectionData, "NIFGetCollectionData of view Handled failed (Injected failure", true},
        {emu::Op::StatUpdate, "Statistic TARN.Queue.Pending not published (Injected failure", false},
    };
    int pending = 0, handled = 0;
    Clock::time_point at = t0;
    for (const Case& c : cases) {
        SCOPED_TRACE(emu::OpName(c.op));
        auto backlog = Backlog();
        lines.clear();
        backlog.Round(at += 1h);
        ASSERT_EQ(Figures(), Expect(pending, 0, handled));
        WriteQueueNote(db, ++pending);
        WriteQueueNote(db, 100 + ++handled, 1);
        emu::InjectFault(c.op, emu::err::INJECTED);
        backlog.Round(at += 1h);
        backlog.Round(at += 1h);
        emu::ClearFaults();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(c.said), std::string::npos) << lines[0];
        EXPECT_EQ(Figures(), Expect(c.pendingMoves ? pending : pending - 1, 0, handled - 1));
        ExpectAllReleased(false);
        backlog.Round(at += 1h);
        EXPECT_EQ(Figures(), Expect(pending, 0, handled));
        emu::InjectFault(c.op, emu::err::INJECTED);
        backlog.Round(at += 1h);
        emu::ClearFaults();
        EXPECT_EQ(lines.size(), 2u);
    }
}

// The HTTP task itself, with no processor: its own captures are the backlog,
// and the processor's sweep empties it.
TEST_F(BacklogTest, TheHttpTaskPublishesTheBacklogOfItsCaptures) {
    CreateMailFile("mail\\alice.nsf", "CN=Alice");
    emu::SetIniVariable("TARN_Task_List", "nhttp.exe");
    emu::SetIniVariable("TARN_Queue_Interval", "1");
    FedTask http("nhttp.exe", dataDir);
    ASSERT_TRUE(http.Ok());
    for (int n = 0; n < 3; ++n) http.Feed("create a" + std::to_string(n) + " mail\\alice.nsf Form=Appointment ApptUNID=@unid\n");
    EXPECT_TRUE(WaitUntil([] { return Figures() == Expect(3, 0, 0); }, 30s)) << testing::PrintToString(Figures());
    EXPECT_EQ(Sweep(), 3u);
    EXPECT_TRUE(WaitUntil([] { return Figures() == Expect(0, 0, 3); }, 30s)) << testing::PrintToString(Figures());
    auto r = http.Finish();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(CountWith(BannerLines(r.out), {"Capture queue backlog not read"}), 0);
}

ProcessResult TarnSetup(const std::string& dataDir, const std::vector<std::string>& args) {
    return RunTask("tarn-setup", dataDir, "", {}, args);
}

TEST_F(BacklogTest, TarnSetupQueueReportsTheBacklogAndItsExitStatusSaysWhetherANoteWaitsTooLong) {
    const NOTEID old = WriteQueueNote(db, 1);
    NOTEID id = 0;
    ASSERT_EQ(emu::CreateDocument(db, {emu::Number("Action", 0), emu::Number("Status", 0),
                                       emu::Text("CalDbPath", "mail\\bob.nsf")},
                                  &id),
              0);
    SetStatus(db, WriteQueueNote(db, 3), 1);
    ASSERT_EQ(emu::BackdateNote(kQueueDb, old, 30 * 60 + 10), 0);
    const Strings report = {"queue: pending 2", "queue: handled 1",
                            "queue: oldest pending: note " + Hex8(old) + ", mail\\alice.nsf, waiting 30 minutes",
                            "queue: mail\\alice.nsf: pending 1", "queue: mail\\bob.nsf: pending 1"};
    struct Row {
        std::vector<std::string> args;
        int exitCode;
    } const rows[] = {{{"queue"}, 0}, {{"queue", "--older-than", "29"}, 2}, {{"queue", "--older-than", "31"}, 0}};
    for (const Row& row : rows) {
        auto r = TarnSetup(dataDir, row.args);
        EXPECT_EQ(r.exitCode, row.exitCode) << row.args.back();
        EXPECT_EQ(Strings(r.out.begin(), r.out.begin() + std::min(r.out.size(), report.size())), report) << r.err;
    }
    NSFDbClose(db);
    db = 0;
    std::filesystem::remove(emu::FilePathFor(kQueueDb));
    auto gone = TarnSetup(dataDir, {"queue"});
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_NE(gone.err.find("brackwater\\qcapture.nsf could not be opened"), std::string::npos) << gone.err;
}

TEST_F(BacklogTest, PurgeDeletesOnlyOldHandledNotes) {
    const NOTEID oldHandled = WriteQueueNote(db, 1), newHandled = WriteQueueNote(db, 2), oldPending = WriteQueueNote(db, 3);
    SetStatus(db, oldHandled, 1);
    SetStatus(db, newHandled, 1);
    for (NOTEID id : {oldHandled, oldPending}) ASSERT_EQ(emu::BackdateNote(kQueueDb, id, 8 * 86400), 0);
    auto dry = TarnSetup(dataDir, {"purge", "--handled", "--older-than", "7", "--dry-run"});
    EXPECT_EQ(dry.exitCode, 0);
    EXPECT_EQ(dry.out.back(), "purge: would delete 1 handled note; kept 2 (1 handled within 7 days, 1 not handled)");
    EXPECT_EQ(QueueStatus().size(), 3u);
    auto r = TarnSetup(dataDir, {"purge", "--handled", "--older-than", "7"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.back(), "purge: deleted 1 handled note; kept 2 (1 handled within 7 days, 1 not handled)");
    EXPECT_EQ(QueueStatus(), (std::map<NOTEID, double>{{newHandled, 1}, {oldPending, 0}}));
    EXPECT_NE(TarnSetup(dataDir, {"purge", "--older-than", "7"}).exitCode, 0);  // --handled is required
}

// Between the listing and the deletion a note may change: each is judged on
// what it is when its turn comes.
TEST_F(BacklogTest, PurgeJudgesEachNoteAsItIsWhenItsTurnComes) {
    using tarn::queue::Verdict;
    const NOTEID repended = WriteQueueNote(db, 1), handledNow = WriteQueueNote(db, 2), stays = WriteQueueNote(db, 3);
    SetStatus(db, repended, 1);
    SetStatus(db, stays, 1);
    for (NOTEID id : {repended, handledNow, stays}) ASSERT_EQ(emu::BackdateNote(kQueueDb, id, 30 * 86400), 0);
    TIMEDATE now{};
    OSCurrentTIMEDATE(&now);
    TIMEDATE weekAgo = now;
    weekAgo.Innards[1] -= 7;
    std::vector<NOTEID> listed;
    tarn::queue::Failure failure;
    ASSERT_TRUE(tarn::queue::WalkView(db, tarn::queue::kAllView, false,
                                      [&](NOTEID id, const char*, size_t) { listed.push_back(id); }, &failure));
    ASSERT_EQ(listed.size(), 3u);
    SetStatus(db, repended, 0);  // made pending again by hand
    EXPECT_EQ(Sweep(), 2u);      // the processor handles both pending ones, just now
    EXPECT_EQ(tarn::queue::PurgeOne(db, repended, weekAgo, false, &failure), Verdict::Recent);
    EXPECT_EQ(tarn::queue::PurgeOne(db, handledNow, weekAgo, false, &failure), Verdict::Recent);
    EXPECT_EQ(tarn::queue::PurgeOne(db, stays, weekAgo, false, &failure), Verdict::Deleted);
    EXPECT_EQ(tarn::queue::PurgeOne(db, stays, weekAgo, false, &failure), Verdict::Gone);
    // Pending again, long ago, and still pending: never deleted.
    SetStatus(db, handledNow, 0);
    ASSERT_EQ(emu::BackdateNote(kQueueDb, handledNow, 30 * 86400), 0);
    EXPECT_EQ(tarn::queue::PurgeOne(db, handledNow, now, false, &failure), Verdict::NotHandled);
    // Handled again meanwhile: old enough once its new time is past the cut-off.
    std::this_thread::sleep_for(20ms);
    TIMEDATE later{};
    OSCurrentTIMEDATE(&later);
    EXPECT_EQ(tarn::queue::PurgeOne(db, repended, later, true, &failure), Verdict::WouldDelete);
    EXPECT_EQ(QueueStatus(), (std::map<NOTEID, double>{{repended, 1}, {handledNow, 0}}));
}

}  // namespace
