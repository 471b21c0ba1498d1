// Reading a database's access control list (NSFDbReadACL, ACLEnumEntries).
// The entries are those the DXL importer stored; a database made by
// NSFDbCreate and never given an ACL has none.
#include <cstring>

#include "emu/store.h"

using emu::Op;
namespace err = emu::err;

extern "C" {

// The ACL handed out is a caller-owned block holding "level\tname\n" lines.
EMU_EXPORT STATUS NSFDbReadACL(DBHANDLE dbHandle, DHANDLE* acl) {
    if (STATUS s = emu::Fault(Op::ReadAcl)) return s;
    if (!acl) return err::INVALID_HANDLE;
    *acl = NULLHANDLE;
    emu::DbPtr db = emu::UseDb(dbHandle, Op::ReadAcl);
    if (!db) return err::INVALID_HANDLE;
    std::vector<uint8_t> bytes;
    {
        std::lock_guard lock(db->mutex);
        emu::Stmt st(db->conn, "SELECT value FROM meta WHERE key='acl'");
        if (!st) return err::DB_IO;
        if (sqlite3_step(st.s) == SQLITE_ROW) {
            const auto* v = static_cast<const uint8_t*>(sqlite3_column_blob(st.s, 0));
            bytes.assign(v, v + sqlite3_column_bytes(st.s, 0));
        }
    }
    *acl = emu::detail::AllocBlock(std::move(bytes), true);
    return NOERROR;
}

EMU_EXPORT STATUS ACLEnumEntries(DHANDLE acl,
                                 void (*enumFunc)(void*, char*, WORD, ACL_PRIVILEGES*, WORD),
                                 void* param) {
    std::vector<uint8_t> bytes;
    if (!enumFunc || !emu::detail::BlockBytes(acl, &bytes)) return err::INVALID_HANDLE;
    std::string text(bytes.begin(), bytes.end());
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        std::string name = line.substr(tab + 1);
        ACL_PRIVILEGES privileges{};
        enumFunc(param, name.data(), static_cast<WORD>(std::stoi(line.substr(0, tab))), &privileges, 0);
    }
    return NOERROR;
}

}  // extern "C"
