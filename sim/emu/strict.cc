// The C API's rules as the host keeps them: contract violations, the calls
// made during start-up, and the end of the runtime.
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "emu/internal.h"

namespace emu {

void ForgetUncommitted(bool lose);  // notes.cc: UPDATE_NOCOMMIT saves at the end of the runtime

namespace {

const char* const kRuleNames[] = {"thread-handles", "update-flags", "after-runtime", "deregister-in-terminate"};
static_assert(sizeof(kRuleNames) / sizeof(kRuleNames[0]) == static_cast<size_t>(Rule::Count_));

std::atomic<bool> gEnforced[static_cast<size_t>(Rule::Count_)];

// EMU_LENIENT names the rules this process records without refusing the call.
struct EnforcementFromEnvironment {
    EnforcementFromEnvironment() {
        for (auto& e : gEnforced) e = true;
        const char* env = std::getenv("EMU_LENIENT");
        if (!env) return;
        std::string list = std::string(",") + env + ",";
        for (size_t i = 0; i < static_cast<size_t>(Rule::Count_); ++i)
            if (list.find(std::string(",") + kRuleNames[i] + ",") != std::string::npos || list == ",all,")
                gEnforced[i] = false;
    }
} gEnforcementFromEnvironment;

std::mutex gMutex;  // guards the violations and the start-up list
std::vector<Violation> gViolations;
uint64_t gViolationCount = 0;
std::vector<StartupCall> gStartup;

std::atomic<bool> gInStartup{false};
std::atomic<bool> gRuntimeEnded{false};

bool IsEmFunction(Op op) {
    return op == Op::EmRegister || op == Op::EmDeregister || op == Op::EmCreateRecursionId ||
           IsHostHook(op);
}

}  // namespace

const char* RuleName(Rule rule) {
    auto i = static_cast<size_t>(rule);
    return i < static_cast<size_t>(Rule::Count_) ? kRuleNames[i] : "?";
}

void SetRuleEnforced(Rule rule, bool enforced) {
    if (rule < Rule::Count_) gEnforced[static_cast<size_t>(rule)] = enforced;
}

bool RuleEnforced(Rule rule) { return rule < Rule::Count_ && gEnforced[static_cast<size_t>(rule)]; }

std::vector<Violation> Violations() {
    std::lock_guard lock(gMutex);
    return gViolations;
}

uint64_t ViolationCount() {
    std::lock_guard lock(gMutex);
    return gViolationCount;
}

void ClearViolations() {
    std::lock_guard lock(gMutex);
    gViolations.clear();
    gViolationCount = 0;
}

std::string ViolationText(const Violation& v) { return v.function + ": " + v.rule + " (" + v.thread + ")"; }

std::vector<std::string> ViolationReport(const std::string& who, const std::string& total, uint64_t first) {
    const uint64_t count = ViolationCount();
    const auto kept = Violations();
    std::vector<std::string> lines;
    for (size_t i = first; i < kept.size(); ++i) lines.push_back(who + ": violation: " + ViolationText(kept[i]));
    const uint64_t shown = kept.size() > first ? kept.size() - first : 0;
    const uint64_t all = count > first ? count - first : 0;
    if (all > shown) lines.push_back(who + ": violations not shown: " + std::to_string(all - shown));
    lines.push_back(who + ": " + total + ": " + std::to_string(all));
    return lines;
}

void EnterStartup() { gInStartup = true; }
void LeaveStartup() { gInStartup = false; }

std::vector<StartupCall> StartupCalls() {
    std::lock_guard lock(gMutex);
    return gStartup;
}

void ClearStartupCalls() {
    std::lock_guard lock(gMutex);
    gStartup.clear();
}

void EndRuntime() {
    if (gRuntimeEnded.exchange(true)) return;
    // What UPDATE_NOCOMMIT left unflushed does not survive the runtime.
    ForgetUncommitted(true);
}

bool RuntimeEnded() { return gRuntimeEnded; }

void RestartRuntime() {
    ForgetUncommitted(false);
    gRuntimeEnded = false;
}

STATUS TerminateNsf() {
    // The C API reference (TerminateNSFEMCallback): EM_TERMINATENSF is raised just before the EM
    // libraries are unloaded, with one reserved pointer as its argument.
    return DispatchEm(EM_TERMINATENSF, EM_BEFORE, NOERROR, static_cast<void*>(nullptr));
}

namespace detail {

bool Breach(Op op, Rule rule, const std::string& what) {
    {
        std::lock_guard lock(gMutex);
        ++gViolationCount;
        if (gViolations.size() < kViolationsKept) gViolations.push_back({OpFunctionName(op), what, ThreadLabel()});
    }
    return RuleEnforced(rule);
}

bool MayUse(uint64_t owner, Op op, const char* what) {
    if (owner == ThreadToken()) return true;
    // The C API reference (NSFDbReopen, multi-threaded programs): a handle
    // is valid only on the thread that opened or created it; another thread
    // takes its own with NSFDbReopen.
    return !Breach(op, Rule::ThreadHandles, std::string(what) + " opened on another thread");
}

STATUS CheckCall(Op op) {
    if (gRuntimeEnded && !IsHostHook(op)) {
        if (Breach(op, Rule::AfterRuntime, "called after the runtime ended")) return err::RUNTIME_ENDED;
        return 0;
    }
    // The C API reference (the Extension Manager chapter): only EM calls in
    // MainEntryPoint, the rest of the server is not ready yet. Listed, not
    // refused: the add-in's start-up order reads notes.ini and opens its
    // databases there, and a server trial is where that shows.
    if (gInStartup && !IsEmFunction(op)) {
        std::lock_guard lock(gMutex);
        const char* name = OpFunctionName(op);
        for (auto& call : gStartup)
            if (call.function == name) {
                ++call.count;
                return 0;
            }
        gStartup.push_back({name, 1});
    }
    return 0;
}

}  // namespace detail
}  // namespace emu
