// Memory blocks (OSLockObject and its kin), id tables, handle numbers and
// the open-object counters.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "emu/internal.h"
#include "osmem.h"

namespace emu {
namespace {

std::mutex gMutex;  // guards the blocks and id tables

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

}  // namespace

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

std::string LeftOpenText(const OpenCounts& c) {
    const std::pair<const char*, int> counts[] = {
        {"databases", c.databases},       {"notes", c.notes},       {"collections", c.collections},
        {"locked blocks", c.lockedBlocks}, {"blocks", c.allocatedBlocks}, {"id tables", c.idTables},
    };
    std::string list;
    for (const auto& [what, n] : counts)
        if (n) list += (list.empty() ? " " : ", ") + std::to_string(n) + " " + what;
    return list;
}

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

bool BlockBytes(MEMHANDLE handle, std::vector<uint8_t>* bytes) {
    std::lock_guard lock(gMutex);
    auto it = gBlocks.find(handle);
    if (it == gBlocks.end()) return false;
    *bytes = it->second.bytes;
    return true;
}

void CountOpen(Counter which, int delta) { gOpen[static_cast<int>(which)] += delta; }

bool IdTableIds(DHANDLE table, std::vector<NOTEID>* ids) {
    std::lock_guard lock(gMutex);
    auto it = gIdTables.find(table);
    if (it == gIdTables.end()) return false;
    *ids = it->second;
    return true;
}

}  // namespace detail
}  // namespace emu

using emu::Op;
using emu::err::INVALID_HANDLE;

extern "C" {

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
