// Control surface of the embedded Domino host: what a host runner, a test or
// the tarn-sim tool uses besides the Notes operations themselves
// (src/host/notes_api.h). The add-in never includes this header.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/notes_api.h"

#define EMU_EXPORT __attribute__((visibility("default")))

namespace emu {

using notes::STATUS;

// Statuses of the emulator; each has a text (LoadStatusString).
namespace err {
constexpr STATUS NOEXIST = 0x0103;         // file does not exist
constexpr STATUS INVALID_HANDLE = 0x0106;  // invalid or closed handle
constexpr STATUS NOT_FOUND = 0x0404;       // entry not found in index
constexpr STATUS ITEM_NOT_FOUND = 0x0222;  // note item not found
constexpr STATUS NOTE_DELETED = 0x0225;    // note has been deleted
constexpr STATUS BAD_NOTEID = 0x0226;      // invalid note id
constexpr STATUS DB_IO = 0x0231;           // database file could not be read or written
constexpr STATUS NO_MEMORY = 0x0107;       // insufficient memory
constexpr STATUS EM_NO_RECURSION = 0x0519; // no more recursion ids
constexpr STATUS MQ_NOEXIST = 0x0F01;      // message queue does not exist
constexpr STATUS MQ_EMPTY = 0x0F02;        // no message waiting
constexpr STATUS MQ_BFR_TOO_SMALL = 0x0F03;// message larger than the buffer
constexpr STATUS MQ_QUOTA = 0x0F04;        // queue full
constexpr STATUS MQ_NAME = 0x0F05;         // bad queue name
constexpr STATUS INJECTED = 0x0FFF;        // a fault a test asked for
}  // namespace err

// Every Notes operation, for fault injection and call counts.
enum class Op : int {
    GetEnvironmentString, LogMessage, LoadStatusString,
    EmRegister, EmDeregister, EmCreateRecursionId, EmCallbackSkip,
    OpenDatabase, CloseDatabase, GetDatabaseId, GetDatabasePath,
    OpenNote, CloseNote, CreateNote, UpdateNote, UpdateNoteExtended, GetNoteInfo,
    ItemInfo, GetItemText, GetItemLong, SetItemNumber, AppendItem, DeleteItem,
    GetProfileField, FindView, OpenCollection, ReadEntries, CloseCollection,
    LockObject, UnlockObject, FreeMemory, IdScan,
    MqOpen, MqPut, MqGet, MqCount,
    DeleteNotes,
    Count_
};

EMU_EXPORT const char* OpName(Op op);

// ---- Set-up ---------------------------------------------------------------
// The data directory holds notes.ini, console.log and the databases. Taken
// from NOTES_DATA when set, else "./data". Changing it closes nothing.
EMU_EXPORT void SetDataDirectory(const std::string& dir);
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
EMU_EXPORT std::vector<std::string> ConsoleLines();
EMU_EXPORT void ClearConsole();

// ---- Fault injection and counters ---------------------------------------------
// nth = 0: every call fails; nth = k: only the k-th call from now fails.
EMU_EXPORT void InjectFault(Op op, STATUS status, unsigned nth = 0);
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
};
EMU_EXPORT OpenCounts Open();

// ---- Extension Manager ------------------------------------------------------
// Dispatch one event to the registrations for (event, phase) on the calling
// thread. Recursion ids already active on this thread are skipped.
EMU_EXPORT void DispatchEm(uint16_t eventId, uint16_t notificationType, STATUS status,
                           const notes::EmArgs& args);
EMU_EXPORT int RegistrationCount();
// Order of em-deregister calls, as "event/flags" texts, for tests.
EMU_EXPORT std::vector<std::string> DeregistrationLog();
// Make the callback-skip query answer non-zero (tests).
EMU_EXPORT void SetCallbackSkip(bool on);

// ---- Databases and documents --------------------------------------------------
// Creates the database file (and its folders) when missing; opening it is
// then notes::OpenDatabase.
EMU_EXPORT STATUS CreateDatabase(const std::string& notesPath, const std::string& title = "");

struct ItemValue {
    std::string name;
    uint16_t type = notes::TYPE_TEXT;
    std::vector<std::string> texts;  // text and text list
    std::vector<double> numbers;     // number (first value)
    uint16_t flags = notes::ITEM_SUMMARY;
};
EMU_EXPORT ItemValue Text(const std::string& name, const std::string& value);
EMU_EXPORT ItemValue TextList(const std::string& name, const std::vector<std::string>& values);
EMU_EXPORT ItemValue Number(const std::string& name, double value);
EMU_EXPORT ItemValue Time(const std::string& name, double value);

// Writes a document note directly (no Extension Manager events); returns its id.
EMU_EXPORT STATUS CreateDocument(notes::DBHANDLE db, const std::vector<ItemValue>& items, notes::NOTEID* id,
                                 uint16_t noteClass = notes::NOTE_CLASS_DOCUMENT);

struct ViewSpec {
    std::string name;                // "name" or "name|alias"
    std::string designFlags;         // e.g. "" or "P"; find-view skips those with G, 4, 0 or n
    std::vector<std::string> forms;  // empty = all documents
    std::vector<std::string> columns;// item names, in order
    int sortColumn = 0;              // ascending by this column's text; -1 = note id order
};
EMU_EXPORT STATUS CreateView(notes::DBHANDLE db, const ViewSpec& spec, notes::NOTEID* viewId);

// Profile document: field values of the named profile (no user).
EMU_EXPORT STATUS SetProfile(notes::DBHANDLE db, const std::string& profileName,
                             const std::vector<ItemValue>& fields);

// Read-entries returns at most this many entries per call (0 = no limit);
// further entries are signalled with SIGNAL_MORE_TO_DO.
EMU_EXPORT void SetReadPageSize(uint32_t entries);

// Deletes the notes as a server does: EM_NSFDBDELETENOTES before and after,
// with the database and an id table of the ids.
EMU_EXPORT STATUS DeleteNotes(notes::DBHANDLE db, const std::vector<notes::NOTEID>& ids);
// Deletes one note by an update that writes a deletion stub (flag 0x8000).
EMU_EXPORT STATUS DeleteByStub(notes::DBHANDLE db, notes::NOTEID id, bool extended);

EMU_EXPORT STATUS CreateIdTable(notes::IDTABLE* table);
EMU_EXPORT STATUS IdInsert(notes::IDTABLE table, notes::NOTEID id);
EMU_EXPORT STATUS DestroyIdTable(notes::IDTABLE table);

// Read-back for tools and tests: every document of a database with items.
struct NoteDump {
    notes::NOTEID id = 0;
    uint16_t noteClass = 0;
    notes::OriginatorId oid{};
    std::vector<ItemValue> items;
};
EMU_EXPORT STATUS DumpNotes(const std::string& notesPath, std::vector<NoteDump>* out);

// ---- Message queues ---------------------------------------------------------
// Removes every queue of the current data directory (tests, a fresh demo).
EMU_EXPORT void RemoveAllQueues();
// Names of the queues of the current data directory.
EMU_EXPORT std::vector<std::string> QueueNames();

}  // namespace emu
