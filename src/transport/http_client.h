// The HTTP client the transport talks to: the handful of WinINet calls the
// exchange with the processor makes, kept in WinINet's shape so the calling
// code reads the same on both hosts. One backend per host, chosen at link
// time: libcurl on Linux (http_curl.h, http_curl*.cc), WinINet itself on Windows
// (http_client_win.cc).
//
// Handles are shared pointers. A request keeps its connection alive and a
// connection its session, so closing a handle never pulls the ground from
// under a worker that is still using a child of it. Sessions and connections
// may be used from any number of threads at once; a request handle belongs
// to one thread at a time (each worker opens its own).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tarn::http {

struct Session;
struct Connection;
struct Request;
using SessionHandle = std::shared_ptr<Session>;
using ConnectionHandle = std::shared_ptr<Connection>;
using RequestHandle = std::shared_ptr<Request>;

// OpenSession access type: direct, no proxy.
constexpr uint32_t kAccessDirect = 1;
// OpenConnection service: HTTP.
constexpr uint32_t kServiceHttp = 3;
// OpenConnection port 0: the protocol's default.
constexpr uint16_t kDefaultPort = 0;
// The HTTPS default, passed explicitly: which default port 0 selects is the
// service's (HTTP) on WinINet, whatever the request's flags.
constexpr uint16_t kDefaultHttpsPort = 443;

// OpenRequest flags. Reload and keep-connection are what the transport asks
// for; cache flags mean nothing to a client without a cache and are accepted.
constexpr uint32_t kFlagReload = 0x80000000u;
constexpr uint32_t kFlagNoCacheWrite = 0x04000000u;
constexpr uint32_t kFlagKeepConnection = 0x00400000u;
constexpr uint32_t kFlagNoAutoRedirect = 0x00200000u;
constexpr uint32_t kFlagPragmaNoCache = 0x00000100u;
// HTTPS: TLS with the server's certificate chain and host name checked by
// the client (its trusted CAs, or the session's CA file); no way is offered
// to relax those checks.
constexpr uint32_t kFlagSecure = 0x00800000u;
constexpr uint32_t kFlagsReloadKeepAlive = kFlagReload | kFlagKeepConnection;  // 0x80400000

// Options. On a session: time-outs in milliseconds. On a request: user name
// and password, answered with HTTP Basic on the request's next send when the
// server's last 401 on that request offered Basic.
constexpr uint32_t kOptionConnectTimeout = 2;
constexpr uint32_t kOptionSendTimeout = 5;
constexpr uint32_t kOptionReceiveTimeout = 6;
constexpr uint32_t kOptionUsername = 28;
constexpr uint32_t kOptionPassword = 29;

// QueryInfo level: the status code of the last send, as a number.
constexpr uint32_t kQueryStatusCodeNumber = 0x20000013u;

// Error numbers, as LastError reports them after a failed call.
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorTimeout = 12002;
constexpr uint32_t kErrorInternal = 12004;
constexpr uint32_t kErrorInvalidUrl = 12005;
constexpr uint32_t kErrorNameNotResolved = 12007;
constexpr uint32_t kErrorBadOption = 12009;
constexpr uint32_t kErrorOperationCancelled = 12017;
constexpr uint32_t kErrorCannotConnect = 12029;
constexpr uint32_t kErrorConnectionAborted = 12030;
constexpr uint32_t kErrorConnectionReset = 12031;
constexpr uint32_t kErrorHeaderNotFound = 12150;
constexpr uint32_t kErrorInvalidServerResponse = 12152;
constexpr uint32_t kErrorRedirectFailed = 12156;
// Not a WinINet number (bit 29: an application's own code): the libcurl
// backend's for an answer head longer than it accepts.
constexpr uint32_t kErrorReplyHeaderTooLarge = 0x20000001u;
// A secure request refused by the TLS checks; nothing of it was sent.
constexpr uint32_t kErrorSecCertDateInvalid = 12037;  // expired or not yet valid
constexpr uint32_t kErrorSecCertCnInvalid = 12038;    // made out to another name
constexpr uint32_t kErrorInvalidCa = 12045;           // no trusted CA issued it
constexpr uint32_t kErrorSecCertErrors = 12055;       // some other certificate fault
constexpr uint32_t kErrorSecCertNoRev = 12056;        // its revocation status is unknown
// WinINet's answer to a chain it cannot complete (an issuer it does not
// know) as well as to a revocation check that could not be made.
constexpr uint32_t kErrorSecCertRevFailed = 12057;
constexpr uint32_t kErrorSecurityChannelError = 12157;  // the handshake failed
constexpr uint32_t kErrorSecInvalidCert = 12169;
constexpr uint32_t kErrorSecCertRevoked = 12170;
// A secure request answered by a redirect to anything but https: not
// followed, so nothing of the request went out in clear.
constexpr uint32_t kErrorHttpsToHttpOnRedirect = 12040;

// Time-outs a new session starts with, on every backend.
constexpr uint32_t kDefaultConnectTimeoutMs = 10000;
constexpr uint32_t kDefaultSendTimeoutMs = 30000;
constexpr uint32_t kDefaultReceiveTimeoutMs = 30000;

// Answer body a request keeps for ReadFile unless told otherwise.
constexpr size_t kDefaultReadLimit = 1u << 20;

// InternetOpenA: a session with its own cookie store. Null on failure.
SessionHandle OpenSession(const char* agent, uint32_t accessType = kAccessDirect);

// InternetSetOptionA on a session: kOptionConnectTimeout, kOptionSendTimeout
// or kOptionReceiveTimeout, in milliseconds (0 is refused). Applies to the
// requests sent after the call.
bool SetSessionOption(const SessionHandle& session, uint32_t option, uint32_t value);

// Stops every request of the session, for teardown: a send or read in
// progress on any thread ends within a fraction of a second with
// kErrorOperationCancelled, and later ones fail at once. WinINet's way of
// doing this is closing the handles under the blocked calls.
void AbortSession(const SessionHandle& session);

// The CA certificates (a PEM file) a secure request's server must chain to,
// instead of the system's, for the connections opened after the call.
// WinINet has no such option (it checks against the Windows certificate
// store) and refuses with kErrorBadOption.
bool SetSessionCaFile(const SessionHandle& session, const char* path);

// InternetConnectA: remembers host and port; no network traffic. Null on a
// bad argument.
ConnectionHandle OpenConnection(const SessionHandle& session, const char* host, uint16_t port,
                                uint32_t service = kServiceHttp);

// HttpOpenRequestA: verb (null means GET) and object name ("/path?query";
// a missing leading '/' is supplied). No network traffic. Null on failure.
RequestHandle OpenRequest(const ConnectionHandle& connection, const char* verb, const char* objectName,
                          uint32_t flags = kFlagsReloadKeepAlive);

// HttpSendRequestA: sends the request, follows redirects (a POST answered by
// 301, 302 or 303 goes on as a GET), receives the answer. A secure request
// follows only a redirect to https: any other fails the send with
// kErrorHttpsToHttpOnRedirect before a byte goes to the new address. The send succeeds
// once the final answer's head has arrived: a body that is cut short, too
// long or endless is the business of ReadFile, never a failed send. `headers`
// holds extra request header lines separated by CRLF (null for none); the
// body goes out exactly as given, with no Content-Type unless `headers`
// names one. False on a transport failure (see LastError); the status then
// reads as none. May be called again on the same request.
bool SendRequest(const RequestHandle& request, const char* headers = nullptr, const void* body = nullptr,
                 size_t bodyLength = 0);

// HttpQueryInfoA with kQueryStatusCodeNumber: the final status code of the
// last send. Leaves `value` untouched and returns false when there is none.
bool QueryInfo(const RequestHandle& request, uint32_t infoLevel, uint32_t& value);

// Whether credentials could answer the last send's 401: its challenge offers
// a scheme this backend answers (libcurl: Basic; WinINet: its own schemes).
bool ChallengeAnswerable(const RequestHandle& request);

// InternetSetOptionA on a request: kOptionUsername or kOptionPassword. The
// text is `length` bytes, cut at the first zero byte (so a length counting
// the terminator is fine). Credentials answer only a challenge that offers
// Basic: they never go out unasked, nor to a server asking for another scheme.
bool SetRequestOption(const RequestHandle& request, uint32_t option, const void* buffer, uint32_t length);

// How much of each answer body the caller will read (0: none). What lies
// beyond is discarded as it arrives, so an answer nobody reads costs no
// memory; a body much longer than that is not waited for. Before the first
// send; kDefaultReadLimit otherwise.
bool SetReadLimit(const RequestHandle& request, size_t bytes);

// InternetReadFile: the next piece of the answer body, at most `toRead`
// bytes; `read` is 0 at the end. A body that went on past the read limit, or
// broke off, fails the read after its last kept byte.
bool ReadFile(const RequestHandle& request, void* buffer, uint32_t toRead, uint32_t& read);

// The Location a secure request's last send refused to follow
// (kErrorHttpsToHttpOnRedirect), as the server wrote it; empty otherwise.
std::string RefusedRedirect(const RequestHandle& request);

// InternetCloseHandle: releases this reference (the handle is emptied).
void CloseHandle(SessionHandle& handle);
void CloseHandle(ConnectionHandle& handle);
void CloseHandle(RequestHandle& handle);

// GetLastError: the error number of this thread's last failed call.
uint32_t LastError();

// The client library's own words on this thread's last failed send, when
// it has more to say than the error number (libcurl's error buffer, e.g.
// the TLS library's reason for a failed handshake); empty on WinINet,
// whose text is ErrorText's.
std::string LastErrorDetail();

// FormatMessageA: the system's text for an error number, or empty when it
// has none.
std::string ErrorText(uint32_t error);

}  // namespace tarn::http
