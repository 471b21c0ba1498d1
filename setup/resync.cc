// tarn-setup resync: captures again what the add-in missed while a task was
// off (a failed reload, a queue that could not be opened, a mail file listed
// late, the add-in not yet installed).
//
// For each mail file, every document changed in the span
// (NSFDbGetModifiedNoteTable) goes through the add-in's own filter and
// calendar checks and, accepted, into the capture queue through the add-in's
// own writer, marked Origin = "resync". Nothing on a user's document is
// changed: one still carrying $TARN was last changed by the processor and is
// skipped. A deletion stub keeps no items, so it cannot be told from a
// deleted memo: stubs are counted, and written (form empty) only with
// --deletions. Notices go out only with --notify: by default the processor's
// sweep of the queue delivers what a resync wrote.
//
// The span ends at the time the run starts (or --until): a change made during
// the run is the next run's, and the printed end is that next run's --since.
// A change that could not be read or written (a failed read of a note, a
// failed queue write, a list of changes that ended early) leaves its mail
// file not resynchronised: the run exits 1 and the printed --since stays at
// the start of the span, so a chained run takes it up again.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/ascii.h"
#include "base/db_handle.h"
#include "base/notes_capi.h"
#include "host/entry.h"
#include "base/event_data.h"
#include "config/tarn_config.h"
#include "host/tarn_session.h"
#include "log/notes_error.h"
#include "resync_time.h"
#include "setup.h"

namespace tarnsetup {
namespace {

using Refusal = TARNEventProcessor::Refusal;

struct ResyncOptions {
    std::string since, until;
    bool all = false, deletions = false, dryRun = false, notify = false;
    std::vector<std::string> paths;
};

// A loss (base/refusals.h): the change is lost unless the span is taken up
// again.
constexpr auto IsLoss = &TARNEventProcessor::IsLoss;

struct Tally {
    unsigned captured = 0, skipped = 0, deletions = 0, deletionsWritten = 0, refusedTotal = 0, lostTotal = 0;
    unsigned noticesNotSent = 0;
    unsigned refused[static_cast<size_t>(Refusal::Count_)] = {};  // losses included, by reason

    void Count(Refusal r) {
        if (r == Refusal::None) {
            ++captured;
        } else if (r == Refusal::Marker) {
            ++skipped;
        } else {
            ++refused[static_cast<size_t>(r)];
            ++(IsLoss(r) ? lostTotal : refusedTotal);
        }
    }
    void Add(const Tally& o) {
        captured += o.captured;
        skipped += o.skipped;
        deletions += o.deletions;
        deletionsWritten += o.deletionsWritten;
        refusedTotal += o.refusedTotal;
        lostTotal += o.lostTotal;
        noticesNotSent += o.noticesNotSent;
        for (size_t i = 0; i < static_cast<size_t>(Refusal::Count_); ++i) refused[i] += o.refused[i];
    }
    // " (reason n, ...)" of the refusals, or of the losses.
    std::string Reasons(bool losses) const {
        std::string reasons;
        for (size_t i = 0; i < static_cast<size_t>(Refusal::Count_); ++i)
            if (refused[i] && IsLoss(Refusal(i)) == losses)
                reasons += (reasons.empty() ? " (" : ", ") + std::string(TARNEventProcessor::RefusalName(Refusal(i))) +
                           " " + std::to_string(refused[i]);
        return reasons.empty() ? reasons : reasons + ")";
    }
    std::string Text() const {
        std::string text = "captured " + std::to_string(captured) + ", refused " + std::to_string(refusedTotal) +
                           Reasons(false) + ", skipped " + std::to_string(skipped) + " (carries $TARN), deletions " +
                           std::to_string(deletions) + " (written " + std::to_string(deletionsWritten) + ")";
        if (lostTotal) text += ", not written " + std::to_string(lostTotal) + Reasons(true);
        if (noticesNotSent) text += ", notices not sent at once " + std::to_string(noticesNotSent);
        return text;
    }
};

// How one mail file went.
enum class Outcome { Done, NotResynchronised, Excluded, Repeated };

class Resync {
public:
    Resync(const ResyncOptions& o, TARNSession& s) : opts(o), session(s) {}

    // One mail file as given (`listed`: taken from maildblookup, not named).
    Outcome MailFile(const std::string& path, bool listed, const TIMEDATE& since, int64_t end) {
        auto fail = [&](const std::string& why) {
            printf("resync: %s: not resynchronised: %s\n", path.c_str(), why.c_str());
            return Outcome::NotResynchronised;
        };
        // The lists take a path as one file however it is written (case,
        // either separator): so does a run, once per file.
        std::string lowered = path;
        LowerAscii(lowered);
        auto [first, fresh] = seen.emplace(MembershipList::Key(lowered), path);
        if (!fresh) {
            printf("resync: %s: the same mail file as %s: resynchronised once\n", path.c_str(), first->second.c_str());
            return Outcome::Repeated;
        }
        DbHandle db;
        if (STATUS s = OpenDatabaseInto(db, path.c_str())) return fail("could not be opened (" + StatusText(s).str() + ")");
        // The checks the add-in makes, on the path as the server names it.
        EventData base;
        memset(&base, 0, sizeof base);
        if (STATUS s = NSFDbPathGet(db.get(), base.dbPath, nullptr))
            return fail("no path (" + StatusText(s).str() + ")");
        base.dbPath[sizeof base.dbPath - 1] = '\0';
        TARNConfig& config = *session.GetConfig();
        if (config.IsExcludedDb(base.dbPath)) {
            // Listed and excluded: the add-in captures nothing there, and neither does a run.
            if (!listed) return fail("excluded (dsdlookup)");
            printf("resync: %s: excluded (dsdlookup): nothing to capture\n", path.c_str());
            return Outcome::Excluded;
        }
        if (!config.IsUserMailFile(base.dbPath)) return fail("not a user mail file (maildblookup)");
        base.dbHandle = db.get();
        if (!session.GetProcessor()->ReadCalendarOwner(base)) return fail("no CalendarProfile Owner");

        TIMEDATE until{};
        IdTableHandle owned;
        STATUS s = owned.Take([&](DHANDLE* t) { return NSFDbGetModifiedNoteTable(db.get(), NOTE_CLASS_DOCUMENT, since, &until, t); });
        const DHANDLE table = owned.get();
        Tally tally;
        if (s == ERR_NO_MODIFIED_NOTES) {
            Report(path, tally);
            ++done;
            return Outcome::Done;
        }
        if (s) return fail("changes could not be listed (" + StatusText(s).str() + ")");
        NOTEID id = 0;
        DWORD scanned = 0;
        for (BOOL first = TRUE; IDScan(table, first, &id); first = FALSE) {
            ++scanned;
            One(db.get(), base, id, end, tally);
        }
        // IDScan answers FALSE both at the end and on a failure: the table's
        // own count tells them apart, as the add-in's deletions do.
        const DWORD listedChanges = IDEntries(table);
        owned.reset();
        Report(path, tally);
        if (scanned < listedChanges)
            return fail("the list of changes ended early (" + std::to_string(scanned) + " of " +
                        std::to_string(listedChanges) + " read)");
        if (tally.lostTotal)
            return fail(std::to_string(tally.lostTotal) + " change" + (tally.lostTotal == 1 ? "" : "s") +
                        " not written" + tally.Reasons(true));
        ++done;
        return Outcome::Done;
    }

    Tally total;
    unsigned done = 0;

private:
    void One(DBHANDLE db, const EventData& base, NOTEID id, int64_t end, Tally& tally) {
        const bool deleted = (id & RRV_DELETED) != 0;
        const NOTEID noteId = id & ~static_cast<NOTEID>(RRV_DELETED);
        ORIGINATORID oid{};
        TIMEDATE modified{};
        WORD noteClass = 0;
        const STATUS s = NSFDbGetNoteInfo(db, noteId, &oid, &modified, &noteClass);
        // Listed as a document and deleted since: the stub's change is after the span.
        if (!deleted && s == ERR_NOTE_DELETED) return;
        if (s != NOERROR && !(deleted && s == ERR_NOTE_DELETED)) {
            printf("resync: %s: note %08lX: %s\n", base.dbPath, static_cast<unsigned long>(noteId), StatusText(s).c_str());
            // A deletion only counted loses nothing; a change unread may be one to capture.
            if (deleted && (!opts.deletions || opts.dryRun))
                ++tally.deletions;
            else
                tally.Count(Refusal::NotOpened);
            return;
        }
        if (Hundredths(modified) >= end) return;  // after the span: the next run's
        EventData event = base;
        event.noteId = noteId;
        event.noteClass = noteClass;
        event.result = ERR_EM_CONTINUE;
        if (deleted) {
            ++tally.deletions;
            if (!opts.deletions || opts.dryRun) return;
            // What a stub still shows: its UNID. Its form is gone.
            event.eventId = kEventDeletion;
            memcpy(event.unid, &oid, sizeof event.unid);
            if (session.GetProcessor()->WriteStored(event, "resync", false)) {
                ++tally.deletionsWritten;
                Notify(base, event, tally);
            } else {
                tally.Count(Refusal::WriteFailed);
            }
            return;
        }
        // Filtered as an extended update: the one the filter takes calendar
        // notices from, as a save through either call may end up.
        event.eventId = EM_NSFNOTEUPDATEXTENDED;
        const Refusal r = session.GetProcessor()->CaptureStored(event, "resync", !opts.dryRun, false);
        tally.Count(r);
        if (r == Refusal::None && !opts.dryRun) Notify(base, event, tally);
    }

    // The notice of a queue note written, when asked for. One that cannot go
    // out at once loses nothing: one whose worker could not be started (no
    // thread to be had) waits for a later worker, and the queue note waits
    // for the processor's sweep in any case.
    void Notify(const EventData& base, EventData& event, Tally& tally) {
        if (!opts.notify) return;
        const unsigned long queueNote = event.queueNoteId;
        try {
            if (session.GetProcessor()->SendTransactionNotice(event)) return;
            printf("resync: %s: notice for queue note %08lX not sent: the processor's sweep delivers the queue note\n",
                   base.dbPath, queueNote);
        } catch (const std::exception& e) {
            printf("resync: %s: notice for queue note %08lX waits: no worker could be started (%s); a later worker or "
                   "the processor's sweep delivers it\n",
                   base.dbPath, queueNote, e.what());
        }
        ++tally.noticesNotSent;
    }

    void Report(const std::string& path, const Tally& tally) {
        printf("resync: %s: %s\n", path.c_str(), tally.Text().c_str());
        total.Add(tally);
    }

    const ResyncOptions& opts;
    TARNSession& session;
    std::unordered_map<std::string, std::string> seen;  // each mail file's key, as first given
};

int RunResync(const ResyncOptions& opts) {
    if (opts.all == !opts.since.empty()) {
        fprintf(stderr, "tarn-setup resync: give --since TIME or --all\n");
        return 2;
    }
    TIMEDATE since{}, end{};
    if (opts.all) {
        since.Innards[0] = ALLDAY;  // TIMEDATE_WILDCARD: every note, deletions included
        since.Innards[1] = ANYDAY;
    } else if (!ParseTime(opts.since, &since)) {
        fprintf(stderr, "tarn-setup resync: --since %s is not a time (YYYY-MM-DD HH:MM, or a time resync printed)\n",
                opts.since.c_str());
        return 2;
    }
    // Every change made before the run is inside the span, every later one after it.
    end = NextTick();
    if (!opts.until.empty()) {
        TIMEDATE until{};
        if (!ParseTime(opts.until, &until)) {
            fprintf(stderr, "tarn-setup resync: --until %s is not a time (YYYY-MM-DD HH:MM, or a time resync printed)\n",
                    opts.until.c_str());
            return 2;
        }
        if (Hundredths(until) < Hundredths(end)) end = until;
    }
    if (!opts.all && Hundredths(since) >= Hundredths(end)) {
        fprintf(stderr, "tarn-setup resync: the span from %s to %s is empty\n", FormatTime(since).c_str(),
                FormatTime(end).c_str());
        return 2;
    }

    TARNSession& session = ProcessSession();
    session.Reset();
    if (!session.InitTool("tarn-setup")) {
        fprintf(stderr, "tarn-setup resync: the configuration or the capture queue could not be opened (see above)\n");
        session.Reset();
        return 1;
    }
    const bool listed = opts.paths.empty();
    std::vector<std::string> paths = listed ? session.GetConfig()->UserList() : opts.paths;
    printf("resync: span from %s to %s%s\n", opts.all ? "the first note" : FormatTime(since).c_str(),
           FormatTime(end).c_str(), opts.dryRun ? " (dry run: nothing is written)" : "");
    Resync resync(opts, session);
    size_t failed = 0, excluded = 0;
    for (const auto& path : paths) {
        const Outcome outcome = resync.MailFile(path, listed, since, Hundredths(end));
        failed += outcome == Outcome::NotResynchronised;
        excluded += outcome == Outcome::Excluded;
    }
    if (opts.notify) session.GetTransport()->WaitForNotices(60000);
    std::string more = failed ? ", " + std::to_string(failed) + " not resynchronised" : "";
    if (excluded) more += ", " + std::to_string(excluded) + " excluded";
    printf("resync: total: %u mail file%s, %s%s\n", resync.done, resync.done == 1 ? "" : "s",
           resync.total.Text().c_str(), more.c_str());
    // The queue notes a resync wrote, beside the tasks' own TARN.Events.Captured,
    // so that the two together count every capture. (Whether a program run
    // beside a server reaches the server's statistics is not documented: a
    // first trial checks it.)
    const LONG written = static_cast<LONG>(resync.total.captured + resync.total.deletionsWritten);
    if (!opts.dryRun && written > 0) {
        if (STATUS s = StatUpdate("TARN", "Resync.Captured", ST_RESETABLE, VT_LONG, &written))
            fprintf(stderr, "tarn-setup resync: statistic TARN.Resync.Captured not published (status 0x%04X)\n", s);
    }
    // The next run takes over where this one ended; a mail file not
    // resynchronised still needs the whole span (where in it its first
    // missed change lies is not known), so the next run starts where this one did.
    if (!failed)
        printf("resync: next: --since %s\n", FormatTime(end).c_str());
    else if (opts.all)
        printf("resync: next: --all\n");
    else
        printf("resync: next: --since %s\n", FormatTime(since).c_str());
    session.Reset();
    return failed ? 1 : 0;
}

const CommandRegistration kResync(30, [](CLI::App& app, Run& run) {
    auto opts = std::make_shared<ResyncOptions>();
    CLI::App* cmd = app.add_subcommand(
        "resync", "Capture again what the add-in missed: every document of the users' mail files changed in a span");
    auto* since = cmd->add_option("--since", opts->since,
                                  "start of the span: the server's local time \"YYYY-MM-DD HH:MM\", or the time the "
                                  "last run printed after --since (runs chain without a gap)");
    auto* all = cmd->add_flag("--all", opts->all, "every document, however old, instead of --since");
    since->excludes(all);
    cmd->add_option("--until", opts->until, "end of the span (default: when the run starts), as --since");
    cmd->add_flag("--deletions", opts->deletions,
                  "write deletions in the span too, as deletions with no form (a stub keeps none, so a deleted "
                  "memo is written as well); without it they are only counted");
    cmd->add_flag("--dry-run", opts->dryRun, "count only: nothing is written, nothing sent");
    cmd->add_flag("--notify", opts->notify,
                  "send a notice for each queue note written (default: none; the processor's sweep delivers them)");
    cmd->add_option("PATH", opts->paths,
                    "mail files to resync (default: every one in maildblookup); each is checked against the user and "
                    "exclude lists as the add-in checks it");
    cmd->footer(
        "Queue notes written carry Origin = \"resync\". A document still carrying $TARN is skipped. Prints one line "
        "per mail file and a total; exit status 1 when a mail file could not be resynchronised.");
    cmd->callback([&run, opts] { run = [opts](const Context&) { return RunResync(*opts); }; });
});

}  // namespace
}  // namespace tarnsetup
