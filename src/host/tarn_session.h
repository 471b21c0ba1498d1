// The one object per server task that holds everything the add-in keeps.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "config/tarn_config.h"
#include "events/tarn_event_processor.h"
#include "base/event_data.h"
#include "base/notes_capi.h"
#include "log/tarn_log.h"
#include "queue/tarn_queue.h"

class TARNSession {
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

    bool IsInitialised() const { return initialised.load(std::memory_order_acquire); }
    bool IsHttpTask() const { return isHttpTask; }
    TARNConfig* GetConfig() { return &config; }
    const TARNConfig* GetConfig() const { return &config; }
    TARNQueue* GetQueue() { return &queue; }
    TARNEventProcessor* GetProcessor() { return &processor; }
    const TARNLog& GetLog() const { return log; }

    void Log(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
    // Switches the task off. After a successful Init this is a failed
    // reload: the task then keeps taking refresh messages (the HTTP task
    // keeps recognising an alert) so that a later reload can switch it on.
    void MarkNotInitialised();
    // True while the task is off because a reload failed.
    bool IsOffAfterReload() const { return offAfterReload.load(std::memory_order_acquire); }
    // A reload succeeded: a task switched off by a failed one serves again.
    void ReloadSucceeded();

    STATUS HandleEvent(EventData& event);

    // Refresh messages between the server's tasks.
    void OpenTaskQueues(std::string taskList);
    void BroadcastConfigRefresh();
    void CheckConfigRefreshMessages();

    char processName[50] = {};

private:
    bool OpenOwnQueue();
    // Init's steps up to the message queues.
    bool OpenAll(const char* name);

    std::atomic<bool> initialised{true};
    std::atomic<bool> started{false};  // Init succeeded
    std::atomic<bool> offAfterReload{false};
    bool isHttpTask = false;
    TARNLog log;
    TARNConfig config;
    TARNEventProcessor processor;
    TARNQueue queue;
    std::map<std::string, MQHANDLE> taskQueues;
};

// This task's own message queue (tasks other than the HTTP task); never closed.
extern MQHANDLE ownQueue;
