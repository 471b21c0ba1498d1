// The host runner's operations and their word counts, so that the runner and
// tarn-sim refuse a bad line the same way, with the line itself in the message.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct RunnerOperation {
    const char* name;
    size_t minWords;  // the operation's name included
    size_t maxWords;  // 0: no limit
    const char* usage;
};

inline const std::vector<RunnerOperation>& RunnerOperations() {
    static const std::vector<RunnerOperation> ops = {
        {"create", 3, 0, "create LABEL DB ITEM..."},   {"createx", 3, 0, "createx LABEL DB ITEM..."},
        {"modify", 2, 0, "modify LABEL ITEM..."},      {"modifyx", 2, 0, "modifyx LABEL ITEM..."},
        {"remove", 3, 3, "remove LABEL NAME"},         {"stub", 2, 2, "stub LABEL"},
        {"stubx", 2, 2, "stubx LABEL"},                {"delete", 2, 0, "delete LABEL..."},
        {"wait", 1, 0, "wait"},                           {"sync", 2, 2, "sync TOKEN"},
        {"sleep", 2, 2, "sleep MS"},                   {"echo", 1, 0, "echo TEXT"},
        {"quit", 1, 0, "quit"},
    };
    return ops;
}

// Empty when the words form a known operation with a fitting number of
// words; otherwise what is wrong, for a message.
inline std::string CheckOperation(const std::vector<std::string>& words) {
    if (words.empty()) return "empty operation";
    for (const auto& op : RunnerOperations()) {
        if (words[0] != op.name) continue;
        if (words.size() < op.minWords || (op.maxWords && words.size() > op.maxWords))
            return std::string("wrong number of words for ") + op.name + " (it is: " + op.usage + ")";
        return {};
    }
    std::string known;
    for (const auto& op : RunnerOperations()) known += std::string(known.empty() ? "" : ", ") + op.name;
    return "unknown operation \"" + words[0] + "\" (known: " + known + ")";
}
