// Reading TARN_Task_List: its entries and what is wrong with one. The add-in
// and tarn-setup check read the list with these same rules.
#pragma once

#include <string>
#include <vector>

// The entries of a task list, as written (blanks kept), split at each
// separator: "a,,b" holds an empty entry; a separator at the end adds none,
// as the add-in reads the list.
std::vector<std::string> TaskListEntries(const std::string& taskList, char separator = ',');

// The entry without blanks around it.
std::string Trimmed(const std::string& entry);

// Process names are lower-cased file names, so an entry with a capital
// letter or a ';' (a separator the list does not know) never matches one.
// Empty when the entry is sound.
std::string WhyEntryNeverMatches(const std::string& entry);

// The task match is a substring test (IsTaskListed): a task is served when
// its name is part of a longer entry too ("server" inside "nserver.exe").
// Such a task reads its refresh messages from TARN<its name> while the HTTP
// task sends them to TARN<entry>. The (trimmed) entry that serves
// processName only that way; empty when an entry is the name itself or no
// entry holds it.
std::string EntryServingByPart(const std::string& processName, const std::string& taskList);
