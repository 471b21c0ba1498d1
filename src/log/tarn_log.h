// Console lines of the add-in: LogPlain for lines outside a session, TARNLog
// for the session's levelled lines, LogLine for any writer with a level.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "base/task_context.h"

inline constexpr const char kBanner[] = "Brackwater TARN 1.2.27";


// One line's text, formatted only when its level passes the configured one:
// the callback holds back lines of levels 2 and 3 on every event, and a line
// held back costs a compare. Cut to 255 characters.
class LogLine {
public:
    LogLine(int level, int configuredLevel, const char* format, va_list ap);
    // An ungated line.
    LogLine(const char* format, va_list ap) : LogLine(1, 1, format, ap) {}
    explicit operator bool() const { return passes; }
    const char* Text() const { return text; }

private:
    bool passes;
    char text[256];
};

// Banner, a blank, the message; no level and no task name.
void LogPlain(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One finished line: under prefix (a task's format from TARNLog::Prefix), or
// as LogPlain's when prefix is empty.
void WriteTaskLine(const char* prefix, const char* message);
// Copies at most size - 1 bytes of src into dst and terminates it.
void CopyBounded(char* dst, size_t size, const char* src);
// Appends src to the terminated text in dst, cut to fit size.
void AppendBounded(char* dst, size_t size, const char* src);


class TARNLog {
public:
    // name: the task's, shown in every line.
    bool Init(const char* name, const LogLevelSetting& configuredLevel);
    void Printf(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
    // Before Init a line goes out as LogPlain's, without a task name.
    void VPrintf(int level, const char* format, va_list ap) const;
    const char* Prefix() const { return prefix; }

private:
    // A format text for log-message: the process name is escaped in it, so a
    // '%' in the name shows as itself.
    char prefix[256] = {};
    const LogLevelSetting* configured = nullptr;
};

// The context of code run outside a task (a configuration read on its own):
// its lines go out as an uninitialised TARNLog's, without a task name; it has
// no state to change and is not the HTTP task.
const TaskContext& DetachedTask();
