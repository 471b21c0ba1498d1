// The host's statistics: one table for every task process of a data
// directory, additive updates from several processes at once, and the
// reference's types and flags.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "emu/emulator.h"
#include "support/test_support.h"

namespace {

using Strings = std::vector<std::string>;

class StatsTest : public tarntest::DataDirTest {};

STATUS Add(const char* name, LONG value) { return StatUpdate("TARN", name, ST_ADDITIVE, VT_LONG, &value); }

TEST_F(StatsTest, AdditiveUpdatesFromTwoProcessesAtOnceLoseNothing) {
    constexpr int kEach = 300;
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    std::vector<pid_t> children;
    for (const char* own : {"Child.A", "Child.B"}) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(start[1]);
            char c;
            (void)!read(start[0], &c, 1);  // both begin when the parent lets go
            int failed = 0;
            for (int i = 0; i < kEach; ++i) failed += Add("Shared.Count", 1) != NOERROR;
            failed += StatUpdate("TARN", own, ST_UNIQUE, VT_TEXT, "done") != NOERROR;
            _exit(failed == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    close(start[0]);
    close(start[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(tarntest::ExitCodeOf(status), 0);
    }
    // Set by processes that have ended, read by another.
    EXPECT_EQ(emu::ShowStat("TARN"), (Strings{"TARN.Child.A = done", "TARN.Child.B = done",
                                              "TARN.Shared.Count = " + std::to_string(2 * kEach)}));
}

TEST_F(StatsTest, UpdatesKeepTheirTypeAndTheReferencesFlags) {
    const LONG five = 5;
    const NUMBER half = 0.5;
    EXPECT_EQ(Add("Events.Seen", 2), NOERROR);
    EXPECT_EQ(Add("Events.Seen", 3), NOERROR);
    EXPECT_EQ(StatUpdate("TARN", "Task.nserver.exe.Workers", ST_UNIQUE, VT_LONG, &five), NOERROR);
    EXPECT_EQ(StatUpdate("TARN", "Ratio", ST_RESETABLE, VT_NUMBER, &half), NOERROR);
    EXPECT_EQ(StatUpdate("Other", "Name", ST_UNIQUE, VT_TEXT, "x"), NOERROR);

    // What the reference does not define, or this host does not support,
    // is refused and changes nothing.
    const std::string longName(128, 'n'), longText(256, 't');
    struct Refusal {
        const char* name;
        WORD flags, type;
        const void* value;
        STATUS status;
    } const refusals[] = {
        {"Events.Seen", 0, VT_LONG, &five, emu::err::BAD_FLAGS},             // another instance
        {"Events.Seen", 0x0004, VT_LONG, &five, emu::err::BAD_FLAGS},        // undefined flag
        {"Events.Seen", ST_UNIQUE, VT_TEXT, "text", emu::err::INVALID_ARGS},  // type change
        {"Label", ST_ADDITIVE, VT_TEXT, "text", emu::err::BAD_FLAGS},        // adding to a text
        {"When", ST_UNIQUE, VT_TIMEDATE, &five, emu::err::INVALID_ARGS},     // not supported
        {"Label", ST_UNIQUE, VT_TEXT, longText.c_str(), emu::err::INVALID_ARGS},
        {longName.c_str(), ST_UNIQUE, VT_LONG, &five, emu::err::NAME_LENGTH},
        {"", ST_UNIQUE, VT_LONG, &five, emu::err::INVALID_ARGS},
        {"Label", ST_UNIQUE, VT_LONG, nullptr, emu::err::INVALID_ARGS},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(std::string(r.name).substr(0, 20) + " " + std::to_string(r.flags) + "/" + std::to_string(r.type));
        EXPECT_EQ(StatUpdate("TARN", r.name, r.flags, r.type, r.value), r.status);
    }
    EXPECT_EQ(emu::ShowStat("TARN"), (Strings{"TARN.Events.Seen = 5", "TARN.Ratio = 0.5",
                                              "TARN.Task.nserver.exe.Workers = 5"}));
    // Names are whole parts, case ignored, or any beginning with '*'.
    EXPECT_EQ(emu::ShowStat("tarn.events"), Strings{"TARN.Events.Seen = 5"});
    EXPECT_EQ(emu::ShowStat("TARN.Event"), Strings{});
    EXPECT_EQ(emu::ShowStat("TARN.Event*"), Strings{"TARN.Events.Seen = 5"});
    tarntest::ExpectAllReleased();
}

}  // namespace
