// The callback runs on the server thread that saves a user's document. Each
// case is measured twice in one run: the whole callback, and the bare host
// operations that case cannot avoid (its floor). The ratio is the add-in's
// own overhead; allocs_per_event counts heap allocations per call, the host's
// included, so the two rows of a case can be compared.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>

#include "base/callback_skip.h"
#include "host/entry.h"
#include "host/tarn_session.h"
#include "stats/tarn_stats.h"
#include "support/test_support.h"

// The replacement pair below is malloc/free on both sides.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<long> gAllocations{0};
}

void* operator new(size_t n) {
    ++gAllocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

struct World {
    std::string dir;
    DBHANDLE alice = 0, carol = 0, shared = 0;
    NOTEHANDLE profileNote = 0, aliceNote = 0, carolNote = 0, sharedNote = 0;
    NOTEID aliceId = 0;

    World() {
        dir = tarntest::MakeTempDir("bench");
        emu::SetDataDirectory(dir);
        emu::SetConsoleEcho(false);
        tarntest::SampleConfig cfg;
        cfg.logLevel = 1;
        cfg.mailFiles = {"mail\\alice.nsf", "mail\\shared.nsf"};
        cfg.excluded = {"mail\\shared.nsf"};
        cfg.port = 9;  // nothing listens: the notice of case (d) goes nowhere
        tarntest::CreateSampleDatabases(cfg);
        tarntest::CreateMailFile("mail\\alice.nsf", "CN=Alice Able/O=Brackwater");
        tarntest::CreateMailFile("mail\\shared.nsf", "CN=Shared");
        emu::CreateDatabase("mail\\carol.nsf");
        NSFDbOpen("mail\\alice.nsf", &alice);
        NSFDbOpen("mail\\carol.nsf", &carol);
        NSFDbOpen("mail\\shared.nsf", &shared);
        aliceNote = Doc(alice, "Appointment", &aliceId);
        NOTEID id;
        carolNote = Doc(carol, "Appointment", &id);
        sharedNote = Doc(shared, "Appointment", &id);
        NOTEID profileId = 0;
        emu::CreateDocument(alice, {emu::Text("Form", "Note")}, &profileId, 0x0004);
        NSFNoteOpen(alice, profileId, 0, &profileNote);
        TARNSession& s = ProcessSession();
        s.Reset();
        if (!s.Init("nserver.exe", "nserver.exe")) std::abort();
        // Statistics on, as in a served task: counted on the callback's
        // path, published by their own thread.
        ProcessStatsPublisher().Start("nserver.exe", nullptr, nullptr);
        ProcessStatsPublisher().Go();
    }
    ~World() {
        ProcessStatsPublisher().Stop(true);
        ProcessSession().Reset();
        for (NOTEHANDLE n : {profileNote, aliceNote, carolNote, sharedNote}) NSFNoteClose(n);
        for (DBHANDLE d : {alice, carol, shared}) NSFDbClose(d);
        std::filesystem::remove_all(dir);
    }
    static NOTEHANDLE Doc(DBHANDLE db, const char* form, NOTEID* id) {
        NOTEHANDLE note = 0;
        NSFNoteCreate(db, &note);
        NSFItemAppend(note, ITEM_SUMMARY, "Form", 4, TYPE_TEXT, form, static_cast<uint32_t>(strlen(form)));
        ORIGINATORID oid{};
        NSFNoteGetInfo(note, _NOTE_OID, &oid);
        char unid[33];
        snprintf(unid, sizeof unid, "%08X%08X%08X%08X", oid.File.Innards[1], oid.File.Innards[0], oid.Note.Innards[1], oid.Note.Innards[0]);
        NSFItemAppend(note, ITEM_SUMMARY, "ApptUNID", 8, TYPE_TEXT, unid, 32);
        NSFNoteUpdate(note, 0);  // no registrations yet: no events
        NSFNoteGetInfo(note, _NOTE_ID, id);
        return note;
    }
};

World& TheWorld() {
    static World w;
    return w;
}

template <typename F>
void Measure(benchmark::State& state, F call) {
    long before = gAllocations.load();
    for (auto _ : state) call();
    state.counters["allocs_per_event"] =
        benchmark::Counter(static_cast<double>(gAllocations.load() - before), benchmark::Counter::kAvgIterations);
}

// The callback, again and again, on the record of an after-update of the
// note: its va_list holds NSFNoteUpdate's arguments (the handle, flags 0),
// kept valid by this frame while the loop runs.
void MeasureAfterUpdateArgs(benchmark::State& state, int unused, ...) {
    EMRECORD rec{};
    rec.EId = EM_NSFNOTEUPDATE;
    rec.NotificationType = EM_AFTER;
    va_start(rec.Ap, unused);
    Measure(state, [&] { benchmark::DoNotOptimize(ExtMgrCallback(&rec)); });
    va_end(rec.Ap);
}

void MeasureAfterUpdate(benchmark::State& state, NOTEHANDLE note) {
    MeasureAfterUpdateArgs(state, 0, note, static_cast<WORD>(0));
}

// The host operations every event of a non-HTTP task makes.
void FloorStart(NOTEHANDLE note, uint16_t* cls, DBHANDLE* db, NOTEID* id) {
    benchmark::DoNotOptimize(CallbackSkip(ProcessSession().State()));
    benchmark::DoNotOptimize(MQGetCount(ProcessSession().GetRefreshQueues().OwnQueue()));
    NSFNoteGetInfo(note, _NOTE_CLASS, cls);
    NSFNoteGetInfo(note, _NOTE_DB, db);
    NSFNoteGetInfo(note, _NOTE_ID, id);
}

void FloorDatabase(DBHANDLE db, char* path) {
    DBID dbid;
    NSFDbIDGet(db, &dbid);
    NSFDbPathGet(db, path, nullptr);
}

void BM_Callback_NonDocument(benchmark::State& state) {
    MeasureAfterUpdate(state, TheWorld().profileNote);
}
void BM_Floor_NonDocument(benchmark::State& state) {
    Measure(state, [&] {
        uint16_t cls; DBHANDLE db; NOTEID id;
        FloorStart(TheWorld().profileNote, &cls, &db, &id);
    });
}

void BM_Callback_NeitherList(benchmark::State& state) {
    MeasureAfterUpdate(state, TheWorld().carolNote);
}
void BM_Floor_NeitherList(benchmark::State& state) {
    Measure(state, [&] {
        uint16_t cls; DBHANDLE db; NOTEID id; char path[256];
        FloorStart(TheWorld().carolNote, &cls, &db, &id);
        FloorDatabase(db, path);
    });
}

void BM_Callback_Excluded(benchmark::State& state) {
    MeasureAfterUpdate(state, TheWorld().sharedNote);
}
void BM_Floor_Excluded(benchmark::State& state) {
    Measure(state, [&] {
        uint16_t cls; DBHANDLE db; NOTEID id; char path[256];
        FloorStart(TheWorld().sharedNote, &cls, &db, &id);
        FloorDatabase(db, path);
    });
}

void BM_Callback_AcceptedWithQueueWrite(benchmark::State& state) {
    MeasureAfterUpdate(state, TheWorld().aliceNote);
}
void BM_Floor_AcceptedWithQueueWrite(benchmark::State& state) {
    DBHANDLE queueDb = 0;
    NSFDbOpen("brackwater\\qcapture.nsf", &queueDb);
    Measure(state, [&] {
        World& w = TheWorld();
        uint16_t cls; DBHANDLE db; NOTEID id; char path[256];
        FloorStart(w.aliceNote, &cls, &db, &id);
        FloorDatabase(db, path);
        NOTEHANDLE note = 0;
        NSFNoteOpen(db, id, 0, &note);
        ORIGINATORID oid;
        NSFNoteGetInfo(note, _NOTE_OID, &oid);
        char text[256];
        NSFItemInfo(note, "Form", 4, nullptr, nullptr, nullptr, nullptr);
        NSFItemGetText(note, "Form", text, sizeof text);
        NSFItemInfo(note, "$TARN", 5, nullptr, nullptr, nullptr, nullptr);
        NSFItemInfo(note, "$REF", 4, nullptr, nullptr, nullptr, nullptr);
        NSFItemInfo(note, "ApptUNID", 8, nullptr, nullptr, nullptr, nullptr);
        NSFItemGetText(note, "ApptUNID", text, sizeof text);
        WORD type; BLOCKID block; DWORD len;
        NSFProfileGetField(db, "CalendarProfile", 15, nullptr, 0, "Owner", 5, &type, &block, &len);
        benchmark::DoNotOptimize(OSLockBlock(char, block));
        OSUnlockBlock(block);
        NSFNoteClose(note);
        // A server thread writes through its own handle on the capture queue.
        DBHANDLE own = 0;
        NSFDbReopen(queueDb, &own);
        NOTEHANDLE q = 0;
        NSFNoteCreate(own, &q);
        double zero = 0;
        NSFItemSetNumber(q, "Action", &zero);
        NSFItemSetNumber(q, "Status", &zero);
        const char* names[] = {"CalDbPath", "CalNoteID", "CalUNID", "CalForm", "CalUserName"};
        for (const char* n : names) NSFItemAppend(q, ITEM_SUMMARY, n, static_cast<uint16_t>(strlen(n)), TYPE_TEXT, "x", 1);
        NSFNoteUpdate(q, UPDATE_NOCOMMIT);
        NOTEID saved;
        NSFNoteGetInfo(q, _NOTE_ID, &saved);
        NSFNoteClose(q);
        NSFDbClose(own);
    });
    NSFDbClose(queueDb);
}

BENCHMARK(BM_Floor_NonDocument);
BENCHMARK(BM_Callback_NonDocument);
BENCHMARK(BM_Floor_NeitherList);
BENCHMARK(BM_Callback_NeitherList);
BENCHMARK(BM_Floor_Excluded);
BENCHMARK(BM_Callback_Excluded);
BENCHMARK(BM_Floor_AcceptedWithQueueWrite)->Iterations(300);
BENCHMARK(BM_Callback_AcceptedWithQueueWrite)->Iterations(300);

}  // namespace

// What a server thread pays for its own handle on the capture queue: part of
// the accepted path's floor (one per queue note), shown by itself.
void BM_Host_ReopenAndClose(benchmark::State& state) {
    TheWorld();
    DBHANDLE queueDb = 0;
    NSFDbOpen("brackwater\\qcapture.nsf", &queueDb);
    Measure(state, [&] {
        DBHANDLE own = 0;
        NSFDbReopen(queueDb, &own);
        NSFDbClose(own);
    });
    NSFDbClose(queueDb);
}
BENCHMARK(BM_Host_ReopenAndClose)->Iterations(300);

BENCHMARK_MAIN();
