// Configuration-refresh messages between the server's tasks: the HTTP task
// puts one into every other task's queue; each task looks into its own at
// every event and reloads when something is waiting.
#include <algorithm>
#include <cstring>
#include <string>

#include "host/tarn_session.h"
#include "ipc/queue_name.h"
#include "ipc/task_list.h"
#include "log/notes_error.h"
#include "stats/tarn_stats.h"

namespace {
// MQPut takes a char*, not a const one.
char kRefreshMessage[2] = {'x', '\0'};
// The receive buffer of the refresh check: a refresh message is 2 bytes; a
// longer one is cut to this and still announces a refresh.
constexpr WORD kRefreshBufferSize = 256;
}

bool BuildQueueName(const char* task, size_t taskLength, char (&out)[kQueueNameMax + 1]) {
    constexpr char kPrefix[] = "TARN";
    memcpy(out, kPrefix, 4);
    const size_t room = kQueueNameMax - 4;
    const size_t n = taskLength < room ? taskLength : room;
    memcpy(out + 4, task, n);
    out[4 + n] = '\0';
    return n == taskLength;
}

bool TARNSession::OpenOwnQueue() {
    char name[kQueueNameMax + 1];
    if (!BuildQueueName(processName, strlen(processName), name))
        Log(1, "Message queue name cut to fit: %s", name);
    const STATUS s = MQOpen(name, MQ_OPEN_CREATE, &ownQueue);
    if (s == 0) {
        Log(3, "%s%s", "Opened message queue in: ", name);
        return true;
    }
    MarkNotInitialised();
    Log(3, "%s%s", "Opened message queue FAILED in: ", name);
    Log(1, "ERROR: message queue %s could not be opened (%s): this task captures no change", name,
        StatusText(s).c_str());
    return false;
}

void TARNSession::OpenTaskQueues(std::string list) {
    while (!list.empty()) {
        size_t comma = list.find(',');
        std::string entry = list.substr(0, comma);
        list.erase(0, comma == std::string::npos ? std::string::npos : comma + 1);
        // The task match is a substring test, so an entry with blanks
        // around it still serves its task: that task's queue is named
        // without them, as the task names its own.
        const std::string trimmed = Trimmed(entry);
        if (trimmed != entry)
            Log(1, "WARNING: TARN_Task_List entry \"%s\" has blanks around it: its task is served and its queue is TARN%s",
                entry.c_str(), trimmed.c_str());
        entry = trimmed;
        // "a,,b" or a trailing ',': nothing to name a queue after (the name
        // would be "TARN" alone, no task's).
        if (entry.empty()) {
            Log(1, "WARNING: TARN_Task_List has an empty entry: no message queue opened for it");
            continue;
        }
        // Used as written all the same: the administrator decides.
        if (std::string why = WhyEntryNeverMatches(entry); !why.empty())
            Log(1, "WARNING: TARN_Task_List entry \"%s\" can never match a task (%s)", entry.c_str(), why.c_str());
        char name[kQueueNameMax + 1];
        if (!BuildQueueName(entry.data(), entry.size(), name))
            Log(1, "Message queue name cut to fit: %s", name);
        MQHANDLE queue = 0;
        if (MQOpen(name, MQ_OPEN_CREATE, &queue) == 0) {
            taskQueues[name] = queue;
            Log(3, "%s%s", "Opened message queue in: ", name);
        } else {
            Log(3, "%s%s", "Opened message queue FAILED in: ", name);
        }
    }
}

void TARNSession::BroadcastConfigRefresh() {
    // The HTTP task reloads itself and never reads its own queue: a message
    // put there would only fill it.
    char own[kQueueNameMax + 1];
    BuildQueueName(processName, strlen(processName), own);
    for (const auto& [name, queue] : taskQueues) {
        if (name == own) continue;
        Log(3, "%s%s", "Sending IPC to: ", name.c_str());
        const STATUS s = MQPut(queue, 1, kRefreshMessage, sizeof kRefreshMessage, 0);
        if (s == 0) {
            tarn::stats::Add(tarn::stats::Count::RefreshSent);
        } else if (ERR(s) == ERR_MQ_EXCEEDED_QUOTA) {
            // Full of refresh messages (only the HTTP task writes there):
            // that task reloads at its next event all the same.
            Log(3, "Refresh message to %s not sent (%s): a refresh already waits there", name.c_str(),
                StatusText(s).c_str());
        } else {
            // That task would go on with the old configuration unheard of.
            Log(1, "ERROR: refresh message to %s not sent (%s): that task keeps its old configuration", name.c_str(),
                StatusText(s).c_str());
        }
    }
}

void TARNSession::CheckConfigRefreshMessages() {
    const WORD waiting = MQGetCount(ownQueue);
    if (waiting == 0) return;
    for (uint16_t i = 0; i < waiting; ++i) {
        char buffer[kRefreshBufferSize + 1];
        WORD length = 0;
        // A message too long for the buffer is taken off by the host and
        // reported; it still announces a refresh.
        if (MQGet(ownQueue, buffer, kRefreshBufferSize, 0, 1, &length) != 0) continue;
        buffer[length < kRefreshBufferSize ? length : kRefreshBufferSize] = '\0';
        tarn::stats::Add(tarn::stats::Count::RefreshReceived);
        Log(3, "%s%s%s", processName, ": message received: ", buffer);
    }
    tarn::stats::Add(config.Load() ? tarn::stats::Count::ConfigReloads : tarn::stats::Count::ConfigReloadsFailed);
}
