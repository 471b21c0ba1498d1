// One read of the capture queue's backlog, as the HTTP task's statistics
// thread makes it once a minute, on a queue of 100,000 notes (1,000 pending,
// the rest handled). Beside it, in the same run, its floor on this host:
// finding and opening the two views' collections and closing them, which
// the read cannot avoid. The stand-in builds a collection afresh at every
// open (it keeps no view index), so the floor is most of the cost here; a
// server updates its index and answers NIFGetCollectionData from it.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "queue/queue_views.h"
#include "support/outbox_support.h"
#include "support/test_support.h"

namespace {

constexpr int kNotes = 100000, kPending = 1000;

struct Queue {
    std::string dir;
    Queue() {
        dir = tarntest::MakeTempDir("backlog-bench");
        emu::SetDataDirectory(dir);
        emu::SetConsoleEcho(false);
        tarntest::SampleConfig cfg;
        cfg.port = 9;
        tarntest::CreateSampleDatabases(cfg);
        DBHANDLE db = 0;
        NSFDbOpen(tarntest::kQueueDb, &db);
        for (int n = 0; n < kNotes; ++n) tarntest::WriteQueueNote(db, n, n < kNotes - kPending ? 1 : 0);
        NSFDbClose(db);
    }
    ~Queue() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Queue& TheQueue() {
    static Queue q;
    return q;
}

void BM_BacklogRead(benchmark::State& state) {
    TheQueue();
    for (auto _ : state) {
        DBHANDLE db = 0;
        NSFDbOpen(tarn::queue::kQueuePath, &db);
        tarn::queue::Backlog b;
        tarn::queue::Failure f;
        if (!tarn::queue::ReadBacklog(db, &b, &f) || b.pending != kPending || b.handled != kNotes - kPending)
            state.SkipWithError("the read failed or miscounted");
        NSFDbClose(db);
    }
}
BENCHMARK(BM_BacklogRead)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_OpenTwoCollections(benchmark::State& state) {
    TheQueue();
    for (auto _ : state) {
        DBHANDLE db = 0;
        NSFDbOpen(tarn::queue::kQueuePath, &db);
        for (const char* view : {tarn::queue::kPendingView, tarn::queue::kHandledView}) {
            NOTEID id = 0;
            DWORD handle = 0;
            NIFFindDesignNoteExt(db, view, NOTE_CLASS_VIEW, "-G40n^", &id, 0);
            NIFOpenCollection(db, db, id, 0, NULLHANDLE, reinterpret_cast<HCOLLECTION*>(&handle), nullptr, nullptr,
                              nullptr, nullptr);
            NIFCloseCollection(static_cast<HCOLLECTION>(handle));
        }
        NSFDbClose(db);
    }
}
BENCHMARK(BM_OpenTwoCollections)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
