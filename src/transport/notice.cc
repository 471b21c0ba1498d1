// Notices to the transaction processor: the task's one connection, the
// notice addresses, and the few detached workers that carry them.
#include <boost/bind/bind.hpp>
#include <boost/thread/thread.hpp>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "config/tarn_config.h"
#include "events/tarn_event_processor.h"
#include "base/ascii.h"
#include "host/tarn_session.h"
#include "log/tarn_log.h"
#include "stats/tarn_stats.h"
#include "transport/library_pin.h"
#include "transport/transport_state.h"

namespace http = tarn::http;

namespace {

constexpr char kAccessToken[] = "Kq7Wm2Rx9Tb4Lz8Vn3Hc6Pd1Fs5Jg0Ye";
// How long teardown waits for notices still on their way (3 s; tests may
// shorten it, see SetTeardownWaitForTesting).
std::atomic<int64_t> gTeardownWaitMs{3000};
// At unload without a termination first, how much longer it waits for a
// worker that outlived the teardown wait: the library cannot be kept loaded any
// more by then, and unmapping code under a running thread crashes the task.
constexpr std::chrono::milliseconds kUnloadExtraWait{20000};

// A worker thread's bound call holds the state until just after the worker
// has counted itself out; the state's owner waits for that release, so the
// last instructions a worker runs in this library are a handful.
void AwaitSoleOwner(const std::shared_ptr<TransportState>& state, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (state.use_count() > 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

// The figures of a handover and of the waiting room (workersMutex held).
void Gauges(size_t waiting, int live) {
    using tarn::stats::Gauge;
    tarn::stats::Set(Gauge::NoticesWaiting, static_cast<int64_t>(waiting));
    tarn::stats::Set(Gauge::Workers, live);
    if (live > tarn::stats::Value(Gauge::WorkersPeak)) tarn::stats::Set(Gauge::WorkersPeak, live);
}

void CountHandover(TransportState::Handover handover, size_t waiting, int live) {
    using tarn::stats::Count;
    switch (handover) {
        case TransportState::Handover::StartWorker:
        case TransportState::Handover::Queued: tarn::stats::Add(Count::NoticesSent); break;
        case TransportState::Handover::Refused: tarn::stats::Add(Count::DroppedFull); break;
        case TransportState::Handover::Closed: tarn::stats::Add(Count::DroppedTeardown); break;
    }
    Gauges(waiting, live);
}

}  // namespace

void TransportState::Log(int messageLevel, const char* format, ...) const {
    std::lock_guard lock(logMutex);
    // Closed at teardown: the session's configuration and the host's console
    // may be going away.
    if (!logOpen) return;
    const TARNConfig* c = config.load(std::memory_order_acquire);
    const int32_t configured = c ? c->GetLogLevel() : level.load(std::memory_order_relaxed);
    if (!LevelPasses(messageLevel, configured)) return;
    char message[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    WriteLine(message);
}

void TransportState::WriteLine(const char* message) const {
    if (prefix[0])
        AddInLogMessageText(const_cast<char*>(prefix), NOERROR, message);
    else
        LogPlain("%s", message);
}

TransportState::Handover TransportState::Hand(Notice& notice, size_t& waitingNow) {
    std::lock_guard lock(workersMutex);
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

bool TransportState::Next(Notice& notice, std::chrono::milliseconds linger) {
    std::unique_lock lock(workersMutex);
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

void TransportState::StartFailed(Notice notice) {
    std::lock_guard lock(workersMutex);
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

void TransportState::SetWorkerLimit(int limit) {
    std::lock_guard lock(workersMutex);
    workerLimit = limit;
}

int TransportState::WorkerLimit() const {
    std::lock_guard lock(workersMutex);
    return workerLimit;
}

bool TransportState::WaitForWorkers(std::chrono::milliseconds limit) {
    std::unique_lock lock(workersMutex);
    return workersDone.wait_for(lock, limit, [this] { return live == 0 && threads == 0; });
}

bool TransportState::WaitUntilCarried(std::chrono::milliseconds limit, bool letIdleGo) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock lock(workersMutex);
    // Notices given back by a worker that could not start wait for the next
    // notice's worker: with no worker alive, nothing more will be carried.
    if (!workersDone.wait_until(lock, deadline, [this] { return (waiting.empty() || live == 0) && live == idle; }))
        return false;
    if (!letIdleGo) return true;
    ++dismissals;
    work.notify_all();
    return workersDone.wait_until(lock, deadline, [this] { return live == 0 && threads == 0; });
}

void TransportState::ThreadEntered() {
    std::lock_guard lock(workersMutex);
    ++threads;
}

void TransportState::ThreadLeft() {
    std::lock_guard lock(workersMutex);
    --threads;
    workersDone.notify_all();
}

bool TransportState::Teardown(std::chrono::milliseconds limit) {
    size_t queued = 0;
    int inFlight = 0;
    {
        std::lock_guard lock(workersMutex);
        closing = true;
        queued = waiting.size();
        waiting.clear();
        tarn::stats::Add(tarn::stats::Count::DroppedTeardown, queued);
        Gauges(0, live);
        // Idle workers carry nothing: only the busy ones abandon a notice.
        inFlight = live - idle;
        work.notify_all();
    }
    {
        std::lock_guard lock(logMutex);
        logOpen = false;
    }
    http::SessionHandle session;
    {
        std::lock_guard lock(connectMutex);
        session = internetHandle;
    }
    http::AbortSession(session);
    const bool ended = WaitForWorkers(limit);
    if (queued > 0 || inFlight > 0 || !ended) {
        char message[256];
        int n = snprintf(message, sizeof message, "Teardown: %d notice(s) abandoned (%zu queued, %d in flight)",
                         static_cast<int>(queued) + inFlight, queued, inFlight);
        if (!ended && n > 0 && static_cast<size_t>(n) < sizeof message) {
            int still;
            {
                std::lock_guard lock(workersMutex);
                still = live;
            }
            snprintf(message + n, sizeof message - n,
                     "; %d notice worker(s) still running after %lld ms; going on without them", still,
                     static_cast<long long>(limit.count()));
        }
        WriteLine(message);
    }
    std::lock_guard lock(connectMutex);
    http::CloseHandle(connectionHandle);
    http::CloseHandle(internetHandle);
    connected = false;
    return ended;
}

bool TransportState::WaitForStragglers(std::chrono::milliseconds limit) { return WaitForWorkers(limit); }

http::ConnectionHandle TransportState::Connection() {
    std::lock_guard lock(connectMutex);
    return connectionHandle;
}

uint32_t TransportState::RequestFlags(uint32_t flags) {
    std::lock_guard lock(connectMutex);
    return secure ? flags | http::kFlagSecure : flags;
}

std::string TransportState::ProcessorHost() {
    std::lock_guard lock(connectMutex);
    return processorHost;
}

void SetTeardownWaitForTesting(std::chrono::milliseconds wait) {
    gTeardownWaitMs.store(wait.count(), std::memory_order_relaxed);
}

TARNEventProcessor::TARNEventProcessor() : transport(std::make_shared<TransportState>()) {}

TARNEventProcessor::~TARNEventProcessor() { Reset(); }

bool TARNEventProcessor::StopWorkers(bool mayPin) {
    const std::chrono::milliseconds teardownWait{gTeardownWaitMs.load(std::memory_order_relaxed)};
    bool ended = transport->Teardown(teardownWait);
    if (!ended && mayPin) {
        // Still inside this library's code: it must stay mapped for them,
        // and the runtime ends without them.
        transport->abandoned.store(true, std::memory_order_release);
        PinThisLibrary();
        transport->TeardownLine("Teardown: notice workers outlived the wait; the library stays loaded until the "
                                "process ends");
    } else if (!ended) {
        char message[256];
        snprintf(message, sizeof message,
                 "Teardown: waiting up to %lld ms more for the notice workers before the library unloads",
                 static_cast<long long>(kUnloadExtraWait.count()));
        transport->TeardownLine(message);
        ended = transport->WaitForStragglers(kUnloadExtraWait);
        if (!ended) transport->abandoned.store(true, std::memory_order_release);
    }
    if (ended) AwaitSoleOwner(transport, teardownWait);
    return ended;
}

void TARNEventProcessor::Terminate() { StopWorkers(true); }

void TARNEventProcessor::Reset() {
    if (transport) StopWorkers(false);
    // Workers still running keep the old state alive; this processor starts afresh.
    transport = std::make_shared<TransportState>();
    session = nullptr;
    config = nullptr;
    queue = nullptr;
    logLevel = 1;
}

bool TARNEventProcessor::WaitForNotices(int milliseconds, bool letIdleGo) {
    return transport->WaitUntilCarried(std::chrono::milliseconds(milliseconds), letIdleGo);
}

uint64_t TARNEventProcessor::NoticeThreadsStarted() const {
    return transport->threadsStarted.load(std::memory_order_relaxed);
}

AuthType TARNEventProcessor::ParseAuthType(const char* text) {
    if (text && strcmp(text, "Basic") == 0) return AuthType::Basic;
    if (text && strcmp(text, "Session") == 0) return AuthType::Session;
    return AuthType::None;
}

bool ParseHttpTimeout(const char* text, uint32_t& milliseconds) {
    if (!text) return false;
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p < '0' || *p > '9') return false;
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > kMaxHttpTimeoutMs) return false;
    }
    while (*p == ' ' || *p == '\t') ++p;
    uint64_t ms;
    if (AsciiEqualNoCase(p, "ms", 2)) {
        ms = value;
        p += 2;
    } else {
        ms = value * 1000;
        if (*p == 's' || *p == 'S') ++p;
    }
    while (*p == ' ' || *p == '\t') ++p;
    if (*p || ms < kMinHttpTimeoutMs || ms > kMaxHttpTimeoutMs) return false;
    milliseconds = static_cast<uint32_t>(ms);
    return true;
}

namespace {

// A Notes.ini value, terminated; false when the variable is not set. The
// transport's one call of the host's Notes.ini reader.
bool IniValue(const char* name, char (&text)[256]) {
    if (!OSGetEnvironmentString(name, text, sizeof text - 1)) return false;
    text[sizeof text - 1] = '\0';
    return true;
}

// TARN_HTTP_Secure: "1" (HTTPS) or "0" (plain HTTP), blanks allowed around.
// False for anything else: a value meant to turn TLS on must not be taken
// for off.
bool ParseSecure(const char* text, bool& secure) {
    while (*text == ' ' || *text == '\t') ++text;
    if (*text != '0' && *text != '1') return false;
    const bool on = *text++ == '1';
    while (*text == ' ' || *text == '\t') ++text;
    if (*text) return false;
    secure = on;
    return true;
}

// TARN_HTTP_Secure and TARN_HTTP_CAFile, onto the session. False after a
// level-1 line when they cannot be used: the task then makes no connection,
// so nothing goes out until they are mended (never plain HTTP instead).
bool ApplySecureSettings(TARNSession& session, const http::SessionHandle& internet, bool& secure) {
    char text[256];
    secure = false;
    if (IniValue("TARN_HTTP_Secure", text) && !ParseSecure(text, secure)) {
        session.Log(1,
                    "TARN_HTTP_Secure=%s is not 0 or 1; no notice is sent until it is mended (a secure setting "
                    "never falls back to plain HTTP)",
                    text);
        return false;
    }
    char caFile[256];
    const bool haveCaFile = IniValue("TARN_HTTP_CAFile", caFile) && caFile[0];
    if (!secure) {
        if (haveCaFile)
            session.Log(1, "TARN_HTTP_CAFile is set but TARN_HTTP_Secure is not 1: notices go over plain HTTP");
        return true;
    }
    if (!haveCaFile) return true;
    // Read here, so an unreadable file is the administrator's line now
    // rather than a handshake failure on every notice.
    FILE* file = fopen(caFile, "rb");
    if (!file) {
        session.Log(1, "TARN_HTTP_CAFile=%s cannot be read (%s); no notice is sent until it is mended", caFile,
                    strerror(errno));
        return false;
    }
    fclose(file);
    if (!http::SetSessionCaFile(internet, caFile)) {
        if (http::LastError() != http::kErrorBadOption) {
            session.Log(1, "TARN_HTTP_CAFile=%s cannot be used; no notice is sent until it is mended", caFile);
            return false;
        }
        // WinINet: the Windows certificate store is the one source of trust.
        session.Log(1,
                    "TARN_HTTP_CAFile is not used on Windows: the processor's certificate is checked against the "
                    "Windows certificate store");
    }
    return true;
}

// Text of a time-out as an administrator reads it.
std::string TimeoutText(uint32_t ms) {
    char text[32];
    if (ms % 1000 == 0)
        snprintf(text, sizeof text, "%u s", ms / 1000);
    else
        snprintf(text, sizeof text, "%u ms", ms);
    return text;
}

}  // namespace

void TARNEventProcessor::openHTTPConnection() {
    TransportState& t = *transport;
    std::lock_guard lock(t.connectMutex);
    if (t.connected) return;  // another thread was first
    CopyBounded(t.prefix, sizeof t.prefix, session->GetLog().Prefix());
    t.config.store(config, std::memory_order_release);
    t.internetHandle = http::OpenSession("Brackwater TARN", http::kAccessDirect);
    if (!t.internetHandle) {
        session->Log(1, "openHTTPConnection. InternetOpen Failed");
        return;
    }
    // Read at every connection made, so a changed Notes.ini takes effect
    // with the next session of the task.
    char text[256];
    if (IniValue("TARN_HTTP_Timeout", text)) {
        uint32_t ms = 0;
        if (ParseHttpTimeout(text, ms)) {
            http::SetSessionOption(t.internetHandle, http::kOptionConnectTimeout, ms);
            http::SetSessionOption(t.internetHandle, http::kOptionSendTimeout, ms);
            http::SetSessionOption(t.internetHandle, http::kOptionReceiveTimeout, ms);
            session->Log(2, "openHTTPConnection. HTTP time-out: %s (TARN_HTTP_Timeout)", TimeoutText(ms).c_str());
        } else {
            session->Log(1,
                         "TARN_HTTP_Timeout=%s is not a time-out from 1 to 600 seconds (or 100ms to 600000ms); "
                         "using the defaults",
                         text);
            text[0] = '\0';
        }
    } else {
        text[0] = '\0';
    }
    if (!text[0])
        session->Log(2, "openHTTPConnection. HTTP time-outs: connect %s, send and receive %s (defaults)",
                     TimeoutText(http::kDefaultConnectTimeoutMs).c_str(),
                     TimeoutText(http::kDefaultReceiveTimeoutMs).c_str());

    int workers = TransportState::kDefaultWorkers;
    if (IniValue("TARN_HTTP_Workers", text)) {
        char* end = nullptr;
        long n = strtol(text, &end, 10);
        while (end && (*end == ' ' || *end == '\t')) ++end;
        if (end != text && end && !*end && n >= TransportState::kMinWorkers && n <= TransportState::kMaxWorkers)
            workers = static_cast<int>(n);
        else
            session->Log(1, "TARN_HTTP_Workers=%s is not a number from %d to %d; using %d", text,
                         TransportState::kMinWorkers, TransportState::kMaxWorkers, TransportState::kDefaultWorkers);
    }
    t.SetWorkerLimit(workers);

    bool secure = false;
    if (!ApplySecureSettings(*session, t.internetHandle, secure)) {
        http::CloseHandle(t.internetHandle);
        return;
    }

    if (LogLevel() == 3) session->Log(0, "openHTTPConnection. InternetOpen Success");
    const TARNSettings settings = config->GetSettings();
    uint16_t port = static_cast<uint16_t>(settings.port);
    if (secure && port == http::kDefaultPort) port = http::kDefaultHttpsPort;
    t.secure = secure;
    t.processorHost = std::string(settings.hostname) + ":" + std::to_string(port ? port : 80);
    if (secure)
        session->Log(2, "openHTTPConnection. Notices go over HTTPS to %s (TARN_HTTP_Secure=1)",
                     t.processorHost.c_str());
    t.connectionHandle = http::OpenConnection(t.internetHandle, settings.hostname, port, http::kServiceHttp);
    if (t.connectionHandle) {
        t.connected = true;
        if (LogLevel() == 3) session->Log(0, "openHTTPConnection. InternetConnect Success");
    } else {
        http::CloseHandle(t.internetHandle);
        session->Log(1, "openHTTPConnection. InternetConnect Failed");
    }
}

#if !defined(_WIN32)
// The embedded host can make a worker's start fail, as a task at its thread
// limit would (tests). A weak reference: a real libnotes.so has no such
// symbol, and on Windows it is never looked for.
extern "C" WORD HostThreadStartFails(void) __attribute__((weak));
#endif

void StartNoticeWorker(const std::shared_ptr<TransportState>& state, Notice notice) {
#if !defined(_WIN32)
    // What boost::thread throws when the system refuses a thread.
    if (HostThreadStartFails && HostThreadStartFails() != 0)
        throw boost::thread_resource_error();
#endif
    // A modest stack: the exchange needs little.
    boost::thread::attributes attributes;
    attributes.set_stack_size(512 * 1024);
    boost::thread worker(attributes,
                         boost::bind(&TARNDomToTN::SendToProcessor, TARNDomToTN(), state, notice.authType,
                                     std::move(notice.address), std::move(notice.username),
                                     std::move(notice.password), notice.queueNoteId));
    worker.detach();
    state->threadsStarted.fetch_add(1, std::memory_order_relaxed);
}

namespace {

// Hands a notice to the workers. A worker that cannot be started leaves
// Boost.Thread's resource error to the caller, and its notice waiting for
// the next worker.
TransportState::Handover HandOver(const std::shared_ptr<TransportState>& state, Notice notice, size_t& waitingNow) {
    const TransportState::Handover handover = state->Hand(notice, waitingNow);
    if (handover != TransportState::Handover::StartWorker) return handover;
    try {
        StartNoticeWorker(state, notice);
    } catch (...) {
        state->StartFailed(std::move(notice));
        throw;
    }
    return handover;
}

}  // namespace

bool TARNEventProcessor::SendTransactionNotice(EventData& event) {
    std::shared_ptr<TransportState> state = transport;
    state->level = config->GetLogLevel();
    if (!state->connected) openHTTPConnection();
    if (!state->Connection()) return false;

    // One snapshot: the notice never mixes the settings of two loads.
    const TARNSettings settings = config->GetSettings();
    char address[512];
    snprintf(address, sizeof address, "%s?action=%s&qnoteid=%08lX&id=%s", settings.url,
             event.eventId == kEventDeletion ? "Delete" : "Change",
             static_cast<unsigned long>(event.queueNoteId), kAccessToken);
    // The password never reaches the server log in clear.
    session->Log(2, "Debug: %s: %s: %s:", settings.authType, settings.username,
                 settings.password[0] ? "********" : "");
    size_t waitingNow = 0;
    const TransportState::Handover handover =
        HandOver(state,
                 Notice{ParseAuthType(settings.authType), address, settings.username, settings.password,
                        event.queueNoteId},
                 waitingNow);
    if (handover == TransportState::Handover::Closed) {
        // After EM_TERMINATENSF: the queue note stays for the processor to find.
        session->Log(1, "Notice for queue note %08lX not sent: the task is shutting down",
                     static_cast<unsigned long>(event.queueNoteId));
        return false;
    }
    if (handover == TransportState::Handover::Refused) {
        session->Log(1, "Notice for queue note %08lX not sent: %lu notices already wait for the processor",
                     static_cast<unsigned long>(event.queueNoteId), static_cast<unsigned long>(waitingNow));
        return false;
    }
    if (LogLevel() == 3) session->Log(0, "Sent transaction to DTC");
    return true;
}

void TARNEventProcessor::SendRefreshConfigNotice() {
    std::shared_ptr<TransportState> state = transport;
    state->level = config->GetLogLevel();
    if (!state->connected) openHTTPConnection();
    if (!state->Connection()) {
        session->Log(1, "InternetConnect Failed");
        std::lock_guard lock(state->connectMutex);
        http::CloseHandle(state->internetHandle);
        return;
    }
    const TARNSettings settings = config->GetSettings();
    std::string address = std::string(settings.url) + "?action=refreshconfig";
    session->Log(2, "%s", address.c_str());
    size_t waitingNow = 0;
    const TransportState::Handover handover = HandOver(
        state, Notice{ParseAuthType(settings.authType), address, settings.username, settings.password}, waitingNow);
    if (handover == TransportState::Handover::Closed) {
        session->Log(1, "Refresh notice not sent: the task is shutting down");
        return;
    }
    if (handover == TransportState::Handover::Refused) {
        session->Log(1, "Refresh notice not sent: %lu notices already wait for the processor",
                     static_cast<unsigned long>(waitingNow));
        return;
    }
    if (LogLevel() == 3) session->Log(0, "Sent RefreshConfig to DTC");
}
