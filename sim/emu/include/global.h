/* Base types, calling-convention macros and status helpers of the Notes C
   API, as the embedded host declares them. Only what the add-in and the
   host's own tools use is here; values and widths follow the C API reference
   (64-bit: Domino handles stay 32-bit, LONG is 32-bit). */
#ifndef TARN_EMU_GLOBAL_H
#define TARN_EMU_GLOBAL_H

#include <stdarg.h>
#include <stddef.h>

#if defined(_WIN32)
#include <windows.h> /* WORD, DWORD, BOOL, BYTE, LONG, USHORT, HMODULE */
#endif

#ifndef FAR
#define FAR
#endif
#define LNPUBLIC
#define LNCALLBACK
#define LNCALLBACKPTR LNCALLBACK FAR *
#define LNVARARGS

#if !defined(_WIN32)
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned short USHORT;
typedef unsigned int DWORD;
/* LONGIS64BIT: LONG stays 32-bit where long is 64-bit. */
typedef int LONG;
/* The C API reference leaves BOOL's page blank; the Java bindings use a native
   int, so an int it is. */
typedef int BOOL;
/* HMODULE is not defined by the C API reference; a pointer-sized 0 is what
   callers pass on UNIX. */
typedef void *HMODULE;
#endif

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef WORD STATUS;
typedef WORD BLOCK;
typedef double NUMBER;

/* Domino handles: 32-bit unsigned, never the operating system's HANDLE. */
typedef unsigned int DHANDLE;
typedef DHANDLE MEMHANDLE;
#define NOTEHANDLE DHANDLE
#define DBHANDLE DHANDLE
#define NULLHANDLE ((DHANDLE)0)

typedef DWORD NOTEID;

typedef struct {
    DWORD Innards[2];
} TIMEDATE;
#define DBID TIMEDATE

typedef struct {
    DBID File;
    TIMEDATE Note;
} UNIVERSALNOTEID;
typedef UNIVERSALNOTEID UNID;

typedef struct {
    DBID File;
    TIMEDATE Note;
    DWORD Sequence;
    TIMEDATE SequenceTime;
} ORIGINATORID;

typedef struct {
    DHANDLE pool;
    BLOCK block;
} BLOCKID;

/* va_list on 64-bit Linux and Windows. */
#define VARARG_PTR va_list
#define VARARG_GET(ap, type) va_arg(ap, type)
#define VARARG_COPY(dst, src) va_copy(dst, src)

#define NOERROR 0
#define ERR_MASK 0x3FFF
#define STS_REMOTE 0x4000
#define STS_DISPLAYED 0x8000
#define ERR(e) ((e) & ERR_MASK)

#define PKG_OS 0x0100
#define PKG_NSF 0x0200
#define PKG_NIF 0x0300
#define PKG_MISC 0x0400

#define MAXPATH 256
#define MAXENVVALUE 256

#ifdef __cplusplus
extern "C" {
#endif

/* Threads the caller creates: init before the first C API call, term
   before the thread ends. (The header they live in is not stated; every
   toolkit source includes global.h first, so they are declared here.) */
STATUS LNPUBLIC NotesInitThread(void);
void LNPUBLIC NotesTermThread(void);

/* A program that starts with main(): the runtime up before any other call
   (notes.ini found from argv: an argument "=FILE" names another one), and
   down again before the program exits. */
STATUS LNPUBLIC NotesInitExtended(int argc, char FAR * FAR *argv);
void LNPUBLIC NotesTerm(void);

#ifdef __cplusplus
}
#endif

#endif
