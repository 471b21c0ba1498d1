// The HTTP client against the sample processor over loopback.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "support/processor_fixture.h"
#include "transport/connection.h"
#include "transport/http_curl_head.h"
#include "transport/www_authenticate.h"

using namespace tarn::http;
using tarnsim::AuthMode;
using tarnsim::FailMode;
using tarnsim::ProcessorOptions;
using namespace tarntest;

namespace {

bool SetCredentials(const RequestHandle& r, const std::string& user, const std::string& password) {
    // Lengths counting the terminator, as the add-in passes them.
    return SetRequestOption(r, kOptionUsername, user.c_str(), static_cast<uint32_t>(user.size() + 1)) &&
           SetRequestOption(r, kOptionPassword, password.c_str(), static_cast<uint32_t>(password.size() + 1));
}

// Names with every byte a form or an Authorization header could mangle.
const std::string kOddUser = "Dom User&x=1+2%41 \xc3\xbc\xfc";
const std::string kOddPassword = "p&ss=w+rd%2 0 \xe9\xc3\xa9:";

}  // namespace

class HttpClientTest : public ProcessorTest {
protected:
    // A form login on the test's connection; null when it could not be sent.
    RequestHandle Login(const std::string& body, const char* headers = nullptr) {
        RequestHandle login = OpenRequest(connection, "POST", tarnsim::kLoginPath, kFlagsReloadKeepAlive);
        if (login && !SendRequest(login, headers, body.data(), body.size())) CloseHandle(login);
        return login;
    }
};

TEST_F(HttpClientTest, GetReadsTheBodyInPiecesAndTheProcessorRecordsTheNotice) {
    ProcessorOptions o;
    o.replyBody.clear();
    for (int i = 0; i < 20000; ++i) o.replyBody += static_cast<char>('a' + i % 26);
    StartProcessor(o);

    // No leading '/', as a configured "servlet/dts" gives.
    RequestHandle r = Get(NoticeAddress("servlet/dts", "Change", 0x8F6));
    ASSERT_TRUE(r);
    uint32_t status = 0;
    EXPECT_FALSE(QueryInfo(r, kQueryStatusCodeNumber, status));  // nothing sent yet
    EXPECT_EQ(status, 0u);
    ASSERT_TRUE(SendRequest(r));
    EXPECT_EQ(StatusOf(r), 200u);
    std::vector<uint32_t> sizes;
    EXPECT_EQ(ReadBody(r, 8191, &sizes), o.replyBody);
    EXPECT_EQ(sizes, (std::vector<uint32_t>{8191, 8191, 3618, 0}));
    uint32_t n = 7;
    char c;
    EXPECT_TRUE(ReadFile(r, &c, 1, n));  // stays at the end
    EXPECT_EQ(n, 0u);

    auto notices = processor->Notices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].action, "Change");
    EXPECT_EQ(notices[0].qnoteid, "000008F6");
    EXPECT_TRUE(notices[0].tokenOk);
    EXPECT_TRUE(notices[0].accepted);
    EXPECT_EQ(notices[0].acceptedUnder, "none");

    // A refresh notice carries no token, and the lookup hook (which hands
    // transaction notices to the outbox) never sees it.
    processor->SetLookup([](const std::string& id) { return "note " + id; });
    ASSERT_TRUE(SendRequest(Get("/servlet/dts?action=refreshconfig")));
    notices = processor->Notices();
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_TRUE(notices[1].refresh);
    EXPECT_FALSE(notices[1].tokenOk);
    EXPECT_EQ(notices[1].lookup, "");
}

TEST_F(HttpClientTest, BasicCredentialsGoOutOnlyOnTheSendAfterTheyWereSet) {
    StartProcessor(Options([&](auto& o) { o.auth = AuthMode::Basic; o.user = kOddUser; o.password = kOddPassword; }));

    RequestHandle r = Get(Notice(1));
    ASSERT_TRUE(SendRequest(r));
    EXPECT_EQ(StatusOf(r), 401u);
    EXPECT_TRUE(processor->BasicAttempts().empty());  // nothing offered unasked

    ASSERT_TRUE(SetCredentials(r, kOddUser, kOddPassword));
    ASSERT_TRUE(SendRequest(r));  // same request, sent again
    EXPECT_EQ(StatusOf(r), 200u);
    auto attempts = processor->BasicAttempts();
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(attempts[0].user, kOddUser);
    EXPECT_EQ(attempts[0].password, kOddPassword);
    auto accepted = processor->AcceptedNotices();
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_EQ(accepted[0].acceptedUnder, "basic");

    // Credentials belong to the request they were set on, even when the
    // next request reuses what the closed one left behind.
    CloseHandle(r);
    EXPECT_FALSE(r);
    RequestHandle fresh = Get(Notice(2));
    ASSERT_TRUE(SendRequest(fresh));
    EXPECT_EQ(StatusOf(fresh), 401u);
}

TEST_F(HttpClientTest, FormLoginFollowsTheRedirectAndItsCookieServesTheWholeSession) {
    StartProcessor(Options([&](auto& o) { o.auth = AuthMode::Session; o.user = kOddUser; o.password = kOddPassword; }));

    RequestHandle r = Get(Notice(1));
    ASSERT_TRUE(SendRequest(r));
    EXPECT_EQ(StatusOf(r), 200u);
    EXPECT_NE(ReadBody(r, 8191).find(tarnsim::kLoginPath), std::string::npos);

    std::string body = "username=" + tarnsim::FormEncode(kOddUser) + "&password=" +
                       tarnsim::FormEncode(kOddPassword) + "&redirectto=/";
    RequestHandle login = Login(body, "Content-Type: application/x-www-form-urlencoded\r\n");
    ASSERT_TRUE(login);
    EXPECT_EQ(StatusOf(login), 200u);  // the page the 302 led to
    EXPECT_NE(ReadBody(login, 8191).find("sample transaction processor"), std::string::npos);
    auto logins = processor->Logins();
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_TRUE(logins[0].ok);
    EXPECT_EQ(logins[0].status, 302);
    EXPECT_EQ(logins[0].rawBody, body);
    EXPECT_EQ(logins[0].contentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(logins[0].username, kOddUser);
    EXPECT_EQ(logins[0].password, kOddPassword);

    // A new request, and a new connection of the same session, carry it.
    RequestHandle again = Get(Notice(1));
    ASSERT_TRUE(SendRequest(again));
    ConnectionHandle second = Connect(session);
    RequestHandle other = Get(Notice(2), second);
    ASSERT_TRUE(SendRequest(other));
    auto accepted = processor->AcceptedNotices();
    ASSERT_EQ(accepted.size(), 2u);
    EXPECT_EQ(accepted[0].acceptedUnder, "session");
    EXPECT_EQ(accepted[1].qnoteid, "00000002");

    // Another session has cookies of its own.
    SessionHandle stranger = OpenSession("Brackwater TARN");
    RequestHandle theirs = Get(Notice(3), Connect(stranger));
    ASSERT_TRUE(SendRequest(theirs));
    EXPECT_NE(ReadBody(theirs, 8191).find(tarnsim::kLoginPath), std::string::npos);
    EXPECT_EQ(processor->AcceptedNotices().size(), 2u);
}

TEST_F(HttpClientTest, DroppedConnectionFailsTheSendAndTheRequestCanBeSentAgain) {
    StartProcessor();
    processor->SetMode(FailMode::Close);
    RequestHandle r = Get(Notice(1));
    EXPECT_FALSE(SendRequest(r));
    EXPECT_EQ(LastError(), kErrorConnectionAborted);
    EXPECT_EQ(ErrorText(LastError()), "The connection with the server was terminated abnormally");
    uint32_t status = 0;
    EXPECT_FALSE(QueryInfo(r, kQueryStatusCodeNumber, status));
    EXPECT_EQ(status, 0u);
    ASSERT_EQ(processor->Notices().size(), 1u);
    EXPECT_EQ(processor->Notices()[0].status, 0);

    processor->SetMode(FailMode::Normal);
    ASSERT_TRUE(SendRequest(r));
    EXPECT_EQ(StatusOf(r), 200u);
}

TEST_F(HttpClientTest, HungProcessorTimesOutWithinTheReceiveTimeout) {
    StartProcessor(Options([&](auto& o) { o.mode = FailMode::Hang; o.hangLimit = std::chrono::seconds(20); }));
    ASSERT_TRUE(SetSessionOption(session, kOptionReceiveTimeout, 1000));
    RequestHandle r = Get(Notice(1));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(SendRequest(r));  // the processor holds it for 20 s: the time-out ends it
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(LastError(), kErrorTimeout);
    EXPECT_EQ(ErrorText(kErrorTimeout), "The operation timed out");
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_EQ(StatusOf(r), 0u);
}

TEST(HttpClient, ProcessorDownOrBadArgumentsFailWithTheirErrorNumbers) {
    SessionHandle s = OpenSession("Brackwater TARN");
    ASSERT_TRUE(s);
    ConnectionHandle c = OpenConnection(s, "127.0.0.1", UnusedLoopbackPort());
    ASSERT_TRUE(c);  // no traffic yet, so no failure yet
    RequestHandle r = OpenRequest(c, "GET", "/servlet/dts?action=refreshconfig", kFlagsReloadKeepAlive);
    ASSERT_TRUE(r);
    EXPECT_FALSE(SendRequest(r));
    EXPECT_EQ(LastError(), kErrorCannotConnect);
    EXPECT_EQ(ErrorText(LastError()), "A connection with the server could not be established");
    EXPECT_EQ(StatusOf(r), 0u);

    // The error number is the failing thread's own.
    uint32_t elsewhere = 1;
    std::thread([&] { elsewhere = LastError(); }).join();
    EXPECT_EQ(elsewhere, 0u);

    // Bad arguments are refused with an error number.
    EXPECT_FALSE(SendRequest(nullptr));
    EXPECT_EQ(LastError(), kErrorInvalidHandle);
    EXPECT_FALSE(OpenConnection(nullptr, "127.0.0.1", 80));
    EXPECT_EQ(LastError(), kErrorInvalidHandle);
    EXPECT_FALSE(OpenConnection(s, "evil.example/x?", 80));
    EXPECT_EQ(LastError(), kErrorInvalidUrl);
    EXPECT_FALSE(SetSessionOption(s, kOptionReceiveTimeout, 0));
    EXPECT_FALSE(SetSessionOption(s, 12345, 10));
    c = OpenConnection(s, "127.0.0.1", 0);
    // Unknown flags are refused, among them WinINet's relaxations of the
    // TLS checks (ignore a wrong name, an expired date).
    for (uint32_t relax : {0x00001000u, 0x00002000u}) {
        EXPECT_FALSE(OpenRequest(c, "GET", "/", kFlagSecure | relax));
        EXPECT_EQ(LastError(), kErrorInvalidParameter);
    }
    r = OpenRequest(c, "GET", "/", kFlagsReloadKeepAlive);
    EXPECT_FALSE(SetRequestOption(r, 31, "x", 2));
    EXPECT_EQ(LastError(), kErrorBadOption);
    uint32_t v = 0;
    EXPECT_FALSE(QueryInfo(r, 0x13, v));  // text form not offered

    EXPECT_EQ(ErrorText(0), "");
    EXPECT_EQ(ErrorText(4242), "");
    EXPECT_NE(ErrorText(kErrorNameNotResolved), "");
}

TEST(WwwAuthenticateTest, BasicIsFoundOnlyAsAChallengesScheme) {
    struct Case {
        const char* value;
        bool basic;
    };
    for (const Case& c : {Case{"Basic", true}, Case{"  basic realm=x", true}, Case{"BASIC", true},
                          Case{"NTLM, basic realm=x", true}, Case{"Negotiate,Basic", true},
                          Case{"Digest realm=\"a\\\"b, Basic\", qop=auth, Basic realm=y", true},
                          Case{"", false}, Case{",,, ", false}, Case{"Negotiate", false},
                          Case{"Negotiate, NTLM", false}, Case{"Basics", false}, Case{"Basic=1", false},
                          Case{"Digest realm=\"basic, Basic\", qop=\"auth\"", false},
                          Case{"Bearer realm=\"x\", basicly=1", false}, Case{"Bearer basic = 1", false},
                          Case{"Digest realm=\"unterminated, Basic", false}}) {
        EXPECT_EQ(tarn::http::OffersBasic(c.value, strlen(c.value)), c.basic) << c.value;
    }
    // The length bounds the read: no terminator needed, and none looked for.
    const char cut[] = {'B', 'a', 's', 'i', 'c', 's'};
    EXPECT_TRUE(tarn::http::OffersBasic(cut, 5));
    EXPECT_FALSE(tarn::http::OffersBasic(cut, 4));
}

// A header line is read within its length: one of none ends no head, even
// where the byte after it would, and so stops no transfer.
TEST(AnswerHeadTest, ALineIsReadWithinItsLength) {
    tarn::http::AnswerHead head;
    auto line = [&](const char* text, size_t n) { return tarn::http::ReadHeaderLine(text, n, true, true, head); };
    ASSERT_TRUE(line("HTTP/1.1 302 Found\r\n", 20));
    ASSERT_TRUE(line("Location: http://elsewhere/\r\n", 29));
    EXPECT_TRUE(line("\r\n", 0));
    EXPECT_TRUE(head.inHead);
    EXPECT_EQ(head.refusedLocation, "");
    EXPECT_FALSE(line("\r\n", 2));  // the head's real end: not followed off HTTPS
    EXPECT_EQ(head.refusedLocation, " http://elsewhere/");  // as the line gave it, blanks and all
}

// The other two numbers of Notes.ini: digits between spaces and tabs, and
// nothing else (no sign, no other white space, no word for on or off).
TEST(NotesIniValues, WorkersAndSecureAreTheirDigitsBetweenBlanks) {
    struct Case {
        const char* text;
        int workers;  // 0: refused
    };
    for (const Case& c : {Case{" 8\t", 8}, Case{"1", 1}, Case{"064", 64}, Case{"0", 0}, Case{"65", 0},
                          Case{"+8", 0}, Case{"-1", 0}, Case{"\n8", 0}, Case{"8\n", 0}, Case{"", 0}, Case{"8 8", 0},
                          Case{"99999999999999999999", 0}}) {
        int workers = 5;
        EXPECT_EQ(ParseHttpWorkers(c.text, workers), c.workers != 0) << c.text;
        EXPECT_EQ(workers, c.workers ? c.workers : 5) << c.text;
    }
    for (const char* bad : {"yes", "on", "true", "01", "1 1", "", "\v1"}) {
        bool secure = true;
        EXPECT_FALSE(ParseHttpSecure(bad, secure)) << bad;
        EXPECT_TRUE(secure) << bad;
    }
    bool secure = true;
    EXPECT_TRUE(ParseHttpSecure("\t0 ", secure));
    EXPECT_FALSE(secure);
}

TEST_F(HttpClientTest, AbortEndsTransfersInProgressAndRefusesLaterOnes) {
    StartProcessor(Options([&](auto& o) { o.mode = FailMode::Hang; }));
    std::vector<std::thread> senders;
    std::atomic<int> cancelled{0};
    for (int i = 0; i < 4; ++i)
        senders.emplace_back([&, i] {
            RequestHandle r = Get(Notice(static_cast<uint32_t>(i)));
            if (!SendRequest(r) && LastError() == kErrorOperationCancelled) ++cancelled;
        });
    // All four are held by the processor before the abort.
    ASSERT_TRUE(WaitUntil([&] { return processor->Notices().size() == 4; }, std::chrono::seconds(30)));
    AbortSession(session);
    for (auto& t : senders) t.join();
    EXPECT_EQ(cancelled.load(), 4);
    RequestHandle later = Get(Notice(9));
    EXPECT_FALSE(SendRequest(later));
    EXPECT_EQ(LastError(), kErrorOperationCancelled);
    EXPECT_EQ(processor->Notices().size(), 4u);
}
