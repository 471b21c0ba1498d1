#include "config/tarn_config.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>

#include "base/ascii.h"
#include "base/note_items.h"
#include "base/task_context.h"
#include "base/view_read.h"
#include "log/notes_error.h"
#include "log/tarn_log.h"
#include "stats/tarn_stats.h"

TARNConfig::TARNConfig() { Publish(TARNSettings{}, {}, {}); }

TARNConfig::~TARNConfig() {
    // The configuration database closes first, then the alerts database.
    configDb.reset();
    alertsDb.reset();
    delete lists.exchange(nullptr);
}

TARNConfig::ListsReader::ListsReader(const TARNConfig& c) {
    for (;;) {
        const uint32_t epoch = c.readEpoch.load(std::memory_order_seq_cst);
        counter = &c.readers[epoch & 1];
        counter->fetch_add(1, std::memory_order_seq_cst);
        // Announced under the epoch still in force: a reload flipping it now
        // will wait for this reader.
        if (c.readEpoch.load(std::memory_order_seq_cst) == epoch) break;
        counter->fetch_sub(1, std::memory_order_seq_cst);
    }
    lists = c.lists.load(std::memory_order_seq_cst);
}

void TARNConfig::PublishLists(std::unique_ptr<const Lists> next) {
    const Lists* old = lists.exchange(next.release(), std::memory_order_seq_cst);
    const uint32_t epoch = readEpoch.fetch_add(1, std::memory_order_seq_cst);
    // Readers that may still hold the old lists announced themselves in the
    // old epoch's counter; new ones see the new lists.
    while (readers[epoch & 1].load(std::memory_order_acquire) != 0) std::this_thread::yield();
    delete old;
}

void TARNConfig::Reset() {
    std::lock_guard lock(reloadMutex);
    configDb.reset();
    alertsDb.reset();
    alertsDbId = DBID{};
    Publish(TARNSettings{}, {}, {});
    task = nullptr;
    configOpen = false;
}

void TARNConfig::Publish(const TARNSettings& s, std::vector<std::string> users,
                         std::vector<std::string> excluded) {
    tarn::stats::Set(tarn::stats::Gauge::Users, static_cast<int64_t>(users.size()));
    tarn::stats::Set(tarn::stats::Gauge::Excluded, static_cast<int64_t>(excluded.size()));
    PublishLists(std::make_unique<const Lists>(s, std::move(users), std::move(excluded)));
    logLevel.store(s.logLevel, std::memory_order_relaxed);
}

TARNSettings TARNConfig::GetSettings() const { return ListsReader(*this)->settings; }

const TaskContext& TARNConfig::Task() const { return task ? *task : DetachedTask(); }

namespace {
using ReadResult = ::ViewRead;

// A view of the configuration read whole; a collection left open holds the
// server's resources, so a failed close names its view.
template <class Page>
ReadResult ReadConfigView(DBHANDLE db, const char* viewName, DWORD mask, bool allPages, const TaskContext& log,
                          Page&& page) {
    STATUS s = NOERROR;
    const ReadResult r = ReadView(db, viewName, mask, allPages, page, &s);
    if (r == ReadResult::CloseFailed)
        log.Log(1, "Error on NIFCloseCollection of view %s: %s", viewName, StatusText(s).c_str());
    return r;
}

// The settings items of the server document; false when one is missing.
bool ReadSettings(NOTEHANDLE note, TARNSettings& into) {
    // A look that fails ends the load (base/note_items.h): the configuration
    // in force stays.
    auto present = [&](const char* name) { return ItemPresent(note, name, "Error loading TARNConfig: "); };
    // A 255-byte limit, terminator included, into the 260-byte fields.
    constexpr WORD kSettingSize = 255;
    static_assert(sizeof TARNSettings::url > kSettingSize);
    auto text = [&](const char* name, char* field) {
        if (!present(name)) return false;
        ReadTextItem(note, name, field, kSettingSize);
        return true;
    };
    into.logLevel = present("DTC_LogLevel") ? NSFItemGetLong(note, "DTC_LogLevel", 0) : 1;
    if (!text("Url_DomToTN", into.url) || !text("Hostname_DomToTN", into.hostname)) return false;
    if (!present("Port_Domino")) return false;
    into.port = NSFItemGetLong(note, "Port_Domino", 0);
    return text("AuthType", into.authType) && text("Username", into.username) && text("Password", into.password);
}
}  // namespace

bool TARNConfig::Open(TaskContext* owner) {
    try {
        task = owner;
        if (OpenDatabaseInto(alertsDb, "brackwater\\tarnalerts.nsf") != 0) {
            Task().Log(1, "%s", "Error opening TARNAlerts database");
            return false;
        }
        NSFDbIDGet(alertsDb.get(), &alertsDbId);
        if (OpenDatabaseInto(configDb, "brackwater\\tarnconfig.nsf") != 0) {
            Task().Log(1, "%s", "Error opening TARNConfig database");
            return false;
        }
        configOpen = true;
    } catch (const std::exception& e) {
        Task().Log(1, "%s", e.what());
        return false;
    }
    return Load();
}

bool TARNConfig::Load() {
    if (!configOpen) return false;
    try {
        std::lock_guard lock(reloadMutex);
        // A reload runs on whichever server thread met the alert or the
        // refresh message: it reads through that thread's own handle.
        DbHandle own;
        if (STATUS st = ReopenDatabaseInto(own, configDb.get())) {
            Task().Log(1, "Error reopening TARNConfig database (%s)", StatusText(st).c_str());
            return false;
        }
        if (!LoadLocked(own.get())) return false;
        if (task) task->ReloadSucceeded();
        return true;
    } catch (const std::exception& e) {
        Task().Log(1, "%s", e.what());
        return false;
    }
}

bool TARNConfig::LoadLocked(DBHANDLE db) {
    // Everything is read aside; the configuration in force changes only when
    // the whole load succeeded, and the database stays open for the next one.
    TARNSettings pending = GetSettings();
    if (!GetTARNConfig(db, pending)) {
        Task().Log(1, "%s", "Error loading TARNConfig");
        return false;
    }
    std::vector<std::string> users;
    if (!LoadUserList(db, users)) {
        Task().Log(1, "%s", "Error loading User list");
        return false;
    }
    std::vector<std::string> excluded;
    if (!LoadExcludeList(db, excluded)) {
        Task().Log(1, "%s", "Error loading Exclude list");
        return false;
    }
    Publish(pending, std::move(users), std::move(excluded));
    // Every notice would go to "/?action=...", which a web server may answer
    // 200 without the processor hearing of it: none is sent instead.
    if (pending.url[0] == '\0')
        Task().Log(1, "%s",
                     "ERROR: Url_DomToTN is empty: no notice is sent until it is set (the queue notes stay for the "
                     "processor's sweep)");
    return true;
}

bool TARNConfig::GetTARNConfig(DBHANDLE db, TARNSettings& into) {
    auto firstDocument = [&](const uint8_t* ids, WORD, DWORD) {
        NOTEID first = 0;
        memcpy(&first, ids, sizeof first);  // Domino buffers are packed
        NoteHandle opened;
        if (OpenNoteInto(opened, db, first, 0) != 0) {
            LogPlain("Error occured when opening Note");
            return false;
        }
        return ReadSettings(opened.get(), into);
    };
    switch (ReadConfigView(db, "server", READ_MASK_NOTEID, false, Task(), firstDocument)) {
        case ReadResult::Ok: return true;
        case ReadResult::NotFound:
            if (task) task->MarkNotInitialised();
            Task().Log(1, "%s", "Error occured when finding server view");
            return false;
        case ReadResult::NoCollection:
            if (task) task->MarkNotInitialised();
            Task().Log(1, "%s", "Error on NIFOpenCollection in GetTARNConfig()");
            return false;
        case ReadResult::ReadFailed: LogPlain("Error on NIFReadEntry"); return false;
        case ReadResult::Empty:
            LogPlain("Setting Dummy server values");
            into.logLevel = 1;
            CopyBounded(into.url, sizeof into.url, "servlet/dts");
            return true;
        case ReadResult::NoBuffer: LogPlain("No buffer returned"); return false;
        case ReadResult::Refused:
        case ReadResult::CloseFailed: return false;
    }
    return false;
}

namespace {
// A summary view's text values, every page, into target.
ReadResult ReadTextView(DBHANDLE db, const char* viewName, const TaskContext& log, std::vector<std::string>& target) {
    return ReadConfigView(db, viewName, READ_MASK_SUMMARYVALUES, true, log,
                    [&](const uint8_t* bytes, WORD length, DWORD entries) {
                        WalkSummaryEntries(target, bytes, length, entries);
                        return true;
                    });
}
}  // namespace

bool TARNConfig::LoadUserList(DBHANDLE db, std::vector<std::string>& into) {
    into.clear();
    switch (ReadTextView(db, "maildblookup", Task(), into)) {
        case ReadResult::Ok: return true;
        case ReadResult::NotFound: LogPlain("Error occured when finding maildb view"); return false;
        case ReadResult::ReadFailed: LogPlain("Error on maildb NIFReadEntry"); return false;
        case ReadResult::Empty: LogPlain("No Users configured"); return true;
        case ReadResult::NoBuffer: LogPlain("No data returned for maildb list"); return false;
        case ReadResult::NoCollection:
        case ReadResult::Refused:
        case ReadResult::CloseFailed: return false;
    }
    return false;
}

bool TARNConfig::LoadExcludeList(DBHANDLE db, std::vector<std::string>& into) {
    into.clear();
    switch (ReadTextView(db, "dsdlookup", Task(), into)) {
        case ReadResult::NotFound: LogPlain("Error occured when finding Exclude config view"); return false;
        case ReadResult::Empty: LogPlain("No Exclude Dbs configured"); return true;
        case ReadResult::NoCollection:
        case ReadResult::ReadFailed:
        case ReadResult::NoBuffer:
        case ReadResult::Refused: return false;
        case ReadResult::Ok:
        case ReadResult::CloseFailed: break;  // the close status does not fail this load
    }
    for (const char* path : TARNConfig::kBuiltInExcluded) into.emplace_back(path);
    std::sort(into.begin(), into.end());
    return true;
}

bool TARNConfig::IsUserMailFile(char* path) const {
    LowerAscii(path);
    return ListsReader(*this)->users.Contains(path);
}

bool TARNConfig::IsExcludedDb(char* path) const {
    LowerAscii(path);
    return ListsReader(*this)->excluded.Contains(path);
}

TARNConfig::Membership TARNConfig::Classify(char* path) const {
    LowerAscii(path);
    // One announcement for both lists: the callback's refused paths pay for
    // one, not two.
    const ListsReader current(*this);
    const MembershipList::Probe probe(path);
    if (current->excluded.Contains(probe)) return Membership::Excluded;
    return current->users.Contains(probe) ? Membership::User : Membership::NotUser;
}

void TARNConfig::AdoptLists(std::vector<std::string> users, std::vector<std::string> excluded) {
    std::lock_guard lock(reloadMutex);
    Publish(GetSettings(), std::move(users), std::move(excluded));
}

void TARNConfig::AdoptSettings(const TARNSettings& s) {
    std::lock_guard lock(reloadMutex);
    Publish(s, UserList(), ExcludeList());
}

std::vector<std::string> TARNConfig::UserList() const { return ListsReader(*this)->users.Entries(); }

std::vector<std::string> TARNConfig::ExcludeList() const { return ListsReader(*this)->excluded.Entries(); }
