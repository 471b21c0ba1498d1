#include "events/tarn_event_processor.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>

#include "config/tarn_config.h"
#include "base/db_handle.h"
#include "host/tarn_session.h"
#include "log/notes_error.h"
#include "log/tarn_log.h"
#include "queue/tarn_queue.h"
#include "stats/tarn_stats.h"

void FormatUnid(const uint32_t unid[4], char out[33]) {
    snprintf(out, 33, "%08X%08X%08X%08X", unid[1], unid[0], unid[3], unid[2]);
}

namespace {

// Whether a document has the item. A read that fails is no absence: an
// unread $TARN or $REF would let through a change that must be refused. So
// any status but ERR_ITEM_NOT_FOUND (NSFItemInfo) stops the filter, whose
// catch says it at level 1 and refuses the change.
bool ItemPresent(NOTEHANDLE note, const char* name) {
    const STATUS s = NSFItemInfo(note, name, static_cast<WORD>(strlen(name)), nullptr, nullptr, nullptr, nullptr);
    if (s == NOERROR) return true;
    if (ERR(s) == ERR_ITEM_NOT_FOUND) return false;
    char text[200];
    NotesStatusText(s, text, sizeof text);
    char message[256];
    snprintf(message, sizeof message, "Filter: FAIL: item %s could not be read: %s", name, text);
    throw NotesWrapper::notes_error(s, message);
}

}  // namespace

void TARNEventProcessor::Trace(int level, const char* format, ...) const {
    const int32_t configured = logLevel.load(std::memory_order_relaxed);
    if ((level == 2 && configured < 2) || (level == 3 && configured != 3)) return;
    char message[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    session->Log(level == 2 || level == 3 ? 0 : 1, "%s", message);
}

bool TARNEventProcessor::Init(TARNSession* owner) {
    session = owner;
    config = owner->GetConfig();
    queue = owner->GetQueue();
    return true;
}

void TARNEventProcessor::ProcessEvent(EventData& event) {
    logLevel.store(config->GetLogLevel(), std::memory_order_relaxed);
    if (event.isDeleteNotes == 1)
        ProcessDeletedNotes(event);
    else
        ProcessEventSingle(event);
}

void TARNEventProcessor::ProcessDeletedNotes(EventData& event) {
    NOTEID id = 0;
    DWORD scanned = 0;
    for (BOOL first = TRUE; IDScan(event.deletedIdTable, first, &id); first = FALSE) {
        ++scanned;
        NoteHandle note;
        const STATUS status = OpenNoteInto(note, event.dbHandle, id, 0);
        if (status != 0) {
            // Without the note there is nothing to look at: skip this id.
            char text[200];
            NotesStatusText(status, text, sizeof text);
            tarn::stats::Add(tarn::stats::Count::DeletionsNotQueued);
            session->Log(1, "ProcessDeletedNotes: note %08lX could not be opened: %s",
                         static_cast<unsigned long>(id), text);
            continue;
        }
        EventData copy = event;
        copy.eventId = kEventDeletion;
        copy.noteHandle = note.get();
        try {
            ProcessEventSingle(copy);
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

void TARNEventProcessor::ProcessEventSingle(EventData& event) {
    tarn::stats::Add(tarn::stats::Count::EventsSeen);
    if (!FilterEvent(event)) {
        Trace(2, "%s", "TARNEventProcessor::ProcessEventSingle. Failed Filter");
        return;
    }
    Trace(2, "%s", "TARNEventProcessor::ProcessEventSingle. Passed Filter");
    bool written = false;
    try {
        written = queue->WriteToQueue(event);
    } catch (...) {
        // A throwing hook of another add-in on the queue's save: lost all the same.
        tarn::stats::Add(tarn::stats::Count::QueueFailed);
        throw;
    }
    if (written) {
        Trace(2, "%s", "TARNEventProcessor::ProcessEventSingle. Write to Queue Ok");
        CountCapture(event);
        SendTransactionNotice(event);
    } else {
        tarn::stats::Add(tarn::stats::Count::QueueFailed);
        Trace(2, "%s", "TARNEventProcessor::ProcessEventSingle. Write to Queue Fail");
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

bool TARNEventProcessor::FilterEvent(EventData& event, bool readOnly, Refusal* why) {
    NoteHandle opened;  // closed on every way out
    bool pass = false;
    bool cancellation = false;
    char unidText[33] = {};
    Refusal ignored;
    Refusal& reason = why ? *why : ignored;
    reason = Refusal::None;
    try {
        CompleteEventFromNote(event);
        if (!(event.noteClass & NOTE_CLASS_DOCUMENT)) {
            tarn::stats::Add(tarn::stats::Count::RefusedNotDocument);
            Trace(3, "%s", "Filter: FAIL: Note NOT a Document");
            reason = Refusal::NotDocument;
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
        Trace(3, "Event Database: %s", event.dbPath);

        if (haveId && memcmp(&dbId, config->GetAlertsDbId(), sizeof dbId) == 0) {
            tarn::stats::Add(tarn::stats::Count::RefusedAlert);
            Trace(3, "%s", "Received config update alert");
            if (session->IsHttpTask()) {
                if (event.eventId != kEventDeletion) {
                    Trace(2, "%s", "Broadcasting Config Referesh");
                    session->BroadcastConfigRefresh();
                    const bool reloaded = config->Load();
                    tarn::stats::Add(reloaded ? tarn::stats::Count::ConfigReloads : tarn::stats::Count::ConfigReloadsFailed);
                    if (reloaded) SendRefreshConfigNotice();
                }
            } else {
                Trace(3, "%s", "Filter: FAIL: TARN Alerts db being updated!");
            }
            reason = Refusal::AlertsDb;
            return false;
        }
        // Off after a failed reload: nothing but an alert is looked at.
        if (!session->IsInitialised()) {
            tarn::stats::Add(tarn::stats::Count::RefusedOff);
            return false;
        }
        if (config->IsExcludedDb(event.dbPath)) {
            tarn::stats::Add(tarn::stats::Count::RefusedExcluded);
            Trace(3, "%s", "Filter: FAIL: Excluded db being updated");
            reason = Refusal::Excluded;
            return false;
        }
        if (!config->IsUserMailFile(event.dbPath)) {
            tarn::stats::Add(tarn::stats::Count::RefusedNotUser);
            Trace(3, "%s", "Filter: FAIL: Not a TARN\tuser mail file");
            reason = Refusal::NotUser;
            return false;
        }

        const STATUS status = OpenNoteInto(opened, event.dbHandle, event.noteId, 0);
        if (status != 0) {
            char text[200];
            NotesStatusText(status, text, sizeof text);
            tarn::stats::Add(tarn::stats::Count::RefusedUnreadable);
            session->Log(1, "Filter: FAIL: note %08lX could not be opened: %s",
                         static_cast<unsigned long>(event.noteId), text);
            reason = Refusal::NotOpened;
            return false;
        }
        const NOTEHANDLE note = opened.get();

        ORIGINATORID oid{};
        NSFNoteGetInfo(note, _NOTE_OID, &oid);
        memcpy(event.unid, &oid, sizeof event.unid);
        FormatUnid(event.unid, unidText);
        Trace(3, "UNID:%s", unidText);

        if (!ItemPresent(note, "Form")) {
            tarn::stats::Add(tarn::stats::Count::RefusedNoForm);
            Trace(3, "%s", "Filter: FAIL: No FORM field contained in document");
            reason = Refusal::NoForm;
            return false;
        }
        char form[256] = {};
        NSFItemGetText(note, "Form", form, sizeof form);
        form[sizeof form - 1] = '\0';
        CopyBounded(event.form, sizeof event.form, form);
        Trace(3, "Form:%s", form);

        if (strcmp(form, "Appointment") == 0) {
            pass = true;
            Trace(3, "%s", "Filter: pass :\tAppointment");
        } else if (strcmp(form, "Task") == 0) {
            pass = hasTaskDates(note);
        } else if (strcmp(form, "Notice") == 0 || strcmp(form, "TaskNotice") == 0) {
            bool unidChecked = false;  // a failed check counts its own reason
            if (event.eventId == EM_NSFNOTEUPDATEXTENDED && ItemPresent(note, "NoticeType")) {
                char type[2] = {};
                // The whole buffer: at most one character and the terminator.
                NSFItemGetText(note, "NoticeType", type, sizeof type);
                type[sizeof type - 1] = '\0';
                if (strcmp(type, "S") == 0)
                    cancellation = true;
                else if ((unidChecked = strcmp(type, "C") == 0 || strcmp(type, "R") == 0))
                    cancellation = isApptUNIDThisDoc(note, unidText);
            }
            if (cancellation) {
                event.eventId = kEventDeletion;
                pass = true;
                Trace(3, "%s", "Filter: pass :\tCancellation");
            } else if (!unidChecked) {
                tarn::stats::Add(tarn::stats::Count::RefusedNotCancellation);
            }
        } else {
            tarn::stats::Add(tarn::stats::Count::RefusedNotCalendar);
            Trace(3, "%s", "Filter: Not Appointment, Task, or Notice");
        }

        if (!pass) reason = Refusal::NotCalendar;
        if (pass && ItemPresent(note, "$TARN")) {
            // Read only, the marker stays: its document's last change is the
            // processor's own.
            if (!readOnly) {
                NSFItemDelete(note, "$TARN", 5);
                NSFNoteUpdate(note, 0);
                Trace(3, "%s", "$TARN removed.");
            }
            pass = false;
            tarn::stats::Add(tarn::stats::Count::RefusedMarker);
            reason = Refusal::Marker;
        }

        if (pass && !cancellation) {
            if (isRepeatingChild(note)) {
                pass = false;
                reason = Refusal::RepeatingChild;
            } else {
                pass = isValidDeletion(event);
                if (!pass) reason = Refusal::EmptyUnid;
                if (pass) pass = isApptUNIDThisDoc(note, unidText);
                if (!pass && reason == Refusal::None) reason = Refusal::Draft;
            }
        }

        if (pass) {
            pass = ReadCalendarOwner(event);
            if (!pass) reason = Refusal::NoOwner;
        }
        return pass;
    } catch (const std::exception& e) {
        tarn::stats::Add(tarn::stats::Count::RefusedError);
        session->Log(1, "%s", e.what());
        reason = Refusal::Error;
        return false;
    }
}

bool TARNEventProcessor::ReadCalendarOwner(EventData& event) {
    bool pass = false;
    WORD type = 0;
    BLOCKID block{};
    DWORD length = 0;
    STATUS s = NSFProfileGetField(event.dbHandle, "CalendarProfile", 15, nullptr, 0, "Owner", 5, &type, &block,
                                  &length);
    if (s != 0) {
        tarn::stats::Add(tarn::stats::Count::RefusedNoOwner);
        session->Log(1, "%s", "Error: Calendar Profile not found.");
        return false;
    }
    const char* reason = nullptr;
    // The type WORD, then the text, inside the profile's pool; locked and
    // unlocked here, never freed (not ours). The pool is locked by itself so
    // a failed lock shows as null.
    const char* pool = type == TYPE_TEXT && block.pool != NULLHANDLE
                           ? static_cast<const char*>(OSLockObject(block.pool))
                           : nullptr;
    if (type != TYPE_TEXT) {
        reason = "is not text";
    } else if (!pool) {
        reason = "could not be locked";
    } else if (length < sizeof(WORD)) {
        reason = "is malformed";
    } else {
        const char* value = pool + block.block;
        size_t n = std::min<size_t>(length - sizeof(WORD), sizeof event.owner - 1);
        memcpy(event.owner, value + sizeof(WORD), n);
        event.owner[n] = '\0';
        pass = true;
    }
    if (pool) OSUnlockBlock(block);
    // An accepted change is about to be dropped: say which and why.
    if (reason) tarn::stats::Add(tarn::stats::Count::RefusedNoOwner);
    if (reason)
        session->Log(1, "Error: Calendar Profile Owner %s: change of note %08lX in %s not queued", reason,
                     static_cast<unsigned long>(event.noteId), event.dbPath);
    return pass;
}

const char* TARNEventProcessor::RefusalName(Refusal r) {
    static const char* const kNames[] = {
        "accepted",       "not a document",  "alerts database", "excluded",       "not a user mail file",
        "not opened",     "no form",         "not calendar",    "carries $TARN",  "repeating child",
        "draft",          "empty UNID",      "no owner",        "error",          "queue write failed",
    };
    static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(Refusal::Count_));
    return kNames[static_cast<size_t>(r)];
}

TARNEventProcessor::Refusal TARNEventProcessor::CaptureStored(EventData& event, const char* origin, bool write,
                                                              bool notify) {
    logLevel.store(config->GetLogLevel(), std::memory_order_relaxed);
    Refusal why = Refusal::None;
    // A refusal without a reason of its own (the task off after a failed reload).
    if (!FilterEvent(event, true, &why)) return why == Refusal::None ? Refusal::Error : why;
    if (!write) return Refusal::None;
    return WriteStored(event, origin, notify) ? Refusal::None : Refusal::WriteFailed;
}

bool TARNEventProcessor::WriteStored(EventData& event, const char* origin, bool notify) {
    if (!queue->WriteToQueue(event, origin)) return false;
    if (notify) SendTransactionNotice(event);
    return true;
}

bool TARNEventProcessor::hasTaskDates(NOTEHANDLE note) {
    if (!ItemPresent(note, "StartDateTime")) {
        tarn::stats::Add(tarn::stats::Count::RefusedNoStartDate);
        Trace(3, "%s", "Filter: FAIL: hasTaskDates: No start date");
        return false;
    }
    if (!ItemPresent(note, "DueDateTime")) {
        tarn::stats::Add(tarn::stats::Count::RefusedNoDueDate);
        Trace(3, "%s", "Filter: FAIL: hasTaskDates: No Due date");
        return false;
    }
    return true;
}

bool TARNEventProcessor::isApptUNIDThisDoc(NOTEHANDLE note, const char* unidText) {
    if (!ItemPresent(note, "ApptUNID")) {
        tarn::stats::Add(tarn::stats::Count::RefusedNoApptUnid);
        return false;
    }
    char value[256] = {};
    NSFItemGetText(note, "ApptUNID", value, sizeof value);
    value[sizeof value - 1] = '\0';
    if (strcmp(value, unidText) == 0) return true;
    tarn::stats::Add(tarn::stats::Count::RefusedDraft);
    Trace(3, "%s", "Filter: FAIL: NOT isApptUNIDThisDoc AKA draft Calendar");
    return false;
}

bool TARNEventProcessor::isRepeatingChild(NOTEHANDLE note) {
    if (ItemPresent(note, "$REF")) {
        tarn::stats::Add(tarn::stats::Count::RefusedRepeatingChild);
        Trace(3, "%s", "Filter: FAIL: Repeating child");
        return true;
    }
    Trace(3, "%s", "Filter: pass: Document is PARENT or SINGLE");
    return false;
}

bool TARNEventProcessor::isValidDeletion(const EventData& event) {
    if (event.eventId != kEventDeletion) return true;
    char text[33];
    FormatUnid(event.unid, text);
    if (strcmp(text, "00000000000000000000000000000000") == 0) {
        tarn::stats::Add(tarn::stats::Count::RefusedEmptyUnid);
        Trace(3, "%s", "Filter: FAIL: deletion with empty\tUNID");
        return false;
    }
    Trace(3, "%s", "Filter: PASS :\tdeletion");
    return true;
}
