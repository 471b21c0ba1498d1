// Tests against the sample transaction processor on a loopback port, and
// small helpers for driving the HTTP client.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
// The resolver's headers, which httplib brings in, define these two names
// that the Notes headers use for their own.
#undef STATUS
#undef NOERROR

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/tarn_session.h"
#include "processor/processor.h"
#include "support/test_support.h"
#include "transport/http_client.h"

namespace tarntest {

// A processor played by the test: every request is counted as it arrives
// (before it is answered), and answered by the test's function, which may
// hold it with Hold until the test calls Release.
class PlayedProcessor {
public:
    // index: the request's place in arrival order, from 0.
    using Answer = std::function<void(PlayedProcessor&, size_t index, const httplib::Request&, httplib::Response&)>;

    // By default every request is held until Release, then accepted.
    explicit PlayedProcessor(Answer a = [](PlayedProcessor& p, size_t, const httplib::Request&,
                                           httplib::Response& res) {
        p.Hold();
        res.set_content("ok", "text/plain");
    }) : answer(std::move(a)) {
        server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
            size_t index;
            {
                std::lock_guard lock(mutex);
                index = arrived.size();
                arrived.push_back(req.target);
            }
            changed.notify_all();
            answer(*this, index, req, res);
            {
                std::lock_guard lock(mutex);
                ++answered;
            }
            changed.notify_all();
        });
        // A kept-alive connection holds a server thread at its stop.
        server.set_keep_alive_timeout(1);
        // Bound and listening from here: a request made before the thread
        // accepts waits in the backlog.
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~PlayedProcessor() {
        Release();
        server.stop();
        if (thread.joinable()) thread.join();
    }
    int Port() const { return port; }

    // Inside an answer: waits until Release (or a minute, so a failed test
    // does not hold its processor for ever).
    void Hold() {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::minutes(1), [this] { return released; });
    }
    void Release() {
        {
            std::lock_guard lock(mutex);
            released = true;
        }
        changed.notify_all();
    }
    bool WaitForArrived(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return arrived.size() >= count; });
    }
    bool WaitForAnswered(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return answered >= count; });
    }
    std::vector<std::string> Arrived() {
        std::lock_guard lock(mutex);
        return arrived;
    }
    size_t Answered() {
        std::lock_guard lock(mutex);
        return answered;
    }

private:
    Answer answer;
    httplib::Server server;
    std::thread thread;
    int port = 0;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> arrived;
    size_t answered = 0;
    bool released = false;
};

// The address of a transaction notice, as the add-in builds it.
inline std::string NoticeAddress(const std::string& base, const std::string& action, uint32_t qnoteid) {
    return base + "?action=" + action + "&qnoteid=" + Hex8(qnoteid) + "&id=" + tarnsim::kNoticeToken;
}

// Default processor options with `set` applied (designated initialisers
// would draw -Wmissing-field-initializers).
template <class Set>
tarnsim::ProcessorOptions Options(Set set) {
    tarnsim::ProcessorOptions o;
    set(o);
    return o;
}

// Replies too large to hold (20 MiB) or without an end, to accepted notices
// sent without a login and with one: neither may count as a failure.
struct LargeReplyCase {
    std::string name;
    tarnsim::ProcessorOptions options;
    tarnsim::AuthMode mode;
};

inline std::vector<LargeReplyCase> LargeReplyCases() {
    std::vector<LargeReplyCase> cases;
    for (bool endless : {false, true})
        for (tarnsim::AuthMode mode : {tarnsim::AuthMode::None, tarnsim::AuthMode::Session}) {
            tarnsim::ProcessorOptions o;
            o.endlessReply = endless;
            if (!endless) o.replyBody = std::string(20u << 20, 'r');
            cases.push_back({std::string(endless ? "endless" : "20 MiB") + " reply, " + tarnsim::AuthModeName(mode), o,
                             mode});
        }
    return cases;
}

// Where a secure notice may be redirected: to plain HTTP asking for nothing
// or for Basic (both refused, nothing sent there), or to HTTPS (followed).
// The task is configured for what the address redirected to asks.
struct RedirectCase {
    std::string name;
    bool secure;  // the address redirected to serves HTTPS
    tarnsim::AuthMode asks;
};

inline std::vector<RedirectCase> RedirectCases() {
    return {{"plain", false, tarnsim::AuthMode::None},
            {"plain asking for Basic", false, tarnsim::AuthMode::Basic},
            {"https", true, tarnsim::AuthMode::None}};
}

// What one secure notice redirected as `c` to `to` must have left, whichever
// backend sent it: the processor at `host` (`first`) asked once; the address
// redirected to (`target`) took the notice, or saw no request and no
// credentials, with one line naming the refusal and one failed send. `lines`
// are the task's console lines, each starting with `banner`; `delivered` is
// how far TARN.Notices.Delivered moved.
inline void ExpectRedirectOutcome(const RedirectCase& c, const std::vector<std::string>& lines,
                                  const std::string& banner, const std::string& host, const std::string& to,
                                  const tarnsim::Processor& first, const tarnsim::Processor& target,
                                  uint64_t delivered) {
    const std::string refusal =
        banner + "TLS: processor host " + host + " redirected a notice to plain HTTP (" + to + "/servlet/dts): not followed";
    EXPECT_EQ(first.Notices().size(), 1u);
    if (c.secure) {
        EXPECT_EQ(target.AcceptedNotices().size(), 1u);
        EXPECT_EQ(delivered, 1u);
        EXPECT_EQ(CountWith(lines, {"TLS: "}), 0) << ::testing::PrintToString(lines);
    } else {
        EXPECT_EQ(std::count(lines.begin(), lines.end(), refusal), 1) << ::testing::PrintToString(lines);
        EXPECT_EQ(CountWith(lines, {"HttpSendRequest Failed: "}), 1);
        EXPECT_TRUE(target.Notices().empty()) << target.Notices().size() << " request(s) reached the plain port";
        EXPECT_TRUE(target.BasicAttempts().empty()) << "credentials sent in clear";
        EXPECT_EQ(delivered, 0u);
    }
}

// A loopback port nothing listens on: bound to learn a free number, then
// closed again.
inline uint16_t UnusedLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

// Reads the rest of an answer body in pieces of at most `piece` bytes; the
// size of every read, the final 0 included, goes to `sizes`.
inline std::string ReadBody(const tarn::http::RequestHandle& request, uint32_t piece,
                            std::vector<uint32_t>* sizes = nullptr) {
    std::string body;
    std::vector<char> buffer(piece);
    for (int guard = 0; guard < 100000; ++guard) {
        uint32_t n = 0;
        if (!tarn::http::ReadFile(request, buffer.data(), piece, n)) break;
        if (sizes) sizes->push_back(n);
        if (n == 0) break;
        body.append(buffer.data(), n);
    }
    return body;
}

inline uint32_t StatusOf(const tarn::http::RequestHandle& request) {
    uint32_t status = 0;
    tarn::http::QueryInfo(request, tarn::http::kQueryStatusCodeNumber, status);
    return status;
}

// A processor for the duration of one test, and an HTTP session and
// connection to it.
class ProcessorTest : public ::testing::Test {
protected:
    void TearDown() override {
        connection.reset();
        session.reset();
        if (processor) processor->Stop();
    }

    void StartProcessor(tarnsim::ProcessorOptions options = {}) {
        processor = std::make_unique<tarnsim::Processor>(std::move(options));
        ASSERT_TRUE(processor->Start());
        session = tarn::http::OpenSession("Brackwater TARN");
        ASSERT_TRUE(session);
        connection = Connect(session);
        ASSERT_TRUE(connection);
    }

    tarn::http::ConnectionHandle Connect(const tarn::http::SessionHandle& s) {
        return tarn::http::OpenConnection(s, "127.0.0.1", static_cast<uint16_t>(processor->Port()));
    }

    std::string Notice(uint32_t qnoteid, const std::string& action = "Change") const {
        return NoticeAddress(processor->Options().path, action, qnoteid);
    }

    tarn::http::RequestHandle Get(const std::string& object,
                                  const tarn::http::ConnectionHandle& on = nullptr) {
        return tarn::http::OpenRequest(on ? on : connection, "GET", object.c_str(),
                                       tarn::http::kFlagsReloadKeepAlive);
    }

    std::unique_ptr<tarnsim::Processor> processor;
    tarn::http::SessionHandle session;
    tarn::http::ConnectionHandle connection;
};

// A processor and a task session whose configuration sends notices to it.
class NoticeSessionTest : public DataDirTest {
protected:
    static inline const std::string P = "Brackwater TARN 1.2.27 (nserver.exe) : ";

    void TearDown() override {
        if (session) {
            session->GetTransport()->WaitForNotices(10000);
            session->Reset();
        }
        session.reset();
        if (processor) processor->Stop();
        DataDirTest::TearDown();
    }

    void Serve(tarnsim::ProcessorOptions o = {}) {
        if (processor) processor->Stop();
        processor = std::make_unique<tarnsim::Processor>(std::move(o));
        ASSERT_TRUE(processor->Start());
    }
    // A processor asking for `mode` and a session configured for it.
    void Start(tarnsim::AuthMode mode, const std::string& user = "tarn", const std::string& password = "secret",
               const std::string& url = "/servlet/dts", int level = 2) {
        tarnsim::ProcessorOptions o;
        o.auth = mode;
        o.path = url.empty() || url[0] != '/' ? "/" + url : url;
        Serve(o);
        Configure(mode, user, password, level, url);
    }
    // A new session (and databases) for the processor, or for `port` when given.
    void Configure(tarnsim::AuthMode mode, const std::string& user = "tarn", const std::string& password = "secret",
                   int level = 2, const std::string& url = "/servlet/dts", int port = 0) {
        if (session) session->Reset();
        session.reset();
        std::filesystem::remove_all(dataDir + "/brackwater");
        SampleConfig cfg;
        cfg.port = port ? port : processor->Port();
        cfg.url = url;
        cfg.logLevel = level;
        cfg.authType = mode == tarnsim::AuthMode::Basic     ? "Basic"
                       : mode == tarnsim::AuthMode::Session ? "Session"
                                                            : "None";
        cfg.username = user;
        cfg.password = password;
        CreateSampleDatabases(cfg);
        emu::SetIniVariable("TARN_HTTP_Timeout", "1500ms");
        session = std::make_unique<TARNSession>();
        ASSERT_TRUE(session->Init("nserver.exe", "nserver.exe"));
        EventData dummy{};  // refused by the filter at once: only takes the configured level in
        Proc().ProcessEvent(dummy);
        emu::ClearConsole();
    }
    TARNEventProcessor& Proc() { return *session->GetProcessor(); }
    NoticeTransport& Transport() { return *session->GetTransport(); }

    bool Send(uint32_t queueNoteId, uint16_t eventId = 47) {
        EventData e{};
        e.eventId = eventId;
        e.queueNoteId = queueNoteId;
        return Proc().SendTransactionNotice(e);
    }
    // Sends one notice and waits until every worker is done.
    bool Notice(uint16_t eventId, uint32_t queueNoteId) {
        bool started = Send(queueNoteId, eventId);
        EXPECT_TRUE(Transport().WaitForNotices(10000));
        return started;
    }
    static int Count(const std::string& line) {
        auto lines = emu::ConsoleLines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), P + line));
    }
    static bool HasPrefix(const std::string& start) {
        for (const auto& l : emu::ConsoleLines())
            if (l.rfind(P + start, 0) == 0) return true;
        return false;
    }

    std::unique_ptr<tarnsim::Processor> processor;
    std::unique_ptr<TARNSession> session;
};

}  // namespace tarntest
