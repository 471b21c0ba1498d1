// The emulator's databases through the exported C API: notes and items across
// reopen, views, their pages and summary buffers, design
// lookups, profiles, Extension Manager events of saves and deletions with
// their argument lists, fault injection and the open counters.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "emu/emulator.h"
#include "support/test_support.h"

namespace {

class StoreTest : public tarntest::DataDirTest {
protected:
    void TearDown() override {
        tarntest::ExpectAllReleased();
        tarntest::DataDirTest::TearDown();
    }

    DBHANDLE OpenDb(const std::string& path) {
        EXPECT_EQ(emu::CreateDatabase(path), 0);
        DBHANDLE db = 0;
        EXPECT_EQ(NSFDbOpen(path.c_str(), &db), 0) << path;
        return db;
    }

    static std::string Text(NOTEHANDLE note, const char* name) {
        char buf[512];
        NSFItemGetText(note, name, buf, sizeof buf);
        return buf;
    }

    static NOTEID SaveNew(DBHANDLE db, const std::string& form) { return tarntest::SaveDocument(db, {{"Form", form}}); }
};

struct Page {
    std::vector<uint8_t> bytes;
    uint16_t length = 0;
    uint32_t skipped = 0, returned = 0;
    uint16_t signal = 0;
    uint32_t tumbler = 0;
};

// The documented call: skip 1 from the position, then read up to count.
Page Read(HCOLLECTION coll, COLLECTIONPOSITION* pos, uint32_t mask, uint32_t count = 0xFFFFFFFF) {
    Page p;
    DHANDLE buf = 0;
    EXPECT_EQ(NIFReadEntries(coll, pos, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, count, mask, &buf, &p.length, &p.skipped,
                             &p.returned, &p.signal),
              0);
    p.tumbler = pos->Tumbler[0];
    if (buf) {
        auto* data = static_cast<const uint8_t*>(OSLockObject(buf));
        p.bytes.assign(data, data + p.length);
        OSUnlockObject(buf);
        EXPECT_EQ(OSMemFree(buf), 0) << "the buffer is the caller's";
    }
    return p;
}

std::vector<NOTEID> Ids(const Page& p) {
    std::vector<NOTEID> ids(p.bytes.size() / 4);
    if (!ids.empty()) memcpy(ids.data(), p.bytes.data(), ids.size() * 4);
    return ids;
}

void PutLe16(std::vector<uint8_t>& b, std::initializer_list<size_t> words) {
    for (size_t v : words) {
        b.push_back(static_cast<uint8_t>(v & 0xFF));
        b.push_back(static_cast<uint8_t>(v >> 8));
    }
}

HCOLLECTION OpenView(DBHANDLE db, NOTEID view) {
    HCOLLECTION coll = 0;
    EXPECT_EQ(NIFOpenCollection(db, db, view, 0, 0, &coll, nullptr, nullptr, nullptr, nullptr), 0);
    return coll;
}

std::vector<NOTEID> ViewIds(DBHANDLE db, NOTEID view) {
    HCOLLECTION coll = OpenView(db, view);
    COLLECTIONPOSITION pos{};
    Page p = Read(coll, &pos, READ_MASK_NOTEID);
    EXPECT_EQ(NIFCloseCollection(coll), 0);
    return Ids(p);
}

TEST_F(StoreTest, DatabasesKeepIdAndThePathTheyWereOpenedWith) {
    ASSERT_EQ(emu::CreateDatabase("Mail\\Alice.nsf"), 0);
    EXPECT_TRUE(std::filesystem::exists(dataDir + "/mail/alice.nsf"));
    DBHANDLE a1 = 0, a2 = 0;
    ASSERT_EQ(NSFDbOpen("Mail/Alice.nsf", &a1), 0);
    ASSERT_EQ(NSFDbOpen("mail\\alice.nsf", &a2), 0);
    DBHANDLE other = OpenDb("mail\\bob.nsf");
    EXPECT_NE(a1, a2);
    EXPECT_EQ(emu::Open().databases, 3);

    auto idOf = [](DBHANDLE h) {
        DBID id{};
        EXPECT_EQ(NSFDbIDGet(h, &id), 0);
        return std::make_pair(id.Innards[0], id.Innards[1]);
    };
    EXPECT_EQ(idOf(a1), idOf(a2));
    EXPECT_NE(idOf(a1), idOf(other));

    char canonical[256];
    ASSERT_EQ(NSFDbPathGet(a1, canonical, nullptr), 0) << "the expanded path may be NULL";
    EXPECT_STREQ(canonical, "Mail\\Alice.nsf");
    ASSERT_EQ(NSFDbPathGet(a2, canonical, nullptr), 0);
    EXPECT_STREQ(canonical, "mail\\alice.nsf");

    DBHANDLE none = 0;
    EXPECT_EQ(NSFDbOpen("mail\\nobody.nsf", &none), emu::err::NOEXIST);
    EXPECT_EQ(none, 0u);

    EXPECT_EQ(NSFDbClose(a1), 0);
    EXPECT_EQ(NSFDbClose(a1), emu::err::INVALID_HANDLE);
    NSFDbClose(a2);
    NSFDbClose(other);
}

TEST_F(StoreTest, ItemsSurviveCloseAndReopen) {
    DBHANDLE db = OpenDb("brackwater\\qcapture.nsf");
    NOTEHANDLE note = 0;
    ASSERT_EQ(NSFNoteCreate(db, &note), 0);
    NOTEID id = 1;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    EXPECT_EQ(id, 0u) << "an unsaved note has no id";
    char action[] = "Change";
    ASSERT_EQ(NSFItemAppend(note, ITEM_SUMMARY, "Action", 6, TYPE_TEXT, action, 6), 0);
    action[0] = 'X';  // the data was copied: the caller's buffer stays its own
    ASSERT_EQ(NSFItemAppend(note, ITEM_SUMMARY, "Dup", 3, TYPE_TEXT, "first", 5), 0);
    ASSERT_EQ(NSFItemAppend(note, 0, "dup", 3, TYPE_TEXT, "second", 6), 0);
    // Only nameLength bytes of the name count.
    ASSERT_EQ(NSFItemAppend(note, ITEM_SUMMARY, "CalFormXYZ", 7, TYPE_TEXT, "Appointment", 11), 0);
    double status = 3;
    ASSERT_EQ(NSFItemSetNumber(note, "Status", &status), 0);
    status = 42.9;
    ASSERT_EQ(NSFItemSetNumber(note, "STATUS", &status), 0);  // replaces, whatever the case, and renames
    EXPECT_EQ(NSFItemGetLong(note, "Status", 99), 42);
    status = -7;
    ASSERT_EQ(NSFItemSetNumber(note, "STATUS", &status), 0);
    ASSERT_EQ(NSFNoteUpdate(note, 0), 0);
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    EXPECT_GE(id, 0x8F2u);
    ORIGINATORID oid{};
    NSFNoteGetInfo(note, _NOTE_OID, &oid);
    EXPECT_NE(oid.File.Innards[0] | oid.File.Innards[1] | oid.Note.Innards[0] | oid.Note.Innards[1], 0u);
    ASSERT_EQ(NSFNoteClose(note), 0);
    ASSERT_EQ(NSFDbClose(db), 0);

    db = OpenDb("brackwater\\qcapture.nsf");
    EXPECT_EQ(NSFNoteOpen(db, id + 1000, 0, &note), emu::err::BAD_NOTEID);
    ASSERT_EQ(NSFNoteOpen(db, id, 0, &note), 0);
    // Names ignore case; a duplicate name reads as its first item.
    EXPECT_EQ((std::vector<std::string>{Text(note, "ACTION"), Text(note, "Dup"), Text(note, "CalForm"),
                                        Text(note, "CalFormXYZ")}),
              (std::vector<std::string>{"Change", "first", "Appointment", ""}));
    // A number; a text or a missing item gives the default.
    EXPECT_EQ((std::vector<LONG>{NSFItemGetLong(note, "status", 99), NSFItemGetLong(note, "Action", 99),
                                 NSFItemGetLong(note, "Missing", 42)}),
              (std::vector<LONG>{-7, 99, 42}));

    ORIGINATORID again{};
    uint16_t cls = 0;
    DBHANDLE owner = 0;
    NSFNoteGetInfo(note, _NOTE_OID, &again);
    NSFNoteGetInfo(note, _NOTE_CLASS, &cls);
    NSFNoteGetInfo(note, _NOTE_DB, &owner);
    EXPECT_EQ(memcmp(&again, &oid, 16), 0) << "the UNID is kept";
    EXPECT_EQ(std::make_pair(cls, owner), std::make_pair(WORD{NOTE_CLASS_DOCUMENT}, db));

    // Both items of the name go; the note saves without them.
    EXPECT_EQ(NSFItemDelete(note, "DUP", 3), 0);
    EXPECT_EQ(NSFItemDelete(note, "Dup", 3), emu::err::ITEM_NOT_FOUND);
    ASSERT_EQ(NSFNoteUpdate(note, UPDATE_FORCE), 0);
    NSFNoteClose(note);

    const auto dump = tarntest::Notes("brackwater\\qcapture.nsf");
    ASSERT_EQ(dump.size(), 1u);
    EXPECT_EQ(dump[0].id, id);
    std::vector<std::tuple<std::string, WORD, WORD>> items;
    for (const auto& it : dump[0].items) items.emplace_back(it.name, it.type, it.flags);
    EXPECT_EQ(items, (decltype(items){{"Action", TYPE_TEXT, ITEM_SUMMARY}, {"CalForm", TYPE_TEXT, ITEM_SUMMARY},
                                      {"STATUS", TYPE_NUMBER, ITEM_SUMMARY}}));
    EXPECT_EQ(dump[0].items[0].texts, std::vector<std::string>{"Change"});
    NSFDbClose(db);
}

TEST_F(StoreTest, SummaryBufferIsByteExact) {
    DBHANDLE db = OpenDb("brackwater\\tarnconfig.nsf");
    NOTEID view = 0;
    ASSERT_EQ(tarntest::CreateView(db, {"maildblookup", "", {"Mail"}, {"MailFile", "Owner", "Count", "Missing"}, 0}, &view),
              0);
    NOTEID a = 0, b = 0, other = 0;
    ASSERT_EQ(emu::CreateDocument(db, {emu::Text("Form", "Mail"), emu::Text("MailFile", "mail\\zed.nsf"),
                                       emu::Text("Owner", "Zed"), emu::Number("Count", 2.5)},
                                  &a),
              0);
    ASSERT_EQ(emu::CreateDocument(db, {emu::Text("Form", "Mail"), emu::Text("MailFile", "Mail\\Amy.nsf"),
                                       emu::Text("Owner", ""), emu::Number("Count", -1)},
                                  &b),
              0);
    ASSERT_EQ(emu::CreateDocument(db, {emu::Text("Form", "Other"), emu::Text("MailFile", "mail\\no.nsf")}, &other), 0);

    auto entry = [](const std::string& file, const std::string& owner, double count) {
        // The total, the item count, each item's length (with its type
        // word), then each item's type word and value.
        std::vector<uint8_t> e;
        PutLe16(e, {4 + 8 + (2 + file.size()) + (2 + owner.size()) + (2 + 8), 4, 2 + file.size(), 2 + owner.size(),
                    10, 0, TYPE_TEXT});
        e.insert(e.end(), file.begin(), file.end());
        PutLe16(e, {TYPE_TEXT});
        e.insert(e.end(), owner.begin(), owner.end());
        PutLe16(e, {TYPE_NUMBER});
        const auto* d = reinterpret_cast<const uint8_t*>(&count);
        e.insert(e.end(), d, d + 8);
        return e;
    };
    // "M" sorts before "m": bytewise.
    std::vector<uint8_t> expected = entry("Mail\\Amy.nsf", "", -1);
    std::vector<uint8_t> second = entry("mail\\zed.nsf", "Zed", 2.5);
    expected.insert(expected.end(), second.begin(), second.end());

    HCOLLECTION coll = OpenView(db, view);
    COLLECTIONPOSITION pos{};
    Page p = Read(coll, &pos, READ_MASK_SUMMARYVALUES);
    EXPECT_EQ(std::make_tuple(p.returned, p.signal, size_t{p.length}), std::make_tuple(2u, WORD{0}, expected.size()));
    EXPECT_EQ(p.bytes, expected);
    EXPECT_EQ(NIFCloseCollection(coll), 0);

    EXPECT_EQ(ViewIds(db, view), (std::vector<NOTEID>{b, a}));
    NSFDbClose(db);
}

// Order by the sort column, ties by note id; only documents of the forms
// (an element of a form list will do), never deleted notes, design notes or
// profiles.
TEST_F(StoreTest, ViewsSelectAndOrderTheirDocuments) {
    DBHANDLE db = OpenDb("mail\\alice.nsf");
    NOTEID byKey = 0, byId = 0, all = 0;
    ASSERT_EQ(tarntest::CreateView(db, {"ByKey", "", {"A", "B"}, {"Key"}, 0}, &byKey), 0);
    ASSERT_EQ(tarntest::CreateView(db, {"ById", "", {"A"}, {"Key"}, -1}, &byId), 0);
    ASSERT_EQ(tarntest::CreateView(db, {"All", "", {}, {"Key"}, -1}, &all), 0);
    ASSERT_EQ(emu::SetProfile(db, "CalendarProfile", {emu::Text("Form", "A"), emu::Text("Key", "p")}), 0);
    std::vector<NOTEID> ids(5);
    const char* keys[] = {"b", "a", "b", "c", "a"};
    const char* forms[] = {"A", "B", "A", "C", "A"};
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(emu::CreateDocument(db, {emu::Text("Form", forms[i]), emu::Text("Key", keys[i])}, &ids[i]), 0);
    // A form list matches when any element does; case counts.
    ids.resize(7);
    ASSERT_EQ(emu::CreateDocument(db, {emu::TextList("Form", {"C", "B"}), emu::Text("Key", "d")}, &ids[5]), 0);
    ASSERT_EQ(emu::CreateDocument(db, {emu::Text("Form", "a"), emu::Text("Key", "a")}, &ids[6]), 0);
    NOTEID gone = 0;
    ASSERT_EQ(emu::CreateDocument(db, {emu::Text("Form", "A"), emu::Text("Key", "a")}, &gone), 0);
    ASSERT_EQ(emu::DeleteByStub(db, gone, false), 0);

    EXPECT_EQ(ViewIds(db, byKey), (std::vector<NOTEID>{ids[1], ids[4], ids[0], ids[2], ids[5]}));
    EXPECT_EQ(ViewIds(db, byId), (std::vector<NOTEID>{ids[0], ids[2], ids[4]}));
    EXPECT_EQ(ViewIds(db, all), ids);

    // Opening something that is not a view is refused.
    HCOLLECTION coll = 0;
    EXPECT_EQ(NIFOpenCollection(db, db, ids[0], 0, 0, &coll, nullptr, nullptr, nullptr, nullptr), emu::err::NOT_FOUND);
    EXPECT_EQ(NIFOpenCollection(db, db, 0x7FFFFFF0, 0, 0, &coll, nullptr, nullptr, nullptr, nullptr), emu::err::BAD_NOTEID);
    NSFDbClose(db);
}

// The documented loop (skip 1 from position 0, read all, repeat while more is
// signalled), the end of the view, and who frees which buffer.
TEST_F(StoreTest, ReadsComeInPagesAndHandOverEveryBuffer) {
    DBHANDLE db = OpenDb("brackwater\\tarnconfig.nsf");
    std::vector<NOTEID> ids;
    for (const char* key : {"c", "a", "g", "b", "e", "d", "f"}) {
        ids.push_back(0);
        ASSERT_EQ(emu::CreateDocument(db, {emu::Text("Key", key)}, &ids.back()), 0);
    }
    const std::vector<NOTEID> inOrder = {ids[1], ids[3], ids[0], ids[5], ids[4], ids[6], ids[2]};
    NOTEID view = 0;
    ASSERT_EQ(tarntest::CreateView(db, {"v", "", {}, {"Key"}, 0}, &view), 0);
    DWORD collection = 0;  // a zeroed 4-byte variable, right for either width of HCOLLECTION
    UNID viewUnid{};
    ASSERT_EQ(NIFOpenCollection(db, db, view, 0, 0, reinterpret_cast<HCOLLECTION*>(&collection), nullptr, &viewUnid,
                                nullptr, nullptr),
              0);
    EXPECT_NE(viewUnid.File.Innards[0] | viewUnid.Note.Innards[0], 0u);
    const HCOLLECTION coll = static_cast<HCOLLECTION>(collection);

    emu::SetReadPageSize(3);
    COLLECTIONPOSITION pos{};
    std::vector<NOTEID> seen;
    const uint32_t wantReturned[] = {3, 3, 1};
    for (int i = 0; i < 3; ++i) {
        Page p = Read(coll, &pos, READ_MASK_NOTEID);
        EXPECT_EQ(std::make_tuple(p.skipped, p.returned, uint32_t{p.length}, p.signal & SIGNAL_MORE_TO_DO),
                  std::make_tuple(1u, wantReturned[i], 4 * wantReturned[i], i < 2 ? SIGNAL_MORE_TO_DO : 0));
        for (NOTEID id : Ids(p)) seen.push_back(id);
        EXPECT_EQ(p.tumbler, seen.size()) << "the position stays on the last entry read";
    }
    EXPECT_EQ(seen, inOrder);

    // Past the end: no entries, and still a buffer the caller must free.
    const int allocated = emu::Open().allocatedBlocks;
    DHANDLE buffer = 0;
    WORD length = 1, signal = 1;
    DWORD skipped = 1, returned = 1;
    ASSERT_EQ(NIFReadEntries(coll, &pos, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 0xFFFFFFFF, READ_MASK_NOTEID, &buffer, &length,
                             &skipped, &returned, &signal),
              0);
    EXPECT_EQ(std::make_tuple(returned, skipped, length, signal), std::make_tuple(DWORD{0}, DWORD{0}, WORD{0}, WORD{0}));
    ASSERT_NE(buffer, 0u);
    EXPECT_EQ(emu::Open().allocatedBlocks, allocated + 1) << "held until the caller frees it";
    EXPECT_EQ(OSMemFree(buffer), 0);

    emu::SetReadPageSize(0);
    COLLECTIONPOSITION start{};
    // A buffer freed while locked is refused.
    ASSERT_EQ(NIFReadEntries(coll, &start, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 1, READ_MASK_NOTEID, &buffer, nullptr,
                             nullptr, nullptr, nullptr),
              0);
    ASSERT_NE(OSLockObject(buffer), nullptr);
    EXPECT_NE(OSMemFree(buffer), 0);
    OSUnlockObject(buffer);
    EXPECT_EQ(OSMemFree(buffer), 0);
    EXPECT_EQ(NIFCloseCollection(coll), 0);
    NSFDbClose(db);
}

TEST_F(StoreTest, FindViewMatchesNameOrAliasAndSkipsHiddenDesigns) {
    DBHANDLE db = OpenDb("brackwater\\tarnconfig.nsf");
    NOTEID server = 0, hidden = 0, visible = 0, lookup = 0, flagged = 0;
    ASSERT_EQ(tarntest::CreateView(db, {"Server Settings|server", "", {}, {"A"}, 0}, &server), 0);
    ASSERT_EQ(tarntest::CreateView(db, {"dsdlookup", "notes", {}, {"A"}, 0}, &hidden), 0);
    ASSERT_EQ(tarntest::CreateView(db, {"dsdlookup", "web", {}, {"A"}, 0}, &visible), 0);
    ASSERT_EQ(tarntest::CreateView(db, {"MailDbLookup", "", {}, {"A"}, 0}, &lookup), 0);
    // Folders and other design flags the kit's importer does not write: the
    // design notes as the database would hold them.
    for (const auto& [title, flags] : {std::pair{"folder", "G"}, {"four", "4"}, {"zero", "P0"}})
        ASSERT_EQ(emu::CreateDocument(db, {emu::Text("$TITLE", title), emu::Text("$Flags", flags)}, nullptr,
                                      NOTE_CLASS_VIEW),
                  0);
    ASSERT_EQ(tarntest::CreateView(db, {"nav", "notes", {}, {}, 0}, nullptr), 0);
    ASSERT_EQ(tarntest::CreateView(db, {"($Hidden)|hidden", "notes", {}, {"A"}, 0}, &flagged), 0);
    ASSERT_EQ(emu::CreateDocument(db, {emu::Text("$TITLE", "document")}, nullptr), 0);

    auto find = [&](const char* name, NOTEID* id) { return NIFFindDesignNoteExt(db, name, NOTE_CLASS_VIEW, "-G40n^", id, 0); };
    NOTEID id = 0;
    for (const auto& [name, want] : {std::pair{"SERVER", server}, {"server settings", server},
                                     {"maildblookup", lookup}, {"dsdlookup", visible}}) {
        EXPECT_EQ(find(name, &id), 0) << name;
        EXPECT_EQ(id, want) << name;
    }
    for (const char* name : {"folder", "nav", "four", "zero", "document", "serv", "", "Server Settings|server", "hidden"})
        EXPECT_EQ(find(name, &id), emu::err::NOT_FOUND) << name;
    EXPECT_EQ(NIFFindDesignNoteExt(db, "hidden", NOTE_CLASS_VIEW, "-G40^", &id, 0), 0) << "a pattern without n";
    EXPECT_EQ(id, flagged);
    EXPECT_EQ(NIFFindDesignNoteExt(db, "server", NOTE_CLASS_FORM, "-G40n^", &id, 0), emu::err::NOT_FOUND);
    NSFDbClose(db);
}

TEST_F(StoreTest, ProfileFieldsAreHostOwnedBlocks) {
    const int badFrees = emu::Open().badFrees;
    DBHANDLE db = OpenDb("mail\\alice.nsf");
    ASSERT_EQ(emu::SetProfile(db, "CalendarProfile", {emu::Text("Owner", "CN=Alice Smith/O=Acme")}), 0);
    ASSERT_EQ(emu::SetProfile(db, "CalendarProfile", {emu::Text("Owner", "CN=Alice/O=Acme")}), 0);  // replaces

    WORD type = 0;
    BLOCKID block{};
    DWORD length = 0;
    ASSERT_EQ(NSFProfileGetField(db, "calendarprofile", 15, nullptr, 0, "OWNER", 5, &type, &block, &length), 0);
    EXPECT_EQ(type, TYPE_TEXT);
    EXPECT_NE(block.block, 0) << "a block inside its pool: the offset matters";
    const std::string owner = "CN=Alice/O=Acme";
    EXPECT_EQ(length, 2 + owner.size());
    auto* bytes = OSLockBlock(uint8_t, block);
    ASSERT_NE(OSLockObject(block.pool), nullptr);
    OSUnlockObject(block.pool);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), length), std::string("\x00\x05", 2) + owner);
    OSUnlockBlock(block);
    EXPECT_EQ(OSMemFree(block.pool), emu::err::INVALID_HANDLE) << "the caller never frees a profile value";
    EXPECT_EQ(emu::Open().badFrees - badFrees, 1);
    EXPECT_EQ(emu::Open().allocatedBlocks, 0);

    for (const auto& [profile, field] : {std::pair{"CalendarProfile", "Nobody"}, {"Delegation", "Owner"}})
        EXPECT_EQ(NSFProfileGetField(db, profile, static_cast<WORD>(strlen(profile)), nullptr, 0, field,
                                     static_cast<WORD>(strlen(field)), &type, &block, &length),
                  emu::err::NOT_FOUND);
    EXPECT_TRUE(tarntest::Notes("mail\\alice.nsf").empty()) << "profiles are no documents for tools";
    NSFDbClose(db);
}

struct Seen {
    uint16_t event, phase;
    STATUS status;
    uintptr_t a0, a1;
    const void* unids;
    NOTEID noteId;
    std::vector<NOTEID> table;
    bool canOpen;
};
std::vector<Seen> gSeen;

// The arguments of the event, read in order as the core function passes
// them: a handle, then the update flags (a WORD promoted to int, or a DWORD)
// or the id table and the UNID array.
STATUS Record(EMRECORD* rec) {
    va_list ap;
    va_copy(ap, rec->Ap);
    uintptr_t a0 = va_arg(ap, DHANDLE);
    uintptr_t a1 = rec->EId == EM_NSFNOTEUPDATE ? static_cast<WORD>(va_arg(ap, int)) : va_arg(ap, DWORD);
    const void* unids = rec->EId == EM_NSFDBDELETENOTES ? static_cast<const void*>(va_arg(ap, UNID*)) : &gSeen;
    va_end(ap);
    Seen s{rec->EId, rec->NotificationType, rec->Status, a0, a1, unids, 0, {}, false};
    if (rec->EId == EM_NSFDBDELETENOTES) {
        DWORD id = 0;
        for (BOOL first = TRUE; IDScan(static_cast<DHANDLE>(a1), first, &id); first = FALSE) {
            s.table.push_back(id);
            NOTEHANDLE n = 0;
            if (NSFNoteOpen(static_cast<DBHANDLE>(a0), id, 0, &n) == 0) {
                s.canOpen = true;
                NSFNoteClose(n);
            }
        }
    } else {
        NSFNoteGetInfo(static_cast<NOTEHANDLE>(a0), _NOTE_ID, &s.noteId);
    }
    gSeen.push_back(s);
    return ERR_EM_CONTINUE;
}

class EmStoreTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        gSeen.clear();
        // Twice each: every callback must read the arguments from their start.
        for (int twice = 0; twice < 2; ++twice)
            for (uint16_t ev : {EM_NSFNOTEUPDATE, EM_NSFNOTEUPDATEXTENDED, EM_NSFDBDELETENOTES}) {
                HEMREGISTRATION h = 0;
                ASSERT_EQ(EMRegister(ev, EM_REG_BEFORE | EM_REG_AFTER, Record, 0, &h), 0);
                regs.push_back(h);
            }
    }
    // Both registrations saw each event alike: keeps one of each pair, and
    // tells whether one event before and one after are left.
    static bool BeforeAndAfter() {
        if (gSeen.size() != 4) {
            ADD_FAILURE() << gSeen.size() << " calls";
            return false;
        }
        auto key = [](const Seen& s) {
            return std::tie(s.event, s.phase, s.status, s.a0, s.a1, s.unids, s.noteId, s.table, s.canOpen);
        };
        std::vector<Seen> once;
        for (size_t i = 0; i < gSeen.size(); i += 2) {
            EXPECT_TRUE(key(gSeen[i]) == key(gSeen[i + 1])) << "event " << i;
            once.push_back(gSeen[i]);
        }
        gSeen = once;
        return gSeen[0].phase == EM_BEFORE && gSeen[1].phase == EM_AFTER;
    }
    void TearDown() override {
        for (HEMREGISTRATION h : regs) EXPECT_EQ(EMDeregister(h), 0);
        if (!regs.empty()) {
            EXPECT_NE(EMDeregister(regs[0]), 0) << "only once";
        }
        StoreTest::TearDown();
    }
    std::vector<HEMREGISTRATION> regs;
};

TEST_F(EmStoreTest, SavesStubsAndDeletionsRaiseEventsBeforeAndAfterWithTheirArguments) {
    DBHANDLE db = OpenDb("mail\\alice.nsf");
    NOTEHANDLE note = 0;
    ASSERT_EQ(NSFNoteCreate(db, &note), 0);
    ASSERT_EQ(NSFNoteUpdate(note, UPDATE_FORCE | UPDATE_NOCOMMIT), 0);
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    ASSERT_TRUE(BeforeAndAfter());
    EXPECT_EQ(gSeen[0].event, EM_NSFNOTEUPDATE);
    EXPECT_EQ(gSeen[0].a0, note);
    EXPECT_EQ(gSeen[0].a1, DWORD(UPDATE_FORCE | UPDATE_NOCOMMIT));
    EXPECT_EQ(gSeen[0].noteId, 0u) << "before the first save the note has no id";
    EXPECT_EQ(gSeen[1].status, 0);
    EXPECT_EQ(gSeen[1].noteId, id);

    gSeen.clear();
    ASSERT_EQ(NSFNoteUpdateExtended(note, UPDATE_SHARE_SECOND | UPDATE_FORCE), 0);
    ASSERT_TRUE(BeforeAndAfter());
    EXPECT_EQ(gSeen[0].event, EM_NSFNOTEUPDATEXTENDED);
    EXPECT_EQ(gSeen[0].a1, DWORD(UPDATE_SHARE_SECOND | UPDATE_FORCE)) << "all 32 bits";
    EXPECT_EQ(gSeen[0].a0, note);
    EXPECT_EQ(gSeen[1].event, EM_NSFNOTEUPDATEXTENDED);

    // A stub written through another handle: this handle's save then fails,
    // and the after event carries the failure.
    gSeen.clear();
    ASSERT_EQ(emu::DeleteByStub(db, id, false), 0);
    ASSERT_TRUE(BeforeAndAfter());
    EXPECT_EQ(gSeen[0].event, EM_NSFNOTEUPDATE);
    EXPECT_EQ(gSeen[0].a1, UPDATE_DELETED);
    EXPECT_EQ(gSeen[0].noteId, id);
    EXPECT_EQ(gSeen[1].a1, UPDATE_DELETED);
    NOTEHANDLE reopened = 0;
    EXPECT_EQ(NSFNoteOpen(db, id, 0, &reopened), emu::err::NOTE_DELETED);
    gSeen.clear();
    EXPECT_EQ(NSFNoteUpdate(note, 0), emu::err::NOTE_DELETED);
    ASSERT_TRUE(BeforeAndAfter());
    EXPECT_EQ(gSeen[1].status, emu::err::NOTE_DELETED);
    NSFNoteClose(note);

    // The caller's own stub save passes its flags as they are.
    ASSERT_EQ(NSFNoteOpen(db, SaveNew(db, "Memo"), 0, &note), 0);
    gSeen.clear();
    EXPECT_EQ(NSFNoteUpdate(note, UPDATE_DELETED), 0);
    NSFNoteClose(note);
    ASSERT_TRUE(BeforeAndAfter());
    EXPECT_EQ(gSeen[0].a1, UPDATE_DELETED);

    // A deletion passes the database and the id table, ascending: the notes
    // open before it, are gone after it, and no other note goes.
    const NOTEID keep = SaveNew(db, "Memo"), a = SaveNew(db, "Appointment"), b = SaveNew(db, "Task");
    gSeen.clear();
    ASSERT_EQ(emu::DeleteNotes(db, {b, a}), 0);
    ASSERT_TRUE(BeforeAndAfter());
    for (const Seen& s : gSeen)
        EXPECT_EQ(std::tie(s.event, s.a0, s.table),
                  std::make_tuple(WORD{EM_NSFDBDELETENOTES}, uintptr_t{db}, std::vector<NOTEID>{a, b}));
    EXPECT_EQ(std::make_pair(gSeen[0].canOpen, gSeen[1].canOpen), std::make_pair(true, false));
    ASSERT_EQ(NSFNoteOpen(db, keep, 0, &note), 0);
    NSFNoteClose(note);
    EXPECT_EQ(emu::DeleteNotes(0, {keep}), emu::err::INVALID_HANDLE);
    NSFDbClose(db);
}

TEST_F(StoreTest, InjectedFaultsFailTheOperationCleanly) {
    emu::InjectFault(emu::Op::OpenDatabase, emu::err::INJECTED);
    ASSERT_EQ(emu::CreateDatabase("mail\\alice.nsf"), 0);
    DBHANDLE db = 0;
    EXPECT_EQ(NSFDbOpen("mail\\alice.nsf", &db), emu::err::INJECTED);
    EXPECT_EQ(emu::Open().databases, 0);
    emu::ClearFaults();
    db = OpenDb("mail\\alice.nsf");

    // Only the second save fails; it raises no events and stores nothing.
    static int calls;  // static: the callback is a plain function
    calls = 0;
    HEMREGISTRATION h = 0;
    ASSERT_EQ(EMRegister(EM_NSFNOTEUPDATE, EM_REG_BEFORE, [](EMRECORD*) -> STATUS { ++calls; return ERR_EM_CONTINUE; }, 0, &h), 0);
    emu::InjectFault(emu::Op::UpdateNote, emu::err::DB_IO, 2);
    NOTEHANDLE n = 0;
    ASSERT_EQ(NSFNoteCreate(db, &n), 0);
    EXPECT_EQ(NSFNoteUpdate(n, 0), 0);
    EXPECT_EQ(NSFItemAppend(n, 0, "Form", 4, TYPE_TEXT, "x", 1), 0);
    EXPECT_EQ(NSFNoteUpdate(n, 0), emu::err::DB_IO);
    EXPECT_EQ(calls, 1);
    EMDeregister(h);
    NOTEID id = 0;
    NSFNoteGetInfo(n, _NOTE_ID, &id);
    NSFNoteClose(n);
    ASSERT_EQ(NSFNoteOpen(db, id, 0, &n), 0);
    EXPECT_EQ(NSFItemInfo(n, "Form", 4, nullptr, nullptr, nullptr, nullptr), emu::err::ITEM_NOT_FOUND);
    NSFNoteClose(n);

    EXPECT_FALSE(emu::InjectFault("NoSuchFunction", emu::err::INJECTED));
    NSFDbClose(db);

    // The runner's own lines name a code the host has no text for, as the add-in's do.
    tarntest::SampleConfig cfg;
    cfg.logLevel = 1;
    tarntest::CreateSampleDatabases(cfg);
    emu::SetIniVariable("TARN_Task_List", "nserver.exe");
    auto r = tarntest::RunTask("nserver.exe", dataDir, "create a1 mail\\alice.nsf Form=Memo\n",
                               {{"EMU_FAULTS", "NSFNoteCreate=0x7777"}});
    EXPECT_NE(r.err.find("runner: line 1: create failed: Unknown error code 14199 (0x7777)"), std::string::npos)
        << r.err;
}

// Whatever the call, a handle it was not given is refused, not followed.
TEST_F(StoreTest, BadHandlesAndArgumentsAreRefused) {
    DBHANDLE db = OpenDb("mail\\alice.nsf");
    NOTEHANDLE n = 0;
    double d = 1;
    HCOLLECTION coll = 0;
    COLLECTIONPOSITION pos{};
    for (STATUS s : {NSFNoteOpen(0xDEAD, 0x8F2, 0, &n), NSFNoteOpen(db, 0x12345, 0, nullptr), NSFNoteClose(0xDEAD),
                     NSFNoteUpdateExtended(db, 0) /* a database handle is no note */,
                     NSFItemInfo(0xDEAD, "Form", 4, nullptr, nullptr, nullptr, nullptr),
                     NSFItemAppend(0xDEAD, 0, "Form", 4, TYPE_TEXT, "x", 1), NSFItemSetNumber(0xDEAD, "N", &d),
                     NIFOpenCollection(db, 0xDEAD, 0x8F2, 0, 0, &coll, nullptr, nullptr, nullptr, nullptr),
                     NIFReadEntries(0xDEAD, &pos, 1, 1, 1, 1, READ_MASK_NOTEID, nullptr, nullptr, nullptr, nullptr,
                                    nullptr)})
        EXPECT_EQ(s, emu::err::INVALID_HANDLE);
    EXPECT_EQ(NSFItemGetLong(0xDEAD, "N", 5), 5);
    char buf[4] = "abc";
    EXPECT_EQ(NSFItemGetText(0xDEAD, "N", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");

    ASSERT_EQ(NSFNoteCreate(db, &n), 0);
    EXPECT_EQ(NSFItemAppend(n, 0, "Form", 4, TYPE_TEXT, nullptr, 5), emu::err::INVALID_HANDLE);
    EXPECT_EQ(NSFItemAppend(n, 0, "Empty", 5, TYPE_TEXT, nullptr, 0), 0);
    EXPECT_EQ(NSFNoteUpdate(n, UPDATE_DELETED), emu::err::BAD_NOTEID) << "an unsaved note cannot become a stub";
    NSFNoteClose(n);
    NSFDbClose(db);
}

}  // namespace
