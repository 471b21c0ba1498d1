#include "host/entry.h"

#include <cstdarg>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <new>
#include <string>

#include "base/ascii.h"
#include "base/callback_skip.h"
#include "base/event_data.h"
#include "base/serving_state.h"
#include "host/tarn_session.h"
#include "ipc/queue_name.h"
#include "ipc/task_list.h"
#include "log/notes_error.h"
#include "log/tarn_log.h"
#include "stats/queue_backlog.h"
#include "stats/tarn_stats.h"

// Constructed at load in this order, destroyed at unload in the reverse one
// (the whole lifecycle is told in entry.h).
namespace {
TARNSession gSession;
// Stopped at EM_TERMINATENSF, or at the latest here at unload, before the
// session it reads goes.
tarn::stats::StatsPublisher gPublisher;
EmRegistration gUpdateAfter;
EmRegistration gUpdateBefore;
EmRegistration gExtendedUpdateBefore;
EmRegistration gExtendedUpdateAfter;
EmRegistration gDeleteNotes;
EmRegistration gTerminate;  // EM_TERMINATENSF: registered last, deregistered first

// A start that fails after registering leaves nothing registered: the host
// would otherwise call into a task that said it is not served. In the
// unload's order.
void ReleaseRegistrations() {
    for (EmRegistration* h : {&gTerminate, &gDeleteNotes, &gExtendedUpdateAfter, &gExtendedUpdateBefore, &gUpdateBefore,
                              &gUpdateAfter})
        h->Release();
}
bool gEntered = false;

// Declared last, so destroyed first: from here on the library is unloading.
struct UnloadMark {
    ~UnloadMark() { gSession.Stop(); }
} gUnloadMark;

// The text a Windows host shows for a failed allocation.
struct OutOfMemory : std::bad_alloc {
    const char* what() const noexcept override { return "bad allocation"; }
};

void ThrowOutOfMemory() { throw OutOfMemory(); }

struct Registration {
    EID eventId;
    DWORD flags;
    EmRegistration* holder;
    const char* what;
};
}  // namespace

TARNSession& ProcessSession() { return gSession; }
tarn::stats::StatsPublisher& ProcessStatsPublisher() { return gPublisher; }

// The callback the Extension Manager calls; exported beside MainEntryPoint.
extern "C" __attribute__((visibility("default"))) STATUS LNCALLBACK ExtMgrCallback(EMRECORD* record) {
    return RunExtMgrCallback(record);
}

STATUS RunMainEntryPoint() {
    if (gEntered) return 0;
    gEntered = true;
    try {
        std::set_new_handler(ThrowOutOfMemory);
        char processName[260];
        GetProcessName(processName, sizeof processName);
        LowerAscii(processName);

        // Read wider than the list's own 256 bytes only to hear of a longer
        // value: the list stays cut to 255 characters, but a task it names
        // past the cut is told why it is not served.
        char wholeList[1024];
        if (!OSGetEnvironmentString("TARN_Task_List", wholeList, sizeof wholeList - 1)) {
            LogPlain("CRITICAL ERROR: No tasks listed in Notes.ini!!!");
            return 0;
        }
        wholeList[sizeof wholeList - 1] = '\0';
        char taskList[MAXENVVALUE];
        CopyBounded(taskList, sizeof taskList, wholeList);
        if (strlen(wholeList) > sizeof taskList - 1 && IsTaskListed(processName, wholeList))
            LogPlain("ERROR: TARN_Task_List is longer than %u characters: only its first %u are used%s",
                     static_cast<unsigned>(sizeof taskList - 1), static_cast<unsigned>(sizeof taskList - 1),
                     IsTaskListed(processName, taskList) ? "" : ", and this task, named after them, is not served");
        if (!IsTaskListed(processName, taskList)) return 0;
        LogPlain("%s%s%s", " (", processName, ") loading...");

        gSession.Reset();
        const bool initialised = gSession.Init(processName, taskList);
        // Served, but deaf to refresh: its queue is not the one the HTTP task
        // writes to. (The HTTP task sends refresh messages, it reads none.)
        if (const std::string entry = EntryServingByPart(processName, taskList);
            !entry.empty() && !gSession.IsHttpTask()) {
            char queue[kQueueNameMax + 1];
            BuildQueueName(entry.data(), entry.size(), queue);
            gSession.Log(1,
                         "WARNING: this task is served only because its name is part of the TARN_Task_List entry "
                         "\"%s\": its refresh messages go to the queue %s, which it does not read; list it as %s",
                         entry.c_str(), queue, processName);
        }
        if (!initialised) return 0;

        // Started before the registrations, so that running out of memory in it
        // leaves nothing registered; its thread makes no C API call before the
        // host's first callback. The capture queue's backlog: one task per
        // server publishes it.
        if (gSession.IsHttpTask())
            gPublisher.AlsoRun(tarn::stats::QueueBacklogWork([](const char* line) { gSession.Log(1, "%s", line); }));
        gPublisher.Start(
            processName,
            [] {
                switch (gSession.State()) {
                    case TaskState::Starting:
                    case TaskState::Serving: return "Serving";
                    case TaskState::OffAfterReload: return "Off: reload failed";
                    default: return "Not served";
                }
            },
            [](const char* line) { gSession.Log(1, "%s", line); });

        WORD recursionId = 0;
        CheckNotesStatus(EMCreateRecursionID(&recursionId), "Couldn't create recursion id.");
        gSession.Log(3, "MainEntryPoint:\tcreated recursion ID");

        const Registration registrations[] = {
            {EM_NSFNOTEUPDATE, EM_REG_BEFORE, &gUpdateBefore, "before callback for EM_NSFNOTEUPDATE"},
            {EM_NSFNOTEUPDATE, EM_REG_AFTER, &gUpdateAfter, "after callback for EM_NSFNOTEUPDATE"},
            {EM_NSFNOTEUPDATEXTENDED, EM_REG_BEFORE, &gExtendedUpdateBefore,
             "before callback for EM_NSFNOTEUPDATEXTENDED"},
            {EM_NSFNOTEUPDATEXTENDED, EM_REG_AFTER, &gExtendedUpdateAfter,
             "after callback for EM_NSFNOTEUPDATEXTENDED"},
            {EM_NSFDBDELETENOTES, EM_REG_BEFORE, &gDeleteNotes, "callback for EM_NSFDBDELETENOTES"},
        };
        for (const Registration& r : registrations) {
            // A failed registration is said and the others still made: the
            // task serves the events it could register for.
            const STATUS s = EMRegister(r.eventId, r.flags, &ExtMgrCallback, recursionId, r.holder->out());
            if (s != NOERROR) {
                *r.holder->out() = 0;
                gSession.Log(1, "ERROR: MainEntryPoint:\tcould not register %s: %s", r.what, StatusText(s).c_str());
                continue;
            }
            gSession.Log(3, "MainEntryPoint:\tregistered %s", r.what);
        }
        // The end of NSF service for this process: the workers stop there,
        // before the host unloads the library. No line of its own. Refused,
        // nothing stays registered: serving on would leave the threads to be
        // stopped inside the unload, where the loader's lock is held and a
        // thread that starts, ends or first calls the C API can hang it.
        if (const STATUS s = EMRegister(EM_TERMINATENSF, EM_REG_BEFORE, &ExtMgrCallback, recursionId, gTerminate.out())) {
            *gTerminate.out() = 0;
            ReleaseRegistrations();
            CheckNotesStatus(s, "Couldn't register callback for EM_TERMINATENSF (the task is not served)");
        }
        gSession.Log(3, "%s%s%s", " (", processName, ") loaded OK...");
        return 0;
    } catch (const NotesWrapper::notes_error& e) {
        ReleaseRegistrations();
        gPublisher.Stop(false);
        gSession.Log(1, "%s", e.what());
        return e.status;
    } catch (const std::bad_alloc&) {
        ReleaseRegistrations();
        gPublisher.Stop(false);
        gSession.Log(1, "%s", "bad allocation");
        return 257;
    } catch (const std::exception& e) {
        ReleaseRegistrations();
        gPublisher.Stop(false);
        gSession.Log(1, "%s", e.what());
        return 257;
    }
}

namespace {
// One save, one capture. A server may carry a save out through a nested call
// (NSFNoteUpdate through NSFNoteUpdateExtended), and the Extension Manager
// calls back for every registered event even when nested, so one save can
// raise EM_NSFNOTEUPDATE around EM_NSFNOTEUPDATEXTENDED on the saving thread.
// Each thread keeps the updates it is inside of: a before-call for a note
// whose update is already in progress on this thread with the other event
// is the inner half of that save. A deletion is captured once, in the first
// before-call; a change once, in the first after-call (the inner one, once
// the note is stored), and the outer after-call only closes the save. Had
// the capture waited for the outer after-call, a save left open by another
// hook's cancel would make the next extended save of the note look like its
// inner half and lose it. An after-call without its before-call is taken as
// it comes; a before-call whose after-call never comes (a cancel, or an
// after-call that could not be registered) leaves a slot that the note's
// next save takes over.
//
// Plain thread-local words: nothing is allocated, and nothing is left to
// destroy when a server thread ends after the library is gone.
constexpr uint8_t EventBit(EID eventId) { return eventId == EM_NSFNOTEUPDATEXTENDED ? 2 : 1; }

struct UpdateInProgress {
    NOTEHANDLE note;
    uint8_t open;   // events whose after-call is still due
    uint8_t seen;   // events of this save so far
    bool afterSeen; // an after-call of this save came already
};
constexpr int kUpdatesTracked = 4;
thread_local UpdateInProgress tUpdates[kUpdatesTracked];
thread_local uint8_t tNextSlot;

// Alone: no save of this note in progress; First: the first call of a save
// that can capture; Later: a further half of a save already seen.
enum class Half { Alone, First, Later };

Half UpdateBefore(NOTEHANDLE note, EID eventId) {
    const uint8_t bit = EventBit(eventId);
    UpdateInProgress* slot = nullptr;
    for (UpdateInProgress& u : tUpdates)
        if (u.open != 0 && u.note == note) slot = &u;
    if (slot && !(slot->seen & bit) && !slot->afterSeen) {
        slot->open |= bit;
        slot->seen |= bit;
        return Half::Later;
    }
    // The same event again: the earlier save never had its after-call
    // (another hook cancelled it); this one begins afresh.
    if (!slot)
        for (UpdateInProgress& u : tUpdates)
            if (u.open == 0) {
                slot = &u;
                break;
            }
    // All taken: the oldest are saves whose after-calls never came.
    if (!slot) slot = &tUpdates[tNextSlot++ % kUpdatesTracked];
    *slot = UpdateInProgress{note, bit, bit, false};
    return Half::First;
}

// *extended: the save had an EM_NSFNOTEUPDATEXTENDED half.
Half UpdateAfter(NOTEHANDLE note, EID eventId, bool* extended) {
    const uint8_t bit = EventBit(eventId);
    for (UpdateInProgress& u : tUpdates) {
        if (u.open == 0 || u.note != note || !(u.open & bit)) continue;
        u.open &= static_cast<uint8_t>(~bit);
        const bool first = !u.afterSeen;
        u.afterSeen = true;
        *extended = (u.seen & EventBit(EM_NSFNOTEUPDATEXTENDED)) != 0;
        return first ? Half::First : Half::Later;
    }
    return Half::Alone;
}
}  // namespace

void DeregisterSaying(HEMREGISTRATION handle) {
    const STATUS s = EMDeregister(handle);
    if (s == NOERROR) return;
    // Left registered, the callback may be called into an unloaded library.
    // Before the session's log exists the line goes out without a task name.
    gSession.Log(1, "ERROR: EMDeregister failed (%s): a callback stays registered", StatusText(s).c_str());
}

STATUS RunExtMgrCallback(EMRECORD* record) {
    try {
        if (record->EId == EM_TERMINATENSF) {
            gPublisher.Go();  // for the last round
            // Stop the workers only: deregistering here is forbidden; the
            // holders do it at unload. Then the last figures, what the
            // teardown dropped included, go out from the statistics thread.
            gSession.GetTransport()->Terminate();
            gPublisher.Stop(true);
            return ERR_EM_CONTINUE;
        }
        // The one load of the task's state on the way in.
        const TaskState state = gSession.State();
        if (CallbackSkip(state) != 0) return ERR_EM_CONTINUE;
        // The host is up: the statistics thread may begin its C API calls
        // (never from a callback skipped at unload: that would be its first).
        gPublisher.Go();
        gSession.Log(2, "ExtMgrCallback. Start");
        if (const TARNSession::Reach reach = gSession.ReachIn(state); reach != TARNSession::Reach::Everything) {
            gSession.Log(2, "ExtMgrCallback. TARNSession not initialised");
            if (reach == TARNSession::Reach::Nothing) return ERR_EM_CONTINUE;
            if (reach == TARNSession::Reach::RefreshOnly) {
                gSession.CheckConfigRefreshMessages();
                if (!gSession.IsInitialised()) return ERR_EM_CONTINUE;
            }
        }
        if (!gSession.IsHttpTask()) {
            gSession.Log(3, "ExtMgrCallback. checking IPC for config update");
            gSession.CheckConfigRefreshMessages();
        }
        gSession.Log(2, "ExtMgrCallback. Populating Event data");

        EventData event;
        Clear(event);
        event.status = record->Status;
        event.result = ERR_EM_CONTINUE;
        event.eventId = record->EId;
        event.isBefore = record->NotificationType == EM_BEFORE ? 1 : 0;
        event.noteClass = 0x7FFF;
        event.isDeleteNotes = 0;
        bool process = false;
        gSession.Log(2, "ExtMgrCallback. Processing eventId");

        // The core function's arguments, read in their order from a copy (a
        // va_list that is an array cannot be assigned).
        va_list ap;
        va_copy(ap, record->Ap);
        struct ArgsEnd {
            va_list& ap;
            ~ArgsEnd() { va_end(ap); }
        } argsEnd{ap};
        switch (record->EId) {
            case EM_NSFNOTEUPDATE:
            case EM_NSFNOTEUPDATEXTENDED: {
                const bool extended = record->EId == EM_NSFNOTEUPDATEXTENDED;
                gSession.Log(3, extended ? "ExtMgrCallback. Event: EM_NSFNOTEUPDATEXTENDED"
                                         : "ExtMgrCallback. Event: EM_NSFNOTEUPDATE");
                // NSFNoteUpdate(NOTEHANDLE, WORD): the WORD arrives promoted to
                // int. NSFNoteUpdateExtended(NOTEHANDLE, DWORD).
                event.noteHandle = va_arg(ap, NOTEHANDLE);
                event.updateFlags = extended ? va_arg(ap, DWORD) : static_cast<WORD>(va_arg(ap, int));
                bool extendedInside = false;
                const Half half = record->NotificationType == EM_BEFORE
                                      ? UpdateBefore(event.noteHandle, record->EId)
                                      : UpdateAfter(event.noteHandle, record->EId, &extendedInside);
                if (event.updateFlags & UPDATE_DELETED) {
                    gSession.Log(3, "ExtMgrCallback. Event: &UPDATE_DELETED");
                    if (record->NotificationType == EM_BEFORE) {
                        event.eventId = kEventDeletion;
                        process = half != Half::Later;
                    }
                } else {
                    // After the save, and only a save that succeeded: a failed
                    // one (its status says so) changed nothing to capture.
                    process = record->NotificationType == EM_AFTER && record->Status == NOERROR && half != Half::Later;
                    // Carried out through the extended update: filtered as one
                    // (calendar notices are told apart only there).
                    if (extendedInside) event.eventId = EM_NSFNOTEUPDATEXTENDED;
                }
                if (half == Half::Later) gSession.Log(3, "ExtMgrCallback. Event: inner half of a save already seen");
                break;
            }
            case EM_NSFDBDELETENOTES:
                if (event.isBefore == 1) {
                    // NSFDbDeleteNotes(DBHANDLE, DHANDLE id table, UNID*).
                    event.dbHandle = va_arg(ap, DBHANDLE);
                    event.deletedIdTable = va_arg(ap, DHANDLE);
                    (void)va_arg(ap, UNID*);
                    event.isDeleteNotes = 1;
                    process = true;
                    gSession.Log(3, "ExtMgrCallback. Event: EM_NSFDBDELETENOTES. Processing.");
                } else {
                    gSession.Log(3, "ExtMgrCallback. Event: EM_NSFDBDELETENOTES. Not PreEvent");
                }
                break;
            default:
                break;
        }
        if (process) {
            gSession.Log(2, "ExtMgrCallback. Processing Event");
            gSession.HandleEvent(event);
        }
    } catch (const std::exception& e) {
        gSession.Log(1, "%s", e.what());
    }
    return ERR_EM_CONTINUE;
}
