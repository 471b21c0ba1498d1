#include "events/tarn_event_processor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "base/db_handle.h"
#include "base/task_context.h"
#include "config/tarn_config.h"
#include "log/notes_error.h"
#include "log/tarn_log.h"
#include "queue/tarn_queue.h"
#include "stats/tarn_stats.h"
#include "transport/notice_transport.h"

void TARNEventProcessor::Reset() {
    session = nullptr;
    config = nullptr;
    queue = nullptr;
    transport = nullptr;
}

bool TARNEventProcessor::Init(TaskContext* task, TARNConfig* taskConfig, TARNQueue* taskQueue,
                              NoticeTransport* notices) {
    session = task;
    config = taskConfig;
    queue = taskQueue;
    transport = notices;
    return true;
}

void TARNEventProcessor::ProcessEvent(EventData& event, bool alertsOnly) {
    if (event.isDeleteNotes == 1)
        ProcessDeletedNotes(event, alertsOnly);
    else
        ProcessEventSingle(event, alertsOnly);
}

void TARNEventProcessor::ProcessDeletedNotes(EventData& event, bool alertsOnly) {
    NOTEID id = 0;
    DWORD scanned = 0;
    for (BOOL first = TRUE; IDScan(event.deletedIdTable, first, &id); first = FALSE) {
        ++scanned;
        NoteHandle note;
        const STATUS status = OpenNoteInto(note, event.dbHandle, id, 0);
        if (status != 0) {
            // Without the note there is nothing to look at: skip this id.
            tarn::stats::Add(tarn::stats::Count::DeletionsNotQueued);
            session->Log(1, "ProcessDeletedNotes: note %08lX could not be opened: %s",
                         static_cast<unsigned long>(id), StatusText(status).c_str());
            continue;
        }
        EventData copy = event;
        copy.eventId = kEventDeletion;
        copy.noteHandle = note.get();
        try {
            ProcessEventSingle(copy, alertsOnly);
        } catch (const std::exception& e) {
            // One note's failure neither leaks its handle nor costs the
            // rest of the table its turn.
            session->Log(1, "%s", e.what());
        }
    }
    // IDScan answers FALSE both at the end and on a failure: the table's
    // own count tells them apart, so the deletions never reached are heard of.
    const DWORD total = IDEntries(event.deletedIdTable);
    if (scanned < total) {
        tarn::stats::Add(tarn::stats::Count::DeletionsNotQueued, total - scanned);
        char path[MAXPATH] = {};
        NSFDbPathGet(event.dbHandle, path, nullptr);
        path[sizeof path - 1] = '\0';
        session->Log(1, "ProcessDeletedNotes: id table scan failed after note %08lX (%lu of %lu): deletions in %s not queued",
                     static_cast<unsigned long>(scanned ? id : 0), static_cast<unsigned long>(scanned),
                     static_cast<unsigned long>(total), path);
    }
}

void TARNEventProcessor::ProcessEventSingle(EventData& event, bool alertsOnly) {
    tarn::stats::Add(tarn::stats::Count::EventsSeen);
    if (!FilterEvent(event, false, nullptr, alertsOnly)) {
        session->Log(2, "%s", "TARNEventProcessor::ProcessEventSingle. Failed Filter");
        return;
    }
    session->Log(2, "%s", "TARNEventProcessor::ProcessEventSingle. Passed Filter");
    bool written = false;
    try {
        written = queue->WriteToQueue(event);
    } catch (...) {
        // A throwing hook of another add-in on the queue's save: lost all the same.
        tarn::stats::Add(tarn::stats::Count::QueueFailed);
        throw;
    }
    if (written) {
        session->Log(2, "%s", "TARNEventProcessor::ProcessEventSingle. Write to Queue Ok");
        CountCapture(event);
        SendTransactionNotice(event);
    } else {
        tarn::stats::Add(tarn::stats::Count::QueueFailed);
        session->Log(2, "%s", "TARNEventProcessor::ProcessEventSingle. Write to Queue Fail");
    }
}

void TARNEventProcessor::CountCapture(const EventData& event) {
    using tarn::stats::Count;
    tarn::stats::Add(Count::EventsCaptured);
    tarn::stats::Add(Count::QueueWritten);
    tarn::stats::CaptureTime();
    // A cancellation notice travels as a deletion of its appointment.
    const bool notice = strcmp(event.form, "Notice") == 0 || strcmp(event.form, "TaskNotice") == 0;
    if (event.eventId == kEventDeletion) tarn::stats::Add(notice ? Count::CancellationsCaptured : Count::DeletionsCaptured);
}

void TARNEventProcessor::CompleteEventFromNote(EventData& event) {
    if (event.noteHandle == 0) return;
    NSFNoteGetInfo(event.noteHandle, _NOTE_CLASS, &event.noteClass);
    if (event.dbHandle == 0) {
        // Received wide and cut to 32 bits, whatever width the host writes.
        uint64_t db = 0;
        NSFNoteGetInfo(event.noteHandle, _NOTE_DB, &db);
        event.dbHandle = static_cast<DBHANDLE>(db & 0xFFFFFFFFu);
    }
    if (event.noteId == 0) NSFNoteGetInfo(event.noteHandle, _NOTE_ID, &event.noteId);
}

void TARNEventProcessor::HandleConfigAlert(const EventData& event) {
    tarn::stats::Add(tarn::stats::Count::RefusedAlert);
    session->Log(3, "%s", "Received config update alert");
    if (!session->IsHttpTask()) {
        session->Log(3, "%s", "Filter: FAIL: TARN Alerts db being updated!");
        return;
    }
    if (event.eventId == kEventDeletion) return;
    session->Log(2, "%s", "Broadcasting Config Referesh");
    session->BroadcastConfigRefresh();
    const bool reloaded = config->Load();
    tarn::stats::Add(reloaded ? tarn::stats::Count::ConfigReloads : tarn::stats::Count::ConfigReloadsFailed);
    if (reloaded) SendRefreshConfigNotice();
}

bool TARNEventProcessor::InServedMailFile(EventData& event, Refusal& reason) {
    const TARNConfig::Membership membership = config->Classify(event.dbPath);
    if (membership == TARNConfig::Membership::Excluded) {
        reason = Refuse(tarn::stats::Count::RefusedExcluded);
        return false;
    }
    if (membership == TARNConfig::Membership::NotUser) {
        reason = Refuse(tarn::stats::Count::RefusedNotUser);
        return false;
    }
    return true;
}

bool TARNEventProcessor::FilterEvent(EventData& event, bool readOnly, Refusal* why, bool alertsOnly) {
    NoteHandle opened;  // closed on every way out
    Refusal ignored;
    Refusal& reason = why ? *why : ignored;
    reason = Refusal::None;
    try {
        CompleteEventFromNote(event);
        if (!(event.noteClass & NOTE_CLASS_DOCUMENT)) {
            reason = Refuse(tarn::stats::Count::RefusedNotDocument);
            return false;
        }
        DBID dbId{};
        bool haveId = false;
        if (event.dbHandle != 0) {
            CheckNotesStatus(NSFDbIDGet(event.dbHandle, &dbId), "Couldn't get DBID for event.");
            haveId = true;
            CheckNotesStatus(NSFDbPathGet(event.dbHandle, event.dbPath, nullptr),
                             "Couldn't get db path for event");
        }
        event.dbPath[sizeof event.dbPath - 1] = '\0';
        session->Log(3, "Event Database: %s", event.dbPath);

        if (haveId && memcmp(&dbId, config->GetAlertsDbId(), sizeof dbId) == 0) {
            HandleConfigAlert(event);
            reason = Refusal::AlertsDb;
            return false;
        }
        // Off after a failed reload: nothing but an alert is looked at.
        if (alertsOnly) {
            tarn::stats::Add(tarn::stats::Count::RefusedOff);
            return false;
        }
        if (!InServedMailFile(event, reason)) return false;

        const STATUS status = OpenNoteInto(opened, event.dbHandle, event.noteId, 0);
        if (status != 0) {
            reason = Refuse(tarn::stats::Count::RefusedUnreadable);
            session->Log(1, "Filter: FAIL: note %08lX could not be opened: %s",
                         static_cast<unsigned long>(event.noteId), StatusText(status).c_str());
            return false;
        }
        const NOTEHANDLE note = opened.get();

        ORIGINATORID oid{};
        NSFNoteGetInfo(note, _NOTE_OID, &oid);
        memcpy(event.unid, &oid, sizeof event.unid);
        char unidText[33] = {};
        FormatUnid(event.unid, unidText);
        session->Log(3, "UNID:%s", unidText);

        char form[256] = {};
        if (!ReadForm(note, event, form)) {
            reason = Refusal::NoForm;
            return false;
        }
        bool cancellation = false;
        if (!CalendarFormPasses(note, event, form, unidText, cancellation)) {
            reason = Refusal::NotCalendar;
            return false;
        }
        if (CarriesMarker(note, readOnly)) {
            reason = Refusal::Marker;
            return false;
        }
        if (!cancellation && !CalendarDocumentPasses(note, event, unidText, reason)) return false;
        if (!ReadCalendarOwner(event)) {
            reason = Refusal::NoOwner;
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        reason = Refuse(tarn::stats::Count::RefusedError);
        session->Log(1, "%s", e.what());
        return false;
    }
}

namespace {
struct Outcome {
    const char* tally;
    bool loss;
};
#define TARN_OUTCOME_ROW(id, tally, loss) {tally, loss},
constexpr Outcome kOutcomes[] = {TARN_REFUSALS(TARN_OUTCOME_ROW)};
#undef TARN_OUTCOME_ROW

struct Check {
    TARNEventProcessor::Refusal outcome;
    const char* line;
};
#define TARN_CHECK_ROW(stat, name, outcome, line) {TARNEventProcessor::Refusal::outcome, line},
constexpr Check kChecks[] = {TARN_REFUSAL_CHECKS(TARN_CHECK_ROW)};
#undef TARN_CHECK_ROW
constexpr unsigned kFirstCheck = static_cast<unsigned>(tarn::stats::Count::RefusedNotDocument);
}  // namespace

const char* TARNEventProcessor::RefusalName(Refusal r) { return kOutcomes[static_cast<size_t>(r)].tally; }

bool TARNEventProcessor::IsLoss(Refusal r) { return kOutcomes[static_cast<size_t>(r)].loss; }

TARNEventProcessor::Refusal TARNEventProcessor::Refuse(tarn::stats::Count check) {
    tarn::stats::Add(check);
    const Check& row = kChecks[static_cast<unsigned>(check) - kFirstCheck];
    if (row.line) session->Log(3, "%s", row.line);
    return row.outcome;
}

TARNEventProcessor::Refusal TARNEventProcessor::CaptureStored(EventData& event, const char* origin, bool write,
                                                              bool notify) {
    Refusal why = Refusal::None;
    // A refusal must never read as an acceptance, whatever step refused.
    if (!FilterEvent(event, true, &why)) return why == Refusal::None ? Refusal::Error : why;
    if (!write) return Refusal::None;
    return WriteStored(event, origin, notify) ? Refusal::None : Refusal::WriteFailed;
}

bool TARNEventProcessor::WriteStored(EventData& event, const char* origin, bool notify) {
    if (!queue->WriteToQueue(event, origin)) return false;
    if (notify) SendTransactionNotice(event);
    return true;
}

bool TARNEventProcessor::SendTransactionNotice(const EventData& event) {
    return transport->Send(event.eventId == kEventDeletion ? NoticeKind::Delete : NoticeKind::Change,
                           event.queueNoteId);
}

void TARNEventProcessor::SendRefreshConfigNotice() { transport->Send(NoticeKind::Refresh); }
