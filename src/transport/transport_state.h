// What the task's notices share with their workers: the HTTP session and
// connection, a log outlet of their own, and the notices waiting for a
// worker. Workers hold it by shared pointer, so none uses freed memory
// however long it runs.
//
// Workers are few and start only when needed: a notice finding no worker
// alive starts one; otherwise it waits in a bounded queue, and a worker that
// takes a notice while others wait starts a helper, up to the limit. A worker
// finding the queue empty ends. Teardown drops what waits, stops what is in
// flight, waits a bounded time, and writes no worker line afterwards.
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
};

struct TransportState {
    // The first connection is made once, even when many threads notice at
    // the same moment.
    std::mutex connectMutex;
    tarn::http::SessionHandle internetHandle;
    tarn::http::ConnectionHandle connectionHandle;
    std::atomic<bool> connected{false};

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

    enum class Handover { StartWorker, Queued, Refused };
    // On the server thread: never waits on the network, and starts a thread
    // only when no worker is alive (StartWorker: the caller starts it with
    // this notice; otherwise the notice was moved into the queue or refused).
    Handover Hand(Notice& notice, size_t& waitingNow);
    // On a worker: the next notice, or false when none waits (the worker is
    // then counted out and must end).
    bool Next(Notice& notice);
    // On a worker, before each exchange: a notice for a helper worker when
    // others wait and the limit allows one.
    bool TakeForHelper(Notice& notice);
    // A worker that could not be started gives its notice back.
    void StartFailed(Notice notice);
    void SetWorkerLimit(int limit);
    int WorkerLimit() const;
    // True when no worker is alive and every worker thread has left its
    // body (within the time).
    bool WaitForWorkers(std::chrono::milliseconds limit);
    // A worker thread's body begins and ends: counted apart from `live`,
    // which a worker leaves before its last steps (NotesTermThread).
    void ThreadEntered();
    void ThreadLeft();

    // Stops everything of this state: waiting notices dropped, exchanges
    // aborted, worker lines silenced; waits up to `limit` for the workers and
    // writes one level-1 line when notices were abandoned.
    void Teardown(std::chrono::milliseconds limit);

    // Snapshot of the connection for one request.
    tarn::http::ConnectionHandle Connection();

private:
    void WriteLine(const char* message) const;

    mutable std::mutex logMutex;
    bool logOpen = true;  // guarded by logMutex

    mutable std::mutex workersMutex;
    std::condition_variable workersDone;
    std::deque<Notice> waiting;
    int live = 0;
    int threads = 0;  // worker threads inside their body
    int workerLimit = kDefaultWorkers;
    bool closing = false;
};

// The HTTP exchange of notices; runs on a detached worker thread, which
// takes further waiting notices when its first is done.
class TARNDomToTN {
public:
    // The worker thread's body: this notice, then whatever waits.
    void SendToProcessor(std::shared_ptr<TransportState> state, AuthType authType, std::string address,
                         std::string username, std::string password);
    bool PerformSessionLogin(const std::shared_ptr<TransportState>& state, std::string username,
                             std::string password);

private:
    // One notice's exchange: the GET, one answer to a 401, or one form login.
    void Deliver(const std::shared_ptr<TransportState>& state, const Notice& notice);
};

// Starts a detached worker thread for the notice (Boost.Thread's resource
// error when it cannot).
void StartNoticeWorker(const std::shared_ptr<TransportState>& state, Notice notice);

// application/x-www-form-urlencoded value: letters, digits and "-._~" as
// they are, every other byte as %XX.
std::string FormUrlEncode(const std::string& value);

// TARN_HTTP_Timeout: whole seconds ("30", "30s"), or milliseconds with "ms"
// ("1500ms"), blanks allowed around; from 1 s (100 ms) to 600 s. False for
// anything else.
bool ParseHttpTimeout(const char* text, uint32_t& milliseconds);
constexpr uint32_t kMinHttpTimeoutMs = 100;
constexpr uint32_t kMaxHttpTimeoutMs = 600000;
