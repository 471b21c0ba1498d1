// Shared helpers of the test suites: a fresh data directory per test, the
// standard databases, and task processes started from the build.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <chrono>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "emu/emulator.h"

namespace tarntest {

// A new, empty data directory made current for the emulator; console echo
// off and faults cleared. Removed at the end unless TARN_KEEP_DATA is set.
class DataDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string dataDir;
};

std::string MakeTempDir(const std::string& tag);

// Every way out of a test must have released what it opened: databases
// (unless the caller still holds some), notes, collections, blocks and id
// tables.
void ExpectAllReleased(bool databasesToo = true);

// No contract violations recorded by the host in this process. Every test
// is checked at its end anyway (a listener of the support library).
void ExpectNoViolations();

// The configuration, alerts and capture-queue databases, with a "server"
// document (unless empty), "maildblookup" listing the given mail files and
// "dsdlookup" listing the excluded ones.
struct SampleConfig {
    int logLevel = 3;
    bool withLogLevel = true;
    std::string url = "servlet/dts";
    std::string hostname = "127.0.0.1";
    int port = 8080;
    std::string authType = "None";
    std::string username = "tarn";
    std::string password = "secret";
    bool serverDocument = true;
    std::vector<std::string> mailFiles = {"mail\\alice.nsf", "mail\\bob.nsf"};
    std::vector<std::string> excluded = {"mail\\shared.nsf"};
    std::string userViewName = "maildblookup";
    std::vector<std::string> userColumns = {"MailFile"};
};
// Made by the kit (tarn-setup create's own code, from admin/*.dxl), then
// filled with the sample documents.
void CreateSampleDatabases(const SampleConfig& cfg = {});

// Imports DXL into an open database as tarn-setup does (design and ACL
// included); the importer's status, its log in *log.
STATUS ImportDesign(DBHANDLE db, const std::string& dxl, std::string* log = nullptr);
// A view as an administrator's design holds one, imported from DXL: name
// ("name" or "name|alias"), hide ("" or DXL hide tokens such as "notes"),
// the forms it selects (none: SELECT @All), columns by item name, the
// column sorted ascending (-1: none, creation order).
struct ViewSpec {
    std::string name;
    std::string hide;
    std::vector<std::string> forms;
    std::vector<std::string> columns;
    int sortColumn = 0;
};
STATUS CreateView(DBHANDLE db, const ViewSpec& spec, NOTEID* viewId);
// A user's mail file with a CalendarProfile naming its owner.
void CreateMailFile(const std::string& path, const std::string& owner);
// A document added to an existing database; AddUser: a mail file listed as a
// user's in the configuration.
void AddDocument(const std::string& path, const std::vector<emu::ItemValue>& items);
void AddUser(const std::string& mailFile);
// A note's UNID in 32 hex digits, as the queue notes carry it.
std::string UnidOf(NOTEHANDLE note);
// Replaces the item `name` by one summary text item.
void PutText(NOTEHANDLE note, const std::string& name, const std::string& value);
// Saves a new document of text items, or note `id` again with them; the
// value "self" stands for the document's own UNID (given out in *unid).
NOTEID SaveDocument(DBHANDLE db, const std::vector<std::pair<std::string, std::string>>& items, bool extended = false,
                    NOTEID id = 0, std::string* unid = nullptr);
// A configuration that sends notices to a processor on the loopback port.
SampleConfig ServedBy(uint16_t port, int logLevel);
// CreateSampleDatabases(cfg) and the mail files the event suites work on:
// alice, bob and shared with their owner's CalendarProfile, carol and
// noprofile without one.
void CreateMailFiles(const SampleConfig& cfg);

struct ProcessResult {
    int exitCode = -1;
    std::vector<std::string> out;  // stdout lines
    std::string err;
};
// No "runner: violation..." (task) or "tarn-processor: violation..." line in
// a program's output but the zero count
// (checked for every task output read through ReadTaskOutput).
void ExpectNoViolations(const ProcessResult& r);

// Runs build/bin/<task> over dataDir with the given operations on stdin.
ProcessResult RunTask(const std::string& task, const std::string& dataDir, const std::string& script = "",
                      const std::map<std::string, std::string>& env = {},
                      const std::vector<std::string>& extraArgs = {});

// The host under a task name the build does not provide: a hard link to it
// in dataDir/bin (made once); its path, for StartTask and FedTask, which then
// need TARN_ADDIN set to the build's library.
std::string TaskProgram(const std::string& name, const std::string& dataDir);
// Runs TaskProgram(name).
ProcessResult RunTaskAs(const std::string& name, const std::string& dataDir, const std::string& script = "");

// The same, started in the background; Wait collects the result.
struct RunningTask {
    int pid = -1;
    std::string scriptPath;
};
RunningTask StartTask(const std::string& task, const std::string& dataDir, const std::string& script,
                      const std::map<std::string, std::string>& env = {},
                      const std::vector<std::string>& extraArgs = {});
// Waits for the task's end; one that is still running after five minutes is
// killed and the test fails.
ProcessResult WaitTask(const RunningTask& running);
// Polls until `done` or the time-out; the final answer of `done`.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// A task that reads its script from a pipe, so a test feeds it step by step
// instead of racing a sleep in the script. The pipe is closed on exec: a later
// child holding it would keep the task from ever reading the end.
class FedTask {
public:
    FedTask(const std::string& task, const std::string& dataDir, const std::map<std::string, std::string>& env = {},
            const std::vector<std::string>& extraArgs = {});
    ~FedTask();
    FedTask(const FedTask&) = delete;
    FedTask& operator=(const FedTask&) = delete;
    bool Ok() const { return pipe != nullptr; }
    int Pid() const { return task.pid; }
    std::string OutPath() const { return task.scriptPath + ".out"; }  // its standard output so far
    void Feed(const std::string& script);
    // Waits until a line of its output begins with `start`.
    bool WaitForLine(const std::string& start, std::chrono::milliseconds limit = std::chrono::seconds(60)) const;
    ProcessResult Finish();  // ends the script and waits for the task

private:
    std::string fifo;
    RunningTask task;
    FILE* pipe = nullptr;
};
// The exit code of a waitpid status (128 + signal for a killed process).
int ExitCodeOf(int waitStatus);
// Takes a finished task's standard output (by line) and error output into r,
// and removes both files.
void ReadTaskOutput(const std::string& outPath, const std::string& errPath, ProcessResult& r);

// Every document of a database as the tools read it back, in note-id order;
// QueueNotes: the capture queue's.
std::vector<emu::NoteDump> Notes(const std::string& path);
std::vector<emu::NoteDump> QueueNotes();
// The capture queue's notes by their items, in note-id order.
struct QueueNote {
    NOTEID id = 0;
    double action = -1, status = -1;
    std::string dbPath, noteId, unid, form, user;
    auto Fields() const { return std::tie(action, status, dbPath, noteId, unid, form, user); }
};
std::vector<QueueNote> CaptureQueue();
// An item's first text or number ("" or -1 where the note has none).
std::string TextOf(const emu::NoteDump& note, const std::string& item);
double NumberOf(const emu::NoteDump& note, const std::string& item);

// An id as the add-in writes it: eight upper-case hex digits.
std::string Hex8(uint32_t id);

// Only the add-in's console lines (those with the banner).
std::vector<std::string> BannerLines(const std::vector<std::string>& lines);
// How many of lines end with text (a console line's text follows its banner).
int Count(const std::vector<std::string>& lines, const std::string& text);
// How many lines of dataDir's console.log contain text (lines without the
// add-in's banner too); ConsoleLogReaches waits up to 30 s for n of them and
// shows the log when they do not come.
int ConsoleLogCount(const std::string& dataDir, const std::string& text);
::testing::AssertionResult ConsoleLogReaches(const std::string& dataDir, const std::string& text, int n = 1);
// Messages waiting in a message queue; -1 when it cannot be opened.
int Waiting(const std::string& queue);
// How many of lines contain every one of parts.
int CountWith(const std::vector<std::string>& lines, std::initializer_list<std::string> parts);
// What a task shows once a refresh message made it reload its lists: a mail
// file added since it started, refused before, now passes and is captured.
void ExpectTheRefreshWasServed(const std::vector<std::string>& bannerLines);

std::string BuildDir();

// The session of `task` started, and ExtMgrCallback registered as
// MainEntryPoint registers it (five registrations, one recursion id).
void StartAddIn(const char* task, const char* taskList, std::vector<HEMREGISTRATION>* registrations);
// Deregistered, its notices out, and the session reset.
void StopAddIn(std::vector<HEMREGISTRATION>* registrations);

// Calls an Extension Manager callback as the host does: a record whose
// va_list holds the arguments after status (the core function's, in order).
STATUS CallHandler(EMHANDLER handler, EID eventId, WORD notificationType, int status, ...);

}  // namespace tarntest
