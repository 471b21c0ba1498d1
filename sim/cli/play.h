// Playing a checked scenario: the server tasks started as processes, each
// step given to its task or done here, the summary at the end.
#pragma once

#include <string>
#include <vector>

#include "scenario.h"

namespace simcli {

class DemoProcessor;

// Starts the tasks over `dir`, plays `scenario`, stops them and prints the
// capture queue and the summary. `processor` is the demo's, or null (tarn-sim
// run). 0 when every step succeeded, else 1.
int RunScenario(const std::string& dir, const std::vector<ScenarioLine>& scenario, DemoProcessor* processor);

}  // namespace simcli
