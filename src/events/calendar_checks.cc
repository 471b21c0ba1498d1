// The calendar checks of the filter: which documents are appointments,
// tasks and cancellations of this mail file, and whose calendar it is.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/db_handle.h"
#include "base/note_items.h"
#include "base/profile_field.h"
#include "base/task_context.h"
#include "events/tarn_event_processor.h"
#include "log/notes_error.h"
#include "log/tarn_log.h"
#include "stats/tarn_stats.h"

namespace {

// A failed look at an item stops the filter (base/note_items.h), whose catch
// says it at level 1 and refuses the change.
bool Has(NOTEHANDLE note, const char* name) { return ItemPresent(note, name, "Filter: FAIL: "); }

}  // namespace

bool TARNEventProcessor::ReadForm(NOTEHANDLE note, EventData& event, char (&form)[256]) {
    if (!Has(note, "Form")) {
        Refuse(tarn::stats::Count::RefusedNoForm);
        return false;
    }
    ReadTextItem(note, "Form", form);
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
        Refuse(tarn::stats::Count::RefusedNotCalendar);
        return false;
    }
    bool unidChecked = false;  // a failed check counts its own reason
    if (event.eventId == EM_NSFNOTEUPDATEXTENDED && Has(note, "NoticeType")) {
        char type[2];  // at most one character and the terminator
        ReadTextItem(note, "NoticeType", type);
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
    if (!unidChecked) Refuse(tarn::stats::Count::RefusedNotCancellation);
    return false;
}

bool TARNEventProcessor::CarriesMarker(NOTEHANDLE note, bool readOnly) {
    if (!Has(note, "$TARN")) return false;
    // Read only, the marker stays: its document's last change is the
    // processor's own.
    if (!readOnly) {
        NSFItemDelete(note, "$TARN", 5);
        NSFNoteUpdate(note, 0);
        session->Log(3, "%s", "$TARN removed.");
    }
    Refuse(tarn::stats::Count::RefusedMarker);
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
    const ProfileText read = ReadProfileText(event.dbHandle, "CalendarProfile", "Owner", event.owner, sizeof event.owner);
    if (read == ProfileText::Ok) return true;
    Refuse(tarn::stats::Count::RefusedNoOwner);
    if (read == ProfileText::NoProfile) {
        session->Log(1, "%s", "Error: Calendar Profile not found.");
        return false;
    }
    // An accepted change is about to be dropped: say which and why.
    session->Log(1, "Error: Calendar Profile Owner %s: change of note %08lX in %s not queued",
                 ProfileTextProblem(read), static_cast<unsigned long>(event.noteId), event.dbPath);
    return false;
}

bool TARNEventProcessor::hasTaskDates(NOTEHANDLE note) {
    if (!Has(note, "StartDateTime")) {
        Refuse(tarn::stats::Count::RefusedNoStartDate);
        return false;
    }
    if (!Has(note, "DueDateTime")) {
        Refuse(tarn::stats::Count::RefusedNoDueDate);
        return false;
    }
    return true;
}

bool TARNEventProcessor::isApptUNIDThisDoc(NOTEHANDLE note, const char* unidText) {
    if (!Has(note, "ApptUNID")) {
        Refuse(tarn::stats::Count::RefusedNoApptUnid);
        return false;
    }
    char value[256];
    ReadTextItem(note, "ApptUNID", value);
    if (strcmp(value, unidText) == 0) return true;
    Refuse(tarn::stats::Count::RefusedDraft);
    return false;
}

bool TARNEventProcessor::isRepeatingChild(NOTEHANDLE note) {
    if (Has(note, "$REF")) {
        Refuse(tarn::stats::Count::RefusedRepeatingChild);
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
        Refuse(tarn::stats::Count::RefusedEmptyUnid);
        return false;
    }
    session->Log(3, "%s", "Filter: PASS :\tdeletion");
    return true;
}
