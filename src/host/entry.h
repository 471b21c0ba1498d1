// The add-in's two entry points and the process-wide objects behind them.
#pragma once

#include <cstddef>

#include "host/notes_api.h"

class TARNSession;

// Lives from library load to unload; destroyed after the registrations.
TARNSession& ProcessSession();

// Holds one Extension Manager registration; deregisters it when destroyed.
class EmRegistration {
public:
    EmRegistration() = default;
    ~EmRegistration() {
        if (handle) notes::EmDeregister(handle);
        handle = 0;
    }
    EmRegistration(const EmRegistration&) = delete;
    EmRegistration& operator=(const EmRegistration&) = delete;
    notes::HEMREGISTRATION* out() { return &handle; }
    notes::HEMREGISTRATION get() const { return handle; }

private:
    notes::HEMREGISTRATION handle = 0;
};

notes::STATUS RunMainEntryPoint();
extern "C" notes::STATUS ExtMgrCallback(notes::EMRECORD* record);
notes::STATUS RunExtMgrCallback(notes::EMRECORD* record);

// File name of this process's executable, at most size - 1 characters.
void GetProcessName(char* buffer, size_t size);
bool IsTaskListed(const char* processName, const char* taskList);
