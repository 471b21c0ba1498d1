// The host's statistics: one table for every task process of a data
// directory, and the C API reference's types and flags. Additive updates from
// several processes at once are the soak's, which sums three tasks' figures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emu/emulator.h"
#include "support/test_support.h"

namespace {

using Strings = std::vector<std::string>;

class StatsTest : public tarntest::DataDirTest {};

STATUS Add(const char* name, LONG value) { return StatUpdate("TARN", name, ST_ADDITIVE, VT_LONG, &value); }

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
    EXPECT_EQ(emu::ShowStat("").size(), 4u);

    // Only an additive number can be reset.
    EXPECT_EQ(StatReset("TARN", "Events.Seen"), NOERROR);
    EXPECT_EQ(StatReset("TARN", "Task.nserver.exe.Workers"), emu::err::STAT_NOT_SET);
    EXPECT_EQ(StatReset("TARN", "Nothing"), emu::err::STAT_NOT_FOUND);
    StatDelete("Other", "Name");

    // The walk of one facility, and the formatted buffer of them all.
    Strings walked;
    StatTraverse(const_cast<char*>("TARN"), nullptr,
                 [](void* context, char* facility, char* name, WORD type, void* value) -> STATUS {
                     const std::string v = type == VT_LONG     ? std::to_string(*static_cast<LONG*>(value))
                                           : type == VT_NUMBER ? std::to_string(*static_cast<NUMBER*>(value))
                                                               : static_cast<char*>(value);
                     static_cast<Strings*>(context)->push_back(std::string(facility) + "." + name + "=" + v);
                     return NOERROR;
                 },
                 &walked);
    EXPECT_EQ(walked, (Strings{"TARN.Events.Seen=0", "TARN.Ratio=0.500000", "TARN.Task.nserver.exe.Workers=5"}));
    DHANDLE h = NULLHANDLE;
    DWORD length = 0;
    ASSERT_EQ(StatQuery(const_cast<char*>("Stats\n"), const_cast<char*>("  "), const_cast<char*>(" = "),
                        const_cast<char*>("\n"), &h, &length),
              NOERROR);
    const char* text = static_cast<const char*>(OSLockObject(h));
    EXPECT_EQ(std::string(text, length),
              "Stats\n  TARN.Events.Seen = 0\n  TARN.Ratio = 0.5\n  TARN.Task.nserver.exe.Workers = 5\n");
    OSUnlockObject(h);
    OSMemFree(h);
    tarntest::ExpectAllReleased();
}

}  // namespace
