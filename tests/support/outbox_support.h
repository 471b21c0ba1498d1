// Helpers of the outbox suites: queue notes written as the add-in writes
// them, and what the capture queue holds.
#pragma once

#include <gtest/gtest.h>

#include <map>

#include "emu/emulator.h"
#include "support/test_support.h"

namespace tarntest {

constexpr const char* kQueueDb = "brackwater\\qcapture.nsf";

// A data directory holding an empty capture queue, open as `db`.
class QueueDbTest : public DataDirTest {
protected:
    void SetUp() override {
        DataDirTest::SetUp();
        ASSERT_EQ(emu::CreateDatabase(kQueueDb), 0);
        ASSERT_EQ(NSFDbOpen(kQueueDb, &db), 0);
    }
    void TearDown() override {
        if (db) NSFDbClose(db);
        DataDirTest::TearDown();
    }
    DBHANDLE db = 0;
};

// One queue note with the add-in's seven items; returns its id.
inline NOTEID WriteQueueNote(DBHANDLE db, int n, int status = 0) {
    NOTEID id = 0;
    EXPECT_EQ(emu::CreateDocument(db, {emu::Number("Action", 0), emu::Number("Status", status),
                                       emu::Text("CalDbPath", "mail\\alice.nsf"), emu::Text("CalNoteID", Hex8(0x900 + n)),
                                       emu::Text("CalUNID", "0123456789ABCDEF0123456789ABCDEF"),
                                       emu::Text("CalForm", "Appointment"),
                                       emu::Text("CalUserName", "CN=Alice Able/O=Brackwater")},
                                  &id),
              0);
    return id;
}

// Status of every queue note, by id.
inline std::map<NOTEID, double> QueueStatus() {
    std::vector<emu::NoteDump> dump;
    std::map<NOTEID, double> out;
    if (emu::DumpNotes(kQueueDb, &dump) == 0)
        for (const auto& n : dump) out[n.id] = NumberOf(n, "Status");
    return out;
}

inline size_t PendingCount() {
    size_t n = 0;
    for (const auto& [id, status] : QueueStatus()) n += status != 1;
    return n;
}

}  // namespace tarntest
