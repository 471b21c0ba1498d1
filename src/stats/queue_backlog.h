// The capture queue's backlog as statistics, published by the HTTP task
// alone (one task per server, the one every installation lists):
// TARN.Queue.Pending, TARN.Queue.OldestPendingMinutes, TARN.Queue.Handled.
//
// Read on the statistics thread (a thread of the add-in's own, initialised
// for the C API), never on a callback: at its first round and then every
// TARN_Queue_Interval seconds. Each read opens the capture queue on that
// thread (handles belong to the thread that opened them) and closes it
// again. A read that fails says so once, at level 1, and leaves the figures
// as they were; the next read tries again. Nothing here is shared with a
// callback or a notice worker.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "base/notes_capi.h"
#include "stats/tarn_stats.h"

namespace tarn::stats {

inline constexpr char kQueueIntervalSetting[] = "TARN_Queue_Interval";
inline constexpr int kQueueIntervalDefault = 60, kQueueIntervalMin = 1, kQueueIntervalMax = 3600;

class QueueBacklog {
public:
    using Clock = std::chrono::steady_clock;
    using Line = std::function<void(const char*)>;
    explicit QueueBacklog(Line line) : line(std::move(line)) {}

    // Reads and publishes when due (at the first call, then once per
    // interval); answers when it is due next.
    Clock::time_point Round(Clock::time_point now);
    // The interval in force, from notes.ini (a value it cannot use is said
    // once, and the default used).
    int IntervalSeconds();

private:
    void Read();
    void Say(const std::string& text);
    bool Publish(const char* name, DWORD value);

    Line line;
    bool started = false;
    bool failing = false;
    Clock::time_point due{};
    std::string refusedSetting;
};

// The publisher's work for the HTTP task (StatsPublisher::AlsoRun).
StatsPublisher::Work QueueBacklogWork(QueueBacklog::Line line);

}  // namespace tarn::stats
