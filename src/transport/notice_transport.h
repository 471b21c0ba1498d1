// The task's notices to the transaction processor, whole: the settings they
// are sent with, the connection made at the first one, the hand-over to the
// workers, and the end of it all (Terminate at the end of NSF service, or the
// unload). The filter hands it a notice; everything after is here.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "base/tarn_settings.h"
#include "log/tarn_log.h"

// What the notices share with their workers (transport_state.h).
struct TransportState;

// The notices there are: a captured change, a captured deletion (a
// cancellation travels as one), and the refresh after a reload.
enum class NoticeKind { Change, Delete, Refresh };

class NoticeTransport {
public:
    // The settings in force, read once for each notice: a notice never
    // mixes the settings of two loads, and a reload counts from the next.
    using Settings = std::function<TARNSettings()>;

    NoticeTransport();
    // The unload's stop (Reset) when no Terminate came first.
    ~NoticeTransport();
    NoticeTransport(const NoticeTransport&) = delete;
    NoticeTransport& operator=(const NoticeTransport&) = delete;

    // The task's log (its lines and the level setting they are tested
    // against) and where the settings come from; before this, no notice goes.
    void Configure(const TARNLog& log, Settings settings);
    // Stops the workers (waiting longer for a straggler, as at unload, since
    // the library can no longer be kept loaded) and starts afresh,
    // unconfigured. Workers still running keep the old state alive.
    void Reset();

    // Makes the notice from the settings (its address names the queue
    // note), connects when there is no connection yet, and hands it to a
    // worker. True when a worker will carry it. An empty Url_DomToTN sends
    // nothing (it was said at the load that found it).
    bool Send(NoticeKind kind, uint32_t queueNoteId = 0);

    // Waits until every notice handed over was carried, then lets the idle
    // workers go; true when all workers have ended in time (tests, tools).
    // With `letIdleGo` false, true once every live worker is idle.
    bool WaitForNotices(int milliseconds, bool letIdleGo = true);
    // At EM_TERMINATENSF: drops what waits, stops what is in flight and
    // waits, bounded, for every worker to leave; a worker outliving the
    // wait keeps the library loaded. Later notices are refused.
    void Terminate();
    // Worker threads started since the last Reset (benchmarks).
    uint64_t ThreadsStarted() const;

private:
    // The connection, made when it is not there yet (its Notes.ini settings
    // read then, TARN_HTTP_Workers included); false when there is none.
    bool Connected(const TARNSettings& settings);
    bool HandOver(NoticeKind kind, uint32_t queueNoteId, const TARNSettings& settings, std::string address);

    std::shared_ptr<TransportState> state;
    TARNLog log;
    Settings settings;
    std::mutex connecting;  // one connection made at a time, its worker limit with it
};
