// The capture queue through the host's note operations. Kept in this one
// file so that moving the processor to another host touches nothing else.
#include "processor/outbox_store.h"

#include <cstdio>
#include <filesystem>

#include "emu/emulator.h"
#include "emu/status_text.h"

namespace fs = std::filesystem;

namespace tarnsim {
namespace {

// Statuses that mean the note is not there, as opposed to a host failure.
constexpr STATUS kBadNoteId = emu::err::BAD_NOTEID;
constexpr STATUS kNoteDeleted = emu::err::NOTE_DELETED;

std::string Describe(const char* what, STATUS s) {
    char code[16];
    snprintf(code, sizeof code, " (0x%04X)", s);
    return std::string(what) + ": " + emu::StatusText(s) + code;
}

StoreResult Fail(const char* what, STATUS s, std::string* why) {
    if (why) *why = Describe(what, s);
    return s == kBadNoteId || s == kNoteDeleted ? StoreResult::Missing : StoreResult::Failed;
}

std::string Text(NOTEHANDLE note, const char* name) {
    char buffer[256];
    const WORD n = NSFItemGetText(note, name, buffer, sizeof buffer - 1);
    buffer[n < sizeof buffer ? n : sizeof buffer - 1] = '\0';
    return buffer;
}

// Closes the note on every way out.
struct OpenedNote {
    NOTEHANDLE h = 0;
    ~OpenedNote() {
        if (h) NSFNoteClose(h);
    }
};

// The calling thread's own handle on the capture queue, closed on every way
// out by the thread that took it: handles belong to the thread that opened
// them, and the processor's requests and sweeps run on threads of their own.
struct ThreadCopy {
    DBHANDLE h = 0;
    ~ThreadCopy() {
        if (h) NSFDbClose(h);
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
    DBHANDLE h = 0;
    if (STATUS s = NSFDbOpen(kCaptureQueuePath, &h)) {
        if (why) *why = Describe("open brackwater\\qcapture.nsf", s);
        return false;
    }
    db = h;
    return true;
}

void OutboxStore::Close() {
    std::lock_guard lock(mutex);
    if (db) NSFDbClose(db);
    db = 0;
}

STATUS OutboxStore::Reopen(DBHANDLE* own) {
    std::lock_guard lock(mutex);
    if (!db) return emu::err::INVALID_HANDLE;
    return NSFDbReopen(db, own);
}

StoreResult OutboxStore::Read(uint32_t id, QueueNote* out, std::string* why) {
    ThreadCopy queue;
    if (STATUS s = Reopen(&queue.h)) return Fail("reopen the capture queue", s, why);
    OpenedNote note;
    if (STATUS s = NSFNoteOpen(queue.h, id, 0, &note.h)) return Fail("open note", s, why);
    WORD noteClass = 0;
    NSFNoteGetInfo(note.h, _NOTE_CLASS, &noteClass);
    WORD type = 0;
    // Only what the add-in writes is a queue note: a document with a numeric Status.
    if (noteClass != NOTE_CLASS_DOCUMENT || NSFItemInfo(note.h, "Status", 6, nullptr, &type, nullptr, nullptr) != 0 ||
        type != TYPE_NUMBER) {
        if (why) *why = "not a queue note";
        return StoreResult::Missing;
    }
    out->id = id;
    out->status = NSFItemGetLong(note.h, "Status", 0);
    out->deletion = NSFItemGetLong(note.h, "Action", 0) == 1;
    out->dbPath = Text(note.h, "CalDbPath");
    out->noteId = Text(note.h, "CalNoteID");
    out->unid = Text(note.h, "CalUNID");
    out->form = Text(note.h, "CalForm");
    out->userName = Text(note.h, "CalUserName");
    return StoreResult::Ok;
}

StoreResult OutboxStore::MarkHandled(uint32_t id, std::string* why) {
    ThreadCopy queue;
    if (STATUS s = Reopen(&queue.h)) return Fail("reopen the capture queue", s, why);
    OpenedNote note;
    if (STATUS s = NSFNoteOpen(queue.h, id, 0, &note.h)) return Fail("open note", s, why);
    const NUMBER handled = kStatusHandled;
    if (STATUS s = NSFItemSetNumber(note.h, "Status", &handled)) return Fail("set Status", s, why);
    if (STATUS s = NSFNoteUpdate(note.h, 0)) return Fail("save note", s, why);
    return StoreResult::Ok;
}

StoreResult OutboxStore::Pending(std::vector<uint32_t>* ids, std::string* why) {
    // The host's read-back of a whole database: ascending note ids.
    std::vector<emu::NoteDump> all;
    if (STATUS s = emu::DumpNotes(kCaptureQueuePath, &all)) return Fail("read the capture queue", s, why);
    ids->clear();
    for (const auto& n : all) {
        if (n.noteClass != NOTE_CLASS_DOCUMENT) continue;
        for (const auto& item : n.items) {
            if (item.name != "Status") continue;
            if (item.type == TYPE_NUMBER && !item.numbers.empty() && item.numbers[0] != kStatusHandled)
                ids->push_back(n.id);
            break;
        }
    }
    return StoreResult::Ok;
}

}  // namespace tarnsim
