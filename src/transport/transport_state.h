// What the task's notices share with their workers: the connection, the
// worker pool, and a log outlet of their own. Workers hold it by shared
// pointer, so none uses freed memory however long it runs. When workers
// start, linger and end is told once, in host/entry.h; the pool keeps the
// counts that make it so.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>

#include "log/tarn_log.h"
#include "transport/connection.h"
#include "transport/worker_pool.h"

struct TransportState {
public:
    ProcessorConnection connection;
    WorkerPool workers;

    // The task's log, copied (the session may be gone before a worker
    // ends): its line prefix and the level setting each line is tested
    // against.
    void SetOutlet(const TARNLog& taskLog);
    void Log(int messageLevel, const char* format, ...) const __attribute__((format(printf, 3, 4)));
    // A level-1 line that bypasses the closed log (teardown's own lines).
    void TeardownLine(const char* message) const;

    // Stops everything of this state: waiting notices dropped, idle workers
    // let go, exchanges aborted, worker lines silenced; waits up to `limit`
    // for the workers and writes one level-1 line when notices were
    // abandoned or workers are still running. True when every worker ended.
    // Once torn down, the state refuses every later notice.
    bool Teardown(std::chrono::milliseconds limit);
    // Workers that outlived teardown are given up: the host ends the
    // runtime without them, so when they return they make no C API call
    // at all, not even NotesTermThread.
    std::atomic<bool> abandoned{false};

private:
    mutable std::mutex logMutex;
    bool logOpen = true;
    TARNLog log;
};
