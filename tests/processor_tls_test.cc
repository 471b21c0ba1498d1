// The sample processor's HTTPS server seen from a TLS client of the test's
// own (OpenSSL over a loopback socket), which controls how its bytes are cut
// into records and segments and counts the records that come back.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "processor/certificates.h"
#include "processor/processor.h"
#include "support/test_support.h"

namespace {

class TlsClient {
public:
    explicit TlsClient(int port) {
        context = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_msg_callback(context, &TlsClient::OnMessage);
        fd = socket(AF_INET, SOCK_STREAM, 0);
        timeval limit{5, 0};  // a server that never answers fails the test, not hangs it
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ssl = SSL_new(context);
        SSL_set_msg_callback_arg(ssl, this);
        SSL_set_fd(ssl, fd);
        connected = connected && SSL_connect(ssl) == 1;
    }
    ~TlsClient() {
        SSL_free(ssl);
        SSL_CTX_free(context);
        close(fd);
    }
    bool Connected() const { return connected; }

    // Writes every piece as a record of its own; with `together`, all of
    // them leave in one segment, so the server finds them in one read.
    bool Send(std::initializer_list<std::string> pieces, bool together = false) {
        BIO* socketBio = SSL_get_wbio(ssl);
        BIO* buffer = nullptr;
        if (together) {
            buffer = BIO_new(BIO_f_buffer());
            BIO_up_ref(socketBio);
            BIO_push(buffer, socketBio);
            SSL_set0_wbio(ssl, buffer);
        }
        bool ok = true;
        for (const auto& p : pieces) ok = ok && SSL_write(ssl, p.data(), static_cast<int>(p.size())) > 0;
        if (buffer) {
            ok = BIO_flush(buffer) == 1 && ok;
            BIO_up_ref(socketBio);
            SSL_set0_wbio(ssl, socketBio);
        }
        return ok;
    }

    // Reads until `text` has come (true) or the connection ends or stalls.
    bool ReadUntil(const std::string& text) {
        while (received.find(text) == std::string::npos)
            if (!ReadMore()) return false;
        return true;
    }
    // Reads `count` whole answers (each with a Content-Length) and takes
    // them off what was received; returns their status lines.
    std::vector<std::string> Answers(size_t count) {
        std::vector<std::string> status;
        while (status.size() < count && ReadUntil("\r\n\r\n")) {
            const size_t headEnd = received.find("\r\n\r\n") + 4;
            const size_t at = received.find("Content-Length: ");
            const size_t end = headEnd + (at < headEnd ? std::stoul(received.substr(at + 16)) : 0);
            while (received.size() < end)
                if (!ReadMore()) return status;
            status.push_back(received.substr(0, received.find("\r\n")));
            received.erase(0, end);
        }
        return status;
    }
    int RecordsIn() const { return recordsIn; }
    const std::string& Pending() const { return received; }

private:
    bool ReadMore() {
        char chunk[4096];
        const int n = SSL_read(ssl, chunk, sizeof chunk);
        if (n > 0) received.append(chunk, static_cast<size_t>(n));
        return n > 0;
    }
    static void OnMessage(int write, int, int type, const void*, size_t, SSL*, void* self) {
        if (!write && type == SSL3_RT_HEADER) ++static_cast<TlsClient*>(self)->recordsIn;
    }
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    int fd = -1;
    bool connected = false;
    int recordsIn = 0;
    std::string received;
};

class ProcessorTlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = tarntest::MakeTempDir("processor-tls");
        tarnsim::CertificateAuthority ca("processor test CA", dir + "/ca.pem");
        ASSERT_TRUE(ca.Issue({"127.0.0.1"}, dir + "/server.pem", dir + "/server.key")) << ca.Problem();
        tarnsim::ProcessorOptions o;
        o.tlsCert = dir + "/server.pem";
        o.tlsKey = dir + "/server.key";
        processor = std::make_unique<tarnsim::Processor>(o);
        ASSERT_TRUE(processor->Start()) << processor->StartProblem();
    }
    void TearDown() override {
        processor->Stop();
        std::filesystem::remove_all(dir);
    }
    std::string dir;
    std::unique_ptr<tarnsim::Processor> processor;
};

const std::string kGet = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// Requests that arrive together, whether in one record or in several read
// at once, are each answered on the one connection, and each answer comes
// as one record.
TEST_F(ProcessorTlsTest, RequestsThatArriveTogetherAreAllAnsweredAnswerByRecord) {
    TlsClient client(processor->Port());
    ASSERT_TRUE(client.Connected());
    // The first answer also takes in what the handshake left (its tickets).
    ASSERT_TRUE(client.Send({kGet}));
    ASSERT_EQ(client.Answers(1), std::vector<std::string>{"HTTP/1.1 200 OK"});

    int before = client.RecordsIn();
    ASSERT_TRUE(client.Send({kGet + kGet}));  // two requests, one record
    EXPECT_EQ(client.Answers(2), (std::vector<std::string>{"HTTP/1.1 200 OK", "HTTP/1.1 200 OK"}));
    EXPECT_EQ(client.RecordsIn() - before, 2);

    before = client.RecordsIn();
    // Three records in one segment: the server reads ahead past the first.
    const std::string post = "POST /elsewhere HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 4\r\n\r\n";
    ASSERT_TRUE(client.Send({kGet, post, "body", kGet}, true));
    EXPECT_EQ(client.Answers(3),
              (std::vector<std::string>{"HTTP/1.1 200 OK", "HTTP/1.1 404 Not Found", "HTTP/1.1 200 OK"}));
    EXPECT_EQ(client.RecordsIn() - before, 3);
    EXPECT_TRUE(client.Pending().empty());
    EXPECT_EQ(processor->Handshakes().completed, 1);
}

// A client that waits for "100 Continue" before its body gets it: what the
// server wrote is sent before it waits to read.
TEST_F(ProcessorTlsTest, AContinueReachesAClientThatWaitsForItBeforeItsBody) {
    TlsClient client(processor->Port());
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send({"POST /elsewhere HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\n"
                             "Content-Length: 5\r\n\r\n"}));
    ASSERT_TRUE(client.ReadUntil("HTTP/1.1 100 Continue\r\n\r\n")) << client.Pending();
    ASSERT_TRUE(client.Send({"hello"}));
    ASSERT_TRUE(client.ReadUntil("Not Found")) << client.Pending();
}

// A client that goes away with a request half sent, and one that closes
// between requests, leave the server serving the next.
TEST_F(ProcessorTlsTest, ClientsThatGoAwayLeaveTheServerServing) {
    {
        TlsClient gone(processor->Port());
        ASSERT_TRUE(gone.Connected());
        ASSERT_TRUE(gone.Send({"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\nshort"}));
    }
    {
        TlsClient done(processor->Port());
        ASSERT_TRUE(done.Connected());
        ASSERT_TRUE(done.Send({kGet}));
        ASSERT_EQ(done.Answers(1).size(), 1u);
    }
    TlsClient next(processor->Port());
    ASSERT_TRUE(next.Connected());
    ASSERT_TRUE(next.Send({kGet}));
    EXPECT_EQ(next.Answers(1), std::vector<std::string>{"HTTP/1.1 200 OK"});
}

}  // namespace
