// The Wine suites' common ground: the prefix and the wrappers that run the
// Windows task programs, and the fixture that prepares a data directory and
// runs tasks of either platform against it.
#pragma once

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

namespace winetest {

inline std::string gWrappers;  // folder of nserver.exe, ... that run the Windows programs

inline std::string WinBin() {
    const char* env = getenv("TARN_WIN_BIN");
    return env && *env ? env : TARN_WIN_BIN;
}

// Looked up when the suite runs, not when the build was configured: CI
// configures build/ before it installs Wine. TARN_WINE64 in the environment,
// else the distribution's place, else the PATH's.
inline std::string Wine64() {
    const char* env = getenv("TARN_WINE64");
    if (env && *env) return env;
    return fs::exists("/usr/lib/wine/wine64") ? "/usr/lib/wine/wine64" : "wine64";
}

inline std::string WineServer() {
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


enum class Platform { Linux, Windows };
inline const char* Name(Platform p) { return p == Platform::Linux ? "Linux task" : "Windows task"; }

inline std::string TaskPath(Platform p, const std::string& task) {
    return p == Platform::Linux ? BuildDir() + "/bin/" + task : gWrappers + "/" + task;
}

inline const std::string kAppointment = "Form=Appointment ApptUNID=@unid StartDateTime@=46000.4";
inline const std::string kPassword = "Wq9-pass-7Zr";

using Task = FedTask;  // a task of either platform, fed its operations through a pipe

// Peak resident memory of a running process, in KiB.
inline long PeakKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return atol(line.c_str() + 6);
    return -1;
}

// Ids and UNIDs differ from run to run.
inline Strings Masked(const Strings& lines) {
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


inline const std::string P = "Brackwater TARN 1.2.27 (nserver.exe) : ";


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

}  // namespace winetest
