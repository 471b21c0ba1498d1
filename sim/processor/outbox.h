// The sample processor's consumer of the capture queue. The queue is the
// durable record of every accepted change; a notice only says "look now", and
// nothing retries one that is lost. So the processor handles a queue note when
// its notice comes, and also sweeps the queue, on start and then at a steady
// interval, for notes nobody has handled yet.
//
// Exactly once: a note is handled, then its Status is set to 1 (the add-in
// always writes 0). Status in the database is the durable truth, read afresh
// before every handling; within the process, one note is worked on by one
// thread at a time, so a notice and a sweep that meet at the same note handle
// it once. A processor that is killed between a handling and its Status write
// handles that one note again after its restart; a real processor makes its
// work idempotent by the queue note's UNID, or writes both in one transaction.
// One processor per capture queue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "processor/outbox_store.h"

namespace tarnsim {

struct OutboxOptions {
    std::chrono::milliseconds sweepInterval{3000};
    // A note unhandled for at least this long (as seen by this processor's
    // sweeps) is taken as one whose notice was lost. The first sweep after a
    // start takes every unhandled note: notices sent while the processor was
    // away are lost for certain.
    std::chrono::milliseconds grace{1000};
    // The time a sweep ages notes by; empty means the steady clock. Tests set
    // it to step the grace exactly instead of sleeping against it.
    std::function<std::chrono::steady_clock::time_point()> now;
};

enum class Via { Notice, Sweep };
const char* ViaName(Via via);  // "notice", "sweep"

struct OutboxCounts {
    uint64_t byNotice = 0;    // handled when their notice came
    uint64_t bySweep = 0;     // recovered by a sweep
    uint64_t duplicates = 0;  // a notice or sweep that found the note handled already, or being handled
    uint64_t unknown = 0;     // notices naming no queue note
    uint64_t failures = 0;    // host failures; the note stays for a later sweep
    uint64_t unmarked = 0;    // handled, Status not yet written (retried by every sweep)
};

class Outbox {
public:
    // The handling itself: called once per queue note, on the thread of the
    // notice or the sweep, possibly several at once. Throwing leaves the note
    // unhandled for a later sweep.
    using Handler = std::function<void(const QueueNote& note, Via via)>;
    // Lines for an operator: failures, what a sweep recovered.
    using Logger = std::function<void(const std::string& line)>;

    Outbox(OutboxOptions options, Handler handler, Logger logger = {});
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Opens the capture queue of the current data directory, sweeps it once
    // (every unhandled note) and starts the periodic sweep. `recovered` gets
    // what the first sweep handled.
    bool Start(std::string* why, size_t* recovered = nullptr);
    // Ends the sweeps, waits for handlings under way and writes any Status
    // still owed. Notices must have stopped coming first.
    void Stop();

    // A notice's qnoteid (eight hexadecimal digits): handles the note unless
    // it was handled already. Returns a line describing what happened.
    std::string OnNotice(const std::string& qnoteid);
    // One sweep now; `everything` ignores the grace period. Returns how many
    // notes it handled.
    size_t Sweep(bool everything);

    OutboxCounts Counts() const;

    // "change Appointment 000008F4 in mail\alice.nsf for CN=... (UNID ...)"
    static std::string Describe(const QueueNote& note);
    // Parses a qnoteid: 1 to 8 hexadecimal digits, not 0.
    static bool ParseNoteId(const std::string& text, uint32_t* id);

private:
    enum class Outcome { Handled, Duplicate, Missing, Failed, Stopped };
    Outcome Process(uint32_t id, Via via, QueueNote* note, std::string* why);
    bool Mark(uint32_t id);
    void RetryMarks();
    void Log(const std::string& line) const;
    void Run();
    std::chrono::steady_clock::time_point Now() const;

    const OutboxOptions options;
    const Handler handler;
    const Logger logger;
    OutboxStore store;

    mutable std::mutex mutex;
    std::condition_variable changed;  // in-flight set shrank, or stopping
    bool started = false;
    bool stopping = false;
    std::set<uint32_t> inFlight;  // being handled now
    std::set<uint32_t> unmarked;  // handled; Status write still owed
    std::map<uint32_t, std::chrono::steady_clock::time_point> firstSeen;  // unhandled notes, by sweeps
    OutboxCounts counts;
    std::mutex sweeping;  // one sweep at a time
    std::thread thread;
};

}  // namespace tarnsim
