#include "runner/reports.h"

#include <cstdint>
#include <cstdio>
#include <string>

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
    const std::string list = emu::LeftOpenText(emu::Open());
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
