// tarn-setup purge: deletes handled queue notes (Status 1) last modified
// more than DAYS ago, so that the capture queue does not grow for ever.
// Each note is judged on what it is when its turn comes: its Status is read
// afresh from the note (as the processor reads it) just before it is
// deleted, so a note made pending again since the listing is kept, and a
// note handled meanwhile counts as handled only from its new time on. A
// pending note is never deleted. Run it daily or weekly (a program document
// on the server, or cron).
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "queue_open.h"
#include "resync_time.h"

namespace tarnsetup {
namespace {

struct PurgeOptions {
    bool handled = false, dryRun = false;
    long days = -1;
};

int RunPurge(const PurgeOptions& opts) {
    using namespace tarn::queue;
    DbHandle db;
    if (!OpenQueue(db, "purge")) return 1;
    std::vector<NOTEID> ids;
    Failure failure;
    if (!WalkView(db.get(), kAllView, false, [&](NOTEID id, const char*, size_t) { ids.push_back(id); }, &failure)) {
        fprintf(stderr, "tarn-setup purge: the capture queue cannot be read: %s\n", FailureText(failure).c_str());
        return 1;
    }
    TIMEDATE now{};
    OSCurrentTIMEDATE(&now);
    const TIMEDATE cutoff = FromHundredths(Hundredths(now) - static_cast<int64_t>(opts.days) * 8640000);
    printf("purge: handled notes last modified before %s (%ld days ago)%s\n", FormatTime(cutoff).c_str(), opts.days,
           opts.dryRun ? " (dry run: nothing is deleted)" : "");
    unsigned deleted = 0, recent = 0, pending = 0, gone = 0, failed = 0;
    for (NOTEID id : ids) {
        switch (PurgeOne(db.get(), id, cutoff, opts.dryRun, &failure)) {
            case Verdict::Deleted:
            case Verdict::WouldDelete: ++deleted; break;
            case Verdict::Recent: ++recent; break;
            case Verdict::NotHandled: ++pending; break;
            case Verdict::Gone: ++gone; break;
            case Verdict::Failed:
                ++failed;
                printf("purge: note %08lX kept: %s\n", static_cast<unsigned long>(id), FailureText(failure).c_str());
                break;
        }
    }
    printf("purge: %s %u handled note%s; kept %u (%u handled within %ld days, %u not handled)%s\n",
           opts.dryRun ? "would delete" : "deleted", deleted, deleted == 1 ? "" : "s", recent + pending + failed,
           recent, opts.days, pending,
           failed ? (", " + std::to_string(failed) + " could not be deleted").c_str() : "");
    if (gone) printf("purge: %u note%s deleted by someone else meanwhile\n", gone, gone == 1 ? "" : "s");
    return failed ? 1 : 0;
}

const CommandRegistration kPurge(50, [](CLI::App& app, Run& run) {
    auto opts = std::make_shared<PurgeOptions>();
    CLI::App* cmd = app.add_subcommand(
        "purge", "Delete handled queue notes (Status 1) last modified more than DAYS ago; never a pending one");
    cmd->add_flag("--handled", opts->handled, "delete handled notes (the only kind purge deletes)")->required();
    cmd->add_option("--older-than", opts->days, "only notes last modified more than DAYS ago (0: every handled note)")
        ->required()
        ->check(CLI::Range(0L, 36500L))
        ->type_name("DAYS");
    cmd->add_flag("--dry-run", opts->dryRun, "count only: nothing is deleted");
    cmd->footer(
        "Each note's Status is read again just before it is deleted: a note made pending again is kept, a note "
        "handled meanwhile is judged by its new time. Deletion leaves the usual deletion stub. Prints the cut-off "
        "and what was deleted and kept; exit status 1 when a note could not be deleted or the queue cannot be read.");
    cmd->callback([&run, opts] { run = [opts](const Context&) { return RunPurge(*opts); }; });
});

}  // namespace
}  // namespace tarnsetup
