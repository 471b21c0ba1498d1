#include "config/summary_buffer.h"

#include <algorithm>

#include "base/ascii.h"
#include "base/notes_capi.h"

namespace {

constexpr size_t kMaxValues = 20;
constexpr size_t kValueArea = 99;  // a value passes through this area: 97 bytes of text at most

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

size_t AddViewEntryText(std::vector<std::string>& target, const uint8_t* entry, size_t available) {
    if (available < 4) return 0;
    const size_t total = Le16(entry);
    const size_t count = Le16(entry + 2);
    // An entry that claims more than the buffer holds, or less than its own
    // header, cannot be walked: add nothing from it.
    if (total < 4 || total > available) return 0;
    const size_t valuesStart = 4 + 2 * count;
    if (valuesStart > total) return total;
    const size_t taken = std::min(count, kMaxValues);
    size_t pos = valuesStart;
    for (size_t i = 0; i < taken; ++i) {
        const size_t len = Le16(entry + 4 + 2 * i);
        if (len == 0) continue;
        if (pos + len > total) break;  // runs past the entry
        if (len >= 2 && Le16(entry + pos) == TYPE_TEXT) {
            const size_t n = std::min(len, kValueArea) - 2;
            std::string value(reinterpret_cast<const char*>(entry + pos + 2), n);
            LowerAscii(value);
            target.push_back(std::move(value));
        }
        // A length of 1 is shorter than a type word: it is stepped over as it says.
        pos += len;
    }
    return total;
}

uint32_t WalkSummaryEntries(std::vector<std::string>& target, const uint8_t* buffer, size_t length,
                            uint32_t entries) {
    size_t offset = 0;
    uint32_t walked = 0;
    for (; walked < entries && offset < length; ++walked) {
        size_t total = AddViewEntryText(target, buffer + offset, length - offset);
        if (total == 0) break;
        offset += total;
    }
    return walked;
}

