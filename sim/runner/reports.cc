#include "runner/reports.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "emu/emulator.h"

namespace runner {
namespace {
uint64_t gViolationsPrinted = 0;
}  // namespace

void PrintDeregistrations() {
    std::string order;
    for (const auto& d : emu::DeregistrationLog()) order += " " + d;
    emu::WriteOutputLine("runner: deregistered:" + order);
}

void PrintStartupCalls() {
    std::string list;
    for (const auto& call : emu::StartupCalls())
        list += (list.empty() ? " " : ", ") + call.function + " x" + std::to_string(call.count);
    emu::WriteOutputLine("runner: start-up calls:" + (list.empty() ? std::string(" none") : list));
}

void ReportLeftOpen() {
    const emu::OpenCounts c = emu::Open();
    const std::pair<const char*, int> counts[] = {
        {"databases", c.databases},       {"notes", c.notes},       {"collections", c.collections},
        {"locked blocks", c.lockedBlocks}, {"blocks", c.allocatedBlocks}, {"id tables", c.idTables},
    };
    std::string list;
    for (const auto& [what, n] : counts)
        if (n) list += (list.empty() ? " " : ", ") + std::to_string(n) + " " + what;
    if (!list.empty()) emu::WriteOutputLine("runner: left open at unload:" + list);
}

void PrintViolations() {
    gViolationsPrinted = emu::ViolationCount();
    for (const auto& line : emu::ViolationReport("runner")) emu::WriteOutputLine(line);
}

void ReportLateViolations() {
    if (emu::ViolationCount() <= gViolationsPrinted) return;
    for (const auto& line : emu::ViolationReport("runner", "violations at exit", gViolationsPrinted))
        printf("%s\n", line.c_str());
    fflush(stdout);
}

}  // namespace runner
