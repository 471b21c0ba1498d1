#include "host_calls.h"

#include <cstdio>

#include "emu/status_text.h"

namespace simcli {

bool Check(STATUS s, const std::string& what) {
    if (s == 0) return true;
    fprintf(stderr, "tarn-sim: %s failed: %s (0x%x)\n", what.c_str(), emu::StatusText(s).c_str(), s);
    return false;
}

Db::Db(const std::string& path) { Check(NSFDbOpen(path.c_str(), &h), "open " + path); }

Db::~Db() {
    if (h) NSFDbClose(h);
}

}  // namespace simcli
