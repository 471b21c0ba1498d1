// The HTTP client over libcurl. One easy handle per request; the session's
// share handle carries cookies and resolved names between all requests of
// the task, the way one WinINet session does. Live connections are not put
// in the share: curl does not support one connection cache used by several
// threads at once. Instead a connection keeps the easy handles of closed
// requests (each with its own kept-alive socket) and hands them to the next
// requests, so sequential notices still reuse their TCP connection.
//
// The session knows every socket its requests opened, so that teardown can
// shut them down under transfers blocked on them (what closing WinINet
// handles does); a progress check stops whatever is between two reads.
#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/ascii.h"
#include "transport/http_client.h"
#include "transport/www_authenticate.h"

namespace tarn::http {
namespace {

thread_local uint32_t lastError = 0;
thread_local std::string lastDetail;

bool Fail(uint32_t error) {
    lastError = error;
    lastDetail.clear();
    return false;
}

// Body bytes received past the read limit are dropped; past this many in
// all the transfer is stopped rather than waited for (the connection is then
// not reused). Small bodies nobody reads are still drained, so the
// connection stays alive for the next notice.
constexpr size_t kDrainLimit = 256u << 10;

std::once_flag globalInit;
bool globalInitOk = false;

uint32_t MapCurlError(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_CONNECT: return kErrorCannotConnect;
        case CURLE_OPERATION_TIMEDOUT: return kErrorTimeout;
        case CURLE_COULDNT_RESOLVE_HOST: return kErrorNameNotResolved;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL: return kErrorInvalidUrl;
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE: return kErrorConnectionAborted;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR: return kErrorConnectionReset;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_WRITE_ERROR: return kErrorInvalidServerResponse;
        case CURLE_ABORTED_BY_CALLBACK: return kErrorOperationCancelled;
        case CURLE_TOO_MANY_REDIRECTS: return kErrorRedirectFailed;
        case CURLE_OUT_OF_MEMORY: return kErrorNotEnoughMemory;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED: return kErrorSecurityChannelError;
        case CURLE_SSL_ISSUER_ERROR: return kErrorInvalidCa;
        case CURLE_SSL_INVALIDCERTSTATUS: return kErrorSecCertRevoked;
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH: return kErrorSecCertErrors;
        default: return kErrorInternal;
    }
}

// A refused certificate, in WinINet's terms. curl reports every refusal as
// one code; OpenSSL's verification result tells them apart. curl checks the
// host name itself once the chain has passed and records no OpenSSL reason
// for that refusal (0, or 1 as curl 7.88 reports it): a refusal without one
// is the name's.
uint32_t MapVerifyResult(long result) {
    switch (result) {
        case 0:  // X509_V_OK
        case 1: return kErrorSecCertCnInvalid;
        case 9:  // X509_V_ERR_CERT_NOT_YET_VALID
        case 10: return kErrorSecCertDateInvalid;  // X509_V_ERR_CERT_HAS_EXPIRED
        case 23: return kErrorSecCertRevoked;      // X509_V_ERR_CERT_REVOKED
        case 62: return kErrorSecCertCnInvalid;    // X509_V_ERR_HOSTNAME_MISMATCH
        case 64: return kErrorSecCertCnInvalid;    // X509_V_ERR_IP_ADDRESS_MISMATCH
        default: return kErrorInvalidCa;           // the chain ends at no trusted CA
    }
}

}  // namespace

struct Session {
    std::string agent;
    CURLSH* share = nullptr;
    // One lock per kind of shared data, as curl asks for them separately.
    std::mutex locks[CURL_LOCK_DATA_LAST];
    std::atomic<uint32_t> connectTimeoutMs{kDefaultConnectTimeoutMs};
    std::atomic<uint32_t> sendTimeoutMs{kDefaultSendTimeoutMs};
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
static size_t WriteBody(char* data, size_t size, size_t count, void* user);
static size_t HeaderLine(char* data, size_t size, size_t count, void* user);

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

    CURL* Acquire() {
        {
            std::lock_guard<std::mutex> lock(idleMutex);
            if (!idle.empty()) {
                CURL* e = idle.back();
                idle.pop_back();
                return e;
            }
        }
        CURL* e = curl_easy_init();
        if (!e) return nullptr;
        // What stays the same for every request of this connection.
        curl_easy_setopt(e, CURLOPT_SHARE, session->share);
        curl_easy_setopt(e, CURLOPT_COOKIEFILE, "");  // cookie engine on, nothing loaded
        // Never relaxed: the chain must end at a trusted CA and the
        // certificate must be made out to the host connected to.
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!session->caFile.empty()) {
            // The named CAs only: not also the system's certificate folder.
            curl_easy_setopt(e, CURLOPT_CAINFO, session->caFile.c_str());
            curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
        }
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_USERAGENT, session->agent.c_str());
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &WriteBody);
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &HeaderLine);
        curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, &Session::OpenSocket);
        curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, session.get());
        curl_easy_setopt(e, CURLOPT_CLOSESOCKETFUNCTION, &Session::CloseSocket);
        curl_easy_setopt(e, CURLOPT_CLOSESOCKETDATA, session.get());
        curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &Session::Progress);
        curl_easy_setopt(e, CURLOPT_XFERINFODATA, session.get());
        curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
        // Browser behaviour: a POST answered by 301, 302 or 303 goes on as GET.
        curl_easy_setopt(e, CURLOPT_POSTREDIR, 0L);
        // Only Basic is ever answered, and only to a challenge offering it.
        curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        return e;
    }

    void Release(CURL* e) {
        {
            std::lock_guard<std::mutex> lock(idleMutex);
            if (idle.size() < kMaxIdle) {
                idle.push_back(e);
                return;
            }
        }
        curl_easy_cleanup(e);
    }
};

struct Request {
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
    bool challengeBasic = false;  // in the answer whose head is being read
    bool inHead = false;          // a status line came, the head's end not yet

    ~Request() {
        if (easy) connection->Release(easy);
    }
};

static size_t WriteBody(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Request*>(user);
    const size_t n = size * count;
    self->bodyStarted = true;
    if (self->body.size() < self->readLimit)
        self->body.append(data, std::min(n, self->readLimit - self->body.size()));
    self->received += n;
    if (self->received > std::max(self->readLimit, kDrainLimit)) {
        self->stopped = true;
        return 0;
    }
    return n;
}

static size_t HeaderLine(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Request*>(user);
    const size_t n = size * count;
    constexpr size_t kName = sizeof "WWW-Authenticate:" - 1;
    if (n >= 5 && memcmp(data, "HTTP/", 5) == 0) {
        self->challengeBasic = false;  // the head of another answer begins
        self->inHead = true;
    } else if (n <= 2 && (data[0] == '\r' || data[0] == '\n')) {
        self->inHead = false;
    } else if (n > kName && AsciiEqualNoCase(data, "WWW-Authenticate:", kName)) {
        std::string value(data + kName, n - kName);
        while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
        if (OffersBasic(value.data(), value.size())) self->challengeBasic = true;
    }
    return n;
}

SessionHandle OpenSession(const char* agent, uint32_t accessType) {
    if (accessType != kAccessDirect) {
        Fail(kErrorInvalidParameter);
        return nullptr;
    }
    std::call_once(globalInit, [] { globalInitOk = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    if (!globalInitOk) {
        Fail(kErrorInternal);
        return nullptr;
    }
    auto session = std::make_shared<Session>();
    session->agent = agent ? agent : "";
    session->share = curl_share_init();
    if (!session->share) {
        Fail(kErrorNotEnoughMemory);
        return nullptr;
    }
    CURLSH* sh = session->share;
    bool ok = curl_share_setopt(sh, CURLSHOPT_LOCKFUNC, &Session::Lock) == CURLSHE_OK &&
              curl_share_setopt(sh, CURLSHOPT_UNLOCKFUNC, &Session::Unlock) == CURLSHE_OK &&
              curl_share_setopt(sh, CURLSHOPT_USERDATA, session.get()) == CURLSHE_OK &&
              curl_share_setopt(sh, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) == CURLSHE_OK &&
              curl_share_setopt(sh, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK &&
              // TLS sessions are resumed across the task's connections.
              curl_share_setopt(sh, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
    if (!ok) {
        Fail(kErrorInternal);
        return nullptr;
    }
    return session;
}

bool SetSessionOption(const SessionHandle& session, uint32_t option, uint32_t value) {
    if (!session) return Fail(kErrorInvalidHandle);
    if (value == 0) return Fail(kErrorInvalidParameter);
    switch (option) {
        case kOptionConnectTimeout: session->connectTimeoutMs = value; return true;
        case kOptionSendTimeout: session->sendTimeoutMs = value; return true;
        case kOptionReceiveTimeout: session->receiveTimeoutMs = value; return true;
        default: return Fail(kErrorBadOption);
    }
}

bool SetSessionCaFile(const SessionHandle& session, const char* path) {
    if (!session) return Fail(kErrorInvalidHandle);
    if (!path || !*path) return Fail(kErrorInvalidParameter);
    session->caFile = path;
    return true;
}

void AbortSession(const SessionHandle& session) {
    if (session) session->Abort();
}

ConnectionHandle OpenConnection(const SessionHandle& session, const char* host, uint16_t port, uint32_t service) {
    if (!session) {
        Fail(kErrorInvalidHandle);
        return nullptr;
    }
    if (service != kServiceHttp || !host || !*host) {
        Fail(kErrorInvalidParameter);
        return nullptr;
    }
    // A host name goes into the URL as it is; refuse what would change the
    // URL's meaning rather than send the request somewhere else.
    std::string h = host;
    if (h.find_first_of("/?#@ \t\r\n\\") != std::string::npos) {
        Fail(kErrorInvalidUrl);
        return nullptr;
    }
    bool ipv6 = h.find(':') != std::string::npos;
    if (ipv6 && h.front() != '[') h = "[" + h + "]";
    auto connection = std::make_shared<Connection>();
    connection->session = session;
    connection->authority = port == kDefaultPort ? h : h + ":" + std::to_string(port);
    return connection;
}

RequestHandle OpenRequest(const ConnectionHandle& connection, const char* verb, const char* objectName,
                          uint32_t flags) {
    if (!connection) {
        Fail(kErrorInvalidHandle);
        return nullptr;
    }
    constexpr uint32_t known = kFlagReload | kFlagNoCacheWrite | kFlagKeepConnection | kFlagNoAutoRedirect |
                               kFlagPragmaNoCache | kFlagSecure;
    if (flags & ~known) {
        Fail(kErrorInvalidParameter);
        return nullptr;
    }
    auto request = std::make_shared<Request>();
    request->connection = connection;
    request->verb = verb && *verb ? verb : "GET";
    request->followRedirects = (flags & kFlagNoAutoRedirect) == 0;
    request->secure = (flags & kFlagSecure) != 0;

    // Bytes that cannot stand in a request line are escaped; everything
    // else of the object name is sent as the caller wrote it.
    std::string object = objectName ? objectName : "";
    std::string path;
    if (object.empty() || object.front() != '/') path = "/";
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : object) {
        if (c <= 0x20 || c >= 0x7F) {
            path += '%';
            path += hex[c >> 4];
            path += hex[c & 15];
        } else {
            path += static_cast<char>(c);
        }
    }
    request->url = (request->secure ? "https://" : "http://") + connection->authority + path;

    request->easy = connection->Acquire();
    if (!request->easy) {
        Fail(kErrorNotEnoughMemory);
        return nullptr;
    }
    return request;
}

namespace {

// Caller's header lines, plus the two that keep curl from adding its own:
// no Expect handshake, and no Content-Type the caller did not ask for.
curl_slist* BuildHeaders(const char* headers, bool hasBody, bool& ok) {
    ok = true;
    curl_slist* list = nullptr;
    bool contentType = false;
    auto add = [&](const std::string& line) {
        curl_slist* next = curl_slist_append(list, line.c_str());
        if (!next) {
            ok = false;
            return;
        }
        list = next;
    };
    if (headers) {
        std::string all = headers;
        size_t pos = 0;
        while (ok && pos < all.size()) {
            size_t end = all.find('\n', pos);
            if (end == std::string::npos) end = all.size();
            std::string line = all.substr(pos, end - pos);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            pos = end + 1;
            if (line.empty()) continue;
            if (line.size() >= 13 && AsciiEqualNoCase(line.c_str(), "content-type:", 13)) contentType = true;
            add(line);
        }
    }
    if (ok) add("Expect:");
    if (ok && hasBody && !contentType) add("Content-Type:");
    return list;
}

}  // namespace

bool SendRequest(const RequestHandle& request, const char* headers, const void* body, size_t bodyLength) {
    if (!request || !request->easy) return Fail(kErrorInvalidHandle);
    if (bodyLength && !body) return Fail(kErrorInvalidParameter);
    Request& r = *request;
    Session& s = *r.connection->session;
    CURL* e = r.easy;
    if (s.aborted) return Fail(kErrorOperationCancelled);

    // Credentials answer the challenge of this request's last answer, and
    // only when it offered Basic.
    const bool answer = (r.haveUser || r.havePassword) && r.offersBasic;
    r.status = 0;
    r.offersBasic = false;
    r.body.clear();
    r.body.shrink_to_fit();
    r.readOffset = 0;
    r.received = 0;
    r.bodyStarted = false;
    r.stopped = false;
    r.bodyError = 0;
    r.challengeBasic = false;
    r.inHead = false;

    bool ok = true;
    curl_slist* list = BuildHeaders(headers, body != nullptr || r.verb == "POST", ok);
    if (!ok) {
        curl_slist_free_all(list);
        return Fail(kErrorNotEnoughMemory);
    }

    // Everything a send may change is set on every send: a pooled handle
    // may come from another request, and a resend after credentials were set
    // differs from the first send only in its Authorization header. (No
    // curl_easy_reset: it would also drop the cookie engine, and this curl
    // leaks the engine's list when it is turned on again.)
    const long connectMs = s.connectTimeoutMs.load();
    // curl has one stall limit for both directions: the receive time-out
    // (requests here are small, so sending never waits long).
    const long receiveMs = s.receiveTimeoutMs.load();
    curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
    // A secure request stays secure: no plain HTTP, not even by a redirect.
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, r.secure ? "https" : "http");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, r.secure ? "https" : "http");
    r.errorText[0] = '\0';
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r.errorText);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &r);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &r);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, r.followRedirects ? 1L : 0L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
    // A server that stops sending for the receive time-out ends the send.
    // The whole exchange is bounded too, so a trickle cannot hold a worker.
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, std::max(1L, (receiveMs + 999) / 1000));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, connectMs + 4 * receiveMs);
    curl_easy_setopt(e, CURLOPT_USERNAME, answer ? r.user.c_str() : nullptr);
    curl_easy_setopt(e, CURLOPT_PASSWORD, answer ? r.password.c_str() : nullptr);
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, nullptr);
    curl_easy_setopt(e, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);  // also clears a POST of an earlier send
    if (r.verb == "GET") {
        // as set
    } else if (r.verb == "POST") {
        // Plain POST (not a custom verb), so a redirect turns it into a GET.
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, body ? static_cast<const char*>(body) : "");
    } else if (r.verb == "HEAD") {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
        if (body) {
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength));
            curl_easy_setopt(e, CURLOPT_POSTFIELDS, static_cast<const char*>(body));
        }
    }

    CURLcode rc = curl_easy_perform(e);
    curl_slist_free_all(list);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
    long code = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &code);
    if (rc != CURLE_OK) {
        // Once the final answer's body has begun, the server has answered:
        // what became of the body is for ReadFile to say.
        if (s.aborted || !r.bodyStarted || code <= 0) {
            r.body.clear();
            uint32_t error = s.aborted ? kErrorOperationCancelled : MapCurlError(rc);
            // curl refuses a header line longer than it holds (100 KiB) as
            // out of memory; inside an answer's head that is what it was.
            if (!s.aborted && rc == CURLE_OUT_OF_MEMORY && r.inHead) error = kErrorReplyHeaderTooLarge;
            if (!s.aborted && rc == CURLE_PEER_FAILED_VERIFICATION) {
                long result = 0;
                curl_easy_getinfo(e, CURLINFO_SSL_VERIFYRESULT, &result);
                error = MapVerifyResult(result);
            }
            Fail(error);
            lastDetail = r.errorText;
            return false;
        }
        r.bodyError = r.stopped ? kErrorOperationCancelled : MapCurlError(rc);
    }
    if (!r.bodyError && r.received > r.body.size()) r.bodyError = kErrorOperationCancelled;
    r.status = code;
    r.offersBasic = code == 401 && r.challengeBasic;
    return true;
}

bool QueryInfo(const RequestHandle& request, uint32_t infoLevel, uint32_t& value) {
    if (!request) return Fail(kErrorInvalidHandle);
    if (infoLevel != kQueryStatusCodeNumber) return Fail(kErrorInvalidParameter);
    if (request->status <= 0) return Fail(kErrorHeaderNotFound);
    value = static_cast<uint32_t>(request->status);
    return true;
}

bool ChallengeAnswerable(const RequestHandle& request) { return request && request->offersBasic; }

bool SetRequestOption(const RequestHandle& request, uint32_t option, const void* buffer, uint32_t length) {
    if (!request) return Fail(kErrorInvalidHandle);
    if (!buffer && length) return Fail(kErrorInvalidParameter);
    const char* text = static_cast<const char*>(buffer);
    std::string value = text ? std::string(text, strnlen(text, length)) : std::string();
    switch (option) {
        case kOptionUsername:
            request->user = std::move(value);
            request->haveUser = true;
            return true;
        case kOptionPassword:
            request->password = std::move(value);
            request->havePassword = true;
            return true;
        default: return Fail(kErrorBadOption);
    }
}

bool SetReadLimit(const RequestHandle& request, size_t bytes) {
    if (!request) return Fail(kErrorInvalidHandle);
    request->readLimit = bytes;
    return true;
}

bool ReadFile(const RequestHandle& request, void* buffer, uint32_t toRead, uint32_t& read) {
    read = 0;
    if (!request) return Fail(kErrorInvalidHandle);
    if (!buffer && toRead) return Fail(kErrorInvalidParameter);
    Request& r = *request;
    if (r.readOffset == r.body.size() && r.bodyError && toRead) return Fail(r.bodyError);
    size_t n = std::min<size_t>(toRead, r.body.size() - r.readOffset);
    if (n) memcpy(buffer, r.body.data() + r.readOffset, n);
    r.readOffset += n;
    read = static_cast<uint32_t>(n);
    return true;
}

void CloseHandle(SessionHandle& handle) { handle.reset(); }
void CloseHandle(ConnectionHandle& handle) { handle.reset(); }
void CloseHandle(RequestHandle& handle) { handle.reset(); }

uint32_t LastError() { return lastError; }

std::string LastErrorDetail() { return lastDetail; }

std::string ErrorText(uint32_t error) {
    switch (error) {
        case kErrorInvalidHandle: return "The handle is invalid.";
        case kErrorNotEnoughMemory: return "Not enough memory resources are available to process this command.";
        case kErrorInvalidParameter: return "The parameter is incorrect.";
        case kErrorTimeout: return "The operation timed out";
        case kErrorInternal: return "An internal error occurred in the HTTP client";
        case kErrorInvalidUrl: return "The URL is invalid";
        case kErrorNameNotResolved: return "The server name or address could not be resolved";
        case kErrorBadOption: return "An invalid option value was specified";
        case kErrorOperationCancelled: return "The operation was canceled";
        case kErrorCannotConnect: return "A connection with the server could not be established";
        case kErrorConnectionAborted: return "The connection with the server was terminated abnormally";
        case kErrorConnectionReset: return "The connection with the server was reset";
        case kErrorHeaderNotFound: return "The requested header could not be located";
        case kErrorInvalidServerResponse: return "The server returned an invalid or unrecognized response";
        case kErrorReplyHeaderTooLarge: return "The server's reply header is too large";
        case kErrorRedirectFailed: return "The redirection failed";
        case kErrorSecCertDateInvalid: return "The date in the certificate is invalid or has expired";
        case kErrorSecCertCnInvalid: return "The host name in the certificate is invalid or does not match";
        case kErrorInvalidCa: return "The certificate authority is invalid or incorrect";
        case kErrorSecCertErrors: return "The server's certificate has errors";
        case kErrorSecurityChannelError: return "An error occurred in the secure channel support";
        case kErrorSecInvalidCert: return "The server's certificate is invalid";
        case kErrorSecCertRevoked: return "The server's certificate has been revoked";
        default: return {};
    }
}

}  // namespace tarn::http
