#include "queue/tarn_queue.h"

#include <cstdio>
#include <cstring>

#include "base/task_context.h"
#include "log/notes_error.h"

void TARNQueue::Reset() {
    CloseQueueDb();
    session = nullptr;
    path = "";
    isOpen = false;
}

bool TARNQueue::OpenQueueDb(TaskContext* task, const char* queuePath) {
    session = task;
    path = queuePath;
    const STATUS s = OpenDatabaseInto(database, path);
    isOpen = s == 0;
    if (!isOpen) {
        // Without it the task captures nothing: the administrator must hear of it.
        session->Log(1, "ERROR: TARNQueue::OpenQueueDb :  %s could not be opened (%s): this task captures no change",
                     path, StatusText(s).c_str());
    }
    return isOpen;
}

void TARNQueue::CloseQueueDb() { database.reset(); }

STATUS TARNQueue::WriteItems(NOTEHANDLE note, const EventData& event, const char* origin, const char** failedItem) {
    auto text = [&](const char* name, const char* value, size_t length) {
        return NSFItemAppend(note, ITEM_SUMMARY, name, static_cast<WORD>(strlen(name)), TYPE_TEXT, value,
                             static_cast<DWORD>(length));
    };
    const NUMBER action = event.eventId == kEventDeletion ? 1.0 : 0.0;
    const NUMBER status = 0.0;
    char noteId[16];
    snprintf(noteId, sizeof noteId, "%08lX", static_cast<unsigned long>(event.noteId));
    char unid[33];
    FormatUnid(event.unid, unid);
    STATUS s = 0;
    // The first failure ends the write; its item is named in the line.
    auto step = [&](const char* name, STATUS result) {
        if (s == 0 && result != 0) {
            s = result;
            *failedItem = name;
        }
        return s == 0;
    };
    step("Action", NSFItemSetNumber(note, "Action", &action)) && step("Status", NSFItemSetNumber(note, "Status", &status)) &&
        step("CalDbPath", text("CalDbPath", event.dbPath, strnlen(event.dbPath, 255))) &&
        step("CalNoteID", text("CalNoteID", noteId, strlen(noteId))) &&
        step("CalUNID", text("CalUNID", unid, 32)) &&
        step("CalForm", text("CalForm", event.form, strnlen(event.form, sizeof event.form - 1))) &&
        step("CalUserName", text("CalUserName", event.owner, strnlen(event.owner, 255))) &&
        (!origin || step("Origin", text("Origin", origin, strlen(origin))));
    return s;
}

bool TARNQueue::WriteToQueue(EventData& event, const char* origin) {
    if (!isOpen) {
        session->Log(1, "%s", "ERROR: TARNQueue::WriteToQueue :  QDb NOT open");
        return false;
    }
    session->Log(3, "%s", "TARNQueue::WriteToQueue :  QDb Open");
    // The handle opened at start-up belongs to the loading thread: this
    // server thread writes through its own, closed before it returns, and
    // so is the note made in it (declared after, closed first).
    DbHandle db;
    if (STATUS s = ReopenDatabaseInto(db, database.get())) {
        session->Log(1, "ERROR: TARNQueue::WriteToQueue :  %s could not be reopened (%s): change of note %08lX in %s not queued",
                     path, StatusText(s).c_str(), static_cast<unsigned long>(event.noteId), event.dbPath);
        return false;
    }
    // Closing an unsaved note leaves nothing in the capture database.
    NoteHandle note;
    if (CreateNoteInto(note, db.get()) != 0) {
        session->Log(1, "%s", "ERROR: TARNQueue::WriteToQueue :  Could NOT write to DTC queue");
        return false;
    }
    session->Log(3, "%s", "TARNQueue::WriteToQueue :  Created Q note Ok");
    const char* failedItem = "";
    if (STATUS s = WriteItems(note.get(), event, origin, &failedItem)) {
        // Reason first: a long path is what gets cut.
        session->Log(1, "ERROR: TARNQueue::WriteToQueue :  item %s not written (%s): change of note %08lX in %s not queued",
                     failedItem, StatusText(s).c_str(), static_cast<unsigned long>(event.noteId), event.dbPath);
        return false;
    }
    // Every item of the capture note is a summary item, and summary data is
    // written to disk even without a commit: the note is durable as saved.
    if (NSFNoteUpdate(note.get(), UPDATE_NOCOMMIT) != 0) {
        session->Log(1, "%s", "TARNQueue::WriteToQueue :  Error occured when saving Note to queue.");
        return false;
    }
    session->Log(3, "%s", "TARNQueue::WriteToQueue :  Saved queue note ok");
    NOTEID saved = 0;
    NSFNoteGetInfo(note.get(), _NOTE_ID, &saved);
    event.queueNoteId = saved;
    return true;
}
