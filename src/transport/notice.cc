// Notices to the transaction processor. The HTTP exchange arrives with the
// transport; until then no notice leaves the task.
#include <cstring>

#include "events/tarn_event_processor.h"

struct TransportState {};

TARNEventProcessor::TARNEventProcessor() = default;
TARNEventProcessor::~TARNEventProcessor() = default;

void TARNEventProcessor::Reset() {
    transport.reset();
    session = nullptr;
    config = nullptr;
    queue = nullptr;
    logLevel = 1;
}

AuthType TARNEventProcessor::ParseAuthType(const char* text) {
    if (text && strcmp(text, "Basic") == 0) return AuthType::Basic;
    if (text && strcmp(text, "Session") == 0) return AuthType::Session;
    return AuthType::None;
}

void TARNEventProcessor::openHTTPConnection() {}

bool TARNEventProcessor::SendTransactionNotice(EventData&) { return false; }

void TARNEventProcessor::SendRefreshConfigNotice() {}
