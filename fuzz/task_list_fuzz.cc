// TARN_Task_List and a task's process name, from Notes.ini and the system.
// The list's entries are trimmed of their blanks only; an entry's fault is
// named exactly when it has one; and a task is said to be served only by
// part of an entry exactly when no entry is its name and one holds it.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ipc/task_list.h"

namespace {

bool Blank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

std::vector<std::string> Entries(const std::string& list) {
    std::vector<std::string> entries;
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        entries.push_back(Trimmed(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
        if (comma == std::string::npos) return entries;
        start = comma + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The process name, then a NUL, then the list.
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t nul = input.find('\0');
    const std::string name = nul == std::string::npos ? "" : input.substr(0, nul);
    const std::string list = nul == std::string::npos ? input : input.substr(nul + 1);

    const std::string t = Trimmed(list);
    if (!t.empty() && (Blank(t.front()) || Blank(t.back()))) abort();
    if (Trimmed(t) != t) abort();
    size_t lead = 0;
    while (lead < list.size() && Blank(list[lead])) ++lead;
    if (list.compare(std::min(lead, list.size()), t.size(), t) != 0) abort();

    for (const std::string& entry : Entries(list)) {
        bool faulty = false;
        for (char c : entry) faulty = faulty || (c >= 'A' && c <= 'Z') || c == ';';
        if (WhyEntryNeverMatches(entry).empty() == faulty) abort();
    }

    const std::string part = EntryServingByPart(name, list);
    bool exact = false, holds = false;
    std::string first;
    for (const std::string& entry : Entries(list)) {
        exact = exact || entry == name;
        if (first.empty() && !name.empty() && entry.find(name) != std::string::npos) first = entry;
        holds = holds || !first.empty();
    }
    const bool byPart = !name.empty() && !exact && holds;
    if (part.empty() == byPart) abort();
    if (byPart && part != first) abort();
    return 0;
}
