#include "kit/kit.h"

#include <libxml/tree.h>

#include <cstring>
#include <memory>

#include "idtable.h"
#include "miscerr.h"
#include "nif.h"
#include "nsfdb.h"
#include "nsfnote.h"
#include "osmem.h"
#include "osmisc.h"
#include "xml.h"

#include "base/db_handle.h"
#include "base/status_text.h"

namespace tarnkit {

const Design kDesigns[3] = {
    {"brackwater\\tarnconfig.nsf", "tarnconfig"},
    {"brackwater\\tarnalerts.nsf", "tarnalerts"},
    {"brackwater\\qcapture.nsf", "qcapture"},
};

// The names the designs hold in place of a site's own.
constexpr char kAdminsPlaceholder[] = "TARN Administrators";
constexpr char kProcessorPlaceholder[] = "TARN Processor";

std::string StatusText(STATUS s) { return StatusTextWithCode(s); }

namespace {

using XmlDoc = std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)>;

std::string Dump(xmlDocPtr doc) {
    xmlChar* out = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(doc, &out, &size, "UTF-8");
    std::string s(reinterpret_cast<const char*>(out), size);
    xmlFree(out);
    return s;
}

// The design with the site's names in its ACL.
std::string WithNames(const std::string& dxl, const CreateOptions& o) {
    if (o.admins.empty() && o.processorAccount.empty()) return dxl;
    XmlDoc doc(xmlReadMemory(dxl.data(), static_cast<int>(dxl.size()), "design.dxl", nullptr, XML_PARSE_NONET),
               xmlFreeDoc);
    if (!doc) return dxl;  // the importer reports what is wrong with it
    for (xmlNode* acl = xmlDocGetRootElement(doc.get())->children; acl; acl = acl->next) {
        if (acl->type != XML_ELEMENT_NODE || strcmp(reinterpret_cast<const char*>(acl->name), "acl") != 0) continue;
        for (xmlNode* e = acl->children; e; e = e->next) {
            if (e->type != XML_ELEMENT_NODE) continue;
            xmlChar* name = xmlGetProp(e, BAD_CAST "name");
            std::string n = name ? reinterpret_cast<const char*>(name) : "";
            xmlFree(name);
            const std::string& to = n == kAdminsPlaceholder ? o.admins : n == kProcessorPlaceholder ? o.processorAccount : "";
            if (!to.empty()) xmlSetProp(e, BAD_CAST "name", BAD_CAST to.c_str());
        }
    }
    return Dump(doc.get());
}

std::string ServerDocument(const ServerSettings& s) {
    XmlDoc doc(xmlNewDoc(BAD_CAST "1.0"), xmlFreeDoc);
    xmlNode* db = xmlNewNode(nullptr, BAD_CAST "database");
    xmlDocSetRootElement(doc.get(), db);
    xmlNewProp(db, BAD_CAST "xmlns", BAD_CAST "http://www.lotus.com/dxl");
    xmlNode* d = xmlNewChild(db, nullptr, BAD_CAST "document", nullptr);
    xmlNewProp(d, BAD_CAST "form", BAD_CAST "Server");
    auto item = [&](const char* name, const char* kind, const std::string& value) {
        xmlNode* it = xmlNewChild(d, nullptr, BAD_CAST "item", nullptr);
        xmlNewProp(it, BAD_CAST "name", BAD_CAST name);
        xmlNewTextChild(it, nullptr, BAD_CAST kind, BAD_CAST value.c_str());  // escapes the value
    };
    item("Url_DomToTN", "text", s.path);
    item("Hostname_DomToTN", "text", s.host);
    item("Port_Domino", "number", std::to_string(s.port));
    item("AuthType", "text", s.auth);
    item("Username", "text", s.user);
    item("Password", "text", s.password);
    item("DTC_LogLevel", "number", std::to_string(s.logLevel));
    return Dump(doc.get());
}

struct Reader {
    const std::string* text;
    size_t at = 0;
};

DWORD ReadDxl(BYTE* buffer, DWORD length, void* action) {
    auto* r = static_cast<Reader*>(action);
    size_t n = std::min<size_t>(length, r->text->size() - r->at);
    memcpy(buffer, r->text->data() + r->at, n);
    r->at += n;
    return static_cast<DWORD>(n);
}

}  // namespace

using ImporterHandle = UniqueHandle<DXLIMPORTHANDLE, DXLDeleteImporter>;

STATUS ImportDxl(DBHANDLE db, const std::string& dxl, std::string* log, std::vector<NOTEID>* imported) {
    ImporterHandle importerHolder;
    if (STATUS s = importerHolder.Take([](DXLIMPORTHANDLE* h) { return DXLCreateImporter(h); })) {
        if (log) *log = "the DXL importer did not start: " + StatusText(s);
        return s;
    }
    // Design and ACL are ignored unless asked for (the C API reference's
    // defaults); the database title comes with iReplaceDbProperties.
    const DXLIMPORTHANDLE importer = importerHolder.get();
    int design = DXLIMPORTOPTION_REPLACE_ELSE_CREATE, acl = DXLIMPORTOPTION_REPLACE_ELSE_IGNORE;
    BOOL replaceProperties = TRUE;
    STATUS s = DXLSetImporterProperty(importer, iDesignImportOption, &design);
    if (!s) s = DXLSetImporterProperty(importer, iACLImportOption, &acl);
    if (!s) s = DXLSetImporterProperty(importer, iReplaceDbProperties, &replaceProperties);
    std::string text = dxl;
    Reader reader{&text};
    if (!s) s = DXLImport(importer, ReadDxl, db, &reader);
    if (s && log) {
        *log = StatusText(s);
        MemoryHandle result;
        MEMHANDLE block = NULLHANDLE;
        if (DXLImportWasErrorLogged(importer) && !DXLGetImporterProperty(importer, iResultLog, &block) && block) {
            result.adopt(block);
            if (const char* p = static_cast<const char*>(OSLockObject(result.get()))) *log += ": " + std::string(p);
            OSUnlockObject(result.get());
        }
        while (!log->empty() && log->back() == '\n') log->pop_back();
    }
    DHANDLE table = NULLHANDLE;
    if (!s && imported && DXLGetImporterProperty(importer, iImportedNoteList, &table) == NOERROR) {
        IdTableHandle owned;
        owned.adopt(table);
        DWORD id = 0;
        for (BOOL more = IDScan(table, TRUE, &id); more; more = IDScan(table, FALSE, &id)) imported->push_back(id);
    }
    return s;
}

namespace {

// The kit's forms and views the database lacks; NOERROR, or the status of a
// look-up that failed for another reason than not finding one.
STATUS MissingDesign(DBHANDLE db, const std::string& name, std::vector<std::string>* missing) {
    const std::string dxl = DesignText(name);
    XmlDoc doc(xmlReadMemory(dxl.data(), static_cast<int>(dxl.size()), "design.dxl", nullptr, XML_PARSE_NONET),
               xmlFreeDoc);
    if (!doc) return NOERROR;  // no design to hold the database to
    for (xmlNode* e = xmlDocGetRootElement(doc.get())->children; e; e = e->next) {
        if (e->type != XML_ELEMENT_NODE) continue;
        const std::string kind = reinterpret_cast<const char*>(e->name);
        if (kind != "form" && kind != "view") continue;
        xmlChar* title = xmlGetProp(e, BAD_CAST "name");
        const std::string n = title ? reinterpret_cast<const char*>(title) : "";
        xmlFree(title);
        NOTEID id = 0;
        // No flag pattern: a hidden view is the design's, and check says so apart.
        STATUS s = NIFFindDesignNoteExt(db, n.c_str(), kind == "form" ? NOTE_CLASS_FORM : NOTE_CLASS_VIEW, "", &id, 0);
        if (ERR(s) == ERR_NOT_FOUND)
            missing->push_back(kind + " " + n);
        else if (s)
            return s;
    }
    return NOERROR;
}

}  // namespace

std::string LackingDesign(DBHANDLE db, const std::string& name) {
    std::vector<std::string> missing;
    if (STATUS s = MissingDesign(db, name, &missing)) return "its design cannot be read: " + StatusText(s);
    std::string text;
    for (const std::string& m : missing) text += (text.empty() ? "" : ", ") + m;
    return text;
}

namespace {

// One database made and filled; false after its lines to err, the database
// then deleted again (or, when that fails, named for the administrator).
bool CreateOne(const Design& d, const CreateOptions& o, bool withServer, std::ostream& out, std::ostream& err) {
    const char* path = d.path;
    if (STATUS s = NSFDbCreate(path, DBCLASS_NOTEFILE, FALSE)) {
        err << path << ": not created: " << StatusText(s) << "\n";
        return false;
    }
    bool ok = false;
    // Closed before the database may be removed again (a delete refuses
    // while a handle is open).
    if (DbHandle opened; STATUS s = OpenDatabaseInto(opened, path)) {
        err << path << ": created but not opened: " << StatusText(s) << "\n";
    } else {
        const DBHANDLE db = opened.get();
        std::string log;
        ok = ImportDxl(db, WithNames(DesignText(d.name), o), &log) == NOERROR;
        if (!ok) err << path << ": design not imported: " << log << "\n";
        if (ok && withServer) {
            ok = ImportDxl(db, ServerDocument(*o.server), &log) == NOERROR;
            if (!ok) err << path << ": server document not written: " << log << "\n";
        }
        // The importer's success is not taken on trust: the forms and views
        // the add-in and the administrator need must be there.
        if (ok) {
            if (std::string lacking = LackingDesign(db, d.name); !lacking.empty()) {
                err << path << ": design incomplete after the import (" << lacking << ")\n";
                ok = false;
            }
        }
    }
    if (ok) {
        out << path << ": created\n";
        return true;
    }
    if (STATUS s = NSFDbDelete(path)) {
        err << path << ": not removed again: " << StatusText(s) << "\n";
        err << path << ": left empty; remove it before running create again\n";
    } else {
        err << path << ": removed again; run create again to make it\n";
    }
    return false;
}

}  // namespace

int CreateDatabases(const CreateOptions& o, std::ostream& out, std::ostream& err) {
    bool present[3] = {};
    bool refused = false;
    int rc = 0;
    for (int i = 0; i < 3; ++i) {
        DbHandle db;
        if (OpenDatabaseInto(db, kDesigns[i].path) == NOERROR) {
            const std::string lacking = o.skipExisting ? LackingDesign(db.get(), kDesigns[i].name) : "";
            db.reset();
            present[i] = true;
            if (!o.skipExisting) {
                err << kDesigns[i].path << " exists: not touched (remove it, or give --skip-existing to keep it)\n";
                refused = true;
            } else if (!lacking.empty()) {
                // What an interrupted create of an earlier version left:
                // never taken for whole.
                err << kDesigns[i].path << " exists but lacks the kit's design (" << lacking
                    << "): remove it and run create again\n";
                rc = 1;
            } else {
                out << kDesigns[i].path << " exists: left as it is\n";
            }
        }
    }
    if (refused) return 1;
    for (int i = 0; i < 3; ++i)
        if (!present[i] && !CreateOne(kDesigns[i], o, i == 0 && o.server, out, err)) rc = 1;
    return rc;
}

}  // namespace tarnkit
