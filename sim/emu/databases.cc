// Database handles: open, close, identity and path, and deleting notes by
// an id table with the Extension Manager events a server raises.
#include <cstring>
#include <filesystem>

#include "emu/store.h"

namespace fs = std::filesystem;

using emu::Op;
namespace err = emu::err;
using emu::detail::Counter;

namespace emu {

STATUS OpenDatabaseHandle(const std::string& canonical, DBHANDLE* db) {
    auto d = std::make_shared<Database>();
    d->canonical = canonical;
    d->file = FilePathFor(d->canonical);
    d->owner = detail::ThreadToken();
    std::error_code ec;
    if (!fs::is_regular_file(FileSystemPath(d->file), ec)) return err::NOEXIST;
    d->conn = OpenFile(d->file, false);
    if (!d->conn) return err::DB_IO;
    EnsureModifiedColumn(d->conn, d->file);
    {
        Stmt st(d->conn, "SELECT value FROM meta WHERE key='dbid'");
        if (!st || sqlite3_step(st.s) != SQLITE_ROW || sqlite3_column_bytes(st.s, 0) != 8) return err::DB_IO;
        memcpy(&d->id, sqlite3_column_blob(st.s, 0), 8);
    }
    std::lock_guard lock(gMutex);
    DBHANDLE h = detail::NewHandle();
    gDbs[h] = std::move(d);
    detail::CountOpen(Counter::Databases, 1);
    *db = h;
    return NOERROR;
}

}  // namespace emu

extern "C" {

EMU_EXPORT STATUS NSFDbOpen(const char* path, DBHANDLE* db) {
    if (STATUS s = emu::Fault(Op::OpenDatabase)) return s;
    if (!db) return err::INVALID_HANDLE;
    *db = 0;
    if (!path || !*path || strlen(path) >= MAXPATH) return err::NOEXIST;
    return emu::OpenDatabaseHandle(emu::Canonical(path), db);
}

// Another handle to the same database, with a connection of its own: what a
// thread that did not open the database uses (the C API reference,
// NSFDbReopen: handles are thread-scoped, it gives another thread its copy).
EMU_EXPORT STATUS NSFDbReopen(DBHANDLE source, DBHANDLE* db) {
    if (STATUS s = emu::Fault(Op::ReopenDatabase)) return s;
    if (!db) return err::INVALID_HANDLE;
    *db = 0;
    emu::DbPtr d = emu::FindDb(source);
    if (!d) return err::INVALID_HANDLE;
    return emu::OpenDatabaseHandle(d->canonical, db);
}

EMU_EXPORT STATUS NSFDbClose(DBHANDLE db) {
    if (STATUS s = emu::Fault(Op::CloseDatabase)) return s;
    // Closing is a use: only on the thread that opened the handle.
    if (emu::FindDb(db) && !emu::UseDb(db, Op::CloseDatabase)) return err::INVALID_HANDLE;
    emu::DbPtr d = emu::TakeHandle(emu::gDbs, db, Counter::Databases);
    if (!d) return err::INVALID_HANDLE;
    emu::FlushDatabase(d->file);
    d->ReleaseBlocks();
    return NOERROR;
}

EMU_EXPORT STATUS NSFDbIDGet(DBHANDLE db, DBID* id) {
    if (STATUS s = emu::Fault(Op::GetDatabaseId)) return s;
    auto d = emu::UseDb(db, Op::GetDatabaseId);
    if (!d || !id) return err::INVALID_HANDLE;
    *id = d->id;
    return NOERROR;
}

EMU_EXPORT STATUS NSFDbPathGet(DBHANDLE db, char* canonical, char* expanded) {
    if (STATUS s = emu::Fault(Op::GetDatabasePath)) return s;
    auto d = emu::UseDb(db, Op::GetDatabasePath);
    if (!d) return err::INVALID_HANDLE;
    // Buffers of MAXPATH bytes, the terminator included.
    auto copy = [](char* out, const std::string& text) {
        size_t n = std::min<size_t>(text.size(), MAXPATH - 1);
        memcpy(out, text.data(), n);
        out[n] = '\0';
    };
    if (canonical) copy(canonical, d->canonical);
    if (expanded) copy(expanded, emu::Utf8Name(fs::absolute(emu::FileSystemPath(d->file))));
    return NOERROR;
}


// Deletes the notes of the table as a server does: EM_NSFDBDELETENOTES
// before and after, with the database handle, the table and the UNID array
// pointer (NULL here) as the callbacks' arguments.
EMU_EXPORT STATUS NSFDbDeleteNotes(DBHANDLE dbHandle, DHANDLE table, UNID* unids) {
    if (STATUS s = emu::Fault(Op::DeleteNotes)) return s;
    emu::DbPtr db = emu::UseDb(dbHandle, Op::DeleteNotes);
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
