// A request's send over WinINet. WinINet follows redirects itself, but for
// a secure request's: it may follow one from HTTPS to plain HTTP (Wine's
// does, and whether Windows refuses it is not documented), so those are
// followed here, and only to https.
#include <algorithm>
#include <cstring>
#include <string>

#include "base/ascii.h"
#include "transport/http_client_win.h"
#include "transport/redirect.h"

namespace tarn::http {
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

}  // namespace tarn::http
