// The Notes C API as the add-in uses it: the toolkit's own headers, in one
// place. Built against the embedded host these are its declarations
// (sim/emu/include); built for a server (TARN_NOTES_SDK) the toolkit's.
#pragma once

#include <global.h>

#include <addin.h>
#include <extmgr.h>
#include <idtable.h>
#include <miscerr.h>
#include <mq.h>
#include <nif.h>
#include <nsfdb.h>
#include <nsferr.h>
#include <nsfnote.h>
#include <osenv.h>
#include <osmem.h>
#include <osmisc.h>
#include <stats.h>
