// The capture queue as an operator reads it: each queue note in one line,
// handled or pending.
#pragma once

#include <string>
#include <vector>

#include "emu/emulator.h"

namespace simcli {

// An item's value as text: the first number, or the texts joined by "; ".
std::string ItemText(const emu::ItemValue& item);
// "000008F4  change  Appointment 00000907 in mail\alice.nsf for CN=... (UNID ...)"
std::string DescribeQueueNote(const emu::NoteDump& n);
// Status is the number 1: a processor has handled the note.
bool IsHandled(const emu::NoteDump& n);
size_t CountPending(const std::vector<emu::NoteDump>& queue);

// Prints the capture queue of `dir`; 1 when it cannot be read.
int ListQueue(const std::string& dir, bool itemsToo, bool pendingOnly);

}  // namespace simcli
