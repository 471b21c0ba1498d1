// The embedded host's operations by name: each C API function it offers
// and the hooks it gives tests, as EMU_FAULTS, InjectFault and the call
// counts name them (emulator.h). Names are only ever added: scripts and
// test set-ups spell them.
#pragma once

#include <string>

#include "emu/export.h"

namespace emu {

// Every operation, for fault injection and call counts. The role names are
// the ones EMU_FAULTS has always accepted; each C function is an alias of
// its role (EMU_FAULTS and InjectFault take either name).
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
    NotesInitThread, NotesTermThread, MqClose,
    ReopenDatabase,
    StatUpdate, StatDelete, StatReset, StatTraverse, StatQuery,
    CreateDatabase, ImportDxl, ReadAcl,
    GetModifiedNoteTable, GetDbNoteInfo, DestroyIdTable,
    GetCollectionData, DeleteNote,
    DeleteDatabase, CreateImporter, SetImporterProperty,
    NotesInitExtended, NotesTerm,
    // Not C API calls: the host's hooks for tests. ThreadStart answers the
    // add-in's query before it starts a notice worker (HostThreadStartFails);
    // the other two are the add-in's own allocations, counted by the host
    // runner while MainEntryPoint runs and while a callback runs.
    ThreadStart, AllocateAtStartup, AllocateInEvent,
    Count_,

    OSGetEnvironmentString = GetEnvironmentString, AddInLogMessageText = LogMessage,
    OSLoadString = LoadStatusString, EMRegister = EmRegister, EMDeregister = EmDeregister,
    EMCreateRecursionID = EmCreateRecursionId, NSFDbOpen = OpenDatabase, NSFDbClose = CloseDatabase,
    NSFDbIDGet = GetDatabaseId, NSFDbPathGet = GetDatabasePath, NSFNoteOpen = OpenNote,
    NSFNoteClose = CloseNote, NSFNoteCreate = CreateNote, NSFNoteUpdate = UpdateNote,
    NSFNoteUpdateExtended = UpdateNoteExtended, NSFNoteGetInfo = GetNoteInfo, NSFItemInfo = ItemInfo,
    NSFItemGetText = GetItemText, NSFItemGetLong = GetItemLong, NSFItemSetNumber = SetItemNumber,
    NSFItemAppend = AppendItem, NSFItemDelete = DeleteItem, NSFProfileGetField = GetProfileField,
    NIFFindDesignNoteExt = FindView, NIFOpenCollection = OpenCollection, NIFReadEntries = ReadEntries,
    NIFCloseCollection = CloseCollection, OSLockObject = LockObject, OSUnlockObject = UnlockObject,
    OSMemFree = FreeMemory, IDScan = IdScan, MQOpen = MqOpen, MQPut = MqPut, MQGet = MqGet,
    MQGetCount = MqCount, NSFDbDeleteNotes = DeleteNotes, MQClose = MqClose, NSFDbReopen = ReopenDatabase,
    NSFDbCreate = CreateDatabase, DXLImport = ImportDxl, NSFDbReadACL = ReadAcl,
    NSFDbGetModifiedNoteTable = GetModifiedNoteTable, NSFDbGetNoteInfo = GetDbNoteInfo,
    IDDestroyTable = DestroyIdTable, NIFGetCollectionData = GetCollectionData, NSFNoteDelete = DeleteNote,
    NSFDbDelete = DeleteDatabase, DXLCreateImporter = CreateImporter,
    DXLSetImporterProperty = SetImporterProperty,
};

// The role name of an operation.
EMU_EXPORT const char* OpName(Op op);
// The C function of an operation ("NSFNoteOpen"); the role name where the
// operation has none (EmCallbackSkip and the hooks after it).
EMU_EXPORT const char* OpFunctionName(Op op);
// Either name to its operation; false for an unknown name.
EMU_EXPORT bool OpFromName(const std::string& name, Op* op);
// True for the operations that are no C API call (EmCallbackSkip and the
// hooks): neither the runtime's end nor a thread's initialisation applies.
EMU_EXPORT bool IsHostHook(Op op);

}  // namespace emu
