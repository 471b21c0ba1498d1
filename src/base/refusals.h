// Why the filter refuses a change: one table for the statistics, the
// console lines and resync's tallies.
//
// Two lists of one relation, because the two sides count different things.
// TARN_REFUSAL_CHECKS has a row per check that can refuse, each with its
// statistic (TARN.Events.Refused.<name>, exactly one moved per refusal)
// and the line the check writes at level 3 (nullptr where the check writes
// one with the details of the failure, or none). TARN_REFUSALS has a row per
// outcome a caller is told of (what resync tallies, by its name): several
// checks end in one outcome (a task without dates or a notice of no known
// type is "not calendar"), the task being off has no outcome of its own
// (the caller takes it as "error"), and "accepted" and "queue write failed"
// are outcomes that are no refusal of the filter, so no Events.Refused
// statistic. A check's outcome column is the one it ends in on its own; a
// refused cancellation notice ends in "not calendar" whatever check refused
// it (its ApptUNID missing or another document's).
#pragma once

// X(statistic, published name after "Events.Refused.", outcome, line)
#define TARN_REFUSAL_CHECKS(X)                                                                  \
    X(NotDocument, "NotDocument", NotDocument, "Filter: FAIL: Note NOT a Document")             \
    X(Alert, "Alert", AlertsDb, nullptr)                                                        \
    X(Off, "Off", Error, nullptr)                                                               \
    X(Excluded, "Excluded", Excluded, "Filter: FAIL: Excluded db being updated")                \
    X(NotUser, "NotUser", NotUser, "Filter: FAIL: Not a TARN\tuser mail file")                  \
    X(Unreadable, "Unreadable", NotOpened, nullptr)                                             \
    X(NoForm, "NoForm", NoForm, "Filter: FAIL: No FORM field contained in document")            \
    X(NotCalendar, "NotCalendar", NotCalendar, "Filter: Not Appointment, Task, or Notice")      \
    X(NotCancellation, "NotCancellation", NotCalendar, nullptr)                                 \
    X(NoStartDate, "NoStartDate", NotCalendar, "Filter: FAIL: hasTaskDates: No start date")     \
    X(NoDueDate, "NoDueDate", NotCalendar, "Filter: FAIL: hasTaskDates: No Due date")           \
    X(Marker, "Marker", Marker, nullptr)                                                        \
    X(RepeatingChild, "RepeatingChild", RepeatingChild, "Filter: FAIL: Repeating child")        \
    X(EmptyUnid, "EmptyUNID", EmptyUnid, "Filter: FAIL: deletion with empty\tUNID")             \
    X(NoApptUnid, "NoApptUNID", Draft, nullptr)                                                 \
    X(Draft, "Draft", Draft, "Filter: FAIL: NOT isApptUNIDThisDoc AKA draft Calendar")          \
    X(NoOwner, "NoOwner", NoOwner, nullptr)                                                     \
    X(Error, "Error", Error, nullptr)

// X(outcome, resync's tally name, loss): a loss is no judgment on the
// document but a failure to read it (its note, an item, the owner's
// profile) or to write its queue note; the change is lost unless the span
// is taken up again.
#define TARN_REFUSALS(X)                               \
    X(None, "accepted", false)                         \
    X(NotDocument, "not a document", false)            \
    X(AlertsDb, "alerts database", false)              \
    X(Excluded, "excluded", false)                     \
    X(NotUser, "not a user mail file", false)          \
    X(NotOpened, "not opened", true)                   \
    X(NoForm, "no form", false)                        \
    X(NotCalendar, "not calendar", false)              \
    X(Marker, "carries $TARN", false)                  \
    X(RepeatingChild, "repeating child", false)        \
    X(Draft, "draft", false)                           \
    X(EmptyUnid, "empty UNID", false)                  \
    X(NoOwner, "no owner", true)                       \
    X(Error, "error", true)                            \
    X(WriteFailed, "queue write failed", true)
