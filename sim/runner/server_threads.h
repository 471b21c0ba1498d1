// A fixed pool of server threads; Drain waits until all queued work is done.
// Each job runs as an event of the add-in (its allocations count as such),
// and each thread closes the handles it reopened when the pool ends.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace runner {

class ServerThreads {
public:
    explicit ServerThreads(int n);
    ~ServerThreads();
    ServerThreads(const ServerThreads&) = delete;
    ServerThreads& operator=(const ServerThreads&) = delete;
    void Post(std::function<void()> job);
    void Drain();

private:
    void Run();
    std::mutex mutex;
    std::condition_variable wake, idle;
    std::deque<std::function<void()>> jobs;
    int pending = 0;
    bool stopping = false;
    std::vector<std::thread> workers;
};

}  // namespace runner
