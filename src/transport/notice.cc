// Notices to the transaction processor: the task's one connection, the
// notice addresses, and the few detached workers that carry them.
#include <boost/bind/bind.hpp>
#include <boost/thread/thread.hpp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "config/tarn_config.h"
#include "events/tarn_event_processor.h"
#include "host/tarn_session.h"
#include "log/tarn_log.h"
#include "transport/library_pin.h"
#include "transport/transport_state.h"

namespace http = tarn::http;

namespace {

constexpr char kAccessToken[] = "Kq7Wm2Rx9Tb4Lz8Vn3Hc6Pd1Fs5Jg0Ye";
// How long teardown waits for notices still on their way.
constexpr std::chrono::milliseconds kTeardownWait{3000};

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
    waitingNow = waiting.size();
    if (live == 0 && !closing) {
        ++live;
        return Handover::StartWorker;
    }
    if (closing || waiting.size() >= kMaxWaiting) return Handover::Refused;
    waiting.push_back(std::move(notice));
    waitingNow = waiting.size();
    return Handover::Queued;
}

bool TransportState::Next(Notice& notice) {
    std::lock_guard lock(workersMutex);
    if (waiting.empty()) {
        if (--live == 0 && threads == 0) workersDone.notify_all();
        return false;
    }
    notice = std::move(waiting.front());
    waiting.pop_front();
    return true;
}

bool TransportState::TakeForHelper(Notice& notice) {
    std::lock_guard lock(workersMutex);
    if (closing || waiting.empty() || live >= workerLimit) return false;
    ++live;
    notice = std::move(waiting.front());
    waiting.pop_front();
    return true;
}

void TransportState::StartFailed(Notice notice) {
    std::lock_guard lock(workersMutex);
    if (!closing) waiting.push_front(std::move(notice));
    if (--live == 0 && threads == 0) workersDone.notify_all();
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

void TransportState::ThreadEntered() {
    std::lock_guard lock(workersMutex);
    ++threads;
}

void TransportState::ThreadLeft() {
    std::lock_guard lock(workersMutex);
    if (--threads == 0 && live == 0) workersDone.notify_all();
}

void TransportState::Teardown(std::chrono::milliseconds limit) {
    size_t queued = 0;
    int inFlight = 0;
    {
        std::lock_guard lock(workersMutex);
        closing = true;
        queued = waiting.size();
        waiting.clear();
        inFlight = live;
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
}

http::ConnectionHandle TransportState::Connection() {
    std::lock_guard lock(connectMutex);
    return connectionHandle;
}

TARNEventProcessor::TARNEventProcessor() : transport(std::make_shared<TransportState>()) {}

TARNEventProcessor::~TARNEventProcessor() { Reset(); }

void TARNEventProcessor::Reset() {
    if (transport) transport->Teardown(kTeardownWait);
    // Workers still running keep the old state alive; this processor starts afresh.
    transport = std::make_shared<TransportState>();
    session = nullptr;
    config = nullptr;
    queue = nullptr;
    logLevel = 1;
}

bool TARNEventProcessor::WaitForNotices(int milliseconds) {
    return transport->WaitForWorkers(std::chrono::milliseconds(milliseconds));
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
    if (strncasecmp(p, "ms", 2) == 0) {
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

    if (LogLevel() == 3) session->Log(0, "openHTTPConnection. InternetOpen Success");
    const TARNSettings settings = config->GetSettings();
    t.connectionHandle = http::OpenConnection(t.internetHandle, settings.hostname,
                                              static_cast<uint16_t>(settings.port), http::kServiceHttp);
    if (t.connectionHandle) {
        t.connected = true;
        if (LogLevel() == 3) session->Log(0, "openHTTPConnection. InternetConnect Success");
    } else {
        http::CloseHandle(t.internetHandle);
        session->Log(1, "openHTTPConnection. InternetConnect Failed");
    }
}

void StartNoticeWorker(const std::shared_ptr<TransportState>& state, Notice notice) {
    // The worker runs this library's code until its very last instruction:
    // the library stays mapped from now on, whatever the host unloads.
    PinThisLibrary();
    // A modest stack: the exchange needs little.
    boost::thread::attributes attributes;
    attributes.set_stack_size(512 * 1024);
    boost::thread worker(attributes, boost::bind(&TARNDomToTN::SendToProcessor, TARNDomToTN(), state,
                                                 notice.authType, std::move(notice.address),
                                                 std::move(notice.username), std::move(notice.password)));
    worker.detach();
}

namespace {

// Hands a notice to the workers; false when it was refused. A worker that
// cannot be started leaves Boost.Thread's resource error to the caller, and
// its notice waiting for the next worker.
bool HandOver(const std::shared_ptr<TransportState>& state, Notice notice, size_t& waitingNow) {
    switch (state->Hand(notice, waitingNow)) {
        case TransportState::Handover::Queued: return true;
        case TransportState::Handover::Refused: return false;
        case TransportState::Handover::StartWorker: break;
    }
    try {
        StartNoticeWorker(state, notice);
    } catch (...) {
        state->StartFailed(std::move(notice));
        throw;
    }
    return true;
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
    if (!HandOver(state, Notice{ParseAuthType(settings.authType), address, settings.username, settings.password},
                  waitingNow)) {
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
    if (!HandOver(state, Notice{ParseAuthType(settings.authType), address, settings.username, settings.password},
                  waitingNow)) {
        session->Log(1, "Refresh notice not sent: %lu notices already wait for the processor",
                     static_cast<unsigned long>(waitingNow));
        return;
    }
    if (LogLevel() == 3) session->Log(0, "Sent RefreshConfig to DTC");
}
