// What the Extension Manager calls first; ExtMgrCallback is exported
// beside it, from entry.cc.
#include "host/entry.h"

extern "C" __attribute__((visibility("default"))) STATUS LNPUBLIC MainEntryPoint() { return RunMainEntryPoint(); }

