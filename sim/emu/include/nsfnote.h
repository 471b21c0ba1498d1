/* Notes and their items. */
#ifndef TARN_EMU_NSFNOTE_H
#define TARN_EMU_NSFNOTE_H

#include "global.h"
#include "nsfdata.h"

/* NSFNoteGetInfo members. */
#define _NOTE_DB 0
#define _NOTE_ID 1
#define _NOTE_OID 2
#define _NOTE_CLASS 3
#define _NOTE_MODIFIED 4
#define _NOTE_FLAGS 7

#define NOTE_CLASS_DOCUMENT 0x0001
#define NOTE_CLASS_INFO 0x0002
#define NOTE_CLASS_FORM 0x0004
#define NOTE_CLASS_VIEW 0x0008
#define NOTE_CLASS_ICON 0x0010
#define NOTE_CLASS_DESIGN 0x0020
#define NOTE_CLASS_ACL 0x0040
#define NOTE_CLASS_FILTER 0x0200
#define NOTE_CLASS_FIELD 0x0400
#define NOTE_CLASS_PRIVATE 0x1000
#define NOTE_CLASS_DEFAULT 0x8000
#define NOTE_CLASS_ALL 0x7FFF

/* NSFNoteOpen flags. */
#define OPEN_SUMMARY 0x0001
#define OPEN_NOVERIFYDEFAULT 0x0002
#define OPEN_EXPAND 0x0004
#define OPEN_NOOBJECTS 0x0008
#define OPEN_SHARE 0x0020
#define OPEN_CANONICAL 0x0040
#define OPEN_MARK_READ 0x0100
#define OPEN_ABSTRACT 0x0200
#define OPEN_RESPONSE_ID_TABLE 0x1000

/* Update flags. */
#define UPDATE_FORCE 0x0001
#define UPDATE_NAME_KEY_WARNING 0x0002
#define UPDATE_NOCOMMIT 0x0004
#define UPDATE_NOREVISION 0x0100
#define UPDATE_NOSTUB 0x0200
#define UPDATE_INCREMENTAL 0x4000
#define UPDATE_DELETED 0x8000
#define UPDATE_DUPLICATES 0
#define UPDATE_SHARE_SECOND 0x00200000
#define UPDATE_SHARE_OBJECTS 0x00400000

/* Item flags. */
#define ITEM_SUMMARY 0x0004

#ifdef __cplusplus
extern "C" {
#endif
STATUS LNPUBLIC NSFNoteOpen(DBHANDLE db_handle, NOTEID note_id, WORD open_flags, NOTEHANDLE FAR *note_handle);
STATUS LNPUBLIC NSFNoteClose(NOTEHANDLE note_handle);
STATUS LNPUBLIC NSFNoteCreate(DBHANDLE db_handle, NOTEHANDLE FAR *note_handle);
STATUS LNPUBLIC NSFNoteUpdate(NOTEHANDLE note_handle, WORD update_flags);
STATUS LNPUBLIC NSFNoteUpdateExtended(NOTEHANDLE hNote, DWORD UpdateFlags);
/* Writes a deletion stub in place of the note (the 16-bit UPDATE_xxx flags). */
STATUS LNPUBLIC NSFNoteDelete(DBHANDLE db_handle, NOTEID note_id, WORD update_flags);
void LNPUBLIC NSFNoteGetInfo(NOTEHANDLE note_handle, WORD note_member, void FAR *value_ptr);
void LNPUBLIC NSFNoteSetInfo(NOTEHANDLE note_handle, WORD note_member, void FAR *value_ptr);

/* The value BLOCKID points at the type WORD, then the data; value_len
   counts the WORD. The note owns it: lock it, unlock it before closing the
   note, never free it. */
STATUS LNPUBLIC NSFItemInfo(NOTEHANDLE note_handle, const char FAR *item_name, WORD name_len,
                            BLOCKID FAR *item_blockid, WORD FAR *value_datatype, BLOCKID FAR *value_blockid,
                            DWORD FAR *value_len);
/* Characters copied, cut to text_len; 0 for an empty or missing item. */
WORD LNPUBLIC NSFItemGetText(NOTEHANDLE note_handle, const char FAR *item_name, char FAR *item_text,
                             WORD text_len);
LONG LNPUBLIC NSFItemGetLong(NOTEHANDLE note_handle, const char FAR *number_item_name, LONG number_item_default);
STATUS LNPUBLIC NSFItemSetNumber(NOTEHANDLE hNote, const char FAR *ItemName, const NUMBER FAR *Number);
STATUS LNPUBLIC NSFItemAppend(NOTEHANDLE note_handle, WORD item_flags, const char FAR *item_name, WORD name_len,
                              WORD item_type, const void FAR *item_value, DWORD value_len);
STATUS LNPUBLIC NSFItemDelete(NOTEHANDLE note_handle, const char FAR *item_name, WORD name_len);

/* A BLOCKID, not a handle: read with OSLockBlock/OSUnlockBlock, never
   freed by the caller. */
STATUS LNPUBLIC NSFProfileGetField(DBHANDLE hDB, const char *ProfileName, WORD ProfileNameLength,
                                   const char *UserName, WORD UserNameLength, const char *FieldName,
                                   WORD FieldNameLength, WORD *retDatatype, BLOCKID *retbhValue,
                                   DWORD *retValueLength);
#ifdef __cplusplus
}
#endif

#endif
