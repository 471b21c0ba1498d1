// Console lines of the add-in: LogPlain for lines outside a session, TARNLog
// for the session's levelled lines.
#pragma once

#include <cstddef>

class TARNConfig;
class TARNSession;

inline constexpr const char kBanner[] = "Brackwater TARN 1.2.27";

// Levels callers pass: 0 (caller tested the level itself) and 1 are always
// written, 2 when the configured level is 2 or more, 3 only when it is 3.
bool LevelPasses(int level, int configuredLevel);

// Banner, a blank, the message; no level and no task name.
void LogPlain(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Copies at most size - 1 bytes of src into dst and terminates it.
void CopyBounded(char* dst, size_t size, const char* src);
// Appends src to the terminated text in dst, cut to fit size.
void AppendBounded(char* dst, size_t size, const char* src);

class TARNLog {
public:
    bool Init(TARNSession* session);
    void Write(int level, const char* text) const;
    bool IsReady() const { return config != nullptr; }
    const char* Prefix() const { return prefix; }

private:
    // A format text for log-message: the process name is escaped in it, so a
    // '%' in the name shows as itself.
    char prefix[256] = {};
    const TARNConfig* config = nullptr;
};
