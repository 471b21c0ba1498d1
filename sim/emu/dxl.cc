// The DXL importer, for what an administrator's kit holds:
// the database title, ACL entries, forms as design notes, views with a
// selection of documents by item values and columns by item name, and
// documents with text, number, time and text-list items, each as the DXL
// schema declares it (dxl_xml.h). Anything else fails the import with its
// line in the result log, as the real importer does with its default
// options (iUnknownTokenLogOption FATALERROR): a design that imports only
// in part would be worse than none.
//
// The XML is parsed by libxml2 (no network, no entity substitution); the
// whole document is checked before anything is written, so a refused
// import leaves the database as it was.
#include <libxml/parser.h>

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "emu/dxl_parse.h"
#include "emu/store.h"

using emu::Op;
namespace err = emu::err;

namespace emu {
namespace {

using dxl::Failure;
using dxl::Parsed;

// A design larger than this is not a design.
constexpr size_t kMaxDxlBytes = 16u << 20;

struct Importer {
    int acl = DXLIMPORTOPTION_IGNORE;  // the C API's defaults: ACL and design ignored
    int design = DXLIMPORTOPTION_IGNORE;
    int documents = DXLIMPORTOPTION_CREATE;
    BOOL replaceDbProperties = FALSE;
    std::string log;
    bool errorLogged = false;
    std::vector<NOTEID> imported;  // by the last import
};

std::mutex gImportersMutex;
std::unordered_map<DXLIMPORTHANDLE, Importer> gImporters;

void SetMeta(sqlite3* conn, const char* key, const std::string& value) {
    Stmt st(conn, "INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?)");
    sqlite3_bind_text(st.s, 1, key, -1, SQLITE_STATIC);
    sqlite3_bind_text(st.s, 2, value.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st.s) != SQLITE_DONE) throw Failure(std::string("the database's ") + key + " was not written");
}

// One transaction for the whole import: all of it is written or none.
// Notes written by the importer raise no Extension Manager events here:
// only a kit program imports, and no add-in runs in it.
STATUS Write(Database& db, const Importer& imp, const Parsed& p, std::vector<NOTEID>* ids) {
    std::lock_guard lock(db.mutex);
    if (!Exec(db.conn, "BEGIN IMMEDIATE")) return err::DB_IO;
    try {
        if (imp.replaceDbProperties && p.title) SetMeta(db.conn, "title", *p.title);
        if (imp.acl != DXLIMPORTOPTION_IGNORE && p.hasAcl) SetMeta(db.conn, "acl", p.acl);
        auto store = [&](uint16_t noteClass, const std::vector<Item>& items) {
            Note note;
            note.noteClass = noteClass;
            NewOid(&note.oid);
            const NOTEID id = InsertNoteRow(db.conn, note);
            if (!id || !WriteItems(db.conn, id, items)) throw Failure("a note was not written");
            ids->push_back(id);
        };
        if (imp.design != DXLIMPORTOPTION_IGNORE)
            for (const auto& [noteClass, items] : p.designs) store(noteClass, items);
        if (imp.documents != DXLIMPORTOPTION_IGNORE)
            for (const auto& items : p.documents) store(NOTE_CLASS_DOCUMENT, items);
        if (!Exec(db.conn, "COMMIT")) throw Failure("the import was not committed");
    } catch (const Failure&) {
        Exec(db.conn, "ROLLBACK");
        ids->clear();
        return err::DB_IO;
    }
    return NOERROR;
}

}  // namespace
}  // namespace emu

extern "C" {

EMU_EXPORT STATUS DXLCreateImporter(DXLIMPORTHANDLE* importer) {
    if (STATUS s = emu::Fault(Op::CreateImporter)) return s;
    if (!importer) return err::INVALID_HANDLE;
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
    std::lock_guard lock(emu::gImportersMutex);
    *importer = emu::detail::NewHandle();
    emu::gImporters[*importer] = {};
    return NOERROR;
}

EMU_EXPORT STATUS DXLSetImporterProperty(DXLIMPORTHANDLE importer, DXL_IMPORT_PROPERTY prop, void* value) {
    if (STATUS s = emu::Fault(Op::SetImporterProperty)) return s;
    std::lock_guard lock(emu::gImportersMutex);
    auto it = emu::gImporters.find(importer);
    if (it == emu::gImporters.end()) return err::INVALID_HANDLE;
    if (!value) return err::DXL_BAD_OPTION;
    emu::Importer& imp = it->second;
    const int option = *static_cast<const int*>(value);
    switch (prop) {
        case iACLImportOption:  // the reference: only REPLACE_ELSE_IGNORE is valid for the ACL
            if (option != DXLIMPORTOPTION_IGNORE && option != DXLIMPORTOPTION_REPLACE_ELSE_IGNORE)
                return err::DXL_BAD_OPTION;
            imp.acl = option;
            return NOERROR;
        case iDesignImportOption:  // UPDATE options do not apply to design elements
            if (option != DXLIMPORTOPTION_IGNORE && option != DXLIMPORTOPTION_CREATE &&
                option != DXLIMPORTOPTION_REPLACE_ELSE_CREATE && option != DXLIMPORTOPTION_IGNORE_ELSE_CREATE)
                return err::DXL_BAD_OPTION;
            imp.design = option;
            return NOERROR;
        case iDocumentsImportOption:
            if (option != DXLIMPORTOPTION_IGNORE && option != DXLIMPORTOPTION_CREATE) return err::DXL_BAD_OPTION;
            imp.documents = option;
            return NOERROR;
        case iReplaceDbProperties:
            imp.replaceDbProperties = *static_cast<const BOOL*>(value);
            return NOERROR;
        case iUnknownTokenLogOption:
        case iExitOnFirstFatalError:
            // Every failure here is fatal and ends the import: only the
            // defaults are taken, anything laxer is refused.
            if (prop == iUnknownTokenLogOption ? option != DXLLOGOPTION_FATALERROR
                                               : *static_cast<const BOOL*>(value) != TRUE)
                return err::DXL_BAD_OPTION;
            return NOERROR;
        default:
            return err::DXL_BAD_OPTION;
    }
}

EMU_EXPORT STATUS DXLGetImporterProperty(DXLIMPORTHANDLE importer, DXL_IMPORT_PROPERTY prop, void* value) {
    std::lock_guard lock(emu::gImportersMutex);
    auto it = emu::gImporters.find(importer);
    if (it == emu::gImporters.end()) return err::INVALID_HANDLE;
    if (!value) return err::DXL_BAD_OPTION;
    if (prop == iImportedNoteList) {
        DHANDLE table = NULLHANDLE;
        if (STATUS s = emu::CreateIdTable(&table)) return s;
        for (NOTEID id : it->second.imported) emu::IdInsert(table, id);
        *static_cast<DHANDLE*>(value) = table;
        return NOERROR;
    }
    if (prop != iResultLog) return err::DXL_BAD_OPTION;
    const std::string& log = it->second.log;
    std::vector<uint8_t> bytes(log.begin(), log.end());
    bytes.push_back(0);
    *static_cast<MEMHANDLE*>(value) = emu::detail::AllocBlock(std::move(bytes), true);
    return NOERROR;
}

EMU_EXPORT STATUS DXLImport(DXLIMPORTHANDLE importer, XML_READ_FUNCTION reader, DBHANDLE dbHandle, void* action) {
    if (STATUS s = emu::Fault(Op::ImportDxl)) return s;
    {
        std::lock_guard lock(emu::gImportersMutex);
        if (!emu::gImporters.count(importer)) return err::INVALID_HANDLE;
    }
    emu::DbPtr db = emu::UseDb(dbHandle, Op::ImportDxl);
    if (!db || !reader) return err::INVALID_HANDLE;
    std::string bytes;
    BYTE chunk[4096];
    emu::Importer settings;
    STATUS result = NOERROR;
    std::string reason;
    std::vector<NOTEID> imported;
    try {
        for (DWORD n; (n = reader(chunk, sizeof chunk, action)) > 0;) {
            if (n > sizeof chunk) throw emu::dxl::Failure("the reader returned more bytes than asked for");
            bytes.append(reinterpret_cast<const char*>(chunk), n);
            if (bytes.size() > emu::kMaxDxlBytes) throw emu::dxl::Failure("the DXL is larger than 16 MB");
        }
        emu::dxl::Parsed parsed = emu::dxl::ParseDxl(bytes);
        {
            std::lock_guard lock(emu::gImportersMutex);
            settings = emu::gImporters[importer];
        }
        result = emu::Write(*db, settings, parsed, &imported);
        if (result) reason = "the database could not be written";
    } catch (const emu::dxl::Failure& e) {
        result = err::DXL_IMPORT_FAILED;
        reason = e.what();
    } catch (const std::exception& e) {
        result = err::DXL_IMPORT_FAILED;
        reason = std::string("the import failed: ") + e.what();
    }
    std::lock_guard lock(emu::gImportersMutex);
    emu::Importer& imp = emu::gImporters[importer];
    imp.imported = std::move(imported);
    if (result) {
        imp.errorLogged = true;
        imp.log += "DXL import failed: " + reason + "\n";
    }
    return result;
}

EMU_EXPORT BOOL DXLImportWasErrorLogged(DXLIMPORTHANDLE importer) {
    std::lock_guard lock(emu::gImportersMutex);
    auto it = emu::gImporters.find(importer);
    return it != emu::gImporters.end() && it->second.errorLogged;
}

EMU_EXPORT void DXLDeleteImporter(DXLIMPORTHANDLE importer) {
    std::lock_guard lock(emu::gImportersMutex);
    emu::gImporters.erase(importer);
}

}  // extern "C"

