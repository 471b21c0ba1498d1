#include "runner/own_handles.h"

#include <cstdio>
#include <map>

#include "emu/status_text.h"

namespace runner {
namespace {
thread_local std::map<DBHANDLE, DBHANDLE> tOwnDbs;
}  // namespace

DBHANDLE OwnHandle(DBHANDLE shared) {
    auto it = tOwnDbs.find(shared);
    if (it != tOwnDbs.end()) return it->second;
    DBHANDLE own = 0;
    if (STATUS s = NSFDbReopen(shared, &own)) {
        fprintf(stderr, "runner: reopen failed: %s (0x%x)\n", emu::StatusText(s).c_str(), s);
        return 0;
    }
    tOwnDbs[shared] = own;
    return own;
}

void CloseOwnHandles() {
    for (auto& [shared, own] : tOwnDbs) NSFDbClose(own);
    tOwnDbs.clear();
}

}  // namespace runner
