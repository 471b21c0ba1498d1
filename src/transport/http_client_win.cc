// The HTTP client over WinINet itself. Each handle object owns one HINTERNET
// and keeps its parent object alive, so WinINet never sees a parent closed
// under a request that is still in use. Cookies, connection reuse, redirects
// and authentication (the schemes a challenge offers) are WinINet's own, but
// for a secure request's redirects: WinINet may follow one from HTTPS to
// plain HTTP (Wine's does, and whether Windows refuses it is not
// documented), so those are followed here, and only to https.
//
// The session knows its live requests: aborting it closes their handles,
// which WinINet documents as the way to end calls blocked on them.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <string>

#include "base/ascii.h"
#include "transport/http_client.h"
#include "transport/redirect.h"
#include "transport/www_authenticate.h"

#if defined(__MINGW32__)
// nnotes.dll of the mingw-w64 build exports the string members it uses, and
// its import library then competes with libstdc++'s own copy for a member
// this library's code does not instantiate itself (resize, once this file
// stopped needing it): a local instantiation is found first.
template void std::string::resize(std::string::size_type, char);
#endif

namespace tarn::http {
namespace {

bool Fail(DWORD error) {
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

}  // namespace

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

namespace {

// Set again on each connection: its requests take their time-outs from it.
// Windows also passes the session's down, but Wine's WinINet ignores the
// send and receive time-outs of a session handle, so a processor that never
// answered would hold a worker for ever there.
void SetTimeouts(const Session& session, HINTERNET connection) {
    for (const auto& t : session.timeouts) {
        DWORD v = t[1];
        InternetSetOptionA(connection, t[0], &v, sizeof v);
    }
}

}  // namespace

SessionHandle OpenSession(const char* agent, uint32_t accessType) {
    HINTERNET h = InternetOpenA(agent, accessType, nullptr, nullptr, 0);
    if (!h) return nullptr;
    auto session = std::make_shared<Session>(h);
    // The same bounds as the other backend, rather than WinINet's own.
    for (const auto& t : session->timeouts) {
        DWORD v = t[1];
        InternetSetOptionA(h, t[0], &v, sizeof v);
    }
    return session;
}

bool SetSessionOption(const SessionHandle& session, uint32_t option, uint32_t value) {
    if (!session) return Fail(ERROR_INVALID_HANDLE);
    if (option != kOptionConnectTimeout && option != kOptionSendTimeout && option != kOptionReceiveTimeout)
        return Fail(ERROR_INTERNET_INVALID_OPTION);
    if (value == 0) return Fail(ERROR_INVALID_PARAMETER);
    DWORD v = value;
    if (!InternetSetOptionA(session->internet.get(), option, &v, sizeof v)) return false;
    for (auto& t : session->timeouts)
        if (t[0] == option) t[1] = value;
    return true;
}

// WinINet checks a secure request's server against the Windows certificate
// store alone; it takes no CA file.
bool SetSessionCaFile(const SessionHandle& session, const char*) {
    if (!session) return Fail(ERROR_INVALID_HANDLE);
    return Fail(ERROR_INTERNET_INVALID_OPTION);
}

void AbortSession(const SessionHandle& session) {
    if (!session) return;
    Lock lock(session->liveLock);
    session->aborted = true;
    for (Request* r : session->live) r->internet.Close();
}

ConnectionHandle OpenConnection(const SessionHandle& session, const char* host, uint16_t port, uint32_t service) {
    if (!session) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HINTERNET h = InternetConnectA(session->internet.get(), host, port, nullptr, nullptr, service, 0, 0);
    if (!h) return nullptr;
    SetTimeouts(*session, h);
    return std::make_shared<Connection>(h, session, host ? host : "", port);
}

RequestHandle OpenRequest(const ConnectionHandle& connection, const char* verb, const char* objectName,
                          uint32_t flags) {
    if (!connection) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    Session& s = *connection->session;
    Lock lock(s.liveLock);
    if (s.aborted) {
        Fail(ERROR_INTERNET_OPERATION_CANCELLED);
        return nullptr;
    }
    const bool followHere = (flags & INTERNET_FLAG_SECURE) && !(flags & INTERNET_FLAG_NO_AUTO_REDIRECT);
    if (followHere) flags |= INTERNET_FLAG_NO_AUTO_REDIRECT;
    HINTERNET h = HttpOpenRequestA(connection->internet.get(), verb, objectName, nullptr, nullptr, nullptr, flags, 0);
    if (!h) return nullptr;
    auto request = std::make_shared<Request>(h, connection);
    request->followHere = followHere;
    request->verb = verb && *verb ? verb : "GET";
    request->flags = flags;
    s.live.insert(request.get());
    return request;
}

namespace {

constexpr int kMaxRedirects = 10;

// The answer's Location; false when there is none.
bool QueryLocation(HINTERNET h, std::string& value) {
    char buffer[INTERNET_MAX_URL_LENGTH];
    DWORD length = sizeof buffer;
    if (!HttpQueryInfoA(h, HTTP_QUERY_LOCATION, buffer, &length, nullptr)) return false;
    value = std::string(buffer, std::min<size_t>(length, sizeof buffer));
    return true;
}

// Reads what is left of a redirect's body (a little at most), so its
// kept-alive connection can carry the next request.
void Drain(HINTERNET h) {
    char buffer[4096];
    DWORD n = 0;
    for (int i = 0; i < 16 && InternetReadFile(h, buffer, sizeof buffer, &n) && n > 0; ++i) {
    }
}

// The request opened again at the https address `location` names (relative
// to the address it answered), with `verb`, in place of the current one.
bool Follow(Request& r, const std::string& location, const char* verb) {
    HINTERNET h = r.internet.get();
    char base[INTERNET_MAX_URL_LENGTH];
    char url[INTERNET_MAX_URL_LENGTH];
    DWORD n = sizeof base;
    if (!InternetQueryOptionA(h, INTERNET_OPTION_URL, base, &n)) return false;
    n = sizeof url;
    if (!InternetCombineUrlA(base, location.c_str(), url, &n, 0)) return false;
    char host[INTERNET_MAX_HOST_NAME_LENGTH];
    char path[INTERNET_MAX_URL_LENGTH];
    char extra[INTERNET_MAX_URL_LENGTH];
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = sizeof extra;
    if (!InternetCrackUrlA(url, 0, 0, &parts)) return false;
    if (parts.nScheme != INTERNET_SCHEME_HTTPS) {  // what the Location said, resolved: never plain
        r.refused = location;
        return Fail(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR);
    }
    const std::string object = std::string(path) + extra;
    Drain(h);

    Session& s = *r.connection->session;
    ConnectionHandle hop;
    auto same = [&](const ConnectionHandle& c) {
        return c && c->port == parts.nPort && c->host.size() == strlen(host) &&
               AsciiEqualNoCase(c->host.c_str(), host, c->host.size());
    };
    if (same(r.connection)) {
    } else if (same(r.hop)) {
        hop = r.hop;
    } else {
        hop = OpenConnection(r.connection->session, host, parts.nPort, kServiceHttp);
        if (!hop) return false;
    }
    HINTERNET on = (hop ? hop : r.connection)->internet.get();
    Lock lock(s.liveLock);
    if (s.aborted) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    HINTERNET next = HttpOpenRequestA(on, verb, object.c_str(), nullptr, nullptr, nullptr, r.flags, 0);
    if (!next) return false;
    r.internet.Reset(next);  // the old request closed before its connection may go
    r.hop = std::move(hop);
    r.verb = verb;
    return true;
}

}  // namespace

bool SendRequest(const RequestHandle& request, const char* headers, const void* body, size_t bodyLength) {
    if (!request) return Fail(ERROR_INVALID_HANDLE);
    if (bodyLength > MAXDWORD) return Fail(ERROR_INVALID_PARAMETER);
    Request& r = *request;
    r.refused.clear();
    for (int redirects = 0;; ++redirects) {
        HINTERNET h = r.internet.get();
        if (!h) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
        r.readSoFar = 0;
        if (!HttpSendRequestA(h, headers, headers ? static_cast<DWORD>(-1) : 0, const_cast<void*>(body),
                              static_cast<DWORD>(bodyLength)))
            return false;
        if (!r.followHere) return true;
        DWORD status = 0, length = sizeof status;
        std::string location;
        // A redirect without a Location (or one too long for a URL) is the
        // answer, as WinINet takes it.
        if (!HttpQueryInfoA(h, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, nullptr) ||
            !IsRedirectStatus(status) || !QueryLocation(h, location))
            return true;
        if (LeavesHttps(location)) {
            r.refused = location;
            return Fail(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR);
        }
        if (redirects == kMaxRedirects) return Fail(ERROR_HTTP_REDIRECT_FAILED);
        // As WinINet does: a POST answered by 301, 302 or 303 goes on as a
        // GET without its body; 307 and 308 repeat the request as it was.
        const bool asGet = status == 303 || ((status == 301 || status == 302) && r.verb == "POST");
        if (!Follow(r, location, asGet ? "GET" : r.verb.c_str())) return false;
        if (asGet) {
            headers = nullptr;
            body = nullptr;
            bodyLength = 0;
        }
    }
}

bool QueryInfo(const RequestHandle& request, uint32_t infoLevel, uint32_t& value) {
    if (!request) return Fail(ERROR_INVALID_HANDLE);
    DWORD v = 0;
    DWORD length = sizeof v;
    if (!HttpQueryInfoA(request->internet.get(), infoLevel, &v, &length, nullptr)) return false;
    value = v;
    return true;
}

// As the libcurl backend: the credentials set answer Basic, so a 401 whose
// challenges (one WWW-Authenticate header each, HttpQueryInfoA by index)
// offer no Basic cannot be answered.
bool ChallengeAnswerable(const RequestHandle& request) {
    if (!request) return false;
    HINTERNET h = request->internet.get();
    if (!h) return false;
    constexpr DWORD kMaxValue = 64 * 1024;
    std::string value(256, '\0');
    DWORD index = 0;
    for (;;) {
        DWORD length = static_cast<DWORD>(value.size());
        const DWORD asked = index;
        if (!HttpQueryInfoA(h, HTTP_QUERY_WWW_AUTHENTICATE, value.data(), &length, &index)) {
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || length > kMaxValue) return false;
            value.resize(length + 1);  // the same header again, with room for it
            index = asked;
            continue;
        }
        if (OffersBasic(value.data(), std::min<size_t>(length, value.size()))) return true;
        if (index == asked) return false;  // no next header
    }
}

std::string RefusedRedirect(const RequestHandle& request) { return request ? request->refused : ""; }

bool SetRequestOption(const RequestHandle& request, uint32_t option, const void* buffer, uint32_t length) {
    if (!request) return Fail(ERROR_INVALID_HANDLE);
    if (option != kOptionUsername && option != kOptionPassword) return Fail(ERROR_INTERNET_INVALID_OPTION);
    return InternetSetOptionA(request->internet.get(), option, const_cast<void*>(buffer), length) != FALSE;
}

bool SetReadLimit(const RequestHandle& request, size_t bytes) {
    if (!request) return Fail(ERROR_INVALID_HANDLE);
    request->readLimit = bytes;
    return true;
}

// WinINet leaves the body on the connection until it is read, so the limit
// only has to stop the reads; closing the request discards the rest.
bool ReadFile(const RequestHandle& request, void* buffer, uint32_t toRead, uint32_t& read) {
    read = 0;
    if (!request) return Fail(ERROR_INVALID_HANDLE);
    Request& r = *request;
    HINTERNET h = r.internet.get();
    if (!h) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    const size_t room = r.readLimit - std::min(r.readLimit, r.readSoFar);
    if (toRead && room == 0) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    DWORD n = 0;
    if (!InternetReadFile(h, buffer, static_cast<DWORD>(std::min<size_t>(toRead, room)), &n)) return false;
    r.readSoFar += n;
    read = n;
    return true;
}

void CloseHandle(SessionHandle& handle) { handle.reset(); }
void CloseHandle(ConnectionHandle& handle) { handle.reset(); }
void CloseHandle(RequestHandle& handle) { handle.reset(); }

uint32_t LastError() { return GetLastError(); }

std::string LastErrorDetail() { return {}; }

// WinINet's own errors have their texts in wininet.dll, not in the system's
// table (a FormatMessage from the system alone leaves them "Unknown Error").
// The text ends in a line break, which a console line must not carry.
std::string ErrorText(uint32_t error) {
    char* text = nullptr;
    DWORD n = 0;
    // The user's default language.
    constexpr DWORD kLanguage = 0x400;
    if (error >= INTERNET_ERROR_BASE && error <= INTERNET_ERROR_LAST)
        if (HMODULE wininet = GetModuleHandleA("wininet.dll"))
            n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               wininet, error, kLanguage, reinterpret_cast<char*>(&text), 0, nullptr);
    if (n == 0 || !text) {
        if (text) LocalFree(text);
        text = nullptr;
        n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, error, kLanguage, reinterpret_cast<char*>(&text), 0, nullptr);
    }
    if (n == 0 || !text) return {};
    std::string result(text, n);
    LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
        result.pop_back();
    return result;
}

}  // namespace tarn::http
