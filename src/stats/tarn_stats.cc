#include "stats/tarn_stats.h"

#include <chrono>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/notes_capi.h"
#include "log/notes_error.h"
#include "log/tarn_log.h"

namespace tarn::stats {
namespace {

constexpr char kFacility[] = "TARN";
// Often enough that `show stat` follows what the console says, rarely
// enough that the host's statistics table is no cost to the server.
constexpr std::chrono::seconds kInterval{5};

constexpr unsigned kCounts = static_cast<unsigned>(Count::Count_);
constexpr unsigned kGauges = static_cast<unsigned>(Gauge::Count_);

const char* const kCountNames[] = {
    "Events.Seen",
    "Events.Captured",
    "Events.Deletions",
    "Events.Cancellations",
    "Events.DeletionsNotQueued",
#define TARN_REFUSED_NAME(stat, name, outcome, line) "Events.Refused." name,
    TARN_REFUSAL_CHECKS(TARN_REFUSED_NAME)
#undef TARN_REFUSED_NAME
    "Queue.Written",
    "Queue.Failed",
    "Notices.Sent",
    "Notices.Delivered",
    "Notices.Failed.Transport",
    "Notices.Failed.Authentication",
    "Notices.Failed.Status",
    "Notices.Dropped.Teardown",
    "Notices.Dropped.Full",
    "Notices.Logins",
    "Config.Reloads",
    "Config.ReloadsFailed",
    "Config.RefreshSent",
    "Config.RefreshReceived",
};
static_assert(sizeof kCountNames / sizeof kCountNames[0] == kCounts);

const char* const kGaugeNames[] = {
    "Notices.Waiting", "Notices.Workers", "Notices.WorkersPeak", "Config.Users", "Config.Excluded",
};
static_assert(sizeof kGaugeNames / sizeof kGaugeNames[0] == kGauges);

// Totals published beside their parts, so they always equal the parts' sum.
struct Total {
    const char* name;
    Count first, last;
};
constexpr Total kTotals[] = {
    {"Events.Refused", Count::RefusedNotDocument, Count::RefusedError},
    {"Notices.Failed", Count::FailedTransport, Count::FailedStatus},
};
constexpr unsigned kTotalCount = sizeof kTotals / sizeof kTotals[0];

// How long the first callback waits for the publisher's NotesInitThread.
constexpr std::chrono::seconds kInitWait{2};

// A change of the task's state is published at once rather than at the
// next round: the running publisher is woken for it. Plain atomics: nothing
// here is destroyed before a publisher that may still read them.
std::atomic<bool> gNudged{false};
std::atomic<StatsPublisher*> gRunning{nullptr};

}  // namespace

void StateChanged() noexcept {
    gNudged.store(true, std::memory_order_relaxed);
    // Stop clears gRunning before it ends the thread; the object itself
    // outlives every caller (it is destroyed at unload).
    if (StatsPublisher* p = gRunning.load(std::memory_order_acquire)) p->wake.notify_all();
}

void CaptureTime() noexcept {
    gFigures.lastCapture.store(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count(),
        std::memory_order_relaxed);
}

const char* Name(Count c) { return kCountNames[static_cast<unsigned>(c)]; }
const char* Name(Gauge g) { return kGaugeNames[static_cast<unsigned>(g)]; }

struct StatsPublisher::Shared {
    Shared(std::mutex& m, std::condition_variable& w) : mutex(m), wake(w) {
        for (int64_t& g : gauges) g = -1;  // never published
    }
    std::mutex& mutex;
    std::condition_variable& wake;
    // Guarded by mutex.
    bool stopping = false;
    bool finalRound = false;
    bool initAsked = false;  // by the first Go
    enum class Init { NotYet, Started, Done, Refused } init = Init::NotYet;
    std::thread thread;

    std::function<const char*()> state;
    Line line;
    Work work;

    // The task's own names, made once: a round that publishes allocates nothing.
    std::string gaugeNames[kGauges], stateName, captureName;

    // What the host was last given; only the publisher's thread uses these.
    uint64_t counts[kCounts] = {};
    uint64_t totals[kTotalCount] = {};
    int64_t gauges[kGauges];
    char stateText[32] = {}, captureText[32] = {};
    bool version = false;
    bool failing = false;

    void Run();
    void Round(bool last);
    bool Update(const char* name, WORD flags, WORD type, const void* value);
    bool AddCount(const char* name, uint64_t now, uint64_t& published);
};

bool StatsPublisher::Shared::Update(const char* name, WORD flags, WORD type, const void* value) {
    const STATUS s = StatUpdate(kFacility, name, flags, type, value);
    if (s == NOERROR) return true;
    // Said once until a round succeeds again; what was not published is
    // tried again next round.
    if (!failing && line) {
        char message[256];
        snprintf(message, sizeof message, "Statistic %s.%s not published (%s): trying again", kFacility, name,
                 StatusText(s).c_str());
        line(message);
    }
    failing = true;
    return false;
}

bool StatsPublisher::Shared::AddCount(const char* name, uint64_t now, uint64_t& published) {
    // A LONG at a time: the host's additive values are 32-bit. Added to one
    // instance (ST_UNIQUE with ST_ADDITIVE, which is ST_RESETABLE): without
    // ST_UNIQUE the reference speaks of appending another instance, and
    // "set stat" may reset the count after an alarm was handled.
    while (now > published) {
        const LONG delta = static_cast<LONG>(std::min<uint64_t>(now - published, LONG_MAX));
        if (!Update(name, ST_RESETABLE, VT_LONG, &delta)) return false;
        published += static_cast<uint64_t>(delta);
    }
    return true;
}

void StatsPublisher::Shared::Round(bool last) {
    bool ok = true;
    if (!version) {
        const char* v = strrchr(kBanner, ' ');
        version = Update("Version", ST_UNIQUE, VT_TEXT, v ? v + 1 : kBanner);
        ok = version;
    }
    for (unsigned i = 0; i < kCounts; ++i)
        ok = AddCount(kCountNames[i], gFigures.counts[i].load(std::memory_order_relaxed), counts[i]) && ok;
    for (unsigned t = 0; t < kTotalCount; ++t) {
        uint64_t sum = 0;
        for (unsigned i = static_cast<unsigned>(kTotals[t].first); i <= static_cast<unsigned>(kTotals[t].last); ++i)
            sum += counts[i];  // what the host holds of the parts, so the two agree
        ok = AddCount(kTotals[t].name, sum, totals[t]) && ok;
    }
    for (unsigned g = 0; g < kGauges; ++g) {
        // At the end the task holds nothing; its peak stays as a record.
        const bool zero = last && g != static_cast<unsigned>(Gauge::WorkersPeak);
        const int64_t now = zero ? 0 : gFigures.gauges[g].load(std::memory_order_relaxed);
        if (now == gauges[g]) continue;
        const LONG value = static_cast<LONG>(std::min<int64_t>(now, LONG_MAX));
        if (Update(gaugeNames[g].c_str(), ST_UNIQUE, VT_LONG, &value))
            gauges[g] = now;
        else
            ok = false;
    }
    const char* stateNow = last ? "Not served" : (state ? state() : "Serving");
    if (strcmp(stateText, stateNow) != 0) {
        if (Update(stateName.c_str(), ST_UNIQUE, VT_TEXT, stateNow))
            CopyBounded(stateText, sizeof stateText, stateNow);
        else
            ok = false;
    }
    if (const time_t at = static_cast<time_t>(gFigures.lastCapture.load(std::memory_order_relaxed))) {
        struct tm utc {};
#if defined(_WIN32)
        gmtime_s(&utc, &at);
#else
        gmtime_r(&at, &utc);
#endif
        char text[32];
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
        if (strcmp(captureText, text) != 0) {
            if (Update(captureName.c_str(), ST_UNIQUE, VT_TEXT, text))
                CopyBounded(captureText, sizeof captureText, text);
            else
                ok = false;
        }
    }
    if (ok) failing = false;
}

void StatsPublisher::Shared::Run() {
    // A thread of the add-in's own: initialised for the C API before its
    // first call, terminated after its last.
    bool initialised = false;
    auto workDue = std::chrono::steady_clock::time_point::max();
    for (;;) {
        std::unique_lock lock(mutex);
        wake.wait_until(lock, std::min(std::chrono::steady_clock::now() + kInterval, workDue), [this] {
            return stopping || (initAsked && init == Init::NotYet) || gNudged.exchange(false, std::memory_order_relaxed);
        });
        const bool stop = stopping;
        const bool last = finalRound;
        const bool first = initAsked && init == Init::NotYet && !stop;
        if (first) init = Init::Started;
        lock.unlock();
        if (first) {
            initialised = NotesInitThread() == NOERROR;
            lock.lock();
            init = Init::Done;
            lock.unlock();
            wake.notify_all();
        }
        if (initialised && (!stop || last)) Round(stop);
        if (initialised && !stop && work) workDue = work(std::chrono::steady_clock::now());
        if (stop) break;
    }
    if (initialised) NotesTermThread();
}

void StatsPublisher::Start(const char* task, std::function<const char*()> state, Line line) {
    if (shared) return;
    // Built whole before it is kept: a start that runs out of memory leaves
    // no publisher without a thread for Stop to join.
    auto s = std::make_unique<Shared>(mutex, wake);
    const std::string prefix = std::string("Task.") + task + ".";
    for (unsigned g = 0; g < kGauges; ++g) s->gaugeNames[g] = prefix + kGaugeNames[g];
    s->stateName = prefix + "State";
    s->captureName = prefix + "Events.LastCapture";
    s->state = std::move(state);
    s->line = std::move(line);
    s->work = work;
    {
        std::lock_guard lock(mutex);
        s->thread = std::thread([p = s.get()] { p->Run(); });
        shared = s.release();
    }
    gRunning.store(this, std::memory_order_release);
}

void StatsPublisher::GoFirst() noexcept {
    {
        std::unique_lock lock(mutex);
        if (shared && !shared->stopping) {
            shared->initAsked = true;
            wake.notify_all();
            // Waited for, so that the host cannot unload the library before
            // the thread's first C API call is behind it. A thread that did
            // not even begin in time never makes it.
            if (!wake.wait_for(lock, kInitWait, [this] { return shared->init != Shared::Init::NotYet; }))
                shared->init = Shared::Init::Refused;
        }
    }
    go.store(true, std::memory_order_release);
}

void StatsPublisher::Stop(bool finalRound) {
    Shared* s;
    {
        std::lock_guard lock(mutex);
        s = shared;
        if (!s || s->stopping) return;  // none, or another Stop ends it
        s->stopping = true;
        s->finalRound = finalRound;
    }
    StatsPublisher* self = this;
    gRunning.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
    wake.notify_all();
    s->thread.join();
    std::lock_guard lock(mutex);
    delete s;
    shared = nullptr;
}

}  // namespace tarn::stats
