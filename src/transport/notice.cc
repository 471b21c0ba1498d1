// The event processor's notices to the transaction processor: the notice
// addresses, the task's one connection, and the hand-over to the workers.
#include <cstdio>
#include <cstring>
#include <string>

#include "config/tarn_config.h"
#include "events/tarn_event_processor.h"
#include "host/tarn_session.h"
#include "transport/notice_workers.h"

namespace http = tarn::http;

namespace {

constexpr char kAccessToken[] = "Kq7Wm2Rx9Tb4Lz8Vn3Hc6Pd1Fs5Jg0Ye";

}  // namespace

TARNEventProcessor::TARNEventProcessor() : transport(std::make_shared<TransportState>()) {}

TARNEventProcessor::~TARNEventProcessor() { Reset(); }

bool TARNEventProcessor::StopWorkers(bool mayPin) { return StopNoticeWorkers(transport, mayPin); }

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
    return transport->workers.WaitUntilCarried(std::chrono::milliseconds(milliseconds), letIdleGo);
}

uint64_t TARNEventProcessor::NoticeThreadsStarted() const {
    return transport->workers.threadsStarted.load(std::memory_order_relaxed);
}

AuthType TARNEventProcessor::ParseAuthType(const char* text) {
    if (text && strcmp(text, "Basic") == 0) return AuthType::Basic;
    if (text && strcmp(text, "Session") == 0) return AuthType::Session;
    return AuthType::None;
}

void TARNEventProcessor::openHTTPConnection() {
    TransportState& t = *transport;
    if (t.connection.Connected()) return;
    t.SetOutlet(session->GetLog().Prefix(), config);
    const TARNSettings settings = config->GetSettings();
    const TARNSession* owner = session;
    t.connection.Open(settings.hostname, settings.port, LogLevel() == 3, t.workers,
                      [owner](int level, const char* text) { owner->Log(level, "%s", text); });
}

bool TARNEventProcessor::SendTransactionNotice(EventData& event) {
    std::shared_ptr<TransportState> state = transport;
    state->SetLevel(config->GetLogLevel());
    if (!state->connection.Connected()) openHTTPConnection();
    if (!state->connection.Handle()) return false;

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
    const WorkerPool::Handover handover =
        HandOver(state,
                 Notice{ParseAuthType(settings.authType), address, settings.username, settings.password,
                        event.queueNoteId},
                 waitingNow);
    if (handover == WorkerPool::Handover::Closed) {
        // After EM_TERMINATENSF: the queue note stays for the processor to find.
        session->Log(1, "Notice for queue note %08lX not sent: the task is shutting down",
                     static_cast<unsigned long>(event.queueNoteId));
        return false;
    }
    if (handover == WorkerPool::Handover::Refused) {
        session->Log(1, "Notice for queue note %08lX not sent: %lu notices already wait for the processor",
                     static_cast<unsigned long>(event.queueNoteId), static_cast<unsigned long>(waitingNow));
        return false;
    }
    if (LogLevel() == 3) session->Log(0, "Sent transaction to DTC");
    return true;
}

void TARNEventProcessor::SendRefreshConfigNotice() {
    std::shared_ptr<TransportState> state = transport;
    state->SetLevel(config->GetLogLevel());
    if (!state->connection.Connected()) openHTTPConnection();
    if (!state->connection.Handle()) {
        session->Log(1, "InternetConnect Failed");
        state->connection.CloseUnconnected();
        return;
    }
    const TARNSettings settings = config->GetSettings();
    std::string address = std::string(settings.url) + "?action=refreshconfig";
    session->Log(2, "%s", address.c_str());
    size_t waitingNow = 0;
    const WorkerPool::Handover handover = HandOver(
        state, Notice{ParseAuthType(settings.authType), address, settings.username, settings.password}, waitingNow);
    if (handover == WorkerPool::Handover::Closed) {
        session->Log(1, "Refresh notice not sent: the task is shutting down");
        return;
    }
    if (handover == WorkerPool::Handover::Refused) {
        session->Log(1, "Refresh notice not sent: %lu notices already wait for the processor",
                     static_cast<unsigned long>(waitingNow));
        return;
    }
    if (LogLevel() == 3) session->Log(0, "Sent RefreshConfig to DTC");
}
