// Message queues: named, bounded, shared by every task process of one data
// directory, over Boost.Interprocess message queues (POSIX shared memory).
//
// Naming. A queue name maps to the shared-memory object
//     "tarnmq_" + 16 hex digits + "_" + the encoded name
// The hex digits are a 64-bit FNV-1a hash of the data directory's absolute
// path, so servers (or parallel tests) with different data directories never
// see each other's queues. The encoded name keeps ASCII letters, digits, '.'
// and '-' and writes every other byte as '_' and two upper-case hex digits,
// so any name (blanks, '/', '_', non-ASCII) gives a distinct, valid object
// name that can be read back. Names are compared exactly: case matters.
//
// Behaviour.
// - A created queue holds at most kMaxMessages messages of at most
//   kMaxMessageSize bytes; a put to a full queue fails with
//   ERR_MQ_EXCEEDED_QUOTA at once. (The quota of a queue made by MQOpen with
//   MQ_OPEN_CREATE is not documented; this small one keeps shared memory
//   small and makes "full" reachable in tests.)
// - Messages stay in the shared object until taken, whether or not any
//   process has the queue open: a reader that starts later finds them.
//   Nothing here removes a queue except RemoveAllQueues.
// - Each message goes to one taker, across threads and processes.
// - Priority 0 (HIGHPRIORITY) is taken first, 0xFFFF (LOWPRIORITY) last;
//   equal priorities in order of putting.
// - A message that does not fit the caller's buffer is taken off, its head
//   copied as far as the buffer goes, and reported (ERR_MQ_BFR_TOO_SMALL).
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/interprocess/ipc/message_queue.hpp>


#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "emu/internal.h"
#include "emu/platform.h"

namespace bip = boost::interprocess;
namespace fs = std::filesystem;

namespace emu {
namespace {

constexpr size_t kMaxNameLength = 64;
constexpr size_t kMaxMessages = 64;
// Below MQ_MAX_MSGSIZE (65342), to keep each queue's shared memory small;
// above a 256-byte receive buffer, so a message too long for it can exist.
constexpr size_t kMaxMessageSize = 1024;
constexpr char kPrefix[] = "tarnmq_";

struct Queue {
    Queue(bip::open_or_create_t, const std::string& ipc)
        : ipcName(ipc), mq(bip::open_or_create, ipc.c_str(), kMaxMessages, kMaxMessageSize) {}
    Queue(bip::open_only_t, const std::string& ipc) : ipcName(ipc), mq(bip::open_only, ipc.c_str()) {}

    std::string ipcName;
    bip::message_queue mq;  // process-shared safe: no lock of ours around it
};

std::mutex gTableMutex;  // guards gQueues only
std::unordered_map<MQHANDLE, std::shared_ptr<Queue>> gQueues;

std::shared_ptr<Queue> Find(MQHANDLE handle) {
    std::lock_guard lock(gTableMutex);
    auto it = gQueues.find(handle);
    return it == gQueues.end() ? nullptr : it->second;
}

// "tarnmq_<hash>_" for the current data directory.
std::string Namespace() {
    std::error_code ec;
    fs::path dir = fs::absolute(DataDirectory(), ec);
    if (ec) dir = DataDirectory();
    fs::path canon = fs::weakly_canonical(dir, ec);
    std::string path = (ec ? dir.lexically_normal() : canon).string();
    while (path.size() > 1 && path.back() == '/') path.pop_back();

    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : path) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return std::string(kPrefix) + hex + "_";
}

bool KeptAsIs(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

std::string Encode(const char* name, size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(length * 3);
    for (size_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (KeptAsIs(c)) {
            out += static_cast<char>(c);
        } else {
            out += '_';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// False for anything Encode cannot have written.
bool Decode(const std::string& encoded, std::string* name) {
    name->clear();
    for (size_t i = 0; i < encoded.size(); ++i) {
        char c = encoded[i];
        if (c != '_') {
            if (!KeptAsIs(static_cast<unsigned char>(c))) return false;
            *name += c;
            continue;
        }
        if (i + 2 >= encoded.size()) return false;
        int hi = HexValue(encoded[i + 1]), lo = HexValue(encoded[i + 2]);
        if (hi < 0 || lo < 0) return false;
        *name += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return !name->empty() && name->size() <= kMaxNameLength;
}

// Shared-memory objects of this data directory's queues: (ipc name, queue name).
std::vector<std::pair<std::string, std::string>> ListQueues() {
    const std::string ns = Namespace();
    std::vector<std::pair<std::string, std::string>> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(platform::IpcDirectory(), ec)) {
        std::string file = entry.path().filename().string();
        if (file.size() <= ns.size() || file.compare(0, ns.size(), ns) != 0) continue;
        std::string name;
        if (Decode(file.substr(ns.size()), &name)) found.emplace_back(file, name);
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.second < b.second; });
    return found;
}

STATUS OpenStatus(const bip::interprocess_exception& e) {
    switch (e.get_error_code()) {
        case bip::not_found_error:
            return err::MQ_NOEXIST;
        case bip::out_of_memory_error:
        case bip::out_of_space_error:
            return err::NO_MEMORY;
        default:
            // The object exists but cannot be used (permissions, a
            // different kind of object under our name): for the caller the
            // queue is not there.
            return err::MQ_NOEXIST;
    }
}

}  // namespace

// Removes every queue of the current data directory. Handles to them in
// this process become invalid; other processes keep what they have mapped
// until they exit, but can no longer open the queues by name.
EMU_EXPORT void RemoveAllQueues() {
    const std::string ns = Namespace();
    {
        std::lock_guard lock(gTableMutex);
        std::erase_if(gQueues, [&](const auto& entry) {
            return entry.second->ipcName.compare(0, ns.size(), ns) == 0;
        });
    }
    for (const auto& [ipc, name] : ListQueues()) bip::message_queue::remove(ipc.c_str());
}

// Names of the queues of the current data directory, in byte order.
EMU_EXPORT std::vector<std::string> QueueNames() {
    std::vector<std::string> names;
    for (auto& [ipc, name] : ListQueues()) names.push_back(std::move(name));
    return names;
}

}  // namespace emu

extern "C" {

EMU_EXPORT STATUS MQOpen(const char* name, DWORD options, MQHANDLE* queue) {
    if (STATUS s = emu::Fault(emu::Op::MqOpen)) return s;
    if (!queue) return emu::err::INVALID_HANDLE;
    *queue = 0;
    if (!name) return emu::err::MQ_NAME;
    const size_t length = strnlen(name, emu::kMaxNameLength + 1);
    if (length == 0) return emu::err::MQ_NAME;
    if (length > emu::kMaxNameLength) return emu::err::NAME_LENGTH;

    const std::string ipc = emu::Namespace() + emu::Encode(name, length);
    std::shared_ptr<emu::Queue> q;
    try {
        if (options & MQ_OPEN_CREATE)
            q = std::make_shared<emu::Queue>(bip::open_or_create, ipc);
        else
            q = std::make_shared<emu::Queue>(bip::open_only, ipc);
    } catch (const bip::interprocess_exception& e) {
        return emu::OpenStatus(e);
    } catch (const std::bad_alloc&) {
        return emu::err::NO_MEMORY;
    } catch (const std::exception&) {
        return emu::err::MQ_NOEXIST;
    }

    const MQHANDLE handle = emu::detail::NewHandle();
    {
        std::lock_guard lock(emu::gTableMutex);
        emu::gQueues[handle] = std::move(q);
    }
    *queue = handle;
    return NOERROR;
}

// Drops this process's handle; the queue and its messages stay.
EMU_EXPORT STATUS MQClose(MQHANDLE queue, DWORD /*options*/) {
    if (STATUS s = emu::Fault(emu::Op::MqClose)) return s;
    std::lock_guard lock(emu::gTableMutex);
    return emu::gQueues.erase(queue) ? NOERROR : emu::err::MQ_EMPTY;  // a bad handle answers "empty"
}

// options: none are defined for a put; they are ignored.
EMU_EXPORT STATUS MQPut(MQHANDLE queue, WORD priority, char* buffer, WORD length, DWORD /*options*/) {
    if (STATUS s = emu::Fault(emu::Op::MqPut)) return s;
    auto q = emu::Find(queue);
    if (!q) return emu::err::MQ_EMPTY;  // what MQPut answers for a bad handle
    // A message the queue cannot hold is refused, not cut.
    // MQ_MAX_MSGSIZE is the API's bound for any queue; this host's queues
    // hold less (kMaxMessageSize).
    if ((!buffer && length > 0) || length > MQ_MAX_MSGSIZE || length > q->mq.get_max_msg_size())
        return emu::err::MQ_BFR_TOO_SMALL;
    static const char kNothing = 0;
    try {
        // The underlying queue takes larger numbers first; 0 is Notes' highest.
        if (!q->mq.try_send(buffer ? buffer : &kNothing, length, 0xFFFFu - priority)) return emu::err::MQ_QUOTA;
    } catch (const bip::interprocess_exception&) {
        return emu::err::MQ_BFR_TOO_SMALL;
    }
    return NOERROR;
}

// options 0: take a waiting message or answer ERR_MQ_EMPTY at once.
// MQ_WAIT_FOR_MSG: wait up to timeout milliseconds (0: for ever), then
// answer ERR_MQ_TIMEOUT.
EMU_EXPORT STATUS MQGet(MQHANDLE queue, char* buffer, WORD length, DWORD options, DWORD timeout,
                        WORD* returnedLength) {
    if (returnedLength) *returnedLength = 0;
    if (STATUS s = emu::Fault(emu::Op::MqGet)) return s;
    auto q = emu::Find(queue);
    if (!q) return emu::err::INVALID_HANDLE;
    // Refused before anything is taken, so no message is lost to it.
    if (!buffer && length > 0) return emu::err::MQ_BFR_TOO_SMALL;

    // The receive must offer room for the largest message the queue allows.
    const size_t capacity = q->mq.get_max_msg_size();
    std::array<char, emu::kMaxMessageSize> local;
    std::vector<char> large;
    char* scratch = local.data();
    if (capacity > local.size()) {
        try {
            large.resize(capacity);
        } catch (const std::bad_alloc&) {
            return emu::err::NO_MEMORY;
        }
        scratch = large.data();
    }

    bip::message_queue::size_type received = 0;
    unsigned int priority = 0;
    bool taken = false;
    const bool wait = options & MQ_WAIT_FOR_MSG;
    try {
        if (wait && timeout == 0) {
            q->mq.receive(scratch, std::max(capacity, local.size()), received, priority);
            taken = true;
        } else if (wait) {
            const auto until = boost::posix_time::microsec_clock::universal_time() +
                               boost::posix_time::milliseconds(static_cast<int64_t>(timeout));
            taken = q->mq.timed_receive(scratch, std::max(capacity, local.size()), received, priority, until);
        } else {
            taken = q->mq.try_receive(scratch, std::max(capacity, local.size()), received, priority);
        }
    } catch (const bip::interprocess_exception&) {
        return emu::err::MQ_EMPTY;
    }
    if (!taken) return wait ? emu::err::MQ_TIMEOUT : emu::err::MQ_EMPTY;
    const size_t copied = std::min<size_t>(received, length);
    if (copied > 0) std::memcpy(buffer, scratch, copied);
    if (returnedLength) *returnedLength = static_cast<WORD>(copied);
    return received > length ? emu::err::MQ_BFR_TOO_SMALL : NOERROR;
}

// The number of messages waiting, at most 65535; 0 for an unknown handle.
EMU_EXPORT WORD MQGetCount(MQHANDLE queue) {
    if (emu::Fault(emu::Op::MqCount)) return 0;
    auto q = emu::Find(queue);
    if (!q) return 0;
    const auto n = q->mq.get_num_msg();
    return static_cast<WORD>(std::min<decltype(n)>(n, 0xFFFF));
}

}  // extern "C"
