// The server tasks tarn-sim starts, by their Domino executable names.
#pragma once

#include <string>
#include <vector>

namespace simcli {

inline const std::vector<std::string> kTasks = {"nserver.exe", "nhttp.exe", "amgr.exe"};

}  // namespace simcli
