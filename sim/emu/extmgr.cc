// The Extension Manager: registrations, recursion ids, and raising an
// event to the registered callbacks.
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "emu/internal.h"

namespace emu {
namespace {

std::mutex gMutex;  // guards the registrations

struct Registration {
    EID eventId;
    DWORD flags;
    EMHANDLER callback;
    WORD recursionId;
};
std::map<HEMREGISTRATION, Registration> gRegistrations;
std::vector<std::string> gDeregistrations;
uint16_t gNextRecursionId = 1;
std::atomic<bool> gSkip{false};

bool EnvIs(const char* name, const char* value) {
    const char* env = std::getenv(name);
    return env && (value ? std::string(env) == value : *env && std::string(env) != "0");
}
// A host that offers no callback-skip query: the add-in's own rule decides.
std::atomic<bool> gSkipUnanswered{EnvIs("EMU_CALLBACK_SKIP", "unanswered")};
// A server thread's save arriving while the add-in unloads: raised once, at
// the first deregistration, while the update callbacks are still registered.
std::atomic<bool> gSaveAtUnload{EnvIs("EMU_SAVE_AT_UNLOAD", nullptr)};
thread_local std::set<uint16_t> tActiveRecursion;
thread_local int tDispatchDepth = 0;
// EM_TERMINATENSF callbacks running, on any thread.
std::atomic<int> gTerminating{0};

}  // namespace

STATUS DispatchEm(EID eventId, WORD notificationType, STATUS status, ...) {
    const DWORD wanted = notificationType == EM_BEFORE ? EM_REG_BEFORE : EM_REG_AFTER;
    std::vector<Registration> targets;
    {
        std::lock_guard lock(gMutex);
        for (const auto& [h, r] : gRegistrations)
            if (r.eventId == eventId && (r.flags & wanted)) targets.push_back(r);
    }
    STATUS answer = ERR_EM_CONTINUE;
    const bool terminating = eventId == EM_TERMINATENSF;
    if (terminating) ++gTerminating;
    va_list args;
    va_start(args, status);
    for (const Registration& r : targets) {
        // A callback's own note operations must not re-enter it.
        if (r.recursionId != 0 && tActiveRecursion.count(r.recursionId)) continue;
        bool marked = r.recursionId != 0 && tActiveRecursion.insert(r.recursionId).second;
        ++tDispatchDepth;
        // Each callback reads the arguments from the start, in its own copy.
        EMRECORD rec;
        rec.EId = eventId;
        rec.NotificationType = notificationType;
        rec.Status = status;
        va_copy(rec.Ap, args);
        STATUS a = r.callback(&rec);
        va_end(rec.Ap);
        --tDispatchDepth;
        if (marked) tActiveRecursion.erase(r.recursionId);
        // Anything but "continue" ends the chain: it cancels (before) or
        // replaces the result (after).
        if (a != ERR_EM_CONTINUE) {
            answer = a;
            break;
        }
    }
    va_end(args);
    if (terminating) --gTerminating;
    return answer;
}

int RegistrationCount() {
    std::lock_guard lock(gMutex);
    return static_cast<int>(gRegistrations.size());
}

std::vector<std::string> DeregistrationLog() {
    std::lock_guard lock(gMutex);
    return gDeregistrations;
}

void SetCallbackSkip(bool on) { gSkip = on; }
void SetCallbackSkipUnanswered(bool on) { gSkipUnanswered = on; }

}  // namespace emu

using emu::Op;
using emu::err::INVALID_HANDLE;

extern "C" {

EMU_EXPORT STATUS EMRegister(EID eventId, DWORD flags, EMHANDLER callback, WORD recursionId,
                             HEMREGISTRATION* handle) {
    if (STATUS s = emu::Fault(Op::EmRegister)) return s;
    if (!callback || !handle) return INVALID_HANDLE;
    std::lock_guard lock(emu::gMutex);
    HEMREGISTRATION h = emu::detail::NewHandle();
    emu::gRegistrations[h] = emu::Registration{eventId, flags, callback, recursionId};
    *handle = h;
    return NOERROR;
}

EMU_EXPORT STATUS EMDeregister(HEMREGISTRATION handle) {
    if (STATUS s = emu::Fault(Op::EmDeregister)) return s;
    // The C API reference (EM_TERMINATENSF): never deregister inside the
    // EM_TERMINATENSF callback, deregister at unload. Recorded; the
    // registration still goes, since a registration left behind would call
    // into a library that is about to be unloaded.
    if (emu::gTerminating > 0)
        emu::detail::Breach(Op::EmDeregister, emu::Rule::DeregisterInTerminate,
                            "deregistered while EM_TERMINATENSF was being raised");
    std::unique_lock lock(emu::gMutex);
    auto it = emu::gRegistrations.find(handle);
    if (it == emu::gRegistrations.end()) return INVALID_HANDLE;
    emu::gDeregistrations.push_back(std::to_string(it->second.eventId) + "/" + std::to_string(it->second.flags));
    emu::gRegistrations.erase(it);
    lock.unlock();
    if (emu::gSaveAtUnload.exchange(false)) {
        // NSFNoteUpdate(NOTEHANDLE, WORD) on no note: a callback that acts
        // on it at all shows in its log lines.
        emu::WriteOutputLine("emu: a save raised while the add-in unloads");
        emu::DispatchEm(EM_NSFNOTEUPDATE, EM_BEFORE, NOERROR, static_cast<NOTEHANDLE>(0), 0);
    }
    return NOERROR;
}

EMU_EXPORT STATUS EMCreateRecursionID(WORD* recursionId) {
    if (STATUS s = emu::Fault(Op::EmCreateRecursionId)) return s;
    if (!recursionId) return INVALID_HANDLE;
    std::lock_guard lock(emu::gMutex);
    if (emu::gNextRecursionId == 0xFFFF) return emu::err::EM_NO_RECURSION;
    *recursionId = emu::gNextRecursionId++;
    return NOERROR;
}

// Not a C API function: the embedded host's answer to the add-in's
// callback-skip query (src/base/callback_skip.h), for tests.
EMU_EXPORT WORD HostCallbackSkip(void) {
    emu::Fault(Op::EmCallbackSkip);
    return emu::gSkip && !emu::gSkipUnanswered ? 1 : 0;
}

// Not a C API function either: asked by the add-in before it starts a
// notice worker; non-zero makes the start fail as a thread limit would.
EMU_EXPORT WORD HostThreadStartFails(void) { return emu::Fault(Op::ThreadStart) != 0 ? 1 : 0; }

}  // extern "C"
