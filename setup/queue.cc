// tarn-setup queue: the capture queue's backlog for an operator or a
// monitoring script, one plain line each: the pending and handled notes,
// the oldest pending note (its id, mail file and age) and the pending notes
// of each mail file. With --older-than MINUTES the exit status says whether
// a pending note has waited longer (2) or not (0); 1 when the queue cannot
// be read.
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "log/notes_error.h"
#include "queue_open.h"

namespace tarnsetup {

std::string FailureText(const tarn::queue::Failure& f) {
    std::string text = std::string(f.call) + (f.view ? std::string(" of view ") + f.view : "") + " failed";
    if (f.status) return text + " (" + StatusText(f.status).c_str() + ")";
    return text + " (an entry it could not read)";
}

bool OpenQueue(DbHandle& db, const char* command) {
    if (STATUS s = OpenDatabaseInto(db, tarn::queue::kQueuePath)) {
        fprintf(stderr, "tarn-setup %s: %s could not be opened (%s)\n", command, tarn::queue::kQueuePath,
                StatusText(s).c_str());
        return false;
    }
    return true;
}

namespace {

struct QueueOptions {
    long olderThan = -1;  // minutes; -1: not asked
};

int RunQueue(const QueueOptions& opts) {
    using namespace tarn::queue;
    DbHandle db;
    if (!OpenQueue(db, "queue")) return 1;
    std::map<std::string, unsigned> byMailFile;
    NOTEID oldest = 0;
    std::string oldestPath;
    const EntryVisitor each = [&](NOTEID id, const char* text, size_t length) {
        std::string path(text, length);
        ++byMailFile[path];
        if (!oldest || id < oldest) {
            oldest = id;
            oldestPath = path;
        }
    };
    Backlog backlog;
    Failure failure;
    if (!ReadBacklog(db.get(), &backlog, &failure, &each)) {
        fprintf(stderr, "tarn-setup queue: the capture queue cannot be read: %s\n", FailureText(failure).c_str());
        return 1;
    }
    TIMEDATE now{};
    OSCurrentTIMEDATE(&now);
    const int64_t age = backlog.pending ? SecondsBetween(backlog.oldestModified, now) : 0;
    printf("queue: pending %lu\n", static_cast<unsigned long>(backlog.pending));
    printf("queue: handled %lu\n", static_cast<unsigned long>(backlog.handled));
    if (backlog.pending)
        printf("queue: oldest pending: note %08lX, %s, waiting %lld minutes\n", static_cast<unsigned long>(oldest),
               oldestPath.empty() ? "(no mail file)" : oldestPath.c_str(), static_cast<long long>(age / 60));
    else
        printf("queue: oldest pending: none\n");
    for (const auto& [path, count] : byMailFile)
        printf("queue: %s: pending %u\n", path.empty() ? "(no mail file)" : path.c_str(), count);
    if (opts.olderThan >= 0 && backlog.pending && age > opts.olderThan * 60) {
        printf("queue: a pending note has waited more than %ld minutes\n", opts.olderThan);
        return 2;
    }
    return 0;
}

const CommandRegistration kQueue(40, [](CLI::App& app, Run& run) {
    auto opts = std::make_shared<QueueOptions>();
    CLI::App* cmd = app.add_subcommand(
        "queue", "The capture queue's backlog: pending and handled notes, the oldest pending note, pending by mail file");
    cmd->add_option("--older-than", opts->olderThan,
                    "exit status 2 when a pending note has waited more than MINUTES (for a monitoring script)")
        ->check(CLI::Range(0L, 5256000L))
        ->type_name("MINUTES");
    cmd->footer(
        "One plain line each. A pending note's wait is the time since it was last modified; the oldest is the lowest "
        "note id pending. Exit status: 0; 2 with --older-than when a pending note is older; 1 when the queue cannot "
        "be read.");
    cmd->callback([&run, opts] { run = [opts](const Context&) { return RunQueue(*opts); }; });
});

}  // namespace
}  // namespace tarnsetup
