// Filters each event and forwards accepted ones to the capture queue and
// the transaction processor.
#pragma once

#include <cstdint>

#include "base/event_data.h"
#include "base/notes_capi.h"
#include "base/refusals.h"

namespace tarn::stats {
enum class Count : unsigned;
}
class TaskContext;
class TARNConfig;
class TARNQueue;
class NoticeTransport;

class TARNEventProcessor {
public:
    TARNEventProcessor() = default;
    TARNEventProcessor(const TARNEventProcessor&) = delete;
    TARNEventProcessor& operator=(const TARNEventProcessor&) = delete;

    // Back to the constructed state.
    void Reset();
    // What it works with, all the task's: the task itself (log and state
    // changes), the configuration, the capture queue and the notices.
    bool Init(TaskContext* task, TARNConfig* taskConfig, TARNQueue* taskQueue, NoticeTransport* notices);

    // `alertsOnly`: the task is off after a failed reload and looks at the
    // event only for an alert.
    void ProcessEvent(EventData& event, bool alertsOnly = false);
    void ProcessDeletedNotes(EventData& event, bool alertsOnly = false);
    void ProcessEventSingle(EventData& event, bool alertsOnly = false);

    // Calendar document checks.
    bool hasTaskDates(NOTEHANDLE note);
    bool isApptUNIDThisDoc(NOTEHANDLE note, const char* unidText);
    bool isRepeatingChild(NOTEHANDLE note);
    bool isValidDeletion(const EventData& event);

    // Notices to the transaction processor, handed to the transport: the
    // captured change or deletion of the record's queue note; the refresh.
    bool SendTransactionNotice(const EventData& event);
    void SendRefreshConfigNotice();

    // Why the filter refused a document (tools name it; the callback does not ask).
    // What a caller is told of a change (base/refusals.h).
#define TARN_REFUSAL_ENUM(id, tally, loss) id,
    enum class Refusal : uint8_t { TARN_REFUSALS(TARN_REFUSAL_ENUM) Count_ };
#undef TARN_REFUSAL_ENUM
    // Its name in resync's tallies.
    static const char* RefusalName(Refusal r);
    // A failure to read or write the change rather than a judgment on it.
    static bool IsLoss(Refusal r);
    // A stored document run through the filter and the calendar checks outside
    // an event (resync): nothing on the document is changed (a document still
    // carrying the marker is refused as Marker). An accepted one is written to
    // the capture queue with the item Origin = origin unless `write` is false,
    // and announced only when `notify`. The record names the open note, its
    // database and id, and the event id the filter is to see.
    Refusal CaptureStored(EventData& event, const char* origin, bool write, bool notify);
    // Writes a record the caller filled (a deletion stub, which keeps no
    // items to filter) as CaptureStored does.
    bool WriteStored(EventData& event, const char* origin, bool notify);
    // The mail file's CalendarProfile Owner into event.owner, as the filter
    // reads it; false (with the filter's line) when there is none.
    bool ReadCalendarOwner(EventData& event);

private:
    bool FilterEvent(EventData& event, bool readOnly = false, Refusal* why = nullptr, bool alertsOnly = false);
    // A check refused the change: its statistic moves and its line, if it
    // has a fixed one, is written. Answers the check's outcome.
    Refusal Refuse(tarn::stats::Count check);
    // The filter's steps, in the order it takes them.
    void HandleConfigAlert(const EventData& event);
    bool InServedMailFile(EventData& event, Refusal& reason);
    // The Form item, whole into form and cut into the record.
    bool ReadForm(NOTEHANDLE note, EventData& event, char (&form)[256]);
    // Appointment, task with dates, or cancellation notice (the record then
    // becomes a deletion and cancellation is set).
    bool CalendarFormPasses(NOTEHANDLE note, EventData& event, const char* form, const char* unidText,
                            bool& cancellation);
    // Refuses a document carrying $TARN, removing the marker unless readOnly.
    bool CarriesMarker(NOTEHANDLE note, bool readOnly);
    // Not a repeating child, not an empty-UNID deletion, not a draft.
    bool CalendarDocumentPasses(NOTEHANDLE note, const EventData& event, const char* unidText, Refusal& reason);
    void CompleteEventFromNote(EventData& event);
    void CountCapture(const EventData& event);

    TaskContext* session = nullptr;
    TARNConfig* config = nullptr;
    TARNQueue* queue = nullptr;
    NoticeTransport* transport = nullptr;
};
