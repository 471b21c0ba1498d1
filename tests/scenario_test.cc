// The scenario language as its author meets it: the one line that names a
// mistake (with its line number and the line itself). Every step it knows is
// played by the bundled demo.
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
        {"pause", "pause takes a time in milliseconds (pause MS)"},
        {"pause 1234567890", "pause takes a time in milliseconds (pause MS)"},  // would overflow a wait
        {"config user drop mail\\a.nsf", configUsage},
        {"config user add a.nsf b.nsf", configUsage},
        {"processor auth kerberos", processorUsage},
        {"processor mode 403", processorUsage},
        {"show stats TARN", "show takes stat and a prefix (show stat [PREFIX])"},
    };
    for (const auto& [line, what] : cases) {
        Read r = ReadText("say first\n" + line + "\nsay never read\n");
        EXPECT_FALSE(r.ok) << line;
        EXPECT_EQ(r.problem, where + what + ": " + line) << line;
        EXPECT_EQ(r.lines.size(), 1u) << line;
    }
}

}  // namespace
