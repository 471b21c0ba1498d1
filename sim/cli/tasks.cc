#include "tasks.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "emu/platform.h"
#include "host_calls.h"

namespace simcli {

namespace {

// TARN_SIM_WINDOWS names a folder of the Windows build's task programs
// (build-win/bin); the tasks then run there under wine64 (TARN_SIM_WINE, or
// Debian's /usr/lib/wine/wine64), with the same data directory.
const char* WindowsPrograms() {
    const char* dir = getenv("TARN_SIM_WINDOWS");
    return dir && *dir ? dir : nullptr;
}

}  // namespace

std::vector<std::string> TaskCommandLine(const std::string& name, const std::string& dir) {
    if (const char* windows = WindowsPrograms()) {
        const char* wine = getenv("TARN_SIM_WINE");
        return {wine && *wine ? wine : "/usr/lib/wine/wine64", std::string(windows) + "/" + name, "--data", dir,
                "--threads", "4"};
    }
    // The runner takes the task's name from its own executable, so each task
    // is the runner's hard link of that name.
    return {emu::platform::ExecutableDirectory() + "/" + name, "--data", dir, "--threads", "4"};
}

Task::Task(const std::string& name, const std::string& dir) : name(name) {
    // Built before the fork: the child only execs.
    const std::vector<std::string> command = TaskCommandLine(name, dir);
    std::vector<char*> argv;
    // argv[0] is the task's name (Wine's loader is given its own: it finds
    // its files from it, and the task's name comes from the program path).
    argv.push_back(const_cast<char*>(WindowsPrograms() ? command[0].c_str() : name.c_str()));
    for (size_t i = 1; i < command.size(); ++i) argv.push_back(const_cast<char*>(command[i].c_str()));
    argv.push_back(nullptr);
    int in[2], out[2];
    if (pipe(in) || pipe(out)) throw std::runtime_error("pipe");
    pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(in[1]);
        close(out[0]);
        execv(command[0].c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toTask = in[1];
    fromTask = out[0];
    reader = std::thread([this] { Read(); });
}

Task::~Task() { Finish(); }

void Task::Send(const std::string& line) {
    std::string l = line + "\n";
    if (toTask >= 0 && write(toTask, l.data(), l.size()) < 0) perror("write to task");
}

void Task::Sync(int token) {
    Send("sync " + std::to_string(token));
    std::unique_lock lock(mutex);
    synced.wait_for(lock, std::chrono::seconds(60), [&] { return lastSync >= token || ended; });
}

void Task::Finish() {
    if (toTask >= 0) {
        close(toTask);
        toTask = -1;
    }
    if (reader.joinable()) reader.join();
    if (pid > 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
    }
}

std::vector<std::string> Task::Lines() {
    std::lock_guard lock(mutex);
    return lines;
}

void Task::Read() {
    std::string pending;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fromTask, buf, sizeof buf);
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            Line(pending.substr(0, nl));
            pending.erase(0, nl + 1);
        }
    }
    close(fromTask);
    std::lock_guard lock(mutex);
    ended = true;
    synced.notify_all();
}

void Task::Line(const std::string& line) {
    if (line.rfind("runner: sync ", 0) == 0) {
        std::lock_guard lock(mutex);
        lastSync = atoi(line.c_str() + 13);
        synced.notify_all();
        return;
    }
    // The runner's own bookkeeping is not the task's console; a breach of the
    // host's rules is, so only a zero count is hidden with it.
    for (const char* own : {"runner: deregistered", "runner: exit", "runner: start-up calls:", "runner: violations: 0"})
        if (line.rfind(own, 0) == 0) return;
    {
        std::lock_guard lock(mutex);
        lines.push_back(line);
    }
    static std::mutex printing;
    std::lock_guard lock(printing);
    printf("  [%-11s] %s\n", name.c_str(), line.c_str());
    fflush(stdout);
}

}  // namespace simcli
