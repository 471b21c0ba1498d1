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

struct Demo {
    int rc = -1;
    std::string out;  // standard and error output
    size_t queues = 0;  // message queues the tasks left behind
    std::string stats;  // tarn-sim stats TARN afterwards
};

// A command's output; its exit status in *rc.
std::string Output(const std::string& command, int* rc = nullptr) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    std::array<char, 4096> buf;
    for (size_t n; (n = fread(buf.data(), 1, buf.size(), p)) > 0;) out.append(buf.data(), n);
    const int status = pclose(p);
    if (rc) *rc = status;
    return out;
}

// tarn-sim demo with a bundled scenario over a fresh data directory, which is
// removed afterwards with the tasks' message queues (they live on in /dev/shm
// otherwise).
Demo RunDemo(const std::string& scenario) {
    Demo d;
    const std::string dir = MakeTempDir(scenario);
    d.out = Output(BuildDir() + "/bin/tarn-sim demo --data " + dir + " --scenario " + TARN_SOURCE_DIR +
                       "/examples/" + scenario + ".scenario 2>&1",
                   &d.rc);
    d.stats = Output(BuildDir() + "/bin/tarn-sim stats --data " + dir + " TARN 2>&1");
    emu::SetDataDirectory(dir);
    d.queues = emu::QueueNames().size();
    emu::RemoveAllQueues();
    EXPECT_TRUE(emu::QueueNames().empty());
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return d;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The number that follows `label` in the output; -1 when there is none.
int Number(const std::string& text, const std::string& label) {
    size_t at = text.find(label);
    if (at == std::string::npos) return -1;
    return atoi(text.c_str() + at + label.size());
}

TEST(DemoTest, TheBundledScenarioShowsTheWholeSystem) {
    const Demo demo = RunDemo("demo");
    const std::string& out = demo.out;
    EXPECT_EQ(demo.rc, 0) << out;
    EXPECT_EQ(demo.queues, 3u);
    EXPECT_TRUE(Has(out, "[nserver.exe] Brackwater TARN 1.2.27  (nserver.exe) loading...")) << out;
    EXPECT_TRUE(Has(out, "[nhttp.exe  ] Brackwater TARN 1.2.27 (nhttp.exe) : Broadcasting Config Referesh"));
    EXPECT_TRUE(Has(out, "[amgr.exe   ] Brackwater TARN 1.2.27 (amgr.exe) : amgr.exe: message received: x"));
    EXPECT_TRUE(Has(out, "Capture queue brackwater\\qcapture.nsf: 17 note(s), 0 pending"));
    EXPECT_TRUE(Has(out, "in mail\\carol.nsf for CN=Carol Cole/O=Brackwater"));  // captured after the refresh
    EXPECT_TRUE(Has(out, "[none   ] Change queue note"));
    EXPECT_TRUE(Has(out, "[basic  ] Change queue note"));
    EXPECT_TRUE(Has(out, "[session] Change queue note"));
    EXPECT_TRUE(Has(out, "[basic  ] refreshconfig"));
    EXPECT_TRUE(Has(out, "form login as tarn: accepted"));
    EXPECT_TRUE(Has(out, "  queue notes            17\n"));
    // The tasks off after a failed reload: the two changes made meanwhile
    // come in through tarn-setup resync, and the processor's sweep takes them.
    EXPECT_TRUE(Has(out, "(amgr.exe) : Error loading TARNConfig"));
    EXPECT_TRUE(Has(out, "(tarn-setup) resync: mail\\alice.nsf: captured 1, refused 0,"));
    EXPECT_TRUE(Has(out, "(tarn-setup) resync: mail\\bob.nsf: captured 1, refused 0,"));
    EXPECT_TRUE(Has(out, "  captured by resync     2 (changes made while a task was off)\n"));
    // The outage: three changes while the processor is away, their notices
    // fail and are logged, and its first sweep after the restart takes them.
    EXPECT_TRUE(Has(out, "(processor) stopped: nothing answers on port"));
    EXPECT_TRUE(Has(out, "(nserver.exe) : HttpSendRequest Failed: "));
    // Notices that fail silently (a form-login reply cut off) can add to the
    // three, never take from them.
    EXPECT_GE(Number(out, "its first sweep recovered "), 3);
    EXPECT_EQ(Number(out, "  queue notes handled    "), 17);
    int byNotice = Number(out, "  queue notes handled    17 ("), bySweep = Number(out, " on their notice, ");
    EXPECT_EQ(byNotice + bySweep, 17);
    EXPECT_EQ(Number(out, "  notices delivered      "), byNotice + 3);  // and three refreshconfig
    EXPECT_GE(bySweep, 5);  // the outage's three, the resync's two
    EXPECT_EQ(Number(out, "  recovered by sweep     "), bySweep);
    EXPECT_TRUE(Has(out, "  still pending          0\n"));
    EXPECT_GE(Number(out, "  notices lost in transit "), 5);
    EXPECT_FALSE(Has(out, "  pending  "));  // no note listed as pending
    EXPECT_TRUE(Has(out, "Filter: FAIL: Excluded db being updated"));
    // The figures the tasks published agree with the summary's.
    EXPECT_TRUE(Has(out, "\n== show stat TARN\n  TARN.Config."));
    // The tasks' captures and the resync's together are the queue's notes.
    EXPECT_EQ(Number(demo.stats, "TARN.Events.Captured = ") + Number(demo.stats, "TARN.Resync.Captured = "), 17)
        << demo.stats;
    EXPECT_EQ(Number(demo.stats, "TARN.Resync.Captured = "), Number(out, "  captured by resync     "));
    const int accepted = Number(out, "  events accepted        "), refused = Number(out, "  events refused         ");
    EXPECT_EQ(Number(demo.stats, "TARN.Events.Seen = "), accepted + refused);
    EXPECT_EQ(Number(demo.stats, "TARN.Events.Refused = "), refused);
    // The backlog: three notes while the processor is away, none after; the
    // last figures are the summary's, and the demo ends by purging what was handled.
    EXPECT_TRUE(Has(out, "(monitor) TARN.Queue.Pending = 3\n")) << out;
    EXPECT_TRUE(Has(out, "(monitor) TARN.Queue.Pending = 0\n"));
    EXPECT_EQ(Number(demo.stats, "TARN.Queue.Pending = "), Number(out, "  still pending          "));
    EXPECT_EQ(Number(demo.stats, "TARN.Queue.Handled = "), 17);
    EXPECT_TRUE(Has(out, "(tarn-setup) purge: deleted 17 handled notes; kept 0"));
}

}  // namespace
