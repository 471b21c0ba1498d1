// libnotesemu.so as the Notes C API library: types and layouts, environment
// strings and status texts, the Extension Manager's return rule, item value
// blocks and id tables, grouped by function family. Databases, views, profiles, event
// arguments and faults are in emu_store_test.cc, queues in emu_mq_test.cc.
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest-spi.h>

#include "support/test_support.h"

using namespace tarntest;

namespace {

// ---- Types and layouts (64-bit Linux): what a callback and a caller's
// structures depend on, which no header states ----------------------------------
static_assert(sizeof(WORD) == 2 && sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(NUMBER) == 8 &&
              sizeof(STATUS) == 2 && sizeof(EID) == 2);
static_assert(sizeof(DHANDLE) == 4 && sizeof(NOTEHANDLE) == 4 && sizeof(DBHANDLE) == 4 && sizeof(MQHANDLE) == 4 &&
              sizeof(HEMREGISTRATION) == 4, "Domino handles stay 32-bit");
static_assert(sizeof(BLOCKID) == 8 && sizeof(TIMEDATE) == 8 && sizeof(DBID) == 8 && sizeof(UNID) == 16 &&
              sizeof(ORIGINATORID) == 28 && sizeof(COLLECTIONPOSITION) == 132 && sizeof(ITEM_VALUE_TABLE) == 4);
static_assert(sizeof(va_list) == 24 && sizeof(EMRECORD) == 32);
// va_list's builtin type makes g++ call EMRECORD non-standard-layout; its
// offsets are still the C layout's.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(EMRECORD, EId) == 0 && offsetof(EMRECORD, NotificationType) == 2 &&
              offsetof(EMRECORD, Status) == 4 && offsetof(EMRECORD, Ap) == 8);
#pragma GCC diagnostic pop
static_assert(offsetof(ORIGINATORID, Sequence) == 16 && offsetof(ORIGINATORID, SequenceTime) == 20);

class CApiTest : public DataDirTest {
protected:
    void SetUp() override {
        DataDirTest::SetUp();
        baseline = emu::Open();
    }
    void TearDown() override {
        for (HEMREGISTRATION h : regs) EMDeregister(h);
        ExpectAllReleased();
        DataDirTest::TearDown();
    }
    DBHANDLE OpenDb() {
        EXPECT_EQ(emu::CreateDatabase("mail\\alice.nsf"), 0);
        DBHANDLE db = NULLHANDLE;
        EXPECT_EQ(NSFDbOpen("mail\\alice.nsf", &db), NOERROR);
        return db;
    }
    void Register(EID eid, DWORD flags, EMHANDLER handler) {
        HEMREGISTRATION h = 0;
        ASSERT_EQ(EMRegister(eid, flags, handler, 0, &h), NOERROR);
        regs.push_back(h);
    }
    int BadFreesSinceStart() const { return emu::Open().badFrees - baseline.badFrees; }

    std::vector<HEMREGISTRATION> regs;
    emu::OpenCounts baseline;
};

// ---- osenv.h, osmisc.h --------------------------------------------

TEST_F(CApiTest, EnvironmentStringsTakeTheBufferLengthLessOne) {
    emu::SetIniVariable("TARN_Value", "abcdefgh");
    char buf[6];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(OSGetEnvironmentString("tarn_value", buf, sizeof buf - 1), TRUE) << "names ignore case";
    EXPECT_STREQ(buf, "abcde") << "BufferLength characters, then the terminator";
    EXPECT_EQ(OSGetEnvironmentString("TARN_Absent", buf, sizeof buf - 1), FALSE);
    EXPECT_STREQ(buf, "");
}

TEST_F(CApiTest, StatusTextsAreCutToTheBufferIgnoreTheFlagBitsAndAreNeverMadeUp) {
    char text[10];
    EXPECT_EQ(OSLoadString(nullptr, ERR_ITEM_NOT_FOUND, text, sizeof text - 1), 9);
    EXPECT_STREQ(text, "Note item");
    char full[64];
    WORD n = OSLoadString(nullptr, ERR(ERR_NOT_FOUND | STS_REMOTE), full, sizeof full - 1);
    EXPECT_STREQ(full, "Entry not found in index");
    EXPECT_EQ(n, strlen(full));
    // A code without a text: 0 and an empty buffer, never a made-up text.
    memset(full, '#', sizeof full);
    EXPECT_EQ(OSLoadString(0, 0x3A77, full, sizeof full - 1), 0);
    EXPECT_STREQ(full, "");
}

// ---- extmgr.h: the return rule ------------------------------------------------

std::vector<std::string> gCalls;
STATUS gAnswer = ERR_EM_CONTINUE;

STATUS AnswerBefore(EMRECORD* r) {
    if (r->NotificationType != EM_BEFORE) return ERR_EM_CONTINUE;
    gCalls.push_back("answer-before");
    return gAnswer;
}
STATUS AnswerAfter(EMRECORD* r) {
    if (r->NotificationType != EM_AFTER) return ERR_EM_CONTINUE;
    gCalls.push_back("answer-after:" + std::to_string(r->Status));
    return gAnswer;
}
STATUS Witness(EMRECORD* r) {
    gCalls.push_back(r->NotificationType == EM_BEFORE ? "witness-before" : "witness-after");
    return ERR_EM_CONTINUE;
}

// Before: a callback that does not continue cancels the save; after: it
// replaces the result.
TEST_F(CApiTest, ACallbackThatDoesNotContinueDecidesTheResult) {
    DBHANDLE db = OpenDb();
    Register(EM_NSFNOTEUPDATE, EM_REG_BEFORE, AnswerBefore);
    Register(EM_NSFNOTEUPDATE, EM_REG_BEFORE | EM_REG_AFTER, Witness);
    for (STATUS answer : {STATUS(NOERROR), STATUS(ERR_NOTE_DELETED)}) {
        gCalls.clear();
        gAnswer = answer;
        NOTEHANDLE note = NULLHANDLE;
        ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
        EXPECT_EQ(NSFNoteUpdate(note, 0), answer) << "the callback's answer is the result";
        NOTEID id = 1;
        NSFNoteGetInfo(note, _NOTE_ID, &id);
        EXPECT_EQ(id, 0u) << "nothing was saved";
        NSFNoteClose(note);
        EXPECT_EQ(gCalls, (std::vector<std::string>{"answer-before"})) << "later hooks and the after phase skipped";
    }
    EXPECT_TRUE(Notes("mail\\alice.nsf").empty());

    gCalls.clear();
    gAnswer = ERR_EM_CONTINUE;
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
    EXPECT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    EXPECT_EQ(gCalls, (std::vector<std::string>{"answer-before", "witness-before", "witness-after"}));

    Register(EM_NSFNOTEUPDATEXTENDED, EM_REG_AFTER, AnswerAfter);
    Register(EM_NSFNOTEUPDATEXTENDED, EM_REG_AFTER, Witness);
    gCalls.clear();
    gAnswer = ERR_INVALID_NOTE;
    EXPECT_EQ(NSFNoteUpdateExtended(note, 0), ERR_INVALID_NOTE);
    EXPECT_EQ(gCalls, (std::vector<std::string>{"answer-after:0"})) << "the save itself succeeded";
    gAnswer = ERR_EM_CONTINUE;
    NSFNoteClose(note);
    NSFDbClose(db);
}

// ---- nsfnote.h -------------------------------------------------------------------

TEST_F(CApiTest, ItemInfoBlocksPointAtTheTypeWordThenTheDataAndBelongToTheNote) {
    DBHANDLE db = OpenDb();
    NOTEID id = 0;
    ASSERT_EQ(emu::CreateDocument(db, {emu::Text("Form", "Appointment"), emu::Number("Count", 7)}, &id), 0);
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(db, id, 0, &note), NOERROR);

    BLOCKID item{}, value{};
    WORD type = 0;
    DWORD length = 0;
    ASSERT_EQ(NSFItemInfo(note, "form", 4, &item, &type, &value, &length), NOERROR);
    EXPECT_EQ(type, TYPE_TEXT);
    EXPECT_EQ(length, 2u + 11u) << "the length counts the type word";
    EXPECT_EQ(NSFItemInfo(note, "Count", 5, nullptr, nullptr, nullptr, nullptr), NOERROR) << "every output may be NULL";
    const char* p = OSLockBlock(char, value);
    WORD stored = 0;
    memcpy(&stored, p, sizeof stored);
    EXPECT_EQ(stored, TYPE_TEXT);
    EXPECT_EQ(std::string(p + 2, length - 2), "Appointment");
    OSUnlockBlock(value);
    EXPECT_NE(OSMemFree(value.pool), NOERROR) << "the note owns it";
    EXPECT_EQ(BadFreesSinceStart(), 1);

    // Missing: the code, and the unknown type.
    type = 1;
    EXPECT_EQ(NSFItemInfo(note, "Nothing", 7, nullptr, &type, nullptr, nullptr), ERR_ITEM_NOT_FOUND);
    EXPECT_EQ(type, TYPE_INVALID_OR_UNKNOWN);

    // A value left locked when the note closes is the caller's fault.
    ASSERT_EQ(NSFItemInfo(note, "Count", 5, nullptr, &type, &value, nullptr), NOERROR);
    EXPECT_EQ(type, TYPE_NUMBER);
    ASSERT_NE(OSLockBlock(char, value), nullptr);
    NSFNoteClose(note);
    EXPECT_EQ(BadFreesSinceStart(), 2);
    EXPECT_EQ(OSLockObject(value.pool), nullptr) << "gone with the note";
    NSFDbClose(db);
}

// ---- nsfdb.h -------------------------------------------------------------------

// A reopened handle is a handle of its own on the same database: the same
// identity and path, its own close, and it outlives the handle it came from.
TEST_F(CApiTest, ReopenGivesAnIndependentHandleOnTheSameDatabase) {
    DBHANDLE db = OpenDb();
    DBHANDLE copy = NULLHANDLE;
    ASSERT_EQ(NSFDbReopen(db, &copy), NOERROR);
    EXPECT_NE(copy, db);
    DBID a{}, b{};
    NSFDbIDGet(db, &a);
    NSFDbIDGet(copy, &b);
    EXPECT_EQ(memcmp(&a, &b, sizeof a), 0);
    EXPECT_EQ(emu::Open().databases - baseline.databases, 2);

    NOTEID id = 0;
    ASSERT_EQ(emu::CreateDocument(db, {emu::Text("Form", "Memo")}, &id), 0);
    ASSERT_EQ(NSFDbClose(db), NOERROR);
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(copy, id, 0, &note), NOERROR) << "the copy outlives its source";
    char canonical[MAXPATH];
    ASSERT_EQ(NSFDbPathGet(copy, canonical, nullptr), NOERROR);
    EXPECT_STREQ(canonical, "mail\\alice.nsf");
    NSFNoteClose(note);
    EXPECT_EQ(NSFDbClose(copy), NOERROR);
    EXPECT_EQ(NSFDbClose(copy), emu::err::INVALID_HANDLE) << "closed once";

    DBHANDLE none = 99;
    EXPECT_EQ(NSFDbReopen(db, &none), emu::err::INVALID_HANDLE) << "a closed source";
    EXPECT_EQ(none, NULLHANDLE);
}

// ---- idtable.h ------------------------------------------------------------------

TEST_F(CApiTest, IdScanStartsWithFirstAndContinuesFromTheCallersId) {
    DHANDLE a = NULLHANDLE, b = NULLHANDLE, empty = NULLHANDLE;
    ASSERT_EQ(emu::CreateIdTable(&a), 0);
    ASSERT_EQ(emu::CreateIdTable(&b), 0);
    ASSERT_EQ(emu::CreateIdTable(&empty), 0);
    for (NOTEID id : {0x91Eu, 0x8F6u, 0x902u}) emu::IdInsert(a, id);
    emu::IdInsert(b, 0x1000);
    DWORD id = 0;
    EXPECT_FALSE(IDScan(empty, TRUE, &id));
    EXPECT_EQ(IDEntries(a), 3u);

    std::vector<DWORD> seen;
    DWORD other = 0;
    for (BOOL first = TRUE; IDScan(a, first, &id); first = FALSE) {
        seen.push_back(id);
        // Another table scanned in between does not disturb this one.
        EXPECT_TRUE(IDScan(b, TRUE, &other));
    }
    EXPECT_EQ(seen, (std::vector<DWORD>{0x8F6, 0x902, 0x91E})) << "ascending";
    id = 0x902;
    ASSERT_TRUE(IDScan(a, FALSE, &id));
    EXPECT_EQ(id, 0x91Eu) << "the next above the id passed in";
    ASSERT_TRUE(IDScan(a, TRUE, &id));
    EXPECT_EQ(id, 0x8F6u) << "first starts over";
    for (DHANDLE t : {a, b, empty}) emu::DestroyIdTable(t);
}

}  // namespace

// ---- The rules a server holds a caller to ----------------------------------------

namespace rules {

using Violations = std::vector<emu::Violation>;

class RulesTest : public CApiTest {
protected:
    void TearDown() override {
        emu::ClearViolations();  // these tests provoke them
        if (emu::RuntimeEnded()) emu::RestartRuntime();
        CApiTest::TearDown();
    }
    static std::vector<std::string> Functions() {
        std::vector<std::string> out;
        for (const auto& v : emu::Violations()) out.push_back(v.function);
        return out;
    }
    static std::string FirstText(const std::string& path, NOTEID id, const std::string& item) {
        for (const auto& d : Notes(path))
            if (d.id == id) return TextOf(d, item);
        return "<no note>";
    }
};

// Handles belong to the thread that opened them: on another thread every
// use, the close too, fails as a bad handle does and is recorded; that
// thread reopens the database instead.
TEST_F(RulesTest, HandlesAreValidOnlyOnTheThreadThatOpenedThem) {
    DBHANDLE db = OpenDb();
    NOTEID id = 0;
    ASSERT_EQ(emu::CreateDocument(db, {emu::Text("Form", "Memo")}, &id), 0);
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(db, id, 0, &note), NOERROR);
    std::string otherThread;
    std::thread([&] {
        NOTEHANDLE n = NULLHANDLE;
        EXPECT_EQ(NSFNoteOpen(db, id, 0, &n), emu::err::INVALID_HANDLE);
        DBID dbid{};
        EXPECT_EQ(NSFDbIDGet(db, &dbid), emu::err::INVALID_HANDLE);
        char text[16] = "#";
        EXPECT_EQ(NSFItemGetText(note, "Form", text, sizeof text), 0);
        EXPECT_STREQ(text, "");
        EXPECT_EQ(NSFNoteUpdate(note, 0), emu::err::INVALID_HANDLE);
        EXPECT_EQ(NSFNoteClose(note), emu::err::INVALID_HANDLE);
        EXPECT_EQ(NSFDbClose(db), emu::err::INVALID_HANDLE);

        // Its own copy works, and is closed here.
        DBHANDLE own = NULLHANDLE;
        ASSERT_EQ(NSFDbReopen(db, &own), NOERROR);
        ASSERT_EQ(NSFNoteOpen(own, id, 0, &n), NOERROR);
        EXPECT_EQ(NSFItemGetText(n, "Form", text, sizeof text), 4);
        EXPECT_EQ(NSFNoteClose(n), NOERROR);
        EXPECT_EQ(NSFDbClose(own), NOERROR);
        otherThread = emu::Violations().empty() ? "" : emu::Violations().back().thread;
    }).join();
    EXPECT_EQ(Functions(), (std::vector<std::string>{"NSFNoteOpen", "NSFDbIDGet", "NSFItemGetText", "NSFNoteUpdate",
                                                     "NSFNoteClose", "NSFDbClose"}));
    auto v = emu::Violations();
    EXPECT_EQ(v[0].rule, "database handle opened on another thread");
    EXPECT_EQ(v[2].rule, "note handle opened on another thread");
    EXPECT_EQ(otherThread.rfind("thread ", 0), 0u) << otherThread;
    EXPECT_NE(emu::ViolationText(v[0]).find("NSFNoteOpen: database handle opened on another thread (thread "),
              std::string::npos);

    // Still open, and still the opener's.
    char text[16];
    EXPECT_EQ(NSFItemGetText(note, "Form", text, sizeof text), 4);
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
    EXPECT_EQ(emu::ViolationCount(), 6u) << "nothing on the opening thread";

    NSFDbClose(db);
}

// text_len is the buffer's size: at most text_len - 1 characters, always
// terminated; 1 gives "", 0 writes nothing.
TEST_F(RulesTest, ItemTextFillsAtMostTheBufferLessOneAndTerminates) {
    DBHANDLE db = OpenDb();
    NOTEID id = 0;
    ASSERT_EQ(emu::CreateDocument(db, {emu::Text("NoticeType", "C"), emu::Text("Form", "Appointment")}, &id), 0);
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(db, id, 0, &note), NOERROR);
    struct Case {
        const char* item;
        WORD textLen;
        WORD returned;
        std::string buffer;  // the first textLen + 1 bytes afterwards
    };
    for (const Case& c : {Case{"NoticeType", 2, 1, std::string("C\0#", 3)},
                          Case{"NoticeType", 1, 0, std::string("\0#", 2)},
                          Case{"NoticeType", 0, 0, "#"},
                          Case{"Form", 5, 4, std::string("Appo\0#", 6)},
                          Case{"Form", 12, 11, std::string("Appointment\0#", 13)},
                          Case{"Form", 13, 11, std::string("Appointment\0#", 13)},
                          Case{"Missing", 4, 0, std::string("\0###", 4)}}) {
        char buffer[32];
        memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(NSFItemGetText(note, c.item, buffer, c.textLen), c.returned) << c.item << " " << c.textLen;
        EXPECT_EQ(std::string(buffer, c.buffer.size()), c.buffer) << c.item << " " << c.textLen;
    }
    NSFNoteClose(note);
    NSFDbClose(db);
    EXPECT_EQ(emu::ViolationCount(), 0u);
}

int gUpdateEvents = 0;
STATUS CountUpdate(EMRECORD*) {
    ++gUpdateEvents;
    return ERR_EM_CONTINUE;
}

// Only flags the toolkit defines: a save with another bit is refused before
// any event and recorded; the defined ones all go through.
TEST_F(RulesTest, SavesTakeOnlyTheFlagsTheToolkitDefines) {
    DBHANDLE db = OpenDb();
    Register(EM_NSFNOTEUPDATE, EM_REG_BEFORE, CountUpdate);
    Register(EM_NSFNOTEUPDATEXTENDED, EM_REG_BEFORE, CountUpdate);
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
    ASSERT_EQ(NSFItemAppend(note, ITEM_SUMMARY, "Form", 4, TYPE_TEXT, "Memo", 4), NOERROR);
    gUpdateEvents = 0;
    for (WORD flags : {WORD{0x0008}, WORD{0x0800}, WORD{0x0010}, WORD{UPDATE_FORCE | 0x1000}}) {
        EXPECT_EQ(NSFNoteUpdate(note, flags), emu::err::BAD_FLAGS) << flags;
    }
    EXPECT_EQ(NSFNoteUpdateExtended(note, UPDATE_SHARE_SECOND | 0x00800000), emu::err::BAD_FLAGS);
    EXPECT_EQ(gUpdateEvents, 0);
    ASSERT_EQ(emu::ViolationCount(), 5u);
    EXPECT_EQ(emu::Violations()[0].rule, "update flags 0x8 that the toolkit does not define");
    EXPECT_EQ(emu::Violations()[4].function, "NSFNoteUpdateExtended");

    for (WORD flags : {WORD{0}, WORD{UPDATE_FORCE}, WORD{UPDATE_NAME_KEY_WARNING}, WORD{UPDATE_NOCOMMIT},
                       WORD{UPDATE_NOREVISION}, WORD{UPDATE_INCREMENTAL}, WORD{UPDATE_FORCE | UPDATE_NOREVISION}})
        EXPECT_EQ(NSFNoteUpdate(note, flags), NOERROR) << flags;
    EXPECT_EQ(NSFNoteUpdateExtended(note, UPDATE_SHARE_SECOND | UPDATE_SHARE_OBJECTS | UPDATE_FORCE), NOERROR);
    EXPECT_EQ(gUpdateEvents, 8);
    EXPECT_EQ(emu::ViolationCount(), 5u);
    NSFNoteClose(note);
    NSFDbClose(db);
}

// UPDATE_NOCOMMIT writes summary items for good; a non-summary item saved
// that way is lost when the runtime ends before a committed save or a close
// of its database.
TEST_F(RulesTest, WithoutCommitOnlySummaryItemsOutliveTheRuntime) {
    const std::string path = "mail\\alice.nsf";
    DBHANDLE db = OpenDb();
    auto save = [&](WORD flags, const char* body) {
        NOTEHANDLE note = NULLHANDLE;
        EXPECT_EQ(NSFNoteCreate(db, &note), NOERROR);
        EXPECT_EQ(NSFItemAppend(note, ITEM_SUMMARY, "Form", 4, TYPE_TEXT, "Memo", 4), NOERROR);
        EXPECT_EQ(NSFItemAppend(note, 0, "Body", 4, TYPE_TEXT, body, strlen(body)), NOERROR);
        EXPECT_EQ(NSFNoteUpdate(note, flags), NOERROR);
        NOTEID id = 0;
        NSFNoteGetInfo(note, _NOTE_ID, &id);
        NSFNoteClose(note);
        return id;
    };
    // Flushed by a later committed save of another note of the database.
    NOTEID flushedBySave = save(UPDATE_NOCOMMIT, "one");
    save(0, "two");
    // Flushed by a close of the database.
    NOTEID flushedByClose = save(UPDATE_NOCOMMIT, "three");
    NSFDbClose(db);
    db = OpenDb();
    // Never flushed.
    NOTEID lost = save(UPDATE_NOCOMMIT, "four");
    EXPECT_EQ(FirstText(path, lost, "Body"), "four") << "readable while the runtime lasts";

    emu::EndRuntime();
    EXPECT_EQ(FirstText(path, flushedBySave, "Body"), "one");
    EXPECT_EQ(FirstText(path, flushedByClose, "Body"), "three");
    EXPECT_EQ(FirstText(path, lost, "Body"), "");
    EXPECT_EQ(FirstText(path, lost, "Form"), "Memo") << "summary data is always written";
    emu::RestartRuntime();
    NSFDbClose(db);
}

std::vector<HEMREGISTRATION> gToDrop;
STATUS DeregisterOnTerminate(EMRECORD* r) {
    if (r->EId == EM_TERMINATENSF)
        for (HEMREGISTRATION h : gToDrop) EMDeregister(h);
    return ERR_EM_CONTINUE;
}

// Shutdown as a server does it: EM_TERMINATENSF (no deregistering inside
// it), then the end of the runtime, after which every call is refused.
TEST_F(RulesTest, NoDeregisteringInTerminationAndNoCallsAfterTheRuntime) {
    HEMREGISTRATION update = 0, terminate = 0;
    ASSERT_EQ(EMRegister(EM_NSFNOTEUPDATE, EM_REG_BEFORE, CountUpdate, 0, &update), NOERROR);
    ASSERT_EQ(EMRegister(EM_TERMINATENSF, EM_REG_BEFORE, DeregisterOnTerminate, 0, &terminate), NOERROR);
    gToDrop = {update};
    int before = emu::RegistrationCount();
    EXPECT_EQ(emu::TerminateNsf(), ERR_EM_CONTINUE);
    EXPECT_EQ(Functions(), std::vector<std::string>{"EMDeregister"});
    EXPECT_EQ(emu::Violations()[0].rule, "deregistered while EM_TERMINATENSF was being raised");
    EXPECT_EQ(emu::RegistrationCount(), before - 1) << "the registration goes all the same";
    EXPECT_EQ(EMDeregister(terminate), NOERROR) << "at unload, as it should be";
    EXPECT_EQ(emu::ViolationCount(), 1u);

    emu::EndRuntime();
    DBHANDLE db = NULLHANDLE;
    EXPECT_EQ(NSFDbOpen("mail\\alice.nsf", &db), emu::err::RUNTIME_ENDED);
    char value[8];
    EXPECT_FALSE(OSGetEnvironmentString("TARN_Task_List", value, sizeof value - 1));
    EXPECT_EQ(Functions(), (std::vector<std::string>{"EMDeregister", "NSFDbOpen", "OSGetEnvironmentString"}));
    EXPECT_EQ(emu::Violations()[1].rule, "called after the runtime ended");
    emu::RestartRuntime();
    EXPECT_EQ(emu::CreateDatabase("mail\\alice.nsf"), 0);
    EXPECT_EQ(NSFDbOpen("mail\\alice.nsf", &db), NOERROR);
    NSFDbClose(db);
}

// Start-up: every call beyond the EM functions is listed by name, in order
// of first use, with counts; nothing fails.
TEST_F(RulesTest, CallsDuringStartUpBeyondTheEmFunctionsAreListed) {
    EXPECT_EQ(emu::CreateDatabase("mail\\alice.nsf"), 0);
    emu::ClearStartupCalls();
    emu::EnterStartup();
    WORD id = 0;
    EXPECT_EQ(EMCreateRecursionID(&id), NOERROR);
    char value[8];
    OSGetEnvironmentString("A", value, sizeof value - 1);
    DBHANDLE db = NULLHANDLE;
    EXPECT_EQ(NSFDbOpen("mail\\alice.nsf", &db), NOERROR);
    OSGetEnvironmentString("B", value, sizeof value - 1);
    HEMREGISTRATION h = 0;
    EXPECT_EQ(EMRegister(EM_NSFNOTEUPDATE, EM_REG_BEFORE, CountUpdate, id, &h), NOERROR);
    emu::LeaveStartup();
    NSFDbClose(db);
    EMDeregister(h);
    std::vector<std::pair<std::string, uint64_t>> calls;
    for (const auto& c : emu::StartupCalls()) calls.emplace_back(c.function, c.count);
    EXPECT_EQ(calls, (decltype(calls){{"OSGetEnvironmentString", 2}, {"NSFDbOpen", 1}}));
    EXPECT_EQ(emu::ViolationCount(), 0u) << "listed, not violations";
    emu::ClearStartupCalls();
}

// The task-output check names each reported violation and passes the zero count.
TEST_F(RulesTest, TaskOutputWithViolationsFailsTheCheck) {
    ProcessResult clean;
    clean.out = {"runner: deregistered: 47/1", "runner: violations: 0", "runner: exit 0"};
    ExpectNoViolations(clean);
    ProcessResult dirty = clean;
    dirty.out.insert(dirty.out.begin() + 1, "  [nserver.exe ] runner: violation: NSFNoteOpen: x (thread 7)");
    EXPECT_NONFATAL_FAILURE(ExpectNoViolations(dirty), "runner: violation: NSFNoteOpen: x (thread 7)");
    ProcessResult late = clean;
    late.out.push_back("runner: violations at exit: 2");
    EXPECT_NONFATAL_FAILURE(ExpectNoViolations(late), "violations at exit: 2");
}

}  // namespace rules
