// Server threads saving calendar documents at once while the configuration
// reloads: every accepted change leaves exactly one queue note.
#include <atomic>
#include <cstring>
#include <thread>

#include "host/entry.h"
#include "host/tarn_session.h"
#include "support/test_support.h"

using namespace tarntest;

namespace {

class ConcurrentEventsTest : public DataDirTest {};

TEST_F(ConcurrentEventsTest, EightServerThreadsAndAReload) {
    SampleConfig cfg;
    cfg.logLevel = 2;
    CreateSampleDatabases(cfg);
    CreateMailFile("mail\\alice.nsf", "CN=Alice");
    CreateMailFile("mail\\bob.nsf", "CN=Bob");
    TARNSession& session = ProcessSession();
    session.Reset();
    ASSERT_TRUE(session.Init("nserver.exe", "nserver.exe"));
    uint16_t rid = 0;
    ASSERT_EQ(EMCreateRecursionID(&rid), 0);
    std::vector<HEMREGISTRATION> regs;
    for (auto [event, flags] : {std::pair<uint16_t, uint16_t>{47, 1}, {47, 2}, {102, 1}, {102, 2}, {24, 1}}) {
        HEMREGISTRATION h = 0;
        ASSERT_EQ(EMRegister(event, flags, &ExtMgrCallback, rid, &h), 0);
        regs.push_back(h);
    }

    constexpr int kThreads = 8, kPerThread = 15;
    std::atomic<bool> stop{false};
    std::thread reloader([&] {
        while (!stop) {
            session.GetConfig()->Load();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::vector<std::thread> servers;
    for (int t = 0; t < kThreads; ++t) {
        servers.emplace_back([t] {
            DBHANDLE db = 0;
            ASSERT_EQ(NSFDbOpen(t % 2 ? "mail\\bob.nsf" : "mail\\alice.nsf", &db), 0);
            for (int i = 0; i < kPerThread; ++i) {
                NOTEHANDLE note = 0;
                ASSERT_EQ(NSFNoteCreate(db, &note), 0);
                ORIGINATORID oid{};
                NSFNoteGetInfo(note, _NOTE_OID, &oid);
                char unid[33];
                snprintf(unid, sizeof unid, "%08X%08X%08X%08X", oid.File.Innards[1], oid.File.Innards[0], oid.Note.Innards[1], oid.Note.Innards[0]);
                NSFItemAppend(note, ITEM_SUMMARY, "Form", 4, TYPE_TEXT, "Appointment", 11);
                NSFItemAppend(note, ITEM_SUMMARY, "ApptUNID", 8, TYPE_TEXT, unid, 32);
                EXPECT_EQ(i % 3 ? NSFNoteUpdate(note, 0) : NSFNoteUpdateExtended(note, 0), 0);
                NSFNoteClose(note);
            }
            NSFDbClose(db);
        });
    }
    for (auto& s : servers) s.join();
    stop = true;
    reloader.join();
    for (auto h : regs) EMDeregister(h);

    EXPECT_EQ(QueueNotes().size(), static_cast<size_t>(kThreads * kPerThread));
    session.Reset();
    EXPECT_EQ(emu::Open().notes, 0);
}

}  // namespace
