// When a line of the task's log is written: tested before anything of the
// line is made, since the callback passes lines of levels 2 and 3 on every
// event.
#pragma once

#include <atomic>
#include <cstdint>

// The level lines are tested against: the configuration's, replaced whole by
// each load and read at each line.
using LogLevelSetting = std::atomic<int32_t>;

// Levels callers pass: 0 (caller tested the level itself) and 1 are always
// written, 2 when the configured level is 2 or more, 3 only when it is 3.
inline bool LevelPasses(int level, int configuredLevel) {
    if (level == 2) return configuredLevel >= 2;
    if (level == 3) return configuredLevel == 3;
    return true;
}

inline bool LevelPasses(int level, const LogLevelSetting* configured) {
    return level < 2 || LevelPasses(level, configured ? configured->load(std::memory_order_relaxed) : 1);
}
