// What the add-in does, counted where it happens and shown the platform's
// way: Domino statistics under the facility TARN ("show stat TARN").
//
// Counting runs on the server's threads (callbacks) and the notice workers:
// one relaxed atomic add or store in this process's memory, no allocation,
// no lock, no C API call. The figures reach the host in batches from a
// thread of the add-in's own (StatsPublisher), never from a callback.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "base/refusals.h"

namespace tarn::stats {

// Counts each task adds to the server's total (StatUpdate, ST_RESETABLE):
// TARN.<name>. Every refusal of the filter moves exactly one Refused figure;
// Events.Refused and Notices.Failed are published as the sums of theirs.
enum class Count : unsigned {
    EventsSeen,
    EventsCaptured,
    DeletionsCaptured,
    CancellationsCaptured,
    DeletionsNotQueued,
// One per check of the filter (base/refusals.h), RefusedNotDocument first
// and RefusedError last.
#define TARN_REFUSED_COUNT(stat, name, outcome, line) Refused##stat,
    TARN_REFUSAL_CHECKS(TARN_REFUSED_COUNT)
#undef TARN_REFUSED_COUNT
    QueueWritten,
    QueueFailed,
    NoticesSent,
    NoticesDelivered,
    FailedTransport,
    FailedAuthentication,
    FailedStatus,
    DroppedTeardown,
    DroppedFull,
    NoticesLogins,
    ConfigReloads,
    ConfigReloadsFailed,
    RefreshSent,
    RefreshReceived,
    Count_,
};

// Values of this task alone (StatUpdate with ST_UNIQUE):
// TARN.Task.<task>.<name>. Set to zero when the task ends, but for the
// peak, which stays as the record of the task's run.
enum class Gauge : unsigned {
    NoticesWaiting,
    Workers,
    WorkersPeak,
    Users,
    Excluded,
    Count_,
};

struct Figures {
    std::atomic<uint64_t> counts[static_cast<unsigned>(Count::Count_)];
    std::atomic<int64_t> gauges[static_cast<unsigned>(Gauge::Count_)];
    // Seconds since 1970 (UTC) of the last capture; 0 for none yet.
    std::atomic<int64_t> lastCapture;
};

// The process's figures: zero at load, never reset (the host's values are
// sums of what each task added).
inline constinit Figures gFigures{};

inline void Add(Count c) noexcept {
    gFigures.counts[static_cast<unsigned>(c)].fetch_add(1, std::memory_order_relaxed);
}
inline void Add(Count c, uint64_t n) noexcept {
    gFigures.counts[static_cast<unsigned>(c)].fetch_add(n, std::memory_order_relaxed);
}
inline void Set(Gauge g, int64_t value) noexcept {
    gFigures.gauges[static_cast<unsigned>(g)].store(value, std::memory_order_relaxed);
}
inline uint64_t Value(Count c) noexcept { return gFigures.counts[static_cast<unsigned>(c)].load(std::memory_order_relaxed); }
inline int64_t Value(Gauge g) noexcept { return gFigures.gauges[static_cast<unsigned>(g)].load(std::memory_order_relaxed); }
// A capture: the time of it (a clock read, no C API call).
void CaptureTime() noexcept;
// The task was switched off or on: its state goes out without waiting for
// the next round (a rare path: a reload).
void StateChanged() noexcept;

// Name of a figure as published, after "TARN." (counts) or
// "TARN.Task.<task>." (gauges).
const char* Name(Count c);
const char* Name(Gauge g);

// The thread that hands the figures to the host. Started with the task (it
// makes no C API call before Go: the host is not up while MainEntryPoint
// runs), it wakes every few seconds and publishes what changed since its
// last round. Stop, at the end of NSF service, has it publish a last time
// with the task's gauges at zero and its state "Not served", and waits for
// it. Why a thread of its own: whether StatUpdate may be called from a
// callback is not documented, so no callback calls it; the notice workers
// exist only while notices flow, and a task that refuses everything would
// never publish.
//
// Its first C API call (NotesInitThread) is made at the first Go, which
// waits for it (bounded), and never once stopping: a stop without a last
// round is the unload, under the loader's lock, where that first call could
// hang the process. What the thread waits on belongs to this object, so it
// lives as long as the thread may run.
class StatsPublisher {
public:
    using Line = std::function<void(const char*)>;
    // Further work on this thread, after each round but the last (the HTTP
    // task's capture-queue backlog, queue_backlog.h): given the time, it
    // does what is due and answers when it wants to be called next. Set
    // before Start.
    using Work = std::function<std::chrono::steady_clock::time_point(std::chrono::steady_clock::time_point)>;
    void AlsoRun(Work w) { work = std::move(w); }
    // `state` answers the task's state text; `line` writes a level-1 line.
    void Start(const char* task, std::function<const char*()> state, Line line);
    // The first callback came: the host is up, the C API may be called.
    void Go() noexcept {
        if (!go.load(std::memory_order_acquire)) GoFirst();
    }
    // The last round (when `finalRound` and the host still runs), then the
    // thread ends. Safe to call again, or without Start.
    void Stop(bool finalRound);
    ~StatsPublisher() { Stop(false); }

    struct Shared;

private:
    friend void StateChanged() noexcept;
    void GoFirst() noexcept;

    std::atomic<bool> go{false};
    std::mutex mutex;  // guards shared and what Shared says it guards
    std::condition_variable wake;
    Shared* shared = nullptr;
    Work work;
};

}  // namespace tarn::stats
