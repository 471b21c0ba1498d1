// Server threads saving calendar documents at once while the configuration
// reloads: every accepted change leaves exactly one queue note.
#include <atomic>
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
    cfg.port = 9;  // notices go nowhere: this is about the queue notes
    CreateSampleDatabases(cfg);
    CreateMailFile("mail\\alice.nsf", "CN=Alice");
    CreateMailFile("mail\\bob.nsf", "CN=Bob");
    std::vector<HEMREGISTRATION> regs;
    StartAddIn("nserver.exe", "nserver.exe", &regs);
    TARNSession& session = ProcessSession();

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
            for (int i = 0; i < kPerThread; ++i)
                SaveDocument(db, {{"Form", "Appointment"}, {"ApptUNID", "self"}}, i % 3 == 0);
            NSFDbClose(db);
        });
    }
    for (auto& s : servers) s.join();
    stop = true;
    reloader.join();
    StopAddIn(&regs);
    EXPECT_EQ(QueueNotes().size(), static_cast<size_t>(kThreads * kPerThread));
    EXPECT_EQ(emu::Open().notes, 0);
}

}  // namespace
