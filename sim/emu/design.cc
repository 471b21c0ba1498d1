// Design pieces of the stand-in that need no XML: NSFDbCreate and
// NSFDbDelete, and the selection an imported view keeps (see dxl.cc, which
// writes it).
#include <algorithm>
#include <cstring>
#include <filesystem>

#include "emu/store.h"

using emu::Op;
namespace err = emu::err;
namespace fs = std::filesystem;

extern "C" {

EMU_EXPORT STATUS NSFDbCreate(const char* path, USHORT dbClass, BOOL forceCreation) {
    if (STATUS s = emu::Fault(Op::CreateDatabase)) return s;
    if (!path || !*path || strlen(path) >= MAXPATH) return err::NOEXIST;
    // Only plain databases, and never over one that exists: overwriting an
    // administrator's database is not something the stand-in offers.
    if (dbClass != DBCLASS_NOTEFILE || forceCreation) return err::BAD_FLAGS;
    std::error_code ec;
    if (fs::exists(emu::FileSystemPath(emu::FilePathFor(path)), ec)) return err::DB_EXISTS;
    return emu::CreateDatabase(path);
}

// The reference's statuses: ERR_NOEXIST for no such file; ERR_LOCK while
// the database is in use. A handle open in this process is such a use
// (its SQLite connection would go on writing to a removed file), so the
// stand-in refuses it rather than delete under an open handle.
EMU_EXPORT STATUS NSFDbDelete(const char* path) {
    if (STATUS s = emu::Fault(Op::DeleteDatabase)) return s;
    if (!path || !*path || strlen(path) >= MAXPATH) return err::NOEXIST;
    const std::string canonical = emu::Canonical(path), file = emu::FilePathFor(canonical);
    std::error_code ec;
    if (!fs::is_regular_file(emu::FileSystemPath(file), ec)) return err::NOEXIST;
    {
        std::lock_guard lock(emu::gMutex);
        for (const auto& [handle, db] : emu::gDbs)
            if (db->file == file) return err::DB_IN_USE;
    }
    if (!fs::remove(emu::FileSystemPath(file), ec)) return err::DB_IO;
    for (const char* suffix : {"-wal", "-shm", "-journal"}) fs::remove(emu::FileSystemPath(file + suffix), ec);
    return NOERROR;
}

}  // extern "C"

namespace emu {

bool SelectionTermMatches(const std::string& term, const std::vector<Item>& items) {
    size_t eq = term.find('=');
    if (term.size() < 2 || eq == std::string::npos) return false;
    const std::string name = term.substr(1, eq - 1), value = term.substr(eq + 1);
    const Item* it = FindItem(items, name.c_str(), name.size());
    if (!it) return false;
    if (term[0] == 'T') {
        // The formula language pairs a single value with each element of a
        // list: Form = "A" holds when any element is "A". The comparison is
        // exact, case included (text compares case-sensitively unless a
        // function such as @LowerCase makes it otherwise).
        if (it->type == TYPE_TEXT) return it->value == value;
        if (it->type != TYPE_TEXT_LIST) return false;
        const std::vector<std::string> texts = UnpackTextList(it->value);
        return std::find(texts.begin(), texts.end(), value) != texts.end();
    }
    if (it->type != TYPE_NUMBER || it->value.size() != 8) return false;
    double d;
    memcpy(&d, it->value.data(), 8);
    return d == strtod(value.c_str(), nullptr);
}

}  // namespace emu
