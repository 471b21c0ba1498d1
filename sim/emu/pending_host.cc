// Stop-gap entry of the embedded host, until its strict rules land: a
// reopen that gives the calling thread a handle of its own on the same
// database.
#include "emulator.h"
#include "global.h"
#include "nsfdb.h"

extern "C" {

EMU_EXPORT STATUS NSFDbReopen(DBHANDLE hDB, DBHANDLE* rethDB) {
    if (!rethDB) return 0x0106;  // ERR_INVALID_HANDLE's code
    *rethDB = 0;
    char path[MAXPATH] = {};
    if (STATUS s = NSFDbPathGet(hDB, path, nullptr)) return s;
    return NSFDbOpen(path, rethDB);
}

}
