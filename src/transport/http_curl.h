// The libcurl backend's handles, shared by its two halves: the handles with
// their options and errors (http_curl_handles.cc) and the exchange
// (http_curl.cc).
//
// One easy handle per request; the session's share handle carries cookies
// and resolved names between all requests of the task, the way one WinINet
// session does. Live connections are not put in the share: curl does not
// support one connection cache used by several threads at once. Instead a
// connection keeps the easy handles of closed requests (each with its own
// kept-alive socket) and hands them to the next requests, so sequential
// notices still reuse their TCP connection.
//
// The session knows every socket its requests opened, so that teardown can
// shut them down under transfers blocked on them (what closing WinINet
// handles does); a progress check stops whatever is between two reads.
#pragma once

#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "transport/http_client.h"
#include "transport/http_curl_head.h"

namespace tarn::http {

// This thread's last error (LastError), with the client's own words for it
// (LastErrorDetail); false, for the caller's return.
bool Fail(uint32_t error, const char* detail = "");

// A failed transfer in WinINet's terms; a refused certificate by OpenSSL's
// verification result.
uint32_t MapCurlError(CURLcode code);
uint32_t MapVerifyResult(long result);

struct Session {
    std::string agent;
    CURLSH* share = nullptr;
    // One lock per kind of shared data, as curl asks for them separately.
    std::mutex locks[CURL_LOCK_DATA_LAST];
    std::atomic<uint32_t> connectTimeoutMs{kDefaultConnectTimeoutMs};
    std::atomic<uint32_t> receiveTimeoutMs{kDefaultReceiveTimeoutMs};
    // Set before the first connection is opened, read by its requests.
    std::string caFile;

    std::atomic<bool> aborted{false};
    std::mutex socketsMutex;
    std::set<curl_socket_t> sockets;  // open sockets of this session's requests

    ~Session() {
        if (share) curl_share_cleanup(share);
    }

    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
        auto* self = static_cast<Session*>(user);
        if (data >= 0 && data < CURL_LOCK_DATA_LAST) self->locks[data].lock();
    }
    static void Unlock(CURL*, curl_lock_data data, void* user) {
        auto* self = static_cast<Session*>(user);
        if (data >= 0 && data < CURL_LOCK_DATA_LAST) self->locks[data].unlock();
    }

    static curl_socket_t OpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
        auto* self = static_cast<Session*>(user);
        std::lock_guard<std::mutex> lock(self->socketsMutex);
        if (self->aborted) return CURL_SOCKET_BAD;
        curl_socket_t fd = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (fd != CURL_SOCKET_BAD) self->sockets.insert(fd);
        return fd;
    }
    // Under the same lock as the shutdown in Abort, so a number is never
    // shut down after it was closed and handed out again.
    static int CloseSocket(void* user, curl_socket_t fd) {
        auto* self = static_cast<Session*>(user);
        std::lock_guard<std::mutex> lock(self->socketsMutex);
        self->sockets.erase(fd);
        return close(fd);
    }
    static int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<Session*>(user)->aborted.load(std::memory_order_relaxed) ? 1 : 0;
    }
    void Abort() {
        std::lock_guard<std::mutex> lock(socketsMutex);
        aborted = true;
        for (curl_socket_t fd : sockets) shutdown(fd, SHUT_RDWR);
    }
};

// Keeps or drops a piece of the answer body, and reads the answer's head
// (defined below).
size_t WriteBody(char* data, size_t size, size_t count, void* user);
size_t HeaderLine(char* data, size_t size, size_t count, void* user);

struct Connection {
    SessionHandle session;
    // "host:port", or "host" for the scheme's default port; fixed once
    // made. Each request adds its scheme.
    std::string authority;

    // Easy handles of closed requests, ready for reuse; bounded so a burst of
    // parallel workers does not leave sockets open for ever (the task's
    // workers are at most 64).
    static constexpr size_t kMaxIdle = 64;
    std::mutex idleMutex;
    std::vector<CURL*> idle;

    ~Connection() {
        for (CURL* e : idle) curl_easy_cleanup(e);
    }

    // An idle easy handle, or a new one set up for this connection; null
    // when curl has no memory for one.
    CURL* Acquire();
    // Kept for the next request, or cleaned up when enough are kept.
    void Release(CURL* e);
};

// The head being read (AnswerHead) is the request's own: its lines come
// through HeaderLine with the request as curl's user pointer.
struct Request : AnswerHead {
    ConnectionHandle connection;
    CURL* easy = nullptr;
    std::string url;
    std::string verb;
    bool followRedirects = true;
    bool secure = false;
    char errorText[CURL_ERROR_SIZE] = {};
    bool haveUser = false, havePassword = false;
    std::string user, password;
    bool offersBasic = false;  // the last send ended in a 401 offering Basic
    long status = 0;
    size_t readLimit = kDefaultReadLimit;

    // The answer of the last send: the body bytes kept for ReadFile, how
    // many arrived in all, and what ended the body if not its end.
    std::string body;
    size_t readOffset = 0;
    size_t received = 0;
    bool bodyStarted = false;  // the final answer's body (curl skips those of redirects and 401s it answers)
    bool stopped = false;      // by us, past the drain limit
    uint32_t bodyError = 0;

    ~Request() {
        if (easy) connection->Release(easy);
    }
};

}  // namespace tarn::http
