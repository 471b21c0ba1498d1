// The Windows build at work: the task programs of build-win (nserver.exe,
// nhttp.exe, amgr.exe over nnotes.dll, loading ntarn.dll) run under wine64
// against the sample processor on loopback, so the add-in's WinINet backend
// carries the notices. Where it is cheap, the same scenario is also run by
// the Linux task (libcurl) and the two consoles are compared.
//
// One Wine prefix for the whole run (its first start takes seconds), kept
// warm by a persistent wineserver, removed at the end.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <mutex>
#include <regex>
#include <sstream>

#include "processor/certificates.h"
#include "support/processor_fixture.h"

using namespace tarntest;
using ::testing::PrintToString;
using Strings = std::vector<std::string>;
using tarnsim::AuthMode;
namespace fs = std::filesystem;

namespace {

std::string gWrappers;  // folder of nserver.exe, ... that run the Windows programs

std::string WinBin() {
    const char* env = getenv("TARN_WIN_BIN");
    return env && *env ? env : TARN_WIN_BIN;
}

// Looked up when the suite runs, not when the build was configured: CI
// configures build/ before it installs Wine. TARN_WINE64 in the environment,
// else the distribution's place, else the PATH's.
std::string Wine64() {
    const char* env = getenv("TARN_WINE64");
    if (env && *env) return env;
    return fs::exists("/usr/lib/wine/wine64") ? "/usr/lib/wine/wine64" : "wine64";
}

std::string WineServer() {
    const std::string beside = fs::path(Wine64()).parent_path() / "wineserver";
    return fs::exists(beside) ? beside : "wineserver";
}

class WineEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(WinBin() + "/ntarn.dll")) << WinBin() << ": build the Windows programs first";
        root = MakeTempDir("wine");
        // A prefix the caller made already (wine-check's) saves a first start.
        const char* given = getenv("TARN_WINE_PREFIX");
        ownPrefix = !(given && *given);
        setenv("WINEPREFIX", ownPrefix ? (root + "/prefix").c_str() : given, 1);
        setenv("WINEDEBUG", "-all", 1);
        unsetenv("DISPLAY");
        if (ownPrefix) {
            ASSERT_EQ(system(("timeout 300 " + Wine64() + " wineboot.exe -i >/dev/null 2>&1").c_str()),
                      0);
        }
        // Stays up between tasks (wineboot's own server may still be up: then
        // this one ends at once, and that one is told to stay by the next).
        // Its output goes nowhere: a server left behind must not hold the
        // caller's pipe open. Already running is no failure.
        (void)!system((WineServer() + " -p >/dev/null 2>&1 </dev/null").c_str());
        // Each task name is a script that runs the Windows program of that
        // name, so the suite's helpers start it as they start a Linux task.
        gWrappers = root + "/tasks";
        fs::create_directories(gWrappers);
        for (const char* task : {"nserver.exe", "nhttp.exe", "amgr.exe"}) {
            const std::string path = gWrappers + "/" + task;
            std::ofstream(path) << "#!/bin/sh\nexec " << Wine64() << " " << WinBin() << "/" << task << " \"$@\"\n";
            fs::permissions(path, fs::perms::owner_all);
        }
        ready = true;
    }
    static inline bool ready = false;
    void TearDown() override {
        if (root.empty()) return;
        if (ownPrefix) (void)!system((WineServer() + " -k >/dev/null 2>&1").c_str());  // may be gone already
        std::error_code ec;
        fs::remove_all(root, ec);
    }

private:
    std::string root;
    bool ownPrefix = true;
};

const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new WineEnvironment);

enum class Platform { Linux, Windows };
const char* Name(Platform p) { return p == Platform::Linux ? "Linux task" : "Windows task"; }

std::string TaskPath(Platform p, const std::string& task) {
    return p == Platform::Linux ? BuildDir() + "/bin/" + task : gWrappers + "/" + task;
}

const std::string kAppointment = "Form=Appointment ApptUNID=@unid StartDateTime@=46000.4";
const std::string kPassword = "Wq9-pass-7Zr";

using Task = FedTask;  // a task of either platform, fed its operations through a pipe

// Peak resident memory of a running process, in KiB.
long PeakKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return atol(line.c_str() + 6);
    return -1;
}

// Ids and UNIDs differ from run to run.
Strings Masked(const Strings& lines) {
    static const std::regex hex("[0-9A-F]{8}");
    Strings out;
    for (const auto& l : lines) out.push_back(std::regex_replace(l, hex, "X"));
    return out;
}


class WineTest : public DataDirTest {
protected:
    void SetUp() override {
        DataDirTest::SetUp();
        // A failed preparation fails every test, rather than skipping them.
        ASSERT_TRUE(WineEnvironment::ready) << "the Wine prefix or the Windows programs are missing";
    }
    void Prepare(int port, const std::string& authType = "None", int level = 2,
                 const std::string& taskList = "nserver.exe,nhttp.exe") {
        SampleConfig cfg = ServedBy(static_cast<uint16_t>(port), level);
        cfg.hostname = processorHost;
        cfg.authType = authType;
        cfg.password = kPassword;
        CreateSampleDatabases(cfg);
        CreateMailFile("mail\\alice.nsf", "CN=Alice");
        CreateMailFile("mail\\carol.nsf", "CN=Carol");
        emu::SetIniVariable("TARN_Task_List", taskList);
        emu::SetIniVariable("TARN_HTTP_Timeout", "10");
    }
    std::string processorHost = "127.0.0.1";
    std::string Console() const {
        std::ifstream log(dataDir + "/console.log");
        return std::string((std::istreambuf_iterator<char>(log)), {});
    }
    // One appointment saved in alice's mail file; the task ends once `done`.
    ProcessResult SaveOne(Platform p, const std::function<bool()>& done) {
        Task task(TaskPath(p, "nserver.exe"), dataDir);
        Save(task, "a1");
        EXPECT_TRUE(WaitUntil(done, std::chrono::seconds(60))) << Name(p) << ": the exchange never ended";
        return Checked(p, task.Finish());
    }
    // Saves one appointment in alice's mail file.
    static void Save(Task& task, const std::string& label) {
        task.Feed("create " + label + " mail\\alice.nsf " + kAppointment + "\nwait\n");
    }
    // Runs `exchange` in a task of each platform, which then ends after one
    // more notice, refused with 404 once `refuse(true)`: the task has one
    // notice worker, so that answer's line says every exchange before it is
    // over. The two consoles, addresses masked, must agree: returns the
    // Windows task's.
    Strings OnBoth(const std::function<void(bool)>& refuse, const std::function<void(Platform, Task&)>& exchange) {
        emu::SetIniVariable("TARN_HTTP_Workers", "1");
        std::map<Platform, Strings> lines;
        for (Platform p : {Platform::Linux, Platform::Windows}) {
            SCOPED_TRACE(Name(p));
            refuse(false);
            Task task(TaskPath(p, "nserver.exe"), dataDir);
            exchange(p, task);
            auto done = OnceMore("the processor answered 404");
            refuse(true);
            Save(task, "last");
            EXPECT_TRUE(WaitUntil(done, std::chrono::seconds(60))) << "no refusal reported";
            lines[p] = Masked(BannerLines(Checked(p, task.Finish()).out));
        }
        EXPECT_EQ(lines[Platform::Windows], lines[Platform::Linux]);
        return lines[Platform::Windows];
    }
    static std::function<void(bool)> Refusing(tarnsim::Processor& processor) {
        return [&processor](bool r) { processor.SetMode(r ? tarnsim::FailMode::NotFound : tarnsim::FailMode::Normal); };
    }
    // The data directory as before Prepare, for another round in the same test.
    void ClearRound() {
        emu::RemoveAllQueues();
        fs::remove_all(dataDir + "/brackwater");
        fs::remove_all(dataDir + "/mail");
    }
    // Done when the console holds `text` once more than now.
    std::function<bool()> OnceMore(const std::string& text) const {
        const int before = Occurrences(text);
        return [this, text, before] { return Occurrences(text) > before; };
    }
    int Occurrences(const std::string& text) const {
        const std::string all = Console();
        int n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    }
    // Every task ends cleanly and never shows the password.
    ProcessResult Checked(Platform p, ProcessResult r) {
        EXPECT_EQ(r.exitCode, 0) << Name(p) << "\n" << r.err;
        for (const auto& l : r.out) EXPECT_EQ(l.find(kPassword), std::string::npos) << Name(p) << ": " << l;
        EXPECT_EQ(r.err.find(kPassword), std::string::npos) << Name(p);
        return r;
    }
    void TearDown() override {
        EXPECT_EQ(Console().find(kPassword), std::string::npos);
        DataDirTest::TearDown();
    }
};

const std::string P = "Brackwater TARN 1.2.27 (nserver.exe) : ";

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

// A CA certificate in the Wine prefix's trusted roots (the registry store
// Windows keeps them in: the certificate's SHA-1 thumbprint as the key, its
// DER encoding as the serialised certificate property), removed again when
// this ends, so a prefix shared with other suites is left as it was.
class TrustedRoot {
public:
    TrustedRoot(const tarnsim::CertificateAuthority& ca, const std::string& dir)
        : key("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" +
              ca.Thumbprint()) {
        // CERT_CERT_PROP_ID (32), a reserved 1, the length, the certificate.
        const std::string der = ca.Der();
        std::string blob;
        for (uint32_t word : {32u, 1u, static_cast<uint32_t>(der.size())})
            for (int b = 0; b < 4; ++b) blob += static_cast<char>((word >> (8 * b)) & 0xFF);
        blob += der;
        std::ofstream reg(dir + "/root.reg", std::ios::binary);
        reg << "Windows Registry Editor Version 5.00\r\n\r\n[" << key << "]\r\n\"Blob\"=hex:" << std::hex
            << std::setfill('0');
        for (size_t i = 0; i < blob.size(); ++i) reg << (i ? "," : "") << std::setw(2) << int(uint8_t(blob[i]));
        reg << "\r\n";
        reg.close();
        added = !der.empty() &&
                system((Wine64() + " regedit /S 'Z:" + dir + "/root.reg' >/dev/null 2>&1").c_str()) == 0;
    }
    ~TrustedRoot() {
        if (added && system((Wine64() + " reg delete '" + key + "' /f >/dev/null 2>&1").c_str()) != 0)
            ADD_FAILURE() << "the test CA is still among the Wine prefix's trusted roots: " << key;
    }
    bool Added() const { return added; }

private:
    const std::string key;
    bool added = false;
};

// WinINet over HTTPS: Basic answered once with the CA trusted in the
// Windows store, and a certificate from a CA it does not know refused with
// nothing sent. Under Wine a certificate's IP address entries are not
// matched, so the processor is reached by the name localhost.
TEST_F(WineTest, BasicOverHttpsWithTheCaTrustedAndAnUnknownCaRefused) {
    const std::string dir = MakeTempDir("wine-tls");
    tarnsim::CertificateAuthority ca("TARN test CA", dir + "/ca.pem");
    tarnsim::CertificateAuthority stranger("Unknown CA", dir + "/stranger.pem");
    ASSERT_TRUE(ca.Issue({"localhost"}, dir + "/good.pem", dir + "/good.key") &&
                stranger.Issue({"localhost"}, dir + "/untrusted.pem", dir + "/untrusted.key"))
        << ca.Problem() << stranger.Problem();
    TrustedRoot root(ca, dir);
    ASSERT_TRUE(root.Added());
    processorHost = "localhost";
    for (const std::string name : {"good", "untrusted"}) {
        SCOPED_TRACE(name);
        tarnsim::Processor processor(Options([&](auto& o) {
            o.auth = AuthMode::Basic;
            o.password = kPassword;
            o.tlsCert = dir + "/" + name + ".pem";
            o.tlsKey = dir + "/" + name + ".key";
        }));
        ASSERT_TRUE(processor.Start());
        Prepare(processor.Port(), "Basic");
        emu::SetIniVariable("TARN_HTTP_Secure", "1");
        // WinINet checks against the Windows store alone, and says so.
        emu::SetIniVariable("TARN_HTTP_CAFile", ca.CertFile());
        const std::string host = "localhost:" + std::to_string(processor.Port());
        const bool good = name == "good";
        Strings lines = BannerLines(
            SaveOne(Platform::Windows, good ? std::function<bool()>([&] { return !processor.AcceptedNotices().empty(); })
                                            : OnceMore("TLS: "))
                .out);
        EXPECT_EQ(Count(lines, P + "openHTTPConnection. Notices go over HTTPS to " + host + " (TARN_HTTP_Secure=1)"), 1);
        EXPECT_EQ(Count(lines, P + "TARN_HTTP_CAFile is not used on Windows: the processor's certificate is checked "
                                   "against the Windows certificate store"),
                  1);
        if (good) {
            EXPECT_EQ(CountWith(lines, {"Failed"}), 0) << PrintToString(lines);
            EXPECT_EQ(Count(lines, P + "TARNDomToTN::SendToProcessor. Set username and password"), 1);
            auto got = processor.BasicAttempts();
            ASSERT_FALSE(got.empty());
            EXPECT_TRUE(got.back().ok);
            EXPECT_EQ(got.back().password, kPassword);
        } else {
            // WinINet answers a chain it cannot complete as a failed revocation check.
            EXPECT_EQ(Count(lines, P + "TLS: the certificate of processor host " + host +
                                       " is not trusted (no trusted CA issued it), or its revocation could not be "
                                       "checked"),
                      1)
                << PrintToString(lines);
            EXPECT_EQ(CountWith(lines, {"HttpSendRequest Failed: "}), 1);
            EXPECT_TRUE(processor.Notices().empty());
            EXPECT_TRUE(processor.BasicAttempts().empty());
        }
        processor.Stop();
        ClearRound();
    }
    fs::remove_all(dir);
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
