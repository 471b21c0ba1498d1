// Many server threads saving notes in one database while another walks a
// view of it: no save is lost, every snapshot is well formed, and the
// Extension Manager sees each save on the thread that made it.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "emu/emulator.h"
#include "support/test_support.h"

namespace {

constexpr int kThreads = 8;
constexpr int kNotesEach = 3;
constexpr int kRounds = 8;

std::atomic<int> gAfterEvents{0};
std::atomic<int> gForeignHandles{0};
thread_local std::set<NOTEHANDLE> tMine;

STATUS CountSaves(EMRECORD* rec) {
    if (rec->NotificationType != EM_AFTER || rec->Status != 0) return ERR_EM_CONTINUE;
    // The callback runs on the saving thread, with that thread's note.
    va_list ap;
    va_copy(ap, rec->Ap);
    const NOTEHANDLE note = va_arg(ap, NOTEHANDLE);
    va_end(ap);
    if (!tMine.count(note)) ++gForeignHandles;
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    if (id != 0) ++gAfterEvents;
    return ERR_EM_CONTINUE;
}

class StoreMtTest : public tarntest::DataDirTest {};

TEST_F(StoreMtTest, ConcurrentSavesAndViewReads) {
    const char* path = "mail\\busy.nsf";
    ASSERT_EQ(emu::CreateDatabase(path), 0);
    DBHANDLE shared = 0;
    ASSERT_EQ(NSFDbOpen(path, &shared), 0);
    NOTEID view = 0;
    ASSERT_EQ(tarntest::CreateView(shared, {"all", "", {"Appointment"}, {"Key", "Count"}, 0}, &view), 0);
    HEMREGISTRATION reg = 0;
    ASSERT_EQ(EMRegister(EM_NSFNOTEUPDATE, EM_REG_AFTER, CountSaves, 0, &reg), 0);
    emu::SetReadPageSize(4);

    std::atomic<bool> writersDone{false};
    std::atomic<int> failures{0};
    std::atomic<int> snapshots{0};
    // Counts a failed call; true when it failed.
    auto failed = [&](STATUS s) {
        if (s) ++failures;
        return s != 0;
    };
    std::thread reader([&] {
        // A handle belongs to its thread: this one reads through its own copy.
        DBHANDLE mine = 0;
        if (failed(NSFDbReopen(shared, &mine))) return;
        size_t lastCount = 0;
        while (!writersDone.load()) {
            HCOLLECTION coll = 0;
            if (failed(NIFOpenCollection(mine, mine, view, 0, 0, &coll, nullptr, nullptr, nullptr, nullptr))) return;
            COLLECTIONPOSITION pos{};
            size_t count = 0;
            uint16_t signal = 0;
            do {
                DHANDLE buf = 0;
                uint16_t len = 0;
                uint32_t returned = 0;
                if (failed(NIFReadEntries(coll, &pos, 1, 1, 1, 0xFFFFFFFF, READ_MASK_SUMMARYVALUES, &buf, &len,
                                          nullptr, &returned, &signal)) ||
                    !buf)
                    break;
                auto* p = static_cast<const uint8_t*>(OSLockObject(buf));
                size_t at = 0;
                for (uint32_t i = 0; i < returned && at + 4 <= len; ++i) at += p[at] | (p[at + 1] << 8);
                if (at != len || returned > 4) ++failures;
                OSUnlockObject(buf);
                OSMemFree(buf);
                count += returned;
            } while (signal & SIGNAL_MORE_TO_DO);
            NIFCloseCollection(coll);
            // Notes are only ever added, so a later snapshot never shows fewer.
            if (count < lastCount) ++failures;
            lastCount = count;
            ++snapshots;
        }
        NSFDbClose(mine);
    });

    std::vector<std::vector<NOTEID>> ids(kThreads);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            // Half the threads take their copy of the task's handle, as a
            // task's threads do; the others open the database themselves.
            DBHANDLE db = 0;
            if (failed(t % 2 ? NSFDbOpen(path, &db) : NSFDbReopen(shared, &db))) return;
            for (int n = 0; n < kNotesEach; ++n) {
                NOTEHANDLE note = 0;
                if (failed(NSFNoteCreate(db, &note))) continue;
                tMine.insert(note);
                std::string key = "t" + std::to_string(t) + "n" + std::to_string(n);
                NSFItemAppend(note, ITEM_SUMMARY, "Form", 4, TYPE_TEXT, "Appointment", 11);
                NSFItemAppend(note, ITEM_SUMMARY, "Key", 3, TYPE_TEXT, key.data(), static_cast<uint32_t>(key.size()));
                failed(NSFNoteUpdate(note, 0));
                NOTEID id = 0;
                NSFNoteGetInfo(note, _NOTE_ID, &id);
                ids[t].push_back(id);
                NSFNoteClose(note);
            }
            for (int round = 1; round <= kRounds; ++round) {
                for (NOTEID id : ids[t]) {
                    NOTEHANDLE note = 0;
                    if (failed(NSFNoteOpen(db, id, 0, &note))) continue;
                    tMine.insert(note);
                    double count = round;
                    NSFItemSetNumber(note, "Count", &count);
                    failed(NSFNoteUpdate(note, 0));
                    NSFNoteClose(note);
                }
            }
            NSFDbClose(db);
        });
    }
    for (auto& w : writers) w.join();
    writersDone = true;
    reader.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(snapshots.load(), 0);
    EXPECT_EQ(gForeignHandles.load(), 0);
    EXPECT_EQ(gAfterEvents.load(), kThreads * kNotesEach * (1 + kRounds));

    std::set<NOTEID> unique;
    for (const auto& list : ids) unique.insert(list.begin(), list.end());
    EXPECT_EQ(unique.size(), static_cast<size_t>(kThreads * kNotesEach));
    for (NOTEID id : unique) {
        NOTEHANDLE note = 0;
        ASSERT_EQ(NSFNoteOpen(shared, id, 0, &note), 0);
        EXPECT_EQ(NSFItemGetLong(note, "Count", 0), kRounds) << "a save was lost for note " << id;
        NSFNoteClose(note);
    }
    EMDeregister(reg);
    NSFDbClose(shared);
    emu::OpenCounts c = emu::Open();
    EXPECT_EQ(c.databases + c.notes + c.collections + c.lockedBlocks + c.allocatedBlocks, 0);
}

}  // namespace
