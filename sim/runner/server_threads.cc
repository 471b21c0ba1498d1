#include "runner/server_threads.h"

#include "runner/allocation_faults.h"
#include "runner/own_handles.h"

namespace runner {

ServerThreads::ServerThreads(int n) {
    for (int i = 0; i < n; ++i) workers.emplace_back([this] { Run(); });
}

ServerThreads::~ServerThreads() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    for (auto& t : workers) t.join();
}

void ServerThreads::Post(std::function<void()> job) {
    {
        std::lock_guard lock(mutex);
        jobs.push_back(std::move(job));
        ++pending;
    }
    wake.notify_one();
}

void ServerThreads::Drain() {
    std::unique_lock lock(mutex);
    idle.wait(lock, [this] { return pending == 0; });
}

void ServerThreads::Run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [this] { return stopping || !jobs.empty(); });
            if (jobs.empty()) break;
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        {
            // The job's callbacks are the add-in's events.
            AllocationPhase phase(emu::Op::AllocateInEvent);
            job();
        }
        std::lock_guard lock(mutex);
        if (--pending == 0) idle.notify_all();
    }
    CloseOwnHandles();
}

}  // namespace runner
