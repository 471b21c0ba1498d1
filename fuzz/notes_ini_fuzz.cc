// The transport's Notes.ini values, as an administrator may write them. Each
// parser takes only its documented forms (blanks being spaces and tabs),
// keeps the caller's value when it refuses, and a time-out it took reads
// back from the way the console shows it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "transport/connection.h"
#include "transport/worker_pool.h"

namespace {

// The text without blanks around it.
std::string Inner(const char* text) {
    const char* a = text;
    while (*a == ' ' || *a == '\t') ++a;
    const char* b = a + strlen(a);
    while (b > a && (b[-1] == ' ' || b[-1] == '\t')) --b;
    return std::string(a, b);
}

// The leading digits' count.
size_t Digits(const std::string& s) {
    size_t n = 0;
    while (n < s.size() && s[n] >= '0' && s[n] <= '9') ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A Notes.ini value ends at its first NUL.
    const std::string value(reinterpret_cast<const char*>(data), size);
    const char* text = value.c_str();
    const std::string inner = Inner(text);

    bool secure = true;
    if (ParseHttpSecure(text, secure)) {
        if (inner != "0" && inner != "1") abort();
        if (secure != (inner == "1")) abort();
    } else if (!secure || inner == "0" || inner == "1") {
        abort();
    }

    int workers = -7;
    if (ParseHttpWorkers(text, workers)) {
        if (inner.empty() || Digits(inner) != inner.size()) abort();
        if (workers < WorkerPool::kMinWorkers || workers > WorkerPool::kMaxWorkers) abort();
        if (std::to_string(workers) != inner.substr(inner.find_first_not_of('0') == std::string::npos
                                                        ? inner.size() - 1
                                                        : inner.find_first_not_of('0')))
            abort();
    } else if (workers != -7) {
        abort();
    }

    uint32_t ms = 7;
    if (ParseHttpTimeout(text, ms)) {
        if (ms < kMinHttpTimeoutMs || ms > kMaxHttpTimeoutMs) abort();
        const size_t digits = Digits(inner);
        std::string unit = Inner(inner.substr(digits).c_str());
        for (char& c : unit) c = static_cast<char>(c | 0x20);
        if (digits == 0 || (unit != "" && unit != "s" && unit != "ms")) abort();
        uint32_t again = 0;
        if (!ParseHttpTimeout(HttpTimeoutText(ms).c_str(), again) || again != ms) abort();
    } else if (ms != 7) {
        abort();
    }
    return 0;
}
