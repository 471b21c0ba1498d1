// SQLite storage of the databases: the schema, note rows and their items,
// item values between their stored and their control-surface forms, and the
// process's tables of database and note handles.
#include "emu/store.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <chrono>
#include <random>
#include <set>

namespace emu {

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

NotePtr FindNote(NOTEHANDLE h) {
    std::lock_guard lock(gMutex);
    auto it = gNotes.find(h);
    return it == gNotes.end() ? nullptr : it->second;
}

DbPtr UseDb(DBHANDLE h, Op op) {
    DbPtr d = FindDb(h);
    if (d && !detail::MayUse(d->owner, op, "database handle")) return nullptr;
    return d;
}

NotePtr UseNote(NOTEHANDLE h, Op op) {
    NotePtr n = FindNote(h);
    if (n && !detail::MayUse(n->owner, op, "note handle")) return nullptr;
    return n;
}

std::shared_ptr<Collection> UseCollection(HCOLLECTION h, Op op) {
    std::shared_ptr<Collection> c;
    {
        std::lock_guard lock(gMutex);
        auto it = gCollections.find(h);
        if (it != gCollections.end()) c = it->second;
    }
    if (c && !detail::MayUse(c->owner, op, "collection handle")) return nullptr;
    return c;
}

uint32_t Random32() {
    static std::mutex m;
    static std::mt19937 rng{std::random_device{}()};
    std::lock_guard lock(m);
    return rng();
}

void NewOid(ORIGINATORID* oid) {
    oid->File.Innards[0] = Random32();
    oid->File.Innards[1] = Random32();
    oid->Note.Innards[0] = Random32();
    oid->Note.Innards[1] = Random32();
}

bool SameName(const std::string& a, const char* b, size_t len) {
    if (a.size() != len) return false;
    for (size_t i = 0; i < len; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

namespace {
// A Windows server writes its paths with '\\', a Linux server with '/'.
std::atomic<char> gPathSeparator{'\\'};
}  // namespace

void SetPathSeparator(char separator) { gPathSeparator.store(separator == '/' ? '/' : '\\'); }
char PathSeparator() { return gPathSeparator.load(); }

std::string Canonical(const std::string& path) {
    const char sep = PathSeparator();
    std::string c = path;
    for (char& ch : c)
        if (ch == '/' || ch == '\\') ch = sep;
    return c;
}

// ---- SQL helpers (the database's mutex is held by the caller) ----

bool Exec(sqlite3* conn, const char* sql) { return sqlite3_exec(conn, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

extern const char kSchema[];
const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value BLOB);"
    "CREATE TABLE IF NOT EXISTS notes(id INTEGER PRIMARY KEY AUTOINCREMENT, class INTEGER NOT NULL,"
    " f0 INTEGER, f1 INTEGER, n0 INTEGER, n1 INTEGER, seq INTEGER, deleted INTEGER NOT NULL DEFAULT 0,"
    " profile TEXT, modified INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS items(note INTEGER NOT NULL, ord INTEGER NOT NULL, name TEXT NOT NULL,"
    " type INTEGER NOT NULL, flags INTEGER NOT NULL, value BLOB);"
    "CREATE INDEX IF NOT EXISTS items_note ON items(note, ord);";

int64_t NowHundredths() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() / 10;
}

void EnsureModifiedColumn(sqlite3* conn, const std::string& file) {
    // Files made before notes kept their modification time: the column is
    // added once per file and process (0 for the notes already there).
    static std::mutex m;
    static std::set<std::string> checked;
    std::lock_guard lock(m);
    if (!checked.insert(file).second) return;
    {
        Stmt st(conn, "SELECT 1 FROM pragma_table_info('notes') WHERE name='modified'");
        if (!st || sqlite3_step(st.s) == SQLITE_ROW) return;
    }
    // Another process may add it at the same moment: then this one fails, harmlessly.
    Exec(conn, "ALTER TABLE notes ADD COLUMN modified INTEGER NOT NULL DEFAULT 0");
}

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

NOTEID InsertNoteRow(sqlite3* conn, const Note& note, const char* profile) {
    Stmt st(conn, "INSERT INTO notes(class, f0, f1, n0, n1, seq, profile, modified) VALUES(?,?,?,?,?,?,?,?)");
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
    sqlite3_bind_int64(st.s, 8, NowHundredths());
    if (sqlite3_step(st.s) != SQLITE_DONE) return 0;
    return static_cast<NOTEID>(sqlite3_last_insert_rowid(conn));
}

// Inserts (id 0) or rewrites a note with its items, in one transaction.
STATUS Store(Database& db, Note& note, const char* profile) {
    std::lock_guard lock(db.mutex);
    if (!Exec(db.conn, "BEGIN IMMEDIATE")) return err::DB_IO;
    bool ok = true;
    NOTEID id = note.id;
    if (id == 0) {
        id = InsertNoteRow(db.conn, note, profile);
        ok = id != 0;
    } else {
        Stmt st(db.conn, "UPDATE notes SET seq=seq+1, modified=? WHERE id=? AND deleted=0");
        sqlite3_bind_int64(st.s, 1, NowHundredths());
        sqlite3_bind_int64(st.s, 2, id);
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
    // The row stays as the deletion stub: its originator id and the time of
    // the deletion, for NSFDbGetModifiedNoteTable.
    Stmt st(db.conn, "UPDATE notes SET deleted=1, seq=seq+1, modified=? WHERE id=? AND deleted=0");
    sqlite3_bind_int64(st.s, 1, NowHundredths());
    sqlite3_bind_int64(st.s, 2, id);
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

}  // namespace emu
