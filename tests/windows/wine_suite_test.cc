// The Windows build at work: the task programs of build-win (nserver.exe,
// nhttp.exe, amgr.exe over nnotes.dll, loading ntarn.dll) run under wine64
// against the sample processor on loopback, so the add-in's WinINet backend
// carries the notices. Where it is cheap, the same scenario is also run by
// the Linux task (libcurl) and the two consoles are compared.
//
// One Wine prefix for the whole run (its first start takes seconds), kept
// warm by a persistent wineserver, removed at the end.
#include "windows/wine_support.h"

using namespace winetest;

namespace {

const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new WineEnvironment);

TEST_F(WineTest, EntryPointRegistersAsOnLinuxAndServesOnlyListedTasks) {
    Prepare(9, "None", 3);
    std::map<Platform, ProcessResult> runs;
    for (Platform p : {Platform::Linux, Platform::Windows}) runs[p] = Checked(p, RunTask(TaskPath(p, "nserver.exe"), dataDir));
    const Strings win = BannerLines(runs[Platform::Windows].out);
    EXPECT_EQ(win, BannerLines(runs[Platform::Linux].out));
    ASSERT_FALSE(win.empty());
    EXPECT_EQ(win.front(), "Brackwater TARN 1.2.27  (nserver.exe) loading...");
    EXPECT_EQ(win.back(), P + " (nserver.exe) loaded OK...");
    EXPECT_EQ(Count(win, "Opened message queue in: TARNnserver.exe"), 1);
    EXPECT_EQ(Count(runs[Platform::Windows].out, "runner: deregistered: 69/1 24/1 102/2 102/1 47/1 47/2"), 1);

    // EM_TERMINATENSF refused: the five are undone, nothing is left open,
    // nothing hangs (the run is bounded), as on Linux.
    for (Platform p : {Platform::Linux, Platform::Windows}) {
        SCOPED_TRACE(Name(p));
        runs[p] = RunTask(TaskPath(p, "nserver.exe"), dataDir, "", {{"EMU_FAULTS", "EmRegister=0x0107@6"}});
        EXPECT_EQ(BannerLines(runs[p].out).back(), P + "Couldn't register callback for EM_TERMINATENSF (the task is "
                                                       "not served): Insufficient memory (0x107)");
        EXPECT_EQ(Count(runs[p].out, "runner: deregistered: 24/1 102/2 102/1 47/1 47/2"), 1) << PrintToString(runs[p].out);
        EXPECT_EQ(Count(runs[p].out, "runner: exit 263"), 1);
        for (const auto& l : runs[p].out) EXPECT_EQ(l.find("runner: left open"), std::string::npos) << l;
    }

    // amgr.exe is not listed: loaded, but it registers nothing.
    ProcessResult amgr = Checked(Platform::Windows, RunTask(TaskPath(Platform::Windows, "amgr.exe"), dataDir));
    EXPECT_TRUE(BannerLines(amgr.out).empty()) << PrintToString(amgr.out);
    EXPECT_EQ(Count(amgr.out, "runner: deregistered:"), 1);
}

// The same notice exchanges from both tasks: their consoles agree and the
// processor saw what it should.
TEST_F(WineTest, NoneAndBasicExchangesMatchTheLinuxTask) {
    for (AuthMode mode : {AuthMode::None, AuthMode::Basic}) {
        SCOPED_TRACE(tarnsim::AuthModeName(mode));
        tarnsim::Processor processor(Options([&](auto& o) { o.auth = mode; o.password = kPassword; }));
        ASSERT_TRUE(processor.Start());
        Prepare(processor.Port(), mode == AuthMode::Basic ? "Basic" : "None");
        const Strings win = OnBoth(Refusing(processor), [&](Platform p, Task& task) {
            const size_t before = processor.Notices().size(), attempts = processor.BasicAttempts().size();
            Save(task, "a1");
            ASSERT_TRUE(processor.WaitForAccepted(p == Platform::Linux ? 1 : 2, std::chrono::seconds(30)));
            const auto notices = processor.Notices();
            // None: the notice alone. Basic: a 401, then the notice with
            // credentials; Wine's WinINet sends the resend once more without
            // them first and answers that 401 itself (one round trip more).
            const size_t sent = notices.size() - before;
            if (mode == AuthMode::None || p == Platform::Linux)
                EXPECT_EQ(sent, mode == AuthMode::Basic ? 2u : 1u);
            else
                EXPECT_TRUE(sent == 2u || sent == 3u) << sent << " requests";
            EXPECT_TRUE(notices.back().tokenOk);
            EXPECT_EQ(notices.back().acceptedUnder, tarnsim::AuthModeName(mode));
            if (mode == AuthMode::Basic) {
                auto got = processor.BasicAttempts();
                ASSERT_GE(got.size(), attempts + 1);
                EXPECT_TRUE(got[attempts].ok);
                EXPECT_EQ(got[attempts].password, kPassword);
            }
        });
        EXPECT_EQ(Count(win, "TARNDomToTN::SendToProcessor. Set username and password"), mode == AuthMode::Basic ? 1 : 0);
        EXPECT_EQ(CountWith(win, {"Failed"}), 0);
        EXPECT_EQ(Count(win, "the processor answered 404"), 1);
        processor.Stop();
        ClearRound();
    }
}

TEST_F(WineTest, AWrongBasicPasswordIsTriedOnceAndFails) {
    tarnsim::Processor processor(Options([&](auto& o) { o.auth = AuthMode::Basic; }));
    ASSERT_TRUE(processor.Start());
    Prepare(processor.Port(), "Basic");  // the processor accepts "secret" only
    ProcessResult r = SaveOne(Platform::Windows, OnceMore("Authentication Failed"));
    EXPECT_EQ(Count(BannerLines(r.out), "Authentication Failed"), 1);
    EXPECT_EQ(processor.BasicAttempts().size(), 1u);  // answered once, not again and again
    EXPECT_TRUE(processor.AcceptedNotices().empty());
}

TEST_F(WineTest, SessionLoginFollowsItsRedirectAndLaterNoticesCarryTheCookie) {
    tarnsim::Processor processor(Options([&](auto& o) { o.auth = AuthMode::Session; o.password = kPassword; }));
    ASSERT_TRUE(processor.Start());
    Prepare(processor.Port(), "Session");
    const Strings win = OnBoth(Refusing(processor), [&](Platform, Task& task) {
        const size_t logins = processor.Logins().size(), accepted = processor.AcceptedNotices().size();
        for (size_t i = 1; i <= 2; ++i) {
            Save(task, "a" + std::to_string(i));
            ASSERT_TRUE(processor.WaitForAccepted(accepted + i, std::chrono::seconds(30)));
        }
        auto got = processor.Logins();
        ASSERT_EQ(got.size(), logins + 1) << "one login for every notice";
        EXPECT_TRUE(got.back().ok);
        EXPECT_EQ(got.back().status, 302);  // followed to "/", whose 200 is what the add-in saw
        EXPECT_EQ(got.back().password, kPassword);
        EXPECT_EQ(processor.AcceptedNotices().back().acceptedUnder, "session");
    });
    EXPECT_EQ(Count(win, "TARNDomToTN::SendToProcessor. Session login"), 1);
    EXPECT_EQ(Count(win, "TARNDomToTN::PerformSessionLogin - return status: 200"), 1);
}

TEST_F(WineTest, ARedirectedNoticeIsFollowedToItsNewAddress) {
    std::atomic<bool> notFound{false};
    PlayedProcessor played([&](PlayedProcessor&, size_t, const httplib::Request& req, httplib::Response& res) {
        if (req.target.find("&moved=1") == std::string::npos)
            res.set_redirect(req.target + "&moved=1", 302);
        else if (notFound)
            res.status = 404;
        else
            res.set_content("ok", "text/plain");
    });
    Prepare(played.Port(), "None", 1);
    const Strings win = OnBoth([&](bool r) { notFound = r; }, [&](Platform, Task& task) {
        const size_t before = played.Arrived().size();
        Save(task, "a1");
        ASSERT_TRUE(played.WaitForAnswered(before + 2));
        auto arrived = played.Arrived();
        EXPECT_EQ(arrived[before + 1], arrived[before] + "&moved=1");
    });
    // The refused notice went to its new address too (the last two of all).
    auto arrived = played.Arrived();
    ASSERT_EQ(arrived.size(), 8u);
    EXPECT_EQ(arrived[7], arrived[6] + "&moved=1");
    // The accepted notice says nothing; the refused one names the status at
    // the end of the redirect, not the 302.
    ASSERT_EQ(win.size(), 2u) << PrintToString(win);
    EXPECT_EQ(win[0], "Brackwater TARN 1.2.27  (nserver.exe) loading...");
    EXPECT_NE(win[1].find(": the processor answered 404"), std::string::npos);
}

TEST_F(WineTest, AHungProcessorIsGivenUpAfterTheConfiguredTimeout) {
    tarnsim::Processor processor(
        Options([&](auto& o) { o.mode = tarnsim::FailMode::Hang; o.hangLimit = std::chrono::seconds(120); }));
    ASSERT_TRUE(processor.Start());
    Prepare(processor.Port());
    emu::SetIniVariable("TARN_HTTP_Timeout", "2");
    // Given up well before the processor would let the request go (SaveOne
    // waits a minute at the most).
    ProcessResult r = SaveOne(Platform::Windows, OnceMore("HttpSendRequest Failed: "));
    auto lines = BannerLines(r.out);
    EXPECT_EQ(Count(lines, "openHTTPConnection. HTTP time-out: 2 s (TARN_HTTP_Timeout)"), 1);
    EXPECT_EQ(CountWith(lines, {"HttpSendRequest Failed: "}), 1) << PrintToString(lines);
    EXPECT_EQ(CountWith(lines, {"HttpSendRequest Failed: Unknown Error"}), 0) << "the failure is named";
    EXPECT_EQ(CountWith(lines, {"Teardown:"}), 0);
}

TEST_F(WineTest, LargeAndEndlessRepliesAreAcceptedWithinBoundedMemory) {
    // The peak memory of a task whose notice had a small reply, for comparison.
    auto peak = [&](Platform p, const tarnsim::ProcessorOptions& o, AuthMode mode, Strings* lines) {
        tarnsim::Processor processor(o);
        EXPECT_TRUE(processor.Start());
        Prepare(processor.Port(), mode == AuthMode::Session ? "Session" : "None");
        Task task(TaskPath(p, "nserver.exe"), dataDir);
        Save(task, "a1");
        EXPECT_TRUE(processor.WaitForAccepted(1, std::chrono::seconds(30)));
        // The exchange is over when the task's worker has closed its request:
        // a second notice goes out on the same worker after it.
        Save(task, "a2");
        EXPECT_TRUE(processor.WaitForAccepted(2, std::chrono::seconds(60)));
        const long kib = PeakKiB(task.Pid());
        *lines = BannerLines(Checked(p, task.Finish()).out);
        processor.Stop();
        ClearRound();
        return kib;
    };
    Strings lines;
    const long base = peak(Platform::Windows, {}, AuthMode::None, &lines);
    ASSERT_GT(base, 0);
    for (const auto& c : LargeReplyCases()) {
        SCOPED_TRACE(c.name);
        const long kib = peak(Platform::Windows, c.options, c.mode, &lines);
        printf("  %s: peak %ld KiB (with a small reply %ld KiB)\n", c.name.c_str(), kib, base);
        EXPECT_EQ(CountWith(lines, {"Failed"}), 0) << PrintToString(lines);
        EXPECT_EQ(Count(lines, "TARNDomToTN::SendToProcessor. Session login"), 0);
        // Not the whole reply held: well under its 20 MiB more than the small one.
        EXPECT_LT(kib - base, 12 * 1024) << "peak " << kib << " KiB, with a small reply " << base << " KiB";
    }
}

TEST_F(WineTest, ANegotiateOnlyChallengeGetsNoCredentials) {
    std::mutex mutex;
    Strings authorizations;
    PlayedProcessor played([&](PlayedProcessor&, size_t, const httplib::Request& req, httplib::Response& res) {
        if (req.has_header("Authorization")) {
            std::lock_guard lock(mutex);
            authorizations.push_back(req.get_header_value("Authorization"));
        }
        res.status = 401;
        res.set_header("WWW-Authenticate", "Negotiate");
        res.set_header("WWW-Authenticate", "NTLM");
        res.set_content("<html>sign on</html>", "text/html");
    });
    Prepare(played.Port(), "Basic");
    std::map<Platform, Strings> lines;
    for (Platform p : {Platform::Linux, Platform::Windows}) {
        const char* line = "Authentication not possible: the processor asks for no scheme the add-in answers (Basic)";
        lines[p] = BannerLines(SaveOne(p, OnceMore(line)).out);
        EXPECT_EQ(Count(lines[p], line), 1) << Name(p);
    }
    EXPECT_EQ(lines[Platform::Windows], lines[Platform::Linux]);
    std::lock_guard lock(mutex);
    EXPECT_EQ(authorizations, Strings{});
}

// The processor holds every request until it stops: it is stopped once the
// unload has said what it abandoned, while the process lingers on.
TEST_F(WineTest, UnloadInTheMiddleOfABurstToAHungProcessorNeverCrashes) {
    auto o = Options([](auto& o) {
        o.mode = tarnsim::FailMode::Hang;
        o.hangLimit = std::chrono::minutes(5);  // longer than any wait: the stop lets the requests go
        o.port = UnusedLoopbackPort();          // the same for every run's processor
    });
    Prepare(o.port, "None", 1);
    constexpr int kNotices = 24;  // more than the workers: some in flight, the rest waiting
    std::string script;
    for (int i = 0; i < kNotices; ++i) script += "create a" + std::to_string(i) + " mail\\alice.nsf " + kAppointment + "\n";
    const std::string teardown = P + "Teardown: " + std::to_string(kNotices) + " notice(s) abandoned (";
    for (int run = 0; run < 10; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        tarnsim::Processor processor(o);
        ASSERT_TRUE(processor.Start());
        FedTask task(TaskPath(Platform::Windows, "nserver.exe"), dataDir, {}, {"--threads", "4", "--linger", "800"});
        task.Feed(script + "sync 1\n");
        EXPECT_TRUE(task.WaitForLine("runner: sync 1"));
        task.Feed("quit\n");
        EXPECT_TRUE(task.WaitForLine(teardown));
        processor.Stop();
        ProcessResult r = task.Finish();
        ASSERT_EQ(r.exitCode, 0) << r.err;
        auto lines = BannerLines(r.out);
        EXPECT_EQ(CountWith(lines, {teardown}), 1) << PrintToString(lines);
        EXPECT_EQ(CountWith(lines, {"HttpSendRequest"}), 0);
        EXPECT_EQ(Count(r.out, "runner: exit 0"), 1);
    }
}

TEST_F(WineTest, ARefreshFromTheHttpTaskReachesARunningServerTask) {
    Prepare(9, "None", 3);
    Task server(TaskPath(Platform::Windows, "nserver.exe"), dataDir);
    server.Feed("create c1 mail\\carol.nsf " + kAppointment + "\nwait\n");
    ASSERT_TRUE(WaitUntil([&] { return Occurrences("Not a TARN\tuser mail file") > 0; }, std::chrono::seconds(60)));
    AddUser("mail\\carol.nsf");
    ProcessResult http = Checked(Platform::Windows, RunTask(TaskPath(Platform::Windows, "nhttp.exe"), dataDir,
                                                            "create n1 brackwater\\tarnalerts.nsf Form=Alert\n"));
    EXPECT_EQ(Count(BannerLines(http.out), "Sending IPC to: TARNnserver.exe"), 1) << PrintToString(http.out);
    server.Feed("create c2 mail\\carol.nsf " + kAppointment + "\nwait\n");
    ExpectTheRefreshWasServed(BannerLines(Checked(Platform::Windows, server.Finish()).out));
}

// Two Windows tasks writing the data directory's console log at once: every
// line either printed is in the log, whole.
TEST_F(WineTest, TasksWritingTheConsoleLogAtOnceLoseNoLine) {
    Prepare(9, "None", 3, "nserver.exe,amgr.exe");
    emu::SetIniVariable("TARN_HTTP_Workers", "1");
    std::string script;
    for (int i = 0; i < 150; ++i) script += "create m" + std::to_string(i) + " mail\\carol.nsf Form=Memo\n";
    RunningTask server = StartTask(TaskPath(Platform::Windows, "nserver.exe"), dataDir, script);
    RunningTask agent = StartTask(TaskPath(Platform::Windows, "amgr.exe"), dataDir, script);
    Strings printed;
    for (const RunningTask& t : {server, agent}) {
        ProcessResult r = Checked(Platform::Windows, WaitTask(t));
        for (const auto& l : BannerLines(r.out)) printed.push_back(l);
    }
    Strings logged;
    std::istringstream log(Console());
    for (std::string line; std::getline(log, line);) logged.push_back(line);
    std::sort(printed.begin(), printed.end());
    std::sort(logged.begin(), logged.end());
    ASSERT_GT(printed.size(), 2000u);
    EXPECT_EQ(logged.size(), printed.size());
    EXPECT_TRUE(logged == printed) << "the console log differs from what the tasks printed";
}

// A database whose name is not ASCII, made by a native program: the Windows
// task opens that file (by its UTF-8 name), not another one of its own.
TEST_F(WineTest, ADatabaseWithAUtf8NameIsTheFileANativeToolMade) {
    Prepare(9, "None", 1);
    const std::string path = "mail\\\xC3\x84rger.nsf";  // mail\Ärger.nsf
    CreateMailFile(path, "CN=Ann");
    auto notes = [&] {
        std::vector<emu::NoteDump> dump;
        EXPECT_EQ(emu::DumpNotes(path, &dump), 0);
        return dump.size();
    };
    const size_t before = notes();
    ProcessResult r =
        Checked(Platform::Windows, RunTask(TaskPath(Platform::Windows, "nserver.exe"), dataDir,
                                           "create m1 " + path + " Form=Memo\nwait\n"));
    EXPECT_EQ(r.err.find("runner: line"), std::string::npos) << r.err;
    EXPECT_EQ(notes(), before + 1);
}

// The administrator's kit on Windows: tarn-setup.exe makes the databases under
// Wine, and a Windows task captures an appointment with them and notices it.
TEST_F(WineTest, DatabasesMadeByTarnSetupExeServeAWindowsTask) {
    tarnsim::Processor processor(Options([](auto& o) { o.auth = AuthMode::None; }));
    ASSERT_TRUE(processor.Start());
    const std::string out = dataDir + "/setup.out";
    const int rc = system((Wine64() + " " + WinBin() + "/tarn-setup.exe create --data " + dataDir +
                           " --host 127.0.0.1 --port " + std::to_string(processor.Port()) +
                           " --path servlet/dts --auth None >" + out + " 2>&1 </dev/null")
                              .c_str());
    std::ifstream text(out);
    const std::string said((std::istreambuf_iterator<char>(text)), {});
    ASSERT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << said;
    EXPECT_NE(said.find("brackwater\\qcapture.nsf: created"), std::string::npos) << said;
    // The administrator's part: one user and the ini.
    AddUser("mail\\alice.nsf");
    CreateMailFile("mail\\alice.nsf", "CN=Alice");
    emu::SetIniVariable("TARN_Task_List", "nserver.exe,nhttp.exe");
    emu::SetIniVariable("TARN_HTTP_Timeout", "10");
    SaveOne(Platform::Windows, [&] { return processor.WaitForAccepted(1, std::chrono::seconds(0)); });
    const auto accepted = processor.AcceptedNotices();
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_TRUE(accepted.front().tokenOk);
}

}  // namespace
