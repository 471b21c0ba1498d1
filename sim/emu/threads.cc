// Thread accounting: NotesInitThread and NotesTermThread pairing, and C API
// calls made on threads that never initialised.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "emu/internal.h"
#include "emu/platform.h"

namespace emu {
namespace {

// Per-thread pairing of NotesInitThread and NotesTermThread.
std::atomic<uint64_t> gInits{0}, gTerms{0}, gThreadsInited{0}, gThreadsPaired{0}, gUnpairedExits{0},
    gUninitialisedCalls{0};
struct ThreadState {
    int depth = 0;
    bool everInited = false;
    bool hostThread = false;
    ~ThreadState() {
        if (depth > 0) ++gUnpairedExits;
    }
};
thread_local ThreadState tThread;

// Asked once per thread: every C API call looks at it.
bool IsMainThread() {
    static thread_local const bool main = platform::OnMainThread();
    return main;
}

std::atomic<uint64_t> gNextToken{1};

// NotesInitThread held (tests): its callers wait inside it until let go.
std::mutex gHoldMutex;
std::condition_variable gHoldChanged;
bool gHoldInits = false;
int gHeldInits = 0;

void WaitWhileInitsHeld() {
    std::unique_lock lock(gHoldMutex);
    if (!gHoldInits) return;
    ++gHeldInits;
    gHoldChanged.notify_all();
    gHoldChanged.wait(lock, [] { return !gHoldInits; });
    --gHeldInits;
}


}  // namespace

void SetThreadInitHold(bool on) {
    {
        std::lock_guard lock(gHoldMutex);
        gHoldInits = on;
    }
    gHoldChanged.notify_all();
}

bool WaitForHeldThreadInits(int count, std::chrono::milliseconds limit) {
    std::unique_lock lock(gHoldMutex);
    return gHoldChanged.wait_for(lock, limit, [&] { return gHeldInits >= count; });
}

ThreadCounts Threads() {
    ThreadCounts c;
    c.inits = gInits;
    c.terms = gTerms;
    c.threadsInited = gThreadsInited;
    c.threadsPaired = gThreadsPaired;
    c.unpairedExits = gUnpairedExits;
    c.uninitialisedCalls = gUninitialisedCalls;
    return c;
}

void ResetThreadCounts() {
    gInits = 0;
    gTerms = 0;
    gThreadsInited = 0;
    gThreadsPaired = 0;
    gUnpairedExits = 0;
    gUninitialisedCalls = 0;
}

void MarkHostThread() { tThread.hostThread = true; }

namespace detail {

uint64_t ThreadToken() {
    static thread_local const uint64_t token = gNextToken++;
    return token;
}

std::string ThreadLabel() {
    return std::string(IsMainThread() ? "main thread " : "thread ") + std::to_string(platform::SystemThreadId());
}

void CountCallerThread(Op op) {
    if (op != Op::NotesInitThread && op != Op::NotesTermThread && !IsHostHook(op) &&
        tThread.depth == 0 && !tThread.hostThread && !IsMainThread())
        ++gUninitialisedCalls;
}

}  // namespace detail
}  // namespace emu

using emu::Op;
using emu::err::INVALID_HANDLE;

extern "C" {

EMU_EXPORT STATUS NotesInitThread(void) {
    if (STATUS s = emu::Fault(Op::NotesInitThread)) return s;
    emu::WaitWhileInitsHeld();
    ++emu::gInits;
    if (!emu::tThread.everInited) ++emu::gThreadsInited;
    emu::tThread.everInited = true;
    ++emu::tThread.depth;
    return NOERROR;
}

EMU_EXPORT void NotesTermThread(void) {
    emu::Fault(Op::NotesTermThread);
    ++emu::gTerms;
    if (emu::tThread.depth == 0) {
        // A term without its init: counted as an unpaired thread.
        ++emu::gUnpairedExits;
        return;
    }
    if (--emu::tThread.depth == 0) ++emu::gThreadsPaired;
}

}  // extern "C"
