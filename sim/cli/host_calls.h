// The few host helpers every part of tarn-sim shares: where the programs
// are, a failed call said in one line, a database handle closed on every way
// out.
#pragma once

#include <string>

#include "emu/emulator.h"

namespace simcli {

// True when `s` is success; otherwise one line on standard error naming
// `what` and the status text.
bool Check(STATUS s, const std::string& what);

// A database opened by its Notes path; a failure is said once, h stays 0.
struct Db {
    DBHANDLE h = 0;
    explicit Db(const std::string& path);
    ~Db();
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;
};

}  // namespace simcli
