// How the processor asks for credentials, by name: the server document's
// AuthType item and the --auth option of tarn-setup create, tarn-sim
// prepare and the sample processor all go through these.
#pragma once

#include <string>
#include <string_view>

namespace tarn {

// In the order of the transport's AuthType (None 0, Basic 1, Session 2).
inline constexpr const char* kAuthNames[] = {"None", "Basic", "Session"};
inline constexpr const char* kAuthOptionNames[] = {"none", "basic", "session"};

// The item's rule: exactly one of kAuthNames (-1 otherwise, which the
// add-in takes as None and tarn-setup check reports).
inline int AuthOfItem(std::string_view text) {
    for (int i = 0; i < 3; ++i)
        if (text == kAuthNames[i]) return i;
    return -1;
}

// An --auth value: the item's spelling or the sample processor's (all lower
// case), exactly; -1 for anything else ("BASIC", "basic ").
inline int AuthOfOption(std::string_view text) {
    for (int i = 0; i < 3; ++i)
        if (text == kAuthNames[i] || text == kAuthOptionNames[i]) return i;
    return -1;
}

// For a command line's validator: rewrites value to its spelling in `names`
// (kAuthNames or kAuthOptionNames) and answers empty, or leaves it and
// answers why it is refused.
inline std::string TakeAuthOption(std::string& value, const char* const (&names)[3]) {
    const int i = AuthOfOption(value);
    if (i < 0)
        return "\"" + value + "\" is not an authentication: give None, Basic or Session (or none, basic, session)";
    value = names[i];
    return {};
}

}  // namespace tarn
