#include "queue/queue_views.h"

#include <cstring>

#include "base/db_handle.h"
#include "base/view_read.h"

namespace tarn::queue {
namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

bool Fail(Failure* failure, const char* call, const char* view, STATUS s) {
    if (failure) *failure = Failure{call, view, s};
    return false;
}

bool OpenView(DBHANDLE db, const char* view, CollectionGuard& collection, Failure* failure) {
    NOTEID viewId = 0;
    if (STATUS s = FindUsableView(db, view, &viewId))
        return Fail(failure, "NIFFindDesignNoteExt", view, s);
    if (STATUS s = NIFOpenCollection(db, db, viewId, 0, NULLHANDLE, collection.out(), nullptr, nullptr, nullptr,
                                     nullptr)) {
        collection.handle = 0;
        return Fail(failure, "NIFOpenCollection", view, s);
    }
    return true;
}

bool CloseView(CollectionGuard& collection, const char* view, Failure* failure) {
    if (STATUS s = collection.Close()) return Fail(failure, "NIFCloseCollection", view, s);
    return true;
}

// One page of entries, each a note id and (with summary) an ITEM_VALUE_TABLE
// block; the bytes come from the database, so nothing is read past the page.
// False when an entry cannot be walked.
bool WalkPage(const uint8_t* bytes, size_t length, DWORD entries, bool summary, const EntryVisitor& visit) {
    size_t at = 0;
    for (DWORD i = 0; i < entries; ++i) {
        if (length - at < 4) return false;
        NOTEID id;
        memcpy(&id, bytes + at, 4);
        at += 4;
        const char* text = "";
        size_t textLength = 0;
        if (summary) {
            if (length - at < 4) return false;
            const uint8_t* table = bytes + at;
            const size_t total = Le16(table), count = Le16(table + 2);
            if (total < 4 + 2 * count || total > length - at) return false;
            const size_t first = count ? Le16(table + 4) : 0;
            const uint8_t* value = table + 4 + 2 * count;
            if (first >= 2 && first <= total - (4 + 2 * count) && Le16(value) == TYPE_TEXT) {
                text = reinterpret_cast<const char*>(value + 2);
                textLength = first - 2;
            }
            at += total;
        }
        if (!(id & NOTEID_CATEGORY)) visit(id, text, textLength);
    }
    return true;
}

int64_t Hundredths(const TIMEDATE& t) {
    constexpr int64_t kJulian1970 = 2440588, kPerDay = 8640000;
    return (static_cast<int64_t>(t.Innards[1] & 0xFFFFFF) - kJulian1970) * kPerDay + t.Innards[0];
}

}  // namespace

bool WalkView(DBHANDLE db, const char* view, bool firstColumn, const EntryVisitor& visit, Failure* failure) {
    const DWORD mask = READ_MASK_NOTEID | (firstColumn ? READ_MASK_SUMMARYVALUES : 0);
    STATUS s = NOERROR;
    // Entries without a buffer, or a page that cannot be walked, are no
    // count to publish.
    const ViewRead r = ReadView(db, view, mask, true, [&](const uint8_t* bytes, WORD length, DWORD entries) {
        return WalkPage(bytes, length, entries, firstColumn, visit);
    }, &s);
    if (r == ViewRead::Ok || (r == ViewRead::Empty && s == NOERROR)) return true;
    return Fail(failure, r == ViewRead::Empty ? "NIFCloseCollection" : ViewReadCall(r), view, s);
}

bool CountView(DBHANDLE db, const char* view, DWORD* count, Failure* failure) {
    CollectionGuard collection;
    if (!OpenView(db, view, collection, failure)) return false;
    {
        BufferGuard data;
        if (STATUS s = NIFGetCollectionData(collection.get(), &data.handle)) {
            data.handle = NULLHANDLE;
            return Fail(failure, "NIFGetCollectionData", view, s);
        }
        const void* block = data.handle ? OSLockObject(data.handle) : nullptr;
        data.locked = block != nullptr;
        if (!block) return Fail(failure, "OSLockObject", view, 0);
        COLLECTIONDATA figures;
        memcpy(&figures, block, sizeof figures);  // Domino's buffers are packed
        *count = figures.DocCount;
    }
    return CloseView(collection, view, failure);
}

bool ReadBacklog(DBHANDLE db, Backlog* out, Failure* failure, const EntryVisitor* pending) {
    Backlog b;
    bool any = false;
    const bool walked = WalkView(
        db, kPendingView, pending != nullptr,
        [&](NOTEID id, const char* text, size_t length) {
            ++b.pending;
            if (!any || id < b.oldest) b.oldest = id;
            any = true;
            if (pending) (*pending)(id, text, length);
        },
        failure);
    if (!walked) return false;
    if (any) {
        if (STATUS s = NSFDbGetNoteInfo(db, b.oldest, nullptr, &b.oldestModified, nullptr))
            return Fail(failure, "NSFDbGetNoteInfo", nullptr, s);
    }
    out->pending = b.pending;
    out->oldest = b.oldest;
    out->oldestModified = b.oldestModified;
    out->pendingRead = true;
    if (!CountView(db, kHandledView, &b.handled, failure)) return false;
    out->handled = b.handled;
    return true;
}

int64_t SecondsBetween(const TIMEDATE& then, const TIMEDATE& now) {
    const int64_t d = Hundredths(now) - Hundredths(then);
    return d > 0 ? d / 100 : 0;
}

Verdict PurgeOne(DBHANDLE db, NOTEID id, const TIMEDATE& cutoff, bool dryRun, Failure* failure) {
    ORIGINATORID looked{};
    TIMEDATE modified{};
    WORD noteClass = 0;
    STATUS s = NSFDbGetNoteInfo(db, id, &looked, &modified, &noteClass);
    if (s == ERR_NOTE_DELETED || s == ERR_INVALID_NOTE) return Verdict::Gone;
    if (s) return Fail(failure, "NSFDbGetNoteInfo", nullptr, s), Verdict::Failed;
    if (noteClass != NOTE_CLASS_DOCUMENT) return Verdict::NotHandled;
    if (Hundredths(modified) >= Hundredths(cutoff)) return Verdict::Recent;
    {
        NoteHandle note;
        s = OpenNoteInto(note, db, id, 0);
        if (s == ERR_NOTE_DELETED || s == ERR_INVALID_NOTE) return Verdict::Gone;
        if (s) return Fail(failure, "NSFNoteOpen", nullptr, s), Verdict::Failed;
        // Changed since its time was taken: judged again by the next purge.
        ORIGINATORID now{};
        NSFNoteGetInfo(note.get(), _NOTE_OID, &now);
        if (now.Sequence != looked.Sequence) return Verdict::Recent;
        // A handled queue note: a numeric Status of 1, as the processor
        // writes it (NSFItemSetNumber) and reads it (NSFItemGetLong).
        WORD type = 0;
        if (NSFItemInfo(note.get(), "Status", 6, nullptr, &type, nullptr, nullptr) != NOERROR || type != TYPE_NUMBER ||
            NSFItemGetLong(note.get(), "Status", 0) != 1)
            return Verdict::NotHandled;
    }
    if (dryRun) return Verdict::WouldDelete;
    s = NSFNoteDelete(db, id, 0);
    if (s == ERR_NOTE_DELETED || s == ERR_INVALID_NOTE) return Verdict::Gone;
    if (s) return Fail(failure, "NSFNoteDelete", nullptr, s), Verdict::Failed;
    return Verdict::Deleted;
}

}  // namespace tarn::queue
