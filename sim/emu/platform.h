// The few things the embedded host does differently on Linux and Windows,
// one small file per platform (platform.cc, platform_win.cc).
#pragma once

#include <string>

#include "emu/export.h"

namespace emu::platform {

// Whether the calling thread is the process's first one.
bool OnMainThread();

// The system's number for the calling thread (what a debugger shows).
long SystemThreadId();

// Appends the bytes to the file in one write, so lines of several processes
// never interleave; creates the file if needed. Failures are ignored: the
// console file is a copy of what stdout shows.
void AppendToFile(const std::string& path, const std::string& bytes);

// The folder holding the message queues' shared-memory objects, one file
// each, named by their IPC name.
std::string IpcDirectory();

// The folder holding the running program ("." when the system cannot say):
// the host programs find the add-in and one another there. Exported for
// them.
EMU_EXPORT std::string ExecutableDirectory();

}  // namespace emu::platform
