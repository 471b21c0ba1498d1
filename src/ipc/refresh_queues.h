// Configuration-refresh messages between the server's tasks: the HTTP task
// puts one into every other listed task's queue; each task looks into its
// own at every event and reloads when something is waiting. Both kinds of
// queue belong to this one object; none is closed (the host closes them with
// the process, after the last callback that may read one).
#pragma once

#include <map>
#include <string>

#include "base/notes_capi.h"

class TaskContext;

class RefreshQueues {
public:
    // Back to the constructed state (the queues are let go, not closed).
    void Reset();

    // A task other than the HTTP task: its own queue, TARN<processName>.
    // False, after its lines, when it cannot be opened.
    bool OpenOwn(const char* processName, const TaskContext& log);
    // The HTTP task: a queue for each entry of the task list, and its own
    // queue's name, once, so that the broadcast leaves it out.
    void OpenTaskQueues(const char* processName, const std::string& taskList, const TaskContext& log);

    // One refresh message into every task's queue but the HTTP task's own.
    void Broadcast(const TaskContext& log) const;
    // Takes every message waiting in the own queue; true when there was one,
    // and the task is to reload.
    bool TakeWaiting(const char* processName, const TaskContext& log) const;

    MQHANDLE OwnQueue() const { return own; }

private:
    MQHANDLE own = 0;
    std::map<std::string, MQHANDLE> tasks;
    // The HTTP task reloads itself and never reads its own queue: a message
    // put there would only fill it.
    std::string httpOwn;
};
