// The event processor's notices to the transaction processor: the notice
// addresses, the task's one connection, and the hand-over to the workers.
#include <cstdio>
#include <cstring>
#include <string>

#include "config/tarn_config.h"
#include "events/tarn_event_processor.h"
#include "host/tarn_session.h"
#include "transport/notice_workers.h"

namespace {

constexpr char kAccessToken[] = "Kq7Wm2Rx9Tb4Lz8Vn3Hc6Pd1Fs5Jg0Ye";

// The task's connection, made when it is not there yet. False when there is
// none: nothing of the failed attempt is kept, its session handle included.
bool Connected(TARNEventProcessor& processor, TransportState& state) {
    if (!state.connection.Connected()) processor.openHTTPConnection();
    if (state.connection.Handle()) return true;
    state.connection.CloseUnconnected();
    return false;
}

// Hands one notice to the workers; its lines name it by its queue note, or
// as the refresh notice. True when a worker will carry it. The state is held
// for the hand-over, whatever becomes of the processor's meanwhile.
bool Send(const TARNSession& session, std::shared_ptr<TransportState> state, Notice notice, bool detail) {
    const uint32_t queueNoteId = notice.queueNoteId;
    size_t waitingNow = 0;
    const WorkerPool::Handover handover = HandOver(state, std::move(notice), waitingNow);
    if (handover == WorkerPool::Handover::Closed || handover == WorkerPool::Handover::Refused) {
        // Named only here: an accepted notice costs no formatting.
        char what[40];
        if (queueNoteId != 0)
            snprintf(what, sizeof what, "Notice for queue note %08lX", static_cast<unsigned long>(queueNoteId));
        else
            snprintf(what, sizeof what, "Refresh notice");
        // After EM_TERMINATENSF: a queue note stays for the processor to find.
        if (handover == WorkerPool::Handover::Closed)
            session.Log(1, "%s not sent: the task is shutting down", what);
        else
            session.Log(1, "%s not sent: %lu notices already wait for the processor", what,
                        static_cast<unsigned long>(waitingNow));
        return false;
    }
    if (detail) session.Log(0, queueNoteId != 0 ? "Sent transaction to DTC" : "Sent RefreshConfig to DTC");
    return true;
}

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
    // One snapshot: the notice never mixes the settings of two loads. An
    // empty path was said once, at the load that found it.
    const TARNSettings settings = config->GetSettings();
    if (settings.url[0] == '\0') return false;
    if (!Connected(*this, *transport)) return false;
    char address[512];
    snprintf(address, sizeof address, "%s?action=%s&qnoteid=%08lX&id=%s", settings.url,
             event.eventId == kEventDeletion ? "Delete" : "Change",
             static_cast<unsigned long>(event.queueNoteId), kAccessToken);
    // The password never reaches the server log in clear.
    session->Log(2, "Debug: %s: %s: %s:", settings.authType, settings.username,
                 settings.password[0] ? "********" : "");
    return Send(*session, transport,
                Notice{ParseAuthType(settings.authType), address, settings.username, settings.password,
                       event.queueNoteId},
                LogLevel() == 3);
}

void TARNEventProcessor::SendRefreshConfigNotice() {
    const TARNSettings settings = config->GetSettings();
    if (settings.url[0] == '\0') return;
    if (!Connected(*this, *transport)) {
        session->Log(1, "InternetConnect Failed");
        return;
    }
    std::string address = std::string(settings.url) + "?action=refreshconfig";
    session->Log(2, "%s", address.c_str());
    Send(*session, transport, Notice{ParseAuthType(settings.authType), address, settings.username, settings.password},
         LogLevel() == 3);
}
