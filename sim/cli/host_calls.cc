#include "host_calls.h"

#include <cstdio>

namespace simcli {

bool Check(STATUS s, const std::string& what) {
    if (s == 0) return true;
    char text[200];
    text[0] = '\0';
    // A code the host has no text for is named, as the add-in names it.
    if (OSLoadString(0, ERR(s), text, sizeof text - 1) == 0)
        snprintf(text, sizeof text, "Unknown error code %u", static_cast<unsigned>(ERR(s)));
    text[sizeof text - 1] = '\0';
    fprintf(stderr, "tarn-sim: %s failed: %s (0x%x)\n", what.c_str(), text, s);
    return false;
}

Db::Db(const std::string& path) { Check(NSFDbOpen(path.c_str(), &h), "open " + path); }

Db::~Db() {
    if (h) NSFDbClose(h);
}

}  // namespace simcli
