// The capture queue read through its views, as an operator watches it: the
// backlog the HTTP task publishes (TARN.Queue.*), what tarn-setup queue
// reports and which handled notes tarn-setup purge may delete.
//
// The views (admin/qcapture.dxl): "Pending" selects Status = 0, "Handled"
// Status = 1, "All by Creation" every note. A pending note's age is the time
// since it was last modified: the add-in writes it once and a processor only
// ever writes Status 1, so for a pending note that is the time it has
// waited. The oldest is the lowest note id pending, the one a processor
// sweeps first: ids grow with each new note, and finding the earliest time
// instead would cost one note lookup per pending note.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "base/notes_capi.h"

#include <ostime.h>  // after the toolkit's global.h

namespace tarn::queue {

inline constexpr char kQueuePath[] = "brackwater\\qcapture.nsf";
inline constexpr char kPendingView[] = "Pending";
inline constexpr char kHandledView[] = "Handled";
inline constexpr char kAllView[] = "All by Creation";

// The call that failed, on which view (or null), and its status.
struct Failure {
    const char* call = nullptr;
    const char* view = nullptr;
    STATUS status = NOERROR;
};

struct Backlog {
    DWORD pending = 0;
    DWORD handled = 0;
    NOTEID oldest = 0;          // the lowest note id pending; 0 for none
    TIMEDATE oldestModified{};  // its last modification
    bool pendingRead = false;   // the three above are read (Handled may still fail)
};

// Each entry of a view in the view's order: its note id and, with
// `firstColumn`, the text of its first column (not terminated; empty when
// it holds no text). The collection and every buffer are released on every
// way out. False, with the failure, when a call failed.
using EntryVisitor = std::function<void(NOTEID id, const char* text, size_t length)>;
bool WalkView(DBHANDLE db, const char* view, bool firstColumn, const EntryVisitor& visit, Failure* failure);

// The documents of a view, from its index (NIFGetCollectionData): no entry
// is read, whatever the view holds.
bool CountView(DBHANDLE db, const char* view, DWORD* count, Failure* failure);

// The backlog; false at the first failure, with what was read before it
// left in *out (Pending is read before Handled). `pending`, when given, is
// shown each pending entry with its mail file (the view's first column).
bool ReadBacklog(DBHANDLE db, Backlog* out, Failure* failure, const EntryVisitor* pending = nullptr);

// Whole seconds from `then` to `now`; 0 when `then` is later. Both in the
// C API's TIMEDATE, whose Innards[0] counts hundredths since midnight GMT
// and whose Innards[1] holds the Julian day in its low 24 bits (the bits
// above are the zone and daylight-saving flags, not needed in GMT).
int64_t SecondsBetween(const TIMEDATE& then, const TIMEDATE& now);

// One note of a purge, judged on what it is now: its Status read afresh
// from the note (as the processor reads it) and its last modification
// taken again. Deleted (or WouldDelete in a dry run) only when it is a
// handled queue note last modified before `cutoff` and unchanged between
// that look and the read of its Status.
enum class Verdict { Deleted, WouldDelete, Recent, NotHandled, Gone, Failed };
Verdict PurgeOne(DBHANDLE db, NOTEID id, const TIMEDATE& cutoff, bool dryRun, Failure* failure);

}  // namespace tarn::queue
