// Summary buffers come from databases: any bytes must walk safely.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/summary_buffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte says how many entries the read claimed.
    if (size < 1) return 0;
    uint32_t claimed = data[0];
    std::vector<uint8_t> buffer(data + 1, data + size);  // exact size: overruns are caught
    std::vector<std::string> values;
    WalkSummaryEntries(values, buffer.data(), buffer.size(), claimed);
    for (const std::string& v : values) {
        if (v.size() > 97) abort();
        for (char c : v)
            if (c >= 'A' && c <= 'Z') abort();
    }
    return 0;
}
