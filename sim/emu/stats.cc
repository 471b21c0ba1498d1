// Server statistics (StatUpdate and its kin). A server keeps one table for
// all its tasks for as long as it runs: here that is one SQLite file in the
// data directory, so every task process of the directory adds to the same
// values, a value outlives the task that set it, and a freshly prepared
// directory starts with none. An additive update is one statement inside
// one transaction, so updates from several processes at once lose nothing.
//
// Where the reference is silent the stricter reading is taken: one instance
// per name (flags without ST_UNIQUE or ST_ADDITIVE are refused), a value
// keeps the type it was created with, ST_ADDITIVE only for VT_LONG and
// VT_NUMBER, texts and names of bounded length. VT_TIMEDATE is not
// supported (refused): nothing here needs one, and the console cannot show
// what it cannot convert.
#include <sqlite3.h>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "emu/internal.h"

namespace emu {
namespace {

constexpr size_t kMaxName = 127;  // a facility's or a statistic's name, bytes
constexpr size_t kMaxText = 255;  // a VT_TEXT value, bytes

std::mutex gMutex;  // the connection, and which directory it belongs to
sqlite3* gConn = nullptr;
std::string gConnDir;
pid_t gConnPid = 0;  // a connection is never used across fork

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS stats(facility TEXT NOT NULL COLLATE NOCASE, name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL, additive INTEGER NOT NULL, value, PRIMARY KEY(facility, name))";

// The statistics table of the current data directory; null when it cannot
// be opened. Called with gMutex held.
sqlite3* Table() {
    const std::string dir = DataDirectory();
    if (gConn && gConnPid != getpid()) gConn = nullptr;  // the parent's: left alone
    if (gConn && gConnDir == dir) return gConn;
    if (gConn) sqlite3_close_v2(gConn);
    gConn = nullptr;
    sqlite3* conn = nullptr;
    const std::string file = dir + "/statistics.sqlite";
    if (sqlite3_open_v2(file.c_str(), &conn, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        sqlite3_close_v2(conn);
        return nullptr;
    }
    sqlite3_busy_timeout(conn, 10000);
    // A server's statistics live in memory: no need to reach the disk at
    // each commit. Switching a new file to WAL takes an exclusive lock that
    // SQLite does not wait for, so two tasks starting together may be told
    // "locked": tried again, within the same bound as any other wait.
    int rc = SQLITE_BUSY;
    for (int tries = 0; tries < 1000; ++tries) {
        rc = sqlite3_exec(conn, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_exec(conn, kSchema, nullptr, nullptr, nullptr);
        if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) break;
        usleep(10000);
    }
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(conn);
        return nullptr;
    }
    gConn = conn;
    gConnDir = dir;
    gConnPid = getpid();
    return gConn;
}

struct Statement {
    sqlite3_stmt* s = nullptr;
    Statement(sqlite3* conn, const char* sql) { sqlite3_prepare_v2(conn, sql, -1, &s, nullptr); }
    ~Statement() { sqlite3_finalize(s); }
    Statement& Text(int i, const char* t) {
        sqlite3_bind_text(s, i, t, -1, SQLITE_TRANSIENT);
        return *this;
    }
};

bool NameOk(const char* name) { return name && *name && strlen(name) <= kMaxName; }

struct Stat {
    std::string facility, name;
    WORD type = VT_LONG;
    LONG number = 0;
    NUMBER real = 0;
    std::string text;
};

// Every statistic matching the filters (null: any), sorted by facility and
// name as the console lists them.
std::vector<Stat> Select(const char* facility, const char* name) {
    std::vector<Stat> out;
    std::lock_guard lock(gMutex);
    sqlite3* conn = Table();
    if (!conn) return out;
    Statement q(conn,
                "SELECT facility, name, type, value FROM stats WHERE (?1 IS NULL OR facility = ?1) AND"
                " (?2 IS NULL OR name = ?2) ORDER BY facility COLLATE NOCASE, name COLLATE NOCASE");
    if (facility) q.Text(1, facility);
    if (name) q.Text(2, name);
    while (q.s && sqlite3_step(q.s) == SQLITE_ROW) {
        Stat st;
        st.facility = reinterpret_cast<const char*>(sqlite3_column_text(q.s, 0));
        st.name = reinterpret_cast<const char*>(sqlite3_column_text(q.s, 1));
        st.type = static_cast<WORD>(sqlite3_column_int(q.s, 2));
        // A LONG statistic wraps as a 32-bit counter does.
        st.number = static_cast<LONG>(static_cast<uint32_t>(sqlite3_column_int64(q.s, 3)));
        st.real = sqlite3_column_double(q.s, 3);
        if (st.type == VT_TEXT) st.text = reinterpret_cast<const char*>(sqlite3_column_text(q.s, 3));
        out.push_back(std::move(st));
    }
    return out;
}

std::string ValueText(const Stat& st) {
    char text[64];
    switch (st.type) {
        case VT_LONG: snprintf(text, sizeof text, "%d", static_cast<int>(st.number)); return text;
        case VT_NUMBER: snprintf(text, sizeof text, "%.15g", st.real); return text;
        default: return st.text;
    }
}

bool StartsNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (tolower(static_cast<unsigned char>(text[i])) != tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

}  // namespace

std::vector<std::string> ShowStat(const std::string& prefix) {
    // "TARN" and "TARN.Notices" name groups (a whole part of the name),
    // "TARN.Notices.Delivered" one statistic, "TARN.Task.*" any beginning.
    const bool wildcard = !prefix.empty() && prefix.back() == '*';
    const std::string wanted = wildcard ? prefix.substr(0, prefix.size() - 1) : prefix;
    std::vector<std::string> lines;
    for (const Stat& st : Select(nullptr, nullptr)) {
        const std::string full = st.facility + "." + st.name;
        const bool match = wanted.empty() || (wildcard && StartsNoCase(full, wanted)) ||
                           (StartsNoCase(full, wanted) && (full.size() == wanted.size() || full[wanted.size()] == '.'));
        if (match) lines.push_back(full + " = " + ValueText(st));
    }
    return lines;
}

}  // namespace emu

using emu::Op;

extern "C" {

EMU_EXPORT STATUS StatUpdate(const char* facility, const char* statName, WORD flags, WORD valueType,
                             const void* value) {
    if (STATUS s = emu::Fault(Op::StatUpdate)) return s;
    if (!facility || !statName || !value || !*facility || !*statName) return emu::err::INVALID_ARGS;
    if (!emu::NameOk(facility) || !emu::NameOk(statName)) return emu::err::NAME_LENGTH;
    if (flags != ST_UNIQUE && flags != ST_ADDITIVE && flags != ST_RESETABLE) return emu::err::BAD_FLAGS;
    if (valueType != VT_LONG && valueType != VT_NUMBER && valueType != VT_TEXT) return emu::err::INVALID_ARGS;
    const bool additive = (flags & ST_ADDITIVE) != 0;
    if (additive && valueType == VT_TEXT) return emu::err::BAD_FLAGS;
    if (valueType == VT_TEXT && strlen(static_cast<const char*>(value)) > emu::kMaxText)
        return emu::err::INVALID_ARGS;

    std::lock_guard lock(emu::gMutex);
    sqlite3* conn = emu::Table();
    if (!conn) return emu::err::DB_IO;
    if (sqlite3_exec(conn, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return emu::err::DB_IO;
    STATUS result = NOERROR;
    {
        emu::Statement type(conn, "SELECT type FROM stats WHERE facility = ?1 AND name = ?2");
        type.Text(1, facility).Text(2, statName);
        if (type.s && sqlite3_step(type.s) == SQLITE_ROW && sqlite3_column_int(type.s, 0) != valueType)
            result = emu::err::INVALID_ARGS;
    }
    if (result == NOERROR) {
        emu::Statement up(conn, additive ? "INSERT INTO stats VALUES(?1, ?2, ?3, 1, ?4) ON CONFLICT(facility, name)"
                                           " DO UPDATE SET value = value + excluded.value, additive = 1"
                                         : "INSERT INTO stats VALUES(?1, ?2, ?3, 0, ?4) ON CONFLICT(facility, name)"
                                           " DO UPDATE SET value = excluded.value, additive = 0");
        up.Text(1, facility).Text(2, statName);
        sqlite3_bind_int(up.s, 3, valueType);
        if (valueType == VT_LONG)
            sqlite3_bind_int64(up.s, 4, *static_cast<const LONG*>(value));
        else if (valueType == VT_NUMBER)
            sqlite3_bind_double(up.s, 4, *static_cast<const NUMBER*>(value));
        else
            up.Text(4, static_cast<const char*>(value));
        if (!up.s || sqlite3_step(up.s) != SQLITE_DONE) result = emu::err::DB_IO;
    }
    sqlite3_exec(conn, result == NOERROR ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
    return result;
}

EMU_EXPORT void StatDelete(const char* facility, const char* statName) {
    if (emu::Fault(Op::StatDelete)) return;
    if (!facility || !statName) return;
    std::lock_guard lock(emu::gMutex);
    sqlite3* conn = emu::Table();
    if (!conn) return;
    emu::Statement del(conn, "DELETE FROM stats WHERE facility = ?1 AND name = ?2");
    del.Text(1, facility).Text(2, statName);
    if (del.s) sqlite3_step(del.s);
}

EMU_EXPORT STATUS StatReset(const char* facility, const char* statName) {
    if (STATUS s = emu::Fault(Op::StatReset)) return s;
    if (!facility || !statName) return emu::err::INVALID_ARGS;
    std::lock_guard lock(emu::gMutex);
    sqlite3* conn = emu::Table();
    if (!conn) return emu::err::DB_IO;
    emu::Statement find(conn, "SELECT additive, type FROM stats WHERE facility = ?1 AND name = ?2");
    find.Text(1, facility).Text(2, statName);
    if (!find.s || sqlite3_step(find.s) != SQLITE_ROW) return emu::err::STAT_NOT_FOUND;
    if (sqlite3_column_int(find.s, 0) == 0 || sqlite3_column_int(find.s, 1) == VT_TEXT) return emu::err::STAT_NOT_SET;
    emu::Statement zero(conn, "UPDATE stats SET value = 0 WHERE facility = ?1 AND name = ?2");
    zero.Text(1, facility).Text(2, statName);
    return zero.s && sqlite3_step(zero.s) == SQLITE_DONE ? NOERROR : emu::err::DB_IO;
}

EMU_EXPORT void StatTraverse(char* facility, char* statName, STATTRAVERSEPROC routine, void* context) {
    if (emu::Fault(Op::StatTraverse) || !routine) return;
    // Read first: the routine may update statistics itself.
    for (emu::Stat& st : emu::Select(facility, statName)) {
        void* value = st.type == VT_LONG ? static_cast<void*>(&st.number)
                      : st.type == VT_NUMBER ? static_cast<void*>(&st.real)
                                             : static_cast<void*>(st.text.data());
        if (routine(context, st.facility.data(), st.name.data(), st.type, value) != NOERROR) break;
    }
}

EMU_EXPORT STATUS StatQuery(char* headerString, char* namePrefix, char* valuePrefix, char* lineSuffix,
                            DHANDLE* rethStats, DWORD* retStatsLength) {
    if (STATUS s = emu::Fault(Op::StatQuery)) return s;
    if (!rethStats || !retStatsLength) return emu::err::INVALID_ARGS;
    *rethStats = NULLHANDLE;
    *retStatsLength = 0;
    auto part = [](const char* p) { return std::string(p ? p : ""); };
    std::string text = part(headerString);
    for (const emu::Stat& st : emu::Select(nullptr, nullptr))
        text += part(namePrefix) + st.facility + "." + st.name + part(valuePrefix) + emu::ValueText(st) +
                part(lineSuffix);
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    *rethStats = emu::detail::AllocBlock(std::move(bytes), true);
    *retStatsLength = static_cast<DWORD>(text.size());
    return NOERROR;
}

}  // extern "C"
