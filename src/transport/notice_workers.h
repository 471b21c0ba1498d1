// Starting the notice workers and stopping them at teardown.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

#include "transport/transport_state.h"

// Hands a notice to the workers, starting one when the pool asks for it. A
// worker that cannot be started leaves Boost.Thread's resource error to the
// caller, and its notice waiting for the next worker.
WorkerPool::Handover HandOver(const std::shared_ptr<TransportState>& state, Notice notice, size_t& waitingNow);

// Starts a detached worker thread for the notice (Boost.Thread's resource
// error when it cannot).
void StartNoticeWorker(const std::shared_ptr<TransportState>& state, Notice notice);

// Teardown of the transport; keeps the library loaded for workers that
// outlive the wait when `mayPin` (not possible once unloading), else waits
// longer for them. True when every worker ended.
bool StopNoticeWorkers(const std::shared_ptr<TransportState>& state, bool mayPin);

// Shortens the teardown's first wait for the workers (3 s), so tests reach
// what follows it quickly; the wait at unload after it keeps its length.
void SetTeardownWaitForTesting(std::chrono::milliseconds wait);
