// The add-in loaded into real task processes by the host runner.
#include <filesystem>

#include "support/test_support.h"

using namespace tarntest;
using Lines = std::vector<std::string>;

namespace {

const std::string kLoading = "Brackwater TARN 1.2.27  (nserver.exe) loading...";

class EntryPointTest : public DataDirTest {
protected:
    void Prepare(int level, const std::string& taskList = "nserver.exe,nhttp.exe") {
        SampleConfig cfg;
        cfg.logLevel = level;
        CreateSampleDatabases(cfg);
        if (!taskList.empty()) emu::SetIniVariable("TARN_Task_List", taskList);
    }
    ProcessResult Run(const std::string& task, const std::map<std::string, std::string>& env = {}) {
        return RunTask(task, dataDir, "", env);
    }
    static std::string Deregistered(const ProcessResult& r) {
        for (const auto& l : r.out)
            if (l.rfind("runner: deregistered:", 0) == 0) return l.substr(21);
        return "?";
    }
};

TEST_F(EntryPointTest, ListedTaskAtLevelOneWritesOnlyTheLoadingLine) {
    Prepare(1);
    auto r = Run("nserver.exe");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(BannerLines(r.out), Lines{kLoading});
    // Registered five times and for the termination; unload deregisters the
    // termination first, then delete-notes, and update-after last.
    EXPECT_EQ(Deregistered(r), " 69/1 24/1 102/2 102/1 47/1 47/2");
}

TEST_F(EntryPointTest, ListedTaskAtLevelThreeWritesEveryStartUpLineInOrder) {
    Prepare(3);
    auto r = Run("nserver.exe");
    const std::string p = "Brackwater TARN 1.2.27 (nserver.exe) : ";
    EXPECT_EQ(BannerLines(r.out), (Lines{
        kLoading,
        p + "Opened message queue in: TARNnserver.exe",
        p + "MainEntryPoint:\tcreated recursion ID",
        p + "MainEntryPoint:\tregistered before callback for EM_NSFNOTEUPDATE",
        p + "MainEntryPoint:\tregistered after callback for EM_NSFNOTEUPDATE",
        p + "MainEntryPoint:\tregistered before callback for EM_NSFNOTEUPDATEXTENDED",
        p + "MainEntryPoint:\tregistered after callback for EM_NSFNOTEUPDATEXTENDED",
        p + "MainEntryPoint:\tregistered callback for EM_NSFDBDELETENOTES",
        p + " (nserver.exe) loaded OK...",
    }));
}

TEST_F(EntryPointTest, UnlistedOrUnconfiguredTasksAreNotServed) {
    Prepare(3);
    auto unlisted = Run("amgr.exe");
    EXPECT_TRUE(BannerLines(unlisted.out).empty());
    EXPECT_EQ(Deregistered(unlisted), "");

    // The list is not lower-cased: upper-case entries never match.
    emu::SetIniVariable("TARN_Task_List", "NSERVER.EXE");
    EXPECT_TRUE(BannerLines(Run("nserver.exe").out).empty());

    emu::SetIniVariable("TARN_Task_List", "");
    EXPECT_TRUE(BannerLines(Run("nserver.exe").out).empty());

    emu::RemoveIniVariable("TARN_Task_List");
    auto none = Run("nserver.exe");
    EXPECT_EQ(BannerLines(none.out), Lines{"Brackwater TARN 1.2.27 CRITICAL ERROR: No tasks listed in Notes.ini!!!"});
    EXPECT_EQ(none.exitCode, 0);
}

// What every run of a task that met a fault must show: a clean end, nothing
// left open, no contract broken.
void ExpectCleanEnd(const ProcessResult& r) {
    for (const auto& l : r.out) EXPECT_EQ(l.find("runner: left open"), std::string::npos) << l;
}

const char kSave[] = "create a1 mail\\alice.nsf Form=Appointment ApptUNID=@unid\n";

// A start that fails part way registers nothing and says why in one line.
TEST_F(EntryPointTest, AFailedStartLeavesTheTaskUnserved) {
    const std::string p = "Brackwater TARN 1.2.27 (nserver.exe) : ";
    // The recursion id refused; the second call does nothing even so.
    Prepare(1);
    auto r = Run("nserver.exe", {{"EMU_FAULTS", "EmCreateRecursionId=0x02D3"}, {"TARN_RUNNER_ENTRY_TWICE", "1"}});
    EXPECT_NE(r.err.find("runner: MainEntryPoint returned 723"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("second MainEntryPoint returned 0"), std::string::npos) << r.err;
    EXPECT_EQ(BannerLines(r.out), (Lines{kLoading, p + "Couldn't create recursion id.: "
                                                       "No more Extension Manager recursion identifiers (0x2d3)"}));
    EXPECT_EQ(Deregistered(r), "");

    r = Run("nserver.exe", {{"EMU_FAULTS", "ReopenDatabase=0x1A41@1"}});
    EXPECT_EQ(BannerLines(r.out), (Lines{kLoading, p + "Error reopening TARNConfig database (Injected failure)"}));
    EXPECT_EQ(Deregistered(r), "");

    // The termination refused: the five made before it are undone (in the
    // unload's order), nothing is captured, and the unload leaves nothing open.
    CreateMailFile("mail\\alice.nsf", "CN=Alice");
    r = RunTask("nserver.exe", dataDir, kSave, {{"EMU_FAULTS", "EmRegister=0x0107@6"}});
    EXPECT_NE(r.err.find("runner: MainEntryPoint returned 263"), std::string::npos) << r.err;
    EXPECT_EQ(BannerLines(r.out), (Lines{kLoading, p + "Couldn't register callback for EM_TERMINATENSF (the task is not "
                                                       "served): Insufficient memory (0x107)"}));
    EXPECT_EQ(Deregistered(r), " 24/1 102/2 102/1 47/1 47/2");
    EXPECT_TRUE(QueueNotes().empty());
    ExpectCleanEnd(r);

    std::filesystem::remove(emu::FilePathFor("brackwater\\qcapture.nsf"));
    r = Run("nserver.exe");
    const Lines lines = BannerLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[1].rfind(p + "ERROR: TARNQueue::OpenQueueDb :  brackwater\\qcapture.nsf could not be opened (", 0),
              0u)
        << lines[1];
    EXPECT_NE(lines[1].find("): this task captures no change"), std::string::npos) << lines[1];
    EXPECT_EQ(Deregistered(r), "");

    std::filesystem::remove_all(dataDir + "/brackwater");
    r = Run("nserver.exe");
    EXPECT_EQ(BannerLines(r.out), (Lines{kLoading, p + "Error opening TARNAlerts database"}));
    EXPECT_EQ(Deregistered(r), "");
}

// A name with '%' shows as it is; a long one is cut in the session, not overrun.
TEST_F(EntryPointTest, TaskNamesShowAsTheyAreAndLongOnesAreCut) {
    const std::string name = std::string(60, 'x') + ".exe";
    Prepare(3, "n%s%nserver.exe," + name);
    auto lines = BannerLines(RunTaskAs("N%s%nServer.exe", dataDir).out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Brackwater TARN 1.2.27  (n%s%nserver.exe) loading...");
    EXPECT_EQ(lines.back(), "Brackwater TARN 1.2.27 (n%s%nserver.exe) :  (n%s%nserver.exe) loaded OK...");

    lines = BannerLines(RunTaskAs(name, dataDir).out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), "Brackwater TARN 1.2.27  (" + name + ") loading...");
    // The session keeps 49 characters; its queue name is cut to 31 and says so.
    const std::string p = "Brackwater TARN 1.2.27 (" + name.substr(0, 49) + ") : ";
    EXPECT_EQ(lines[1], p + "Message queue name cut to fit: TARN" + name.substr(0, 27));
    EXPECT_EQ(lines.back(), p + " (" + name + ") loaded OK...");
}

// A notice whose worker cannot be started: Boost.Thread's error at level 1,
// the save goes on, and the queue note stays for the processor's sweep.
TEST_F(EntryPointTest, AWorkerThatCannotStartIsSaidAndItsQueueNoteStays) {
    Prepare(1, "nserver.exe");
    CreateMailFile("mail\\alice.nsf", "CN=Alice");
    auto r = RunTask("nserver.exe", dataDir, kSave, {{"EMU_FAULTS", "ThreadStart=1"}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const Lines lines = BannerLines(r.out);
    ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[1].rfind("Brackwater TARN 1.2.27 (nserver.exe) : boost::thread_resource_error", 0), 0u)
        << lines[1];
    // The notice waited for a next worker, which never came.
    EXPECT_EQ(lines[2], "Brackwater TARN 1.2.27 (nserver.exe) : Teardown: 1 notice(s) abandoned (1 queued, 0 in flight)");
    EXPECT_EQ(QueueNotes().size(), 1u);
    ExpectCleanEnd(r);
}

// Memory running out at the n-th allocation the add-in makes (n = 1, 2, 4,
// ... until past the last), while it starts and while it handles a save:
// each run ends cleanly with one "bad allocation" line, or runs as if nothing
// happened; a start is made whole or not at all, a capture likewise.
TEST_F(EntryPointTest, MemoryRunningOutIsSaidAndLeavesNothingHalfDone) {
#ifdef TARN_SANITIZED
    GTEST_SKIP() << "the sanitizers own operator new: the task program cannot fail the add-in's allocations";
#endif
    Prepare(1, "nserver.exe");
    CreateMailFile("mail\\alice.nsf", "CN=Alice");
    const std::string bad = "bad allocation";
    auto said = [&](const ProcessResult& r) {
        int n = 0;
        for (const auto& l : BannerLines(r.out)) n += l.ends_with(bad);
        return n;
    };
    for (unsigned n = 1;; n *= 2) {
        SCOPED_TRACE("start-up, allocation " + std::to_string(n));
        auto r = Run("nserver.exe", {{"EMU_FAULTS", "AllocateAtStartup=1@" + std::to_string(n)}});
        ExpectCleanEnd(r);
        if (said(r) == 0) {
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_GT(n, 1u);  // the first allocation was reached
            break;
        }
        // Out of memory in the session's start (it returns 257) or in its
        // configuration (the task is not served): nothing is registered.
        EXPECT_EQ(said(r), 1);
        EXPECT_EQ(Deregistered(r), "") << ::testing::PrintToString(r.out) << r.err;
        ASSERT_LT(n, 1u << 16);
    }
    ASSERT_EQ(RunTask("nserver.exe", dataDir, kSave).exitCode, 0);
    ASSERT_EQ(QueueNotes().size(), 1u);
    const size_t items = QueueNotes()[0].items.size();
    for (unsigned n = 1;; n *= 2) {
        SCOPED_TRACE("a save, allocation " + std::to_string(n));
        const size_t before = QueueNotes().size();
        auto r = RunTask("nserver.exe", dataDir, kSave, {{"EMU_FAULTS", "AllocateInEvent=1@" + std::to_string(n)}});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        ExpectCleanEnd(r);
        const auto notes = QueueNotes();
        ASSERT_LE(notes.size(), before + 1);
        for (const auto& note : notes) EXPECT_EQ(note.items.size(), items);
        if (said(r) == 0) {
            EXPECT_EQ(notes.size(), before + 1);
            EXPECT_GT(n, 1u);
            break;
        }
        EXPECT_EQ(said(r), 1);
        ASSERT_LT(n, 1u << 16);
    }
}

}  // namespace
