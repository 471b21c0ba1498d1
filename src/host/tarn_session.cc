#include "host/tarn_session.h"

#include <cstdarg>

#include "base/ascii.h"

#include "stats/tarn_stats.h"

MQHANDLE ownQueue = 0;

void TARNSession::Reset() {
    queue.Reset();
    processor.Reset();
    config.Reset();
    taskQueues.clear();
    log = TARNLog();
    processName[0] = '\0';
    isHttpTask = false;
    started.store(false);
    offAfterReload.store(false);
    initialised.store(true);
}

void TARNSession::MarkNotInitialised() {
    initialised.store(false, std::memory_order_release);
    if (started.load(std::memory_order_acquire)) offAfterReload.store(true, std::memory_order_release);
    tarn::stats::StateChanged();
}

void TARNSession::ReloadSucceeded() {
    if (!offAfterReload.exchange(false, std::memory_order_acq_rel)) return;
    initialised.store(true, std::memory_order_release);
    tarn::stats::StateChanged();
    Log(1, "%s", "Configuration reloaded: this task captures changes again");
}

bool TARNSession::StartLog(const char* name) {
    CopyBounded(processName, sizeof processName, name);
    // The HTTP task's executable is nhttp.exe on Windows and http on a Linux
    // server, whose task names carry no "n" and no ".exe".
    isHttpTask = AsciiEqualNoCase(processName, "nhttp.exe") || AsciiEqualNoCase(processName, "http");
    log = TARNLog();
    return log.Init(processName, config.LevelSetting());
}

bool TARNSession::OpenAll(const char* name) {
    started.store(false);
    offAfterReload.store(false);
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
    return IsInitialised();
}

bool TARNSession::InitTool(const char* name) {
    started.store(OpenAll(name), std::memory_order_release);
    return IsInitialised();
}

bool TARNSession::Init(const char* name, const char* taskList) {
    if (OpenAll(name)) {
        if (isHttpTask)
            OpenTaskQueues(taskList ? taskList : "");
        else
            initialised = OpenOwnQueue();
    }
    started.store(IsInitialised(), std::memory_order_release);
    return IsInitialised();
}

void TARNSession::Log(int level, const char* format, ...) const {
    va_list ap;
    va_start(ap, format);
    log.VPrintf(level, format, ap);
    va_end(ap);
}

STATUS TARNSession::HandleEvent(EventData& event) {
    // While off after a failed reload the HTTP task still looks at single
    // notes, for an alert; the filter refuses everything else.
    if (IsInitialised() || (isHttpTask && IsOffAfterReload() && event.isDeleteNotes == 0))
        processor.ProcessEvent(event);
    return ERR_EM_CONTINUE;
}
