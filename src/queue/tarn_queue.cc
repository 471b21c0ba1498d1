#include "queue/tarn_queue.h"

#include <cstdio>
#include <cstring>

#include "config/tarn_config.h"
#include "host/tarn_session.h"

void TARNQueue::Reset() {
    CloseQueueDb();
    session = nullptr;
    config = nullptr;
    isOpen = false;
    logLevel = 1;
}

bool TARNQueue::OpenQueueDb(TARNSession* owner) {
    session = owner;
    config = owner->GetConfig();
    isOpen = OpenDatabaseInto(database, TARNConfig::GetQueueDbPath()) == 0;
    return isOpen;
}

void TARNQueue::CloseQueueDb() { database.reset(); }

bool TARNQueue::WriteItems(NOTEHANDLE note, const EventData& event) {
    auto text = [&](const char* name, const char* value, size_t length) {
        return NSFItemAppend(note, ITEM_SUMMARY, name, static_cast<WORD>(strlen(name)), TYPE_TEXT, value,
                             static_cast<DWORD>(length)) == NOERROR;
    };
    const NUMBER action = event.eventId == kEventDeletion ? 1.0 : 0.0;
    const NUMBER status = 0.0;
    char noteId[16];
    snprintf(noteId, sizeof noteId, "%08lX", static_cast<unsigned long>(event.noteId));
    char unid[33];
    FormatUnid(event.unid, unid);
    return NSFItemSetNumber(note, "Action", &action) == NOERROR && NSFItemSetNumber(note, "Status", &status) == NOERROR &&
           text("CalDbPath", event.dbPath, strnlen(event.dbPath, 255)) &&
           text("CalNoteID", noteId, strlen(noteId)) && text("CalUNID", unid, 32) &&
           text("CalForm", event.form, strnlen(event.form, sizeof event.form - 1)) &&
           text("CalUserName", event.owner, strnlen(event.owner, 255));
}

bool TARNQueue::WriteToQueue(EventData& event) {
    const int32_t level = config ? config->GetLogLevel() : 1;
    logLevel.store(level, std::memory_order_relaxed);
    if (!isOpen) {
        session->Log(1, "%s", "ERROR: TARNQueue::WriteToQueue :  QDb NOT open");
        return false;
    }
    if (level == 3) session->Log(0, "%s", "TARNQueue::WriteToQueue :  QDb Open");
    NOTEHANDLE note = 0;
    if (NSFNoteCreate(database.get(), &note) != 0) {
        session->Log(1, "%s", "ERROR: TARNQueue::WriteToQueue :  Could NOT write to DTC queue");
        return false;
    }
    if (level == 3) session->Log(0, "%s", "TARNQueue::WriteToQueue :  Created Q note Ok");
    if (!WriteItems(note, event)) {
        NSFNoteClose(note);  // unsaved: nothing is left in the capture database
        return false;
    }
    if (NSFNoteUpdate(note, ITEM_SUMMARY) != 0) {
        session->Log(1, "%s", "TARNQueue::WriteToQueue :  Error occured when saving Note to queue.");
        NSFNoteClose(note);
        return false;
    }
    if (level == 3) session->Log(0, "%s", "TARNQueue::WriteToQueue :  Saved queue note ok");
    NOTEID saved = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &saved);
    event.queueNoteId = saved;
    NSFNoteClose(note);
    return true;
}
