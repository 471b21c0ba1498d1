#include "queue/tarn_queue.h"

#include <cstdio>
#include <cstring>

#include "config/tarn_config.h"
#include "host/tarn_session.h"

using namespace notes;

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
        return AppendItem(note, ITEM_SUMMARY, name, static_cast<uint16_t>(strlen(name)), TYPE_TEXT, value,
                          static_cast<uint32_t>(length)) == 0;
    };
    const double action = event.eventId == kEventDeletion ? 1.0 : 0.0;
    const double status = 0.0;
    char noteId[16];
    snprintf(noteId, sizeof noteId, "%08lX", static_cast<unsigned long>(event.noteId));
    char unid[33];
    FormatUnid(event.unid, unid);
    return SetItemNumber(note, "Action", &action) == 0 && SetItemNumber(note, "Status", &status) == 0 &&
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
    if (CreateNote(database.get(), &note) != 0) {
        session->Log(1, "%s", "ERROR: TARNQueue::WriteToQueue :  Could NOT write to DTC queue");
        return false;
    }
    if (level == 3) session->Log(0, "%s", "TARNQueue::WriteToQueue :  Created Q note Ok");
    if (!WriteItems(note, event)) {
        CloseNote(note);  // unsaved: nothing is left in the capture database
        return false;
    }
    if (UpdateNote(note, ITEM_SUMMARY) != 0) {
        session->Log(1, "%s", "TARNQueue::WriteToQueue :  Error occured when saving Note to queue.");
        CloseNote(note);
        return false;
    }
    if (level == 3) session->Log(0, "%s", "TARNQueue::WriteToQueue :  Saved queue note ok");
    NOTEID saved = 0;
    GetNoteInfo(note, NOTE_ID, &saved);
    event.queueNoteId = saved;
    CloseNote(note);
    return true;
}
