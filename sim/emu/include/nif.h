/* Views and collections. */
#ifndef TARN_EMU_NIF_H
#define TARN_EMU_NIF_H

#include "global.h"
#include "nsfdata.h"
#include "nsfnote.h"

/* The C API reference types it as a WORD; whether it widens on 64-bit is not
   stated, so callers receive it into a zeroed 4-byte variable. */
typedef WORD HCOLLECTION;

#define MAXTUMBLERLEVELS 32
typedef struct {
    WORD Level;
    BYTE MinLevel;
    BYTE MaxLevel;
    DWORD Tumbler[MAXTUMBLERLEVELS];
} COLLECTIONPOSITION;

#define NAVIGATE_CURRENT 0
#define NAVIGATE_NEXT 1
#define NAVIGATE_CONTINUE 0x8000

#define READ_MASK_NOTEID 0x00000001
#define READ_MASK_NOTEUNID 0x00000002
#define READ_MASK_NOTECLASS 0x00000004
#define READ_MASK_SUMMARYVALUES 0x00002000
#define READ_MASK_SUMMARY 0x00008000

#define SIGNAL_ANY_CONFLICT 0x001F
#define SIGNAL_MORE_TO_DO 0x0020

#define NOTEID_CATEGORY 0x80000000

#define OPEN_REBUILD_INDEX 0x0001
#define OPEN_NOUPDATE 0x0002
#define OPEN_DO_NOT_CREATE 0x0004
#define OPEN_SHARED_VIEW_NOTE 0x0010
#define OPEN_REOPEN_COLLECTION 0x0020

/* NIFGetCollectionData: a block the caller locks, unlocks and frees
   (OSMemFree). The percentile keys' ITEM_VALUE_TABLEs follow the structure;
   KeyOffset holds their byte offsets from its start. */
#define PERCENTILE_COUNT 11
#define PERCENTILE_0 0
#define PERCENTILE_50 5
#define PERCENTILE_100 10
typedef struct {
    DWORD DocCount;
    DWORD DocTotalSize;
    DWORD BTreeLeafNodes;
    WORD BTreeDepth;
    WORD Spare;
    DWORD KeyOffset[PERCENTILE_COUNT];
} COLLECTIONDATA;

/* Design-flag patterns. */
#define DFLAGPAT_VIEWS_AND_FOLDERS "-G40n^"

#ifdef __cplusplus
extern "C" {
#endif
STATUS LNPUBLIC NIFFindDesignNoteExt(DBHANDLE hFile, const char FAR *Name, WORD Class, const char *pszFlagsPattern,
                                     NOTEID FAR *retNoteID, DWORD Options);
STATUS LNPUBLIC NIFOpenCollection(DBHANDLE hViewDB, DBHANDLE hDataDB, NOTEID ViewNoteID, WORD OpenFlags,
                                  DHANDLE hUnreadList, HCOLLECTION FAR *rethCollection,
                                  NOTEHANDLE FAR *rethViewNote, UNID FAR *retViewUNID,
                                  DHANDLE FAR *rethCollapsedList, DHANDLE FAR *rethSelectedList);
/* The buffer is the caller's: lock, unlock and OSMemFree it whenever one
   is returned, even with 0 entries. */
STATUS LNPUBLIC NIFReadEntries(HCOLLECTION hCollection, COLLECTIONPOSITION FAR *IndexPos, WORD SkipNavigator,
                               DWORD SkipCount, WORD ReturnNavigator, DWORD ReturnCount, DWORD ReturnMask,
                               DHANDLE FAR *rethBuffer, WORD FAR *retBufferLength,
                               DWORD FAR *retNumEntriesSkipped, DWORD FAR *retNumEntriesReturned,
                               WORD FAR *retSignalFlags);
STATUS LNPUBLIC NIFCloseCollection(HCOLLECTION hCollection);
STATUS LNPUBLIC NIFGetCollectionData(HCOLLECTION hCollection, DHANDLE FAR *rethCollData);
#ifdef __cplusplus
}
#endif

/* A macro, not a symbol. */
#define NIFFindView(hFile, Name, retNoteID) \
    NIFFindDesignNoteExt(hFile, Name, NOTE_CLASS_VIEW, DFLAGPAT_VIEWS_AND_FOLDERS, retNoteID, 0)

#endif
