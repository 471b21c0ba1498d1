#include "resync_time.h"

#include <ostime.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

namespace tarnsetup {
namespace {
constexpr int64_t kPerDay = 8640000;
constexpr int64_t kJulianDayOf1970 = 2440588;
}  // namespace

int64_t Hundredths(const TIMEDATE& t) {
    return (static_cast<int64_t>(t.Innards[1] & 0xFFFFFF) - kJulianDayOf1970) * kPerDay + t.Innards[0];
}

TIMEDATE FromHundredths(int64_t h) {
    TIMEDATE t;
    t.Innards[0] = static_cast<DWORD>(h % kPerDay);
    t.Innards[1] = static_cast<DWORD>(h / kPerDay + kJulianDayOf1970);
    return t;
}

bool ParseTime(const std::string& text, TIMEDATE* out) {
    struct tm tm {};
    int hundredths = 0, used = 0;
    const char* s = text.c_str();
    if (sscanf(s, "%4d-%2d-%2dT%2d:%2d:%2d.%2dZ%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
               &tm.tm_sec, &hundredths, &used) == 7 &&
        used == static_cast<int>(text.size()) && text.size() == 23) {
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        const time_t t = timegm(&tm);
        if (t < 0) return false;
        *out = FromHundredths(static_cast<int64_t>(t) * 100 + hundredths);
        return true;
    }
    tm = {};
    if (sscanf(s, "%4d-%2d-%2d %2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &used) == 5 &&
        used == static_cast<int>(text.size()) && text.size() == 16) {
        const int month = tm.tm_mon, day = tm.tm_mday, hour = tm.tm_hour, minute = tm.tm_min;
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        tm.tm_isdst = -1;  // the server's own rule for that date
        const time_t t = mktime(&tm);
        // mktime moves an impossible date (2026-02-30, 25:00) on: refuse it.
        if (t < 0 || tm.tm_mon != month - 1 || tm.tm_mday != day || tm.tm_hour != hour || tm.tm_min != minute)
            return false;
        *out = FromHundredths(static_cast<int64_t>(t) * 100);
        return true;
    }
    return false;
}

std::string FormatTime(const TIMEDATE& t) {
    const int64_t h = Hundredths(t);
    const time_t seconds = static_cast<time_t>(h / 100);
    struct tm tm {};
    gmtime_r(&seconds, &tm);
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(h % 100));
    return text;
}

TIMEDATE NextTick() {
    TIMEDATE now{};
    OSCurrentTIMEDATE(&now);
    const int64_t start = Hundredths(now);
    while (Hundredths(now) <= start) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        OSCurrentTIMEDATE(&now);
    }
    return now;
}

}  // namespace tarnsetup
