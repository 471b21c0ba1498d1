// Database handles: open, close, identity and path, and deleting notes by
// an id table with the Extension Manager events a server raises.
#include <cstring>
#include <filesystem>

#include "emu/store.h"

namespace fs = std::filesystem;

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
