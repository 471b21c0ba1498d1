// The notices waiting for a worker and the count of workers carrying them:
// a few detached threads per task, started as notices come and lingering a
// little for the next one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "transport/notice.h"

class WorkerPool {
public:
    // Live worker threads at most: the exchanges in flight at once on the
    // connection, as an HTTP client limits its connections per server.
    static constexpr int kDefaultWorkers = 8;
    static constexpr int kMinWorkers = 1;
    static constexpr int kMaxWorkers = 64;
    // Notices waiting for a worker at most; beyond, a notice is refused (its
    // queue note stays in the capture queue).
    static constexpr size_t kMaxWaiting = 10000;

    // How long a worker that finds nothing to do waits for the next notice
    // before it ends: long enough that a trickle of saves reuses it, short
    // enough that an idle task holds no threads for long. Idle workers are
    // never more than the worker limit, since every idle worker is live.
    static constexpr std::chrono::milliseconds kIdleLinger{2000};

    enum class Handover { StartWorker, Queued, Refused, Closed };
    // On the server thread: never waits on the network. StartWorker when no
    // idle worker is free for this notice and fewer than the limit are
    // alive (the caller starts one with this notice), so no notice waits
    // behind a slow exchange while the limit allows another; otherwise the
    // notice was moved into the queue (an idle worker is woken for it),
    // refused (the queue is full) or Closed (after Close).
    Handover Hand(Notice& notice, size_t& waitingNow);
    // On a worker: the next notice, waiting up to `linger` for one; false
    // when none came, once closed or when dismissed (the worker is then
    // counted out and must end).
    bool Next(Notice& notice, std::chrono::milliseconds linger);
    // A worker that could not be started gives its notice back.
    void StartFailed(Notice notice);
    void SetWorkerLimit(int limit);
    // True when no worker is alive and every worker thread has left its
    // body (within the time).
    bool WaitForWorkers(std::chrono::milliseconds limit);
    // Waits until no notice is in flight and none waits (or none can be
    // carried: no worker alive), then lets the idle workers go and waits
    // for them to end when `letIdleGo`. True when that was reached in time.
    bool WaitUntilCarried(std::chrono::milliseconds limit, bool letIdleGo);
    // A worker thread's body begins and ends: counted apart from the live
    // workers, which a worker leaves before its last steps (NotesTermThread).
    void ThreadEntered();
    void ThreadLeft();
    // Worker threads started, for the benchmarks.
    std::atomic<uint64_t> threadsStarted{0};

    // Refuses every later notice, drops the waiting ones and wakes the idle
    // workers so they end. What was dropped: the waiting notices, and those
    // on a busy worker.
    struct Abandoned {
        size_t queued = 0;
        int inFlight = 0;
    };
    Abandoned Close();
    int Live() const;

private:
    mutable std::mutex mutex;
    std::condition_variable workersDone;
    std::condition_variable work;  // idle workers wait here for a notice
    std::deque<Notice> waiting;
    int live = 0;
    int idle = 0;  // live workers waiting in Next for a notice
    uint64_t dismissals = 0;  // raised to let the idle workers go
    int threads = 0;  // worker threads inside their body
    int workerLimit = kDefaultWorkers;
    bool closing = false;
};
