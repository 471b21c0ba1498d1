// The one object per server task that holds everything the add-in keeps,
// and the task the lower layers know through TaskContext.
#pragma once

#include <cstdint>
#include <string>

#include "base/event_data.h"
#include "base/notes_capi.h"
#include "base/serving_state.h"
#include "base/task_context.h"
#include "config/tarn_config.h"
#include "events/tarn_event_processor.h"
#include "ipc/refresh_queues.h"
#include "log/tarn_log.h"
#include "queue/tarn_queue.h"
#include "transport/notice_transport.h"

class TARNSession final : public TaskContext {
public:
    TARNSession() = default;
    TARNSession(const TARNSession&) = delete;
    TARNSession& operator=(const TARNSession&) = delete;

    // Back to the freshly constructed state (databases closed once, lists
    // emptied). The session never moves: its members point at each other.
    void Reset();

    bool Init(const char* name, const char* taskList);
    // A tool's session (tarn-setup): the log, the configuration, the capture
    // queue and the event processor, and no message queue.
    bool InitTool(const char* name);
    // The first steps of Init: the task's name and kind, and the log.
    bool StartLog(const char* name);

    // One atomic load: what a callback reads first.
    TaskState State() const { return state.Get(); }
    // Nothing has switched the task off (it starts or serves).
    bool IsInitialised() const { return state.On(); }
    bool IsHttpTask() const override { return isHttpTask; }
    TARNConfig* GetConfig() { return &config; }
    const TARNConfig* GetConfig() const { return &config; }
    TARNQueue* GetQueue() { return &queue; }
    TARNEventProcessor* GetProcessor() { return &processor; }
    NoticeTransport* GetTransport() { return &transport; }
    const RefreshQueues& GetRefreshQueues() const { return refresh; }

    void VLog(int level, const char* format, va_list ap) const override;
    // Switches the task off. After a successful Init this is a failed
    // reload: the task then keeps taking refresh messages (the HTTP task
    // keeps recognising an alert) so that a later reload can switch it on.
    void MarkNotInitialised() override;
    // A reload succeeded: a task switched off by a failed one serves again.
    void ReloadSucceeded() override;
    // The library unloads: every later callback returns at once.
    void Stop() { state.Stop(); }

    // What a callback may still do in a state: the one place that knows the
    // rule of a task off after a failed reload. It keeps taking what may
    // mend it: a task other than the HTTP task its refresh messages; the
    // HTTP task, which reads none, single notes, for an alert.
    enum class Reach : uint8_t { Nothing, RefreshOnly, AlertsOnly, Everything };
    Reach ReachIn(TaskState s) const {
        if (s == TaskState::Serving || s == TaskState::Starting) return Reach::Everything;
        if (s != TaskState::OffAfterReload) return Reach::Nothing;
        return isHttpTask ? Reach::AlertsOnly : Reach::RefreshOnly;
    }

    STATUS HandleEvent(EventData& event);

    // Refresh messages between the server's tasks.
    void BroadcastConfigRefresh() override;
    void CheckConfigRefreshMessages();

    char processName[50] = {};

private:
    // Init's steps up to the message queues.
    bool OpenAll(const char* name);

    ServingState state;
    bool isHttpTask = false;
    TARNLog log;
    TARNConfig config;
    TARNQueue queue;
    // Before the processor, which hands it its notices.
    NoticeTransport transport;
    TARNEventProcessor processor;
    RefreshQueues refresh;
};
