// What the embedded host exports to its users (host programs, tests).
#pragma once

#if defined(_WIN32)
// nnotes.dll exports all it defines (no dllexport anywhere in it), so one
// declaration serves the library and its users.
#define EMU_EXPORT
#else
#define EMU_EXPORT __attribute__((visibility("default")))
#endif
