// Notices to the transaction processor: the task's one connection, the
// notice addresses, and a detached worker per notice.
#include <boost/bind/bind.hpp>
#include <boost/thread/thread.hpp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "config/tarn_config.h"
#include "events/tarn_event_processor.h"
#include "host/tarn_session.h"
#include "log/tarn_log.h"
#include "transport/transport_state.h"

namespace http = tarn::http;

namespace {

constexpr char kAccessToken[] = "Kq7Wm2Rx9Tb4Lz8Vn3Hc6Pd1Fs5Jg0Ye";
// How long teardown waits for notices still on their way.
constexpr std::chrono::milliseconds kTeardownWait{3000};

}  // namespace

void TransportState::Log(int messageLevel, const char* format, ...) const {
    if (!LevelPasses(messageLevel, level.load(std::memory_order_relaxed))) return;
    char message[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    if (prefix[0])
        AddInLogMessageText(const_cast<char*>(prefix), NOERROR, message);
    else
        LogPlain("%s", message);
}

void TransportState::WorkerStarted() {
    std::lock_guard lock(workersMutex);
    ++running;
    ++started;
}

void TransportState::WorkerEnded() {
    std::lock_guard lock(workersMutex);
    if (--running == 0) workersDone.notify_all();
}

bool TransportState::WaitForWorkers(std::chrono::milliseconds limit) {
    std::unique_lock lock(workersMutex);
    return workersDone.wait_for(lock, limit, [this] { return running == 0; });
}

bool TransportState::WaitForWorkersToExit(std::chrono::milliseconds limit) {
    if (!WaitForWorkers(limit)) return false;
    bool any;
    {
        std::lock_guard lock(workersMutex);
        any = started > 0;
    }
    // A worker that has said it ended still unwinds through this library's
    // code (its bound call and thread record are destroyed after it
    // returns): give those few instructions time before the code may be
    // unmapped.
    if (any) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return true;
}

http::ConnectionHandle TransportState::Connection() {
    std::lock_guard lock(connectMutex);
    return connectionHandle;
}

TARNEventProcessor::TARNEventProcessor() : transport(std::make_shared<TransportState>()) {}

TARNEventProcessor::~TARNEventProcessor() { Reset(); }

void TARNEventProcessor::Reset() {
    if (transport) {
        if (!transport->WaitForWorkersToExit(kTeardownWait)) {
            int still;
            {
                std::lock_guard lock(transport->workersMutex);
                still = transport->running;
            }
            transport->Log(1, "Teardown: %d notice worker(s) still running after %lld ms; going on without them",
                           still, static_cast<long long>(kTeardownWait.count()));
        }
        std::lock_guard lock(transport->connectMutex);
        http::CloseHandle(transport->connectionHandle);
        http::CloseHandle(transport->internetHandle);
        transport->connected = false;
    }
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

void TARNEventProcessor::openHTTPConnection() {
    TransportState& t = *transport;
    std::lock_guard lock(t.connectMutex);
    if (t.connected) return;  // another thread was first
    CopyBounded(t.prefix, sizeof t.prefix, session->GetLog().Prefix());
    t.internetHandle = http::OpenSession("Brackwater TARN", http::kAccessDirect);
    if (!t.internetHandle) {
        session->Log(1, "openHTTPConnection. InternetOpen Failed");
        return;
    }
    // An administrator may bound the exchange more tightly than the defaults.
    char timeout[256];
    if (OSGetEnvironmentString("TARN_HTTP_Timeout", timeout, sizeof timeout - 1)) {
        long ms = strtol(timeout, nullptr, 10);
        if (ms > 0) {
            http::SetSessionOption(t.internetHandle, http::kOptionConnectTimeout, static_cast<uint32_t>(ms));
            http::SetSessionOption(t.internetHandle, http::kOptionReceiveTimeout, static_cast<uint32_t>(ms));
        }
    }
    if (LogLevel() == 3) session->Log(0, "openHTTPConnection. InternetOpen Success");
    t.connectionHandle = http::OpenConnection(t.internetHandle, config->GetHostname(),
                                              static_cast<uint16_t>(config->GetPort()), http::kServiceHttp);
    if (t.connectionHandle) {
        t.connected = true;
        if (LogLevel() == 3) session->Log(0, "openHTTPConnection. InternetConnect Success");
    } else {
        http::CloseHandle(t.internetHandle);
        session->Log(1, "openHTTPConnection. InternetConnect Failed");
    }
}

namespace {

void StartWorker(const std::shared_ptr<TransportState>& state, AuthType auth, std::string address,
                 std::string username, std::string password) {
    state->WorkerStarted();
    try {
        // A modest stack: the exchange needs little, and a burst of notices
        // should not map gigabytes on the server's threads.
        boost::thread::attributes attributes;
        attributes.set_stack_size(512 * 1024);
        boost::thread worker(attributes, boost::bind(&TARNDomToTN::SendToProcessor, TARNDomToTN(), state, auth,
                                                     std::move(address), std::move(username), std::move(password)));
        worker.detach();
    } catch (...) {
        state->WorkerEnded();
        throw;
    }
}

}  // namespace

bool TARNEventProcessor::SendTransactionNotice(EventData& event) {
    std::shared_ptr<TransportState> state = transport;
    state->level = config->GetLogLevel();
    if (!state->connected) openHTTPConnection();
    if (!state->Connection()) return false;

    char address[512];
    snprintf(address, sizeof address, "%s?action=%s&qnoteid=%08lX&id=%s", config->GetUrl(),
             event.eventId == kEventDeletion ? "Delete" : "Change",
             static_cast<unsigned long>(event.queueNoteId), kAccessToken);
    const char* password = config->GetPassword();
    // The password never reaches the server log in clear.
    session->Log(2, "Debug: %s: %s: %s:", config->GetAuthType(), config->GetUsername(),
                 password[0] ? "********" : "");
    StartWorker(state, ParseAuthType(config->GetAuthType()), address, config->GetUsername(), password);
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
    std::string address = std::string(config->GetUrl()) + "?action=refreshconfig";
    session->Log(2, "%s", address.c_str());
    StartWorker(state, ParseAuthType(config->GetAuthType()), address, config->GetUsername(),
                config->GetPassword());
    if (LogLevel() == 3) session->Log(0, "Sent RefreshConfig to DTC");
}
