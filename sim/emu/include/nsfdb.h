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
#ifdef __cplusplus
}
#endif

#endif
