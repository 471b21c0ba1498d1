// resync's --since and --until come from an administrator's command line.
// A text is taken only in one of the two forms, digit for digit, and what it
// gives prints in the exact form, which reads back to the same time.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "resync_time.h"

namespace {

// `pattern`: '9' for a digit, any other character for itself.
bool Fits(const std::string& text, const char* pattern) {
    const std::string p = pattern;
    if (text.size() != p.size()) return false;
    for (size_t i = 0; i < p.size(); ++i)
        if (p[i] == '9' ? (text[i] < '0' || text[i] > '9') : text[i] != p[i]) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    TIMEDATE t{};
    if (!tarnsetup::ParseTime(text, &t)) return 0;
    const bool exact = Fits(text, "9999-99-99T99:99:99.99Z");
    if (!exact && !Fits(text, "9999-99-99 99:99")) abort();
    const std::string printed = tarnsetup::FormatTime(t);
    if (exact && printed != text) abort();
    TIMEDATE again{};
    if (!tarnsetup::ParseTime(printed, &again) || tarnsetup::Hundredths(again) != tarnsetup::Hundredths(t)) abort();
    return 0;
}
