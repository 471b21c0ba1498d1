/* Databases. */
#ifndef TARN_EMU_NSFDB_H
#define TARN_EMU_NSFDB_H

#include "global.h"

#ifdef __cplusplus
extern "C" {
#endif
#define DBCLASS_NOTEFILE 0xFF01
/* An empty database file (no title, ACL or design); ForceCreation must be
   FALSE here: overwriting a database is not supported. */
STATUS LNPUBLIC NSFDbCreate(const char FAR *PathName, USHORT DbClass, BOOL ForceCreation);
STATUS LNPUBLIC NSFDbOpen(const char FAR *PathName, DBHANDLE FAR *rethDB);
/* Removes a database file; refused while any handle to it is open. */
STATUS LNPUBLIC NSFDbDelete(const char FAR *PathName);
STATUS LNPUBLIC NSFDbClose(DBHANDLE hDB);
/* A new handle to the database of hDB for the calling thread (hDB may be
   another thread's); the caller closes it on that thread. */
STATUS LNPUBLIC NSFDbReopen(DBHANDLE hDB, DBHANDLE FAR *rethDB);
/* This replica copy's creation time; always NOERROR for an open handle. */
STATUS LNPUBLIC NSFDbIDGet(DBHANDLE hDB, DBID FAR *retDbID);
/* Buffers of MAXPATH bytes; either may be NULL. */
STATUS LNPUBLIC NSFDbPathGet(DBHANDLE hDB, char FAR *retCanonicalPathName, char FAR *retExpandedPathName);
/* Deletes the notes of hTable; raises EM_NSFDBDELETENOTES. */
STATUS LNPUBLIC NSFDbDeleteNotes(DBHANDLE hDB, DHANDLE hTable, UNID FAR *retUNIDArray);

/* Since, for every note (deletion stubs included): TIMEDATE_WILDCARD;
   TIMEDATE_MINIMUM: every note, stubs left out. The words as TimeConstant
   gives them. */
#define ALLDAY 0xFFFFFFFFUL
#define ANYDAY 0xFFFFFFFFUL

/* The notes of the classes in NoteClassMask changed since Since, up to the
   time returned in retUntil (pass it as the next Since); deletions with
   RRV_DELETED. ERR_NO_MODIFIED_NOTES when none (retUntil and rethTable are
   then left as they were). Free the table with IDDestroyTable. */
STATUS LNPUBLIC NSFDbGetModifiedNoteTable(DBHANDLE hDB, WORD NoteClassMask, TIMEDATE Since,
                                          TIMEDATE FAR *retUntil, DHANDLE FAR *rethTable);
/* A note's header without opening it; any output may be NULL. A deletion
   stub answers ERR_NOTE_DELETED with its OID, time and class filled in. */
STATUS LNPUBLIC NSFDbGetNoteInfo(DBHANDLE hDb, NOTEID NoteID, ORIGINATORID FAR *retNoteOID,
                                 TIMEDATE FAR *retModified, WORD FAR *retNoteClass);
#ifdef __cplusplus
}
#endif

#endif
