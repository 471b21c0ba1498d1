#include "processor/tls_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tarnsim {
namespace {

// Waits for `events` on `fd` for at most `ms` (0: only looks).
bool Ready(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    int rc;
    do rc = poll(&p, 1, ms);
    while (rc < 0 && errno == EINTR);
    return rc > 0 && (p.revents & (events | POLLHUP | POLLERR));
}

// After an SSL call on `fd` that did not complete (`error`): waits for
// what it wants. False for any other error, or when the wait timed out.
bool WaitFor(int fd, int error, int ms) {
    if (error == SSL_ERROR_WANT_READ) return Ready(fd, POLLIN, ms);
    if (error == SSL_ERROR_WANT_WRITE) return Ready(fd, POLLOUT, ms);
    return false;
}

int Millis(time_t sec, time_t usec) { return static_cast<int>(sec * 1000 + usec / 1000); }

void SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void AddressOf(const sockaddr_storage& a, socklen_t len, std::string& ip, int& port) {
    char host[NI_MAXHOST], service[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&a), len, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return;
    ip = host;
    port = atoi(service);
}

// One TLS connection as the library's stream. The socket is non-blocking
// from the handshake on; every wait is a poll bounded by the server's read
// or write time-out, as the library's own streams are.
//
// Reads take a whole record at a time and hand it out from a buffer. Writes
// are held until the answer is complete (Send), or until the server next
// needs to read (a "100 Continue" must reach the client before its body can
// come), or until a record's worth is held; so an answer normally crosses
// as one record in one segment.
class TlsStream final : public httplib::Stream {
public:
    TlsStream(int sock, SSL* ssl, int readMs, int writeMs)
        : sock(sock), ssl(ssl), readMs(readMs), writeMs(writeMs) {}

    bool is_readable() const override { return Buffered() || Ready(sock, POLLIN, readMs); }
    bool is_writable() const override { return !failed; }

    ssize_t read(char* ptr, size_t size) override {
        // Only the bytes already decrypted count here: a record OpenSSL
        // holds still needs an SSL_read.
        if (inAt == inEnd) {
            if (!Send()) return -1;
            const ssize_t n = Receive();
            if (n <= 0) return n;
        }
        // The library reads a request's head a byte at a time.
        if (size == 1) {
            *ptr = in[inAt++];
            return 1;
        }
        const size_t n = std::min(size, inEnd - inAt);
        memcpy(ptr, in.data() + inAt, n);
        inAt += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (failed) return -1;
        out.append(ptr, size);
        if (out.size() >= kRecord && !Send()) return -1;
        return static_cast<ssize_t>(size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        if (getpeername(sock, reinterpret_cast<sockaddr*>(&a), &len) == 0) AddressOf(a, len, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        if (getsockname(sock, reinterpret_cast<sockaddr*>(&a), &len) == 0) AddressOf(a, len, ip, port);
    }
    socket_t socket() const override { return sock; }

    // Whether a request may already be waiting: bytes decrypted and not yet
    // read, or a record OpenSSL has taken in and not yet handed out.
    bool Buffered() const { return inAt < inEnd || SSL_has_pending(ssl) == 1; }

    // Sends what is held. False once the connection has failed.
    bool Send() {
        while (!failed && !out.empty()) {
            const int n = SSL_write(ssl, out.data(), static_cast<int>(std::min<size_t>(out.size(), INT32_MAX)));
            if (n > 0) {
                out.erase(0, static_cast<size_t>(n));
                continue;
            }
            if (!WaitFor(sock, SSL_get_error(ssl, n), writeMs)) failed = true;
        }
        return !failed;
    }

private:
    static constexpr size_t kRecord = 16384;  // TLS's largest record

    // Refills the read buffer: > 0 bytes, 0 when the client closed, -1 on a
    // failure or a time-out.
    ssize_t Receive() {
        inAt = inEnd = 0;
        for (;;) {
            const int n = SSL_read(ssl, in.data(), static_cast<int>(in.size()));
            if (n > 0) {
                inEnd = static_cast<size_t>(n);
                return n;
            }
            const int error = SSL_get_error(ssl, n);
            if (error == SSL_ERROR_ZERO_RETURN) return 0;
            if (!WaitFor(sock, error, readMs)) {
                failed = true;
                return -1;
            }
        }
    }

    const int sock;
    SSL* const ssl;
    const int readMs, writeMs;
    std::array<char, kRecord> in{};
    size_t inAt = 0, inEnd = 0;
    std::string out;
    bool failed = false;
};

bool Handshake(int sock, SSL* ssl, int ms) {
    for (;;) {
        const int rc = SSL_accept(ssl);
        if (rc == 1) return true;
        if (!WaitFor(sock, SSL_get_error(ssl, rc), ms)) return false;
    }
}

}  // namespace

bool TlsServer::process_and_close_socket(socket_t sock) {
    bool ok = false;
    SSL* ssl = SSL_new(ssl_context());
    if (ssl && SSL_set_fd(ssl, sock) == 1) {
        // No read-ahead, not even once the handshake is done: with it, the
        // Wine runs' WinINet now and then closed a connection right after its
        // handshake as untrusted (12045), for no cause found; and it saves
        // only one read of a record's header per request.
        SetNonBlocking(sock);
        const int readMs = Millis(read_timeout_sec_, read_timeout_usec_);
        if (Handshake(sock, ssl, readMs)) {
            TlsStream stream(sock, ssl, readMs, Millis(write_timeout_sec_, write_timeout_usec_));
            // The library's keep-alive loop: up to keep_alive_max_count_
            // requests, each awaited for up to the keep-alive time-out in
            // short looks, so that a stopping server is noticed.
            const auto requestWaiting = [&] {
                const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
                for (;;) {
                    if (svr_sock_ == INVALID_SOCKET) return false;
                    if (stream.Buffered() || Ready(sock, POLLIN, 10)) return true;
                    if (std::chrono::steady_clock::now() > limit) return false;
                }
            };
            for (size_t left = keep_alive_max_count_; left > 0 && requestWaiting(); --left) {
                bool closed = false;
                ok = process_request(stream, left == 1, closed, [ssl](httplib::Request& req) { req.ssl = ssl; });
                ok = stream.Send() && ok;
                if (!ok || closed) break;
            }
            // A close_notify only after a clean end: a client that went
            // away would only make it fail.
            if (ok) SSL_shutdown(ssl);
        }
    }
    SSL_free(ssl);
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return ok;
}

}  // namespace tarnsim
