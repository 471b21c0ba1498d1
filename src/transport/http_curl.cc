// The exchange over libcurl: a request's URL, its sends with the answer's
// head and body taken in, and the reads of that body.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/ascii.h"
#include "transport/http_curl.h"
#include "transport/http_curl_head.h"

namespace tarn::http {
namespace {

// Body bytes received past the read limit are dropped; past this many in
// all the transfer is stopped rather than waited for (the connection is then
// not reused). Small bodies nobody reads are still drained, so the
// connection stays alive for the next notice.
constexpr size_t kDrainLimit = 256u << 10;

}  // namespace

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
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

size_t HeaderLine(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Request*>(user);
    const size_t n = size * count;
    return ReadHeaderLine(data, n, self->secure, self->followRedirects, *self) ? n : 0;
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
    r.headStatus = 0;
    r.location.clear();
    r.refusedLocation.clear();

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
    if (rc != CURLE_OK && !r.refusedLocation.empty()) return Fail(kErrorHttpsToHttpOnRedirect);
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
            return Fail(error, r.errorText);
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

std::string RefusedRedirect(const RequestHandle& request) { return request ? request->refusedLocation : ""; }

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

}  // namespace tarn::http
