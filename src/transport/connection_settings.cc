// The Notes.ini values of the connection, read from their text: what an
// administrator wrote, so the parsers refuse everything but the forms named
// in connection.h.
#include <cstdio>

#include "base/ascii.h"
#include "transport/connection.h"
#include "transport/worker_pool.h"

bool ParseHttpSecure(const char* text, bool& secure) {
    while (*text == ' ' || *text == '\t') ++text;
    if (*text != '0' && *text != '1') return false;
    const bool on = *text++ == '1';
    while (*text == ' ' || *text == '\t') ++text;
    if (*text) return false;
    secure = on;
    return true;
}

bool ParseHttpWorkers(const char* text, int& workers) {
    // By hand rather than strtol, which would also take a sign and other
    // white space ("+8", a line feed) before the number.
    while (*text == ' ' || *text == '\t') ++text;
    if (*text < '0' || *text > '9') return false;
    long n = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        n = n * 10 + (*text - '0');
        if (n > WorkerPool::kMaxWorkers) return false;
    }
    while (*text == ' ' || *text == '\t') ++text;
    if (*text || n < WorkerPool::kMinWorkers) return false;
    workers = static_cast<int>(n);
    return true;
}

std::string HttpTimeoutText(uint32_t ms) {
    char text[32];
    if (ms % 1000 == 0)
        snprintf(text, sizeof text, "%u s", ms / 1000);
    else
        snprintf(text, sizeof text, "%u ms", ms);
    return text;
}

bool ParseHttpTimeout(const char* text, uint32_t& milliseconds) {
    if (!text) return false;
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p < '0' || *p > '9') return false;
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > kMaxHttpTimeoutMs) return false;
    }
    while (*p == ' ' || *p == '\t') ++p;
    uint64_t ms;
    if (AsciiEqualNoCase(p, "ms", 2)) {
        ms = value;
        p += 2;
    } else {
        ms = value * 1000;
        if (*p == 's' || *p == 'S') ++p;
    }
    while (*p == ' ' || *p == '\t') ++p;
    if (*p || ms < kMinHttpTimeoutMs || ms > kMaxHttpTimeoutMs) return false;
    milliseconds = static_cast<uint32_t>(ms);
    return true;
}
