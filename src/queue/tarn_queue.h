// Writes one capture-queue note per accepted event.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/db_handle.h"
#include "host/event_data.h"

class TARNSession;
class TARNConfig;

class TARNQueue {
public:
    void Reset();
    bool OpenQueueDb(TARNSession* owner);
    void CloseQueueDb();
    // True when the note was saved; its id is then in event.queueNoteId.
    bool WriteToQueue(EventData& event);
    bool IsOpen() const { return isOpen; }

private:
    // 0, or the status of the first item that could not be written.
    STATUS WriteItems(NOTEHANDLE note, const EventData& event, const char** failedItem);

    TARNSession* session = nullptr;
    TARNConfig* config = nullptr;
    DbHandle database;
    bool isOpen = false;
    std::atomic<int32_t> logLevel{1};
};
