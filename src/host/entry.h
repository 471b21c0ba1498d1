// The add-in's two entry points and the process-wide objects behind them.
#pragma once

#include <cstddef>

#include "host/notes_capi.h"

class TARNSession;

// Lives from library load to unload; destroyed after the registrations.
TARNSession& ProcessSession();

// Deregisters, and says so at level 1 when the host refuses.
void DeregisterSaying(HEMREGISTRATION handle);

// Holds one Extension Manager registration; deregisters it when destroyed.
class EmRegistration {
public:
    EmRegistration() = default;
    ~EmRegistration() {
        if (handle) DeregisterSaying(handle);
        handle = 0;
    }
    EmRegistration(const EmRegistration&) = delete;
    EmRegistration& operator=(const EmRegistration&) = delete;
    HEMREGISTRATION* out() { return &handle; }
    HEMREGISTRATION get() const { return handle; }

private:
    HEMREGISTRATION handle = 0;
};

STATUS RunMainEntryPoint();
extern "C" STATUS LNCALLBACK ExtMgrCallback(EMRECORD* record);
STATUS RunExtMgrCallback(EMRECORD* record);

// File name of this process's executable, at most size - 1 characters.
void GetProcessName(char* buffer, size_t size);
bool IsTaskListed(const char* processName, const char* taskList);
