// The tools as an operator meets them: a data directory that is missing or
// unprepared ends with one plain line that says how to mend it, and a non-zero
// status, before anything is started; --auth takes the same values in every
// program and refuses the rest the same way.
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "support/test_support.h"

using namespace tarntest;

namespace {

class ToolsTest : public DataDirTest {
protected:
    ProcessResult Sim(const std::vector<std::string>& args, const std::string& in = "") {
        return Run(BuildDir() + "/bin/tarn-sim", args, in);
    }
    // Runs a program with these arguments and standard input.
    ProcessResult Run(const std::string& exe, const std::vector<std::string>& args, const std::string& in = "") {
        std::string inPath = dataDir + "/.stdin", outPath = dataDir + "/.stdout", errPath = dataDir + "/.stderr";
        std::ofstream(inPath) << in;
        std::string command = exe;
        for (const auto& a : args) command += " '" + a + "'";
        command += " <" + inPath + " >" + outPath + " 2>" + errPath;
        ProcessResult r;
        r.exitCode = ExitCodeOf(system(command.c_str()));
        ReadTaskOutput(outPath, errPath, r);
        return r;
    }
    static int Lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }
};

TEST_F(ToolsTest, ADataDirectoryThatIsMissingOrWasNeverPreparedIsNamedWithTheFix) {
    const std::string missing = dataDir + "/nowhere", sim = BuildDir() + "/bin/tarn-sim",
                      task = BuildDir() + "/bin/nserver.exe", prepare = "tarn-sim prepare --data ";
    const std::string gone = " does not exist; prepare it with: " + prepare + missing + "\n";
    const std::string bare = dataDir + " was never prepared (it has no notes.ini); prepare it with: " + prepare +
                             dataDir + "\n";
    struct Case {
        std::string exe;
        std::vector<std::string> args;
        std::string err;
    };
    // The task processes say the same as tarn-sim, before loading the add-in.
    for (const Case& c : std::vector<Case>{
             {sim, {"run", "--data", missing}, "tarn-sim: the data directory " + missing + gone},
             {sim, {"run", "--data", dataDir}, "tarn-sim: " + bare},
             {task, {"--data", missing},
              "runner: the data directory " + missing + " does not exist; prepare one with: " + prepare + missing + "\n"},
             {task, {"--data", dataDir}, "runner: " + bare},
             {BuildDir() + "/bin/tarn-processor", {"--port", "0", "--data", missing},
              "tarn-processor: the data directory " + missing + gone}}) {
        auto r = Run(c.exe, c.args);
        EXPECT_EQ(r.exitCode, 2) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(BannerLines(r.out).empty()) << c.err;
    }
    emu::SetIniVariable("TARN_Task_List", "nserver.exe");  // notes.ini alone is no prepared directory
    auto noConfig = Sim({"run", "--data", dataDir});
    EXPECT_EQ(noConfig.exitCode, 2);
    EXPECT_NE(noConfig.err.find("it has no configuration database brackwater\\tarnconfig.nsf"), std::string::npos)
        << noConfig.err;
    EXPECT_EQ(Lines(noConfig.err), 1);
    EXPECT_TRUE(noConfig.out.empty());  // nothing was started
}

// The AuthType item's spelling and the sample processor's lower case are
// taken by all three, exactly; anything else stops the program with one line
// before it does anything.
TEST_F(ToolsTest, AuthTakesTheSameValuesInEveryProgramAndRefusesTheRest) {
    const std::string refused = "is not an authentication: give None, Basic or Session (or none, basic, session)";
    const std::string sim = BuildDir() + "/bin/tarn-sim", processor = BuildDir() + "/bin/tarn-processor",
                      setup = BuildDir() + "/bin/tarn-setup";
    for (const std::string value : {"BASIC", "basic ", "Basics", ""}) {
        SCOPED_TRACE("--auth '" + value + "'");
        for (const auto& [exe, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
                 {sim, {"prepare", "--data", dataDir + "/refused", "--auth", value}},
                 {processor, {"--port", "0", "--auth", value}},
                 {setup, {"--data", dataDir, "create", "--host", "127.0.0.1", "--auth", value}}}) {
            auto r = Run(exe, args);
            EXPECT_NE(r.exitCode, 0) << exe;
            EXPECT_NE(r.err.find("\"" + value + "\" " + refused), std::string::npos) << exe << ": " << r.err;
            EXPECT_TRUE(BannerLines(r.out).empty()) << exe;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dataDir + "/refused"));
    EXPECT_FALSE(std::filesystem::exists(emu::FilePathFor("brackwater\\tarnconfig.nsf")));

    // Either spelling writes the item's: before, "basic" reached the server
    // document as it was and the add-in sent no credentials.
    for (const auto& [value, item] : {std::pair{"basic", "Basic"}, {"Session", "Session"}, {"none", "None"}}) {
        const std::string dir = dataDir + "/" + item;
        auto prepared = Sim({"prepare", "--data", dir, "--auth", value});
        ASSERT_EQ(prepared.exitCode, 0) << prepared.err;
        emu::SetDataDirectory(dir);
        std::vector<std::string> auth;
        for (const auto& note : Notes("brackwater\\tarnconfig.nsf"))
            if (TextOf(note, "Form") == "Server") auth.push_back(TextOf(note, "AuthType"));
        EXPECT_EQ(auth, std::vector<std::string>{item}) << value;
    }
    emu::SetDataDirectory(dataDir);
    auto created = Run(setup, {"--data", dataDir, "create", "--host", "127.0.0.1", "--auth", "session"});
    ASSERT_EQ(created.exitCode, 0) << created.err;
    std::vector<std::string> auth;
    for (const auto& note : Notes("brackwater\\tarnconfig.nsf"))
        if (TextOf(note, "Form") == "Server") auth.push_back(TextOf(note, "AuthType"));
    EXPECT_EQ(auth, std::vector<std::string>{"Session"});
}

}  // namespace
