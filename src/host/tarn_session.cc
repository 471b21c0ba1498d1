#include "host/tarn_session.h"

#include <cstdarg>

#include "base/ascii.h"
#include "stats/tarn_stats.h"

void TARNSession::Reset() {
    queue.Reset();
    processor.Reset();
    transport.Reset();
    config.Reset();
    refresh.Reset();
    log = TARNLog();
    processName[0] = '\0';
    isHttpTask = false;
    state.Begin();
}

void TARNSession::MarkNotInitialised() {
    state.MarkOff();
    tarn::stats::StateChanged();
}

void TARNSession::ReloadSucceeded() {
    if (!state.Mend()) return;
    tarn::stats::StateChanged();
    Log(1, "%s", "Configuration reloaded: this task captures changes again");
}

bool TARNSession::StartLog(const char* name) {
    CopyBounded(processName, sizeof processName, name);
    // The HTTP task's executable is nhttp.exe on Windows and http on a Linux
    // server, whose task names carry no "n" and no ".exe".
    isHttpTask = AsciiEqualNoCase(processName, "nhttp.exe") || AsciiEqualNoCase(processName, "http");
    log = TARNLog();
    TestLinesAgainst(config.LevelSetting());
    return log.Init(processName, config.LevelSetting());
}

bool TARNSession::OpenAll(const char* name) {
    state.Begin();
    bool ok = StartLog(name);
    if (ok) {
        transport.Reset();
        transport.Configure(log, [this] { return config.GetSettings(); });
        config.Reset();
        ok = config.Open(this) && IsInitialised();
    }
    if (ok) {
        queue.Reset();
        ok = queue.OpenQueueDb(this, TARNConfig::GetQueueDbPath());
    }
    if (ok) {
        processor.Reset();
        ok = processor.Init(this, &config, &queue, &transport);
    }
    if (!ok) state.MarkOff();
    return ok;
}

bool TARNSession::InitTool(const char* name) {
    state.Started(OpenAll(name));
    return IsInitialised();
}

bool TARNSession::Init(const char* name, const char* taskList) {
    bool ok = OpenAll(name);
    if (ok) {
        if (isHttpTask)
            refresh.OpenTaskQueues(processName, taskList ? taskList : "", *this);
        else
            ok = refresh.OpenOwn(processName, *this);
    }
    state.Started(ok);
    return IsInitialised();
}

void TARNSession::VLog(int level, const char* format, va_list ap) const { log.VPrintf(level, format, ap); }

STATUS TARNSession::HandleEvent(EventData& event) {
    switch (ReachIn(State())) {
        case Reach::Everything: processor.ProcessEvent(event); break;
        // A delete-notes call is no alert: the alerts database is saved to.
        case Reach::AlertsOnly:
            if (event.isDeleteNotes == 0) processor.ProcessEvent(event, true);
            break;
        default: break;
    }
    return ERR_EM_CONTINUE;
}

void TARNSession::BroadcastConfigRefresh() { refresh.Broadcast(*this); }

void TARNSession::CheckConfigRefreshMessages() {
    if (!refresh.TakeWaiting(processName, *this)) return;
    tarn::stats::Add(config.Load() ? tarn::stats::Count::ConfigReloads : tarn::stats::Count::ConfigReloadsFailed);
}
