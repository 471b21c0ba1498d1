// Emulator core: data directory, notes.ini, console, status texts, fault
// injection, counters, memory blocks, id tables and the Extension Manager.
#include <algorithm>
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
#include "emu/platform.h"
#include "addin.h"
#include "osenv.h"
#include "osmem.h"
#include "osmisc.h"

namespace fs = std::filesystem;

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
std::atomic<int> gBadFrees{0};

struct Block {
    std::vector<uint8_t> bytes;
    bool callerOwned = true;
    int locks = 0;
};
std::unordered_map<MEMHANDLE, Block> gBlocks;

// Sorted ids. IDScan keeps no cursor: the caller's previous id is the cursor,
// as the C API defines it.
std::unordered_map<DHANDLE, std::vector<NOTEID>> gIdTables;

struct Registration {
    EID eventId;
    DWORD flags;
    EMHANDLER callback;
    WORD recursionId;
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

// Each operation by its role name (what EMU_FAULTS has always taken) and by
// its C function name, in the order of Op.
struct OpNames {
    const char* role;
    const char* function;
};
const OpNames kOpNames[] = {
    {"GetEnvironmentString", "OSGetEnvironmentString"},
    {"LogMessage", "AddInLogMessageText"},
    {"LoadStatusString", "OSLoadString"},
    {"EmRegister", "EMRegister"},
    {"EmDeregister", "EMDeregister"},
    {"EmCreateRecursionId", "EMCreateRecursionID"},
    {"EmCallbackSkip", "EmCallbackSkip"},
    {"OpenDatabase", "NSFDbOpen"},
    {"CloseDatabase", "NSFDbClose"},
    {"GetDatabaseId", "NSFDbIDGet"},
    {"GetDatabasePath", "NSFDbPathGet"},
    {"OpenNote", "NSFNoteOpen"},
    {"CloseNote", "NSFNoteClose"},
    {"CreateNote", "NSFNoteCreate"},
    {"UpdateNote", "NSFNoteUpdate"},
    {"UpdateNoteExtended", "NSFNoteUpdateExtended"},
    {"GetNoteInfo", "NSFNoteGetInfo"},
    {"ItemInfo", "NSFItemInfo"},
    {"GetItemText", "NSFItemGetText"},
    {"GetItemLong", "NSFItemGetLong"},
    {"SetItemNumber", "NSFItemSetNumber"},
    {"AppendItem", "NSFItemAppend"},
    {"DeleteItem", "NSFItemDelete"},
    {"GetProfileField", "NSFProfileGetField"},
    {"FindView", "NIFFindDesignNoteExt"},
    {"OpenCollection", "NIFOpenCollection"},
    {"ReadEntries", "NIFReadEntries"},
    {"CloseCollection", "NIFCloseCollection"},
    {"LockObject", "OSLockObject"},
    {"UnlockObject", "OSUnlockObject"},
    {"FreeMemory", "OSMemFree"},
    {"IdScan", "IDScan"},
    {"MqOpen", "MQOpen"},
    {"MqPut", "MQPut"},
    {"MqGet", "MQGet"},
    {"MqCount", "MQGetCount"},
    {"DeleteNotes", "NSFDbDeleteNotes"},
    {"NotesInitThread", "NotesInitThread"},
    {"NotesTermThread", "NotesTermThread"},
    {"MqClose", "MQClose"},
};
static_assert(sizeof(kOpNames) / sizeof(kOpNames[0]) == static_cast<size_t>(Op::Count_));

bool LookUpOp(const std::string& name, Op* op) {
    for (size_t i = 0; i < static_cast<size_t>(Op::Count_); ++i)
        if (name == kOpNames[i].role || name == kOpNames[i].function) {
            *op = static_cast<Op>(i);
            return true;
        }
    return false;
}

// Per-thread pairing of NotesInitThread and NotesTermThread.
std::atomic<uint64_t> gInits{0}, gTerms{0}, gThreadsInited{0}, gThreadsPaired{0}, gUnpairedExits{0},
    gUninitialisedCalls{0};
struct ThreadState {
    int depth = 0;
    bool everInited = false;
    bool hostThread = false;
    ~ThreadState() {
        if (depth > 0) ++gUnpairedExits;
    }
};
thread_local ThreadState tThread;

// Asked once per thread: every C API call looks at it.
bool IsMainThread() {
    static thread_local const bool main = platform::OnMainThread();
    return main;
}

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
    {err::MQ_TIMEOUT, "Timed out waiting for a message"},
    {err::MQ_NAME, "Invalid message queue name"},
    {err::IN_USE, "Memory is still locked or does not belong to the caller"},
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
                Op op;
                if (LookUpOp(name, &op)) gFaults[op] = FaultRule{static_cast<STATUS>(status), nth, 0};
            }
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
} gFaultsFromEnvironment;

}  // namespace

const char* OpName(Op op) {
    auto i = static_cast<size_t>(op);
    return i < static_cast<size_t>(Op::Count_) ? kOpNames[i].role : "?";
}

const char* OpFunctionName(Op op) {
    auto i = static_cast<size_t>(op);
    return i < static_cast<size_t>(Op::Count_) ? kOpNames[i].function : "?";
}

bool OpFromName(const std::string& name, Op* op) { return op && LookUpOp(name, op); }

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

bool InjectFault(const std::string& opName, STATUS status, unsigned nth) {
    Op op;
    if (!LookUpOp(opName, &op)) return false;
    InjectFault(op, status, nth);
    return true;
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
    if (op != Op::NotesInitThread && op != Op::NotesTermThread && op != Op::EmCallbackSkip &&
        tThread.depth == 0 && !tThread.hostThread && !IsMainThread())
        ++gUninitialisedCalls;
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
    c.badFrees = gBadFrees;
    return c;
}

ThreadCounts Threads() {
    ThreadCounts c;
    c.inits = gInits;
    c.terms = gTerms;
    c.threadsInited = gThreadsInited;
    c.threadsPaired = gThreadsPaired;
    c.unpairedExits = gUnpairedExits;
    c.uninitialisedCalls = gUninitialisedCalls;
    return c;
}

void ResetThreadCounts() {
    gInits = 0;
    gTerms = 0;
    gThreadsInited = 0;
    gThreadsPaired = 0;
    gUnpairedExits = 0;
    gUninitialisedCalls = 0;
}

void MarkHostThread() { tThread.hostThread = true; }

STATUS DispatchEm(EID eventId, WORD notificationType, STATUS status, ...) {
    const DWORD wanted = notificationType == EM_BEFORE ? EM_REG_BEFORE : EM_REG_AFTER;
    std::vector<Registration> targets;
    {
        std::lock_guard lock(gMutex);
        for (const auto& [h, r] : gRegistrations)
            if (r.eventId == eventId && (r.flags & wanted)) targets.push_back(r);
    }
    STATUS answer = ERR_EM_CONTINUE;
    va_list args;
    va_start(args, status);
    for (const Registration& r : targets) {
        // A callback's own note operations must not re-enter it.
        if (r.recursionId != 0 && tActiveRecursion.count(r.recursionId)) continue;
        bool marked = r.recursionId != 0 && tActiveRecursion.insert(r.recursionId).second;
        ++tDispatchDepth;
        // Each callback reads the arguments from the start, in its own copy.
        EMRECORD rec;
        rec.EId = eventId;
        rec.NotificationType = notificationType;
        rec.Status = status;
        va_copy(rec.Ap, args);
        STATUS a = r.callback(&rec);
        va_end(rec.Ap);
        --tDispatchDepth;
        if (marked) tActiveRecursion.erase(r.recursionId);
        // Anything but "continue" ends the chain: it cancels (before) or
        // replaces the result (after).
        if (a != ERR_EM_CONTINUE) {
            answer = a;
            break;
        }
    }
    va_end(args);
    return answer;
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

STATUS CreateIdTable(DHANDLE* table) {
    std::lock_guard lock(gMutex);
    DHANDLE h = detail::NewHandle();
    gIdTables[h];
    ++gOpen[3];
    *table = h;
    return 0;
}

STATUS IdInsert(DHANDLE table, NOTEID id) {
    std::lock_guard lock(gMutex);
    auto it = gIdTables.find(table);
    if (it == gIdTables.end()) return err::INVALID_HANDLE;
    auto pos = std::lower_bound(it->second.begin(), it->second.end(), id);
    if (pos == it->second.end() || *pos != id) it->second.insert(pos, id);
    return 0;
}

STATUS DestroyIdTable(DHANDLE table) {
    std::lock_guard lock(gMutex);
    if (!gIdTables.erase(table)) return err::INVALID_HANDLE;
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

void ReleaseHostBlock(MEMHANDLE handle, bool lockedIsFault) {
    std::lock_guard lock(gMutex);
    auto it = gBlocks.find(handle);
    if (it == gBlocks.end() || it->second.callerOwned) return;
    if (lockedIsFault && it->second.locks) ++gBadFrees;
    gLocked -= it->second.locks;
    gBlocks.erase(it);
}

void CountOpen(Counter which, int delta) { gOpen[static_cast<int>(which)] += delta; }

bool IdTableIds(DHANDLE table, std::vector<NOTEID>* ids) {
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
    platform::AppendToFile(dir + "/console.log", out);
}

}  // namespace detail
}  // namespace emu

// ---- The C API functions of this file ---------------------------------------
using emu::Op;
using emu::err::INVALID_HANDLE;

extern "C" {

EMU_EXPORT BOOL OSGetEnvironmentString(const char* name, char* buffer, WORD bufferLength) {
    if (emu::Fault(Op::GetEnvironmentString)) return FALSE;
    if (!name || !buffer) return FALSE;
    std::vector<std::pair<std::string, std::string>> vars;
    {
        std::lock_guard lock(emu::gMutex);
        vars = emu::ReadIni();
    }
    // bufferLength is the buffer's size - 1: the terminator fits after it.
    for (const auto& [k, v] : vars) {
        if (!emu::SameNameNoCase(k, name)) continue;
        size_t n = std::min<size_t>(v.size(), bufferLength);
        memcpy(buffer, v.data(), n);
        buffer[n] = '\0';
        return TRUE;
    }
    buffer[0] = '\0';
    return FALSE;
}

namespace {
void ConsoleLine(const char* text, STATUS additional) {
    if (additional == NOERROR) return emu::detail::ConsoleWrite(text);
    // "primary: secondary", the secondary being the status's text.
    char secondary[256];
    OSLoadString(nullptr, ERR(additional), secondary, sizeof secondary - 1);
    std::string line = std::string(text) + ": " + secondary;
    emu::detail::ConsoleWrite(line.c_str());
}
}  // namespace

EMU_EXPORT void AddInLogMessageText(char* format, STATUS additional, ...) {
    if (emu::Fault(Op::LogMessage) || !format) return;
    // The server's console line is bounded; longer lines are cut.
    char line[1024];
    va_list ap;
    va_start(ap, additional);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    ConsoleLine(line, additional);
}

EMU_EXPORT void AddInLogErrorText(char* format, STATUS additional, char* arg) {
    if (emu::Fault(Op::LogMessage) || !format) return;
    char line[1024];
    // One specifier, filled from arg (which may be NULL: shown as empty).
    snprintf(line, sizeof line, format, arg ? arg : "");
    ConsoleLine(line, additional);
}

EMU_EXPORT WORD OSLoadString(HMODULE, STATUS status, char* buffer, WORD bufferLength) {
    if (!buffer) return 0;
    if (emu::Fault(Op::LoadStatusString)) {
        buffer[0] = '\0';
        return 0;
    }
    const char* text = nullptr;
    for (const auto& st : emu::kStatusTexts)
        if (st.status == ERR(status)) text = st.text;
    char fallback[48];
    if (!text) {
        snprintf(fallback, sizeof fallback, "Unknown error code %u", static_cast<unsigned>(ERR(status)));
        text = fallback;
    }
    size_t n = std::min<size_t>(strlen(text), bufferLength);
    memcpy(buffer, text, n);
    buffer[n] = '\0';
    return static_cast<WORD>(n);
}

EMU_EXPORT STATUS EMRegister(EID eventId, DWORD flags, EMHANDLER callback, WORD recursionId,
                             HEMREGISTRATION* handle) {
    if (STATUS s = emu::Fault(Op::EmRegister)) return s;
    if (!callback || !handle) return INVALID_HANDLE;
    std::lock_guard lock(emu::gMutex);
    HEMREGISTRATION h = emu::detail::NewHandle();
    emu::gRegistrations[h] = emu::Registration{eventId, flags, callback, recursionId};
    *handle = h;
    return NOERROR;
}

EMU_EXPORT STATUS EMDeregister(HEMREGISTRATION handle) {
    if (STATUS s = emu::Fault(Op::EmDeregister)) return s;
    std::lock_guard lock(emu::gMutex);
    auto it = emu::gRegistrations.find(handle);
    if (it == emu::gRegistrations.end()) return INVALID_HANDLE;
    emu::gDeregistrations.push_back(std::to_string(it->second.eventId) + "/" + std::to_string(it->second.flags));
    emu::gRegistrations.erase(it);
    return NOERROR;
}

EMU_EXPORT STATUS EMCreateRecursionID(WORD* recursionId) {
    if (STATUS s = emu::Fault(Op::EmCreateRecursionId)) return s;
    if (!recursionId) return INVALID_HANDLE;
    std::lock_guard lock(emu::gMutex);
    if (emu::gNextRecursionId == 0xFFFF) return emu::err::EM_NO_RECURSION;
    *recursionId = emu::gNextRecursionId++;
    return NOERROR;
}

// Not a C API function: the embedded host's answer to the add-in's
// callback-skip query (src/host/callback_skip.h), for tests.
EMU_EXPORT WORD TARNEmuCallbackSkip(void) {
    emu::Fault(Op::EmCallbackSkip);
    return emu::gSkip ? 1 : 0;
}

EMU_EXPORT STATUS NotesInitThread(void) {
    if (STATUS s = emu::Fault(Op::NotesInitThread)) return s;
    ++emu::gInits;
    if (!emu::tThread.everInited) ++emu::gThreadsInited;
    emu::tThread.everInited = true;
    ++emu::tThread.depth;
    return NOERROR;
}

EMU_EXPORT void NotesTermThread(void) {
    emu::Fault(Op::NotesTermThread);
    ++emu::gTerms;
    if (emu::tThread.depth == 0) {
        // A term without its init: counted as an unpaired thread.
        ++emu::gUnpairedExits;
        return;
    }
    if (--emu::tThread.depth == 0) ++emu::gThreadsPaired;
}

EMU_EXPORT void* OSLockObject(DHANDLE handle) {
    if (emu::Fault(Op::LockObject)) return nullptr;
    std::lock_guard lock(emu::gMutex);
    auto it = emu::gBlocks.find(handle);
    if (it == emu::gBlocks.end()) return nullptr;
    ++it->second.locks;
    ++emu::gLocked;
    return it->second.bytes.data();
}

EMU_EXPORT BOOL OSUnlockObject(DHANDLE handle) {
    if (emu::Fault(Op::UnlockObject)) return FALSE;
    std::lock_guard lock(emu::gMutex);
    auto it = emu::gBlocks.find(handle);
    if (it == emu::gBlocks.end() || it->second.locks == 0) return FALSE;
    --it->second.locks;
    --emu::gLocked;
    return TRUE;
}

// A server halts on a bad free; the emulator refuses it and counts it, so a
// test sees the fault instead of a crash.
EMU_EXPORT STATUS OSMemFree(DHANDLE handle) {
    if (STATUS s = emu::Fault(Op::FreeMemory)) return s;
    std::lock_guard lock(emu::gMutex);
    auto it = emu::gBlocks.find(handle);
    if (it == emu::gBlocks.end()) {
        ++emu::gBadFrees;
        return INVALID_HANDLE;
    }
    // Freeing a block the host owns would pull it from under its owner.
    if (!it->second.callerOwned) {
        ++emu::gBadFrees;
        return INVALID_HANDLE;
    }
    if (it->second.locks) {
        ++emu::gBadFrees;
        return emu::err::IN_USE;
    }
    --emu::gAllocated;
    emu::gBlocks.erase(it);
    return NOERROR;
}

EMU_EXPORT BOOL IDScan(DHANDLE table, BOOL first, DWORD* id) {
    if (emu::Fault(Op::IdScan) || !id) return FALSE;
    std::lock_guard lock(emu::gMutex);
    auto it = emu::gIdTables.find(table);
    if (it == emu::gIdTables.end()) return FALSE;
    const std::vector<NOTEID>& ids = it->second;
    // The next id above the one the previous call returned.
    auto next = first ? ids.begin() : std::upper_bound(ids.begin(), ids.end(), *id);
    if (next == ids.end()) return FALSE;
    *id = *next;
    return TRUE;
}

EMU_EXPORT DWORD IDEntries(DHANDLE table) {
    std::lock_guard lock(emu::gMutex);
    auto it = emu::gIdTables.find(table);
    return it == emu::gIdTables.end() ? 0 : static_cast<DWORD>(it->second.size());
}

}  // extern "C"
