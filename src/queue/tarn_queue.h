// Writes one capture-queue note per accepted event.
#pragma once

#include <cstdint>

#include "base/db_handle.h"
#include "base/event_data.h"

class TaskContext;
class TARNConfig;

class TARNQueue {
public:
    void Reset();
    // The queue database the configuration names; its lines go to the task.
    bool OpenQueueDb(TaskContext* task, const TARNConfig* taskConfig);
    void CloseQueueDb();
    // True when the note was saved; its id is then in event.queueNoteId.
    // With an origin (a tool's capture, not an event's) the note carries an
    // eighth item, Origin, naming it.
    bool WriteToQueue(EventData& event, const char* origin = nullptr);

private:
    // 0, or the status of the first item that could not be written.
    STATUS WriteItems(NOTEHANDLE note, const EventData& event, const char* origin, const char** failedItem);

    TaskContext* session = nullptr;
    const TARNConfig* config = nullptr;
    DbHandle database;
    bool isOpen = false;
};
