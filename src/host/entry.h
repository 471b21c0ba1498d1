// The add-in's two entry points and the process-wide objects behind them.
//
// Lifecycle of the add-in in one task process, from load to unload:
//  1. Load: the host maps the library; the session and the registration
//     holders are constructed (entry.cc), nothing is registered yet.
//  2. MainEntryPoint, once per process: a task whose lower-cased file name
//     occurs anywhere in TARN_Task_List's text (a substring match) gets
//     its session initialised (notes.ini, databases, message queues), then
//     five registrations with one recursion id, each with its level-3 line,
//     then EM_TERMINATENSF with the same id and no line of its own. Should
//     that one be refused, the five are deregistered again and the task is
//     not served (a level-1 line): without it the only place left to stop
//     the add-in's threads is the unload, under the loader's lock.
//     The statistics thread starts; its C API calls wait for the first
//     callback, which waits (bounded) for the thread's NotesInitThread, so
//     that no first C API call of it can fall into the unload.
//  3. Callbacks, on any server thread, several at once: a captured change
//     is written to the capture queue and its notice handed to a worker. The
//     server thread never waits on the network.
//  4. Workers (transport/): a notice finding no idle worker starts one while
//     fewer than TARN_HTTP_Workers are alive, so none waits behind a hung
//     exchange; otherwise it waits in memory. A worker with nothing to do
//     lingers a few seconds for the next notice, then ends. Each calls
//     NotesInitThread first and NotesTermThread last.
//  5. EM_TERMINATENSF (the end of NSF service, just before the host unloads
//     the libraries): waiting notices are dropped, exchanges in flight are
//     aborted, idle workers let go, and the callback returns only when every
//     worker has left the library's code (bounded: 3 s). Later notices are
//     refused. The statistics thread publishes its last round and ends.
//     Nothing is deregistered there: the platform forbids it. A
//     worker that outlives the bound gets the library pinned (a level-1
//     line); only then does teardown wait for process exit. Such a worker,
//     given up, makes no C API call when it returns (not even
//     NotesTermThread): the host ends the runtime without it.
//  6. Unload: the holders are destroyed in reverse order, deregistering
//     EM_TERMINATENSF, then delete-notes first and update-after last; then
//     the statistics thread (never started with a refused EM_TERMINATENSF)
//     is stopped; then the session closes what it opened. If the host never raised
//     EM_TERMINATENSF, the session's teardown stops and waits for the
//     workers here as step 5 does; pinning is no longer possible this late,
//     so it waits longer for a straggler instead (a level-1 line says so).
#pragma once

#include <cstddef>

#include "base/notes_capi.h"

class TARNSession;
namespace tarn::stats {
class StatsPublisher;
}

// Lives from library load to unload; destroyed after the registrations.
TARNSession& ProcessSession();
// Hands the task's figures to the host (see stats/tarn_stats.h).
tarn::stats::StatsPublisher& ProcessStatsPublisher();

// Deregisters, and says so at level 1 when the host refuses.
void DeregisterSaying(HEMREGISTRATION handle);

// Holds one Extension Manager registration; deregisters it when destroyed.
class EmRegistration {
public:
    EmRegistration() = default;
    ~EmRegistration() { Release(); }
    // Deregisters now, once; a refused deregistration is said, not retried.
    void Release() {
        if (handle) DeregisterSaying(handle);
        handle = 0;
    }
    EmRegistration(const EmRegistration&) = delete;
    EmRegistration& operator=(const EmRegistration&) = delete;
    HEMREGISTRATION* out() { return &handle; }
    HEMREGISTRATION get() const { return handle; }

private:
    HEMREGISTRATION handle = 0;
};

STATUS RunMainEntryPoint();
extern "C" STATUS LNCALLBACK ExtMgrCallback(EMRECORD* record);
STATUS RunExtMgrCallback(EMRECORD* record);

// File name of this process's executable, at most size - 1 characters.
void GetProcessName(char* buffer, size_t size);
bool IsTaskListed(const char* processName, const char* taskList);
