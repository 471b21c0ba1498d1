// What the add-in's lower layers (configuration, capture queue, filter)
// need of the task they serve, and nothing more: its log, the two changes of
// its state a reload makes, whether it is the HTTP task, and the refresh
// broadcast. The session implements it; the layers below never see it.
#pragma once

#include <cstdarg>

#include "base/log_level.h"

class TaskContext {
public:
    // One line of the task's log at a level (see log/tarn_log.h): the level
    // test and the line are made in one place, the task's log.
#if defined(__GNUC__) && !defined(__clang__)
    // Inlined at every caller, so a line held back (the callback passes
    // several of levels 2 and 3 on every event) costs a load and a compare,
    // not a call; GCC cannot inline a function that uses va_start, so the
    // arguments travel on to the written line's call unopened.
    __attribute__((always_inline)) void Log(int level, const char* format, ...) const
        __attribute__((format(printf, 3, 4))) {
        if (LevelPasses(level, levelSetting)) Write(level, format, __builtin_va_arg_pack());
    }
#else
    void Log(int level, const char* format, ...) const __attribute__((format(printf, 3, 4))) {
        if (!LevelPasses(level, levelSetting)) return;
        va_list ap;
        va_start(ap, format);
        VLog(level, format, ap);
        va_end(ap);
    }
#endif
    virtual void VLog(int level, const char* format, va_list ap) const = 0;

    // A load of the configuration failed: during start-up the task is not
    // served; after it, the task is off until a reload succeeds.
    virtual void MarkNotInitialised() = 0;
    // A load succeeded: a task off after a failed reload serves again.
    virtual void ReloadSucceeded() = 0;

    virtual bool IsHttpTask() const = 0;
    // The HTTP task tells every other listed task to reload.
    virtual void BroadcastConfigRefresh() = 0;

protected:
    TaskContext() = default;
    ~TaskContext() = default;
    // From here on lines are tested against `setting` (until then as level 1).
    void TestLinesAgainst(const LogLevelSetting& setting) { levelSetting = &setting; }

private:
    // A line that passed its level test.
    void Write(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));

    // The task's level, read here so that a line held back costs a load and
    // a compare, not a call; the line itself is tested again where written.
    const LogLevelSetting* levelSetting = nullptr;
};

inline void TaskContext::Write(int level, const char* format, ...) const {
    va_list ap;
    va_start(ap, format);
    VLog(level, format, ap);
    va_end(ap);
}
