// The record of one event, from the callback through the filter to the
// queue writer and the notice. Cleared (Clear below), then filled.
#pragma once

#include <cstdint>

#include "base/notes_capi.h"

// A field added here is added to Clear as well.
struct EventData {
    uint16_t status;
    uint16_t result;
    uint32_t noteId;
    uint32_t unid[4];  // file word 1, file word 2, note word 1, note word 2
    uint16_t eventId;  // 47, 102 or 24 as handed over; 8 means a deletion
    uint8_t isBefore;
    NOTEHANDLE noteHandle;
    DBHANDLE dbHandle;
    uint32_t updateFlags;
    uint16_t noteClass;
    char dbPath[256];
    uint32_t queueNoteId;
    char form[12];
    uint8_t isDeleteNotes;
    DHANDLE deletedIdTable;
    char owner[256];
};

constexpr uint16_t kEventDeletion = 8;

// Every number zero and every text empty. The texts' tails are left as they
// are: each is read only up to its terminator, and the callback clears a
// record on every event, most of them refused before any text is written.
inline void Clear(EventData& e) {
    e.status = {};
    e.result = {};
    e.noteId = {};
    for (uint32_t& w : e.unid) w = 0;
    e.eventId = {};
    e.isBefore = {};
    e.noteHandle = {};
    e.dbHandle = {};
    e.updateFlags = {};
    e.noteClass = {};
    e.dbPath[0] = '\0';
    e.queueNoteId = {};
    for (char& c : e.form) c = '\0';
    e.isDeleteNotes = {};
    e.deletedIdTable = {};
    e.owner[0] = '\0';
}

// "%08X%08X%08X%08X" of words 2, 1, 4, 3: 32 upper-case digits.
void FormatUnid(const uint32_t unid[4], char out[33]);
