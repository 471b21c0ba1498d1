// The runner's closing lines: what MainEntryPoint called, what the add-in
// left open, the rule breaches the host recorded.
#pragma once

namespace runner {

// "runner: deregistered: ...": the EM registrations, in the order they
// were removed.
void PrintDeregistrations();
// "runner: start-up calls: OSGetEnvironmentString x2, NSFDbOpen x3" (or
// "none"): what MainEntryPoint called beyond the EM functions, in order.
void PrintStartupCalls();
// What the add-in left open at its unload, said only when something is.
void ReportLeftOpen();
// One line a violation, then their count.
void PrintViolations();
// Those recorded after PrintViolations (exit handlers of a library that
// stayed loaded), for atexit.
void ReportLateViolations();

}  // namespace runner
