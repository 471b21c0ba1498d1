// The libcurl backend's handles: the session with its share and sockets, the
// connection with its pool of set-up easy handles, and the errors in
// WinINet's terms.
#ifdef TARN_TUNE_OPENSSL
#include <openssl/ssl.h>
#endif

#include <algorithm>
#include <cstring>
#include <string>

#include "transport/http_curl.h"

namespace tarn::http {
namespace {

thread_local uint32_t lastError = 0;
thread_local std::string lastDetail;

std::once_flag globalInit;
bool globalInitOk = false;
// Whether the context libcurl hands to its TLS set-up callback is the
// OpenSSL this was built with (the same major version is the same library):
// set with globalInitOk.
bool tlsIsOpenSsl = false;

#ifdef TARN_TUNE_OPENSSL
// libcurl has OpenSSL free a connection's record buffers whenever they are
// empty, so on a kept-alive connection every notice allocated and freed a
// record's worth (about 17 KB) for its request and again for its answer.
// Kept, they cost that much per open connection, of which a task has a few.
CURLcode KeepRecordBuffers(CURL*, void* sslContext, void*) {
    SSL_CTX_clear_mode(static_cast<SSL_CTX*>(sslContext), SSL_MODE_RELEASE_BUFFERS);
    return CURLE_OK;
}

bool CurlUsesThisOpenSsl() {
    const curl_version_info_data* v = curl_version_info(CURLVERSION_NOW);
    const std::string ours = "OpenSSL/" + std::to_string(OPENSSL_VERSION_MAJOR) + ".";
    return v && v->ssl_version && strncmp(v->ssl_version, ours.c_str(), ours.size()) == 0;
}
#else
bool CurlUsesThisOpenSsl() { return false; }
#endif

}  // namespace

bool Fail(uint32_t error, const char* detail) {
    lastError = error;
    lastDetail = detail;
    return false;
}

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

CURL* Connection::Acquire() {
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
#ifdef TARN_TUNE_OPENSSL
    if (tlsIsOpenSsl) curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &KeepRecordBuffers);
#endif
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

void Connection::Release(CURL* e) {
    {
        std::lock_guard<std::mutex> lock(idleMutex);
        if (idle.size() < kMaxIdle) {
            idle.push_back(e);
            return;
        }
    }
    curl_easy_cleanup(e);
}

SessionHandle OpenSession(const char* agent, uint32_t accessType) {
    if (accessType != kAccessDirect) {
        Fail(kErrorInvalidParameter);
        return nullptr;
    }
    std::call_once(globalInit, [] {
        globalInitOk = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        tlsIsOpenSsl = globalInitOk && CurlUsesThisOpenSsl();
    });
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
        // curl has one stall limit for both directions, the receive
        // time-out's: a send time-out has nothing of its own to set.
        case kOptionSendTimeout: return true;
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
        case kErrorHttpsToHttpOnRedirect: return "The server redirected a secure request to a non-secure address";
        default: return {};
    }
}

}  // namespace tarn::http
