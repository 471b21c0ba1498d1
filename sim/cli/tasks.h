// The server tasks as processes: the host runner under a task's name, fed
// operation lines on its standard input, its console echoed with the task's
// name in front.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace simcli {

// The command line that starts the task `name` over the data directory
// `dir`: the program first, then its arguments. Every task process is started
// from what this returns.
std::vector<std::string> TaskCommandLine(const std::string& name, const std::string& dir);

class Task {
public:
    Task(const std::string& name, const std::string& dir);
    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // One operation line for the task's runner.
    void Send(const std::string& line);
    // Returns once the task has done everything sent before (or has ended).
    void Sync(int token);
    // Closes the task's input and waits for it to end.
    void Finish();
    // The task's console lines so far.
    std::vector<std::string> Lines();
    const std::string name;

private:
    void Read();
    void Line(const std::string& line);

    pid_t pid = -1;
    int toTask = -1, fromTask = -1;
    std::thread reader;
    std::mutex mutex;
    std::condition_variable synced;
    int lastSync = 0;
    bool ended = false;
    std::vector<std::string> lines;
};

}  // namespace simcli
