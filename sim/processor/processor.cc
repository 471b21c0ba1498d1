#include "processor/processor.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#if defined(__SANITIZE_THREAD__)
// Debian's cpp-httplib is a prebuilt, uninstrumented library: the thread
// sanitizer sees its memcpy and memcmp calls but not its own ordering, and
// reports races inside it that are not ours. Ignore accesses made from it;
// its locks and everything our handlers touch are still checked.
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libcpp-httplib.so\n"; }
#endif

namespace tarnsim {

const char* AuthModeName(AuthMode mode) {
    switch (mode) {
        case AuthMode::Basic: return "basic";
        case AuthMode::Session: return "session";
        default: return "none";
    }
}

const char* FailModeName(FailMode mode) {
    switch (mode) {
        case FailMode::NotFound: return "404";
        case FailMode::ServerError: return "500";
        case FailMode::Hang: return "hang";
        case FailMode::Close: return "close";
        default: return "normal";
    }
}

bool ParseAuthMode(const std::string& text, AuthMode& mode) {
    for (AuthMode m : {AuthMode::None, AuthMode::Basic, AuthMode::Session}) {
        if (text == AuthModeName(m)) {
            mode = m;
            return true;
        }
    }
    return false;
}

bool ParseFailMode(const std::string& text, FailMode& mode) {
    for (FailMode m : {FailMode::Normal, FailMode::NotFound, FailMode::ServerError, FailMode::Hang, FailMode::Close}) {
        if (text == FailModeName(m)) {
            mode = m;
            return true;
        }
    }
    return false;
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Base64Decode(const std::string& text, bool& ok) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    ok = true;
    size_t i = 0;
    for (; i < text.size() && text[i] != '='; ++i) {
        size_t v = alphabet.find(text[i]);
        if (v == std::string::npos) {
            ok = false;
            return {};
        }
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    for (; i < text.size(); ++i) {
        if (text[i] != '=') ok = false;
    }
    return out;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string LoginPage(const std::string& redirectTo) {
    return "<!DOCTYPE html>\n<html><head><title>Server Login</title></head><body>\n"
           "<form method=\"post\" action=\"/names.nsf?Login\" name=\"_DominoForm\">\n"
           "User name: <input name=\"username\" type=\"text\"><br>\n"
           "Password: <input name=\"password\" type=\"password\"><br>\n"
           "<input type=\"hidden\" name=\"redirectto\" value=\"" +
           redirectTo +
           "\">\n<input type=\"submit\" value=\"Log In\">\n"
           "</form></body></html>\n";
}

// Calls fn(fd, local port, peer port) for every connected socket of this
// process until it answers true. The server library hands out no sockets, so
// they are found by their address pairs.
template <typename Fn>
void ForEachConnectedSocket(Fn fn) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return;
    auto port = [](const sockaddr_storage& a) -> int {
        if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
        if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
        return -1;
    };
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long fd = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end) continue;
        sockaddr_storage local{}, peer{};
        socklen_t localLen = sizeof local, peerLen = sizeof peer;
        if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localLen) != 0) continue;
        if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) continue;
        if (fn(static_cast<int>(fd), port(local), port(peer))) break;
    }
    closedir(dir);
}

// Drops the client's connection without a byte of answer: the handler shuts
// its own socket down; the library's write of the answer then fails and it
// closes the socket.
void DropConnection(const httplib::Request& req) {
    ForEachConnectedSocket([&](int fd, int localPort, int peerPort) {
        if (localPort != req.local_port || peerPort != req.remote_port) return false;
        shutdown(fd, SHUT_RDWR);
        return true;
    });
}

// Shuts down every accepted connection of the server on `port`, so that a
// stop does not wait for idle kept-alive clients (the library waits up to its
// keep-alive time-out for each). Clients of the same process that talk to
// this port have other local ports and are left alone.
void DropAllConnections(int port) {
    ForEachConnectedSocket([&](int fd, int localPort, int) {
        if (localPort == port) shutdown(fd, SHUT_RDWR);
        return false;
    });
}

// The server library does not say why a bind failed: try it once more by hand
// to learn the reason.
std::string BindProblem(const std::string& host, int port) {
    std::string where = host + ":" + std::to_string(port);
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) != 1) return "cannot listen on " + where;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return "cannot listen on " + where + ": " + strerror(errno);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr = address;
    int rc = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int error = errno;
    close(fd);
    if (rc != 0 && error == EADDRINUSE)
        return "port " + std::to_string(port) + " on " + host +
               " is already in use: stop the program that holds it, or choose another port";
    if (rc != 0) return "cannot listen on " + where + ": " + strerror(error);
    return "cannot listen on " + where;
}

}  // namespace

std::string FormDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string FormEncode(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '*') {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

struct Processor::Impl {
    ProcessorOptions options;
    std::unique_ptr<httplib::Server> server;  // made by the first Start
    std::thread thread;
    int port = 0;
    bool started = false;
    std::string problem;  // why Start failed

    mutable std::mutex mutex;
    mutable std::condition_variable changed;  // records added, or stopping
    bool stopping = false;
    FailMode mode = FailMode::Normal;
    AuthMode auth = AuthMode::None;  // what the web server asks for now; starts as options.auth
    std::function<std::string(const std::string&)> lookup;
    std::set<std::string> sessions;
    uint64_t seq = 0;
    std::vector<NoticeRecord> notices;
    std::vector<LoginRecord> logins;
    std::vector<BasicRecord> basics;
    std::ofstream recordOut;
    std::mt19937_64 random{std::random_device{}()};

    explicit Impl(ProcessorOptions o) : options(std::move(o)), mode(options.mode), auth(options.auth) {}

    void WriteRecord(const nlohmann::json& line) {
        // Held under `mutex`. Received bytes need not be UTF-8: replace what
        // is not rather than lose the line.
        if (!recordOut.is_open()) return;
        recordOut << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        recordOut.flush();
    }

    bool ValidSession(const httplib::Request& req) {
        std::string cookies = req.get_header_value("Cookie");
        std::string prefix = std::string(kSessionCookie) + "=";
        size_t pos = 0;
        while (pos < cookies.size()) {
            size_t end = cookies.find(';', pos);
            if (end == std::string::npos) end = cookies.size();
            std::string item = cookies.substr(pos, end - pos);
            size_t start = item.find_first_not_of(' ');
            item = start == std::string::npos ? "" : item.substr(start);
            if (item.compare(0, prefix.size(), prefix) == 0) {
                std::lock_guard<std::mutex> lock(mutex);
                if (sessions.count(item.substr(prefix.size()))) return true;
            }
            pos = end + 1;
        }
        return false;
    }

    // Checks an Authorization header; records what it carried.
    bool ValidBasic(const httplib::Request& req, std::string& user) {
        std::string header = req.get_header_value("Authorization");
        if (header.size() < 6 || strncasecmp(header.c_str(), "Basic ", 6) != 0) return false;
        bool ok = false;
        std::string decoded = Base64Decode(header.substr(6), ok);
        size_t colon = decoded.find(':');
        BasicRecord rec;
        if (ok && colon != std::string::npos) {
            rec.user = decoded.substr(0, colon);
            rec.password = decoded.substr(colon + 1);
            rec.ok = rec.user == options.user && rec.password == options.password;
        }
        user = rec.user;
        std::lock_guard<std::mutex> lock(mutex);
        basics.push_back(rec);
        return rec.ok;
    }

    // Holds the request until stopped or the hang limit passes.
    void Hold() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, options.hangLimit, [&] { return stopping; });
    }

    void HandleNotice(const httplib::Request& req, httplib::Response& res) {
        NoticeRecord rec;
        rec.method = req.method;
        rec.target = req.target;
        rec.action = req.get_param_value("action");
        rec.qnoteid = req.get_param_value("qnoteid");
        rec.idToken = req.get_param_value("id");
        rec.tokenOk = rec.idToken == kNoticeToken;
        rec.refresh = rec.action == "refreshconfig";

        if (options.replyDelay.count() > 0) {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait_for(lock, options.replyDelay, [&] { return stopping; });
        }
        FailMode failMode;
        AuthMode authMode;
        {
            std::lock_guard<std::mutex> lock(mutex);
            failMode = mode;
            authMode = auth;
        }
        bool drop = false;
        switch (failMode) {
            case FailMode::NotFound:
                res.status = 404;
                res.set_content("<html><body>Not Found</body></html>", "text/html");
                break;
            case FailMode::ServerError:
                res.status = 500;
                res.set_content("<html><body>Internal Server Error</body></html>", "text/html");
                break;
            case FailMode::Hang:
            case FailMode::Close: drop = true; break;
            case FailMode::Normal: {
                bool ok = false;
                switch (authMode) {
                    case AuthMode::None: ok = true; break;
                    case AuthMode::Basic: ok = ValidBasic(req, rec.basicUser); break;
                    case AuthMode::Session: ok = ValidSession(req); break;
                }
                if (ok) {
                    rec.accepted = true;
                    rec.acceptedUnder = AuthModeName(authMode);
                    res.status = 200;
                    if (options.endlessReply)
                        res.set_chunked_content_provider("text/html", [this](size_t, httplib::DataSink& sink) {
                            static const std::string chunk(64 * 1024, 'x');
                            {
                                std::lock_guard<std::mutex> lock(mutex);
                                if (stopping) return false;
                            }
                            return sink.is_writable() && sink.write(chunk.data(), chunk.size());
                        });
                    else
                        res.set_content(options.replyBody, "text/html");
                } else if (authMode == AuthMode::Basic) {
                    res.status = 401;
                    res.set_header("WWW-Authenticate", options.challenge.empty() ? "Basic realm=\"TARN processor\""
                                                                                 : options.challenge);
                    res.set_content("<html><body>Authorization required</body></html>", "text/html");
                } else {
                    res.status = 200;
                    res.set_content(LoginPage(options.path), "text/html");
                }
                break;
            }
        }
        rec.status = drop ? 0 : res.status;
        if (rec.accepted && !rec.refresh && !rec.qnoteid.empty()) {
            std::function<std::string(const std::string&)> hook;
            {
                std::lock_guard<std::mutex> lock(mutex);
                hook = lookup;
            }
            if (hook) rec.lookup = hook(rec.qnoteid);
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            rec.seq = ++seq;
            nlohmann::json line = {{"kind", "notice"},       {"seq", rec.seq},
                                   {"method", rec.method},   {"target", rec.target},
                                   {"action", rec.action},   {"qnoteid", rec.qnoteid},
                                   {"tokenOk", rec.tokenOk}, {"refresh", rec.refresh},
                                   {"accepted", rec.accepted}, {"auth", rec.acceptedUnder},
                                   {"status", rec.status},   {"mode", FailModeName(failMode)},
                                   {"lookup", rec.lookup}};
            WriteRecord(line);
            notices.push_back(rec);
        }
        changed.notify_all();
        if (drop) {
            if (failMode == FailMode::Hang) Hold();
            DropConnection(req);
        }
    }

    void HandleLogin(const httplib::Request& req, httplib::Response& res) {
        LoginRecord rec;
        rec.rawBody = req.body;
        rec.contentType = req.get_header_value("Content-Type");
        // Fields by hand rather than the library's parser: the body is taken
        // as a form whatever its Content-Type says, first occurrence wins.
        bool haveUser = false, havePassword = false, haveRedirect = false;
        size_t pos = 0;
        while (pos <= req.body.size()) {
            size_t end = req.body.find('&', pos);
            if (end == std::string::npos) end = req.body.size();
            std::string field = req.body.substr(pos, end - pos);
            size_t eq = field.find('=');
            std::string key = FormDecode(field.substr(0, eq));
            std::string value = eq == std::string::npos ? "" : FormDecode(field.substr(eq + 1));
            if (key == "username" && !haveUser) rec.username = value, haveUser = true;
            if (key == "password" && !havePassword) rec.password = value, havePassword = true;
            if (key == "redirectto" && !haveRedirect) rec.redirectTo = value, haveRedirect = true;
            pos = end + 1;
        }
        AuthMode authMode;
        {
            std::lock_guard<std::mutex> lock(mutex);
            authMode = auth;
        }
        rec.ok = authMode == AuthMode::Session && haveUser && havePassword && rec.username == options.user &&
                 rec.password == options.password;
        if (rec.ok) {
            char id[33];
            {
                std::lock_guard<std::mutex> lock(mutex);
                snprintf(id, sizeof id, "%016llX%016llX", static_cast<unsigned long long>(random()),
                         static_cast<unsigned long long>(random()));
                sessions.insert(id);
            }
            res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + id + "; Path=/; HttpOnly");
            std::string to = !rec.redirectTo.empty() && rec.redirectTo[0] == '/' ? rec.redirectTo : "/";
            res.set_redirect(to, 302);
        } else {
            res.status = options.loginFailureStatus;
            res.set_content(LoginPage(rec.redirectTo.empty() ? "/" : rec.redirectTo), "text/html");
        }
        rec.status = res.status;
        {
            std::lock_guard<std::mutex> lock(mutex);
            rec.seq = ++seq;
            WriteRecord({{"kind", "login"},
                         {"seq", rec.seq},
                         {"rawBody", rec.rawBody},
                         {"rawBodyHex", Hex(rec.rawBody)},
                         {"contentType", rec.contentType},
                         {"username", rec.username},
                         {"ok", rec.ok},
                         {"status", rec.status}});
            logins.push_back(rec);
        }
        changed.notify_all();
    }

    void Handle(const httplib::Request& req, httplib::Response& res) {
        if (req.path == options.path) {
            HandleNotice(req, res);
        } else if (req.method == "POST" && req.path == "/names.nsf" && req.has_param("Login")) {
            HandleLogin(req, res);
        } else if (req.path == "/" && (req.method == "GET" || req.method == "HEAD")) {
            res.status = 200;
            res.set_content("<html><body>TARN sample transaction processor</body></html>", "text/html");
        } else {
            res.status = 404;
            res.set_content("<html><body>Not Found</body></html>", "text/html");
        }
    }
};

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
        auto tls = std::make_unique<httplib::SSLServer>(d.options.tlsCert.c_str(), d.options.tlsKey.c_str());
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
