// The scenario language as its author meets it: every step it knows, and the
// one line that names a mistake (with its line number and the line itself).
#include <gtest/gtest.h>

#include <sstream>

#include "scenario.h"

using simcli::ScenarioLine;

namespace {

struct Read {
    bool ok = false;
    std::vector<ScenarioLine> lines;
    std::string problem;
};

Read ReadText(const std::string& text) {
    Read r;
    std::istringstream in(text);
    r.ok = simcli::ReadScenario(in, "s.scenario", true, &r.lines, &r.problem);
    return r;
}

TEST(ScenarioTest, EveryStepOfTheLanguageIsReadWithItsLineNumber) {
    const std::vector<std::string> steps = {
        "say Alice books a review",
        "nserver.exe create a1 mail\\alice.nsf Form=Appointment ApptUNID=@unid",
        "nhttp.exe modify a1 Location=\"Room 4\"",
        "amgr.exe createx n1 mail\\bob.nsf Form=Notice NoticeType=S",
        "nserver.exe remove a1 Location",
        "nserver.exe stub a1",
        "nserver.exe delete a1 a2",
        "nserver.exe sleep 10",
        "nserver.exe echo hello there",
        "config user add mail\\carol.nsf",
        "config user remove mail\\bob.nsf",
        "config exclude add mail\\room.nsf",
        "config server AuthType=Basic Port_Domino#=${PORT}",
        "processor auth none",
        "processor auth basic",
        "processor auth session",
        "processor mode normal",
        "processor mode 404",
        "processor mode 500",
        "processor mode hang",
        "processor mode close",
        "processor stop",
        "processor start",
        "sync",
        "pause 250",
        "show stat",
        "show stat TARN.Notices",
    };
    std::string text;
    for (const auto& s : steps) text += s + "\n";
    Read r = ReadText(text);
    ASSERT_TRUE(r.ok) << r.problem;
    ASSERT_EQ(r.lines.size(), steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(r.lines[i].number, static_cast<int>(i + 1));
        EXPECT_EQ(r.lines[i].text, steps[i]);
    }
}

// Each mistake: the line to print, and reading stops there.
TEST(ScenarioTest, AMistakeIsOneLineNamingTheFileTheLineAndWhatIsWrong) {
    const std::string where = "tarn-sim: s.scenario line 2: ";
    const std::string configUsage =
        "config steps are: config user add PATH, config user remove PATH, config exclude add PATH, "
        "config server ITEM..., config view break NAME, config view repair NAME";
    const std::string processorUsage =
        "processor steps are: processor auth none|basic|session, processor mode normal|404|500|hang|close, "
        "processor stop, processor start";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"frobnicate now", "unknown step \"frobnicate\" (steps: say, sync, pause, config, processor, show stat, or a task: "
                           "nserver.exe, nhttp.exe, amgr.exe)"},
        {"nfoo.exe create a x.nsf", "unknown task nfoo.exe (the tasks are nserver.exe, nhttp.exe and amgr.exe)"},
        {"nserver.exe", "a task step names an operation (nserver.exe create LABEL DB ITEM...)"},
        {"amgr.exe quit", "quit would end the task for the rest of the scenario"},
        {"nserver.exe creat a x.nsf",
         "unknown operation \"creat\" (known: create, createx, modify, modifyx, remove, stub, stubx, delete, wait, "
         "sync, sleep, echo, quit)"},
        {"nserver.exe remove a1", "wrong number of words for remove (it is: remove LABEL NAME)"},
        {"nserver.exe stub a1 a2", "wrong number of words for stub (it is: stub LABEL)"},
        {"pause", "pause takes a time in milliseconds (pause MS)"},
        {"pause soon", "pause takes a time in milliseconds (pause MS)"},
        {"pause -5", "pause takes a time in milliseconds (pause MS)"},
        {"pause 1234567890", "pause takes a time in milliseconds (pause MS)"},  // would overflow a wait
        {"pause 10 20", "pause takes a time in milliseconds (pause MS)"},
        {"config user drop mail\\a.nsf", configUsage},
        {"config user add", configUsage},
        {"config user add a.nsf b.nsf", configUsage},
        {"config exclude remove a.nsf", configUsage},
        {"config server", configUsage},
        {"config", configUsage},
        {"processor auth kerberos", processorUsage},
        {"processor mode 403", processorUsage},
        {"processor stop now", processorUsage},
        {"processor", processorUsage},
        {"show", "show takes stat and a prefix (show stat [PREFIX])"},
        {"show stats TARN", "show takes stat and a prefix (show stat [PREFIX])"},
        {"show stat TARN Notices", "show takes stat and a prefix (show stat [PREFIX])"},
    };
    for (const auto& [line, what] : cases) {
        Read r = ReadText("say first\n" + line + "\nsay never read\n");
        EXPECT_FALSE(r.ok) << line;
        EXPECT_EQ(r.problem, where + what + ": " + line) << line;
        EXPECT_EQ(r.lines.size(), 1u) << line;
    }
}

}  // namespace
