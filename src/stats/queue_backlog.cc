#include "stats/queue_backlog.h"

#include <algorithm>
#include <limits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/db_handle.h"
#include "log/notes_error.h"
#include "queue/queue_views.h"

namespace tarn::stats {

int QueueBacklog::IntervalSeconds() {
    char value[MAXENVVALUE + 1] = {};
    if (!OSGetEnvironmentString(kQueueIntervalSetting, value, MAXENVVALUE)) {
        refusedSetting.clear();
        return kQueueIntervalDefault;
    }
    value[MAXENVVALUE] = '\0';
    char* end = nullptr;
    const long seconds = value[0] >= '0' && value[0] <= '9' ? strtol(value, &end, 10) : 0;
    if (end && *end == '\0' && seconds >= kQueueIntervalMin && seconds <= kQueueIntervalMax) {
        refusedSetting.clear();
        return static_cast<int>(seconds);
    }
    // Said once for each value it cannot use, not at every read.
    if (refusedSetting != value) {
        refusedSetting = value;
        char text[400];
        snprintf(text, sizeof text, "%s=%s is not a number of seconds from %d to %d; using %d", kQueueIntervalSetting,
                 value, kQueueIntervalMin, kQueueIntervalMax, kQueueIntervalDefault);
        if (line) line(text);
    }
    return kQueueIntervalDefault;
}

QueueBacklog::Clock::time_point QueueBacklog::Round(Clock::time_point now) {
    if (started && now < due) return due;
    started = true;
    Read();
    due = now + std::chrono::seconds(IntervalSeconds());
    return due;
}

void QueueBacklog::Say(const std::string& text) {
    // Once until a read succeeds again: a queue that stays unreadable does
    // not fill the log every minute.
    if (!failing && line) line(text.c_str());
    failing = true;
}

bool QueueBacklog::Publish(const char* name, DWORD value) {
    const LONG v = static_cast<LONG>(std::min<DWORD>(value, std::numeric_limits<LONG>::max()));
    // One value for the server (ST_UNIQUE), set rather than added: only the
    // HTTP task publishes it.
    const STATUS s = StatUpdate("TARN", name, ST_UNIQUE, VT_LONG, &v);
    if (s == NOERROR) return true;
    Say(std::string("Statistic TARN.") + name + " not published (" + StatusText(s).c_str() + "): trying again at the next read");
    return false;
}

void QueueBacklog::Read() {
    using namespace tarn::queue;
    const std::string kept = "; TARN.Queue.Pending, .OldestPendingMinutes and .Handled keep their last values";
    DbHandle db;
    if (STATUS s = OpenDatabaseInto(db, kQueuePath)) {
        Say(std::string("Capture queue backlog not read: ") + kQueuePath + " could not be opened (" + StatusText(s).c_str() +
            ")" + kept);
        return;
    }
    Backlog backlog;
    Failure failure;
    const bool whole = ReadBacklog(db.get(), &backlog, &failure);
    bool ok = whole;
    if (backlog.pendingRead) {
        TIMEDATE now{};
        OSCurrentTIMEDATE(&now);
        const int64_t minutes = backlog.pending ? SecondsBetween(backlog.oldestModified, now) / 60 : 0;
        ok = Publish("Queue.Pending", backlog.pending) && ok;
        ok = Publish("Queue.OldestPendingMinutes", static_cast<DWORD>(std::min<int64_t>(minutes, std::numeric_limits<LONG>::max()))) && ok;
    }
    if (whole) ok = Publish("Queue.Handled", backlog.handled) && ok;
    if (!whole) {
        std::string what = std::string(failure.call) + (failure.view ? std::string(" of view ") + failure.view : "");
        Say("Capture queue backlog not read: " + what + " failed" +
            (failure.status ? " (" + std::string(StatusText(failure.status).c_str()) + ")" : std::string(" (an entry it could not read)")) +
            (backlog.pendingRead ? "; TARN.Queue.Handled keeps its last value" : kept));
    }
    if (ok) failing = false;
}

StatsPublisher::Work QueueBacklogWork(QueueBacklog::Line line) {
    auto backlog = std::make_shared<QueueBacklog>(std::move(line));
    return [backlog](QueueBacklog::Clock::time_point now) { return backlog->Round(now); };
}

}  // namespace tarn::stats
