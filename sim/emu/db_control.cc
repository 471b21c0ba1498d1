// Control surface for databases: create files, write documents and
// profiles directly, delete notes, read every document back.
#include <cstring>
#include <filesystem>

#include "emu/store.h"

namespace fs = std::filesystem;

namespace emu {

// ---- control surface --------------------------------------------------------------

STATUS CreateDatabase(const std::string& notesPath, const std::string& title) {
    std::string file = FilePathFor(notesPath);
    std::error_code ec;
    if (fs::exists(FileSystemPath(file), ec)) return 0;
    fs::create_directories(FileSystemPath(file).parent_path(), ec);
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
    NewOid(&note.oid);
    for (const auto& v : items) note.items.push_back(FromValue(v));
    STATUS s = Store(*db, note);
    if (!s && id) *id = note.id;
    return s;
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


STATUS DeleteNotes(DBHANDLE dbHandle, const std::vector<NOTEID>& ids) {
    DHANDLE table = 0;
    if (STATUS s = CreateIdTable(&table)) return s;
    for (NOTEID id : ids) IdInsert(table, id);
    STATUS s = NSFDbDeleteNotes(dbHandle, table, nullptr);
    DestroyIdTable(table);
    return s;
}

STATUS BackdateNote(const std::string& notesPath, NOTEID id, int64_t seconds) {
    sqlite3* conn = OpenFile(FilePathFor(notesPath), false);
    if (!conn) return err::NOEXIST;
    bool done;
    {
        Stmt st(conn, "UPDATE notes SET modified=modified-? WHERE id=?");
        sqlite3_bind_int64(st.s, 1, seconds * 100);
        sqlite3_bind_int64(st.s, 2, id);
        done = sqlite3_step(st.s) == SQLITE_DONE && sqlite3_changes(conn) == 1;
    }
    sqlite3_close_v2(conn);
    return done ? NOERROR : err::BAD_NOTEID;
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
    if (!fs::exists(FileSystemPath(file), ec)) return err::NOEXIST;
    sqlite3* conn = OpenFile(file, false);
    if (!conn) return err::DB_IO;
    out->clear();
    {
        Stmt st(conn, "SELECT id, class, f0, f1, n0, n1, seq FROM notes WHERE deleted=0 AND profile IS NULL "
                      "AND class NOT IN (4, 8) ORDER BY id");  // documents, not forms or views
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
