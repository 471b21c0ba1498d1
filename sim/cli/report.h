// What a played scenario came to: the capture queue, the notices the
// processor received, and the summary of counts.
#pragma once

#include <string>

namespace simcli {

class DemoProcessor;

// Prints the capture queue of `dir`, the processor's notices and logins
// (when there is a processor) and the summary.
void PrintReport(const std::string& dir, int changes, DemoProcessor* processor, double seconds);
// The console's "show stat PREFIX": a heading, then one statistic a line.
void PrintStats(const std::string& prefix);

}  // namespace simcli
