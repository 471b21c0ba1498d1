// The add-in's own threads and the C API's per-thread set-up: every notice
// worker calls NotesInitThread before its first C API call (its log lines)
// and NotesTermThread before it ends; a worker whose set-up fails makes no
// C API call at all.
#include <thread>

#include "support/processor_fixture.h"

using namespace tarntest;
using tarnsim::AuthMode;

namespace {

class NotesThreadTest : public NoticeSessionTest {
protected:
    void Start(AuthMode mode) {
        NoticeSessionTest::Start(mode);  // at level 2, where the workers write lines of their own
        emu::ResetThreadCounts();
    }
};

TEST_F(NotesThreadTest, EveryWorkerPairsInitAndTermAroundItsCalls) {
    Start(AuthMode::Basic);  // a 401 and its answer: several log lines per worker
    constexpr int kNotices = 6;
    for (int i = 0; i < kNotices; ++i) EXPECT_TRUE(Send(0x900 + i));
    ASSERT_TRUE(Transport().WaitForNotices(10000));
    ASSERT_TRUE(processor->WaitForAccepted(kNotices, std::chrono::seconds(10)));

    // A worker carries every notice it finds waiting, so there are at most
    // as many workers as notices; each pairs its calls once.
    const emu::ThreadCounts c = emu::Threads();
    EXPECT_GE(c.inits, 1u);
    EXPECT_LE(c.inits, static_cast<uint64_t>(kNotices));
    EXPECT_EQ(c.threadsInited, c.inits) << "one init per worker thread";
    EXPECT_EQ(c.terms, c.inits);
    EXPECT_EQ(c.threadsPaired, c.inits);
    EXPECT_EQ(c.unpairedExits, 0u);
    // The workers did log (so they did call the C API), all after their init.
    int workerLines = 0;
    for (const auto& l : emu::ConsoleLines())
        if (l.find("TARNDomToTN::SendToProcessor. Begin") != std::string::npos) ++workerLines;
    EXPECT_EQ(workerLines, kNotices);
    EXPECT_EQ(c.uninitialisedCalls, 0u);
}

TEST_F(NotesThreadTest, AWorkerWhoseSetUpFailsMakesNoCall) {
    Start(AuthMode::None);
    emu::InjectFault("NotesInitThread", emu::err::INJECTED);
    EXPECT_TRUE(Send(0x901));
    ASSERT_TRUE(Transport().WaitForNotices(10000));
    emu::ClearFaults();

    const emu::ThreadCounts c = emu::Threads();
    EXPECT_EQ(c.inits, 0u);
    EXPECT_EQ(c.terms, 0u) << "no term without an init";
    EXPECT_EQ(c.uninitialisedCalls, 0u);
    EXPECT_TRUE(processor->Notices().empty());
}

// The emulator's own bookkeeping, which the test above relies on.
TEST(NotesThreadCounts, UnpairedThreadsAndUninitialisedCallsAreCounted) {
    emu::ResetThreadCounts();
    std::thread([] {
        char value[8];
        OSGetEnvironmentString("TARN_Nothing", value, sizeof value - 1);  // before any init
        NotesInitThread();
    }).join();
    std::thread([] { NotesTermThread(); }).join();  // a term without init
    std::thread([] {
        NotesInitThread();
        NotesInitThread();
        NotesTermThread();
        NotesTermThread();
    }).join();
    const emu::ThreadCounts c = emu::Threads();
    EXPECT_EQ(c.uninitialisedCalls, 1u);
    EXPECT_EQ(c.inits, 3u);
    EXPECT_EQ(c.terms, 3u);
    EXPECT_EQ(c.threadsInited, 2u);
    EXPECT_EQ(c.threadsPaired, 1u);
    EXPECT_EQ(c.unpairedExits, 2u);  // the first thread's exit, the second thread's term
}

}  // namespace
