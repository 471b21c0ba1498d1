#include "ipc/refresh_queues.h"

#include <cstring>
#include <string>

#include "base/task_context.h"
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

void RefreshQueues::Reset() {
    own = 0;
    tasks.clear();
    httpOwn.clear();
}

bool RefreshQueues::OpenOwn(const char* processName, const TaskContext& log) {
    char name[kQueueNameMax + 1];
    if (!BuildQueueName(processName, strlen(processName), name))
        log.Log(1, "Message queue name cut to fit: %s", name);
    const STATUS s = MQOpen(name, MQ_OPEN_CREATE, &own);
    if (s == 0) {
        log.Log(3, "%s%s", "Opened message queue in: ", name);
        return true;
    }
    log.Log(3, "%s%s", "Opened message queue FAILED in: ", name);
    log.Log(1, "ERROR: message queue %s could not be opened (%s): this task captures no change", name,
            StatusText(s).c_str());
    return false;
}

void RefreshQueues::OpenTaskQueues(const char* processName, const std::string& taskList, const TaskContext& log) {
    char ownName[kQueueNameMax + 1];
    BuildQueueName(processName, strlen(processName), ownName);
    httpOwn = ownName;
    for (std::string entry : TaskListEntries(taskList)) {
        // The task match is a substring test, so an entry with blanks
        // around it still serves its task: that task's queue is named
        // without them, as the task names its own.
        const std::string trimmed = Trimmed(entry);
        if (trimmed != entry)
            log.Log(1, "WARNING: TARN_Task_List entry \"%s\" has blanks around it: its task is served and its queue is TARN%s",
                    entry.c_str(), trimmed.c_str());
        entry = trimmed;
        // "a,,b": nothing to name a queue after (the name would be "TARN"
        // alone, no task's).
        if (entry.empty()) {
            log.Log(1, "WARNING: TARN_Task_List has an empty entry: no message queue opened for it");
            continue;
        }
        // Used as written all the same: the administrator decides.
        if (std::string why = WhyEntryNeverMatches(entry); !why.empty())
            log.Log(1, "WARNING: TARN_Task_List entry \"%s\" can never match a task (%s)", entry.c_str(), why.c_str());
        char name[kQueueNameMax + 1];
        if (!BuildQueueName(entry.data(), entry.size(), name))
            log.Log(1, "Message queue name cut to fit: %s", name);
        MQHANDLE queue = 0;
        if (MQOpen(name, MQ_OPEN_CREATE, &queue) == 0) {
            tasks[name] = queue;
            log.Log(3, "%s%s", "Opened message queue in: ", name);
        } else {
            log.Log(3, "%s%s", "Opened message queue FAILED in: ", name);
        }
    }
}

void RefreshQueues::Broadcast(const TaskContext& log) const {
    for (const auto& [name, queue] : tasks) {
        if (name == httpOwn) continue;
        log.Log(3, "%s%s", "Sending IPC to: ", name.c_str());
        const STATUS s = MQPut(queue, 1, kRefreshMessage, sizeof kRefreshMessage, 0);
        if (s == 0) {
            tarn::stats::Add(tarn::stats::Count::RefreshSent);
        } else if (ERR(s) == ERR_MQ_EXCEEDED_QUOTA) {
            // Full of refresh messages (only the HTTP task writes there):
            // that task reloads at its next event all the same.
            log.Log(3, "Refresh message to %s not sent (%s): a refresh already waits there", name.c_str(),
                    StatusText(s).c_str());
        } else {
            // That task would go on with the old configuration unheard of.
            log.Log(1, "ERROR: refresh message to %s not sent (%s): that task keeps its old configuration",
                    name.c_str(), StatusText(s).c_str());
        }
    }
}

bool RefreshQueues::TakeWaiting(const char* processName, const TaskContext& log) const {
    const WORD waiting = MQGetCount(own);
    if (waiting == 0) return false;
    for (uint16_t i = 0; i < waiting; ++i) {
        char buffer[kRefreshBufferSize + 1];
        WORD length = 0;
        // A message too long for the buffer is taken off by the host and
        // reported; it still announces a refresh.
        if (MQGet(own, buffer, kRefreshBufferSize, 0, 1, &length) != 0) continue;
        buffer[length < kRefreshBufferSize ? length : kRefreshBufferSize] = '\0';
        tarn::stats::Add(tarn::stats::Count::RefreshReceived);
        log.Log(3, "%s%s%s", processName, ": message received: ", buffer);
    }
    return true;
}
