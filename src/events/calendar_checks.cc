// The calendar checks of the filter: which documents are appointments,
// tasks and cancellations of this mail file, and whose calendar it is.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/db_handle.h"
#include "base/task_context.h"
#include "events/tarn_event_processor.h"
#include "log/notes_error.h"
#include "log/tarn_log.h"
#include "stats/tarn_stats.h"

namespace {

// Whether a document has the item. A read that fails is no absence: an
// unread $TARN or $REF would let through a change that must be refused. So
// any status but ERR_ITEM_NOT_FOUND (NSFItemInfo) stops the filter, whose
// catch says it at level 1 and refuses the change.
bool ItemPresent(NOTEHANDLE note, const char* name) {
    const STATUS s = NSFItemInfo(note, name, static_cast<WORD>(strlen(name)), nullptr, nullptr, nullptr, nullptr);
    if (s == NOERROR) return true;
    if (ERR(s) == ERR_ITEM_NOT_FOUND) return false;
    char message[256];
    snprintf(message, sizeof message, "Filter: FAIL: item %s could not be read: %s", name, StatusText(s).c_str());
    throw NotesWrapper::notes_error(s, message);
}

}  // namespace

bool TARNEventProcessor::ReadForm(NOTEHANDLE note, EventData& event, char (&form)[256]) {
    if (!ItemPresent(note, "Form")) {
        tarn::stats::Add(tarn::stats::Count::RefusedNoForm);
        session->Log(3, "%s", "Filter: FAIL: No FORM field contained in document");
        return false;
    }
    NSFItemGetText(note, "Form", form, sizeof form);
    form[sizeof form - 1] = '\0';
    CopyBounded(event.form, sizeof event.form, form);
    session->Log(3, "Form:%s", form);
    return true;
}

bool TARNEventProcessor::CalendarFormPasses(NOTEHANDLE note, EventData& event, const char* form,
                                            const char* unidText, bool& cancellation) {
    // The whole text is compared: the record's form is cut to 11 characters.
    if (strcmp(form, "Appointment") == 0) {
        session->Log(3, "%s", "Filter: pass :\tAppointment");
        return true;
    }
    if (strcmp(form, "Task") == 0) return hasTaskDates(note);
    if (strcmp(form, "Notice") != 0 && strcmp(form, "TaskNotice") != 0) {
        tarn::stats::Add(tarn::stats::Count::RefusedNotCalendar);
        session->Log(3, "%s", "Filter: Not Appointment, Task, or Notice");
        return false;
    }
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
        session->Log(3, "%s", "Filter: pass :\tCancellation");
        return true;
    }
    if (!unidChecked) tarn::stats::Add(tarn::stats::Count::RefusedNotCancellation);
    return false;
}

bool TARNEventProcessor::CarriesMarker(NOTEHANDLE note, bool readOnly) {
    if (!ItemPresent(note, "$TARN")) return false;
    // Read only, the marker stays: its document's last change is the
    // processor's own.
    if (!readOnly) {
        NSFItemDelete(note, "$TARN", 5);
        NSFNoteUpdate(note, 0);
        session->Log(3, "%s", "$TARN removed.");
    }
    tarn::stats::Add(tarn::stats::Count::RefusedMarker);
    return true;
}

bool TARNEventProcessor::CalendarDocumentPasses(NOTEHANDLE note, const EventData& event, const char* unidText,
                                                Refusal& reason) {
    if (isRepeatingChild(note)) {
        reason = Refusal::RepeatingChild;
        return false;
    }
    if (!isValidDeletion(event)) {
        reason = Refusal::EmptyUnid;
        return false;
    }
    if (!isApptUNIDThisDoc(note, unidText)) {
        reason = Refusal::Draft;
        return false;
    }
    return true;
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

bool TARNEventProcessor::hasTaskDates(NOTEHANDLE note) {
    if (!ItemPresent(note, "StartDateTime")) {
        tarn::stats::Add(tarn::stats::Count::RefusedNoStartDate);
        session->Log(3, "%s", "Filter: FAIL: hasTaskDates: No start date");
        return false;
    }
    if (!ItemPresent(note, "DueDateTime")) {
        tarn::stats::Add(tarn::stats::Count::RefusedNoDueDate);
        session->Log(3, "%s", "Filter: FAIL: hasTaskDates: No Due date");
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
    session->Log(3, "%s", "Filter: FAIL: NOT isApptUNIDThisDoc AKA draft Calendar");
    return false;
}

bool TARNEventProcessor::isRepeatingChild(NOTEHANDLE note) {
    if (ItemPresent(note, "$REF")) {
        tarn::stats::Add(tarn::stats::Count::RefusedRepeatingChild);
        session->Log(3, "%s", "Filter: FAIL: Repeating child");
        return true;
    }
    session->Log(3, "%s", "Filter: pass: Document is PARENT or SINGLE");
    return false;
}

bool TARNEventProcessor::isValidDeletion(const EventData& event) {
    if (event.eventId != kEventDeletion) return true;
    char text[33];
    FormatUnid(event.unid, text);
    if (strcmp(text, "00000000000000000000000000000000") == 0) {
        tarn::stats::Add(tarn::stats::Count::RefusedEmptyUnid);
        session->Log(3, "%s", "Filter: FAIL: deletion with empty\tUNID");
        return false;
    }
    session->Log(3, "%s", "Filter: PASS :\tdeletion");
    return true;
}
