// The task's one connection to the processor and the Notes.ini settings read
// when it is made (TARN_HTTP_Timeout, TARN_HTTP_Workers, TARN_HTTP_Secure,
// TARN_HTTP_CAFile).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "log/tarn_log.h"
#include "transport/http_client.h"

class ProcessorConnection {
public:
    // Makes the connection once, even when many threads notice at the same
    // moment; the Notes.ini settings are read each time one is made, so a
    // changed Notes.ini takes effect with the next session of the task.
    // Its lines go to the task's log. TARN_HTTP_Workers is read with the
    // others, in its place among their lines, into `workerLimit` (left as
    // it is when not read): the pool is the caller's. After a failure no
    // handle is kept and the next notice tries again.
    void Open(const char* hostname, int32_t port, const TARNLog& log, int& workerLimit);
    bool Connected() const { return connected.load(); }

    // Snapshot of the connection for one request.
    tarn::http::ConnectionHandle Handle();
    // The flags of the task's requests (TARN_HTTP_Secure=1: every request
    // asks for TLS), and the processor's "host:port" for the lines naming it.
    uint32_t RequestFlags(uint32_t flags);
    std::string ProcessorHost();

    // Stops every request in flight, on any thread (teardown).
    void Abort();
    // Both handles closed; the next notice would connect afresh.
    void Close();
    // When no connection is there, the session handle is not kept either.
    void CloseUnconnected();

private:
    std::mutex mutex;
    tarn::http::SessionHandle internet;
    tarn::http::ConnectionHandle connection;
    std::atomic<bool> connected{false};
    bool secure = false;
    std::string processorHost;
};

// TARN_HTTP_Timeout: whole seconds ("30", "30s"), or milliseconds with "ms"
// ("1500ms"), blanks allowed around; from 1 s (100 ms) to 600 s. False for
// anything else.
bool ParseHttpTimeout(const char* text, uint32_t& milliseconds);
constexpr uint32_t kMinHttpTimeoutMs = 100;
constexpr uint32_t kMaxHttpTimeoutMs = 600000;
// A time-out as an administrator reads it ("30 s", "1500 ms").
std::string HttpTimeoutText(uint32_t milliseconds);

// TARN_HTTP_Secure: "1" (HTTPS) or "0" (plain HTTP), blanks allowed around.
// False for anything else: a value meant to turn TLS on must not be taken
// for off.
bool ParseHttpSecure(const char* text, bool& secure);

// TARN_HTTP_Workers: a whole number from WorkerPool::kMinWorkers to
// kMaxWorkers, blanks allowed around. False for anything else.
bool ParseHttpWorkers(const char* text, int& workers);

// Why the TARN_HTTP_CAFile at `path` cannot be read (the system's text);
// empty when it can.
std::string CaFileUnreadable(const char* path);
