// Stop-gap entries of the embedded host, until its strict rules land: a
// reopen that gives the calling thread a handle of its own on the same
// database, and the callback-skip query under the add-in's role name.
#include <cstring>

#include "emulator.h"
#include "global.h"
#include "nsfdb.h"

extern "C" WORD TARNEmuCallbackSkip(void);

extern "C" {

EMU_EXPORT STATUS NSFDbReopen(DBHANDLE hDB, DBHANDLE* rethDB) {
    if (!rethDB) return 0x0106;  // ERR_INVALID_HANDLE's code
    *rethDB = 0;
    char path[MAXPATH] = {};
    if (STATUS s = NSFDbPathGet(hDB, path, nullptr)) return s;
    return NSFDbOpen(path, rethDB);
}

EMU_EXPORT WORD HostCallbackSkip(void) { return TARNEmuCallbackSkip(); }

}
