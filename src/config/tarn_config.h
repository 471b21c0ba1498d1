// The add-in's configuration: processor settings, the users' mail files and
// the excluded databases, read from the configuration database.
//
// Callbacks on many server threads read it while a reload may run on another.
// A reload builds the new settings and lists aside and publishes them whole,
// in one block: a reader sees the old configuration or the new one, never a
// mix, and settings are handed out as copies of one block. An old block is
// freed once no reader can still be inside it: readers announce themselves
// in one of two counters chosen by an epoch, and a reload flips the epoch
// and waits for the old counter to drain. Readers take no lock.
//
// Not std::atomic<std::shared_ptr>: libstdc++ 12's load() releases its
// internal lock with a relaxed store after reading the pointer, a data race
// that ThreadSanitizer reports against every reload (and a real one where a
// relaxed read-modify-write is no barrier).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/db_handle.h"
#include "config/summary_buffer.h"
#include "base/notes_capi.h"
#include "base/tarn_settings.h"
#include "config/membership_list.h"
#include "log/tarn_log.h"

class TaskContext;

class TARNConfig {
public:
    // The add-in's own databases: on the exclude list whatever dsdlookup holds.
    static constexpr const char* kBuiltInExcluded[] = {"brackwater\\qcapture.nsf", "brackwater\\qin.nsf",
                                                       "brackwater\\qout.nsf"};
    static bool IsBuiltInExcluded(std::string_view path) {
        for (const char* p : kBuiltInExcluded)
            if (path == p) return true;
        return false;
    }

    TARNConfig();
    ~TARNConfig();

    TARNConfig(const TARNConfig&) = delete;
    TARNConfig& operator=(const TARNConfig&) = delete;

    // Back to the constructed state: databases closed, lists empty, level 1.
    void Reset();

    bool Open(TaskContext* owner);
    bool Load();

    int32_t GetLogLevel() const { return logLevel.load(std::memory_order_relaxed); }
    // What the task's log tests its lines against.
    const LogLevelSetting& LevelSetting() const { return logLevel; }
    // The settings in force, all of one load.
    TARNSettings GetSettings() const;
    std::string GetUrl() const { return GetSettings().url; }
    std::string GetHostname() const { return GetSettings().hostname; }
    std::string GetAuthType() const { return GetSettings().authType; }
    std::string GetUsername() const { return GetSettings().username; }
    std::string GetPassword() const { return GetSettings().password; }
    int32_t GetPort() const { return GetSettings().port; }
    const uint8_t* GetAlertsDbId() const { return reinterpret_cast<const uint8_t*>(&alertsDbId); }
    static const char* GetQueueDbPath() { return "brackwater\\qcapture.nsf"; }

    // Lower-case path in place, then test it.
    bool IsUserMailFile(char* path) const;
    bool IsExcludedDb(char* path) const;
    // Both tests on one reading of the lists in force, as the filter makes
    // them (an excluded database is not asked about further).
    enum class Membership { Excluded, NotUser, User };
    Membership Classify(char* path) const;

    // Puts lists, or settings, in force without reading a database
    // (benchmarks, tools).
    void AdoptLists(std::vector<std::string> users, std::vector<std::string> excluded);
    void AdoptSettings(const TARNSettings& s);
    // The lists in force (for tools and tests).
    std::vector<std::string> UserList() const;
    std::vector<std::string> ExcludeList() const;

    DBHANDLE ConfigDb() const { return configDb.get(); }

    // Published blocks not yet freed, in all configurations of the process:
    // one per live configuration when reloads reclaim what they replace.
    static long LiveBlocks() { return liveBlocks.load(); }

private:
    struct Lists {
        TARNSettings settings;
        MembershipList users;
        MembershipList excluded;
        Lists(const TARNSettings& s, std::vector<std::string> u, std::vector<std::string> e)
            : settings(s), users(std::move(u)), excluded(std::move(e)) {
            ++liveBlocks;
        }
        ~Lists() { --liveBlocks; }
    };
    static inline std::atomic<long> liveBlocks{0};

    // The lists in force, held for as long as the guard lives.
    class ListsReader {
    public:
        explicit ListsReader(const TARNConfig& c);
        ~ListsReader() { counter->fetch_sub(1, std::memory_order_release); }
        ListsReader(const ListsReader&) = delete;
        ListsReader& operator=(const ListsReader&) = delete;
        const Lists* operator->() const { return lists; }

    private:
        std::atomic<int>* counter;
        const Lists* lists;
    };
    void PublishLists(std::unique_ptr<const Lists> next);  // frees the block it replaces
    void Publish(const TARNSettings& s, std::vector<std::string> users, std::vector<std::string> excluded);
    bool LoadLocked(DBHANDLE db);
    // The loaders, each reading db into what it is given.
    bool GetTARNConfig(DBHANDLE db, TARNSettings& into);
    bool LoadUserList(DBHANDLE db, std::vector<std::string>& into);
    bool LoadExcludeList(DBHANDLE db, std::vector<std::string>& into);
    // The task's log; without a task, lines go out without a task name.
    const TaskContext& Task() const;

    DbHandle configDb;
    DbHandle alertsDb;
    DBID alertsDbId{};
    LogLevelSetting logLevel{1};
    std::atomic<const Lists*> lists{nullptr};
    mutable std::atomic<uint32_t> readEpoch{0};
    mutable std::atomic<int> readers[2] = {0, 0};
    TaskContext* task = nullptr;
    bool configOpen = false;
    std::mutex reloadMutex;  // one reload at a time; readers never take it
};
