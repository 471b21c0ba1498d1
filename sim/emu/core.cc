// Emulator core: data directory, notes.ini, console, status texts, fault
// injection, counters, memory blocks, id tables and the Extension Manager.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "emu/internal.h"

namespace fs = std::filesystem;
using namespace notes;

namespace emu {
namespace {

std::mutex gMutex;  // guards everything below but the counters

std::string& DataDirRef() {
    static std::string dir = [] {
        const char* env = std::getenv("NOTES_DATA");
        return std::string(env && *env ? env : "./data");
    }();
    return dir;
}

std::array<std::atomic<uint64_t>, static_cast<size_t>(Op::Count_)> gCalls{};

struct FaultRule {
    STATUS status = 0;
    unsigned nth = 0;        // 0 = always
    uint64_t countAtSet = 0;
};
std::map<Op, FaultRule> gFaults;

std::atomic<int> gOpen[4]{};
std::atomic<int> gLocked{0};
std::atomic<int> gAllocated{0};

struct Block {
    std::vector<uint8_t> bytes;
    bool callerOwned = true;
    int locks = 0;
};
std::unordered_map<MEMHANDLE, Block> gBlocks;

std::unordered_map<IDTABLE, std::vector<NOTEID>> gIdTables;
// Scan cursors per table and thread would be truer; one cursor per table is
// what a caller that scans on one thread needs.
std::unordered_map<IDTABLE, size_t> gIdCursor;

struct Registration {
    uint16_t eventId;
    uint16_t flags;
    EmCallback callback;
    uint16_t recursionId;
};
std::map<HEMREGISTRATION, Registration> gRegistrations;
std::vector<std::string> gDeregistrations;
uint16_t gNextRecursionId = 1;
std::atomic<bool> gSkip{false};
thread_local std::set<uint16_t> tActiveRecursion;
thread_local int tDispatchDepth = 0;

std::deque<std::string> gConsole;
constexpr size_t kConsoleKeep = 20000;
bool gEcho = true;

const char* const kOpNames[] = {
    "GetEnvironmentString", "LogMessage", "LoadStatusString",
    "EmRegister", "EmDeregister", "EmCreateRecursionId", "EmCallbackSkip",
    "OpenDatabase", "CloseDatabase", "GetDatabaseId", "GetDatabasePath",
    "OpenNote", "CloseNote", "CreateNote", "UpdateNote", "UpdateNoteExtended", "GetNoteInfo",
    "ItemInfo", "GetItemText", "GetItemLong", "SetItemNumber", "AppendItem", "DeleteItem",
    "GetProfileField", "FindView", "OpenCollection", "ReadEntries", "CloseCollection",
    "LockObject", "UnlockObject", "FreeMemory", "IdScan",
    "MqOpen", "MqPut", "MqGet", "MqCount",
    "DeleteNotes",
};
static_assert(sizeof(kOpNames) / sizeof(kOpNames[0]) == static_cast<size_t>(Op::Count_));

std::string IniPath() { return DataDirRef() + "/notes.ini"; }

std::vector<std::pair<std::string, std::string>> ReadIni() {
    std::vector<std::pair<std::string, std::string>> vars;
    std::ifstream in(IniPath());
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        auto eq = line.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        vars.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    return vars;
}

void WriteIni(const std::vector<std::pair<std::string, std::string>>& vars) {
    fs::create_directories(DataDirRef());
    std::ofstream out(IniPath(), std::ios::trunc);
    for (const auto& [k, v] : vars) out << k << '=' << v << '\n';
}

bool SameNameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

struct StatusText {
    STATUS status;
    const char* text;
};
const StatusText kStatusTexts[] = {
    {err::NOEXIST, "File does not exist"},
    {err::INVALID_HANDLE, "Invalid or nonexistent handle"},
    {err::NOT_FOUND, "Entry not found in index"},
    {err::ITEM_NOT_FOUND, "Note item not found"},
    {err::NOTE_DELETED, "Document has been deleted"},
    {err::BAD_NOTEID, "Invalid document identifier"},
    {err::DB_IO, "Database file could not be read or written"},
    {err::NO_MEMORY, "Insufficient memory"},
    {err::EM_NO_RECURSION, "No more Extension Manager recursion identifiers"},
    {err::MQ_NOEXIST, "Message queue does not exist"},
    {err::MQ_EMPTY, "No message is waiting in the queue"},
    {err::MQ_BFR_TOO_SMALL, "Message is larger than the receive buffer"},
    {err::MQ_QUOTA, "Message queue is full"},
    {err::MQ_NAME, "Invalid message queue name"},
    {err::INJECTED, "Injected failure"},
};

// EMU_FAULTS="Op=status[@nth],..." makes operations of a task process fail
// from its start, for tests that run whole processes.
struct FaultsFromEnvironment {
    FaultsFromEnvironment() {
        const char* env = std::getenv("EMU_FAULTS");
        if (!env) return;
        std::string spec(env);
        size_t start = 0;
        while (start <= spec.size()) {
            size_t end = spec.find(',', start);
            std::string one = spec.substr(start, end == std::string::npos ? std::string::npos : end - start);
            auto eq = one.find('=');
            if (eq != std::string::npos) {
                std::string name = one.substr(0, eq);
                unsigned long status = std::strtoul(one.c_str() + eq + 1, nullptr, 0);
                auto at = one.find('@');
                unsigned nth = at == std::string::npos ? 0 : static_cast<unsigned>(std::strtoul(one.c_str() + at + 1, nullptr, 0));
                for (size_t i = 0; i < static_cast<size_t>(Op::Count_); ++i)
                    if (name == kOpNames[i]) gFaults[static_cast<Op>(i)] = FaultRule{static_cast<STATUS>(status), nth, 0};
            }
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
} gFaultsFromEnvironment;

}  // namespace

const char* OpName(Op op) {
    auto i = static_cast<size_t>(op);
    return i < static_cast<size_t>(Op::Count_) ? kOpNames[i] : "?";
}

void SetDataDirectory(const std::string& dir) {
    std::lock_guard lock(gMutex);
    DataDirRef() = dir;
}

std::string DataDirectory() {
    std::lock_guard lock(gMutex);
    return DataDirRef();
}

std::string FilePathFor(const std::string& notesPath) {
    // Notes paths are case-insensitive, as on the server's file system.
    std::string rel = notesPath;
    for (char& c : rel) {
        if (c == '\\') c = '/';
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return DataDirectory() + "/" + rel;
}

void SetIniVariable(const std::string& name, const std::string& value) {
    std::lock_guard lock(gMutex);
    auto vars = ReadIni();
    bool found = false;
    for (auto& [k, v] : vars)
        if (SameNameNoCase(k, name)) {
            v = value;
            found = true;
        }
    if (!found) vars.emplace_back(name, value);
    WriteIni(vars);
}

void RemoveIniVariable(const std::string& name) {
    std::lock_guard lock(gMutex);
    auto vars = ReadIni();
    std::erase_if(vars, [&](const auto& kv) { return SameNameNoCase(kv.first, name); });
    WriteIni(vars);
}

void SetConsoleEcho(bool on) {
    std::lock_guard lock(gMutex);
    gEcho = on;
}

std::vector<std::string> ConsoleLines() {
    std::lock_guard lock(gMutex);
    return {gConsole.begin(), gConsole.end()};
}

void ClearConsole() {
    std::lock_guard lock(gMutex);
    gConsole.clear();
}

void InjectFault(Op op, STATUS status, unsigned nth) {
    std::lock_guard lock(gMutex);
    gFaults[op] = FaultRule{status, nth, gCalls[static_cast<size_t>(op)].load()};
}

void ClearFaults() {
    std::lock_guard lock(gMutex);
    gFaults.clear();
}

uint64_t CallCount(Op op) { return gCalls[static_cast<size_t>(op)].load(); }

void ResetCallCounts() {
    std::lock_guard lock(gMutex);
    for (auto& c : gCalls) c = 0;
    for (auto& [op, rule] : gFaults) rule.countAtSet = 0;
}

STATUS Fault(Op op) {
    uint64_t n = ++gCalls[static_cast<size_t>(op)];
    std::lock_guard lock(gMutex);
    if (gFaults.empty()) return 0;
    auto it = gFaults.find(op);
    if (it == gFaults.end()) return 0;
    const FaultRule& rule = it->second;
    if (rule.nth == 0) return rule.status;
    return n - rule.countAtSet == rule.nth ? rule.status : 0;
}

OpenCounts Open() {
    OpenCounts c;
    c.databases = gOpen[0];
    c.notes = gOpen[1];
    c.collections = gOpen[2];
    c.idTables = gOpen[3];
    c.lockedBlocks = gLocked;
    c.allocatedBlocks = gAllocated;
    return c;
}

void DispatchEm(uint16_t eventId, uint16_t notificationType, STATUS status, const EmArgs& args) {
    uint16_t wanted = notificationType == EM_BEFORE ? EM_REG_BEFORE : EM_REG_AFTER;
    std::vector<Registration> targets;
    {
        std::lock_guard lock(gMutex);
        for (const auto& [h, r] : gRegistrations)
            if (r.eventId == eventId && (r.flags & wanted)) targets.push_back(r);
    }
    for (const Registration& r : targets) {
        // A callback's own note operations must not re-enter it.
        if (r.recursionId != 0 && tActiveRecursion.count(r.recursionId)) continue;
        bool marked = r.recursionId != 0 && tActiveRecursion.insert(r.recursionId).second;
        ++tDispatchDepth;
        EMRECORD rec{eventId, notificationType, status, args};
        r.callback(&rec);
        --tDispatchDepth;
        if (marked) tActiveRecursion.erase(r.recursionId);
    }
}

int RegistrationCount() {
    std::lock_guard lock(gMutex);
    return static_cast<int>(gRegistrations.size());
}

std::vector<std::string> DeregistrationLog() {
    std::lock_guard lock(gMutex);
    return gDeregistrations;
}

void SetCallbackSkip(bool on) { gSkip = on; }

STATUS CreateIdTable(IDTABLE* table) {
    std::lock_guard lock(gMutex);
    IDTABLE h = detail::NewHandle();
    gIdTables[h];
    gIdCursor[h] = 0;
    ++gOpen[3];
    *table = h;
    return 0;
}

STATUS IdInsert(IDTABLE table, NOTEID id) {
    std::lock_guard lock(gMutex);
    auto it = gIdTables.find(table);
    if (it == gIdTables.end()) return err::INVALID_HANDLE;
    auto pos = std::lower_bound(it->second.begin(), it->second.end(), id);
    if (pos == it->second.end() || *pos != id) it->second.insert(pos, id);
    return 0;
}

STATUS DestroyIdTable(IDTABLE table) {
    std::lock_guard lock(gMutex);
    if (!gIdTables.erase(table)) return err::INVALID_HANDLE;
    gIdCursor.erase(table);
    --gOpen[3];
    return 0;
}

namespace detail {

uint32_t NewHandle() {
    static std::atomic<uint32_t> next{0x100};
    return next.fetch_add(1);
}

MEMHANDLE AllocBlock(std::vector<uint8_t> bytes, bool callerOwned) {
    std::lock_guard lock(gMutex);
    MEMHANDLE h = NewHandle();
    gBlocks[h] = Block{std::move(bytes), callerOwned, 0};
    if (callerOwned) ++gAllocated;
    return h;
}

void ReleaseHostBlock(MEMHANDLE handle) {
    std::lock_guard lock(gMutex);
    auto it = gBlocks.find(handle);
    if (it == gBlocks.end() || it->second.callerOwned) return;
    gLocked -= it->second.locks;
    gBlocks.erase(it);
}

void CountOpen(Counter which, int delta) { gOpen[static_cast<int>(which)] += delta; }

bool IdTableIds(IDTABLE table, std::vector<NOTEID>* ids) {
    std::lock_guard lock(gMutex);
    auto it = gIdTables.find(table);
    if (it == gIdTables.end()) return false;
    *ids = it->second;
    return true;
}

void ConsoleWrite(const char* line) {
    bool echo;
    std::string dir;
    {
        std::lock_guard lock(gMutex);
        gConsole.emplace_back(line);
        if (gConsole.size() > kConsoleKeep) gConsole.pop_front();
        echo = gEcho;
        dir = DataDirRef();
    }
    std::string out = std::string(line) + "\n";
    if (echo) {
        fwrite(out.data(), 1, out.size(), stdout);
        fflush(stdout);
    }
    // One append per line, so lines of several task processes never interleave.
    int fd = ::open((dir + "/console.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        ssize_t n = ::write(fd, out.data(), out.size());
        (void)n;
        ::close(fd);
    }
}

}  // namespace detail
}  // namespace emu

// ---- The Notes operations of this file ---------------------------------------
namespace notes {
using emu::Op;
using emu::err::INVALID_HANDLE;

int GetEnvironmentString(const char* name, char* buffer, uint16_t size) {
    if (emu::Fault(Op::GetEnvironmentString)) return 0;
    if (!name || !buffer || size == 0) return 0;
    std::vector<std::pair<std::string, std::string>> vars;
    {
        std::lock_guard lock(emu::gMutex);
        vars = emu::ReadIni();
    }
    for (const auto& [k, v] : vars) {
        if (!emu::SameNameNoCase(k, name)) continue;
        size_t n = std::min<size_t>(v.size(), size - 1u);
        memcpy(buffer, v.data(), n);
        buffer[n] = '\0';
        return 1;
    }
    buffer[0] = '\0';
    return 0;
}

void LogMessage(const char* format, STATUS additional, ...) {
    (void)additional;
    if (emu::Fault(Op::LogMessage) || !format) return;
    // The server's console line is bounded; longer lines are cut.
    char line[1024];
    va_list ap;
    va_start(ap, additional);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    emu::detail::ConsoleWrite(line);
}

uint16_t LoadStatusString(uint16_t module, STATUS status, char* buffer, uint16_t size) {
    (void)module;
    if (!buffer || size == 0) return 0;
    if (emu::Fault(Op::LoadStatusString)) {
        buffer[0] = '\0';
        return 0;
    }
    const char* text = nullptr;
    for (const auto& st : emu::kStatusTexts)
        if (st.status == status) text = st.text;
    char fallback[48];
    if (!text) {
        snprintf(fallback, sizeof fallback, "Unknown error code %u", static_cast<unsigned>(status));
        text = fallback;
    }
    size_t n = std::min<size_t>(strlen(text), size - 1u);
    memcpy(buffer, text, n);
    buffer[n] = '\0';
    return static_cast<uint16_t>(n);
}

STATUS EmRegister(uint16_t eventId, uint16_t flags, EmCallback callback, uint16_t recursionId,
                  HEMREGISTRATION* handle) {
    if (STATUS s = emu::Fault(Op::EmRegister)) return s;
    if (!callback || !handle) return INVALID_HANDLE;
    std::lock_guard lock(emu::gMutex);
    HEMREGISTRATION h = emu::detail::NewHandle();
    emu::gRegistrations[h] = emu::Registration{eventId, flags, callback, recursionId};
    *handle = h;
    return 0;
}

STATUS EmDeregister(HEMREGISTRATION handle) {
    if (STATUS s = emu::Fault(Op::EmDeregister)) return s;
    std::lock_guard lock(emu::gMutex);
    auto it = emu::gRegistrations.find(handle);
    if (it == emu::gRegistrations.end()) return INVALID_HANDLE;
    emu::gDeregistrations.push_back(std::to_string(it->second.eventId) + "/" + std::to_string(it->second.flags));
    emu::gRegistrations.erase(it);
    return 0;
}

STATUS EmCreateRecursionId(uint16_t* recursionId) {
    if (STATUS s = emu::Fault(Op::EmCreateRecursionId)) return s;
    if (!recursionId) return INVALID_HANDLE;
    std::lock_guard lock(emu::gMutex);
    if (emu::gNextRecursionId == 0xFFFF) return emu::err::EM_NO_RECURSION;
    *recursionId = emu::gNextRecursionId++;
    return 0;
}

uint16_t EmCallbackSkip() {
    emu::Fault(Op::EmCallbackSkip);
    return emu::gSkip ? 1 : 0;
}

void* LockObject(MEMHANDLE handle) {
    if (emu::Fault(Op::LockObject)) return nullptr;
    std::lock_guard lock(emu::gMutex);
    auto it = emu::gBlocks.find(handle);
    if (it == emu::gBlocks.end()) return nullptr;
    ++it->second.locks;
    ++emu::gLocked;
    return it->second.bytes.data();
}

int UnlockObject(MEMHANDLE handle) {
    if (emu::Fault(Op::UnlockObject)) return 0;
    std::lock_guard lock(emu::gMutex);
    auto it = emu::gBlocks.find(handle);
    if (it == emu::gBlocks.end() || it->second.locks == 0) return 0;
    --it->second.locks;
    --emu::gLocked;
    return 1;
}

STATUS FreeMemory(MEMHANDLE handle) {
    if (STATUS s = emu::Fault(Op::FreeMemory)) return s;
    std::lock_guard lock(emu::gMutex);
    auto it = emu::gBlocks.find(handle);
    // Freeing a block the host owns would pull it from under its owner.
    if (it == emu::gBlocks.end() || !it->second.callerOwned) return INVALID_HANDLE;
    emu::gLocked -= it->second.locks;
    --emu::gAllocated;
    emu::gBlocks.erase(it);
    return 0;
}

bool IdScan(IDTABLE table, bool first, NOTEID* id) {
    if (emu::Fault(Op::IdScan) || !id) return false;
    std::lock_guard lock(emu::gMutex);
    auto it = emu::gIdTables.find(table);
    if (it == emu::gIdTables.end()) return false;
    size_t& cursor = emu::gIdCursor[table];
    if (first) cursor = 0;
    if (cursor >= it->second.size()) return false;
    *id = it->second[cursor++];
    return true;
}

}  // namespace notes
