#include "transport/www_authenticate.h"

#include "base/ascii.h"

namespace tarn::http {

bool OffersBasic(const char* value, size_t n) {
    constexpr char kBasic[] = "basic";
    constexpr size_t kBasicLength = sizeof kBasic - 1;
    auto space = [&](size_t k) { return value[k] == ' ' || value[k] == '\t'; };
    size_t i = 0;
    while (i < n) {
        while (i < n && (space(i) || value[i] == ',')) ++i;
        const size_t start = i;
        while (i < n && !space(i) && value[i] != ',' && value[i] != '=') ++i;
        const size_t wordLength = i - start;
        size_t j = i;
        while (j < n && space(j)) ++j;
        const bool parameter = j < n && value[j] == '=';
        if (!parameter && wordLength == kBasicLength) {
            bool basic = true;
            for (size_t k = 0; k < kBasicLength && basic; ++k) basic = AsciiLower(value[start + k]) == kBasic[k];
            if (basic) return true;
        }
        // Skip to the next comma outside quotes.
        bool quoted = false;
        for (; i < n; ++i) {
            if (quoted && value[i] == '\\' && i + 1 < n) {
                ++i;
            } else if (value[i] == '"') {
                quoted = !quoted;
            } else if (!quoted && value[i] == ',') {
                break;
            }
        }
    }
    return false;
}

}  // namespace tarn::http
