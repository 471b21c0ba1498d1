#include "transport/connection.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/notes_capi.h"
#include "log/tarn_log.h"
#include "transport/worker_pool.h"

namespace http = tarn::http;

namespace {

// A Notes.ini value, terminated; false when the variable is not set. The
// transport's one call of the host's Notes.ini reader.
bool IniValue(const char* name, char (&text)[256]) {
    if (!OSGetEnvironmentString(name, text, sizeof text - 1)) return false;
    text[sizeof text - 1] = '\0';
    return true;
}

// TARN_HTTP_Secure and TARN_HTTP_CAFile, onto the session. False after a
// level-1 line when they cannot be used: the task then makes no connection,
// so nothing goes out until they are mended (never plain HTTP instead).
bool ApplySecureSettings(const TARNLog& log, const http::SessionHandle& internet, bool& secure) {
    char text[256];
    secure = false;
    if (IniValue("TARN_HTTP_Secure", text) && !ParseHttpSecure(text, secure)) {
        log.Printf(1,
             "TARN_HTTP_Secure=%s is not 0 or 1; no notice is sent until it is mended (a secure setting never falls "
             "back to plain HTTP)",
             text);
        return false;
    }
    char caFile[256];
    const bool haveCaFile = IniValue("TARN_HTTP_CAFile", caFile) && caFile[0];
    if (!secure) {
        if (haveCaFile) log.Printf(1, "TARN_HTTP_CAFile is set but TARN_HTTP_Secure is not 1: notices go over plain HTTP");
        return true;
    }
    if (!haveCaFile) return true;
    // Read here, so an unreadable file is the administrator's line now
    // rather than a handshake failure on every notice.
    if (const std::string why = CaFileUnreadable(caFile); !why.empty()) {
        log.Printf(1, "TARN_HTTP_CAFile=%s cannot be read (%s); no notice is sent until it is mended", caFile,
             why.c_str());
        return false;
    }
    if (!http::SetSessionCaFile(internet, caFile)) {
        if (http::LastError() != http::kErrorBadOption) {
            log.Printf(1, "TARN_HTTP_CAFile=%s cannot be used; no notice is sent until it is mended", caFile);
            return false;
        }
        // WinINet: the Windows certificate store is the one source of trust.
        log.Printf(1,
            "TARN_HTTP_CAFile is not used on Windows: the processor's certificate is checked against the Windows "
            "certificate store");
    }
    return true;
}

// TARN_HTTP_Timeout onto the session, or the defaults kept; its line either way.
void ApplyTimeout(const TARNLog& log, const http::SessionHandle& internet) {
    char text[256];
    if (IniValue("TARN_HTTP_Timeout", text)) {
        uint32_t ms = 0;
        if (ParseHttpTimeout(text, ms)) {
            http::SetSessionOption(internet, http::kOptionConnectTimeout, ms);
            http::SetSessionOption(internet, http::kOptionSendTimeout, ms);
            http::SetSessionOption(internet, http::kOptionReceiveTimeout, ms);
            log.Printf(2, "openHTTPConnection. HTTP time-out: %s (TARN_HTTP_Timeout)", HttpTimeoutText(ms).c_str());
            return;
        }
        log.Printf(1,
             "TARN_HTTP_Timeout=%s is not a time-out from 1 to 600 seconds (or 100ms to 600000ms); using the defaults",
             text);
    }
    log.Printf(2, "openHTTPConnection. HTTP time-outs: connect %s, send and receive %s (defaults)",
         HttpTimeoutText(http::kDefaultConnectTimeoutMs).c_str(),
         HttpTimeoutText(http::kDefaultReceiveTimeoutMs).c_str());
}

// TARN_HTTP_Workers, or the default.
int WorkerLimit(const TARNLog& log) {
    char text[256];
    if (!IniValue("TARN_HTTP_Workers", text)) return WorkerPool::kDefaultWorkers;
    int n = 0;
    if (ParseHttpWorkers(text, n)) return n;
    log.Printf(1, "TARN_HTTP_Workers=%s is not a number from %d to %d; using %d", text, WorkerPool::kMinWorkers,
         WorkerPool::kMaxWorkers, WorkerPool::kDefaultWorkers);
    return WorkerPool::kDefaultWorkers;
}

}  // namespace

std::string CaFileUnreadable(const char* path) {
    FILE* file = fopen(path, "rb");
    if (!file) return strerror(errno);
    fclose(file);
    return {};
}

void ProcessorConnection::Open(const char* hostname, int32_t port, const TARNLog& log, int& workerLimit) {
    std::lock_guard lock(mutex);
    if (connected) return;  // another thread was first
    internet = http::OpenSession("Brackwater TARN", http::kAccessDirect);
    if (!internet) {
        log.Printf(1, "openHTTPConnection. InternetOpen Failed");
        return;
    }
    ApplyTimeout(log, internet);
    workerLimit = WorkerLimit(log);
    bool useTls = false;
    if (!ApplySecureSettings(log, internet, useTls)) {
        http::CloseHandle(internet);
        return;
    }
    log.Printf(3, "openHTTPConnection. InternetOpen Success");
    uint16_t portNumber = static_cast<uint16_t>(port);
    if (useTls && portNumber == http::kDefaultPort) portNumber = http::kDefaultHttpsPort;
    secure = useTls;
    processorHost = std::string(hostname) + ":" + std::to_string(portNumber ? portNumber : 80);
    if (useTls)
        log.Printf(2, "openHTTPConnection. Notices go over HTTPS to %s (TARN_HTTP_Secure=1)", processorHost.c_str());
    connection = http::OpenConnection(internet, hostname, portNumber, http::kServiceHttp);
    if (connection) {
        connected = true;
        log.Printf(3, "openHTTPConnection. InternetConnect Success");
    } else {
        http::CloseHandle(internet);
        log.Printf(1, "openHTTPConnection. InternetConnect Failed");
    }
}

http::ConnectionHandle ProcessorConnection::Handle() {
    std::lock_guard lock(mutex);
    return connection;
}

uint32_t ProcessorConnection::RequestFlags(uint32_t flags) {
    std::lock_guard lock(mutex);
    return secure ? flags | http::kFlagSecure : flags;
}

std::string ProcessorConnection::ProcessorHost() {
    std::lock_guard lock(mutex);
    return processorHost;
}

void ProcessorConnection::Abort() {
    http::SessionHandle session;
    {
        std::lock_guard lock(mutex);
        session = internet;
    }
    http::AbortSession(session);
}

void ProcessorConnection::Close() {
    std::lock_guard lock(mutex);
    http::CloseHandle(connection);
    http::CloseHandle(internet);
    connected = false;
}

void ProcessorConnection::CloseUnconnected() {
    std::lock_guard lock(mutex);
    if (!connection) http::CloseHandle(internet);
}
