// The processor's outbox under concurrency: notices on many threads, sweeps on
// their own, notes written meanwhile. Every queue note must be handled exactly
// once and end with Status 1.
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "processor/outbox.h"
#include "support/outbox_support.h"
#include "support/test_support.h"

using namespace tarntest;
using namespace std::chrono_literals;

namespace {

// Counts every handling, by note id; passed to outboxes by std::ref.
struct Handled {
    std::mutex mutex;
    std::map<uint32_t, int> times;
    void operator()(const tarnsim::QueueNote& n, tarnsim::Via) {
        std::lock_guard lock(mutex);
        ++times[n.id];
    }
    // Every one of the n queue notes handled exactly once and marked so.
    void ExpectEachOnce(size_t n) {
        std::lock_guard lock(mutex);
        const auto status = QueueStatus();
        ASSERT_EQ(status.size(), n);
        EXPECT_EQ(times.size(), n);
        for (const auto& [id, s] : status) {
            EXPECT_EQ(times[id], 1) << Hex8(id);
            EXPECT_EQ(s, 1) << Hex8(id);
        }
        EXPECT_EQ(emu::Open().notes, 0);
    }
};

using OutboxConcurrencyTest = QueueDbTest;

TEST_F(OutboxConcurrencyTest, NoticesAndSweepsMeetingAtTheSameNotesHandleEachOnce) {
    Handled handled;
    tarnsim::Outbox outbox({.sweepInterval = 5ms, .grace = 0ms, .now = {}}, std::ref(handled));
    ASSERT_TRUE(outbox.Start(nullptr));

    // Notes appear while four threads deliver two notices for each of them.
    const int kNotes = 60;
    std::vector<NOTEID> ids(kNotes);
    std::atomic<int> written{0};
    std::thread writer([&] {
        for (int i = 0; i < kNotes; ++i) {
            ids[i] = WriteQueueNote(db, i);
            written.store(i + 1, std::memory_order_release);
        }
    });
    std::vector<std::thread> notifiers;
    for (int t = 0; t < 4; ++t)
        notifiers.emplace_back([&, t] {
            for (int i = t % 2; i < kNotes; i += 2) {
                while (written.load(std::memory_order_acquire) <= i) std::this_thread::yield();
                outbox.OnNotice(Hex8(ids[i]));
            }
        });
    writer.join();
    for (auto& t : notifiers) t.join();
    ASSERT_TRUE(WaitUntil([] { return PendingCount() == 0; }, 20s));
    outbox.Stop();

    handled.ExpectEachOnce(kNotes);
    auto c = outbox.Counts();
    EXPECT_EQ(c.byNotice + c.bySweep, uint64_t(kNotes));
    // Two notices a note: at least one of them found it handled or in hand.
    EXPECT_GE(c.duplicates, uint64_t(kNotes));
    EXPECT_EQ(c.failures, 0u);
    EXPECT_EQ(c.unmarked, 0u);
}

}  // namespace
