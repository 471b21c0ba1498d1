// Items of a script line (Name=text, Name#=number, Name@=time, Name[]=a|b|c)
// and their writing into a note.
#pragma once

#include <string>
#include <vector>

#include "emu/emulator.h"

namespace runner {

// False when the word is no item (no name, or a number that is none).
bool ParseItem(const std::string& word, emu::ItemValue* out);
// Replaces each item of the note by the one given; the text "@unid" stands
// for the note's own UNID. The first failing status, or 0.
STATUS WriteItems(NOTEHANDLE note, std::vector<emu::ItemValue> items);

}  // namespace runner
