// Note handles: open, create, close, save (raising the update events as a
// server does) and the note's header information.
#include "emu/store.h"

namespace emu {
namespace {

// Raises the update's events with the core function's own arguments: the
// note handle, then the flags (a WORD, promoted to int through "...", for
// NSFNoteUpdate; a DWORD for NSFNoteUpdateExtended).
STATUS RaiseUpdate(EID eventId, WORD type, STATUS status, NOTEHANDLE handle, DWORD flags) {
    if (eventId == EM_NSFNOTEUPDATE) return DispatchEm(eventId, type, status, handle, static_cast<WORD>(flags));
    return DispatchEm(eventId, type, status, handle, flags);
}

STATUS SaveWithEvents(NOTEHANDLE handle, EID eventId, DWORD flags) {
    NotePtr note = FindNote(handle);
    if (!note) return err::INVALID_HANDLE;
    // A "before" callback that answers anything but "continue" cancels the save.
    if (STATUS cancel = RaiseUpdate(eventId, EM_BEFORE, NOERROR, handle, flags); cancel != ERR_EM_CONTINUE)
        return cancel;
    STATUS s;
    if (flags & UPDATE_DELETED) {
        Database& db = *note->db;
        std::lock_guard lock(db.mutex);
        if (!note->id) {
            s = err::BAD_NOTEID;
        } else if (!Exec(db.conn, "BEGIN IMMEDIATE")) {
            s = err::DB_IO;
        } else {
            s = MarkDeleted(db, note->id);
            if (!Exec(db.conn, s ? "ROLLBACK" : "COMMIT") && !s) s = err::DB_IO;
        }
        if (!s) note->items.clear();
    } else {
        s = Store(*note->db, *note);
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

}  // namespace

}  // namespace emu

using emu::Op;
namespace err = emu::err;
using emu::detail::Counter;

extern "C" {

EMU_EXPORT STATUS NSFNoteOpen(DBHANDLE db, NOTEID id, WORD, NOTEHANDLE* note) {
    if (STATUS s = emu::Fault(Op::OpenNote)) return s;
    auto d = emu::FindDb(db);
    if (!d || !note) return err::INVALID_HANDLE;
    auto n = std::make_shared<emu::Note>();
    n->db = d;
    n->dbHandle = db;
    if (STATUS s = emu::LoadNote(*d, id, n.get())) return s;
    *note = emu::AddNote(std::move(n));
    return NOERROR;
}

EMU_EXPORT STATUS NSFNoteClose(NOTEHANDLE note) {
    if (STATUS s = emu::Fault(Op::CloseNote)) return s;
    emu::NotePtr n = emu::TakeHandle(emu::gNotes, note, Counter::Notes);
    if (!n) return err::INVALID_HANDLE;
    // Item values go with the note; one still locked is the caller's fault.
    emu::ReleaseNoteBlocks(*n);
    return NOERROR;
}

EMU_EXPORT STATUS NSFNoteCreate(DBHANDLE db, NOTEHANDLE* note) {
    if (STATUS s = emu::Fault(Op::CreateNote)) return s;
    auto d = emu::FindDb(db);
    if (!d || !note) return err::INVALID_HANDLE;
    auto n = std::make_shared<emu::Note>();
    n->db = d;
    n->dbHandle = db;
    n->oid.File.Innards[0] = emu::Random32();
    n->oid.File.Innards[1] = emu::Random32();
    n->oid.Note.Innards[0] = emu::Random32();
    n->oid.Note.Innards[1] = emu::Random32();
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

EMU_EXPORT void NSFNoteGetInfo(NOTEHANDLE note, WORD member, void* value) {
    if (emu::Fault(Op::GetNoteInfo) || !value) return;
    auto n = emu::FindNote(note);
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
    auto n = emu::FindNote(note);
    if (!n) return;
    if (member == _NOTE_CLASS) n->noteClass = *static_cast<WORD*>(value);
}

}  // extern "C"
