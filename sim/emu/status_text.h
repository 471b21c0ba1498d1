// A status as the host's lines say it: its text, or "Unknown error code N"
// for a code the host has no text for (OSLoadString answers 0 then, the C
// API reference), as the add-in's own lines name such a code.
#pragma once

#include <cstdio>
#include <string>

#include "global.h"
#include "osmisc.h"

namespace emu {

inline std::string StatusText(STATUS s) {
    char text[256];
    text[0] = '\0';
    if (OSLoadString(0, ERR(s), text, sizeof text - 1) == 0 || text[0] == '\0')
        snprintf(text, sizeof text, "Unknown error code %u", static_cast<unsigned>(ERR(s)));
    text[sizeof text - 1] = '\0';
    return text;
}

}  // namespace emu
