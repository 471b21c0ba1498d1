// An administrator's edits of the configuration database, as a scenario's
// config steps make them.
#pragma once

#include <string>
#include <vector>

namespace simcli {

// The words of a config step (checked by the scenario's reader): "config
// user add PATH", "config user remove PATH", "config exclude add PATH",
// "config server ITEM=VALUE..." (ITEM#=N for a number), "config view break
// NAME" and "config view repair NAME" (a view renamed out of reach, and back). False after a line on
// standard error.
bool ChangeConfig(const std::vector<std::string>& w);

}  // namespace simcli
