// libnotesemu.so as the Notes C API library: each exported function against
// the reference's own definition (types and layouts, ownership, missing-item
// answers, statuses, the Extension Manager's return rule and argument list),
// grouped by function family.
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
static_assert(MQ_MAX_MSGSIZE == 65326 && MQ_OPEN_CREATE == 1);
static_assert(TYPE_TEXT == 0x0500 && ITEM_SUMMARY == 0x0004 && UPDATE_DELETED == 0x8000);
static_assert(NOTE_CLASS_VIEW == 8 && NAVIGATE_NEXT == 1 && SIGNAL_MORE_TO_DO == 0x0020);
static_assert(READ_MASK_NOTEID == 1 && READ_MASK_SUMMARYVALUES == 0x2000);
static_assert(EM_NSFNOTEUPDATE == 47 && EM_NSFNOTEUPDATEXTENDED == 102 && EM_NSFDBDELETENOTES == 24);

class CApiTest : public DataDirTest {
protected:
    void SetUp() override {
        DataDirTest::SetUp();
        emu::SetReadPageSize(0);
        baseline = emu::Open();
    }
    void TearDown() override {
        for (HEMREGISTRATION h : regs) EMDeregister(h);
        emu::SetReadPageSize(0);
        emu::OpenCounts c = emu::Open();
        EXPECT_EQ(c.databases, 0);
        EXPECT_EQ(c.notes, 0);
        EXPECT_EQ(c.collections, 0);
        EXPECT_EQ(c.lockedBlocks, 0);
        EXPECT_EQ(c.allocatedBlocks, 0);
        EXPECT_EQ(c.idTables, 0);
        DataDirTest::TearDown();
    }
    DBHANDLE OpenDb(const char* path = "mail\\alice.nsf") {
        EXPECT_EQ(emu::CreateDatabase(path), 0);
        DBHANDLE db = NULLHANDLE;
        EXPECT_EQ(NSFDbOpen(path, &db), NOERROR);
        return db;
    }
    NOTEID Save(DBHANDLE db, const std::vector<emu::ItemValue>& items) {
        NOTEID id = 0;
        EXPECT_EQ(emu::CreateDocument(db, items, &id), 0);
        return id;
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

// ---- extmgr.h: the return rule and the argument list ------------------------

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

TEST_F(CApiTest, ABeforeCallbackThatDoesNotContinueCancelsTheSave) {
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
    NSFNoteClose(note);
    EXPECT_EQ(gCalls, (std::vector<std::string>{"answer-before", "witness-before", "witness-after"}));
    NSFDbClose(db);
}

TEST_F(CApiTest, AnAfterCallbackThatDoesNotContinueReplacesTheResult) {
    DBHANDLE db = OpenDb();
    NOTEID id = Save(db, {emu::Text("Form", "Memo")});
    Register(EM_NSFNOTEUPDATEXTENDED, EM_REG_AFTER, AnswerAfter);
    Register(EM_NSFNOTEUPDATEXTENDED, EM_REG_AFTER, Witness);
    gCalls.clear();
    gAnswer = ERR_INVALID_NOTE;
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(db, id, 0, &note), NOERROR);
    EXPECT_EQ(NSFNoteUpdateExtended(note, 0), ERR_INVALID_NOTE);
    NSFNoteClose(note);
    EXPECT_EQ(gCalls, (std::vector<std::string>{"answer-after:0"})) << "the save itself succeeded";
    gAnswer = ERR_EM_CONTINUE;
    NSFDbClose(db);
}

struct Args {
    EID eid = 0;
    DWORD handle = 0;
    DWORD flags = 0;
    DHANDLE table = 0;
    UNID* unids = reinterpret_cast<UNID*>(1);
    int reads = 0;
};
std::vector<Args> gArgs;

// Reads the core function's arguments in order, from its own copy.
STATUS ReadArgs(EMRECORD* r) {
    if (r->NotificationType != EM_BEFORE) return ERR_EM_CONTINUE;
    Args a;
    a.eid = r->EId;
    va_list ap;
    va_copy(ap, r->Ap);
    if (r->EId == EM_NSFNOTEUPDATE) {
        a.handle = va_arg(ap, NOTEHANDLE);
        a.flags = static_cast<WORD>(va_arg(ap, int));  // a WORD arrives as int
    } else if (r->EId == EM_NSFNOTEUPDATEXTENDED) {
        a.handle = va_arg(ap, NOTEHANDLE);
        a.flags = va_arg(ap, DWORD);
    } else if (r->EId == EM_NSFDBDELETENOTES) {
        a.handle = va_arg(ap, DBHANDLE);
        a.table = va_arg(ap, DHANDLE);
        a.unids = va_arg(ap, UNID*);
        DWORD id = 0;
        for (BOOL first = TRUE; IDScan(a.table, first, &id); first = FALSE) ++a.reads;
    }
    va_end(ap);
    gArgs.push_back(a);
    return ERR_EM_CONTINUE;
}

TEST_F(CApiTest, CallbacksReadTheCoreFunctionsArgumentsInOrder) {
    DBHANDLE db = OpenDb();
    NOTEID a = Save(db, {emu::Text("Form", "A")});
    NOTEID b = Save(db, {emu::Text("Form", "B")});
    for (EID eid : {EM_NSFNOTEUPDATE, EM_NSFNOTEUPDATEXTENDED, EM_NSFDBDELETENOTES}) {
        Register(eid, EM_REG_BEFORE, ReadArgs);
        Register(eid, EM_REG_BEFORE, ReadArgs);  // each callback reads from the start
    }
    gArgs.clear();
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(db, a, 0, &note), NOERROR);
    EXPECT_EQ(NSFNoteUpdate(note, UPDATE_FORCE | UPDATE_NOCOMMIT), NOERROR);
    EXPECT_EQ(NSFNoteUpdateExtended(note, UPDATE_SHARE_SECOND | UPDATE_FORCE), NOERROR);
    EXPECT_EQ(NSFNoteUpdate(note, UPDATE_DELETED), NOERROR);  // the stub of a delete
    NSFNoteClose(note);
    EXPECT_EQ(emu::DeleteNotes(db, {b}), 0);

    ASSERT_EQ(gArgs.size(), 8u);
    for (size_t i = 0; i < 8; i += 2) {
        EXPECT_EQ(gArgs[i].handle, gArgs[i + 1].handle);
        EXPECT_EQ(gArgs[i].flags, gArgs[i + 1].flags);
    }
    EXPECT_EQ(gArgs[0].eid, EM_NSFNOTEUPDATE);
    EXPECT_EQ(gArgs[0].handle, note);
    EXPECT_EQ(gArgs[0].flags, DWORD(UPDATE_FORCE | UPDATE_NOCOMMIT));
    EXPECT_EQ(gArgs[2].eid, EM_NSFNOTEUPDATEXTENDED);
    EXPECT_EQ(gArgs[2].flags, DWORD(UPDATE_SHARE_SECOND | UPDATE_FORCE)) << "all 32 bits";
    EXPECT_EQ(gArgs[4].flags, DWORD(UPDATE_DELETED));
    EXPECT_EQ(gArgs[6].eid, EM_NSFDBDELETENOTES);
    EXPECT_EQ(gArgs[6].handle, db);
    EXPECT_NE(gArgs[6].table, NULLHANDLE);
    EXPECT_EQ(gArgs[6].reads, 1);
    EXPECT_EQ(gArgs[6].unids, nullptr);
    NSFDbClose(db);
}

TEST_F(CApiTest, RecursionIdsAreDistinctAndDeregistrationIsOnce) {
    WORD first = 0, second = 0;
    ASSERT_EQ(EMCreateRecursionID(&first), NOERROR);
    ASSERT_EQ(EMCreateRecursionID(&second), NOERROR);
    EXPECT_NE(first, 0);
    EXPECT_NE(first, second);
    HEMREGISTRATION h = 0;
    ASSERT_EQ(EMRegister(EM_NSFNOTEUPDATE, EM_REG_BEFORE, Witness, first, &h), NOERROR);
    EXPECT_EQ(EMDeregister(h), NOERROR);
    EXPECT_NE(EMDeregister(h), NOERROR);
}

// ---- nsfdb.h -----------------------------------------------------------------

TEST_F(CApiTest, DatabaseIdAndPaths) {
    DHANDLE missing = 77;
    EXPECT_NE(NSFDbOpen("mail\\nobody.nsf", &missing), NOERROR);
    DBHANDLE a = OpenDb("Mail\\Alice.nsf"), again = OpenDb("mail\\alice.nsf"), b = OpenDb("mail\\bob.nsf");
    DBID ia{}, iagain{}, ib{};
    EXPECT_EQ(NSFDbIDGet(a, &ia), NOERROR);
    NSFDbIDGet(again, &iagain);
    NSFDbIDGet(b, &ib);
    EXPECT_EQ(memcmp(&ia, &iagain, sizeof ia), 0) << "one file, one id";
    EXPECT_NE(memcmp(&ia, &ib, sizeof ia), 0);
    char canonical[MAXPATH], expanded[MAXPATH];
    EXPECT_EQ(NSFDbPathGet(a, canonical, expanded), NOERROR);
    EXPECT_STREQ(canonical, "Mail\\Alice.nsf");
    EXPECT_EQ(expanded[0], '/') << "the full local path";
    EXPECT_EQ(NSFDbPathGet(a, nullptr, nullptr), NOERROR) << "either output may be NULL";
    for (DBHANDLE h : {a, again, b}) NSFDbClose(h);
}

// ---- nsfnote.h: notes and items -------------------------------------------------

TEST_F(CApiTest, NotesHaveNoIdUntilSavedAndDeletedOnesAnswerTheirCode) {
    DBHANDLE db = OpenDb();
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
    NOTEID id = 99;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    EXPECT_EQ(id, 0u);
    ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    EXPECT_NE(id, 0u);
    DBHANDLE owner = NULLHANDLE;
    NSFNoteGetInfo(note, _NOTE_DB, &owner);
    EXPECT_EQ(owner, db);
    ORIGINATORID oid{};
    NSFNoteGetInfo(note, _NOTE_OID, &oid);
    EXPECT_NE(oid.File.Innards[0] | oid.Note.Innards[0], 0u);
    NSFNoteClose(note);

    EXPECT_EQ(emu::DeleteByStub(db, id, false), 0);
    EXPECT_EQ(NSFNoteOpen(db, id, 0, &note), ERR_NOTE_DELETED);
    EXPECT_EQ(NSFNoteOpen(db, id + 1000, 0, &note), ERR_INVALID_NOTE);
    NSFDbClose(db);
}

TEST_F(CApiTest, ItemInfoBlocksPointAtTheTypeWordThenTheDataAndBelongToTheNote) {
    DBHANDLE db = OpenDb();
    NOTEID id = Save(db, {emu::Text("Form", "Appointment"), emu::Number("Count", 7)});
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(db, id, 0, &note), NOERROR);

    BLOCKID item{}, value{};
    WORD type = 0;
    DWORD length = 0;
    ASSERT_EQ(NSFItemInfo(note, "form", 4, &item, &type, &value, &length), NOERROR);
    EXPECT_EQ(type, TYPE_TEXT);
    EXPECT_EQ(length, 2u + 11u) << "the length counts the type word";
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

TEST_F(CApiTest, TextLongAndNumberItems) {
    DBHANDLE db = OpenDb();
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
    char subject[] = "Design review";
    ASSERT_EQ(NSFItemAppend(note, ITEM_SUMMARY, "Subject", 7, TYPE_TEXT, subject, strlen(subject)), NOERROR);
    subject[0] = 'X';  // the data was copied: the caller's buffer stays its own
    char text[8];
    memset(text, '#', sizeof text);
    EXPECT_EQ(NSFItemGetText(note, "Subject", text, sizeof text - 1), 7) << "cut to text_len";
    EXPECT_EQ(std::string(text, 7), "Design ");
    EXPECT_EQ(text[7], '#') << "nothing past text_len";
    char whole[32];
    EXPECT_EQ(NSFItemGetText(note, "subject", whole, sizeof whole - 1), 13);
    EXPECT_STREQ(whole, "Design review");
    EXPECT_EQ(NSFItemGetText(note, "Missing", whole, sizeof whole - 1), 0);
    EXPECT_STREQ(whole, "");

    EXPECT_EQ(NSFItemGetLong(note, "Count", -3), -3) << "absent: the default";
    EXPECT_EQ(NSFItemGetLong(note, "Subject", -3), -3) << "not a number: the default";
    NUMBER first = 41.0, second = 42.9;
    ASSERT_EQ(NSFItemSetNumber(note, "Count", &first), NOERROR);
    ASSERT_EQ(NSFItemSetNumber(note, "count", &second), NOERROR);
    EXPECT_EQ(NSFItemGetLong(note, "Count", -3), 42);
    ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    NSFNoteClose(note);
    std::vector<emu::NoteDump> dump;
    ASSERT_EQ(emu::DumpNotes("mail\\alice.nsf", &dump), 0);
    ASSERT_EQ(dump.size(), 1u);
    int counts = 0;
    for (const auto& item : dump[0].items)
        if (item.name == "Count" || item.name == "count") {
            ++counts;
            EXPECT_EQ(item.type, TYPE_NUMBER);
            EXPECT_EQ(item.flags, ITEM_SUMMARY);
        }
    EXPECT_EQ(counts, 1) << "set-number replaces the item";
    EXPECT_EQ(dump[0].items[0].texts[0], "Design review");

    ASSERT_EQ(NSFNoteOpen(db, id, 0, &note), NOERROR);
    EXPECT_EQ(NSFItemDelete(note, "Subject", 7), NOERROR);
    EXPECT_EQ(NSFItemDelete(note, "Subject", 7), ERR_ITEM_NOT_FOUND);
    NSFNoteClose(note);
    NSFDbClose(db);
}

TEST_F(CApiTest, ProfileValuesAreBlockIdsTheCallerLocksButNeverFrees) {
    DBHANDLE db = OpenDb();
    ASSERT_EQ(emu::SetProfile(db, "CalendarProfile", {emu::Text("Owner", "CN=Alice/O=Acme")}), 0);
    WORD type = 0;
    BLOCKID block{};
    DWORD length = 0;
    ASSERT_EQ(NSFProfileGetField(db, "CalendarProfile", 15, nullptr, 0, "Owner", 5, &type, &block, &length),
              NOERROR);
    EXPECT_EQ(type, TYPE_TEXT);
    EXPECT_NE(block.block, 0) << "a block inside its pool: the offset matters";
    const char* p = OSLockBlock(char, block) + sizeof(WORD);
    EXPECT_EQ(std::string(p, length - sizeof(WORD)), "CN=Alice/O=Acme");
    OSUnlockBlock(block);
    EXPECT_EQ(emu::Open().allocatedBlocks, baseline.allocatedBlocks) << "nothing handed to the caller to free";
    EXPECT_NE(OSMemFree(block.pool), NOERROR);
    EXPECT_EQ(BadFreesSinceStart(), 1);
    EXPECT_EQ(NSFProfileGetField(db, "CalendarProfile", 15, nullptr, 0, "Nobody", 6, &type, &block, &length),
              ERR_NOT_FOUND);
    NSFDbClose(db);
}

// ---- nif.h -------------------------------------------------------------------

TEST_F(CApiTest, FindDesignNoteHonoursClassAndFlagPattern) {
    DBHANDLE db = OpenDb("brackwater\\tarnconfig.nsf");
    NOTEID shown = 0, hidden = 0, found = 0;
    ASSERT_EQ(emu::CreateView(db, {"server", "", {}, {"Form"}, 0}, &shown), 0);
    ASSERT_EQ(emu::CreateView(db, {"($Hidden)|hidden", "n", {}, {"Form"}, 0}, &hidden), 0);
    EXPECT_EQ(NIFFindDesignNoteExt(db, "SERVER", NOTE_CLASS_VIEW, "-G40n^", &found, 0), NOERROR);
    EXPECT_EQ(found, shown);
    EXPECT_EQ(NIFFindView(db, "server", &found), NOERROR) << "the macro is the same call";
    EXPECT_EQ(NIFFindDesignNoteExt(db, "hidden", NOTE_CLASS_VIEW, "-G40n^", &found, 0), ERR_NOT_FOUND);
    EXPECT_EQ(NIFFindDesignNoteExt(db, "hidden", NOTE_CLASS_VIEW, "-G40^", &found, 0), NOERROR);
    EXPECT_EQ(found, hidden);
    EXPECT_EQ(NIFFindDesignNoteExt(db, "server", NOTE_CLASS_FORM, "-G40n^", &found, 0), ERR_NOT_FOUND);
    EXPECT_EQ(NIFFindDesignNoteExt(db, "absent", NOTE_CLASS_VIEW, "-G40n^", &found, 0), ERR_NOT_FOUND);
    NSFDbClose(db);
}

struct Read {
    STATUS status = 0;
    DHANDLE buffer = NULLHANDLE;
    WORD length = 0;
    DWORD skipped = 0, returned = 0;
    WORD signal = 0;
    std::vector<uint8_t> bytes;
};

Read ReadOnce(HCOLLECTION coll, COLLECTIONPOSITION* pos, DWORD mask, DWORD skip = 1, DWORD count = 0xFFFFFFFF) {
    Read r;
    r.status = NIFReadEntries(coll, pos, NAVIGATE_NEXT, skip, NAVIGATE_NEXT, count, mask, &r.buffer, &r.length,
                              &r.skipped, &r.returned, &r.signal);
    if (r.buffer) {
        const uint8_t* p = static_cast<const uint8_t*>(OSLockObject(r.buffer));
        r.bytes.assign(p, p + r.length);
        OSUnlockObject(r.buffer);
        EXPECT_EQ(OSMemFree(r.buffer), NOERROR);
    }
    return r;
}

TEST_F(CApiTest, ReadEntriesWalksTheWholeViewAndHandsOverEveryBuffer) {
    DBHANDLE db = OpenDb();
    std::vector<NOTEID> ids;
    for (const char* key : {"c", "a", "b", "e", "d"}) ids.push_back(Save(db, {emu::Text("Key", key)}));
    NOTEID view = 0;
    ASSERT_EQ(emu::CreateView(db, {"keys", "", {}, {"Key"}, 0}, &view), 0);
    DWORD collection = 0;  // a zeroed 4-byte variable, right for either width of HCOLLECTION
    UNID viewUnid{};
    NOTEHANDLE viewNote = NULLHANDLE;
    EXPECT_NE(NIFOpenCollection(db, db, view, 0, NULLHANDLE, reinterpret_cast<HCOLLECTION*>(&collection),
                                &viewNote, nullptr, nullptr, nullptr),
              NOERROR)
        << "rethViewNote is reserved";
    ASSERT_EQ(NIFOpenCollection(db, db, view, 0, NULLHANDLE, reinterpret_cast<HCOLLECTION*>(&collection), nullptr,
                                &viewUnid, nullptr, nullptr),
              NOERROR);
    EXPECT_NE(viewUnid.File.Innards[0] | viewUnid.Note.Innards[0], 0u);
    const HCOLLECTION coll = static_cast<HCOLLECTION>(collection);

    // The documented loop: skip 1 from position 0, read all, repeat while
    // more is signalled; pages of two here.
    emu::SetReadPageSize(2);
    COLLECTIONPOSITION pos{};
    std::vector<NOTEID> seen;
    int calls = 0;
    for (Read r;; ) {
        r = ReadOnce(coll, &pos, READ_MASK_NOTEID);
        ASSERT_EQ(r.status, NOERROR);
        EXPECT_EQ(r.skipped, 1u);
        for (size_t at = 0; at + 4 <= r.bytes.size(); at += 4) {
            NOTEID id;
            memcpy(&id, r.bytes.data() + at, 4);
            seen.push_back(id);
        }
        EXPECT_EQ(pos.Tumbler[0], seen.size()) << "the position stays on the last entry read";
        ++calls;
        if (!(r.signal & SIGNAL_MORE_TO_DO)) break;
        ASSERT_LT(calls, 10);
    }
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(seen, (std::vector<NOTEID>{ids[1], ids[2], ids[0], ids[4], ids[3]})) << "in view order";

    // Past the end: no entries, and still a buffer the caller must free.
    int allocated = emu::Open().allocatedBlocks;
    Read end;
    end.status = NIFReadEntries(coll, &pos, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 0xFFFFFFFF, READ_MASK_NOTEID,
                                &end.buffer, &end.length, &end.skipped, &end.returned, &end.signal);
    EXPECT_EQ(end.status, NOERROR);
    EXPECT_EQ(end.returned, 0u);
    EXPECT_EQ(end.skipped, 0u);
    ASSERT_NE(end.buffer, NULLHANDLE);
    EXPECT_EQ(emu::Open().allocatedBlocks, allocated + 1) << "held until the caller frees it";
    EXPECT_EQ(OSMemFree(end.buffer), NOERROR);

    // Id and summary values together: the DWORD first, then the value table.
    emu::SetReadPageSize(0);
    COLLECTIONPOSITION start{};
    Read both = ReadOnce(coll, &start, READ_MASK_NOTEID | READ_MASK_SUMMARYVALUES, 1, 1);
    ASSERT_EQ(both.returned, 1u);
    NOTEID id;
    memcpy(&id, both.bytes.data(), 4);
    EXPECT_EQ(id, ids[1]);
    ITEM_VALUE_TABLE table;
    memcpy(&table, both.bytes.data() + 4, sizeof table);
    EXPECT_EQ(table.Items, 1);
    EXPECT_EQ(table.Length, both.bytes.size() - 4) << "the table's length covers the whole block";
    EXPECT_EQ(both.bytes.back(), 'a');

    // A buffer freed while locked is refused.
    Read locked;
    start = COLLECTIONPOSITION{};
    ASSERT_EQ(NIFReadEntries(coll, &start, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 1, READ_MASK_NOTEID, &locked.buffer,
                             nullptr, nullptr, nullptr, nullptr),
              NOERROR);
    ASSERT_NE(OSLockObject(locked.buffer), nullptr);
    EXPECT_NE(OSMemFree(locked.buffer), NOERROR);
    OSUnlockObject(locked.buffer);
    EXPECT_EQ(OSMemFree(locked.buffer), NOERROR);
    EXPECT_EQ(NIFCloseCollection(coll), NOERROR);
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

// ---- mq.h ----------------------------------------------------------------------

class CApiMqTest : public CApiTest {
protected:
    void TearDown() override {
        emu::RemoveAllQueues();
        CApiTest::TearDown();
    }
};

TEST_F(CApiMqTest, QueueStatusesAreTheDocumentedCodes) {
    MQHANDLE q = 0;
    EXPECT_EQ(MQOpen("TARNabsent", 0, &q), ERR_NO_SUCH_MQ);
    ASSERT_EQ(MQOpen("TARNconf", MQ_OPEN_CREATE, &q), NOERROR);
    char buffer[8];
    WORD length = 9;
    EXPECT_EQ(MQGet(q, buffer, sizeof buffer, 0, 0, &length), ERR_MQ_EMPTY);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(MQGet(q, buffer, sizeof buffer, MQ_WAIT_FOR_MSG, 20, &length), ERR_MQ_TIMEOUT);

    char message[] = "0123456789";
    ASSERT_EQ(MQPut(q, NOPRIORITY, message, sizeof message, 0), NOERROR);
    EXPECT_EQ(MQGetCount(q), 1);
    EXPECT_EQ(MQGet(q, buffer, sizeof buffer, 0, 0, &length), ERR_MQ_BFR_TOO_SMALL);
    EXPECT_EQ(length, sizeof buffer);
    EXPECT_EQ(std::string(buffer, sizeof buffer), "01234567") << "truncated to the buffer";
    EXPECT_EQ(MQGetCount(q), 0);

    STATUS s = NOERROR;
    int accepted = 0;
    while ((s = MQPut(q, NOPRIORITY, message, 2, 0)) == NOERROR && accepted < 70000) ++accepted;
    EXPECT_EQ(s, ERR_MQ_EXCEEDED_QUOTA);
    EXPECT_EQ(MQGetCount(q), accepted);

    EXPECT_EQ(MQClose(q, 0), NOERROR);
    EXPECT_EQ(MQPut(q, NOPRIORITY, message, 2, 0), ERR_MQ_EMPTY) << "a closed handle";
    EXPECT_EQ(MQClose(q, 0), ERR_MQ_EMPTY);
    MQHANDLE again = 0;
    ASSERT_EQ(MQOpen("TARNconf", 0, &again), NOERROR) << "the queue outlives the handle";
    EXPECT_EQ(MQGetCount(again), accepted);
    MQClose(again, 0);
}

// ---- Fault injection by either name ---------------------------------------------

TEST_F(CApiTest, FaultsTakeRoleNamesAndFunctionNames) {
    DBHANDLE db = OpenDb();
    NOTEID id = Save(db, {emu::Text("Form", "A")});
    NOTEHANDLE note = NULLHANDLE;
    for (const char* name : {"OpenNote", "NSFNoteOpen"}) {
        ASSERT_TRUE(emu::InjectFault(name, emu::err::INJECTED, 1)) << name;
        EXPECT_EQ(NSFNoteOpen(db, id, 0, &note), emu::err::INJECTED) << name;
        ASSERT_EQ(NSFNoteOpen(db, id, 0, &note), NOERROR) << "only the first call";
        NSFNoteClose(note);
        emu::ClearFaults();
    }
    EXPECT_FALSE(emu::InjectFault("NoSuchFunction", emu::err::INJECTED));
    emu::Op op;
    ASSERT_TRUE(emu::OpFromName("NIFReadEntries", &op));
    EXPECT_EQ(op, emu::Op::ReadEntries);
    EXPECT_STREQ(emu::OpName(op), "ReadEntries");
    EXPECT_STREQ(emu::OpFunctionName(emu::Op::GetProfileField), "NSFProfileGetField");
    NSFDbClose(db);

    // EMU_FAULTS in a task process, by the function's name.
    SampleConfig cfg;
    cfg.logLevel = 1;
    CreateSampleDatabases(cfg);
    emu::SetIniVariable("TARN_Task_List", "nserver.exe");
    auto r = RunTask("nserver.exe", dataDir, "", {{"EMU_FAULTS", "EMCreateRecursionID=0x0519"}});
    EXPECT_NE(r.err.find("MainEntryPoint returned 1305"), std::string::npos) << r.err;
}

}  // namespace
