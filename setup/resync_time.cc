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
namespace chr = std::chrono;

// sscanf's %d takes a sign and leading blanks, so each form is first held
// to its shape, digit for digit: '9' in `shape` is a digit, any other
// character itself.
bool HasShape(const std::string& text, const char* shape) {
    size_t i = 0;
    for (; shape[i]; ++i) {
        if (i == text.size()) return false;
        const char c = text[i];
        if (shape[i] == '9' ? c < '0' || c > '9' : c != shape[i]) return false;
    }
    return i == text.size();
}
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
    if (HasShape(text, "9999-99-99T99:99:99.99Z") &&
        sscanf(s, "%4d-%2d-%2dT%2d:%2d:%2d.%2dZ%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
               &tm.tm_sec, &hundredths, &used) == 7 &&
        used == static_cast<int>(text.size()) && text.size() == 23) {
        // UTC by the calendar in <chrono> (timegm is not on Windows); an
        // impossible date or time is refused as the local form's is.
        const chr::year_month_day date{chr::year{tm.tm_year}, chr::month(static_cast<unsigned>(tm.tm_mon)),
                                       chr::day(static_cast<unsigned>(tm.tm_mday))};
        if (!date.ok() || tm.tm_hour < 0 || tm.tm_hour > 23 || tm.tm_min < 0 || tm.tm_min > 59 || tm.tm_sec < 0 ||
            tm.tm_sec > 59 || hundredths < 0)
            return false;
        const int64_t t = chr::sys_days{date}.time_since_epoch() / chr::seconds(1) + tm.tm_hour * 3600 +
                          tm.tm_min * 60 + tm.tm_sec;
        if (t < 0) return false;
        *out = FromHundredths(t * 100 + hundredths);
        return true;
    }
    tm = {};
    if (HasShape(text, "9999-99-99 99:99") &&
        sscanf(s, "%4d-%2d-%2d %2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &used) == 5 &&
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
    const chr::sys_seconds seconds{chr::seconds(h / 100)};
    const auto day = chr::floor<chr::days>(seconds);
    const chr::year_month_day date{day};
    const chr::hh_mm_ss time{seconds - day};
    char text[64];
    snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%02dZ", static_cast<int>(date.year()),
             static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
             static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()), static_cast<int>(h % 100));
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
