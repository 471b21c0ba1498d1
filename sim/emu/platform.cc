#include "emu/platform.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>

namespace emu::platform {

bool OnMainThread() { return static_cast<pid_t>(syscall(SYS_gettid)) == getpid(); }

long SystemThreadId() { return static_cast<long>(syscall(SYS_gettid)); }

void AppendToFile(const std::string& path, const std::string& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    (void)n;
    ::close(fd);
}

// Where the system keeps POSIX shared-memory objects.
std::string IpcDirectory() { return "/dev/shm"; }

// The kernel's link to the running program, read whatever its length.
std::string ExecutableDirectory() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || !exe.has_parent_path()) return ".";
    return exe.parent_path().string();
}

}  // namespace emu::platform
