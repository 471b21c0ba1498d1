#include "processor/outbox.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <vector>

namespace tarnsim {

using Clock = std::chrono::steady_clock;

const char* ViaName(Via via) { return via == Via::Notice ? "notice" : "sweep"; }

Outbox::Outbox(OutboxOptions o, Handler h, Logger l) : options(o), handler(std::move(h)), logger(std::move(l)) {}

Outbox::~Outbox() { Stop(); }

void Outbox::Log(const std::string& line) const {
    if (logger) logger(line);
}

bool Outbox::ParseNoteId(const std::string& text, uint32_t* id) {
    if (text.empty() || text.size() > 8) return false;
    uint32_t value = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : -1;
        if (digit < 0) return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    if (value == 0) return false;
    *id = value;
    return true;
}

std::string Outbox::Describe(const QueueNote& n) {
    return std::string(n.deletion ? "delete" : "change") + "  " + n.form + " " + n.noteId + " in " + n.dbPath +
           " for " + n.userName + "  (UNID " + n.unid + ")";
}

bool Outbox::Start(std::string* why, size_t* recovered) {
    {
        std::lock_guard lock(mutex);
        if (started) return true;
    }
    if (!store.Open(why)) return false;
    {
        std::lock_guard lock(mutex);
        started = true;
        stopping = false;
    }
    size_t n = Sweep(true);
    if (recovered) *recovered = n;
    thread = std::thread([this] { Run(); });
    return true;
}

void Outbox::Stop() {
    {
        std::lock_guard lock(mutex);
        if (!started) return;
        stopping = true;
    }
    changed.notify_all();
    if (thread.joinable()) thread.join();
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return inFlight.empty(); });
    }
    RetryMarks();
    size_t owed;
    {
        std::lock_guard lock(mutex);
        owed = unmarked.size();
        unmarked.clear();
        started = false;
    }
    if (owed)
        Log(std::to_string(owed) +
            " handled queue note(s) could not be marked handled; they will be handled again after the next start");
    store.Close();
}

Clock::time_point Outbox::Now() const { return options.now ? options.now() : Clock::now(); }

void Outbox::Run() {
    std::unique_lock lock(mutex);
    auto next = Clock::now() + options.sweepInterval;
    while (!stopping) {
        changed.wait_until(lock, next, [&] { return stopping; });
        if (stopping) break;
        lock.unlock();
        Sweep(false);
        lock.lock();
        // Wake early for a note that comes of age before the next round; with
        // a clock of the caller's, ages are the caller's to step.
        auto now = Clock::now();
        next = now + options.sweepInterval;
        if (!options.now)
            for (const auto& [id, seen] : firstSeen) next = std::min(next, seen + options.grace);
        next = std::max(next, now + std::chrono::milliseconds(20));
    }
}

bool Outbox::Mark(uint32_t id) {
    std::string why;
    for (int attempt = 0;; ++attempt) {
        StoreResult r = store.MarkHandled(id, &why);
        // A note deleted since it was handled owes no Status.
        if (r != StoreResult::Failed) return true;
        if (attempt == 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50 << (2 * attempt)));
    }
    char id8[9];
    snprintf(id8, sizeof id8, "%08X", id);
    Log(std::string("queue note ") + id8 + " handled, but its Status could not be written (" + why +
        "); trying again at the next sweep");
    return false;
}

void Outbox::RetryMarks() {
    std::vector<uint32_t> owed;
    {
        std::lock_guard lock(mutex);
        owed.assign(unmarked.begin(), unmarked.end());
    }
    for (uint32_t id : owed) {
        std::string why;
        if (store.MarkHandled(id, &why) == StoreResult::Failed) continue;
        std::lock_guard lock(mutex);
        unmarked.erase(id);
    }
}

Outbox::Outcome Outbox::Process(uint32_t id, Via via, QueueNote* note, std::string* why) {
    {
        // Checked together with the claim, so that nothing is claimed once
        // Stop has waited for the claims under way.
        std::lock_guard lock(mutex);
        if (!started || stopping) return Outcome::Stopped;
        if (inFlight.count(id) || unmarked.count(id)) {
            ++counts.duplicates;
            return Outcome::Duplicate;
        }
        inFlight.insert(id);
    }
    Outcome outcome = Outcome::Failed;
    bool owesMark = false;
    switch (store.Read(id, note, why)) {
        case StoreResult::Missing: outcome = Outcome::Missing; break;
        case StoreResult::Failed: outcome = Outcome::Failed; break;
        case StoreResult::Ok:
            if (note->status == kStatusHandled) {
                outcome = Outcome::Duplicate;
                break;
            }
            try {
                handler(*note, via);
                outcome = Outcome::Handled;
            } catch (const std::exception& e) {
                if (why) *why = std::string("the handler failed: ") + e.what();
                break;
            }
            owesMark = !Mark(id);
            break;
    }
    {
        std::lock_guard lock(mutex);
        switch (outcome) {
            case Outcome::Handled: ++(via == Via::Notice ? counts.byNotice : counts.bySweep); break;
            case Outcome::Duplicate: ++counts.duplicates; break;
            case Outcome::Missing: counts.unknown += via == Via::Notice; break;
            case Outcome::Failed: ++counts.failures; break;
            case Outcome::Stopped: break;
        }
        if (owesMark) {
            unmarked.insert(id);
            ++counts.failures;
        }
        firstSeen.erase(id);
        inFlight.erase(id);
    }
    changed.notify_all();
    return outcome;
}

std::string Outbox::OnNotice(const std::string& qnoteid) {
    uint32_t id = 0;
    if (!ParseNoteId(qnoteid, &id)) {
        std::lock_guard lock(mutex);
        ++counts.unknown;
        return "(not a queue note id)";
    }
    QueueNote note;
    std::string why;
    switch (Process(id, Via::Notice, &note, &why)) {
        case Outcome::Handled: return Describe(note);
        case Outcome::Duplicate: return "(already handled)";
        case Outcome::Missing: return "(no such queue note)";
        case Outcome::Stopped: return "(not handled now: the processor is starting or stopping; a sweep will take it)";
        case Outcome::Failed: break;
    }
    char id8[9];
    snprintf(id8, sizeof id8, "%08X", id);
    Log(std::string("queue note ") + id8 + " not handled on its notice: " + why + "; a sweep will take it");
    return "(not handled now: " + why + ")";
}

size_t Outbox::Sweep(bool everything) {
    std::lock_guard one(sweeping);
    RetryMarks();
    std::vector<uint32_t> pending;
    std::string why;
    if (store.Pending(&pending, &why) != StoreResult::Ok) {
        {
            std::lock_guard lock(mutex);
            ++counts.failures;
        }
        Log("sweep could not read the capture queue: " + why);
        return 0;
    }
    std::vector<uint32_t> due;
    {
        std::lock_guard lock(mutex);
        auto now = Now();
        std::map<uint32_t, Clock::time_point> seen;
        for (uint32_t id : pending) {
            if (unmarked.count(id)) continue;  // handled already; only its Status is owed
            auto it = firstSeen.find(id);
            auto since = it == firstSeen.end() ? now : it->second;
            seen[id] = since;
            if (everything || now - since >= options.grace) due.push_back(id);
        }
        firstSeen.swap(seen);  // forget notes handled elsewhere or gone
    }
    size_t handled = 0;
    std::string recovered;
    for (uint32_t id : due) {
        QueueNote note;
        std::string noteWhy;
        Outcome o = Process(id, Via::Sweep, &note, &noteWhy);
        if (o == Outcome::Stopped) break;
        if (o == Outcome::Handled) {
            ++handled;
            char id8[10];
            snprintf(id8, sizeof id8, " %08X", id);
            if (handled <= 20) recovered += id8;
        } else if (o == Outcome::Failed) {
            char id8[9];
            snprintf(id8, sizeof id8, "%08X", id);
            Log(std::string("sweep could not handle queue note ") + id8 + ": " + noteWhy);
        }
    }
    if (handled)
        Log("sweep recovered " + std::to_string(handled) + " queue note(s):" + recovered + (handled > 20 ? " ..." : ""));
    return handled;
}

OutboxCounts Outbox::Counts() const {
    std::lock_guard lock(mutex);
    OutboxCounts c = counts;
    c.unmarked = unmarked.size();
    return c;
}

}  // namespace tarnsim
