// Words of an operation line: blanks separate, "..." keeps blanks inside a
// word, \" is a quote within one. Shared by the host runner and tarn-sim.
#pragma once

#include <string>
#include <vector>

inline std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string cur;
    bool quoted = false, any = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (any) words.push_back(cur);
            cur.clear();
            any = false;
        } else if (c == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
            cur += '"';
            ++i;
            any = true;
        } else {
            cur += c;
            any = true;
        }
    }
    if (any) words.push_back(cur);
    return words;
}
