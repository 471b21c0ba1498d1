#include "transport/worker_pool.h"

#include "stats/tarn_stats.h"

namespace {

// The figures of a handover and of the waiting room (the pool's mutex held).
void Gauges(size_t waiting, int live) {
    using tarn::stats::Gauge;
    tarn::stats::Set(Gauge::NoticesWaiting, static_cast<int64_t>(waiting));
    tarn::stats::Set(Gauge::Workers, live);
    if (live > tarn::stats::Value(Gauge::WorkersPeak)) tarn::stats::Set(Gauge::WorkersPeak, live);
}

void CountHandover(WorkerPool::Handover handover, size_t waiting, int live) {
    using tarn::stats::Count;
    switch (handover) {
        case WorkerPool::Handover::StartWorker:
        case WorkerPool::Handover::Queued: tarn::stats::Add(Count::NoticesSent); break;
        case WorkerPool::Handover::Refused: tarn::stats::Add(Count::DroppedFull); break;
        case WorkerPool::Handover::Closed: tarn::stats::Add(Count::DroppedTeardown); break;
    }
    Gauges(waiting, live);
}

}  // namespace

WorkerPool::Handover WorkerPool::Hand(Notice& notice, size_t& waitingNow) {
    std::lock_guard lock(mutex);
    const Handover handover = [&] {
        waitingNow = waiting.size();
        if (closing) return Handover::Closed;
        // An idle worker not yet spoken for takes it: no thread to start.
        if (static_cast<size_t>(idle) > waiting.size()) {
            waiting.push_back(std::move(notice));
            waitingNow = waiting.size();
            work.notify_one();
            return Handover::Queued;
        }
        // Every live worker is busy (perhaps inside a hung exchange): another
        // one while the limit allows, so this notice does not wait behind them.
        if (live < workerLimit) {
            ++live;
            return Handover::StartWorker;
        }
        if (waiting.size() >= kMaxWaiting) return Handover::Refused;
        waiting.push_back(std::move(notice));
        waitingNow = waiting.size();
        return Handover::Queued;
    }();
    CountHandover(handover, waiting.size(), live);
    return handover;
}

bool WorkerPool::Next(Notice& notice, std::chrono::milliseconds linger) {
    std::unique_lock lock(mutex);
    if (waiting.empty() && !closing) {
        ++idle;
        workersDone.notify_all();  // WaitUntilCarried may be waiting for this
        const uint64_t dismissal = dismissals;
        const auto deadline = std::chrono::steady_clock::now() + linger;
        while (waiting.empty() && !closing && dismissal == dismissals)
            if (work.wait_until(lock, deadline) == std::cv_status::timeout) break;
        --idle;
    }
    if (!waiting.empty() && !closing) {
        notice = std::move(waiting.front());
        waiting.pop_front();
        Gauges(waiting.size(), live);
        return true;
    }
    --live;
    Gauges(waiting.size(), live);
    workersDone.notify_all();
    return false;
}

void WorkerPool::StartFailed(Notice notice) {
    std::lock_guard lock(mutex);
    if (!closing) {
        waiting.push_front(std::move(notice));
        work.notify_one();
    } else {
        tarn::stats::Add(tarn::stats::Count::DroppedTeardown);
    }
    --live;
    Gauges(waiting.size(), live);
    workersDone.notify_all();
}

void WorkerPool::SetWorkerLimit(int limit) {
    std::lock_guard lock(mutex);
    workerLimit = limit;
}

bool WorkerPool::WaitForWorkers(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex);
    return workersDone.wait_for(lock, limit, [this] { return live == 0 && threads == 0; });
}

bool WorkerPool::WaitUntilCarried(std::chrono::milliseconds limit, bool letIdleGo) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock lock(mutex);
    // Notices given back by a worker that could not start wait for the next
    // notice's worker: with no worker alive, nothing more will be carried.
    if (!workersDone.wait_until(lock, deadline, [this] { return (waiting.empty() || live == 0) && live == idle; }))
        return false;
    if (!letIdleGo) return true;
    ++dismissals;
    work.notify_all();
    return workersDone.wait_until(lock, deadline, [this] { return live == 0 && threads == 0; });
}

void WorkerPool::ThreadEntered() {
    std::lock_guard lock(mutex);
    ++threads;
}

void WorkerPool::ThreadLeft() {
    std::lock_guard lock(mutex);
    --threads;
    workersDone.notify_all();
}

WorkerPool::Abandoned WorkerPool::Close() {
    std::lock_guard lock(mutex);
    closing = true;
    Abandoned abandoned;
    abandoned.queued = waiting.size();
    waiting.clear();
    tarn::stats::Add(tarn::stats::Count::DroppedTeardown, abandoned.queued);
    Gauges(0, live);
    // Idle workers carry nothing: only the busy ones abandon a notice.
    abandoned.inFlight = live - idle;
    work.notify_all();
    return abandoned;
}

int WorkerPool::Live() const {
    std::lock_guard lock(mutex);
    return live;
}
