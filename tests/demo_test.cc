// The main job end to end: tarn-sim with the bundled scenario, as a person
// runs it.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/test_support.h"

using namespace tarntest;

namespace {

std::string RunCommand(const std::string& command, int* rc) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    *rc = pclose(p);
    return out;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The number that follows `label` in the output; -1 when there is none.
int Number(const std::string& text, const std::string& label) {
    size_t at = text.find(label);
    if (at == std::string::npos) return -1;
    return atoi(text.c_str() + at + label.size());
}

TEST(DemoTest, TheBundledScenarioShowsTheWholeSystem) {
    std::string dir = MakeTempDir("demo");
    int rc = -1;
    std::string out = RunCommand(BuildDir() + "/bin/tarn-sim demo --data " + dir + " --scenario " +
                              std::string(TARN_SOURCE_DIR) + "/examples/demo.scenario 2>&1",
                          &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_TRUE(Has(out, "[nserver.exe] Brackwater TARN 1.2.27  (nserver.exe) loading...")) << out;
    EXPECT_TRUE(Has(out, "[nhttp.exe  ] Brackwater TARN 1.2.27 (nhttp.exe) : Broadcasting Config Referesh"));
    EXPECT_TRUE(Has(out, "[amgr.exe   ] Brackwater TARN 1.2.27 (amgr.exe) : amgr.exe: message received: x"));
    EXPECT_TRUE(Has(out, "Capture queue brackwater\\qcapture.nsf: 14 note(s), 0 pending"));
    EXPECT_TRUE(Has(out, "in mail\\carol.nsf for CN=Carol Cole/O=Brackwater"));  // captured after the refresh
    EXPECT_TRUE(Has(out, "[none   ] Change queue note"));
    EXPECT_TRUE(Has(out, "[basic  ] Change queue note"));
    EXPECT_TRUE(Has(out, "[session] Change queue note"));
    EXPECT_TRUE(Has(out, "[basic  ] refreshconfig"));
    EXPECT_TRUE(Has(out, "form login as tarn: accepted"));
    EXPECT_TRUE(Has(out, "  queue notes            14\n"));
    // The outage: three changes while the processor is away, their notices
    // fail and are logged, and its first sweep after the restart takes them.
    EXPECT_TRUE(Has(out, "(processor) stopped: nothing answers on port"));
    EXPECT_TRUE(Has(out, "(nserver.exe) : HttpSendRequest Failed: "));
    // Notices that fail silently (a form-login reply cut off) can add to the
    // three, never take from them.
    EXPECT_GE(Number(out, "its first sweep recovered "), 3);
    EXPECT_EQ(Number(out, "  queue notes handled    "), 14);
    int byNotice = Number(out, "  queue notes handled    14 ("), bySweep = Number(out, " on their notice, ");
    EXPECT_EQ(byNotice + bySweep, 14);
    EXPECT_EQ(Number(out, "  notices delivered      "), byNotice + 2);  // and two refreshconfig
    EXPECT_GE(bySweep, 3);
    EXPECT_EQ(Number(out, "  recovered by sweep     "), bySweep);
    EXPECT_TRUE(Has(out, "  still pending          0\n"));
    EXPECT_GE(Number(out, "  notices lost in transit "), 3);
    EXPECT_FALSE(Has(out, "  pending  "));  // no note listed as pending
    EXPECT_TRUE(Has(out, "Filter: FAIL: Excluded db being updated"));
    emu::SetDataDirectory(dir);
    EXPECT_EQ(emu::QueueNames().size(), 3u);
    emu::RemoveAllQueues();  // the tasks' message queues live on in /dev/shm otherwise
    EXPECT_TRUE(emu::QueueNames().empty());
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

TEST(DemoTest, TheOutageScenarioEndsWithNothingPending) {
    std::string dir = MakeTempDir("outage");
    int rc = -1;
    std::string out = RunCommand(BuildDir() + "/bin/tarn-sim demo --sweep-interval 0.2 --sweep-grace 1 --data " +
                                     dir + " --scenario " + std::string(TARN_SOURCE_DIR) +
                                     "/examples/outage.scenario 2>&1",
                                 &rc);
    EXPECT_EQ(rc, 0) << out;
    // The notices answered 500 and dropped reached no application: a sweep took their notes.
    EXPECT_TRUE(Has(out, "  queue notes handled    3 (1 on their notice, 2 recovered by sweep)\n")) << out;
    EXPECT_TRUE(Has(out, "  still pending          0\n"));
    EXPECT_TRUE(Has(out, "  notices lost in transit 2\n"));
    emu::SetDataDirectory(dir);
    EXPECT_FALSE(emu::QueueNames().empty());
    emu::RemoveAllQueues();
    EXPECT_TRUE(emu::QueueNames().empty());
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace
