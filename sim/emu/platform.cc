#include "emu/platform.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

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

}  // namespace emu::platform
