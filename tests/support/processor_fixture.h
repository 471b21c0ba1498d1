// Tests against the sample transaction processor on a loopback port, and
// small helpers for driving the HTTP client.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "processor/processor.h"
#include "transport/http_client.h"

namespace tarntest {

// The address of a transaction notice, as the add-in builds it.
inline std::string NoticeAddress(const std::string& base, const std::string& action, uint32_t qnoteid) {
    char id[9];
    snprintf(id, sizeof id, "%08X", qnoteid);
    return base + "?action=" + action + "&qnoteid=" + id + "&id=" + tarnsim::kNoticeToken;
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

}  // namespace tarntest
