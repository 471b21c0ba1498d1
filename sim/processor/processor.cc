// The processor's lifetime (start, stop) and what it tells its owner.
#include "processor/processor.h"

#include <signal.h>
#include <sys/socket.h>

#include "processor/processor_impl.h"
#include "processor/sockets.h"
#include "processor/tls_server.h"

#if defined(__SANITIZE_THREAD__)
// Debian's cpp-httplib is a prebuilt, uninstrumented library: the thread
// sanitizer sees its memcpy and memcmp calls but not its own ordering, and
// reports races inside it that are not ours. Ignore accesses made from it;
// its locks and everything our handlers touch are still checked.
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libcpp-httplib.so\n"; }
#endif

namespace tarnsim {

Processor::Processor(ProcessorOptions options) : impl(std::make_unique<Impl>(std::move(options))) {}

Processor::~Processor() { Stop(); }

bool Processor::Start() {
    Impl& d = *impl;
    if (d.started) return true;
    // A client that goes away mid-answer must not kill the process.
    signal(SIGPIPE, SIG_IGN);
    d.problem.clear();
    if (!d.options.recordFile.empty() && !d.recordOut.is_open()) {
        d.recordOut.open(d.options.recordFile, std::ios::app | std::ios::binary);
        if (!d.recordOut) {
            d.problem = "cannot write the record file " + d.options.recordFile;
            return false;
        }
    }
    if (!d.server && !d.options.tlsCert.empty() && !d.options.tlsKey.empty()) {
        auto tls = std::make_unique<TlsServer>(d.options.tlsCert.c_str(), d.options.tlsKey.c_str());
        if (!tls->is_valid()) {
            d.problem = "cannot serve HTTPS with the certificate " + d.options.tlsCert + " and the key " +
                        d.options.tlsKey + " (unreadable, not PEM, or not a pair)";
            return false;
        }
        d.server = std::move(tls);
    }
    if (!d.server) d.server = std::make_unique<httplib::Server>();
    // Enough threads for a burst of parallel workers plus the kept-alive
    // connections of earlier ones.
    d.server->new_task_queue = [] { return new httplib::ThreadPool(24); };
    d.server->set_tcp_nodelay(true);  // answers are written in pieces
    // The library's default is SO_REUSEPORT, which lets a second processor
    // bind the same port and silently take half the notices. SO_REUSEADDR
    // alone still allows a restart over connections in TIME_WAIT.
    d.server->set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    d.server->set_keep_alive_max_count(1000);
    d.server->set_read_timeout(5, 0);
    auto handler = [&d](const httplib::Request& req, httplib::Response& res) { d.Handle(req, res); };
    d.server->Get(".*", handler);
    d.server->Post(".*", handler);
    if (d.options.port == 0) {
        d.port = d.server->bind_to_any_port(d.options.host);
        if (d.port <= 0) {
            d.problem = "no free port on " + d.options.host;
            return false;
        }
    } else {
        if (!d.server->bind_to_port(d.options.host, d.options.port)) {
            d.problem = BindProblem(d.options.host, d.options.port);
            return false;
        }
        d.port = d.options.port;
    }
    d.thread = std::thread([&d] { d.server->listen_after_bind(); });
    // Stop only works on a running server: wait for it (the socket already
    // listens, so early clients just queue).
    for (int i = 0; i < 500 && !d.server->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    d.started = true;
    return d.server->is_running();
}

void Processor::Stop() {
    Impl& d = *impl;
    if (!d.started) return;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.stopping = true;
    }
    d.changed.notify_all();
    if (d.server) d.server->stop();
    DropAllConnections(d.port);
    if (d.thread.joinable()) d.thread.join();
    d.started = false;
}

int Processor::Port() const { return impl->port; }
std::string Processor::StartProblem() const { return impl->problem; }

void Processor::Record(const std::string& jsonLine) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (!impl->recordOut.is_open()) return;
    impl->recordOut << jsonLine << '\n';
    impl->recordOut.flush();
}
const ProcessorOptions& Processor::Options() const { return impl->options; }

void Processor::SetMode(FailMode mode) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->mode = mode;
}

void Processor::SetAuth(AuthMode auth) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->auth = auth;
}

void Processor::SetLookup(std::function<std::string(const std::string&)> lookup) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->lookup = std::move(lookup);
}

void Processor::ExpireSessions() {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->sessions.clear();
}

std::vector<NoticeRecord> Processor::Notices() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->notices;
}

std::vector<NoticeRecord> Processor::AcceptedNotices() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    std::vector<NoticeRecord> out;
    for (const auto& n : impl->notices)
        if (n.accepted) out.push_back(n);
    return out;
}

std::vector<LoginRecord> Processor::Logins() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->logins;
}

TlsHandshakes Processor::Handshakes() const {
    TlsHandshakes h;
    auto* tls = dynamic_cast<httplib::SSLServer*>(impl->server.get());
    if (!tls) return h;
    // OpenSSL's own counts of the server context.
    SSL_CTX* context = tls->ssl_context();
    h.completed = SSL_CTX_sess_accept_good(context);
    h.resumed = SSL_CTX_sess_hits(context);
    return h;
}

std::vector<BasicRecord> Processor::BasicAttempts() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->basics;
}

bool Processor::WaitForAccepted(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl->mutex);
    return impl->changed.wait_for(lock, timeout, [&] {
        size_t n = 0;
        for (const auto& rec : impl->notices) n += rec.accepted;
        return n >= count;
    });
}

}  // namespace tarnsim
