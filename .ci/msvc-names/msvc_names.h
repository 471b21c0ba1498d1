// Forced ahead of every Windows source in .ci/mingw-check: mingw-w64 declares
// POSIX calls that Visual C++'s run-time does not have, so a source using one
// compiles here and fails under nmake. The C headers that declare them are
// read first; after that any use of these names is an error.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

// Some mingw-w64 configurations define the two as macros of _stricmp.
#undef strcasecmp
#undef strncasecmp
#pragma GCC poison strcasecmp strncasecmp strtok_r strsep strndup bzero bcopy
#pragma GCC poison gmtime_r localtime_r asctime_r ctime_r setenv unsetenv usleep
