// Operation names, call counts and fault injection (InjectFault and
// EMU_FAULTS).
#include <array>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "emu/internal.h"

namespace emu {
namespace {

std::mutex gMutex;  // guards the fault rules

std::array<std::atomic<uint64_t>, static_cast<size_t>(Op::Count_)> gCalls{};

struct FaultRule {
    STATUS status = 0;
    unsigned nth = 0;        // 0 = always
    uint64_t countAtSet = 0;
};
std::map<Op, FaultRule> gFaults;


// Each operation by its role name (what EMU_FAULTS has always taken) and by
// its C function name, in the order of Op.
struct OpNames {
    const char* role;
    const char* function;
};
const OpNames kOpNames[] = {
    {"GetEnvironmentString", "OSGetEnvironmentString"},
    {"LogMessage", "AddInLogMessageText"},
    {"LoadStatusString", "OSLoadString"},
    {"EmRegister", "EMRegister"},
    {"EmDeregister", "EMDeregister"},
    {"EmCreateRecursionId", "EMCreateRecursionID"},
    {"EmCallbackSkip", "EmCallbackSkip"},
    {"OpenDatabase", "NSFDbOpen"},
    {"CloseDatabase", "NSFDbClose"},
    {"GetDatabaseId", "NSFDbIDGet"},
    {"GetDatabasePath", "NSFDbPathGet"},
    {"OpenNote", "NSFNoteOpen"},
    {"CloseNote", "NSFNoteClose"},
    {"CreateNote", "NSFNoteCreate"},
    {"UpdateNote", "NSFNoteUpdate"},
    {"UpdateNoteExtended", "NSFNoteUpdateExtended"},
    {"GetNoteInfo", "NSFNoteGetInfo"},
    {"ItemInfo", "NSFItemInfo"},
    {"GetItemText", "NSFItemGetText"},
    {"GetItemLong", "NSFItemGetLong"},
    {"SetItemNumber", "NSFItemSetNumber"},
    {"AppendItem", "NSFItemAppend"},
    {"DeleteItem", "NSFItemDelete"},
    {"GetProfileField", "NSFProfileGetField"},
    {"FindView", "NIFFindDesignNoteExt"},
    {"OpenCollection", "NIFOpenCollection"},
    {"ReadEntries", "NIFReadEntries"},
    {"CloseCollection", "NIFCloseCollection"},
    {"LockObject", "OSLockObject"},
    {"UnlockObject", "OSUnlockObject"},
    {"FreeMemory", "OSMemFree"},
    {"IdScan", "IDScan"},
    {"MqOpen", "MQOpen"},
    {"MqPut", "MQPut"},
    {"MqGet", "MQGet"},
    {"MqCount", "MQGetCount"},
    {"DeleteNotes", "NSFDbDeleteNotes"},
    {"NotesInitThread", "NotesInitThread"},
    {"NotesTermThread", "NotesTermThread"},
    {"MqClose", "MQClose"},
    {"ReopenDatabase", "NSFDbReopen"},
    {"StatUpdate", "StatUpdate"},
    {"StatDelete", "StatDelete"},
    {"StatReset", "StatReset"},
    {"StatTraverse", "StatTraverse"},
    {"StatQuery", "StatQuery"},
    {"CreateDatabase", "NSFDbCreate"},
    {"ImportDxl", "DXLImport"},
    {"ReadAcl", "NSFDbReadACL"},
    {"GetModifiedNoteTable", "NSFDbGetModifiedNoteTable"},
    {"GetDbNoteInfo", "NSFDbGetNoteInfo"},
    {"DestroyIdTable", "IDDestroyTable"},
    {"GetCollectionData", "NIFGetCollectionData"},
    {"DeleteNote", "NSFNoteDelete"},
    {"DeleteDatabase", "NSFDbDelete"},
    {"CreateImporter", "DXLCreateImporter"},
    {"SetImporterProperty", "DXLSetImporterProperty"},
    {"NotesInitExtended", "NotesInitExtended"},
    {"NotesTerm", "NotesTerm"},
    {"ThreadStart", "HostThreadStartFails"},
    {"AllocateAtStartup", "AllocateAtStartup"},
    {"AllocateInEvent", "AllocateInEvent"},
};
static_assert(sizeof(kOpNames) / sizeof(kOpNames[0]) == static_cast<size_t>(Op::Count_));

bool LookUpOp(const std::string& name, Op* op) {
    for (size_t i = 0; i < static_cast<size_t>(Op::Count_); ++i)
        if (name == kOpNames[i].role || name == kOpNames[i].function) {
            *op = static_cast<Op>(i);
            return true;
        }
    return false;
}

// EMU_FAULTS="Op=status[@nth],..." makes operations of a task process fail
// from its start, for tests that run whole processes.
struct FaultsFromEnvironment {
    FaultsFromEnvironment() {
        const char* env = std::getenv("EMU_FAULTS");
        if (!env) return;
        std::string spec(env);
        size_t start = 0;
        while (start <= spec.size()) {
            size_t end = spec.find(',', start);
            std::string one = spec.substr(start, end == std::string::npos ? std::string::npos : end - start);
            auto eq = one.find('=');
            if (eq != std::string::npos) {
                std::string name = one.substr(0, eq);
                unsigned long status = std::strtoul(one.c_str() + eq + 1, nullptr, 0);
                auto at = one.find('@');
                unsigned nth = at == std::string::npos ? 0 : static_cast<unsigned>(std::strtoul(one.c_str() + at + 1, nullptr, 0));
                Op op;
                if (LookUpOp(name, &op)) gFaults[op] = FaultRule{static_cast<STATUS>(status), nth, 0};
            }
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
} gFaultsFromEnvironment;

}  // namespace

const char* OpName(Op op) {
    auto i = static_cast<size_t>(op);
    return i < static_cast<size_t>(Op::Count_) ? kOpNames[i].role : "?";
}

const char* OpFunctionName(Op op) {
    auto i = static_cast<size_t>(op);
    return i < static_cast<size_t>(Op::Count_) ? kOpNames[i].function : "?";
}

bool OpFromName(const std::string& name, Op* op) { return op && LookUpOp(name, op); }

bool IsHostHook(Op op) { return op == Op::EmCallbackSkip || op >= Op::ThreadStart; }

void InjectFault(Op op, STATUS status, unsigned nth) {
    std::lock_guard lock(gMutex);
    gFaults[op] = FaultRule{status, nth, gCalls[static_cast<size_t>(op)].load()};
}

bool InjectFault(const std::string& opName, STATUS status, unsigned nth) {
    Op op;
    if (!LookUpOp(opName, &op)) return false;
    InjectFault(op, status, nth);
    return true;
}

void ClearFaults() {
    std::lock_guard lock(gMutex);
    gFaults.clear();
}

uint64_t CallCount(Op op) { return gCalls[static_cast<size_t>(op)].load(); }

void ResetCallCounts() {
    std::lock_guard lock(gMutex);
    for (auto& c : gCalls) c = 0;
    for (auto& [op, rule] : gFaults) rule.countAtSet = 0;
}

STATUS Fault(Op op) {
    uint64_t n = ++gCalls[static_cast<size_t>(op)];
    detail::CountCallerThread(op);
    if (STATUS s = detail::CheckCall(op)) return s;
    std::lock_guard lock(gMutex);
    if (gFaults.empty()) return 0;
    auto it = gFaults.find(op);
    if (it == gFaults.end()) return 0;
    const FaultRule& rule = it->second;
    if (rule.nth == 0) return rule.status;
    return n - rule.countAtSet == rule.nth ? rule.status : 0;
}

}  // namespace emu
