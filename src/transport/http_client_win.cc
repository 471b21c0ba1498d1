// The HTTP client over WinINet itself. Each handle object owns one HINTERNET
// and keeps its parent object alive, so WinINet never sees a parent closed
// under a request that is still in use. Cookies, connection reuse, redirects
// and Basic authentication are WinINet's own.
#include <windows.h>
#include <wininet.h>

#include <cstring>
#include <string>

#include "transport/http_client.h"

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
    ~InternetHandle() {
        if (handle) InternetCloseHandle(handle);
    }
    HINTERNET get() const { return handle; }

private:
    HINTERNET handle;
};

}  // namespace

struct Session {
    explicit Session(HINTERNET h) : internet(h) {}
    InternetHandle internet;
};

// The parent is declared first so that it is released after the child's own
// handle has been closed.
struct Connection {
    Connection(HINTERNET h, SessionHandle s) : session(std::move(s)), internet(h) {}
    SessionHandle session;
    InternetHandle internet;
};

struct Request {
    Request(HINTERNET h, ConnectionHandle c) : connection(std::move(c)), internet(h) {}
    ConnectionHandle connection;
    InternetHandle internet;
};

SessionHandle OpenSession(const char* agent, uint32_t accessType) {
    HINTERNET h = InternetOpenA(agent, accessType, nullptr, nullptr, 0);
    if (!h) return nullptr;
    return std::make_shared<Session>(h);
}

bool SetSessionOption(const SessionHandle& session, uint32_t option, uint32_t value) {
    if (!session) return Fail(ERROR_INVALID_HANDLE);
    if (option != kOptionConnectTimeout && option != kOptionReceiveTimeout) return Fail(ERROR_INTERNET_INVALID_OPTION);
    if (value == 0) return Fail(ERROR_INVALID_PARAMETER);
    DWORD v = value;
    return InternetSetOptionA(session->internet.get(), option, &v, sizeof v) != FALSE;
}

ConnectionHandle OpenConnection(const SessionHandle& session, const char* host, uint16_t port, uint32_t service) {
    if (!session) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HINTERNET h = InternetConnectA(session->internet.get(), host, port, nullptr, nullptr, service, 0, 0);
    if (!h) return nullptr;
    return std::make_shared<Connection>(h, session);
}

RequestHandle OpenRequest(const ConnectionHandle& connection, const char* verb, const char* objectName,
                          uint32_t flags) {
    if (!connection) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HINTERNET h = HttpOpenRequestA(connection->internet.get(), verb, objectName, nullptr, nullptr, nullptr, flags, 0);
    if (!h) return nullptr;
    return std::make_shared<Request>(h, connection);
}

bool SendRequest(const RequestHandle& request, const char* headers, const void* body, size_t bodyLength) {
    if (!request) return Fail(ERROR_INVALID_HANDLE);
    if (bodyLength > MAXDWORD) return Fail(ERROR_INVALID_PARAMETER);
    return HttpSendRequestA(request->internet.get(), headers, headers ? static_cast<DWORD>(-1) : 0,
                            const_cast<void*>(body), static_cast<DWORD>(bodyLength)) != FALSE;
}

bool QueryInfo(const RequestHandle& request, uint32_t infoLevel, uint32_t& value) {
    if (!request) return Fail(ERROR_INVALID_HANDLE);
    DWORD v = 0;
    DWORD length = sizeof v;
    if (!HttpQueryInfoA(request->internet.get(), infoLevel, &v, &length, nullptr)) return false;
    value = v;
    return true;
}

bool SetRequestOption(const RequestHandle& request, uint32_t option, const void* buffer, uint32_t length) {
    if (!request) return Fail(ERROR_INVALID_HANDLE);
    if (option != kOptionUsername && option != kOptionPassword) return Fail(ERROR_INTERNET_INVALID_OPTION);
    return InternetSetOptionA(request->internet.get(), option, const_cast<void*>(buffer), length) != FALSE;
}

bool ReadFile(const RequestHandle& request, void* buffer, uint32_t toRead, uint32_t& read) {
    read = 0;
    if (!request) return Fail(ERROR_INVALID_HANDLE);
    DWORD n = 0;
    if (!InternetReadFile(request->internet.get(), buffer, toRead, &n)) return false;
    read = n;
    return true;
}

void CloseHandle(SessionHandle& handle) { handle.reset(); }
void CloseHandle(ConnectionHandle& handle) { handle.reset(); }
void CloseHandle(RequestHandle& handle) { handle.reset(); }

uint32_t LastError() { return GetLastError(); }

std::string ErrorText(uint32_t error) {
    char* text = nullptr;
    // Allocate the buffer, text from the system, the user's default language.
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, error, 0x400,
                             reinterpret_cast<char*>(&text), 0, nullptr);
    if (n == 0 || !text) return {};
    std::string result(text, n);
    LocalFree(text);
    return result;
}

}  // namespace tarn::http
