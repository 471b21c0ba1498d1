#include "support/test_support.h"

#include "kit/kit.h"
#include "host/entry.h"
#include "host/tarn_session.h"

#include <cstdarg>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace tarntest {

std::string BuildDir() { return TARN_BUILD_DIR; }

std::string MakeTempDir(const std::string& tag) {
    std::string pattern = (fs::temp_directory_path() / ("tarn-" + tag + "-XXXXXX")).string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    return buf.data();
}

void DataDirTest::SetUp() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dataDir = MakeTempDir(info ? info->name() : "test");
    emu::SetDataDirectory(dataDir);
    emu::SetConsoleEcho(false);
    emu::ClearConsole();
    emu::ClearFaults();
    emu::SetReadPageSize(0);
}

void ExpectNoViolations() {
    if (uint64_t n = emu::ViolationCount()) {
        std::string text;
        for (const auto& v : emu::Violations()) text += "\n  " + emu::ViolationText(v);
        ADD_FAILURE() << n << " contract violation(s) in the host:" << text;
    }
}

void ExpectNoViolations(const ProcessResult& r) {
    // Tasks report on stdout, the processor on stderr.
    std::vector<std::string> lines = r.out;
    std::istringstream err(r.err);
    for (std::string line; std::getline(err, line);) lines.push_back(line);
    std::string text;
    for (const auto& line : lines)
        for (const std::string who : {"runner: ", "tarn-processor: "}) {
            auto at = line.find(who + "violation");
            if (at == std::string::npos || line.compare(at, who.size() + 13, who + "violations: 0") == 0) continue;
            text += "\n  " + line.substr(at);
        }
    if (!text.empty()) ADD_FAILURE() << "the program reported contract violations:" << text;
}

void ExpectAllReleased(bool databasesToo) {
    emu::OpenCounts c = emu::Open();
    if (databasesToo) {
        EXPECT_EQ(c.databases, 0);
    }
    EXPECT_EQ(c.notes, 0);
    EXPECT_EQ(c.collections, 0);
    EXPECT_EQ(c.lockedBlocks, 0);
    EXPECT_EQ(c.allocatedBlocks, 0);
    EXPECT_EQ(c.idTables, 0);
}

void DataDirTest::TearDown() {
    emu::ClearFaults();
    emu::RemoveAllQueues();
    emu::SetReadPageSize(0);
    if (!getenv("TARN_KEEP_DATA")) {
        std::error_code ec;
        fs::remove_all(dataDir, ec);
    }
}

namespace {
void Check(STATUS s, const char* what) {
    if (s) throw std::runtime_error(std::string(what) + " failed with status " + std::to_string(s));
}

std::string XmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}
}  // namespace

STATUS ImportDesign(DBHANDLE db, const std::string& dxl, std::string* log) {
    std::string ignored;
    return tarnkit::ImportDxl(db, dxl, log ? log : &ignored);
}

STATUS CreateView(DBHANDLE db, const ViewSpec& spec, NOTEID* viewId) {
    size_t bar = spec.name.find('|');
    std::string dxl = "<database xmlns='http://www.lotus.com/dxl'><view name='" +
                      XmlEscaped(spec.name.substr(0, bar)) + "'";
    if (bar != std::string::npos) dxl += " alias='" + XmlEscaped(spec.name.substr(bar + 1)) + "'";
    if (!spec.hide.empty()) dxl += " hide='" + XmlEscaped(spec.hide) + "'";
    std::string selection = "SELECT @All";
    if (!spec.forms.empty()) {
        selection = "SELECT ";
        for (size_t i = 0; i < spec.forms.size(); ++i)
            selection += (i ? " | " : "") + std::string("Form = \"") + spec.forms[i] + "\"";
    }
    dxl += "><code event='selection'><formula>" + XmlEscaped(selection) + "</formula></code>";
    for (size_t i = 0; i < spec.columns.size(); ++i)
        dxl += "<column itemname='" + XmlEscaped(spec.columns[i]) + "'" +
               (static_cast<int>(i) == spec.sortColumn ? " sort='ascending'" : "") + "/>";
    dxl += "</view></database>";
    std::string log;
    std::vector<NOTEID> imported;
    if (STATUS s = tarnkit::ImportDxl(db, dxl, &log, &imported)) {
        ADD_FAILURE() << "view " << spec.name << " not imported: " << log;
        return s;
    }
    if (imported.size() != 1) return emu::err::NOT_FOUND;
    if (viewId) *viewId = imported[0];
    return NOERROR;
}

namespace {
// The kit's user view in place of a sample's own (a test of other names or columns).
void ReplaceUserView(DBHANDLE db, const SampleConfig& cfg) {
    NOTEID kits = 0;
    Check(NIFFindDesignNoteExt(db, "maildblookup", NOTE_CLASS_VIEW, "", &kits, 0), "find the kit's maildblookup");
    Check(emu::DeleteNotes(db, {kits}), "remove the kit's maildblookup");
    Check(CreateView(db, {cfg.userViewName, "", {"MailDb"}, cfg.userColumns, 0}, nullptr), "view maildblookup");
}
}  // namespace

void CreateSampleDatabases(const SampleConfig& cfg) {
    // As tarn-setup create makes them; a database a test made beforehand is kept.
    tarnkit::CreateOptions options;
    options.skipExisting = true;
    std::ostringstream out, err;
    if (tarnkit::CreateDatabases(options, out, err) != 0)
        throw std::runtime_error("tarn-setup create failed: " + err.str());
    DBHANDLE db = 0;
    Check(NSFDbOpen("brackwater\\tarnconfig.nsf", &db), "open brackwater\\tarnconfig.nsf");
    if (cfg.userViewName != "maildblookup" || cfg.userColumns != std::vector<std::string>{"MailFile"})
        ReplaceUserView(db, cfg);
    NOTEID id;
    if (cfg.serverDocument) {
        std::vector<emu::ItemValue> items = {
            emu::Text("Form", "Server"), emu::Text("Url_DomToTN", cfg.url),
            emu::Text("Hostname_DomToTN", cfg.hostname), emu::Number("Port_Domino", cfg.port),
            emu::Text("AuthType", cfg.authType), emu::Text("Username", cfg.username),
            emu::Text("Password", cfg.password)};
        if (cfg.withLogLevel) items.push_back(emu::Number("DTC_LogLevel", cfg.logLevel));
        Check(emu::CreateDocument(db, items, &id), "server document");
    }
    for (const auto& m : cfg.mailFiles)
        Check(emu::CreateDocument(db, {emu::Text("Form", "MailDb"), emu::Text("MailFile", m)}, &id), "mail doc");
    for (const auto& e : cfg.excluded)
        Check(emu::CreateDocument(db, {emu::Text("Form", "Exclude"), emu::Text("DbPath", e)}, &id), "exclude doc");
    NSFDbClose(db);
}

void CreateMailFile(const std::string& path, const std::string& owner) {
    Check(emu::CreateDatabase(path), ("create " + path).c_str());
    DBHANDLE db = 0;
    Check(NSFDbOpen(path.c_str(), &db), ("open " + path).c_str());
    Check(emu::SetProfile(db, "CalendarProfile", {emu::Text("Owner", owner)}), "profile");
    NSFDbClose(db);
}

void AddDocument(const std::string& path, const std::vector<emu::ItemValue>& items) {
    DBHANDLE db = 0;
    ASSERT_EQ(NSFDbOpen(path.c_str(), &db), 0) << path;
    EXPECT_EQ(emu::CreateDocument(db, items, nullptr), 0) << path;
    NSFDbClose(db);
}

void AddUser(const std::string& mailFile) {
    AddDocument("brackwater\\tarnconfig.nsf", {emu::Text("Form", "MailDb"), emu::Text("MailFile", mailFile)});
}

std::string UnidOf(NOTEHANDLE note) {
    ORIGINATORID oid{};
    NSFNoteGetInfo(note, _NOTE_OID, &oid);
    char text[33];
    snprintf(text, sizeof text, "%08X%08X%08X%08X", oid.File.Innards[1], oid.File.Innards[0], oid.Note.Innards[1],
             oid.Note.Innards[0]);
    return text;
}

void PutText(NOTEHANDLE note, const std::string& name, const std::string& value) {
    NSFItemDelete(note, name.c_str(), static_cast<WORD>(name.size()));
    EXPECT_EQ(NSFItemAppend(note, ITEM_SUMMARY, name.c_str(), static_cast<WORD>(name.size()), TYPE_TEXT, value.data(),
                            static_cast<DWORD>(value.size())),
              0)
        << name;
}

NOTEID SaveDocument(DBHANDLE db, const std::vector<std::pair<std::string, std::string>>& items, bool extended,
                    NOTEID id, std::string* unid) {
    NOTEHANDLE note = 0;
    EXPECT_EQ(id ? NSFNoteOpen(db, id, 0, &note) : NSFNoteCreate(db, &note), 0);
    if (unid) *unid = UnidOf(note);
    for (const auto& [name, value] : items) PutText(note, name, value == "self" ? UnidOf(note) : value);
    EXPECT_EQ(extended ? NSFNoteUpdateExtended(note, 0) : NSFNoteUpdate(note, 0), 0);
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    NSFNoteClose(note);
    return id;
}

SampleConfig ServedBy(uint16_t port, int logLevel) {
    SampleConfig cfg;
    cfg.port = port;
    cfg.url = "/servlet/dts";
    cfg.logLevel = logLevel;
    return cfg;
}

void CreateMailFiles(const SampleConfig& cfg) {
    CreateSampleDatabases(cfg);
    CreateMailFile("mail\\alice.nsf", "CN=Alice Able/O=Brackwater");
    CreateMailFile("mail\\bob.nsf", "CN=Bob Baker/O=Brackwater");
    CreateMailFile("mail\\shared.nsf", "CN=Shared/O=Brackwater");
    for (const char* path : {"mail\\carol.nsf", "mail\\noprofile.nsf"}) Check(emu::CreateDatabase(path), "mail file");
}

std::vector<emu::NoteDump> Notes(const std::string& path) {
    std::vector<emu::NoteDump> notes;
    EXPECT_EQ(emu::DumpNotes(path, &notes), 0) << path;
    return notes;
}

std::vector<emu::NoteDump> QueueNotes() { return Notes("brackwater\\qcapture.nsf"); }

std::vector<QueueNote> CaptureQueue() {
    std::vector<QueueNote> out;
    for (const auto& d : QueueNotes())
        out.push_back({d.id, NumberOf(d, "Action"), NumberOf(d, "Status"), TextOf(d, "CalDbPath"),
                       TextOf(d, "CalNoteID"), TextOf(d, "CalUNID"), TextOf(d, "CalForm"), TextOf(d, "CalUserName")});
    return out;
}

std::string TextOf(const emu::NoteDump& note, const std::string& item) {
    for (const auto& it : note.items)
        if (it.name == item && !it.texts.empty()) return it.texts[0];
    return {};
}

double NumberOf(const emu::NoteDump& note, const std::string& item) {
    for (const auto& it : note.items)
        if (it.name == item && !it.numbers.empty()) return it.numbers[0];
    return -1;
}

RunningTask StartTask(const std::string& task, const std::string& dataDir, const std::string& script,
                      const std::map<std::string, std::string>& env, const std::vector<std::string>& extraArgs) {
    static int counter = 0;
    RunningTask r;
    r.scriptPath = dataDir + "/.script-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    {
        std::ofstream(r.scriptPath) << script;
    }
    std::string outPath = r.scriptPath + ".out", errPath = r.scriptPath + ".err";
    pid_t pid = fork();
    if (pid == 0) {
        for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
        int in = open(r.scriptPath.c_str(), O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::string exe = task.rfind('/', 0) == 0 ? task : BuildDir() + "/bin/" + task;
        std::vector<std::string> args = {exe, "--data", dataDir};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    r.pid = pid;
    return r;
}

namespace {
// A task that has not ended by then is killed and the test fails: one hung
// task must not hold the whole run (CI has a time limit for everything).
constexpr auto kTaskLimit = std::chrono::minutes(5);

// Whether process pid has `path` open for reading only: the task's own
// descriptor, not the test's read-write one that a child holds until exec.
bool HasOpenForReading(pid_t pid, const std::string& path) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator(proc + "/fd", ec)) {
        std::error_code readError;
        if (fs::read_symlink(fd.path(), readError) != path) continue;
        std::ifstream info(proc + "/fdinfo/" + fd.path().filename().string());
        std::string key;
        unsigned long flags = 0;
        while (info >> key)
            if (key == "flags:" && info >> std::oct >> flags) return (flags & O_ACCMODE) == O_RDONLY;
    }
    return false;
}
}  // namespace

ProcessResult WaitTask(const RunningTask& running) {
    ProcessResult r;
    int status = 0;
    const auto reaped = [&] {
        const pid_t got = waitpid(running.pid, &status, WNOHANG);
        return got == running.pid || (got < 0 && errno != EINTR);
    };
    if (!WaitUntil(reaped, kTaskLimit)) {
        ADD_FAILURE() << "task " << running.pid << " (" << running.scriptPath << ") did not end within "
                      << std::chrono::duration_cast<std::chrono::seconds>(kTaskLimit).count() << " s: killed";
        kill(running.pid, SIGKILL);
        waitpid(running.pid, &status, 0);
    }
    r.exitCode = ExitCodeOf(status);
    ReadTaskOutput(running.scriptPath + ".out", running.scriptPath + ".err", r);
    fs::remove(running.scriptPath);
    return r;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

FedTask::FedTask(const std::string& taskName, const std::string& dataDir,
                 const std::map<std::string, std::string>& env, const std::vector<std::string>& extraArgs) {
    static int counter = 0;
    fifo = dataDir + "/.fed-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    if (mkfifo(fifo.c_str(), 0600) != 0) return;
    // Opened for reading and writing before the task starts, so the task
    // never finds the pipe without a writer (a reader that opens without
    // blocking, as Wine's does, would read an empty script), and opening it
    // never waits on a task that has died or hangs.
    const int fd = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    pipe = fdopen(fd, "w");
    std::vector<std::string> args = {"--script", fifo};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    task = StartTask(taskName, dataDir, "", env, args);
    // Returns once the task has opened its script (after MainEntryPoint):
    // tests change the databases after the task's start-up.
    int status = 0;
    bool ended = false;
    const auto opened = [&] {
        return (ended = waitpid(task.pid, &status, WNOHANG) == task.pid) || HasOpenForReading(task.pid, fifo);
    };
    if (!WaitUntil(opened, kTaskLimit)) {
        ADD_FAILURE() << taskName << " never opened its script: killed";
        kill(task.pid, SIGKILL);
    } else if (ended) {
        ADD_FAILURE() << taskName << " ended (exit " << ExitCodeOf(status) << ") before reading its script";
        task.pid = -1;
    }
}

FedTask::~FedTask() {
    if (pipe || task.pid > 0) Finish();
}

void FedTask::Feed(const std::string& script) {
    if (!pipe) return;
    fwrite(script.data(), 1, script.size(), pipe);
    fflush(pipe);
}

bool FedTask::WaitForLine(const std::string& start, std::chrono::milliseconds limit) const {
    return WaitUntil(
        [&] {
            std::ifstream out(OutPath(), std::ios::binary);
            for (std::string line; std::getline(out, line);)
                if (line.rfind(start, 0) == 0) return true;
            return false;
        },
        limit);
}

ProcessResult FedTask::Finish() {
    if (pipe) fclose(pipe);
    pipe = nullptr;
    ProcessResult r;
    if (task.pid > 0) r = WaitTask(task);
    task.pid = -1;
    if (!fifo.empty()) fs::remove(fifo);
    return r;
}

int ExitCodeOf(int waitStatus) {
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

void ReadTaskOutput(const std::string& outPath, const std::string& errPath, ProcessResult& r) {
    std::ifstream out(outPath);
    std::string line;
    while (std::getline(out, line)) r.out.push_back(line);
    std::ifstream err(errPath);
    std::stringstream ss;
    ss << err.rdbuf();
    r.err = ss.str();
    fs::remove(outPath);
    fs::remove(errPath);
    ExpectNoViolations(r);
}

ProcessResult RunTask(const std::string& task, const std::string& dataDir, const std::string& script,
                      const std::map<std::string, std::string>& env, const std::vector<std::string>& extraArgs) {
    return WaitTask(StartTask(task, dataDir, script, env, extraArgs));
}

std::string TaskProgram(const std::string& name, const std::string& dataDir) {
    const std::string link = dataDir + "/bin/" + name;
    fs::create_directories(dataDir + "/bin");
    std::error_code ec;
    if (!fs::exists(link, ec)) {
        EXPECT_EQ(::link((BuildDir() + "/bin/tarn-host").c_str(), link.c_str()), 0) << link;
    }
    return link;
}

ProcessResult RunTaskAs(const std::string& name, const std::string& dataDir, const std::string& script) {
    return RunTask(TaskProgram(name, dataDir), dataDir, script, {{"TARN_ADDIN", BuildDir() + "/libtarn.so"}});
}

std::string Hex8(uint32_t id) {
    char text[9];
    snprintf(text, sizeof text, "%08X", id);
    return text;
}

int Count(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.ends_with(text); }));
}

int ConsoleLogCount(const std::string& dataDir, const std::string& text) {
    std::ifstream log(dataDir + "/console.log");
    int n = 0;
    for (std::string line; std::getline(log, line);) n += line.find(text) != std::string::npos;
    return n;
}

::testing::AssertionResult ConsoleLogReaches(const std::string& dataDir, const std::string& text, int n) {
    if (WaitUntil([&] { return ConsoleLogCount(dataDir, text) >= n; }, std::chrono::seconds(30)))
        return ::testing::AssertionSuccess();
    std::ifstream log(dataDir + "/console.log");
    return ::testing::AssertionFailure() << "console:\n" << std::string(std::istreambuf_iterator<char>(log), {});
}

int Waiting(const std::string& queue) {
    MQHANDLE h = 0;
    return MQOpen(queue.c_str(), 0, &h) == 0 ? MQGetCount(h) : -1;
}

int CountWith(const std::vector<std::string>& lines, std::initializer_list<std::string> parts) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return std::all_of(parts.begin(), parts.end(), [&](const std::string& p) { return l.find(p) != std::string::npos; });
    }));
}

void ExpectTheRefreshWasServed(const std::vector<std::string>& lines) {
    EXPECT_EQ(Count(lines, "Filter: FAIL: Not a TARN\tuser mail file"), 1) << ::testing::PrintToString(lines);
    EXPECT_EQ(Count(lines, "nserver.exe: message received: x"), 1);
    EXPECT_EQ(Count(lines, "TARNEventProcessor::ProcessEventSingle. Passed Filter"), 1);
    EXPECT_EQ(QueueNotes().size(), 1u);
}

std::vector<std::string> BannerLines(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.rfind("Brackwater TARN 1.2.27", 0) == 0) out.push_back(l);
    return out;
}

STATUS CallHandler(EMHANDLER handler, EID eventId, WORD notificationType, int status, ...) {
    EMRECORD rec;
    rec.EId = eventId;
    rec.NotificationType = notificationType;
    rec.Status = static_cast<STATUS>(status);
    va_start(rec.Ap, status);
    STATUS answer = handler(&rec);
    va_end(rec.Ap);
    return answer;
}

void StartAddIn(const char* task, const char* taskList, std::vector<HEMREGISTRATION>* registrations) {
    TARNSession& s = ProcessSession();
    s.Reset();
    ASSERT_TRUE(s.Init(task, taskList));
    uint16_t rid = 0;
    ASSERT_EQ(EMCreateRecursionID(&rid), 0);
    const std::pair<uint16_t, uint16_t> regs[] = {{47, 1}, {47, 2}, {102, 1}, {102, 2}, {24, 1}};
    for (auto [event, flags] : regs) {
        HEMREGISTRATION h = 0;
        ASSERT_EQ(EMRegister(event, flags, &ExtMgrCallback, rid, &h), 0);
        registrations->push_back(h);
    }
}

void StopAddIn(std::vector<HEMREGISTRATION>* registrations) {
    for (auto h : *registrations) EMDeregister(h);
    registrations->clear();
    ProcessSession().GetTransport()->WaitForNotices(10000);
    ProcessSession().Reset();
}

}  // namespace tarntest
