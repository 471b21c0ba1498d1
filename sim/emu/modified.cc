// What changed in a database since a time: NSFDbGetModifiedNoteTable, the
// note header of NSFDbGetNoteInfo (deletion stubs included), IDDestroyTable,
// and the current time (OSCurrentTIMEDATE).
//
// Times are TIMEDATEs as the C API reference lays them out: Innards[0] the
// hundredths of a second since midnight GMT, Innards[1] the Julian day in its
// low 24 bits (the zone and daylight-saving bits above are 0 here: GMT).
#include <chrono>
#include <thread>

#include "emu/store.h"

using emu::Op;
namespace err = emu::err;

namespace emu {
namespace {

constexpr int64_t kHundredthsPerDay = 8640000;
constexpr int64_t kJulianDayOf1970 = 2440588;

bool IsWildcard(const TIMEDATE& t) { return t.Innards[0] == ALLDAY && t.Innards[1] == ANYDAY; }
bool IsMinimum(const TIMEDATE& t) { return t.Innards[0] == 0 && t.Innards[1] == 0; }

// Hundredths since 1970 (UTC); a time before 1970 counts as 1970.
int64_t ToHundredths(const TIMEDATE& t) {
    const int64_t day = static_cast<int64_t>(t.Innards[1] & 0xFFFFFF) - kJulianDayOf1970;
    if (day < 0) return 0;
    return day * kHundredthsPerDay + t.Innards[0];
}

TIMEDATE FromHundredths(int64_t h) {
    TIMEDATE t;
    t.Innards[0] = static_cast<DWORD>(h % kHundredthsPerDay);
    t.Innards[1] = static_cast<DWORD>(h / kHundredthsPerDay + kJulianDayOf1970);
    return t;
}

// The end of the span: the next tick, once it has begun. A change is
// stamped inside its write transaction, so once the caller holds the write
// lock every change stamped before it is committed, and every later change
// is stamped with it or after: with spans [Since, Until) chained, none is
// lost and none comes twice.
int64_t EndOfSpan() {
    const int64_t until = NowHundredths() + 1;
    while (NowHundredths() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return until;
}

}  // namespace
}  // namespace emu

extern "C" {

EMU_EXPORT STATUS NSFDbGetModifiedNoteTable(DBHANDLE hDB, WORD classMask, TIMEDATE since, TIMEDATE* retUntil,
                                           DHANDLE* rethTable) {
    if (STATUS s = emu::Fault(Op::GetModifiedNoteTable)) return s;
    emu::DbPtr db = emu::UseDb(hDB, Op::GetModifiedNoteTable);
    if (!db || !retUntil || !rethTable) return err::INVALID_HANDLE;
    const bool wildcard = emu::IsWildcard(since);
    // Deletions are reported except from TIMEDATE_MINIMUM (the reference).
    const bool withStubs = !emu::IsMinimum(since);
    const int64_t from = wildcard ? 0 : emu::ToHundredths(since);
    const int64_t until = emu::EndOfSpan();
    std::vector<NOTEID> ids;
    {
        std::lock_guard lock(db->mutex);
        // The write lock, taken after the span's end: no change stamped
        // before it is still uncommitted in another task.
        if (!emu::Exec(db->conn, "BEGIN IMMEDIATE")) return err::DB_IO;
        struct EndRead {
            sqlite3* conn;
            ~EndRead() { emu::Exec(conn, "ROLLBACK"); }
        } endRead{db->conn};
        emu::Stmt st(db->conn,
                     "SELECT id, deleted FROM notes WHERE (class & ?) != 0 AND modified >= ? AND modified < ? ORDER BY id");
        if (!st) return err::DB_IO;
        sqlite3_bind_int(st.s, 1, classMask);
        sqlite3_bind_int64(st.s, 2, from);
        sqlite3_bind_int64(st.s, 3, until);
        int rc;
        while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
            const NOTEID id = static_cast<NOTEID>(sqlite3_column_int64(st.s, 0));
            if (!sqlite3_column_int(st.s, 1))
                ids.push_back(id);
            else if (withStubs)
                ids.push_back(id | RRV_DELETED);
        }
        if (rc != SQLITE_DONE) return err::DB_IO;
    }
    // Nothing changed: not a failure. Whether a server still sets retUntil
    // then is not stated; leaving both outputs untouched makes a caller that
    // relies on either find out here rather than on a server.
    if (ids.empty()) return err::NO_MODIFIED_NOTES;
    DHANDLE table = NULLHANDLE;
    if (STATUS s = emu::CreateIdTable(&table)) return s;
    for (NOTEID id : ids) emu::IdInsert(table, id);
    *retUntil = emu::FromHundredths(until);
    *rethTable = table;
    return NOERROR;
}

EMU_EXPORT STATUS NSFDbGetNoteInfo(DBHANDLE hDb, NOTEID id, ORIGINATORID* retOid, TIMEDATE* retModified,
                                  WORD* retClass) {
    if (STATUS s = emu::Fault(Op::GetDbNoteInfo)) return s;
    emu::DbPtr db = emu::UseDb(hDb, Op::GetDbNoteInfo);
    if (!db) return err::INVALID_HANDLE;
    // An id still carrying RRV_DELETED is no note id (the platform's own
    // sample clears the bit first for that reason).
    if (id & RRV_DELETED) return err::BAD_NOTEID;
    std::lock_guard lock(db->mutex);
    emu::Stmt st(db->conn, "SELECT class, f0, f1, n0, n1, seq, deleted, modified FROM notes WHERE id=?");
    if (!st) return err::DB_IO;
    sqlite3_bind_int64(st.s, 1, id);
    if (sqlite3_step(st.s) != SQLITE_ROW) return err::BAD_NOTEID;
    ORIGINATORID oid{};
    oid.File.Innards[0] = static_cast<DWORD>(sqlite3_column_int64(st.s, 1));
    oid.File.Innards[1] = static_cast<DWORD>(sqlite3_column_int64(st.s, 2));
    oid.Note.Innards[0] = static_cast<DWORD>(sqlite3_column_int64(st.s, 3));
    oid.Note.Innards[1] = static_cast<DWORD>(sqlite3_column_int64(st.s, 4));
    oid.Sequence = static_cast<DWORD>(sqlite3_column_int64(st.s, 5));
    const TIMEDATE modified = emu::FromHundredths(sqlite3_column_int64(st.s, 7));
    oid.SequenceTime = modified;
    if (retOid) *retOid = oid;
    if (retModified) *retModified = modified;
    if (retClass) *retClass = static_cast<WORD>(sqlite3_column_int(st.s, 0));
    // A stub still tells its UNID, time and class (the platform's sample
    // reads them after this status).
    return sqlite3_column_int(st.s, 6) ? err::NOTE_DELETED : NOERROR;
}

EMU_EXPORT void OSCurrentTIMEDATE(TIMEDATE* now) {
    if (now) *now = emu::FromHundredths(emu::NowHundredths());
}

EMU_EXPORT STATUS IDDestroyTable(DHANDLE table) {
    if (STATUS s = emu::Fault(Op::DestroyIdTable)) return s;
    return emu::DestroyIdTable(table);
}

}  // extern "C"
