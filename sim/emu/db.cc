// Databases of the emulator: SQLite files under the data directory holding
// notes with typed items, views as design notes, profile documents, and the
// note operations that raise Extension Manager events as a server does.
//
// Schema. meta(key, value): the 8-byte database id. notes: one row a note,
// its class, originator id words, deletion flag and, for profile documents,
// the profile name. items: the note's items in order (name, type, flags,
// value bytes without the type word). Views are class-8 notes whose items
// $TITLE, $Flags, $Forms, $Columns and $Sort describe them.
//
// Several task processes and many threads share the files: WAL journal, a
// busy time-out, and a mutex per connection. No lock is held while events
// are dispatched, since callbacks open and save notes themselves.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "emu/internal.h"

namespace fs = std::filesystem;

namespace emu {
namespace {

struct Item {
    std::string name;
    uint16_t type = TYPE_TEXT;
    uint16_t flags = ITEM_SUMMARY;
    std::string value;  // bytes, without the type word
};

struct Database {
    sqlite3* conn = nullptr;
    std::mutex mutex;
    std::string canonical;  // as opened, with backslashes
    std::string file;
    DBID id{};
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
    std::vector<Entry> entries;
};

std::mutex gMutex;  // the handle tables
std::unordered_map<DBHANDLE, DbPtr> gDbs;
std::unordered_map<NOTEHANDLE, NotePtr> gNotes;
std::unordered_map<HCOLLECTION, std::shared_ptr<Collection>> gCollections;
std::atomic<uint32_t> gPageSize{0};

DbPtr FindDb(DBHANDLE h) {
    std::lock_guard lock(gMutex);
    auto it = gDbs.find(h);
    return it == gDbs.end() ? nullptr : it->second;
}

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

NotePtr FindNote(NOTEHANDLE h) {
    std::lock_guard lock(gMutex);
    auto it = gNotes.find(h);
    return it == gNotes.end() ? nullptr : it->second;
}

uint32_t Random32() {
    static std::mutex m;
    static std::mt19937 rng{std::random_device{}()};
    std::lock_guard lock(m);
    return rng();
}

bool SameName(const std::string& a, const char* b, size_t len) {
    if (a.size() != len) return false;
    for (size_t i = 0; i < len; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string Canonical(const std::string& path) {
    std::string c = path;
    for (char& ch : c)
        if (ch == '/') ch = '\\';
    return c;
}

// ---- SQL helpers (the database's mutex is held by the caller) ----

bool Exec(sqlite3* conn, const char* sql) { return sqlite3_exec(conn, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

struct Stmt {
    sqlite3_stmt* s = nullptr;
    Stmt(sqlite3* conn, const char* sql) { sqlite3_prepare_v2(conn, sql, -1, &s, nullptr); }
    ~Stmt() { sqlite3_finalize(s); }
    explicit operator bool() const { return s != nullptr; }
};

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value BLOB);"
    "CREATE TABLE IF NOT EXISTS notes(id INTEGER PRIMARY KEY AUTOINCREMENT, class INTEGER NOT NULL,"
    " f0 INTEGER, f1 INTEGER, n0 INTEGER, n1 INTEGER, seq INTEGER, deleted INTEGER NOT NULL DEFAULT 0,"
    " profile TEXT);"
    "CREATE TABLE IF NOT EXISTS items(note INTEGER NOT NULL, ord INTEGER NOT NULL, name TEXT NOT NULL,"
    " type INTEGER NOT NULL, flags INTEGER NOT NULL, value BLOB);"
    "CREATE INDEX IF NOT EXISTS items_note ON items(note, ord);";

sqlite3* OpenFile(const std::string& file, bool create) {
    sqlite3* conn = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(file.c_str(), &conn, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(conn);
        return nullptr;
    }
    sqlite3_busy_timeout(conn, 10000);
    return conn;
}

bool LoadItems(sqlite3* conn, NOTEID id, std::vector<Item>* items) {
    Stmt st(conn, "SELECT name, type, flags, value FROM items WHERE note=? ORDER BY ord");
    if (!st) return false;
    sqlite3_bind_int64(st.s, 1, id);
    while (sqlite3_step(st.s) == SQLITE_ROW) {
        Item it;
        it.name = reinterpret_cast<const char*>(sqlite3_column_text(st.s, 0));
        it.type = static_cast<uint16_t>(sqlite3_column_int(st.s, 1));
        it.flags = static_cast<uint16_t>(sqlite3_column_int(st.s, 2));
        const void* blob = sqlite3_column_blob(st.s, 3);
        it.value.assign(static_cast<const char*>(blob ? blob : ""), sqlite3_column_bytes(st.s, 3));
        items->push_back(std::move(it));
    }
    return true;
}

bool WriteItems(sqlite3* conn, NOTEID id, const std::vector<Item>& items) {
    Stmt del(conn, "DELETE FROM items WHERE note=?");
    sqlite3_bind_int64(del.s, 1, id);
    if (sqlite3_step(del.s) != SQLITE_DONE) return false;
    Stmt ins(conn, "INSERT INTO items(note, ord, name, type, flags, value) VALUES(?,?,?,?,?,?)");
    for (size_t i = 0; i < items.size(); ++i) {
        sqlite3_reset(ins.s);
        sqlite3_bind_int64(ins.s, 1, id);
        sqlite3_bind_int(ins.s, 2, static_cast<int>(i));
        sqlite3_bind_text(ins.s, 3, items[i].name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(ins.s, 4, items[i].type);
        sqlite3_bind_int(ins.s, 5, items[i].flags);
        sqlite3_bind_blob(ins.s, 6, items[i].value.data(), static_cast<int>(items[i].value.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(ins.s) != SQLITE_DONE) return false;
    }
    return true;
}

// Inserts (id 0) or rewrites a note with its items, in one transaction.
STATUS Store(Database& db, Note& note, const char* profile = nullptr) {
    std::lock_guard lock(db.mutex);
    if (!Exec(db.conn, "BEGIN IMMEDIATE")) return err::DB_IO;
    bool ok = true;
    NOTEID id = note.id;
    if (id == 0) {
        Stmt st(db.conn, "INSERT INTO notes(class, f0, f1, n0, n1, seq, profile) VALUES(?,?,?,?,?,?,?)");
        sqlite3_bind_int(st.s, 1, note.noteClass);
        sqlite3_bind_int64(st.s, 2, note.oid.File.Innards[0]);
        sqlite3_bind_int64(st.s, 3, note.oid.File.Innards[1]);
        sqlite3_bind_int64(st.s, 4, note.oid.Note.Innards[0]);
        sqlite3_bind_int64(st.s, 5, note.oid.Note.Innards[1]);
        sqlite3_bind_int64(st.s, 6, note.oid.Sequence);
        if (profile)
            sqlite3_bind_text(st.s, 7, profile, -1, SQLITE_TRANSIENT);
        else
            sqlite3_bind_null(st.s, 7);
        ok = sqlite3_step(st.s) == SQLITE_DONE;
        id = static_cast<NOTEID>(sqlite3_last_insert_rowid(db.conn));
    } else {
        Stmt st(db.conn, "UPDATE notes SET seq=seq+1 WHERE id=? AND deleted=0");
        sqlite3_bind_int64(st.s, 1, id);
        ok = sqlite3_step(st.s) == SQLITE_DONE;
        if (ok && sqlite3_changes(db.conn) != 1) {
            // Deleted (or purged) by another task since this note was opened.
            Exec(db.conn, "ROLLBACK");
            return err::NOTE_DELETED;
        }
    }
    ok = ok && WriteItems(db.conn, id, note.items);
    if (!ok || !Exec(db.conn, "COMMIT")) {
        Exec(db.conn, "ROLLBACK");
        return err::DB_IO;
    }
    if (note.id) ++note.oid.Sequence;
    note.id = id;
    return 0;
}

STATUS MarkDeleted(Database& db, NOTEID id) {
    Stmt st(db.conn, "UPDATE notes SET deleted=1, seq=seq+1 WHERE id=? AND deleted=0");
    sqlite3_bind_int64(st.s, 1, id);
    if (sqlite3_step(st.s) != SQLITE_DONE) return err::DB_IO;
    if (sqlite3_changes(db.conn) != 1) {
        Stmt known(db.conn, "SELECT 1 FROM notes WHERE id=?");
        sqlite3_bind_int64(known.s, 1, id);
        return sqlite3_step(known.s) == SQLITE_ROW ? err::NOTE_DELETED : err::BAD_NOTEID;
    }
    Stmt del(db.conn, "DELETE FROM items WHERE note=?");
    sqlite3_bind_int64(del.s, 1, id);
    return sqlite3_step(del.s) == SQLITE_DONE ? 0 : err::DB_IO;
}

// Reads a note row; NOT_FOUND-like statuses for missing or deleted notes.
STATUS LoadNote(Database& db, NOTEID id, Note* note) {
    std::lock_guard lock(db.mutex);
    Stmt st(db.conn, "SELECT class, f0, f1, n0, n1, seq, deleted FROM notes WHERE id=?");
    sqlite3_bind_int64(st.s, 1, id);
    if (sqlite3_step(st.s) != SQLITE_ROW) return err::BAD_NOTEID;
    if (sqlite3_column_int(st.s, 6)) return err::NOTE_DELETED;
    note->id = id;
    note->noteClass = static_cast<uint16_t>(sqlite3_column_int(st.s, 0));
    note->oid.File.Innards[0] = static_cast<uint32_t>(sqlite3_column_int64(st.s, 1));
    note->oid.File.Innards[1] = static_cast<uint32_t>(sqlite3_column_int64(st.s, 2));
    note->oid.Note.Innards[0] = static_cast<uint32_t>(sqlite3_column_int64(st.s, 3));
    note->oid.Note.Innards[1] = static_cast<uint32_t>(sqlite3_column_int64(st.s, 4));
    note->oid.Sequence = static_cast<uint32_t>(sqlite3_column_int64(st.s, 5));
    return LoadItems(db.conn, id, &note->items) ? 0 : err::DB_IO;
}

std::string PackTextList(const std::vector<std::string>& texts) {
    std::string packed;
    uint16_t count = static_cast<uint16_t>(texts.size());
    packed.append(reinterpret_cast<const char*>(&count), 2);
    for (const auto& t : texts) {
        uint16_t len = static_cast<uint16_t>(std::min<size_t>(t.size(), 0xFFFF));
        packed.append(reinterpret_cast<const char*>(&len), 2);
    }
    for (const auto& t : texts) packed.append(t, 0, std::min<size_t>(t.size(), 0xFFFF));
    return packed;
}

std::vector<std::string> UnpackTextList(const std::string& v) {
    std::vector<std::string> out;
    if (v.size() < 2) return out;
    uint16_t count;
    memcpy(&count, v.data(), 2);
    size_t lens = 2, data = 2 + 2u * count;
    if (data > v.size()) return out;
    for (uint16_t i = 0; i < count; ++i) {
        uint16_t len;
        memcpy(&len, v.data() + lens + 2u * i, 2);
        if (data + len > v.size()) break;
        out.push_back(v.substr(data, len));
        data += len;
    }
    return out;
}

Item FromValue(const ItemValue& v) {
    Item it;
    it.name = v.name;
    it.type = v.type;
    it.flags = v.flags;
    if (v.type == TYPE_NUMBER || v.type == TYPE_TIME) {
        double d = v.numbers.empty() ? 0 : v.numbers[0];
        it.value.assign(reinterpret_cast<const char*>(&d), sizeof d);
    } else if (v.type == TYPE_TEXT_LIST) {
        it.value = PackTextList(v.texts);
    } else {
        it.value = v.texts.empty() ? std::string() : v.texts[0];
    }
    return it;
}

ItemValue ToValue(const Item& it) {
    ItemValue v;
    v.name = it.name;
    v.type = it.type;
    v.flags = it.flags;
    if ((it.type == TYPE_NUMBER || it.type == TYPE_TIME) && it.value.size() == 8) {
        double d;
        memcpy(&d, it.value.data(), 8);
        v.numbers.push_back(d);
    } else if (it.type == TYPE_TEXT_LIST) {
        v.texts = UnpackTextList(it.value);
    } else if (it.type == TYPE_TEXT) {
        v.texts.push_back(it.value);
    }
    return v;
}

const Item* FindItem(const std::vector<Item>& items, const char* name, size_t len) {
    for (const auto& it : items)
        if (SameName(it.name, name, len)) return &it;
    return nullptr;
}

std::string FirstText(const Item& it) {
    if (it.type == TYPE_TEXT) return it.value;
    if (it.type == TYPE_TEXT_LIST) {
        auto list = UnpackTextList(it.value);
        return list.empty() ? std::string() : list[0];
    }
    return {};
}

NOTEHANDLE AddNote(NotePtr note) {
    std::lock_guard lock(gMutex);
    NOTEHANDLE h = detail::NewHandle();
    gNotes[h] = std::move(note);
    detail::CountOpen(detail::Counter::Notes, 1);
    return h;
}

// Raises the update's events with the core function's own arguments: the
// note handle, then the flags (a WORD, promoted to int through "...", for
// NSFNoteUpdate; a DWORD for NSFNoteUpdateExtended).
STATUS RaiseUpdate(EID eventId, WORD type, STATUS status, NOTEHANDLE handle, DWORD flags) {
    if (eventId == EM_NSFNOTEUPDATE) return DispatchEm(eventId, type, status, handle, static_cast<WORD>(flags));
    return DispatchEm(eventId, type, status, handle, flags);
}

STATUS SaveWithEvents(NOTEHANDLE handle, EID eventId, DWORD flags) {
    NotePtr note = FindNote(handle);
    if (!note) return err::INVALID_HANDLE;
    // A "before" callback that answers anything but "continue" cancels the save.
    if (STATUS cancel = RaiseUpdate(eventId, EM_BEFORE, NOERROR, handle, flags); cancel != ERR_EM_CONTINUE)
        return cancel;
    STATUS s;
    if (flags & UPDATE_DELETED) {
        Database& db = *note->db;
        std::lock_guard lock(db.mutex);
        if (!note->id) {
            s = err::BAD_NOTEID;
        } else if (!Exec(db.conn, "BEGIN IMMEDIATE")) {
            s = err::DB_IO;
        } else {
            s = MarkDeleted(db, note->id);
            if (!Exec(db.conn, s ? "ROLLBACK" : "COMMIT") && !s) s = err::DB_IO;
        }
        if (!s) note->items.clear();
    } else {
        s = Store(*note->db, *note);
    }
    // An "after" callback's other answer becomes the result.
    if (STATUS replaced = RaiseUpdate(eventId, EM_AFTER, s, handle, flags); replaced != ERR_EM_CONTINUE)
        s = replaced;
    return s;
}

}  // namespace

// ---- control surface --------------------------------------------------------------

STATUS CreateDatabase(const std::string& notesPath, const std::string& title) {
    std::string file = FilePathFor(notesPath);
    std::error_code ec;
    if (fs::exists(file, ec)) return 0;
    fs::create_directories(fs::path(file).parent_path(), ec);
    sqlite3* conn = OpenFile(file, true);
    if (!conn) return err::DB_IO;
    bool ok = Exec(conn, "PRAGMA journal_mode=WAL") && Exec(conn, kSchema);
    uint8_t id[8];
    for (int i = 0; i < 8; i += 4) {
        uint32_t r = Random32();
        memcpy(id + i, &r, 4);
    }
    Stmt st(conn, "INSERT OR IGNORE INTO meta(key, value) VALUES('dbid', ?)");
    sqlite3_bind_blob(st.s, 1, id, 8, SQLITE_TRANSIENT);
    ok = ok && sqlite3_step(st.s) == SQLITE_DONE;
    Stmt t(conn, "INSERT OR IGNORE INTO meta(key, value) VALUES('title', ?)");
    sqlite3_bind_text(t.s, 1, title.c_str(), -1, SQLITE_TRANSIENT);
    ok = ok && sqlite3_step(t.s) == SQLITE_DONE;
    // Note ids start where a real database's documents would.
    ok = ok && Exec(conn, "INSERT INTO sqlite_sequence(name, seq) SELECT 'notes', 2289 WHERE NOT EXISTS "
                          "(SELECT 1 FROM sqlite_sequence WHERE name='notes')");
    sqlite3_finalize(st.s);
    st.s = nullptr;
    sqlite3_finalize(t.s);
    t.s = nullptr;
    sqlite3_close(conn);
    return ok ? 0 : err::DB_IO;
}

ItemValue Text(const std::string& name, const std::string& value) {
    ItemValue v;
    v.name = name;
    v.type = TYPE_TEXT;
    v.texts = {value};
    return v;
}

ItemValue TextList(const std::string& name, const std::vector<std::string>& values) {
    ItemValue v;
    v.name = name;
    v.type = TYPE_TEXT_LIST;
    v.texts = values;
    return v;
}

ItemValue Number(const std::string& name, double value) {
    ItemValue v;
    v.name = name;
    v.type = TYPE_NUMBER;
    v.numbers = {value};
    return v;
}

ItemValue Time(const std::string& name, double value) {
    ItemValue v = Number(name, value);
    v.type = TYPE_TIME;
    return v;
}

STATUS CreateDocument(DBHANDLE dbHandle, const std::vector<ItemValue>& items, NOTEID* id, uint16_t noteClass) {
    DbPtr db = FindDb(dbHandle);
    if (!db) return err::INVALID_HANDLE;
    Note note;
    note.db = db;
    note.noteClass = noteClass;
    note.oid.File.Innards[0] = Random32();
    note.oid.File.Innards[1] = Random32();
    note.oid.Note.Innards[0] = Random32();
    note.oid.Note.Innards[1] = Random32();
    for (const auto& v : items) note.items.push_back(FromValue(v));
    STATUS s = Store(*db, note);
    if (!s && id) *id = note.id;
    return s;
}

STATUS CreateView(DBHANDLE db, const ViewSpec& spec, NOTEID* viewId) {
    return CreateDocument(db,
                          {Text("$TITLE", spec.name), Text("$Flags", spec.designFlags), TextList("$Forms", spec.forms),
                           TextList("$Columns", spec.columns), Number("$Sort", spec.sortColumn)},
                          viewId, NOTE_CLASS_VIEW);
}

STATUS SetProfile(DBHANDLE dbHandle, const std::string& profileName, const std::vector<ItemValue>& fields) {
    DbPtr db = FindDb(dbHandle);
    if (!db) return err::INVALID_HANDLE;
    NOTEID existing = 0;
    {
        std::lock_guard lock(db->mutex);
        Stmt st(db->conn, "SELECT id FROM notes WHERE profile=? COLLATE NOCASE AND deleted=0");
        sqlite3_bind_text(st.s, 1, profileName.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st.s) == SQLITE_ROW) existing = static_cast<NOTEID>(sqlite3_column_int64(st.s, 0));
    }
    Note note;
    note.db = db;
    note.id = existing;
    note.oid.File.Innards[0] = Random32();
    note.oid.Note.Innards[0] = Random32();
    for (const auto& v : fields) note.items.push_back(FromValue(v));
    return Store(*db, note, profileName.c_str());
}

void SetReadPageSize(uint32_t entries) { gPageSize = entries; }

namespace {
void ReleaseNoteBlocks(Note& note) {
    for (MEMHANDLE h : note.itemBlocks) detail::ReleaseHostBlock(h, true);
    note.itemBlocks.clear();
}
}  // namespace

STATUS DeleteNotes(DBHANDLE dbHandle, const std::vector<NOTEID>& ids) {
    DHANDLE table = 0;
    if (STATUS s = CreateIdTable(&table)) return s;
    for (NOTEID id : ids) IdInsert(table, id);
    STATUS s = NSFDbDeleteNotes(dbHandle, table, nullptr);
    DestroyIdTable(table);
    return s;
}

STATUS DeleteByStub(DBHANDLE db, NOTEID id, bool extended) {
    NOTEHANDLE note = 0;
    STATUS s = NSFNoteOpen(db, id, 0, &note);
    if (s) return s;
    s = extended ? NSFNoteUpdateExtended(note, UPDATE_DELETED) : NSFNoteUpdate(note, UPDATE_DELETED);
    NSFNoteClose(note);
    return s;
}

STATUS DumpNotes(const std::string& notesPath, std::vector<NoteDump>* out) {
    if (!out) return err::INVALID_HANDLE;
    std::string file = FilePathFor(notesPath);
    std::error_code ec;
    if (!fs::exists(file, ec)) return err::NOEXIST;
    sqlite3* conn = OpenFile(file, false);
    if (!conn) return err::DB_IO;
    out->clear();
    {
        Stmt st(conn, "SELECT id, class, f0, f1, n0, n1, seq FROM notes WHERE deleted=0 AND profile IS NULL "
                      "AND class<>8 ORDER BY id");
        while (st && sqlite3_step(st.s) == SQLITE_ROW) {
            NoteDump d;
            d.id = static_cast<NOTEID>(sqlite3_column_int64(st.s, 0));
            d.noteClass = static_cast<uint16_t>(sqlite3_column_int(st.s, 1));
            d.oid.File.Innards[0] = static_cast<uint32_t>(sqlite3_column_int64(st.s, 2));
            d.oid.File.Innards[1] = static_cast<uint32_t>(sqlite3_column_int64(st.s, 3));
            d.oid.Note.Innards[0] = static_cast<uint32_t>(sqlite3_column_int64(st.s, 4));
            d.oid.Note.Innards[1] = static_cast<uint32_t>(sqlite3_column_int64(st.s, 5));
            d.oid.Sequence = static_cast<uint32_t>(sqlite3_column_int64(st.s, 6));
            out->push_back(d);
        }
    }
    for (auto& d : *out) {
        std::vector<Item> items;
        LoadItems(conn, d.id, &items);
        for (const auto& it : items) d.items.push_back(ToValue(it));
    }
    sqlite3_close(conn);
    return 0;
}

}  // namespace emu

// ---- the C API functions ------------------------------------------------------
using emu::Op;
namespace err = emu::err;
using emu::detail::Counter;

extern "C" {

EMU_EXPORT STATUS NSFDbOpen(const char* path, DBHANDLE* db) {
    if (STATUS s = emu::Fault(Op::OpenDatabase)) return s;
    if (!path || !db || !*path || strlen(path) >= MAXPATH) return err::NOEXIST;
    auto d = std::make_shared<emu::Database>();
    d->canonical = emu::Canonical(path);
    d->file = emu::FilePathFor(d->canonical);
    std::error_code ec;
    if (!fs::is_regular_file(d->file, ec)) return err::NOEXIST;
    d->conn = emu::OpenFile(d->file, false);
    if (!d->conn) return err::DB_IO;
    {
        emu::Stmt st(d->conn, "SELECT value FROM meta WHERE key='dbid'");
        if (!st || sqlite3_step(st.s) != SQLITE_ROW || sqlite3_column_bytes(st.s, 0) != 8) return err::DB_IO;
        memcpy(&d->id, sqlite3_column_blob(st.s, 0), 8);
    }
    std::lock_guard lock(emu::gMutex);
    DBHANDLE h = emu::detail::NewHandle();
    emu::gDbs[h] = std::move(d);
    emu::detail::CountOpen(Counter::Databases, 1);
    *db = h;
    return NOERROR;
}

EMU_EXPORT STATUS NSFDbClose(DBHANDLE db) {
    if (STATUS s = emu::Fault(Op::CloseDatabase)) return s;
    emu::DbPtr d = emu::TakeHandle(emu::gDbs, db, Counter::Databases);
    if (!d) return err::INVALID_HANDLE;
    d->ReleaseBlocks();
    return NOERROR;
}

EMU_EXPORT STATUS NSFDbIDGet(DBHANDLE db, DBID* id) {
    if (STATUS s = emu::Fault(Op::GetDatabaseId)) return s;
    auto d = emu::FindDb(db);
    if (!d || !id) return err::INVALID_HANDLE;
    *id = d->id;
    return NOERROR;
}

EMU_EXPORT STATUS NSFDbPathGet(DBHANDLE db, char* canonical, char* expanded) {
    if (STATUS s = emu::Fault(Op::GetDatabasePath)) return s;
    auto d = emu::FindDb(db);
    if (!d) return err::INVALID_HANDLE;
    // Buffers of MAXPATH bytes, the terminator included.
    auto copy = [](char* out, const std::string& text) {
        size_t n = std::min<size_t>(text.size(), MAXPATH - 1);
        memcpy(out, text.data(), n);
        out[n] = '\0';
    };
    if (canonical) copy(canonical, d->canonical);
    if (expanded) copy(expanded, fs::absolute(d->file).string());
    return NOERROR;
}

EMU_EXPORT STATUS NSFNoteOpen(DBHANDLE db, NOTEID id, WORD, NOTEHANDLE* note) {
    if (STATUS s = emu::Fault(Op::OpenNote)) return s;
    auto d = emu::FindDb(db);
    if (!d || !note) return err::INVALID_HANDLE;
    auto n = std::make_shared<emu::Note>();
    n->db = d;
    n->dbHandle = db;
    if (STATUS s = emu::LoadNote(*d, id, n.get())) return s;
    *note = emu::AddNote(std::move(n));
    return NOERROR;
}

EMU_EXPORT STATUS NSFNoteClose(NOTEHANDLE note) {
    if (STATUS s = emu::Fault(Op::CloseNote)) return s;
    emu::NotePtr n = emu::TakeHandle(emu::gNotes, note, Counter::Notes);
    if (!n) return err::INVALID_HANDLE;
    // Item values go with the note; one still locked is the caller's fault.
    emu::ReleaseNoteBlocks(*n);
    return NOERROR;
}

EMU_EXPORT STATUS NSFNoteCreate(DBHANDLE db, NOTEHANDLE* note) {
    if (STATUS s = emu::Fault(Op::CreateNote)) return s;
    auto d = emu::FindDb(db);
    if (!d || !note) return err::INVALID_HANDLE;
    auto n = std::make_shared<emu::Note>();
    n->db = d;
    n->dbHandle = db;
    n->oid.File.Innards[0] = emu::Random32();
    n->oid.File.Innards[1] = emu::Random32();
    n->oid.Note.Innards[0] = emu::Random32();
    n->oid.Note.Innards[1] = emu::Random32();
    *note = emu::AddNote(std::move(n));
    return NOERROR;
}

EMU_EXPORT STATUS NSFNoteUpdate(NOTEHANDLE note, WORD flags) {
    if (STATUS s = emu::Fault(Op::UpdateNote)) return s;
    return emu::SaveWithEvents(note, EM_NSFNOTEUPDATE, flags);
}

EMU_EXPORT STATUS NSFNoteUpdateExtended(NOTEHANDLE note, DWORD flags) {
    if (STATUS s = emu::Fault(Op::UpdateNoteExtended)) return s;
    return emu::SaveWithEvents(note, EM_NSFNOTEUPDATEXTENDED, flags);
}

EMU_EXPORT void NSFNoteGetInfo(NOTEHANDLE note, WORD member, void* value) {
    if (emu::Fault(Op::GetNoteInfo) || !value) return;
    auto n = emu::FindNote(note);
    if (!n) return;
    switch (member) {
        case _NOTE_DB: *static_cast<DBHANDLE*>(value) = n->dbHandle; break;
        case _NOTE_ID: *static_cast<NOTEID*>(value) = n->id; break;
        case _NOTE_OID: *static_cast<ORIGINATORID*>(value) = n->oid; break;
        case _NOTE_CLASS: *static_cast<WORD*>(value) = n->noteClass; break;
        case _NOTE_MODIFIED: *static_cast<TIMEDATE*>(value) = n->oid.SequenceTime; break;
        case _NOTE_FLAGS: *static_cast<WORD*>(value) = 0; break;
        default: break;
    }
}

EMU_EXPORT void NSFNoteSetInfo(NOTEHANDLE note, WORD member, void* value) {
    if (!value) return;
    auto n = emu::FindNote(note);
    if (!n) return;
    if (member == _NOTE_CLASS) n->noteClass = *static_cast<WORD*>(value);
}

EMU_EXPORT STATUS NSFItemInfo(NOTEHANDLE note, const char* name, WORD nameLength, BLOCKID* itemBlock,
                              WORD* type, BLOCKID* valueBlock, DWORD* valueLength) {
    if (type) *type = TYPE_INVALID_OR_UNKNOWN;
    if (STATUS s = emu::Fault(Op::ItemInfo)) return s;
    auto n = emu::FindNote(note);
    if (!n) return err::INVALID_HANDLE;
    // No name: the note's first item.
    const emu::Item* it = nullptr;
    if (!name || nameLength == 0)
        it = n->items.empty() ? nullptr : &n->items.front();
    else
        it = emu::FindItem(n->items, name, nameLength);
    if (!it) return err::ITEM_NOT_FOUND;
    if (type) *type = it->type;
    if (valueLength) *valueLength = static_cast<DWORD>(it->value.size() + 2);
    if (itemBlock || valueBlock) {
        // One block for both: the item's name before kValueOffset is not
        // promised to anyone; the value is the type WORD, then the data.
        std::vector<uint8_t> bytes(emu::kValueOffset + 2 + it->value.size());
        memcpy(bytes.data(), it->name.data(), std::min<size_t>(it->name.size(), emu::kValueOffset));
        WORD t = it->type;
        memcpy(bytes.data() + emu::kValueOffset, &t, 2);
        memcpy(bytes.data() + emu::kValueOffset + 2, it->value.data(), it->value.size());
        MEMHANDLE pool = emu::detail::AllocBlock(std::move(bytes), false);
        {
            std::lock_guard lock(emu::gMutex);
            n->itemBlocks.push_back(pool);
        }
        if (itemBlock) *itemBlock = BLOCKID{pool, 0};
        if (valueBlock) *valueBlock = BLOCKID{pool, emu::kValueOffset};
    }
    return NOERROR;
}

EMU_EXPORT WORD NSFItemGetText(NOTEHANDLE note, const char* name, char* buffer, WORD textLength) {
    if (!buffer) return 0;
    if (textLength > 0) buffer[0] = '\0';
    if (emu::Fault(Op::GetItemText) || !name) return 0;
    auto n = emu::FindNote(note);
    if (!n) return 0;
    const emu::Item* it = emu::FindItem(n->items, name, strlen(name));
    if (!it) return 0;
    std::string text = emu::FirstText(*it);
    if (it->type == TYPE_NUMBER && it->value.size() == 8) {
        double d;
        memcpy(&d, it->value.data(), 8);
        char num[64];
        snprintf(num, sizeof num, "%g", d);
        text = num;
    }
    // At most textLength characters; terminated only when there is room
    // inside textLength, so a caller must terminate a cut text itself.
    size_t len = std::min<size_t>(text.size(), textLength);
    memcpy(buffer, text.data(), len);
    if (len < textLength) buffer[len] = '\0';
    return static_cast<WORD>(len);
}

EMU_EXPORT LONG NSFItemGetLong(NOTEHANDLE note, const char* name, LONG defaultValue) {
    if (emu::Fault(Op::GetItemLong) || !name) return defaultValue;
    auto n = emu::FindNote(note);
    if (!n) return defaultValue;
    const emu::Item* it = emu::FindItem(n->items, name, strlen(name));
    if (!it || it->type != TYPE_NUMBER || it->value.size() != 8) return defaultValue;
    double d;
    memcpy(&d, it->value.data(), 8);
    if (!(d >= -2147483648.0 && d <= 2147483647.0)) return defaultValue;
    return static_cast<LONG>(d);
}

EMU_EXPORT STATUS NSFItemSetNumber(NOTEHANDLE note, const char* name, const NUMBER* value) {
    if (STATUS s = emu::Fault(Op::SetItemNumber)) return s;
    auto n = emu::FindNote(note);
    if (!n || !name || !value) return err::INVALID_HANDLE;
    std::erase_if(n->items, [&](const emu::Item& it) { return emu::SameName(it.name, name, strlen(name)); });
    emu::Item it;
    it.name = name;
    it.type = TYPE_NUMBER;
    it.flags = ITEM_SUMMARY;
    it.value.assign(reinterpret_cast<const char*>(value), sizeof *value);
    n->items.push_back(std::move(it));
    return NOERROR;
}

EMU_EXPORT STATUS NSFItemAppend(NOTEHANDLE note, WORD flags, const char* name, WORD nameLength, WORD type,
                                const void* value, DWORD valueLength) {
    if (STATUS s = emu::Fault(Op::AppendItem)) return s;
    auto n = emu::FindNote(note);
    if (!n || !name || nameLength == 0 || (!value && valueLength)) return err::INVALID_HANDLE;
    emu::Item it;
    it.name.assign(name, nameLength);
    it.type = type;
    it.flags = flags;
    if (valueLength) it.value.assign(static_cast<const char*>(value), valueLength);
    n->items.push_back(std::move(it));
    return NOERROR;
}

// The missing-item answer is not documented; ERR_ITEM_NOT_FOUND is what
// every other item function answers.
EMU_EXPORT STATUS NSFItemDelete(NOTEHANDLE note, const char* name, WORD nameLength) {
    if (STATUS s = emu::Fault(Op::DeleteItem)) return s;
    auto n = emu::FindNote(note);
    if (!n || !name) return err::INVALID_HANDLE;
    size_t removed = std::erase_if(n->items, [&](const emu::Item& it) { return emu::SameName(it.name, name, nameLength); });
    return removed ? NOERROR : err::ITEM_NOT_FOUND;
}

// The value block belongs to the database handle: the caller locks and
// unlocks it and never frees it; it goes when the database is closed.
EMU_EXPORT STATUS NSFProfileGetField(DBHANDLE db, const char* profileName, WORD profileNameLength, const char*, WORD,
                                     const char* fieldName, WORD fieldNameLength, WORD* dataType, BLOCKID* valueBlock,
                                     DWORD* valueLength) {
    if (STATUS s = emu::Fault(Op::GetProfileField)) return s;
    auto d = emu::FindDb(db);
    if (!d || !profileName || !fieldName) return err::INVALID_HANDLE;
    std::vector<emu::Item> items;
    {
        std::lock_guard lock(d->mutex);
        emu::Stmt st(d->conn, "SELECT id FROM notes WHERE profile=? COLLATE NOCASE AND deleted=0");
        std::string name(profileName, profileNameLength);
        sqlite3_bind_text(st.s, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st.s) != SQLITE_ROW) return err::NOT_FOUND;
        emu::LoadItems(d->conn, static_cast<NOTEID>(sqlite3_column_int64(st.s, 0)), &items);
    }
    const emu::Item* it = emu::FindItem(items, fieldName, fieldNameLength);
    if (!it) return err::NOT_FOUND;
    std::vector<uint8_t> bytes(emu::kValueOffset + 2 + it->value.size());
    WORD t = it->type;
    memcpy(bytes.data() + emu::kValueOffset, &t, 2);
    memcpy(bytes.data() + emu::kValueOffset + 2, it->value.data(), it->value.size());
    MEMHANDLE block = emu::detail::AllocBlock(std::move(bytes), false);
    {
        std::lock_guard lock(d->mutex);
        d->hostBlocks.push_back(block);
    }
    if (dataType) *dataType = it->type;
    if (valueBlock) *valueBlock = BLOCKID{block, emu::kValueOffset};
    if (valueLength) *valueLength = static_cast<DWORD>(2 + it->value.size());
    return NOERROR;
}

EMU_EXPORT STATUS NIFFindDesignNoteExt(DBHANDLE db, const char* name, WORD noteClass, const char* pattern,
                                       NOTEID* viewId, DWORD) {
    if (STATUS s = emu::Fault(Op::FindView)) return s;
    auto d = emu::FindDb(db);
    if (!d || !name || !viewId) return err::INVALID_HANDLE;
    // Patterns of the form "-XYZ^" leave out design notes whose $Flags hold
    // any of X, Y, Z ("-G40n^": views and folders one can use). No pattern
    // leaves out nothing; other forms are not understood here.
    std::string excluded;
    if (pattern && *pattern) {
        std::string p(pattern);
        if (p.size() < 2 || p.front() != '-' || p.back() != '^') return err::NOT_FOUND;
        excluded = p.substr(1, p.size() - 2);
    }
    std::lock_guard lock(d->mutex);
    emu::Stmt st(d->conn, "SELECT id FROM notes WHERE class=? AND deleted=0 ORDER BY id");
    sqlite3_bind_int(st.s, 1, noteClass);
    std::vector<NOTEID> ids;
    while (sqlite3_step(st.s) == SQLITE_ROW) ids.push_back(static_cast<NOTEID>(sqlite3_column_int64(st.s, 0)));
    for (NOTEID id : ids) {
        std::vector<emu::Item> items;
        emu::LoadItems(d->conn, id, &items);
        const emu::Item* title = emu::FindItem(items, "$TITLE", 6);
        const emu::Item* flags = emu::FindItem(items, "$Flags", 6);
        if (flags && !excluded.empty() && flags->value.find_first_of(excluded) != std::string::npos) continue;
        if (!title) continue;
        std::string t = title->value;
        size_t start = 0;
        while (start <= t.size()) {
            size_t bar = t.find('|', start);
            std::string alias = t.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
            if (emu::SameName(alias, name, strlen(name))) {
                *viewId = id;
                return NOERROR;
            }
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
    }
    return err::NOT_FOUND;
}

EMU_EXPORT STATUS NIFOpenCollection(DBHANDLE viewDb, DBHANDLE dataDb, NOTEID viewId, WORD, DHANDLE,
                                    HCOLLECTION* collection, NOTEHANDLE* viewNote, UNID* viewUnid,
                                    DHANDLE* collapsedList, DHANDLE* selectedList) {
    if (STATUS s = emu::Fault(Op::OpenCollection)) return s;
    auto vd = emu::FindDb(viewDb);
    auto dd = emu::FindDb(dataDb);
    // rethViewNote is reserved and must be NULL.
    if (!vd || !dd || !collection || viewNote) return err::INVALID_HANDLE;
    emu::Note view;
    if (STATUS s = emu::LoadNote(*vd, viewId, &view)) return s;
    if (view.noteClass != NOTE_CLASS_VIEW) return err::NOT_FOUND;
    auto textList = [&](const char* item) {
        const emu::Item* it = emu::FindItem(view.items, item, strlen(item));
        return it ? emu::UnpackTextList(it->value) : std::vector<std::string>{};
    };
    const std::vector<std::string> forms = textList("$Forms");
    std::vector<std::string> columns = textList("$Columns");
    if (columns.size() > emu::kMaxColumns) columns.resize(emu::kMaxColumns);
    int sortColumn = 0;
    if (const emu::Item* s = emu::FindItem(view.items, "$Sort", 5); s && s->value.size() == 8) {
        double v;
        memcpy(&v, s->value.data(), 8);
        sortColumn = static_cast<int>(v);
    }
    auto c = std::make_shared<emu::Collection>();
    {
        std::lock_guard lock(dd->mutex);
        emu::Stmt st(dd->conn, "SELECT id FROM notes WHERE (class & 1)=1 AND deleted=0 AND profile IS NULL ORDER BY id");
        std::vector<NOTEID> ids;
        while (sqlite3_step(st.s) == SQLITE_ROW) ids.push_back(static_cast<NOTEID>(sqlite3_column_int64(st.s, 0)));
        for (NOTEID id : ids) {
            std::vector<emu::Item> items;
            emu::LoadItems(dd->conn, id, &items);
            if (!forms.empty()) {
                const emu::Item* form = emu::FindItem(items, "Form", 4);
                if (!form || std::find(forms.begin(), forms.end(), emu::FirstText(*form)) == forms.end()) continue;
            }
            emu::Entry e{id, {}, {}};
            for (size_t i = 0; i < columns.size(); ++i) {
                const emu::Item* it = emu::FindItem(items, columns[i].c_str(), columns[i].size());
                if (it)
                    e.values.emplace_back(it->type, it->value);
                else
                    e.values.emplace_back(0, std::string());
                if (it && static_cast<int>(i) == sortColumn) e.sortKey = emu::FirstText(*it);
            }
            c->entries.push_back(std::move(e));
        }
    }
    if (sortColumn >= 0)
        std::stable_sort(c->entries.begin(), c->entries.end(),
                         [](const emu::Entry& a, const emu::Entry& b) { return a.sortKey < b.sortKey; });
    std::lock_guard lock(emu::gMutex);
    // HCOLLECTION is a WORD: collection handles come from a 16-bit space of
    // their own, the lowest free one first.
    HCOLLECTION h = 0;
    for (uint32_t candidate = 1; candidate <= 0xFFFF; ++candidate)
        if (!emu::gCollections.count(static_cast<HCOLLECTION>(candidate))) {
            h = static_cast<HCOLLECTION>(candidate);
            break;
        }
    if (h == 0) return err::NO_MEMORY;
    emu::gCollections[h] = std::move(c);
    emu::detail::CountOpen(Counter::Collections, 1);
    *collection = h;
    if (viewUnid) {
        viewUnid->File = view.oid.File;
        viewUnid->Note = view.oid.Note;
    }
    if (collapsedList) *collapsedList = NULLHANDLE;
    if (selectedList) *selectedList = NULLHANDLE;
    return NOERROR;
}

// IndexPos->Tumbler[0] is the entry the position is on (1-based; 0 = before
// the first). The skip moves it; the read returns the entry it lands on and
// those after it, and leaves the position on the last one returned. Each
// entry is, by the mask's bit order, its note id (a DWORD) and its summary
// values (an ITEM_VALUE_TABLE block). A buffer is handed over whenever one
// was asked for, even with 0 entries: the caller frees it either way.
EMU_EXPORT STATUS NIFReadEntries(HCOLLECTION collection, COLLECTIONPOSITION* position, WORD skipNavigator,
                                 DWORD skipCount, WORD, DWORD returnCount, DWORD readMask, DHANDLE* buffer,
                                 WORD* bufferLength, DWORD* skipped, DWORD* returned, WORD* signalFlags) {
    if (STATUS s = emu::Fault(Op::ReadEntries)) return s;
    std::shared_ptr<emu::Collection> c;
    {
        std::lock_guard lock(emu::gMutex);
        auto it = emu::gCollections.find(collection);
        if (it != emu::gCollections.end()) c = it->second;
    }
    if (!c || !position) return err::INVALID_HANDLE;
    if (buffer) *buffer = NULLHANDLE;
    if (bufferLength) *bufferLength = 0;
    if (skipped) *skipped = 0;
    if (returned) *returned = 0;
    if (signalFlags) *signalFlags = 0;
    const size_t count = c->entries.size();
    size_t current = std::min<size_t>(position->Tumbler[0], count);
    bool pastEnd = false;  // the skip ran off the end: nothing to return
    if ((skipNavigator & ~NAVIGATE_CONTINUE) == NAVIGATE_NEXT) {
        size_t moved = std::min<size_t>(skipCount, count - current);
        pastEnd = moved < skipCount;
        current += moved;
        if (skipped) *skipped = static_cast<DWORD>(moved);
    }
    const size_t start = current == 0 ? 0 : current - 1;  // 0-based first entry to return
    size_t limit = !pastEnd && current > 0 ? count - start : 0;
    if (returnCount < limit) limit = returnCount;
    if (uint32_t page = emu::gPageSize; page && page < limit) limit = page;

    std::vector<uint8_t> bytes;
    size_t n = 0;
    auto put16 = [&](std::vector<uint8_t>& out, size_t v) {
        out.push_back(static_cast<uint8_t>(v & 0xFF));
        out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    };
    for (; n < limit; ++n) {
        const emu::Entry& e = c->entries[start + n];
        std::vector<uint8_t> entry;
        if (readMask & READ_MASK_NOTEID)
            for (int k = 0; k < 4; ++k) entry.push_back(static_cast<uint8_t>((e.id >> (8 * k)) & 0xFF));
        if (readMask & READ_MASK_SUMMARYVALUES) {
            // Values are cut so that the entry's 16-bit total length stays exact.
            size_t room = 0xFFFF - 4 - 2 * e.values.size();
            std::vector<size_t> lens;
            for (const auto& [type, value] : e.values) {
                size_t len = type ? std::min(value.size() + 2, room) : 0;
                if (len == 1) len = 0;
                room -= len;
                lens.push_back(len);
            }
            size_t total = 4 + 2 * e.values.size();
            for (size_t l : lens) total += l;
            put16(entry, total);
            put16(entry, e.values.size());
            for (size_t l : lens) put16(entry, l);
            for (size_t i = 0; i < e.values.size(); ++i) {
                if (!lens[i]) continue;
                put16(entry, e.values[i].first);
                entry.insert(entry.end(), e.values[i].second.begin(), e.values[i].second.begin() + (lens[i] - 2));
            }
        }
        // A buffer's length is 16-bit: what does not fit waits for the next read.
        if (n > 0 && bytes.size() + entry.size() > 0xFFFF) break;
        bytes.insert(bytes.end(), entry.begin(), entry.end());
    }
    if (n > 0) position->Tumbler[0] = static_cast<DWORD>(start + n);
    else position->Tumbler[0] = static_cast<DWORD>(current);
    if (returned) *returned = static_cast<DWORD>(n);
    if (bufferLength) *bufferLength = static_cast<WORD>(std::min<size_t>(bytes.size(), 0xFFFF));
    if (signalFlags && start + n < count && n > 0) *signalFlags = SIGNAL_MORE_TO_DO;
    if (buffer) *buffer = emu::detail::AllocBlock(std::move(bytes), true);
    return NOERROR;
}

EMU_EXPORT STATUS NIFCloseCollection(HCOLLECTION collection) {
    if (STATUS s = emu::Fault(Op::CloseCollection)) {
        // The collection is released all the same; only the status says otherwise.
        std::lock_guard lock(emu::gMutex);
        if (emu::gCollections.erase(collection)) emu::detail::CountOpen(Counter::Collections, -1);
        return s;
    }
    std::lock_guard lock(emu::gMutex);
    if (!emu::gCollections.erase(collection)) return err::INVALID_HANDLE;
    emu::detail::CountOpen(Counter::Collections, -1);
    return NOERROR;
}

// Deletes the notes of the table as a server does: EM_NSFDBDELETENOTES
// before and after, with the database handle, the table and the UNID array
// pointer (NULL here) as the callbacks' arguments.
EMU_EXPORT STATUS NSFDbDeleteNotes(DBHANDLE dbHandle, DHANDLE table, UNID* unids) {
    if (STATUS s = emu::Fault(Op::DeleteNotes)) return s;
    emu::DbPtr db = emu::FindDb(dbHandle);
    std::vector<NOTEID> ids;
    if (!db || !emu::detail::IdTableIds(table, &ids)) return err::INVALID_HANDLE;
    if (STATUS cancel = emu::DispatchEm(EM_NSFDBDELETENOTES, EM_BEFORE, NOERROR, dbHandle, table, unids);
        cancel != ERR_EM_CONTINUE)
        return cancel;
    STATUS s = 0;
    {
        std::lock_guard lock(db->mutex);
        if (!emu::Exec(db->conn, "BEGIN IMMEDIATE")) {
            s = err::DB_IO;
        } else {
            for (NOTEID id : ids)
                if (STATUS one = emu::MarkDeleted(*db, id); one && !s) s = one;
            if (!emu::Exec(db->conn, s ? "ROLLBACK" : "COMMIT")) s = err::DB_IO;
        }
    }
    if (STATUS replaced = emu::DispatchEm(EM_NSFDBDELETENOTES, EM_AFTER, s, dbHandle, table, unids);
        replaced != ERR_EM_CONTINUE)
        s = replaced;
    return s;
}

}  // extern "C"
