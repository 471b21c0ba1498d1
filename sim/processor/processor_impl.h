// The processor's state and its request handlers, shared by the files that
// implement them: the server's lifetime (processor.cc), the notice path
// (notice_handler.cc) and the logins (auth.cc).
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "processor/processor.h"

namespace tarnsim {

// Domino's login form, posting back to kLoginPath and then to `redirectTo`.
std::string LoginPage(const std::string& redirectTo);

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

    // Whether the request carries a session cookie a login handed out.
    bool ValidSession(const httplib::Request& req);
    // Checks an Authorization header; records what it carried.
    bool ValidBasic(const httplib::Request& req, std::string& user);
    // Holds the request until stopped or the hang limit passes.
    void Hold();

    void HandleNotice(const httplib::Request& req, httplib::Response& res);
    void HandleLogin(const httplib::Request& req, httplib::Response& res);
    void Handle(const httplib::Request& req, httplib::Response& res);
};

}  // namespace tarnsim
