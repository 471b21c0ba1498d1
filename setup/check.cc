// tarn-setup check: what an administrator can mend before the add-in runs,
// one plain line each. The configuration is read by the add-in's own code
// (TARNConfig, the task-list rules) and the platform reads of base/ (views,
// items, the calendar profile) it is built on; what that code takes silently
// (an item of the wrong type, an empty path) is looked at here item by item.
//
// Problems stop the add-in from capturing, or lose every notice; warnings
// leave it capturing. Exit 0 without problems, 1 with.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "acl.h"
#include "base/auth_names.h"
#include "base/db_handle.h"
#include "base/note_items.h"
#include "base/profile_field.h"
#include "base/view_read.h"
#include "config/tarn_config.h"
#include "host/entry.h"
#include "host/tarn_session.h"
#include "ipc/queue_name.h"
#include "ipc/task_list.h"
#include "kit/kit.h"
#include "setup.h"
#include "transport/connection.h"
#include "transport/http_client.h"
#include "transport/worker_pool.h"

namespace tarnsetup {
namespace {

constexpr char kConfigDb[] = "brackwater\\tarnconfig.nsf";

struct Findings {
    std::vector<std::string> problems, warnings;
    void Problem(const std::string& s) { problems.push_back(s); }
    void Warning(const std::string& s) { warnings.push_back(s); }
};

// Opens a database for the check's own reads; empty when it cannot.
DbHandle Open(const std::string& path) {
    DbHandle db;
    OpenDatabaseInto(db, path.c_str());
    return db;
}

void CheckViews(DBHANDLE config, Findings& f) {
    for (const char* view : {"server", "maildblookup", "dsdlookup"}) {
        NOTEID id = 0;
        if (FindUsableView(config, view, &id) == NOERROR) continue;
        // Found without the add-in's design-flag pattern: there, but not usable.
        if (FindViewWithAnyFlags(config, view, &id) == NOERROR)
            f.Problem(std::string("view ") + view + " in " + kConfigDb +
                      " is hidden or a folder: the add-in does not find it");
        else
            f.Problem(std::string("view ") + view + " is missing from " + kConfigDb);
    }
}

// The first document of "server", as the add-in takes it; 0 when none.
NOTEID FirstServerDocument(DBHANDLE config) {
    NOTEID id = 0;
    ReadView(config, "server", READ_MASK_NOTEID, false, [&](const uint8_t* ids, WORD, DWORD) {
        memcpy(&id, ids, sizeof id);  // Domino buffers are packed
        return true;
    });
    return id;
}

// False when there is no server document.
bool CheckServerItems(DBHANDLE config, Findings& f) {
    const NOTEID id = FirstServerDocument(config);
    if (!id) {
        f.Problem(std::string("no server document in ") + kConfigDb +
                  " (view server is empty): the add-in sends no notice anywhere");
        return false;
    }
    NoteHandle note;
    if (OpenNoteInto(note, config, id, 0)) {
        f.Problem("the server document cannot be opened");
        return false;
    }
    struct Expected {
        const char* name;
        WORD type;
        bool required;
    };
    const Expected items[] = {{"Url_DomToTN", TYPE_TEXT, true},  {"Hostname_DomToTN", TYPE_TEXT, true},
                              {"Port_Domino", TYPE_NUMBER, true}, {"AuthType", TYPE_TEXT, true},
                              {"Username", TYPE_TEXT, true},      {"Password", TYPE_TEXT, true},
                              {"DTC_LogLevel", TYPE_NUMBER, false}};
    for (const Expected& e : items) {
        WORD type = 0;
        const char* kind = e.type == TYPE_TEXT ? "text" : "a number";
        try {
            if (!ItemPresent(note.get(), e.name, "the server document's ", &type)) {
                if (e.required)
                    f.Problem(std::string("the server document has no item ") + e.name +
                              ": the configuration does not load");
            } else if (type != e.type) {
                std::string line = std::string("the server document's item ") + e.name + " is not " + kind;
                if (e.required) f.Problem(line); else f.Warning(line);
            }
        } catch (const NotesWrapper::notes_error& error) {
            // Not read is not absent: the add-in's load stops there too.
            f.Problem(std::string(error.what()) + ": the configuration does not load");
        }
    }
    return true;
}

void CheckSettings(const TARNSettings& s, Findings& f) {
    const std::string auth = s.authType;
    if (tarn::AuthOfItem(auth) < 0)
        f.Problem("AuthType is \"" + auth + "\": it must be exactly None, Basic or Session");
    // 0 is the connection's default port, as the add-in opens it: 80, and
    // 443 with TARN_HTTP_Secure=1.
    if (s.port < 0 || s.port > 65535)
        f.Problem("Port_Domino is " + std::to_string(s.port) +
                  ": a port is 1 to 65535, or 0 for the default (80; 443 with TARN_HTTP_Secure=1)");
    // An empty path sends every notice to "/?action=...", which a web server
    // may well answer 200: notices lost without a line.
    if (!*s.url) f.Problem("Url_DomToTN is empty: every notice would go to /?action=... and be lost");
    if (!*s.hostname) f.Problem("Hostname_DomToTN is empty: no notice reaches the processor");
}

void CheckLists(const TARNConfig& config, Findings& f) {
    const std::vector<std::string> users = config.UserList();
    if (users.empty()) f.Problem("no mail file is listed (view maildblookup is empty): nothing is captured");
    for (const std::string& path : users) {
        const DbHandle db = Open(path);
        if (!db) {
            f.Warning("listed mail file " + path + " does not exist");
            continue;
        }
        // The filter's own read: what it refuses is warned of, what it takes is not.
        char owner[256];
        const ProfileText read = ReadProfileText(db.get(), "CalendarProfile", "Owner", owner, sizeof owner);
        if (read == ProfileText::NoProfile)
            f.Warning("mail file " + path + " has no CalendarProfile: its changes are not captured");
        else if (read != ProfileText::Ok)
            f.Warning("mail file " + path + " has no text Owner in its CalendarProfile: its changes are not captured");
    }
    for (const std::string& path : config.ExcludeList()) {
        // The add-in's own databases are always on the list.
        if (TARNConfig::IsBuiltInExcluded(path)) continue;
        if (!Open(path)) f.Warning("excluded database " + path + " does not exist");
    }
}

// A notes.ini value as the add-in's transport reads it; false when unset.
bool Ini(const char* name, std::string& value) {
    char text[256] = {};
    if (!OSGetEnvironmentString(name, text, sizeof text - 1)) return false;
    value = text;
    return true;
}

// The notice settings through the add-in's own parsers: what makes it send
// nothing is a problem, what it replaces by a default a warning.
void CheckHttpSettings(Findings& f) {
    std::string v;
    bool secure = false;
    if (Ini("TARN_HTTP_Secure", v) && !ParseHttpSecure(v.c_str(), secure))
        f.Problem("TARN_HTTP_Secure=" + v + " is not 0 or 1: no notice is sent until it is mended");
    if (Ini("TARN_HTTP_CAFile", v) && !v.empty()) {
        if (!secure)
            f.Warning("TARN_HTTP_CAFile is set but TARN_HTTP_Secure is not 1: notices go over plain HTTP");
        else if (const std::string why = CaFileUnreadable(v.c_str()); !why.empty())
            f.Problem("TARN_HTTP_CAFile=" + v + " cannot be read (" + why + "): no notice is sent until it is mended");
    }
    uint32_t ms = 0;
    if (Ini("TARN_HTTP_Timeout", v) && !ParseHttpTimeout(v.c_str(), ms))
        f.Warning("TARN_HTTP_Timeout=" + v +
                  " is not a time-out from 1 to 600 seconds (or 100ms to 600000ms): the defaults are used (connect " +
                  HttpTimeoutText(tarn::http::kDefaultConnectTimeoutMs) + ", send and receive " +
                  HttpTimeoutText(tarn::http::kDefaultReceiveTimeoutMs) + ")");
    int workers = 0;
    if (Ini("TARN_HTTP_Workers", v) && !ParseHttpWorkers(v.c_str(), workers))
        f.Warning("TARN_HTTP_Workers=" + v + " is not a number from " + std::to_string(WorkerPool::kMinWorkers) +
                  " to " + std::to_string(WorkerPool::kMaxWorkers) + ": the default " +
                  std::to_string(WorkerPool::kDefaultWorkers) + " is used");
}

struct AclReader {
    std::vector<std::pair<std::string, WORD>> entries;
    static void Entry(void* param, char* name, WORD level, ACL_PRIVILEGES*, WORD) {
        static_cast<AclReader*>(param)->entries.emplace_back(name, level);
    }
};

void CheckAcl(DBHANDLE config, Findings& f) {
    MemoryHandle acl;
    if (acl.Take([&](DHANDLE* h) { return NSFDbReadACL(config, h); })) {
        f.Warning(std::string("the ACL of ") + kConfigDb + " cannot be read");
        return;
    }
    AclReader reader;
    ACLEnumEntries(acl.get(), AclReader::Entry, &reader);
    bool hasDefault = false;
    for (const auto& [name, level] : reader.entries) {
        hasDefault |= name == "-Default-";
        if ((name == "-Default-" || name == "Anonymous") && level >= ACL_LEVEL_READER)
            f.Warning("the ACL of " + std::string(kConfigDb) + " lets " + name +
                      " read it, and with it the processor's password: set " + name + " to No Access");
    }
    if (!hasDefault)
        f.Warning("the ACL of " + std::string(kConfigDb) + " has no -Default- entry: set one to No Access");
}

// Task names: Windows servers run nserver.exe, nhttp.exe, ...; Linux ones
// server, http, ... (no "n", no ".exe"). Which one this is, the server's own
// paths tell: a Windows server writes them with '\', a Linux one with '/'.
bool IsWindowsServer(DBHANDLE config) {
    char path[MAXPATH] = {};
    return NSFDbPathGet(config, path, nullptr) == NOERROR && strchr(path, '/') == nullptr;
}

void CheckTaskList(bool windows, Findings& f) {
    char list[1024] = {};
    if (!OSGetEnvironmentString("TARN_Task_List", list, sizeof list - 1)) {
        f.Problem("TARN_Task_List is not set in notes.ini: no task is served");
        return;
    }
    const std::string whole = list;
    if (whole.size() > MAXENVVALUE - 1)
        f.Warning("TARN_Task_List is longer than " + std::to_string(MAXENVVALUE - 1) +
                  " characters: tasks named after that are not served");
    std::vector<std::string> entries, names;
    bool http = false;
    for (const std::string& raw : TaskListEntries(whole)) {
        std::string entry = Trimmed(raw);
        if (entry != raw) f.Warning("TARN_Task_List entry \"" + raw + "\" has blanks around it");
        if (std::string why = WhyEntryNeverMatches(entry); !why.empty())
            f.Warning("TARN_Task_List entry \"" + entry + "\" can never match a task (" + why + ")");
        http |= entry == (windows ? "nhttp.exe" : "http");
        const bool exe = entry.size() > 4 && entry.compare(entry.size() - 4, 4, ".exe") == 0;
        if (!entry.empty() && exe != windows && entry.find(';') == std::string::npos)
            f.Warning("TARN_Task_List entry \"" + entry + "\" is not a task name of a " +
                      (windows ? "Windows" : "Linux") + " server (" +
                      (windows ? "nserver.exe, nhttp.exe, ..." : "server, http, ...") + ")");
        entries.push_back(entry);
        // The names inside an entry, for the served-by-part test below.
        for (const std::string& name : TaskListEntries(entry, ';')) names.push_back(Trimmed(name));
    }
    // A task matches when its lower-cased name is part of the list's text
    // (IsTaskListed): an entry with a capital letter serves none, unless a
    // known task's name is part of it.
    const std::string served = whole.substr(0, MAXENVVALUE - 1);
    bool servesOne = false;
    for (const std::string& entry : entries)
        servesOne |= !entry.empty() && WhyEntryNeverMatches(entry).find("capital") == std::string::npos;
    for (const char* task : {"server", "http", "amgr", "router", "replica"})
        servesOne |= !windows && IsTaskListed(task, served.c_str());
    if (!servesOne) {
        f.Problem("TARN_Task_List=" + whole +
                  (Trimmed(whole).empty() ? " is empty" : " names no task a process can match") +
                  ": no task is served (list lower-case file names separated by commas)");
        return;
    }
    // The replicator saves every change it brings in: served, it captures
    // each replicated change again on the next server of a cluster.
    for (const std::string& name : names) {
        const bool exe = name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0;
        const std::string base = exe ? name.substr(0, name.size() - 4) : name;
        if (base == "replica" || base == "clrepl" || base == "nreplica" || base == "nclrepl")
            f.Warning("TARN_Task_List names the replicator task " + name +
                      ": on a cluster it captures every replicated change again on the next server; leave it out");
    }
    if (!http)
        f.Warning(std::string("TARN_Task_List has no HTTP task (") + (windows ? "nhttp.exe" : "http") +
                  "): configuration alerts are never noticed");
    // Linux tasks whose names are part of the Windows ones. The HTTP task
    // reads no refresh messages, so being served by part costs it nothing.
    if (!windows)
        for (const char* task : {"server", "amgr", "router", "replica"}) names.push_back(task);
    for (const std::string& name : names) {
        if (name == "http" || name == "nhttp.exe") continue;
        const std::string entry = EntryServingByPart(name, whole.substr(0, MAXENVVALUE - 1));
        if (entry.empty()) continue;
        char queue[kQueueNameMax + 1];
        BuildQueueName(entry.data(), entry.size(), queue);
        f.Warning("task " + name + " is served only as part of the TARN_Task_List entry \"" + entry +
                  "\": its refresh messages go to " + queue + ", which it does not read");
    }
}

int RunCheck() {
    Findings f;
    bool databases = true;
    for (const auto& d : tarnkit::kDesigns) {
        if (const DbHandle db = Open(d.path)) {
            // What an interrupted create left: there, but not the kit's.
            if (const std::string lacking = tarnkit::LackingDesign(db.get(), d.name); !lacking.empty())
                f.Problem(std::string(d.path) + " lacks the kit's design (" + lacking +
                          "): remove it and run tarn-setup create");
        } else {
            f.Problem(std::string(d.path) + " does not exist (tarn-setup create makes it)");
            databases = false;
        }
    }
    bool windows = true, serverDocument = false;
    if (const DbHandle config = Open(kConfigDb)) {
        windows = IsWindowsServer(config.get());
        CheckViews(config.get(), f);
        serverDocument = CheckServerItems(config.get(), f);
        CheckAcl(config.get(), f);
    }
    if (databases) {
        // The add-in's own load, as a task does it at start.
        TARNSession session;
        session.StartLog("tarn-setup");
        TARNConfig* config = session.GetConfig();
        if (!config->Open(&session)) {
            if (f.problems.empty()) f.Problem("the add-in does not load the configuration (see console.log)");
        } else {
            if (serverDocument) CheckSettings(config->GetSettings(), f);
            CheckLists(*config, f);
        }
        config->Reset();
    }
    CheckTaskList(windows, f);
    CheckHttpSettings(f);
    for (const auto& p : f.problems) std::cout << "problem: " << p << "\n";
    for (const auto& w : f.warnings) std::cout << "warning: " << w << "\n";
    std::cout << (f.problems.empty() ? "the add-in will capture" : "the add-in will not capture") << " ("
              << f.problems.size() << " problems, " << f.warnings.size() << " warnings)\n";
    return f.problems.empty() ? 0 : 1;
}

const CommandRegistration kCheck(20, [](CLI::App& app, Run& run) {
    auto* cmd = app.add_subcommand("check", "report what stops the add-in from capturing, one line each");
    cmd->callback([&run] { run = [](const Context&) { return RunCheck(); }; });
});

}  // namespace
}  // namespace tarnsetup
