// The summary buffer of read-entries: entries back to back, each a 16-bit
// total length, a 16-bit value count, the value lengths, then the values
// (a 16-bit type word and the data). The bytes come from a database, so
// nothing here reads past what the buffer holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Walks the entries of a summary buffer (read-entries with summary values)
// and appends each entry's text values, lower-cased and cut to 97 bytes, to
// target. Reads nothing past length; a malformed entry ends the walk.
// Returns the number of entries walked whole.
uint32_t WalkSummaryEntries(std::vector<std::string>& target, const uint8_t* buffer, size_t length,
                            uint32_t entries);

// One entry: its text values (at most 20) into target. available is what
// the buffer holds from entry on. Returns the entry's total length, or 0
// when the entry cannot be walked (a total length below its header or past
// the buffer); a value running past the entry ends that entry's values.
size_t AddViewEntryText(std::vector<std::string>& target, const uint8_t* entry, size_t available);

