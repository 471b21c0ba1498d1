// Writes one capture-queue note per accepted event.
#pragma once

#include <cstdint>

#include "base/db_handle.h"
#include "base/event_data.h"

class TaskContext;

class TARNQueue {
public:
    void Reset();
    // The capture-queue database at `path` (kept: it names the database in
    // the lines); its lines go to the task.
    bool OpenQueueDb(TaskContext* task, const char* path);
    void CloseQueueDb();
    // True when the note was saved; its id is then in event.queueNoteId.
    // With an origin (a tool's capture, not an event's) the note carries an
    // eighth item, Origin, naming it.
    bool WriteToQueue(EventData& event, const char* origin = nullptr);

private:
    // 0, or the status of the first item that could not be written.
    STATUS WriteItems(NOTEHANDLE note, const EventData& event, const char* origin, const char** failedItem);

    TaskContext* session = nullptr;
    const char* path = "";
    DbHandle database;
    bool isOpen = false;
};
