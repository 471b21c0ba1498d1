// The scenario language as its author meets it: every step it knows, the one
// line that names a mistake (with its line number and the line itself), words
// in quotes, comments, and the heading without text.
#include <gtest/gtest.h>

#include <sstream>

#include "scenario.h"
#include "runner/words.h"

using simcli::ScenarioLine;

namespace {

struct Read {
    bool ok = false;
    std::vector<ScenarioLine> lines;
    std::string problem;
};

Read ReadText(const std::string& text, bool withProcessor = true) {
    Read r;
    std::istringstream in(text);
    r.ok = simcli::ReadScenario(in, "s.scenario", withProcessor, &r.lines, &r.problem);
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

TEST(ScenarioTest, CommentsBlankLinesAndWindowsLineEndsAreSkippedButCounted) {
    Read r = ReadText("# a comment\n\n   \t\r\n#say not played\n  # indented comment\r\nsay one\r\nsync\n");
    ASSERT_TRUE(r.ok) << r.problem;
    ASSERT_EQ(r.lines.size(), 2u);
    EXPECT_EQ(r.lines[0].number, 6);
    EXPECT_EQ(r.lines[0].text, "say one");  // the carriage return is gone
    EXPECT_EQ(r.lines[1].number, 7);
    // A mistake after comments is named by its own line number.
    r = ReadText("# one\n\n# three\nfrobnicate\n");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.problem.rfind("tarn-sim: s.scenario line 4: ", 0), 0u) << r.problem;
    EXPECT_TRUE(ReadText("").ok);
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

TEST(ScenarioTest, ProcessorStepsNeedTheDemosProcessor) {
    const std::string need =
        "processor steps need the demo's sample processor: play this scenario with tarn-sim demo --scenario FILE";
    Read r = ReadText("processor stop\n", false);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.problem, "tarn-sim: s.scenario line 1: " + need + ": processor stop");
    // A malformed one is named as malformed, with or without a processor.
    r = ReadText("processor mode sideways\n", false);
    EXPECT_EQ(r.problem.find(need), std::string::npos) << r.problem;
    // Everything else plays without one.
    EXPECT_TRUE(ReadText("say x\nsync\npause 1\nconfig user add a.nsf\nnserver.exe wait\n", false).ok);
}

TEST(ScenarioTest, QuotesKeepBlanksInsideOneWord) {
    // Three words with the quotes, four without.
    EXPECT_TRUE(ReadText("nserver.exe remove a1 \"Two words\"\n").ok);
    EXPECT_FALSE(ReadText("nserver.exe remove a1 Two words\n").ok);
    EXPECT_EQ(simcli::CheckStep(SplitWords("config user add \"mail\\with blank.nsf\""), true), "");
    auto w = SplitWords("nserver.exe create a1 x.nsf Subject=\"Say \\\"hi\\\" twice\"");
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[4], "Subject=Say \"hi\" twice");
    // A quoted empty word is a word, and no known step.
    Read r = ReadText("\"\" sync\n");
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.problem.find("unknown step \"\""), std::string::npos) << r.problem;
}

TEST(ScenarioTest, AHeadingIsTheTextAfterSayAndMayBeEmpty) {
    EXPECT_EQ(simcli::HeadingText("say"), "");
    EXPECT_EQ(simcli::HeadingText("say   "), "");
    EXPECT_EQ(simcli::HeadingText("say \t Alice books a review"), "Alice books a review");
    EXPECT_EQ(simcli::HeadingText("  say two  blanks kept"), "two  blanks kept");
    Read r = ReadText("say\n");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.lines.size(), 1u);
}

TEST(ScenarioTest, VariablesAreReplacedWhereverTheyStand) {
    const std::map<std::string, std::string> vars = {{"PORT", "8123"}};
    EXPECT_EQ(simcli::Substitute("config server Port_Domino#=${PORT} Url=http://h:${PORT}/x", vars),
              "config server Port_Domino#=8123 Url=http://h:8123/x");
    EXPECT_EQ(simcli::Substitute("say ${OTHER} and $PORT stay", vars), "say ${OTHER} and $PORT stay");
    // A value is not read again for variables: one naming itself ends.
    EXPECT_EQ(simcli::Substitute("${PORT}/${PORT}", {{"PORT", "${PORT}x"}}), "${PORT}x/${PORT}x");
}

}  // namespace
