// Shared pieces of the emulator's own files.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
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
// A copy of a block's bytes, for a C API function handed the block's
// handle (ACLEnumEntries); false for an unknown handle.
bool BlockBytes(MEMHANDLE handle, std::vector<uint8_t>* bytes);

// Open-object counters (databases, notes, collections, id tables).
enum class Counter { Databases, Notes, Collections, IdTables };
void CountOpen(Counter which, int delta);

// Id tables, for delete-notes.
bool IdTableIds(DHANDLE table, std::vector<NOTEID>* ids);

// Counts a C API call made on a thread that never initialised (see Threads()).
void CountCallerThread(Op op);

// The calling thread: a token for handle ownership (never reused within the
// process) and a label for violation reports.
uint64_t ThreadToken();
std::string ThreadLabel();

// Records a breach of rule by the C function of op; true when the rule is
// enforced, so the call must fail.
bool Breach(Op op, Rule rule, const std::string& what);
// True when the calling thread may use a handle its owner thread opened;
// otherwise the breach is recorded and false returned when enforced.
bool MayUse(uint64_t owner, Op op, const char* what);
// Every C API call passes here (through Fault): start-up listing and calls
// after the end of the runtime. Non-zero: the call must fail with it.
STATUS CheckCall(Op op);

// notes.ini's "NAME=value" lines, in order (none when the file cannot be
// read); and the file OSGetEnvironmentString reads from now on (empty: the
// data directory's notes.ini).
std::vector<std::pair<std::string, std::string>> ReadIniFile(const std::string& path);
void SetIniFile(const std::string& path);
// notes.ini names are compared without regard to case.
bool SameNameNoCase(const std::string& a, const std::string& b);

// The console writer used by AddInLogMessageText; one line, no trailing newline.
void ConsoleWrite(const char* line);

}  // namespace emu::detail
