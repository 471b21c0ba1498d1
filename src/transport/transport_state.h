// What the task's notices share with their workers: the HTTP session and
// connection, a log outlet of their own, and the count of running workers.
// Workers hold it by shared pointer, so none uses freed memory however long
// it runs; teardown waits a bounded time for them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <semaphore>

#include "events/tarn_event_processor.h"
#include "transport/http_client.h"

struct TransportState {
    // The first connection is made once, even when many threads notice at
    // the same moment.
    std::mutex connectMutex;
    tarn::http::SessionHandle internetHandle;
    tarn::http::ConnectionHandle connectionHandle;
    std::atomic<bool> connected{false};

    // The session's line prefix and configured level, copied: the session
    // may be gone before a worker ends.
    char prefix[256] = {};
    std::atomic<int32_t> level{1};
    void Log(int messageLevel, const char* format, ...) const __attribute__((format(printf, 3, 4)));

    std::mutex workersMutex;
    std::condition_variable workersDone;
    int running = 0;
    int started = 0;
    void WorkerStarted();
    void WorkerEnded();
    // True when every worker ended within the time.
    bool WaitForWorkers(std::chrono::milliseconds limit);
    // The same, then a moment for the ended workers' threads to leave this
    // library's code: what teardown waits for before the library goes.
    bool WaitForWorkersToExit(std::chrono::milliseconds limit);

    // Exchanges in flight at once on the connection, as an HTTP client
    // limits its connections per server: further workers wait their turn,
    // so a burst reuses a few kept-alive connections instead of opening one
    // per notice.
    static constexpr int kMaxExchanges = 8;
    std::counting_semaphore<kMaxExchanges> exchanges{kMaxExchanges};

    // Snapshot of the connection for one request.
    tarn::http::ConnectionHandle Connection();
};

// The HTTP exchange of one notice; runs on its own detached worker thread.
class TARNDomToTN {
public:
    void SendToProcessor(std::shared_ptr<TransportState> state, AuthType authType, std::string address,
                         std::string username, std::string password);
    bool PerformSessionLogin(const std::shared_ptr<TransportState>& state, std::string username,
                             std::string password);
};

// application/x-www-form-urlencoded value: letters, digits and "-._~" as
// they are, every other byte as %XX.
std::string FormUrlEncode(const std::string& value);
