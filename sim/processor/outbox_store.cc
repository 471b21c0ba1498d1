// The capture queue through the host's note operations. Kept in this one
// file so that moving the processor to another host touches nothing else.
#include "processor/outbox_store.h"

#include <filesystem>

#include "emu/emulator.h"

namespace fs = std::filesystem;

namespace tarnsim {
namespace {

// Statuses that mean the note is not there, as opposed to a host failure.
constexpr notes::STATUS kBadNoteId = 0x0226;
constexpr notes::STATUS kNoteDeleted = 0x0225;

std::string Describe(const char* what, notes::STATUS s) {
    char text[200];
    notes::LoadStatusString(0, s, text, sizeof text);
    char code[16];
    snprintf(code, sizeof code, " (0x%04X)", s);
    return std::string(what) + ": " + text + code;
}

StoreResult Fail(const char* what, notes::STATUS s, std::string* why) {
    if (why) *why = Describe(what, s);
    return s == kBadNoteId || s == kNoteDeleted ? StoreResult::Missing : StoreResult::Failed;
}

std::string Text(notes::NOTEHANDLE note, const char* name) {
    char buffer[256];
    notes::GetItemText(note, name, buffer, sizeof buffer);
    return buffer;
}

// Closes the note on every way out.
struct OpenedNote {
    notes::NOTEHANDLE h = 0;
    ~OpenedNote() {
        if (h) notes::CloseNote(h);
    }
};

}  // namespace

bool SelectDataDirectory(const std::string& dir, std::string* why) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        if (why) *why = "the data directory " + dir + " does not exist";
        return false;
    }
    emu::SetDataDirectory(dir);
    if (!fs::is_regular_file(emu::FilePathFor(kCaptureQueuePath), ec)) {
        if (why) *why = dir + " holds no capture queue (" + kCaptureQueuePath + ")";
        return false;
    }
    return true;
}

OutboxStore::~OutboxStore() { Close(); }

bool OutboxStore::Open(std::string* why) {
    std::lock_guard lock(mutex);
    if (db) return true;
    notes::DBHANDLE h = 0;
    if (notes::STATUS s = notes::OpenDatabase(kCaptureQueuePath, &h)) {
        if (why) *why = Describe("open brackwater\\qcapture.nsf", s);
        return false;
    }
    db = h;
    return true;
}

void OutboxStore::Close() {
    std::lock_guard lock(mutex);
    if (db) notes::CloseDatabase(db);
    db = 0;
}

notes::DBHANDLE OutboxStore::Handle() {
    std::lock_guard lock(mutex);
    return db;
}

StoreResult OutboxStore::Read(uint32_t id, QueueNote* out, std::string* why) {
    OpenedNote note;
    if (notes::STATUS s = notes::OpenNote(Handle(), id, 0, &note.h)) return Fail("open note", s, why);
    uint16_t noteClass = 0;
    notes::GetNoteInfo(note.h, notes::NOTE_CLASS, &noteClass);
    uint16_t type = 0;
    // Only what the add-in writes is a queue note: a document with a numeric Status.
    if (noteClass != notes::NOTE_CLASS_DOCUMENT || notes::ItemInfo(note.h, "Status", 6, &type, nullptr) != 0 ||
        type != notes::TYPE_NUMBER) {
        if (why) *why = "not a queue note";
        return StoreResult::Missing;
    }
    out->id = id;
    out->status = notes::GetItemLong(note.h, "Status", 0);
    out->deletion = notes::GetItemLong(note.h, "Action", 0) == 1;
    out->dbPath = Text(note.h, "CalDbPath");
    out->noteId = Text(note.h, "CalNoteID");
    out->unid = Text(note.h, "CalUNID");
    out->form = Text(note.h, "CalForm");
    out->userName = Text(note.h, "CalUserName");
    return StoreResult::Ok;
}

StoreResult OutboxStore::MarkHandled(uint32_t id, std::string* why) {
    OpenedNote note;
    if (notes::STATUS s = notes::OpenNote(Handle(), id, 0, &note.h)) return Fail("open note", s, why);
    const double handled = kStatusHandled;
    if (notes::STATUS s = notes::SetItemNumber(note.h, "Status", &handled)) return Fail("set Status", s, why);
    if (notes::STATUS s = notes::UpdateNote(note.h, 0)) return Fail("save note", s, why);
    return StoreResult::Ok;
}

StoreResult OutboxStore::Pending(std::vector<uint32_t>* ids, std::string* why) {
    // The host's read-back of a whole database: ascending note ids.
    std::vector<emu::NoteDump> all;
    if (notes::STATUS s = emu::DumpNotes(kCaptureQueuePath, &all)) return Fail("read the capture queue", s, why);
    ids->clear();
    for (const auto& n : all) {
        if (n.noteClass != notes::NOTE_CLASS_DOCUMENT) continue;
        for (const auto& item : n.items) {
            if (item.name != "Status") continue;
            if (item.type == notes::TYPE_NUMBER && !item.numbers.empty() && item.numbers[0] != kStatusHandled)
                ids->push_back(n.id);
            break;
        }
    }
    return StoreResult::Ok;
}

}  // namespace tarnsim
