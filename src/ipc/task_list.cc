#include "ipc/task_list.h"

#include <algorithm>
#include <cctype>

namespace {
bool IsBlank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }
}  // namespace

std::string Trimmed(const std::string& entry) {
    size_t first = 0, last = entry.size();
    while (first < last && IsBlank(entry[first])) ++first;
    while (last > first && IsBlank(entry[last - 1])) --last;
    return entry.substr(first, last - first);
}

std::string WhyEntryNeverMatches(const std::string& entry) {
    std::string why;
    auto add = [&](const char* reason) { why += why.empty() ? reason : std::string(", ") + reason; };
    if (std::any_of(entry.begin(), entry.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
        add("capital letter");
    if (entry.find(';') != std::string::npos) add("';' inside, entries are separated by ','");
    return why;
}

std::vector<std::string> TaskListEntries(const std::string& taskList, char separator) {
    std::vector<std::string> entries;
    size_t start = 0;
    while (start < taskList.size()) {
        const size_t comma = taskList.find(separator, start);
        if (comma == std::string::npos) {
            entries.push_back(taskList.substr(start));
            break;
        }
        entries.push_back(taskList.substr(start, comma - start));
        start = comma + 1;
    }
    return entries;
}

std::string EntryServingByPart(const std::string& processName, const std::string& taskList) {
    if (processName.empty()) return {};
    std::string longer;
    for (const std::string& written : TaskListEntries(taskList)) {
        const std::string entry = Trimmed(written);
        if (entry == processName) return {};
        if (longer.empty() && entry.find(processName) != std::string::npos) longer = entry;
    }
    return longer;
}
