// Log writers and Notes error reporting, in-process over the emulator's console.
#include <cstring>
#include <string>

#include "config/tarn_config.h"
#include "host/tarn_session.h"
#include "log/notes_error.h"
#include "log/tarn_log.h"
#include "support/test_support.h"

using namespace tarntest;

namespace {

class LogTest : public DataDirTest {};

TEST_F(LogTest, PlainLinesAreBannerBlankMessageAndCutToFit) {
    LogPlain("%s=%d", "x", 5);
    std::string longMessage(400, 'm');
    LogPlain("%s", longMessage.c_str());
    LogPlain("%s", "100% sure");
    auto lines = emu::ConsoleLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Brackwater TARN 1.2.27 x=5");
    EXPECT_EQ(lines[1], "Brackwater TARN 1.2.27 " + std::string(232, 'm'));
    EXPECT_EQ(lines[2], "Brackwater TARN 1.2.27 100% sure");
}

TEST_F(LogTest, SessionLinesNameTheTaskAndFollowTheConfiguredLevel) {
    TARNSession session;
    // An unconfigured session writes at the default level 1.
    session.Init("nhttp.exe", "");  // fails at the configuration: no databases here
    emu::ClearConsole();
    session.Log(1, "error %d", 7);
    session.Log(2, "progress");
    session.Log(3, "detail");
    session.Log(0, "%s", std::string(300, 'z').c_str());
    auto lines = emu::ConsoleLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Brackwater TARN 1.2.27 (nhttp.exe) : error 7");
    EXPECT_EQ(lines[1], "Brackwater TARN 1.2.27 (nhttp.exe) : " + std::string(255, 'z'));
}

TEST_F(LogTest, CheckNotesStatusComposesTheHostText) {
    EXPECT_NO_THROW(CheckNotesStatus(0, "Couldn't create recursion id."));
    EXPECT_NO_THROW(CheckNotesStatus(0x02D3, nullptr));
    try {
        CheckNotesStatus(0x02D3, "Couldn't create recursion id.");
        FAIL() << "no exception";
    } catch (const NotesWrapper::notes_error& e) {
        EXPECT_EQ(e.status, 0x02D3);
        EXPECT_STREQ(e.what(), "Couldn't create recursion id.: No more Extension Manager recursion identifiers (0x2d3)");
    }
    // Texts past 199 characters are cut, never overrun.
    std::string huge(500, 'q');
    try {
        CheckNotesStatus(0x0138, "%s", huge.c_str());
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(strlen(e.what()), 199u);
        EXPECT_EQ(std::string(e.what()), std::string(199, 'q'));
    }
    // A status the host has no text for still gets one; the text is looked
    // up for the code without its flag bits (ERR), the status shown whole.
    try {
        CheckNotesStatus(0x7777, "Couldn't get db path for event");
        FAIL() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Couldn't get db path for event: Unknown error code 14199 (0x7777)");
    }
}

TEST_F(LogTest, BoundedCopiesTerminate) {
    char small[6];
    memset(small, 'X', sizeof small);
    CopyBounded(small, sizeof small, "abcdefghij");
    EXPECT_STREQ(small, "abcde");
    AppendBounded(small, sizeof small, "more");
    EXPECT_STREQ(small, "abcde");
    char room[8] = "ab";
    AppendBounded(room, sizeof room, "cdefghij");
    EXPECT_STREQ(room, "abcdefg");
}

}  // namespace
