// The task's serving state as one value: read with one atomic load on every
// callback, changed by start-up, reloads and the unload.
#pragma once

#include <atomic>
#include <cstdint>

enum class TaskState : uint8_t {
    Starting,        // Init under way: a failed load makes it NotServed
    Serving,
    OffAfterReload,  // a reload failed after start-up; a later one may mend it
    NotServed,       // start-up failed: for good
    Stopping,        // the library is unloading: callbacks return at once
};

class ServingState {
public:
    TaskState Get() const { return value.load(std::memory_order_acquire); }
    // Starting or serving: nothing has switched the task off.
    bool On() const {
        const TaskState s = Get();
        return s == TaskState::Starting || s == TaskState::Serving;
    }

    void Begin() { value.store(TaskState::Starting, std::memory_order_release); }
    // The end of start-up: serving unless a step failed or the task was
    // switched off meanwhile.
    void Started(bool ok) {
        TaskState expected = TaskState::Starting;
        value.compare_exchange_strong(expected, ok ? TaskState::Serving : TaskState::NotServed,
                                      std::memory_order_acq_rel);
    }
    // A failed load: Starting becomes NotServed, Serving becomes
    // OffAfterReload; nothing else changes.
    void MarkOff() {
        TaskState s = Get();
        while (s == TaskState::Starting || s == TaskState::Serving) {
            const TaskState next = s == TaskState::Starting ? TaskState::NotServed : TaskState::OffAfterReload;
            if (value.compare_exchange_weak(s, next, std::memory_order_acq_rel)) return;
        }
    }
    // A load succeeded: true when that switched an off task on again.
    bool Mend() {
        TaskState expected = TaskState::OffAfterReload;
        return value.compare_exchange_strong(expected, TaskState::Serving, std::memory_order_acq_rel);
    }
    // For good: no later change takes it back.
    void Stop() { value.store(TaskState::Stopping, std::memory_order_release); }

private:
    std::atomic<TaskState> value{TaskState::Starting};
};
