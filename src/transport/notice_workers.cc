#include "transport/notice_workers.h"

#include <boost/bind/bind.hpp>
#include <boost/thread/thread.hpp>
#include <cstdio>
#include <thread>

#include "base/notes_capi.h"
#include "transport/dom_to_tn.h"
#include "transport/library_pin.h"

namespace {

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

}  // namespace

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
    state->workers.threadsStarted.fetch_add(1, std::memory_order_relaxed);
}

WorkerPool::Handover HandOver(const std::shared_ptr<TransportState>& state, Notice notice, size_t& waitingNow) {
    const WorkerPool::Handover handover = state->workers.Hand(notice, waitingNow);
    if (handover != WorkerPool::Handover::StartWorker) return handover;
    try {
        StartNoticeWorker(state, notice);
    } catch (...) {
        state->workers.StartFailed(std::move(notice));
        throw;
    }
    return handover;
}

bool StopNoticeWorkers(const std::shared_ptr<TransportState>& state, bool mayPin) {
    const std::chrono::milliseconds teardownWait{gTeardownWaitMs.load(std::memory_order_relaxed)};
    bool ended = state->Teardown(teardownWait);
    if (!ended && mayPin) {
        // Still inside this library's code: it must stay mapped for them,
        // and the runtime ends without them.
        state->abandoned.store(true, std::memory_order_release);
        PinThisLibrary();
        state->TeardownLine("Teardown: notice workers outlived the wait; the library stays loaded until the process "
                            "ends");
    } else if (!ended) {
        char message[256];
        snprintf(message, sizeof message,
                 "Teardown: waiting up to %lld ms more for the notice workers before the library unloads",
                 static_cast<long long>(kUnloadExtraWait.count()));
        state->TeardownLine(message);
        ended = state->workers.WaitForWorkers(kUnloadExtraWait);
        if (!ended) state->abandoned.store(true, std::memory_order_release);
    }
    if (ended) AwaitSoleOwner(state, teardownWait);
    return ended;
}

void SetTeardownWaitForTesting(std::chrono::milliseconds wait) {
    gTeardownWaitMs.store(wait.count(), std::memory_order_relaxed);
}
