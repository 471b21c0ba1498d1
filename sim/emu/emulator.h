// Control surface of the embedded Domino host: what a host runner, a test or
// the tarn-sim tool uses besides the Notes C API functions themselves
// (declared under the toolkit's header names in sim/emu/include). The
// add-in never includes this header.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "global.h"
#include "extmgr.h"
#include "idtable.h"
#include "miscerr.h"
#include "mq.h"
#include "nif.h"
#include "nsfdb.h"
#include "nsferr.h"
#include "nsfnote.h"
#include "addin.h"
#include "acl.h"
#include "xml.h"
#include "osenv.h"
#include "osmem.h"
#include "osmisc.h"
#include "stats.h"
#include "ostime.h"

#include "emu/export.h"
#include "emu/ops.h"

namespace emu {

// Statuses of the emulator; each has a text (OSLoadString). Where the C API
// has a code of the same meaning, it is that code, under its toolkit name
// and package. The values are the toolkit's, as the Java bindings of the C
// API carry them (domino-jna, errors/errortexts: IOsErr, INsfErr, IMiscErr;
// IGlobalErr for the packages). A status is two flag bits, a package and a
// number; ERR() drops the flags.
//
// The few the C API has no code for are the stand-in's own, numbered from 1
// in one package that no real package uses. All 64 package bytes
// 0x0000..0x3F00 are taken, most of them split into smaller packages (the
// toolkit's package list, IGlobalErr), so ours is a gap inside one: 0x1A40,
// after PKG_AGENT (0x1A00, codes 0-63, up to 0x1A3F) and before PKG_CCONSOLE2
// (0x1A50). No package of the list covers 0x1A40..0x1A4F.
constexpr STATUS kOwnPackage = 0x1A40;

namespace err {
constexpr STATUS NOEXIST = 0x0103;                   // ERR_NOEXIST, PKG_OS+3: file does not exist
// ERR_OS_FREE_HANDLE, PKG_OS+56 ("LookupHandle: handle not allocated"):
// a handle that is closed, never was, or belongs to another thread.
constexpr STATUS INVALID_HANDLE = 0x0138;
constexpr STATUS NOT_FOUND = ERR_NOT_FOUND;          // PKG_MISC+4: entry not found in index
constexpr STATUS ITEM_NOT_FOUND = ERR_ITEM_NOT_FOUND;// PKG_NSF+34: note item not found
constexpr STATUS NOTE_DELETED = ERR_NOTE_DELETED;    // PKG_NSF+37: note has been deleted
constexpr STATUS BAD_NOTEID = ERR_INVALID_NOTE;      // PKG_NSF+39: invalid note id
constexpr STATUS DB_IO = 0x010E;                     // ERR_IOERROR, PKG_OS+14: the database file failed a read or write
constexpr STATUS NO_MEMORY = 0x0107;                 // ERR_MEMORY, PKG_OS+7: insufficient memory
// ERR_EM_TOOMANYADDINS, PKG_NSF+211: no recursion id left. A library takes
// one id for all its registrations, so running out is having too many
// add-ins. (The C API reference names ERR_ILLEGALEXT for EMCreateRecursionID, a
// call out of place, with no value in any source.)
constexpr STATUS EM_NO_RECURSION = 0x02D3;
constexpr STATUS MQ_NOEXIST = ERR_NO_SUCH_MQ;        // PKG_MISC+98: message queue does not exist
constexpr STATUS MQ_EMPTY = ERR_MQ_EMPTY;            // PKG_MISC+100: no message waiting
constexpr STATUS MQ_BFR_TOO_SMALL = ERR_MQ_BFR_TOO_SMALL;  // PKG_MISC+101: message larger than the buffer
constexpr STATUS MQ_QUOTA = ERR_MQ_EXCEEDED_QUOTA;   // PKG_MISC+99: queue full
constexpr STATUS MQ_TIMEOUT = ERR_MQ_TIMEOUT;        // PKG_MISC+95: no message within the wait
constexpr STATUS NAME_LENGTH = 0x040E;               // ERR_NAME_LENGTH, PKG_MISC+14: a queue name too long
constexpr STATUS IN_USE = 0x0139;                    // ERR_OS_STILL_LOCKED, PKG_OS+57: memory freed while locked
// ERR_NOTES_NOT_INITIALIZED, PKG_NSF+23: a call after the runtime ended
// (the runtime is no longer initialised for it).
constexpr STATUS RUNTIME_ENDED = 0x0217;
constexpr STATUS NO_MODIFIED_NOTES = ERR_NO_MODIFIED_NOTES;  // PKG_NSF+60: nothing changed in the span
constexpr STATUS BAD_FLAGS = 0x0208;                 // ERR_VALUE_FLAGS, PKG_NSF+8: flags the function does not define
constexpr STATUS STAT_NOT_FOUND = ERR_STAT_NOT_FOUND; // PKG_MISC+82: no such statistic
constexpr STATUS STAT_NOT_SET = ERR_STAT_NOT_SET;     // PKG_MISC+103: the statistic cannot be reset
constexpr STATUS INVALID_ARGS = ERR_MISC_INVALID_ARGS; // PKG_MISC+149: invalid arguments

// NOTES_ERR_DXLIMPORTER_FAILED (domino-jna's value, 4522): the importer
// met something it could not import; its result log says what.
constexpr STATUS DXL_IMPORT_FAILED = 0x11AA;
// NOTES_ERR_DXLIMPORTER_INVALID_OPTION (4523): a property or value the
// importer does not take.
constexpr STATUS DXL_BAD_OPTION = 0x11AB;

// The stand-in's own.
constexpr STATUS INJECTED = kOwnPackage + 1;         // 0x1A41: a fault a test asked for
constexpr STATUS MQ_NAME = kOwnPackage + 2;          // 0x1A42: no queue name (null or empty)
// NSFDbCreate on a path that already holds a database. No source gives the
// C API's code for it; refusing with a code of our own is the strict choice.
constexpr STATUS DB_EXISTS = kOwnPackage + 3;        // 0x1A43
// NSFDbDelete on a database a handle still holds open: the reference names
// ERR_LOCK ("cannot be shared while in use") with no value in any source.
constexpr STATUS DB_IN_USE = kOwnPackage + 4;        // 0x1A44
static_assert(ERR(MQ_NAME) == MQ_NAME && MQ_NAME < kOwnPackage + 0x10, "own codes stay inside the gap");
}  // namespace err

// ---- Set-up ---------------------------------------------------------------
// The data directory holds notes.ini, console.log and the databases. Taken
// from NOTES_DATA when set, else "./data". Changing it closes nothing.
EMU_EXPORT void SetDataDirectory(const std::string& dir);
// The separator of the paths the host answers (NSFDbPathGet): '\\' as a
// Windows server writes them (the default), '/' as a Linux server does.
// Paths are accepted with either.
EMU_EXPORT void SetPathSeparator(char separator);
EMU_EXPORT char PathSeparator();
EMU_EXPORT std::string DataDirectory();
// "brackwater\x.nsf" -> DATA/brackwater/x.nsf
EMU_EXPORT std::string FilePathFor(const std::string& notesPath);

// notes.ini in the data directory ("NAME=value" lines). Set writes the file.
EMU_EXPORT void SetIniVariable(const std::string& name, const std::string& value);
EMU_EXPORT void RemoveIniVariable(const std::string& name);

// ---- Console ----------------------------------------------------------------
// Every line goes to stdout (unless echo is off) and to DATA/console.log;
// the last lines are kept for tests.
EMU_EXPORT void SetConsoleEcho(bool on);
// One whole line (a newline added) to standard output, flushed, under the
// lock the console's echo takes: a host program's own lines and the
// console's, written from several threads, never run into each other (a
// Windows C run-time does not keep one write whole against another
// thread's).
EMU_EXPORT void WriteOutputLine(const std::string& line);
EMU_EXPORT std::vector<std::string> ConsoleLines();
// Waits until a console line ends with `ending`.
EMU_EXPORT bool WaitForConsoleLine(const std::string& ending, std::chrono::milliseconds limit);
EMU_EXPORT void ClearConsole();

// ---- Fault injection and counters ---------------------------------------------
// nth = 0: every call fails; nth = k: only the k-th call from now fails.
EMU_EXPORT void InjectFault(Op op, STATUS status, unsigned nth = 0);
// The same by name (role or C function); false for an unknown name.
EMU_EXPORT bool InjectFault(const std::string& opName, STATUS status, unsigned nth = 0);
EMU_EXPORT void ClearFaults();
EMU_EXPORT uint64_t CallCount(Op op);
EMU_EXPORT void ResetCallCounts();
// Used by the operations themselves: non-zero when this call must fail.
EMU_EXPORT STATUS Fault(Op op);

struct OpenCounts {
    int databases = 0;
    int notes = 0;
    int collections = 0;
    int lockedBlocks = 0;     // locks not yet unlocked
    int allocatedBlocks = 0;  // caller-owned blocks not yet freed
    int idTables = 0;
    int badFrees = 0;         // frees of memory the caller does not own, or still locked
};
EMU_EXPORT OpenCounts Open();
// What is still open, as " 2 databases, 1 notes" (empty when nothing is).
EMU_EXPORT std::string LeftOpenText(const OpenCounts& counts);

// ---- Statistics -----------------------------------------------------------------
// The console's "show stat PREFIX": "Facility.Name = value", one a line,
// sorted; PREFIX names a facility, a group or one statistic (case ignored),
// or ends in '*' for any name beginning so; empty for all.
EMU_EXPORT std::vector<std::string> ShowStat(const std::string& prefix);

// ---- Extension Manager ------------------------------------------------------
// Raises one event to the registrations for (event, phase) on the calling
// thread, each callback receiving the core function's arguments (the ones
// after status) in its record's va_list. Recursion ids already active on
// this thread are skipped. Returns ERR_EM_CONTINUE when every callback
// answered it, else the first other answer, which stops later callbacks:
// for EM_BEFORE the operation is then cancelled with that status, for
// EM_AFTER it becomes the operation's result.
EMU_EXPORT STATUS DispatchEm(EID eventId, WORD notificationType, STATUS status, ...);
// One save, two events: with this on, NSFNoteUpdate is carried out through
// NSFNoteUpdateExtended as some servers are reported to do, so a save (and a
// deleting update) raises EM_NSFNOTEUPDATE around EM_NSFNOTEUPDATEXTENDED on
// the saving thread: both before-calls, the core update, both after-calls.
// EMU_NESTED_UPDATES=1 in a process's environment switches it on from the start.
EMU_EXPORT void SetNestedUpdates(bool on);
EMU_EXPORT bool NestedUpdates();
EMU_EXPORT int RegistrationCount();
// Order of em-deregister calls, as "event/flags" texts, for tests.
EMU_EXPORT std::vector<std::string> DeregistrationLog();
// Make the callback-skip query (HostCallbackSkip) answer non-zero (tests).
EMU_EXPORT void SetCallbackSkip(bool on);
// A host without the query: it answers zero whatever SetCallbackSkip says,
// so only the add-in's own rule skips. EMU_CALLBACK_SKIP=unanswered in a
// process's environment switches it on from the start. (EMU_SAVE_AT_UNLOAD=1
// raises one EM_NSFNOTEUPDATE before-call at the first em-deregister, as a
// server thread still saving while the add-in unloads would.)
EMU_EXPORT void SetCallbackSkipUnanswered(bool on);

// ---- Threads ------------------------------------------------------------------
struct ThreadCounts {
    uint64_t inits = 0;           // NotesInitThread calls
    uint64_t terms = 0;           // NotesTermThread calls
    uint64_t threadsInited = 0;   // threads that called NotesInitThread
    uint64_t threadsPaired = 0;   // threads that called both, as many times each
    uint64_t unpairedExits = 0;   // threads that ended with an init not undone, or terms without init
    // C API calls on a thread that never called NotesInitThread, other than
    // the process's main thread and the host's own (server) threads.
    uint64_t uninitialisedCalls = 0;
};
EMU_EXPORT ThreadCounts Threads();
// While on, NotesInitThread holds its callers until it is switched off (a
// thread kept inside a C API call, for tests of what waits for threads).
EMU_EXPORT void SetThreadInitHold(bool on);
// Waits until at least `count` callers are held.
EMU_EXPORT bool WaitForHeldThreadInits(int count, std::chrono::milliseconds limit);
EMU_EXPORT void ResetThreadCounts();
// Marks the calling thread as one of the host's own threads (a server
// thread, already initialised for the C API), as Domino's threads are.
EMU_EXPORT void MarkHostThread();

// ---- The C API's rules ----------------------------------------------------------
// The host keeps the rules the C API reference gives; a call that
// breaks one is refused as a server would refuse it (an enforced rule) and is
// always recorded as a contract violation. Every rule is enforced unless
// SetRuleEnforced or EMU_LENIENT ("thread-handles,update-flags,...": the rule
// names below) says otherwise for a process.
enum class Rule : int {
    ThreadHandles,          // "thread-handles": a database, note or collection handle used or
                            // closed on a thread other than the one that opened it
    UpdateFlags,            // "update-flags": a save with a flag the toolkit does not define
    AfterRuntime,           // "after-runtime": a C API call after the runtime ended
    DeregisterInTerminate,  // "deregister-in-terminate": EMDeregister inside EM_TERMINATENSF
    Count_,
};
EMU_EXPORT const char* RuleName(Rule rule);
EMU_EXPORT void SetRuleEnforced(Rule rule, bool enforced);
EMU_EXPORT bool RuleEnforced(Rule rule);

struct Violation {
    std::string function;  // the C function ("NSFNoteOpen")
    std::string rule;      // what it broke, in words
    std::string thread;    // "thread 1234" ("main thread 1234" for the process's first)
};
// The violations recorded so far in this process, oldest first (the first
// kViolationsKept; ViolationCount counts them all).
constexpr size_t kViolationsKept = 1000;
EMU_EXPORT std::vector<Violation> Violations();
EMU_EXPORT uint64_t ViolationCount();
EMU_EXPORT void ClearViolations();
// "NSFNoteOpen: <rule> (thread 1234)"
EMU_EXPORT std::string ViolationText(const Violation& v);
// A host program's report: "<who>: violation: ..." for each kept violation
// from the first'th on, then "<who>: violations not shown: N" if some were
// not kept, then "<who>: <total>: N" with the count from first on.
EMU_EXPORT std::vector<std::string> ViolationReport(const std::string& who, const std::string& total = "violations",
                                                    uint64_t first = 0);

// Start-up. A host calls MainEntryPoint between these two; every C API call
// made meanwhile other than the Extension Manager's own is listed (not
// failed): the C API reference allows only EM calls there.
EMU_EXPORT void EnterStartup();
EMU_EXPORT void LeaveStartup();
struct StartupCall {
    std::string function;
    uint64_t count = 0;
};
// In the order of each function's first call.
EMU_EXPORT std::vector<StartupCall> StartupCalls();
EMU_EXPORT void ClearStartupCalls();

// The end of the runtime, as a server shuts down: after EM_TERMINATENSF was
// raised (TerminateNsf) and the Extension Manager libraries were unloaded.
// Every C API call after it is a violation (and fails, the rule enforced).
// Non-summary items saved with UPDATE_NOCOMMIT and not flushed since (by a
// committed save or a close of their database) are lost here.
EMU_EXPORT void EndRuntime();
EMU_EXPORT bool RuntimeEnded();
// A new runtime in the same process (tests that end one).
EMU_EXPORT void RestartRuntime();
// Raises EM_TERMINATENSF (before) to its registrations: the end of NSF
// service for this process, just before the EM libraries are unloaded.
EMU_EXPORT STATUS TerminateNsf();

// ---- Databases and documents --------------------------------------------------
// Creates the database file (and its folders) when missing; opening it is
// then NSFDbOpen.
EMU_EXPORT STATUS CreateDatabase(const std::string& notesPath, const std::string& title = "");

struct ItemValue {
    std::string name;
    uint16_t type = TYPE_TEXT;
    std::vector<std::string> texts;  // text and text list
    std::vector<double> numbers;     // number (first value)
    uint16_t flags = ITEM_SUMMARY;
};
EMU_EXPORT ItemValue Text(const std::string& name, const std::string& value);
EMU_EXPORT ItemValue TextList(const std::string& name, const std::vector<std::string>& values);
EMU_EXPORT ItemValue Number(const std::string& name, double value);
EMU_EXPORT ItemValue Time(const std::string& name, double value);

// Writes a document note directly (no Extension Manager events); returns its id.
EMU_EXPORT STATUS CreateDocument(DBHANDLE db, const std::vector<ItemValue>& items, NOTEID* id,
                                 uint16_t noteClass = NOTE_CLASS_DOCUMENT);


// Profile document: field values of the named profile (no user).
EMU_EXPORT STATUS SetProfile(DBHANDLE db, const std::string& profileName,
                             const std::vector<ItemValue>& fields);

// Read-entries returns at most this many entries per call (0 = no limit);
// further entries are signalled with SIGNAL_MORE_TO_DO.
EMU_EXPORT void SetReadPageSize(uint32_t entries);

// Deletes the notes as a server does: EM_NSFDBDELETENOTES before and after,
// with the database and an id table of the ids.
EMU_EXPORT STATUS DeleteNotes(DBHANDLE db, const std::vector<NOTEID>& ids);
// Moves a note's last-modified time `seconds` back, in the database file
// (tests of ages that would otherwise take minutes or days to grow).
EMU_EXPORT STATUS BackdateNote(const std::string& notesPath, NOTEID id, int64_t seconds);
// Deletes one note by an update that writes a deletion stub (flag 0x8000).
EMU_EXPORT STATUS DeleteByStub(DBHANDLE db, NOTEID id, bool extended);

// How a note was last saved in this process: the flags of its last
// successful NSFNoteUpdate (extended false) or NSFNoteUpdateExtended (true).
// notesPath as opened ("brackwater\\x.nsf", either separator, any case).
struct SaveInfo {
    DWORD flags = 0;
    bool extended = false;
    uint64_t saves = 0;  // successful saves of the note seen so far
};
// False when the note was never saved through the C API in this process.
EMU_EXPORT bool SaveFlags(const std::string& notesPath, NOTEID id, SaveInfo* info);
EMU_EXPORT void ClearSaveFlags();

EMU_EXPORT STATUS CreateIdTable(DHANDLE* table);
EMU_EXPORT STATUS IdInsert(DHANDLE table, NOTEID id);
EMU_EXPORT STATUS DestroyIdTable(DHANDLE table);

// Read-back for tools and tests: every document of a database with items.
struct NoteDump {
    NOTEID id = 0;
    uint16_t noteClass = 0;
    ORIGINATORID oid{};
    std::vector<ItemValue> items;
};
EMU_EXPORT STATUS DumpNotes(const std::string& notesPath, std::vector<NoteDump>* out);

// ---- Message queues ---------------------------------------------------------
// Removes every queue of the current data directory (tests, a fresh demo).
EMU_EXPORT void RemoveAllQueues();
// Names of the queues of the current data directory.
EMU_EXPORT std::vector<std::string> QueueNames();

}  // namespace emu
