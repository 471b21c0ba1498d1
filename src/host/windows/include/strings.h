// MSVC has no <strings.h>; what the sources take from it is in msvc_compat.h.
#pragma once
#include <string.h>
