// Shared pieces of the emulator's own files.
#pragma once

#include <cstdint>
#include <vector>

#include "emu/emulator.h"

namespace emu::detail {

// Handles of every kind come from one counter, so a handle of one kind is
// never mistaken for another.
uint32_t NewHandle();

// Memory blocks (a DHANDLE to lock, unlock, free). A caller-owned block is
// counted until freed; a host-owned block (a profile value, an item value)
// is released by its owner with ReleaseHostBlock and must never be freed by
// the caller. lockedIsFault: the owner's rule says it must be unlocked by now.
MEMHANDLE AllocBlock(std::vector<uint8_t> bytes, bool callerOwned);
void ReleaseHostBlock(MEMHANDLE handle, bool lockedIsFault = false);

// Open-object counters (databases, notes, collections, id tables).
enum class Counter { Databases, Notes, Collections, IdTables };
void CountOpen(Counter which, int delta);

// Id tables, for delete-notes.
bool IdTableIds(DHANDLE table, std::vector<NOTEID>* ids);

// Counts a C API call made on a thread that never initialised (see Threads()).
void CountCallerThread(Op op);

// The console writer used by AddInLogMessageText; one line, no trailing newline.
void ConsoleWrite(const char* line);

}  // namespace emu::detail
