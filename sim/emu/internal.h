// Shared pieces of the emulator's own files (core.cc, store.cc, mq.cc, ...).
#pragma once

#include <cstdint>
#include <vector>

#include "emu/emulator.h"

namespace emu::detail {

// Handles of every kind come from one counter, so a handle of one kind is
// never mistaken for another.
uint32_t NewHandle();

// Memory blocks (MEMHANDLE). A caller-owned block is counted until freed; a
// host-owned block (a profile value) is released by its owner with
// ReleaseHostBlock and must never be freed by the caller.
notes::MEMHANDLE AllocBlock(std::vector<uint8_t> bytes, bool callerOwned);
void ReleaseHostBlock(notes::MEMHANDLE handle);

// Open-object counters (databases, notes, collections, id tables).
enum class Counter { Databases, Notes, Collections, IdTables };
void CountOpen(Counter which, int delta);

// Id tables, for delete-notes.
bool IdTableIds(notes::IDTABLE table, std::vector<notes::NOTEID>* ids);

// The console writer used by LogMessage; one line, no trailing newline.
void ConsoleWrite(const char* line);

}  // namespace emu::detail
