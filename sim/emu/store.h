// Storage of the emulator's databases: SQLite files under the data directory holding
// notes with typed items, views as design notes, profile documents, and the
// note operations that raise Extension Manager events as a server does.
//
// Schema. meta(key, value): the 8-byte database id. notes: one row a note,
// its class, originator id words, deletion flag (a deleted note's row is its
// deletion stub), the time of its last change (hundredths of a second since
// 1970, UTC) and, for profile documents, the profile name. items: the note's items in order (name, type, flags,
// value bytes without the type word). Views are class-8 notes whose items
// $TITLE, $Flags, $Forms, $Columns and $Sort describe them.
//
// Several task processes and many threads share the files: WAL journal, a
// busy time-out, and a mutex per connection. No lock is held while events
// are dispatched, since callbacks open and save notes themselves.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "emu/internal.h"

namespace emu {

struct Item {
    std::string name;
    uint16_t type = TYPE_TEXT;
    uint16_t flags = ITEM_SUMMARY;
    std::string value;  // bytes, without the type word
};

struct Database {
    sqlite3* conn = nullptr;
    std::mutex mutex;
    std::string canonical;  // as opened, with the server's separator
    std::string file;
    DBID id{};
    uint64_t owner = 0;  // the thread that opened the handle (detail::ThreadToken)
    std::vector<MEMHANDLE> hostBlocks;  // profile values handed out
    // Profile values belong to the handle that asked for them.
    void ReleaseBlocks() {
        std::vector<MEMHANDLE> blocks;
        {
            std::lock_guard lock(mutex);
            blocks.swap(hostBlocks);
        }
        for (MEMHANDLE h : blocks) detail::ReleaseHostBlock(h);
    }
    ~Database() {
        ReleaseBlocks();
        // Notes still open keep the connection; it goes with the last of them.
        if (conn) sqlite3_close_v2(conn);
    }
};
using DbPtr = std::shared_ptr<Database>;

struct Note {
    DbPtr db;
    DBHANDLE dbHandle = 0;
    NOTEID id = 0;
    uint16_t noteClass = NOTE_CLASS_DOCUMENT;
    ORIGINATORID oid{};
    uint64_t owner = 0;  // the thread that opened or created the handle
    std::vector<Item> items;
    std::vector<MEMHANDLE> itemBlocks;  // item values handed out; the note owns them
};
using NotePtr = std::shared_ptr<Note>;

// Where a value starts inside a block the host hands out: not at the pool's
// start, so a reader that ignores BLOCKID.block reads the wrong bytes.
constexpr BLOCK kValueOffset = 8;

// Notes' own limit of columns in a view; it also keeps an entry's header
// well inside its 16-bit length.
constexpr size_t kMaxColumns = 289;

struct Entry {
    NOTEID id;
    std::vector<std::pair<uint16_t, std::string>> values;  // type 0 = no value
    std::string sortKey;
};

struct Collection {
    uint64_t owner = 0;  // the thread that opened it
    std::vector<Entry> entries;
};

extern std::mutex gMutex;  // the handle tables
extern std::unordered_map<DBHANDLE, DbPtr> gDbs;
extern std::unordered_map<NOTEHANDLE, NotePtr> gNotes;
extern std::unordered_map<HCOLLECTION, std::shared_ptr<Collection>> gCollections;
extern std::atomic<uint32_t> gPageSize;

DbPtr FindDb(DBHANDLE h);
// The same for a C API function: null too when the handle is another
// thread's (recorded as a violation; see detail::MayUse).
DbPtr UseDb(DBHANDLE h, Op op);
NotePtr UseNote(NOTEHANDLE h, Op op);
std::shared_ptr<Collection> UseCollection(HCOLLECTION h, Op op);
// Opens the database file of a canonical path under a new handle.
STATUS OpenDatabaseHandle(const std::string& canonical, DBHANDLE* db);
// Remembers a successful save's flags (SaveFlags).
void RecordSave(const Database& db, NOTEID id, DWORD flags, bool extended);
// A close flushes what UPDATE_NOCOMMIT saves left unflushed in the file.
void FlushDatabase(const std::string& file);
NotePtr FindNote(NOTEHANDLE h);
NOTEHANDLE AddNote(NotePtr note);

// Takes a handle's object out of its table and counts it closed; null for a
// handle the table does not hold.
template <typename Table>
typename Table::mapped_type TakeHandle(Table& table, typename Table::key_type h, detail::Counter counter) {
    std::lock_guard lock(gMutex);
    auto it = table.find(h);
    if (it == table.end()) return nullptr;
    auto taken = std::move(it->second);
    table.erase(it);
    detail::CountOpen(counter, -1);
    return taken;
}

uint32_t Random32();
// A new note's originator id (its UNID): random, as a server makes one.
void NewOid(ORIGINATORID* oid);
bool SameName(const std::string& a, const char* b, size_t len);
std::string Canonical(const std::string& path);

// A database file's name is UTF-8 (as SQLite takes it); the file system
// calls get it as such, not in the Windows code page a narrow name means.
inline std::filesystem::path FileSystemPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string Utf8Name(const std::filesystem::path& path) {
    const std::u8string u = path.u8string();
    return std::string(u.begin(), u.end());
}

// ---- SQL helpers (the database's mutex is held by the caller) ----

bool Exec(sqlite3* conn, const char* sql);

struct Stmt {
    sqlite3_stmt* s = nullptr;
    Stmt(sqlite3* conn, const char* sql) { sqlite3_prepare_v2(conn, sql, -1, &s, nullptr); }
    ~Stmt() { sqlite3_finalize(s); }
    explicit operator bool() const { return s != nullptr; }
};

extern const char kSchema[];
sqlite3* OpenFile(const std::string& file, bool create);
// Adds the notes' modification time to a file made without it.
void EnsureModifiedColumn(sqlite3* conn, const std::string& file);
// The time a change is stamped with: hundredths of a second since 1970, UTC.
int64_t NowHundredths();
bool LoadItems(sqlite3* conn, NOTEID id, std::vector<Item>* items);
bool WriteItems(sqlite3* conn, NOTEID id, const std::vector<Item>& items);
// The row of a new note (no items); its id, 0 on failure. The caller holds
// the database's mutex and a transaction.
NOTEID InsertNoteRow(sqlite3* conn, const Note& note, const char* profile = nullptr);
// Inserts (id 0) or rewrites a note with its items, in one transaction.
STATUS Store(Database& db, Note& note, const char* profile = nullptr);
STATUS MarkDeleted(Database& db, NOTEID id);
// Reads a note row; NOT_FOUND-like statuses for missing or deleted notes.
STATUS LoadNote(Database& db, NOTEID id, Note* note);

std::string PackTextList(const std::vector<std::string>& texts);
std::vector<std::string> UnpackTextList(const std::string& v);
Item FromValue(const ItemValue& v);
ItemValue ToValue(const Item& it);
const Item* FindItem(const std::vector<Item>& items, const char* name, size_t len);
std::string FirstText(const Item& it);
// One term of an imported view's selection (dxl.cc) against a note's items.
bool SelectionTermMatches(const std::string& term, const std::vector<Item>& items);

}  // namespace emu
