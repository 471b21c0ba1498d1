// The HTTP client over WinINet itself: sessions, connections, requests,
// their options and reads. Cookies, connection reuse, redirects and
// authentication (the schemes a challenge offers) are WinINet's own, but for
// a secure request's redirects (http_redirect_win.cc).
#include <algorithm>
#include <string>

#include "transport/http_client_win.h"
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
