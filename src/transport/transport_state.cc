#include "transport/transport_state.h"

#include <cstdarg>
#include <cstdio>

void TransportState::SetOutlet(const TARNLog& taskLog) {
    std::lock_guard lock(logMutex);
    log = taskLog;
}

void TransportState::Log(int messageLevel, const char* format, ...) const {
    std::lock_guard lock(logMutex);
    // Closed at teardown: the session's configuration and the host's console
    // may be going away.
    if (!logOpen) return;
    va_list ap;
    va_start(ap, format);
    log.VPrintf(messageLevel, format, ap);
    va_end(ap);
}

void TransportState::TeardownLine(const char* message) const {
    std::lock_guard lock(logMutex);
    WriteTaskLine(log.Prefix(), message);
}

bool TransportState::Teardown(std::chrono::milliseconds limit) {
    const WorkerPool::Abandoned dropped = workers.Close();
    {
        std::lock_guard lock(logMutex);
        logOpen = false;
    }
    connection.Abort();
    const bool ended = workers.WaitForWorkers(limit);
    if (dropped.queued > 0 || dropped.inFlight > 0 || !ended) {
        char message[256];
        int n = snprintf(message, sizeof message, "Teardown: %d notice(s) abandoned (%zu queued, %d in flight)",
                         static_cast<int>(dropped.queued) + dropped.inFlight, dropped.queued, dropped.inFlight);
        if (!ended && n > 0 && static_cast<size_t>(n) < sizeof message)
            snprintf(message + n, sizeof message - n,
                     "; %d notice worker(s) still running after %lld ms; going on without them", workers.Live(),
                     static_cast<long long>(limit.count()));
        TeardownLine(message);
    }
    connection.Close();
    return ended;
}
