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

using namespace notes;

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
    if (!tMine.count(static_cast<NOTEHANDLE>(rec->Ap.v[0]))) ++gForeignHandles;
    NOTEID id = 0;
    GetNoteInfo(static_cast<NOTEHANDLE>(rec->Ap.v[0]), NOTE_ID, &id);
    if (id != 0) ++gAfterEvents;
    return ERR_EM_CONTINUE;
}

class StoreMtTest : public tarntest::DataDirTest {};

TEST_F(StoreMtTest, ConcurrentSavesAndViewReads) {
    const char* path = "mail\\busy.nsf";
    ASSERT_EQ(emu::CreateDatabase(path), 0);
    DBHANDLE shared = 0;
    ASSERT_EQ(OpenDatabase(path, &shared), 0);
    NOTEID view = 0;
    ASSERT_EQ(emu::CreateView(shared, {"all", "", {"Appointment"}, {"Key", "Count"}, 0}, &view), 0);
    HEMREGISTRATION reg = 0;
    ASSERT_EQ(EmRegister(EM_NSFNOTEUPDATE, EM_REG_AFTER, CountSaves, 0, &reg), 0);
    emu::SetReadPageSize(4);

    std::atomic<bool> writersDone{false};
    std::atomic<int> failures{0};
    std::atomic<int> snapshots{0};
    std::thread reader([&] {
        size_t lastCount = 0;
        while (!writersDone.load()) {
            HCOLLECTION coll = 0;
            if (OpenCollection(shared, shared, view, 0, 0, &coll)) {
                ++failures;
                return;
            }
            CollectionPosition pos{};
            size_t count = 0;
            uint16_t signal = 0;
            do {
                MEMHANDLE buf = 0;
                uint16_t len = 0;
                uint32_t returned = 0;
                if (ReadEntries(coll, &pos, 1, 1, 1, 0xFFFFFFFF, READ_MASK_SUMMARYVALUES, &buf, &len, nullptr,
                                &returned, &signal)) {
                    ++failures;
                    break;
                }
                if (!buf) break;
                auto* p = static_cast<const uint8_t*>(LockObject(buf));
                size_t at = 0;
                for (uint32_t i = 0; i < returned && at + 4 <= len; ++i) at += p[at] | (p[at + 1] << 8);
                if (at != len || returned > 4) ++failures;
                UnlockObject(buf);
                FreeMemory(buf);
                count += returned;
            } while (signal & SIGNAL_MORE_TO_DO);
            CloseCollection(coll);
            // Notes are only ever added, so a later snapshot never shows fewer.
            if (count < lastCount) ++failures;
            lastCount = count;
            ++snapshots;
        }
    });

    std::vector<std::vector<NOTEID>> ids(kThreads);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            // Half the threads share one handle, as a task's threads share its
            // databases; the others have their own connection.
            DBHANDLE db = shared;
            if (t % 2 && OpenDatabase(path, &db)) {
                ++failures;
                return;
            }
            for (int n = 0; n < kNotesEach; ++n) {
                NOTEHANDLE note = 0;
                if (CreateNote(db, &note)) {
                    ++failures;
                    continue;
                }
                tMine.insert(note);
                std::string key = "t" + std::to_string(t) + "n" + std::to_string(n);
                AppendItem(note, ITEM_SUMMARY, "Form", 4, TYPE_TEXT, "Appointment", 11);
                AppendItem(note, ITEM_SUMMARY, "Key", 3, TYPE_TEXT, key.data(), static_cast<uint32_t>(key.size()));
                if (UpdateNote(note, 0)) ++failures;
                NOTEID id = 0;
                GetNoteInfo(note, NOTE_ID, &id);
                ids[t].push_back(id);
                CloseNote(note);
            }
            for (int round = 1; round <= kRounds; ++round) {
                for (NOTEID id : ids[t]) {
                    NOTEHANDLE note = 0;
                    if (OpenNote(db, id, 0, &note)) {
                        ++failures;
                        continue;
                    }
                    tMine.insert(note);
                    double count = round;
                    SetItemNumber(note, "Count", &count);
                    if (UpdateNote(note, 0)) ++failures;
                    CloseNote(note);
                }
            }
            if (db != shared) CloseDatabase(db);
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
        ASSERT_EQ(OpenNote(shared, id, 0, &note), 0);
        EXPECT_EQ(GetItemLong(note, "Count", 0), kRounds) << "a save was lost for note " << id;
        CloseNote(note);
    }
    EmDeregister(reg);
    CloseDatabase(shared);
    emu::OpenCounts c = emu::Open();
    EXPECT_EQ(c.databases + c.notes + c.collections + c.lockedBlocks + c.allocatedBlocks, 0);
}

}  // namespace
