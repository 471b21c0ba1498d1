#include "host/tarn_session.h"

#include <cstdarg>
#include <cstdio>
#include <strings.h>

MQHANDLE ownQueue = 0;

void TARNSession::Reset() {
    queue.Reset();
    processor.Reset();
    config.Reset();
    taskQueues.clear();
    log = TARNLog();
    processName[0] = '\0';
    isHttpTask = false;
    initialised.store(true);
}

bool TARNSession::StartLog(const char* name) {
    CopyBounded(processName, sizeof processName, name);
    isHttpTask = strcasecmp(processName, "nhttp.exe") == 0;
    log = TARNLog();
    return log.Init(this);
}

bool TARNSession::Init(const char* name, const char* taskList) {
    initialised = StartLog(name);
    if (IsInitialised()) {
        config.Reset();
        initialised = config.Open(this) && IsInitialised();
    }
    if (IsInitialised()) {
        queue.Reset();
        initialised = queue.OpenQueueDb(this);
    }
    if (IsInitialised()) {
        processor.Reset();
        initialised = processor.Init(this);
    }
    if (IsInitialised()) {
        if (isHttpTask)
            OpenTaskQueues(taskList ? taskList : "");
        else
            initialised = OpenOwnQueue();
    }
    return IsInitialised();
}

void TARNSession::Log(int level, const char* format, ...) const {
    // Formatting is skipped for a line the level would suppress anyway: the
    // callback writes such lines on every event.
    if (!LevelPasses(level, config.GetLogLevel())) return;
    char message[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    log.Write(level, message);
}

STATUS TARNSession::HandleEvent(EventData& event) {
    if (IsInitialised()) processor.ProcessEvent(event);
    return ERR_EM_CONTINUE;
}
