// What the task's notices share with their workers: the HTTP session and
// connection, a log outlet of their own, and the notices waiting for a
// worker. Workers hold it by shared pointer, so none uses freed memory
// however long it runs. When workers start, linger and end is told once, in
// host/entry.h; this file keeps the counts that make it so.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "events/tarn_event_processor.h"
#include "transport/http_client.h"

class TARNConfig;

// One notice as its worker needs it, taken from one settings snapshot.
struct Notice {
    AuthType authType = AuthType::None;
    std::string address;
    std::string username;
    std::string password;
    // The capture-queue note announced; 0 for a refresh notice.
    uint32_t queueNoteId = 0;
};

struct TransportState {
    // The first connection is made once, even when many threads notice at
    // the same moment.
    std::mutex connectMutex;
    tarn::http::SessionHandle internetHandle;
    tarn::http::ConnectionHandle connectionHandle;
    std::atomic<bool> connected{false};
    // TARN_HTTP_Secure=1: every request asks for TLS. "host:port" of the
    // processor, for the lines that name it. Both set with the connection.
    bool secure = false;
    std::string processorHost;

    // The session's line prefix, copied: the session may be gone before a
    // worker ends. The level is the configuration's, read for each line
    // (`level` stands in when there is no configuration).
    char prefix[256] = {};
    std::atomic<int32_t> level{1};
    std::atomic<const TARNConfig*> config{nullptr};
    void Log(int messageLevel, const char* format, ...) const __attribute__((format(printf, 3, 4)));

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
    // refused (the queue is full) or Closed (after teardown).
    Handover Hand(Notice& notice, size_t& waitingNow);
    // On a worker: the next notice, waiting up to `linger` for one; false
    // when none came, at teardown or when dismissed (the worker is then
    // counted out and must end).
    bool Next(Notice& notice, std::chrono::milliseconds linger);
    // A worker that could not be started gives its notice back.
    void StartFailed(Notice notice);
    void SetWorkerLimit(int limit);
    int WorkerLimit() const;
    // True when no worker is alive and every worker thread has left its
    // body (within the time).
    bool WaitForWorkers(std::chrono::milliseconds limit);
    // Waits until no notice is in flight and none waits (or none can be
    // carried: no worker alive), then lets the idle workers go and waits
    // for them to end when `letIdleGo`. True when that was reached in time.
    bool WaitUntilCarried(std::chrono::milliseconds limit, bool letIdleGo);
    // A worker thread's body begins and ends: counted apart from `live`,
    // which a worker leaves before its last steps (NotesTermThread).
    void ThreadEntered();
    void ThreadLeft();
    // Worker threads started for this state, for the benchmarks.
    std::atomic<uint64_t> threadsStarted{0};

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
    // After a Teardown that did not end every worker: waits up to `limit`
    // more; true when they ended.
    bool WaitForStragglers(std::chrono::milliseconds limit);
    // A level-1 line that bypasses the closed log (teardown's own lines).
    void TeardownLine(const char* message) const { WriteLine(message); }

    // Snapshot of the connection for one request.
    tarn::http::ConnectionHandle Connection();
    // The flags of the task's requests, and the processor's "host:port".
    uint32_t RequestFlags(uint32_t flags);
    std::string ProcessorHost();

private:
    void WriteLine(const char* message) const;

    mutable std::mutex logMutex;
    bool logOpen = true;  // guarded by logMutex

    mutable std::mutex workersMutex;
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

// The HTTP exchange of notices; runs on a detached worker thread, which
// takes further waiting notices when its first is done and lingers a little
// for the next one.
class TARNDomToTN {
public:
    // The worker thread's body: this notice, then whatever waits.
    void SendToProcessor(std::shared_ptr<TransportState> state, AuthType authType, std::string address,
                         std::string username, std::string password, uint32_t queueNoteId);
    bool PerformSessionLogin(const std::shared_ptr<TransportState>& state, std::string username,
                             std::string password);

private:
    // One notice's exchange: the GET, one answer to a 401, or one form login.
    void Deliver(const std::shared_ptr<TransportState>& state, const Notice& notice);
};

// Starts a detached worker thread for the notice (Boost.Thread's resource
// error when it cannot).
void StartNoticeWorker(const std::shared_ptr<TransportState>& state, Notice notice);

// Shortens the teardown's first wait for the workers (3 s), so tests reach
// what follows it quickly; the wait at unload after it keeps its length.
void SetTeardownWaitForTesting(std::chrono::milliseconds wait);

// application/x-www-form-urlencoded value: letters, digits and "-._~" as
// they are, every other byte as %XX.
std::string FormUrlEncode(const std::string& value);

// TARN_HTTP_Timeout: whole seconds ("30", "30s"), or milliseconds with "ms"
// ("1500ms"), blanks allowed around; from 1 s (100 ms) to 600 s. False for
// anything else.
bool ParseHttpTimeout(const char* text, uint32_t& milliseconds);
constexpr uint32_t kMinHttpTimeoutMs = 100;
constexpr uint32_t kMaxHttpTimeoutMs = 600000;
