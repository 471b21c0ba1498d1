// The Notes operations the add-in uses, named by role.
//
// This header is the add-in's whole view of its host: nothing else of the
// host is called. A host library implements it (the embedded emulator under
// sim/emu today; a library over the real Notes API is possible without any
// change on the add-in's side). Statuses are 16-bit with 0 meaning success;
// handles and note ids are 32-bit, 0 meaning none.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define NOTESAPI_EXPORT __declspec(dllimport)
#else
#define NOTESAPI_EXPORT __attribute__((visibility("default")))
#endif

namespace notes {

using STATUS = uint16_t;
using DBHANDLE = uint32_t;
using NOTEHANDLE = uint32_t;
using NOTEID = uint32_t;
using HCOLLECTION = uint32_t;
using MEMHANDLE = uint32_t;   // a block of host memory: lock, unlock, free
using IDTABLE = uint32_t;     // a table of note ids
using MQHANDLE = uint32_t;
using HEMREGISTRATION = uint32_t;

constexpr STATUS NOERROR = 0;

// ---- Extension Manager --------------------------------------------------
constexpr uint16_t EM_NSFDBDELETENOTES = 24;
constexpr uint16_t EM_NSFNOTEUPDATE = 47;
constexpr uint16_t EM_NSFNOTEUPDATEXTENDED = 102;

constexpr uint16_t EM_REG_BEFORE = 1;  // registration flags
constexpr uint16_t EM_REG_AFTER = 2;
constexpr uint16_t EM_BEFORE = 0;      // notification types
constexpr uint16_t EM_AFTER = 1;

constexpr uint32_t UPDATE_DELETED = 0x8000;  // update flag: writes a deletion stub

// The event's argument list. The callback reads it by event:
//   47:  [0] note handle (32-bit), [1] update flags (16-bit)
//   102: [0] note handle (32-bit), [1] update flags (32-bit)
//   24:  [0] database handle,      [1] id table of the deleted notes
struct EmArgs {
    uintptr_t v[4];
};

struct EMRECORD {
    uint16_t EId;
    uint16_t NotificationType;
    STATUS Status;
    EmArgs Ap;
};

using EmCallback = STATUS (*)(EMRECORD*);

// An Extension Manager callback that has nothing to say answers this.
constexpr STATUS ERR_EM_CONTINUE = 725;

// ---- Views and entries --------------------------------------------------
constexpr uint16_t NOTE_CLASS_DOCUMENT = 0x0001;
constexpr uint16_t NOTE_CLASS_VIEW = 0x0008;

constexpr uint16_t NAVIGATE_NEXT = 1;
constexpr uint32_t READ_MASK_NOTEID = 0x00000001;
constexpr uint32_t READ_MASK_SUMMARYVALUES = 0x00002000;
constexpr uint16_t SIGNAL_MORE_TO_DO = 0x0020;

constexpr uint16_t TYPE_TEXT = 0x0500;
constexpr uint16_t TYPE_TEXT_LIST = 0x0501;
constexpr uint16_t TYPE_NUMBER = 0x0300;
constexpr uint16_t TYPE_TIME = 0x0400;

constexpr uint16_t ITEM_SUMMARY = 0x0004;

constexpr uint16_t UPDATE_FORCE = 0x0001;

// Where a read of entries starts: level 0 with tumbler[0] = 0 is before the
// first entry; a read moves tumbler[0] past what it returned.
struct CollectionPosition {
    uint16_t Level;
    uint8_t MinLevel;
    uint8_t MaxLevel;
    uint32_t Tumbler[32];
};

// get-note-info selectors
constexpr uint16_t NOTE_DB = 0;     // DBHANDLE
constexpr uint16_t NOTE_ID = 1;     // NOTEID
constexpr uint16_t NOTE_OID = 2;    // OriginatorId; the UNID is its first 16 bytes
constexpr uint16_t NOTE_CLASS = 3;  // uint16_t

// The originator id. File words 1 and 2, then note words 1 and 2, form the
// universal note id.
struct OriginatorId {
    uint32_t File[2];
    uint32_t Note[2];
    uint32_t Sequence;
    uint32_t SequenceTime[2];
};

struct DbId {
    uint8_t bytes[8];
};

// ---- Message queues -----------------------------------------------------
constexpr uint16_t MQ_OPEN_CREATE = 1;
constexpr uint32_t MQ_WAIT_FOR_MSG = 0x0001;  // mq-get option; 0 = do not wait
constexpr uint16_t MQ_MAX_MSGSIZE = 256;

// ---- The operations -----------------------------------------------------
extern "C++" {

// Notes.ini: non-zero when the variable is set; the value is terminated and
// cut to size - 1 characters.
NOTESAPI_EXPORT int GetEnvironmentString(const char* name, char* buffer, uint16_t size);

// One console line, formatted from format and the arguments.
NOTESAPI_EXPORT void LogMessage(const char* format, STATUS additional, ...);

// The host's text for a status, terminated, at most size - 1 characters;
// returns its length.
NOTESAPI_EXPORT uint16_t LoadStatusString(uint16_t module, STATUS status, char* buffer, uint16_t size);

NOTESAPI_EXPORT STATUS EmRegister(uint16_t eventId, uint16_t flags, EmCallback callback,
                                  uint16_t recursionId, HEMREGISTRATION* handle);
NOTESAPI_EXPORT STATUS EmDeregister(HEMREGISTRATION handle);
NOTESAPI_EXPORT STATUS EmCreateRecursionId(uint16_t* recursionId);
// Non-zero: the callback must return at once and do nothing.
NOTESAPI_EXPORT uint16_t EmCallbackSkip();

NOTESAPI_EXPORT STATUS OpenDatabase(const char* path, DBHANDLE* db);
NOTESAPI_EXPORT STATUS CloseDatabase(DBHANDLE db);
NOTESAPI_EXPORT STATUS GetDatabaseId(DBHANDLE db, DbId* id);
// canonical: 256 bytes, backslashes, relative to the data directory.
// expanded may be null.
NOTESAPI_EXPORT STATUS GetDatabasePath(DBHANDLE db, char* canonical, char* expanded);

NOTESAPI_EXPORT STATUS OpenNote(DBHANDLE db, NOTEID id, uint16_t flags, NOTEHANDLE* note);
NOTESAPI_EXPORT STATUS CloseNote(NOTEHANDLE note);
NOTESAPI_EXPORT STATUS CreateNote(DBHANDLE db, NOTEHANDLE* note);
// Saves the note. Raises EM_NSFNOTEUPDATE before and after.
NOTESAPI_EXPORT STATUS UpdateNote(NOTEHANDLE note, uint16_t flags);
// Saves the note. Raises EM_NSFNOTEUPDATEXTENDED before and after.
NOTESAPI_EXPORT STATUS UpdateNoteExtended(NOTEHANDLE note, uint32_t flags);
NOTESAPI_EXPORT void GetNoteInfo(NOTEHANDLE note, uint16_t selector, void* value);

// 0 when the item is present; its type and value length when asked for.
NOTESAPI_EXPORT STATUS ItemInfo(NOTEHANDLE note, const char* name, uint16_t nameLength,
                                uint16_t* type, uint32_t* valueLength);
// The first text value, terminated and cut to size - 1; returns its length.
NOTESAPI_EXPORT uint16_t GetItemText(NOTEHANDLE note, const char* name, char* buffer, uint16_t size);
NOTESAPI_EXPORT int32_t GetItemLong(NOTEHANDLE note, const char* name, int32_t defaultValue);
NOTESAPI_EXPORT STATUS SetItemNumber(NOTEHANDLE note, const char* name, const double* value);
NOTESAPI_EXPORT STATUS AppendItem(NOTEHANDLE note, uint16_t flags, const char* name, uint16_t nameLength,
                                  uint16_t type, const void* value, uint32_t valueLength);
NOTESAPI_EXPORT STATUS DeleteItem(NOTEHANDLE note, const char* name, uint16_t nameLength);

// The value block starts with the 2-byte data type. It belongs to the host
// (kept with the database); the caller locks and unlocks it, never frees it.
NOTESAPI_EXPORT STATUS GetProfileField(DBHANDLE db, const char* profileName, uint16_t profileNameLength,
                                       const char* userName, uint16_t userNameLength,
                                       const char* fieldName, uint16_t fieldNameLength,
                                       uint16_t* dataType, MEMHANDLE* valueBlock, uint32_t* valueLength);

NOTESAPI_EXPORT STATUS FindView(DBHANDLE db, const char* name, uint16_t noteClass, const char* flagsPattern,
                                NOTEID* viewId, uint32_t options);
NOTESAPI_EXPORT STATUS OpenCollection(DBHANDLE viewDb, DBHANDLE dataDb, NOTEID viewId, uint16_t openFlags,
                                      MEMHANDLE unreadList, HCOLLECTION* collection);
// Any out pointer may be null. The buffer (when entries are returned) is the
// caller's: unlock and free it.
NOTESAPI_EXPORT STATUS ReadEntries(HCOLLECTION collection, CollectionPosition* position,
                                   uint16_t skipNavigator, uint32_t skipCount, uint16_t returnNavigator,
                                   uint32_t returnCount, uint32_t readMask, MEMHANDLE* buffer,
                                   uint16_t* bufferLength, uint32_t* skipped, uint32_t* returned,
                                   uint16_t* signalFlags);
NOTESAPI_EXPORT STATUS CloseCollection(HCOLLECTION collection);

NOTESAPI_EXPORT void* LockObject(MEMHANDLE handle);
NOTESAPI_EXPORT int UnlockObject(MEMHANDLE handle);
NOTESAPI_EXPORT STATUS FreeMemory(MEMHANDLE handle);

// Next note id of the table; false at the end.
NOTESAPI_EXPORT bool IdScan(IDTABLE table, bool first, NOTEID* id);

NOTESAPI_EXPORT STATUS MqOpen(const char* name, uint16_t options, MQHANDLE* queue);
NOTESAPI_EXPORT STATUS MqPut(MQHANDLE queue, uint16_t priority, const char* buffer, uint16_t length,
                             uint32_t options);
NOTESAPI_EXPORT STATUS MqGet(MQHANDLE queue, char* buffer, uint16_t length, uint32_t options,
                             uint32_t timeout, uint16_t* returnedLength);
NOTESAPI_EXPORT uint16_t MqCount(MQHANDLE queue);

}  // extern "C++"

}  // namespace notes
