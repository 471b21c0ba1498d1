// Filters each event and forwards accepted ones to the capture queue and
// the transaction processor.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/event_data.h"
#include "base/notes_capi.h"
#include "base/refusals.h"
#include "transport/auth_type.h"

namespace tarn::stats {
enum class Count : unsigned;
}
class TARNSession;
class TARNConfig;
class TARNQueue;

// The task's connection to the processor and the workers using it; shared
// with the workers so that none outlives what it uses.
struct TransportState;

class TARNEventProcessor {
public:
    TARNEventProcessor();
    ~TARNEventProcessor();
    TARNEventProcessor(const TARNEventProcessor&) = delete;
    TARNEventProcessor& operator=(const TARNEventProcessor&) = delete;

    // Back to the constructed state: the connection is closed.
    void Reset();
    bool Init(TARNSession* owner);

    void ProcessEvent(EventData& event);
    void ProcessDeletedNotes(EventData& event);
    void ProcessEventSingle(EventData& event);

    // Calendar document checks.
    bool hasTaskDates(NOTEHANDLE note);
    bool isApptUNIDThisDoc(NOTEHANDLE note, const char* unidText);
    bool isRepeatingChild(NOTEHANDLE note);
    bool isValidDeletion(const EventData& event);

    // Notices to the transaction processor.
    void openHTTPConnection();
    bool SendTransactionNotice(EventData& event);
    void SendRefreshConfigNotice();
    static AuthType ParseAuthType(const char* text);
    // Waits until every notice handed over was carried, then lets the idle
    // workers go; true when all workers have ended in time (tests, tools).
    // With `letIdleGo` false, true once every live worker is idle.
    bool WaitForNotices(int milliseconds, bool letIdleGo = true);
    // On EM_TERMINATENSF: drops what waits, stops what is in flight and
    // waits, bounded, for every worker to leave; later notices are refused.
    void Terminate();
    // Worker threads started since the last Reset (benchmarks).
    uint64_t NoticeThreadsStarted() const;

    // The configured level, for a caller testing it before a line of level 0.
    int32_t LogLevel() const;

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
    bool FilterEvent(EventData& event, bool readOnly = false, Refusal* why = nullptr);
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
    // Teardown of the transport; keeps the library loaded for workers that
    // outlive the wait when `mayPin` (not possible once unloading), else
    // waits longer for them. True when every worker ended.
    bool StopWorkers(bool mayPin);

    TARNSession* session = nullptr;
    TARNConfig* config = nullptr;
    TARNQueue* queue = nullptr;
    std::shared_ptr<TransportState> transport;
};
