#include "transport/notice_transport.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "transport/notice_workers.h"
#include "transport/transport_state.h"

namespace {
constexpr char kAccessToken[] = "Kq7Wm2Rx9Tb4Lz8Vn3Hc6Pd1Fs5Jg0Ye";
}  // namespace

AuthType ParseAuthType(const char* text) {
    if (text && strcmp(text, "Basic") == 0) return AuthType::Basic;
    if (text && strcmp(text, "Session") == 0) return AuthType::Session;
    return AuthType::None;
}

NoticeTransport::NoticeTransport() : state(std::make_shared<TransportState>()) {}

NoticeTransport::~NoticeTransport() { StopNoticeWorkers(state, false); }

void NoticeTransport::Configure(const TARNLog& taskLog, Settings source) {
    log = taskLog;
    settings = std::move(source);
    state->SetOutlet(log);
}

void NoticeTransport::Reset() {
    StopNoticeWorkers(state, false);
    state = std::make_shared<TransportState>();
    log = TARNLog();
    settings = nullptr;
}

bool NoticeTransport::Connected(const TARNSettings& s) {
    ProcessorConnection& connection = state->connection;
    if (!connection.Connected()) {
        std::lock_guard lock(connecting);
        int workerLimit = 0;
        connection.Open(s.hostname, s.port, log, workerLimit);
        // Before any notice goes to the new connection.
        if (workerLimit > 0) state->workers.SetWorkerLimit(workerLimit);
    }
    if (connection.Handle()) return true;
    // Nothing of the failed attempt is kept, its session handle included.
    connection.CloseUnconnected();
    return false;
}

bool NoticeTransport::Send(NoticeKind kind, uint32_t queueNoteId) {
    if (!settings) return false;
    const TARNSettings s = settings();
    if (s.url[0] == '\0') return false;
    if (kind == NoticeKind::Refresh) {
        if (!Connected(s)) {
            log.Printf(1, "InternetConnect Failed");
            return false;
        }
        std::string address = std::string(s.url) + "?action=refreshconfig";
        log.Printf(2, "%s", address.c_str());
        return HandOver(kind, 0, s, std::move(address));
    }
    if (!Connected(s)) return false;
    char address[512];
    snprintf(address, sizeof address, "%s?action=%s&qnoteid=%08lX&id=%s", s.url,
             kind == NoticeKind::Delete ? "Delete" : "Change", static_cast<unsigned long>(queueNoteId), kAccessToken);
    // The password never reaches the server log in clear.
    log.Printf(2, "Debug: %s: %s: %s:", s.authType, s.username, s.password[0] ? "********" : "");
    return HandOver(kind, queueNoteId, s, address);
}

// Its lines name the notice by its queue note, or as the refresh notice.
// The state is held for the hand-over, whatever becomes of this transport's.
bool NoticeTransport::HandOver(NoticeKind kind, uint32_t queueNoteId, const TARNSettings& s, std::string address) {
    const std::shared_ptr<TransportState> held = state;
    size_t waitingNow = 0;
    const WorkerPool::Handover handover = ::HandOver(
        held, Notice{ParseAuthType(s.authType), std::move(address), s.username, s.password, queueNoteId}, waitingNow);
    if (handover == WorkerPool::Handover::Closed || handover == WorkerPool::Handover::Refused) {
        // Named only here: an accepted notice costs no formatting.
        char what[40];
        if (kind != NoticeKind::Refresh)
            snprintf(what, sizeof what, "Notice for queue note %08lX", static_cast<unsigned long>(queueNoteId));
        else
            snprintf(what, sizeof what, "Refresh notice");
        // After EM_TERMINATENSF: a queue note stays for the processor to find.
        if (handover == WorkerPool::Handover::Closed)
            log.Printf(1, "%s not sent: the task is shutting down", what);
        else
            log.Printf(1, "%s not sent: %lu notices already wait for the processor", what,
                       static_cast<unsigned long>(waitingNow));
        return false;
    }
    log.Printf(3, kind != NoticeKind::Refresh ? "Sent transaction to DTC" : "Sent RefreshConfig to DTC");
    return true;
}

bool NoticeTransport::WaitForNotices(int milliseconds, bool letIdleGo) {
    return state->workers.WaitUntilCarried(std::chrono::milliseconds(milliseconds), letIdleGo);
}

void NoticeTransport::Terminate() { StopNoticeWorkers(state, true); }

uint64_t NoticeTransport::ThreadsStarted() const {
    return state->workers.threadsStarted.load(std::memory_order_relaxed);
}
