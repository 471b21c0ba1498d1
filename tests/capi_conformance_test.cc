// libnotesemu.so as the Notes C API library: types and layouts, environment
// and status texts, the Extension Manager's return rule, item value blocks and
// id tables, grouped by function family. Databases, views, profiles, event
// arguments and faults are in emu_store_test.cc, queues in emu_mq_test.cc.
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"

using namespace tarntest;

namespace {

// ---- Types and layouts (64-bit Linux) --------------------------------------
static_assert(sizeof(WORD) == 2 && sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(NUMBER) == 8);
static_assert(sizeof(DHANDLE) == 4, "Domino handles stay 32-bit");
static_assert(sizeof(NOTEHANDLE) == 4 && sizeof(DBHANDLE) == 4 && sizeof(MQHANDLE) == 4);
static_assert(sizeof(HEMREGISTRATION) == 4 && sizeof(EID) == 2 && sizeof(STATUS) == 2);
static_assert(sizeof(BLOCKID) == 8);
static_assert(sizeof(TIMEDATE) == 8 && sizeof(DBID) == 8);
static_assert(sizeof(UNID) == 16);
static_assert(sizeof(ORIGINATORID) == 28);
static_assert(sizeof(COLLECTIONPOSITION) == 132);
static_assert(sizeof(ITEM_VALUE_TABLE) == 4);
static_assert(sizeof(va_list) == 24 && sizeof(EMRECORD) == 32);
// va_list's builtin type makes g++ call EMRECORD non-standard-layout; its
// offsets are still the C layout's.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(EMRECORD, EId) == 0 && offsetof(EMRECORD, NotificationType) == 2 &&
              offsetof(EMRECORD, Status) == 4 && offsetof(EMRECORD, Ap) == 8);
#pragma GCC diagnostic pop
static_assert(offsetof(ORIGINATORID, Sequence) == 16 && offsetof(ORIGINATORID, SequenceTime) == 20);

// Values that are facts of the platform, not choices of ours.
static_assert(ERR_EM_CONTINUE == 725 && ERR_ITEM_NOT_FOUND == 0x0222 && ERR_NOT_FOUND == 0x0404);
static_assert(ERR_NOTE_DELETED == 0x0225 && ERR_INVALID_NOTE == 0x0227);
static_assert(ERR_MQ_TIMEOUT == 0x045F && ERR_NO_SUCH_MQ == 0x0462 && ERR_MQ_EXCEEDED_QUOTA == 0x0463 &&
              ERR_MQ_EMPTY == 0x0464 && ERR_MQ_BFR_TOO_SMALL == 0x0465 && ERR_MQ_QUITTING == 0x0466);
static_assert(MQ_MAX_MSGSIZE == 65342 && MQ_OPEN_CREATE == 1);
static_assert(TYPE_TEXT == 0x0500 && ITEM_SUMMARY == 0x0004 && UPDATE_DELETED == 0x8000);
static_assert(UPDATE_FORCE == 1 && UPDATE_NAME_KEY_WARNING == 2 && UPDATE_NOCOMMIT == 4 && UPDATE_NOREVISION == 0x0100 &&
              UPDATE_NOSTUB == 0x0200 && UPDATE_INCREMENTAL == 0x4000 && UPDATE_SHARE_SECOND == 0x00200000 &&
              UPDATE_SHARE_OBJECTS == 0x00400000);
#if defined(UPDATE_REPLICA) || defined(UPDATE_RTR)
#error "the toolkit defines neither"
#endif
static_assert(NOTE_CLASS_VIEW == 8 && NAVIGATE_NEXT == 1 && SIGNAL_MORE_TO_DO == 0x0020);
static_assert(READ_MASK_NOTEID == 1 && READ_MASK_SUMMARYVALUES == 0x2000);
static_assert(EM_NSFNOTEUPDATE == 47 && EM_NSFNOTEUPDATEXTENDED == 102 && EM_NSFDBDELETENOTES == 24);

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

// ---- osenv.h, addin.h, osmisc.h --------------------------------------------

TEST_F(CApiTest, EnvironmentStringsTakeTheBufferLengthLessOne) {
    emu::SetIniVariable("TARN_Value", "abcdefgh");
    char buf[6];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(OSGetEnvironmentString("tarn_value", buf, sizeof buf - 1), TRUE) << "names ignore case";
    EXPECT_STREQ(buf, "abcde") << "BufferLength characters, then the terminator";
    EXPECT_EQ(OSGetEnvironmentString("TARN_Absent", buf, sizeof buf - 1), FALSE);
    EXPECT_STREQ(buf, "");
}

TEST_F(CApiTest, LogLinesFormatAndAppendTheAdditionalStatusText) {
    char format[] = "%s has %d";
    AddInLogMessageText(format, NOERROR, "queue", 3);
    AddInLogMessageText(format, ERR_ITEM_NOT_FOUND, "note", 1);
    char one[] = "only %s";
    AddInLogErrorText(one, NOERROR, nullptr);
    auto lines = emu::ConsoleLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "queue has 3");
    EXPECT_EQ(lines[1], "note has 1: Note item not found");
    EXPECT_EQ(lines[2], "only ");
}

TEST_F(CApiTest, StatusTextsAreCutToTheBufferLengthAndIgnoreTheFlagBits) {
    char text[10];
    EXPECT_EQ(OSLoadString(nullptr, ERR_ITEM_NOT_FOUND, text, sizeof text - 1), 9);
    EXPECT_STREQ(text, "Note item");
    char full[64];
    WORD n = OSLoadString(nullptr, ERR(ERR_NOT_FOUND | STS_REMOTE), full, sizeof full - 1);
    EXPECT_STREQ(full, "Entry not found in index");
    EXPECT_EQ(n, strlen(full));
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
    std::vector<emu::NoteDump> dump;
    ASSERT_EQ(emu::DumpNotes("mail\\alice.nsf", &dump), 0);
    EXPECT_TRUE(dump.empty());

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
    // No name: the first item.
    ASSERT_EQ(NSFItemInfo(note, nullptr, 0, nullptr, &type, nullptr, &length), NOERROR);
    EXPECT_EQ(type, TYPE_TEXT);

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
    ASSERT_TRUE(emu::InjectFault("NSFDbReopen", emu::err::INJECTED));
    db = OpenDb();
    EXPECT_EQ(NSFDbReopen(db, &copy), emu::err::INJECTED);
    emu::ClearFaults();
    NSFDbClose(db);
}

// ---- nsfnote.h: how notes were saved ----------------------------------------------

TEST_F(CApiTest, TheFlagsOfEachNotesLastSaveAreKept) {
    DBHANDLE db = OpenDb();
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
    ASSERT_EQ(NSFItemAppend(note, ITEM_SUMMARY, "Form", 4, TYPE_TEXT, "Memo", 4), NOERROR);
    ASSERT_EQ(NSFNoteUpdate(note, UPDATE_NOCOMMIT), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    emu::SaveInfo info;
    ASSERT_TRUE(emu::SaveFlags("MAIL/Alice.nsf", id, &info)) << "either separator, any case";
    EXPECT_EQ(info.flags, DWORD{UPDATE_NOCOMMIT});
    EXPECT_FALSE(info.extended);
    ASSERT_EQ(NSFNoteUpdateExtended(note, UPDATE_FORCE | UPDATE_SHARE_SECOND), NOERROR);
    ASSERT_TRUE(emu::SaveFlags("mail\\alice.nsf", id, &info));
    EXPECT_EQ(info.flags, DWORD{UPDATE_FORCE | UPDATE_SHARE_SECOND});
    EXPECT_TRUE(info.extended);
    EXPECT_EQ(info.saves, 2u);
    EXPECT_FALSE(emu::SaveFlags("mail\\bob.nsf", id, &info));

    // A save that failed is not a way the note was saved.
    emu::InjectFault("NSFNoteUpdate", emu::err::INJECTED);
    EXPECT_EQ(NSFNoteUpdate(note, 0), emu::err::INJECTED);
    emu::ClearFaults();
    ASSERT_TRUE(emu::SaveFlags("mail\\alice.nsf", id, &info));
    EXPECT_EQ(info.saves, 2u);
    emu::ClearSaveFlags();
    EXPECT_FALSE(emu::SaveFlags("mail\\alice.nsf", id, &info));
    NSFNoteClose(note);
    NSFDbClose(db);
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
