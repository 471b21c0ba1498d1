// The platform reads the add-in and tarn-setup share (src/base): items, views,
// the calendar profile, status texts and the task list, each on the stand-in
// host with its faults, and every way out releasing what it opened.
#include <string>
#include <vector>

#include "base/note_items.h"
#include "base/profile_field.h"
#include "base/status_text.h"
#include "base/view_read.h"
#include "config/tarn_config.h"
#include "host/tarn_session.h"
#include "ipc/task_list.h"
#include "support/test_support.h"

using namespace tarntest;

namespace {

class PlatformReadsTest : public DataDirTest {
protected:
    void SetUp() override {
        DataDirTest::SetUp();
        ASSERT_EQ(emu::CreateDatabase("mail\\reads.nsf"), 0);
        ASSERT_EQ(NSFDbOpen("mail\\reads.nsf", &db), 0);
    }
    void TearDown() override {
        emu::ClearFaults();
        emu::SetReadPageSize(0);
        NSFDbClose(db);
        ExpectAllReleased();
        DataDirTest::TearDown();
    }
    NOTEID Document(const std::vector<emu::ItemValue>& items) {
        NOTEID id = 0;
        EXPECT_EQ(emu::CreateDocument(db, items, &id), 0);
        return id;
    }
    DBHANDLE db = 0;
};

TEST_F(PlatformReadsTest, ItemsAreReadWithOneTerminationRuleAndOneErrorPolicy) {
    NoteHandle note;
    ASSERT_EQ(OpenNoteInto(note, db, Document({emu::Text("Form", "Appointment"), emu::Number("Count", 2)}), 0), 0);
    // Cut to the buffer, always terminated; nothing of what it held before
    // shows when the item is missing or not text.
    char small[5];
    EXPECT_EQ(ReadTextItem(note.get(), "Form", small), 4u);
    EXPECT_STREQ(small, "Appo");
    char whole[64] = "left over";
    EXPECT_EQ(ReadTextItem(note.get(), "Missing", whole), 0u);
    EXPECT_STREQ(whole, "");
    char one[1] = {'x'};
    EXPECT_EQ(ReadTextItem(note.get(), "Form", one), 0u);
    EXPECT_EQ(one[0], '\0');

    WORD type = 0;
    EXPECT_TRUE(ItemPresent(note.get(), "Count", "", &type));
    EXPECT_EQ(type, TYPE_NUMBER);
    EXPECT_FALSE(ItemPresent(note.get(), "Missing"));
    // A look that fails is no absence: it throws, named by its caller.
    emu::InjectFault(emu::Op::ItemInfo, emu::err::DB_IO, 1);
    try {
        ItemPresent(note.get(), "Form", "Check: ");
        ADD_FAILURE() << "a failed look was taken for an answer";
    } catch (const NotesWrapper::notes_error& e) {
        EXPECT_EQ(e.status, emu::err::DB_IO);
        EXPECT_EQ(std::string(e.what()).rfind("Check: item Form could not be read: ", 0), 0u) << e.what();
    }
}

// The configuration load under the same policy: a setting that cannot be
// looked at ends the load and the configuration in force stays (read as
// absent, DTC_LogLevel would quietly fall back to 1).
TEST_F(PlatformReadsTest, ASettingThatCannotBeReadEndsTheLoadAndKeepsTheConfigurationInForce) {
    CreateSampleDatabases();
    TARNSession session;
    session.StartLog("nserver.exe");
    TARNConfig config;
    ASSERT_TRUE(config.Open(&session));
    ASSERT_EQ(config.GetLogLevel(), 3);
    emu::ClearConsole();
    emu::InjectFault(emu::Op::ItemInfo, emu::err::INJECTED, 1);  // DTC_LogLevel, the first looked at
    EXPECT_FALSE(config.Load());
    emu::ClearFaults();
    EXPECT_EQ(config.GetLogLevel(), 3);
    EXPECT_EQ(CountWith(emu::ConsoleLines(),
                        {"Error loading TARNConfig: item DTC_LogLevel could not be read: Injected failure"}),
              1);
    EXPECT_TRUE(config.Load());
    config.Reset();
}

TEST_F(PlatformReadsTest, AViewIsReadWholeAndReleasedOnEveryWayOut) {
    ASSERT_EQ(CreateView(db, {"people", "", {"Person"}, {"Name"}, 0}, nullptr), 0);
    for (int i = 0; i < 7; ++i) Document({emu::Text("Form", "Person"), emu::Text("Name", "p" + std::to_string(i))});
    emu::SetReadPageSize(3);
    DWORD seen = 0, pages = 0;
    auto count = [&](const uint8_t*, WORD, DWORD entries) {
        seen += entries;
        ++pages;
        return true;
    };
    EXPECT_EQ(ReadView(db, "people", READ_MASK_NOTEID, true, count), ViewRead::Ok);
    EXPECT_EQ(seen, 7u);
    EXPECT_EQ(pages, 3u);
    seen = 0;
    EXPECT_EQ(ReadView(db, "people", READ_MASK_NOTEID, false, count), ViewRead::Ok);
    EXPECT_EQ(seen, 3u);  // the first page only
    EXPECT_EQ(ReadView(db, "people", READ_MASK_NOTEID, true, [](const uint8_t*, WORD, DWORD) { return false; }),
              ViewRead::Refused);
    STATUS s = 0;
    EXPECT_EQ(ReadView(db, "nobody", READ_MASK_NOTEID, true, count, &s), ViewRead::NotFound);
    EXPECT_NE(s, 0);

    struct Row {
        emu::Op op;
        ViewRead result;
        bool statusKept;
    };
    for (const Row& row : {Row{emu::Op::OpenCollection, ViewRead::NoCollection, true},
                           Row{emu::Op::ReadEntries, ViewRead::ReadFailed, true},
                           Row{emu::Op::LockObject, ViewRead::NoBuffer, false},
                           Row{emu::Op::CloseCollection, ViewRead::CloseFailed, true}}) {
        SCOPED_TRACE(ViewReadCall(row.result));
        emu::InjectFault(row.op, emu::err::INJECTED, 1);
        s = 0;
        EXPECT_EQ(ReadView(db, "people", READ_MASK_NOTEID, true, count, &s), row.result);
        if (row.statusKept) {
            EXPECT_EQ(s, emu::err::INJECTED);
        }
        emu::ClearFaults();
        ExpectAllReleased(false);
    }
}

TEST_F(PlatformReadsTest, TheCalendarProfileOwnerIsTakenAsTheFilterTakesIt) {
    char owner[8] = "junk";
    EXPECT_EQ(ReadProfileText(db, "CalendarProfile", "Owner", owner, sizeof owner), ProfileText::NoProfile);
    EXPECT_STREQ(owner, "");
    struct Row {
        emu::ItemValue field;
        ProfileText result;
        const char* value;
    };
    for (const Row& row : {Row{emu::Text("Owner", "CN=Alice"), ProfileText::Ok, "CN=Alic"},  // cut to 7
                           Row{emu::Text("Owner", ""), ProfileText::Ok, ""},                // an empty text is a text
                           Row{emu::Number("Owner", 1), ProfileText::NotText, ""}}) {
        ASSERT_EQ(emu::SetProfile(db, "CalendarProfile", {row.field}), 0);
        EXPECT_EQ(ReadProfileText(db, "CalendarProfile", "Owner", owner, sizeof owner), row.result);
        EXPECT_STREQ(owner, row.value);
        EXPECT_STREQ(ProfileTextProblem(row.result), row.result == ProfileText::NotText ? "is not text" : "");
    }
    ASSERT_EQ(emu::SetProfile(db, "CalendarProfile", {emu::Text("Owner", "CN=Alice")}), 0);
    emu::InjectFault(emu::Op::LockObject, emu::err::INJECTED, 1);
    EXPECT_EQ(ReadProfileText(db, "CalendarProfile", "Owner", owner, sizeof owner), ProfileText::NotLocked);
}

TEST_F(PlatformReadsTest, StatusTextsComeFromTheHostOrNameTheCode) {
    EXPECT_STREQ(StatusText(emu::err::INJECTED).c_str(), "Injected failure");
    EXPECT_EQ(StatusTextWithCode(emu::err::INJECTED), "Injected failure (0x1A41)");
    constexpr STATUS kUnknown = 0x3ABC;  // a code the host has no text for
    EXPECT_STREQ(StatusText(kUnknown).c_str(), "Unknown error code 15036");
    EXPECT_EQ(StatusTextWithCode(kUnknown), "status 0x3ABC");
    // Flags above the code do not change the text.
    EXPECT_STREQ(StatusText(emu::err::INJECTED | 0x8000).c_str(), "Injected failure");
}

TEST(TaskListEntries, SplitAtEverySeparatorKeepingEmptyEntriesAndBlanks) {
    using Entries = std::vector<std::string>;
    EXPECT_EQ(TaskListEntries("nserver.exe, nhttp.exe"), (Entries{"nserver.exe", " nhttp.exe"}));
    EXPECT_EQ(TaskListEntries("a,,b"), (Entries{"a", "", "b"}));
    EXPECT_EQ(TaskListEntries("a,"), (Entries{"a"}));  // as the add-in reads it
    EXPECT_TRUE(TaskListEntries("").empty());
    EXPECT_EQ(TaskListEntries("nserver.exe;nhttp.exe", ';'), (Entries{"nserver.exe", "nhttp.exe"}));
    // The served-by-part rule reads the list the same way.
    EXPECT_EQ(EntryServingByPart("server", " nserver.exe ,"), "nserver.exe");
    EXPECT_EQ(EntryServingByPart("server", "nserver.exe,server"), "");
}

}  // namespace
