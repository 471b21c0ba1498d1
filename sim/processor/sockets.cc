#include "processor/sockets.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tarnsim {
namespace {

// Calls fn(fd, local port, peer port) for every connected socket of this
// process until it answers true. The server library hands out no sockets, so
// they are found by their address pairs.
template <typename Fn>
void ForEachConnectedSocket(Fn fn) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return;
    auto port = [](const sockaddr_storage& a) -> int {
        if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
        if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
        return -1;
    };
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long fd = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end) continue;
        sockaddr_storage local{}, peer{};
        socklen_t localLen = sizeof local, peerLen = sizeof peer;
        if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localLen) != 0) continue;
        if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) continue;
        if (fn(static_cast<int>(fd), port(local), port(peer))) break;
    }
    closedir(dir);
}

}  // namespace

void DropConnection(int localPort, int remotePort) {
    ForEachConnectedSocket([&](int fd, int local, int peer) {
        if (local != localPort || peer != remotePort) return false;
        shutdown(fd, SHUT_RDWR);
        return true;
    });
}

void DropSocket(int fd) {
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void DropAllConnections(int port) {
    ForEachConnectedSocket([&](int fd, int localPort, int) {
        if (localPort == port) shutdown(fd, SHUT_RDWR);
        return false;
    });
}

std::string BindProblem(const std::string& host, int port) {
    std::string where = host + ":" + std::to_string(port);
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) != 1) return "cannot listen on " + where;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return "cannot listen on " + where + ": " + strerror(errno);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr = address;
    int rc = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int error = errno;
    close(fd);
    if (rc != 0 && error == EADDRINUSE)
        return "port " + std::to_string(port) + " on " + host +
               " is already in use: stop the program that holds it, or choose another port";
    if (rc != 0) return "cannot listen on " + where + ": " + strerror(error);
    return "cannot listen on " + where;
}

}  // namespace tarnsim
