// Note handles: open, create, close, save (raising the update events as a
// server does) and the note's header information.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "emu/store.h"

namespace emu {
namespace {

std::mutex gSavesMutex;
// (database file, note id) -> its last save.
std::map<std::pair<std::string, NOTEID>, SaveInfo> gSaves;

// Raises the update's events with the core function's own arguments: the
// note handle, then the flags (a WORD, promoted to int through "...", for
// NSFNoteUpdate; a DWORD for NSFNoteUpdateExtended).
STATUS RaiseUpdate(EID eventId, WORD type, STATUS status, NOTEHANDLE handle, DWORD flags) {
    if (eventId == EM_NSFNOTEUPDATE) return DispatchEm(eventId, type, status, handle, static_cast<WORD>(flags));
    return DispatchEm(eventId, type, status, handle, flags);
}

// The flags the toolkit defines (the C API reference, UPDATE_xxx): 16-bit ones
// for NSFNoteUpdate, and the 32-bit UPDATE_SHARE_SECOND and
// UPDATE_SHARE_OBJECTS for NSFNoteUpdateExtended only.
constexpr DWORD kUpdateFlags = UPDATE_FORCE | UPDATE_NAME_KEY_WARNING | UPDATE_NOCOMMIT | UPDATE_NOREVISION |
                               UPDATE_NOSTUB | UPDATE_INCREMENTAL | UPDATE_DELETED;
constexpr DWORD kExtendedUpdateFlags = kUpdateFlags | UPDATE_SHARE_SECOND | UPDATE_SHARE_OBJECTS;

// Non-summary items saved with UPDATE_NOCOMMIT and not flushed since:
// database file -> note id -> item names (lower case).
std::mutex gUncommittedMutex;
std::map<std::string, std::map<NOTEID, std::set<std::string>>> gUncommitted;

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The C API reference (UPDATE_NOCOMMIT): no flush to disk after the update;
// non-summary data can be lost, summary data is always written. A save
// without it flushes the whole database, as a close does.
void TrackCommit(const Note& note, DWORD flags) {
    std::lock_guard lock(gUncommittedMutex);
    if (!(flags & UPDATE_NOCOMMIT)) {
        gUncommitted.erase(note.db->file);
        return;
    }
    if (flags & UPDATE_DELETED) return;
    auto& names = gUncommitted[note.db->file][note.id];
    for (const Item& it : note.items) {
        if (it.flags & ITEM_SUMMARY)
            names.erase(Lower(it.name));
        else
            names.insert(Lower(it.name));
    }
}

// The core of a save: the note written, or its deletion stub.
STATUS StoreUpdate(Note& note, DWORD flags) {
    if (!(flags & UPDATE_DELETED)) return Store(*note.db, note);
    Database& db = *note.db;
    std::lock_guard lock(db.mutex);
    STATUS s;
    if (!note.id) {
        s = err::BAD_NOTEID;
    } else if (!Exec(db.conn, "BEGIN IMMEDIATE")) {
        s = err::DB_IO;
    } else {
        s = MarkDeleted(db, note.id);
        if (!Exec(db.conn, s ? "ROLLBACK" : "COMMIT") && !s) s = err::DB_IO;
    }
    if (!s) note.items.clear();
    return s;
}

std::atomic<bool> gNested{[] {
    const char* env = std::getenv("EMU_NESTED_UPDATES");
    return env && *env && std::string(env) != "0";
}()};

STATUS SaveWithEvents(NOTEHANDLE handle, EID eventId, DWORD flags) {
    const bool extended = eventId == EM_NSFNOTEUPDATEXTENDED;
    const Op op = extended ? Op::UpdateNoteExtended : Op::UpdateNote;
    NotePtr note = UseNote(handle, op);
    if (!note) return err::INVALID_HANDLE;
    // A bit the toolkit does not define: the C API reference says nothing of what a
    // server does with one; refusing it is the stricter of the plausible answers.
    if (DWORD unknown = flags & ~(extended ? kExtendedUpdateFlags : kUpdateFlags)) {
        char what[80];
        snprintf(what, sizeof what, "update flags 0x%X that the toolkit does not define", static_cast<unsigned>(unknown));
        if (detail::Breach(op, Rule::UpdateFlags, what)) return err::BAD_FLAGS;
    }
    // A "before" callback that answers anything but "continue" cancels the save.
    if (STATUS cancel = RaiseUpdate(eventId, EM_BEFORE, NOERROR, handle, flags); cancel != ERR_EM_CONTINUE)
        return cancel;
    // Switched on, NSFNoteUpdate is carried out through NSFNoteUpdateExtended:
    // the inner call's events come inside this one's, on this thread. A
    // cancel of the inner half fails the save; its after-call then never comes.
    const bool nested = !extended && NestedUpdates();
    STATUS s = NOERROR;
    if (nested) {
        if (STATUS cancel = RaiseUpdate(EM_NSFNOTEUPDATEXTENDED, EM_BEFORE, NOERROR, handle, flags);
            cancel != ERR_EM_CONTINUE)
            s = cancel;
    }
    if (s == NOERROR) {
        s = StoreUpdate(*note, flags);
        if (!s) {
            RecordSave(*note->db, note->id, flags, extended);
            TrackCommit(*note, flags);
        }
        if (nested) {
            if (STATUS replaced = RaiseUpdate(EM_NSFNOTEUPDATEXTENDED, EM_AFTER, s, handle, flags);
                replaced != ERR_EM_CONTINUE)
                s = replaced;
        }
    }
    // An "after" callback's other answer becomes the result.
    if (STATUS replaced = RaiseUpdate(eventId, EM_AFTER, s, handle, flags); replaced != ERR_EM_CONTINUE)
        s = replaced;
    return s;
}

void ReleaseNoteBlocks(Note& note) {
    for (MEMHANDLE h : note.itemBlocks) detail::ReleaseHostBlock(h, true);
    note.itemBlocks.clear();
}

// A note for a handle of the calling thread, in database `d` as opened by `db`.
NotePtr HandleNote(const DbPtr& d, DBHANDLE db) {
    auto n = std::make_shared<Note>();
    n->owner = detail::ThreadToken();
    n->db = d;
    n->dbHandle = db;
    return n;
}

}  // namespace

void SetNestedUpdates(bool on) { gNested = on; }
bool NestedUpdates() { return gNested; }

void RecordSave(const Database& db, NOTEID id, DWORD flags, bool extended) {
    std::lock_guard lock(gSavesMutex);
    SaveInfo& info = gSaves[{db.file, id}];
    info.flags = flags;
    info.extended = extended;
    ++info.saves;
}

bool SaveFlags(const std::string& notesPath, NOTEID id, SaveInfo* info) {
    // The file name is lower case whichever way the path was written.
    std::lock_guard lock(gSavesMutex);
    auto it = gSaves.find({FilePathFor(notesPath), id});
    if (it == gSaves.end()) return false;
    if (info) *info = it->second;
    return true;
}

void FlushDatabase(const std::string& file) {
    std::lock_guard lock(gUncommittedMutex);
    gUncommitted.erase(file);
}

// lose: the runtime ends, what was never flushed goes from the files.
void ForgetUncommitted(bool lose) {
    std::map<std::string, std::map<NOTEID, std::set<std::string>>> pending;
    {
        std::lock_guard lock(gUncommittedMutex);
        pending.swap(gUncommitted);
    }
    if (!lose) return;
    for (const auto& [file, notes] : pending) {
        sqlite3* conn = OpenFile(file, false);
        if (!conn) continue;
        for (const auto& [id, names] : notes)
            for (const auto& name : names) {
                Stmt st(conn, "DELETE FROM items WHERE note=? AND lower(name)=? AND (flags & 4)=0");
                sqlite3_bind_int64(st.s, 1, id);
                sqlite3_bind_text(st.s, 2, name.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_step(st.s);
            }
        sqlite3_close_v2(conn);
    }
}

void ClearSaveFlags() {
    std::lock_guard lock(gSavesMutex);
    gSaves.clear();
}

}  // namespace emu

using emu::Op;
namespace err = emu::err;
using emu::detail::Counter;

extern "C" {

EMU_EXPORT STATUS NSFNoteOpen(DBHANDLE db, NOTEID id, WORD, NOTEHANDLE* note) {
    if (STATUS s = emu::Fault(Op::OpenNote)) return s;
    auto d = emu::UseDb(db, Op::OpenNote);
    if (!d || !note) return err::INVALID_HANDLE;
    auto n = emu::HandleNote(d, db);
    if (STATUS s = emu::LoadNote(*d, id, n.get())) return s;
    *note = emu::AddNote(std::move(n));
    return NOERROR;
}

EMU_EXPORT STATUS NSFNoteClose(NOTEHANDLE note) {
    if (STATUS s = emu::Fault(Op::CloseNote)) return s;
    if (emu::FindNote(note) && !emu::UseNote(note, Op::CloseNote)) return err::INVALID_HANDLE;
    emu::NotePtr n = emu::TakeHandle(emu::gNotes, note, Counter::Notes);
    if (!n) return err::INVALID_HANDLE;
    // Item values go with the note; one still locked is the caller's fault.
    emu::ReleaseNoteBlocks(*n);
    return NOERROR;
}

EMU_EXPORT STATUS NSFNoteCreate(DBHANDLE db, NOTEHANDLE* note) {
    if (STATUS s = emu::Fault(Op::CreateNote)) return s;
    auto d = emu::UseDb(db, Op::CreateNote);
    if (!d || !note) return err::INVALID_HANDLE;
    auto n = emu::HandleNote(d, db);
    emu::NewOid(&n->oid);
    *note = emu::AddNote(std::move(n));
    return NOERROR;
}

EMU_EXPORT STATUS NSFNoteUpdate(NOTEHANDLE note, WORD flags) {
    if (STATUS s = emu::Fault(Op::UpdateNote)) return s;
    return emu::SaveWithEvents(note, EM_NSFNOTEUPDATE, flags);
}

EMU_EXPORT STATUS NSFNoteUpdateExtended(NOTEHANDLE note, DWORD flags) {
    if (STATUS s = emu::Fault(Op::UpdateNoteExtended)) return s;
    return emu::SaveWithEvents(note, EM_NSFNOTEUPDATEXTENDED, flags);
}

// Deletes a note as the C API reference describes it: the note is updated
// with a nil body and marked as a deletion stub, raising EM_NSFNOTEDELETE
// around the update with UPDATE_DELETED that writes the stub (the update's
// own events included, as the update hooks see a deletion).
EMU_EXPORT STATUS NSFNoteDelete(DBHANDLE db, NOTEID id, WORD flags) {
    if (STATUS s = emu::Fault(Op::DeleteNote)) return s;
    auto d = emu::UseDb(db, Op::DeleteNote);
    if (!d) return err::INVALID_HANDLE;
    auto n = emu::HandleNote(d, db);
    if (STATUS s = emu::LoadNote(*d, id, n.get())) return s;
    if (STATUS cancel = emu::DispatchEm(EM_NSFNOTEDELETE, EM_BEFORE, NOERROR, db, id, static_cast<WORD>(flags));
        cancel != ERR_EM_CONTINUE)
        return cancel;
    const NOTEHANDLE handle = emu::AddNote(std::move(n));
    STATUS s = emu::SaveWithEvents(handle, EM_NSFNOTEUPDATE, static_cast<DWORD>(flags) | UPDATE_DELETED);
    if (emu::NotePtr held = emu::TakeHandle(emu::gNotes, handle, Counter::Notes)) emu::ReleaseNoteBlocks(*held);
    if (STATUS replaced = emu::DispatchEm(EM_NSFNOTEDELETE, EM_AFTER, s, db, id, static_cast<WORD>(flags));
        replaced != ERR_EM_CONTINUE)
        s = replaced;
    return s;
}

EMU_EXPORT void NSFNoteGetInfo(NOTEHANDLE note, WORD member, void* value) {
    if (emu::Fault(Op::GetNoteInfo) || !value) return;
    auto n = emu::UseNote(note, Op::GetNoteInfo);
    if (!n) return;
    switch (member) {
        case _NOTE_DB: *static_cast<DBHANDLE*>(value) = n->dbHandle; break;
        case _NOTE_ID: *static_cast<NOTEID*>(value) = n->id; break;
        case _NOTE_OID: *static_cast<ORIGINATORID*>(value) = n->oid; break;
        case _NOTE_CLASS: *static_cast<WORD*>(value) = n->noteClass; break;
        case _NOTE_MODIFIED: *static_cast<TIMEDATE*>(value) = n->oid.SequenceTime; break;
        case _NOTE_FLAGS: *static_cast<WORD*>(value) = 0; break;
        default: break;
    }
}

EMU_EXPORT void NSFNoteSetInfo(NOTEHANDLE note, WORD member, void* value) {
    if (!value) return;
    auto n = emu::UseNote(note, Op::GetNoteInfo);
    if (!n) return;
    if (member == _NOTE_CLASS) n->noteClass = *static_cast<WORD*>(value);
}

}  // extern "C"
