// The WinINet backend's handle objects, shared by its two files: the
// handles with their options and reads (http_client_win.cc) and the send
// with the redirects a secure request follows itself (http_redirect_win.cc).
//
// Each handle object owns one HINTERNET and keeps its parent object alive,
// so WinINet never sees a parent closed under a request that is still in
// use. The session knows its live requests: aborting it closes their
// handles, which WinINet documents as the way to end calls blocked on them.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <set>
#include <string>

#include "transport/http_client.h"

namespace tarn::http {

// The caller's error for LastError; false, for its return.
inline bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

class InternetHandle {
public:
    explicit InternetHandle(HINTERNET h) : handle(h) {}
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    ~InternetHandle() { Close(); }
    HINTERNET get() const { return handle.load(); }
    // Once only, whichever of the owner and an abort comes first.
    void Close() { Reset(nullptr); }
    // Another handle in its place; the one it held is closed.
    void Reset(HINTERNET next) {
        if (HINTERNET h = handle.exchange(next)) InternetCloseHandle(h);
    }

private:
    std::atomic<HINTERNET> handle;
};

// A slim reader/writer lock, held exclusively: mingw-w64's win32-threads
// flavour, which .ci/mingw-check compiles this file with, has no std::mutex.
class Lock {
public:
    explicit Lock(SRWLOCK& l) : lock(l) { AcquireSRWLockExclusive(&lock); }
    ~Lock() { ReleaseSRWLockExclusive(&lock); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    SRWLOCK& lock;
};

struct Request;

struct Session {
    explicit Session(HINTERNET h) : internet(h) {}
    InternetHandle internet;
    // The time-outs in force, by option, for the connections opened later.
    DWORD timeouts[3][2] = {{INTERNET_OPTION_CONNECT_TIMEOUT, kDefaultConnectTimeoutMs},
                            {INTERNET_OPTION_SEND_TIMEOUT, kDefaultSendTimeoutMs},
                            {INTERNET_OPTION_RECEIVE_TIMEOUT, kDefaultReceiveTimeoutMs}};
    SRWLOCK liveLock = SRWLOCK_INIT;
    std::set<Request*> live;
    bool aborted = false;  // guarded by liveLock
};

// The parent is declared first so that it is released after the child's own
// handle has been closed.
struct Connection {
    Connection(HINTERNET h, SessionHandle s, std::string name, INTERNET_PORT p)
        : session(std::move(s)), host(std::move(name)), port(p), internet(h) {}
    SessionHandle session;
    const std::string host;
    const INTERNET_PORT port;
    InternetHandle internet;
};

struct Request {
    Request(HINTERNET h, ConnectionHandle c) : connection(std::move(c)), internet(h) {}
    ~Request() {
        Session& s = *connection->session;
        Lock lock(s.liveLock);
        s.live.erase(this);
    }
    ConnectionHandle connection;
    // The host a followed redirect named, when it is not the connection's.
    ConnectionHandle hop;
    InternetHandle internet;
    size_t readLimit = kDefaultReadLimit;
    size_t readSoFar = 0;
    // A secure request whose redirects are followed here rather than by
    // WinINet: its verb and flags open the request at the next address.
    bool followHere = false;
    std::string verb;
    DWORD flags = 0;
    std::string refused;  // the Location of the last send's refused redirect
};

}  // namespace tarn::http
