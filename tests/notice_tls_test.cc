// Notices over HTTPS (TARN_HTTP_Secure=1) to the sample processor serving
// TLS with certificates made here: the three kinds of authentication, each
// certificate the client must refuse, and settings that cannot be used.
#include <filesystem>

#include "processor/certificates.h"
#include "support/processor_fixture.h"
#include "support/stats_support.h"

using namespace tarntest;
using tarnsim::AuthMode;

namespace {

constexpr char kPassword[] = "Pw-9f3kQz";

class NoticeTlsTest : public NoticeSessionTest {
protected:
    // One CA the task trusts, one it does not, and their server certificates.
    static void SetUpTestSuite() {
        dir = new std::string(MakeTempDir("tls"));
        tarnsim::CertificateAuthority ca("TARN test CA", *dir + "/ca.pem");
        tarnsim::CertificateAuthority stranger("Unknown CA", *dir + "/stranger-ca.pem");
        const bool ok = ca.Issue({"127.0.0.1", "localhost"}, *dir + "/good.pem", *dir + "/good.key") &&
                        ca.Issue({"other.example"}, *dir + "/other.pem", *dir + "/other.key") &&
                        ca.Issue({"127.0.0.1"}, *dir + "/expired.pem", *dir + "/expired.key", -30, -1) &&
                        stranger.Issue({"127.0.0.1"}, *dir + "/untrusted.pem", *dir + "/untrusted.key");
        ASSERT_TRUE(ok) << ca.Problem() << stranger.Problem();
    }
    static void TearDownTestSuite() {
        std::filesystem::remove_all(*dir);
        delete dir;
    }
    static inline std::string* dir = nullptr;

    // A processor serving HTTPS with certificate `name`, asking for `mode`.
    void ServeTls(const std::string& name, AuthMode mode) {
        Serve(Options([&](auto& o) {
            o.auth = mode;
            o.password = kPassword;
            o.tlsCert = *dir + "/" + name + ".pem";
            o.tlsKey = *dir + "/" + name + ".key";
        }));
    }
    // A task with TLS on, trusting the test CA.
    void ConfigureSecure(AuthMode mode) {
        emu::SetIniVariable("TARN_HTTP_Secure", "1");
        emu::SetIniVariable("TARN_HTTP_CAFile", *dir + "/ca.pem");
        Configure(mode, "tarn", kPassword);
    }
    std::string Host() const { return "127.0.0.1:" + std::to_string(processor->Port()); }
    static void ExpectNoPassword() {
        for (const auto& l : emu::ConsoleLines()) EXPECT_EQ(l.find(kPassword), std::string::npos) << l;
    }
};

TEST_F(NoticeTlsTest, NoneBasicAndSessionGoOverHttps) {
    for (AuthMode mode : {AuthMode::None, AuthMode::Basic, AuthMode::Session}) {
        SCOPED_TRACE(tarnsim::AuthModeName(mode));
        ServeTls("good", mode);
        ConfigureSecure(mode);
        Notice(47, 1);
        Notice(8, 2);
        Proc().SendRefreshConfigNotice();
        ASSERT_TRUE(Transport().WaitForNotices(10000));
        auto got = processor->AcceptedNotices();
        ASSERT_EQ(got.size(), 3u);
        EXPECT_TRUE(got[2].refresh);
        EXPECT_EQ(Count("openHTTPConnection. Notices go over HTTPS to " + Host() + " (TARN_HTTP_Secure=1)"), 1);
        EXPECT_FALSE(HasPrefix("HttpSendRequest Failed"));
        if (mode == AuthMode::Basic) {
            // Each notice's 401 answered once, with the right password.
            EXPECT_EQ(Count("TARNDomToTN::SendToProcessor. Set username and password"), 3);
            for (const auto& b : processor->BasicAttempts()) EXPECT_TRUE(b.ok);
        }
        if (mode == AuthMode::Session) {
            // One form login; its cookie carried the later notices.
            ASSERT_EQ(processor->Logins().size(), 1u);
            EXPECT_EQ(processor->Logins()[0].password, kPassword);
            EXPECT_EQ(Count("TARNDomToTN::SendToProcessor. Session login"), 1);
        }
        ExpectNoPassword();
    }
}

TEST_F(NoticeTlsTest, RefusedCertificatesAndAPlainProcessorReachNoHandler) {
    struct Case {
        std::string cert;  // empty: a plain-HTTP processor
        std::string line;  // the line after "TLS: "
    };
    const Case cases[] = {
        {"untrusted", "the certificate of processor host %s is not trusted (no trusted CA issued it)"},
        {"other", "the certificate of processor host %s is made out to another host name"},
        {"expired", "the certificate of processor host %s has expired or is not yet valid"},
        {"", "the handshake with processor host %s failed: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cert.empty() ? "plain" : c.cert);
        // A processor asking for Basic: the credentials must not go out.
        if (c.cert.empty())
            Serve(Options([&](auto& o) { o.auth = AuthMode::Basic; }));
        else
            ServeTls(c.cert, AuthMode::Basic);
        ConfigureSecure(AuthMode::Basic);
        Notice(47, 1);
        std::string line = c.line;
        line.replace(line.find("%s"), 2, Host());
        if (c.cert.empty()) {
            // The client's own words follow; plain HTTP is never tried instead.
            EXPECT_TRUE(HasPrefix("TLS: " + line)) << ::testing::PrintToString(emu::ConsoleLines());
        } else {
            EXPECT_EQ(Count("TLS: " + line), 1) << ::testing::PrintToString(emu::ConsoleLines());
        }
        EXPECT_TRUE(HasPrefix("HttpSendRequest Failed: "));
        EXPECT_TRUE(processor->Notices().empty());
        EXPECT_TRUE(processor->BasicAttempts().empty());
        ExpectNoPassword();
    }
}

// A secure notice answered by a redirect is followed only to https. To plain
// HTTP it is refused before a byte goes there, whatever the plain address
// would ask for, and it is not counted delivered.
TEST_F(NoticeTlsTest, ARedirectIsFollowedOnlyToHttps) {
    for (const RedirectCase& c : RedirectCases()) {
        SCOPED_TRACE(c.name);
        tarnsim::Processor target(Options([&](auto& o) {
            o.auth = c.asks;
            o.password = kPassword;
            if (c.secure) o.tlsCert = *dir + "/good.pem", o.tlsKey = *dir + "/good.key";
        }));
        ASSERT_TRUE(target.Start());
        const std::string to = (c.secure ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(target.Port());
        Serve(Options([&](auto& o) {
            o.tlsCert = *dir + "/good.pem";
            o.tlsKey = *dir + "/good.key";
            o.redirectTo = to;
        }));
        ConfigureSecure(c.asks);
        const FigureSnapshot before;
        Notice(47, 1);
        const Moved moved = before.Since();
        ExpectRedirectOutcome(c, emu::ConsoleLines(), P, Host(), to, *processor, target,
                              moved.count("Notices.Delivered") ? moved.at("Notices.Delivered") : 0);
        if (!c.secure) {
            EXPECT_EQ(Count("HttpSendRequest Failed: The server redirected a secure request to a non-secure address"), 1);
            EXPECT_EQ(moved, (Moved{{"Notices.Sent", 1}, {"Notices.Failed.Transport", 1}}));
        }
        ExpectNoPassword();
        target.Stop();
    }
}

TEST_F(NoticeTlsTest, UnusableSettingsSendNothingUntilMended) {
    ServeTls("good", AuthMode::None);
    const std::string missing = *dir + "/missing.pem";
    struct Case {
        std::string secure, caFile, line;
    };
    const std::string notBinary =
        " is not 0 or 1; no notice is sent until it is mended (a secure setting never falls back to plain HTTP)";
    const Case cases[] = {
        {"yes", "", "TARN_HTTP_Secure=yes" + notBinary},
        {"", "", "TARN_HTTP_Secure=" + notBinary},
        {"1", missing,
         "TARN_HTTP_CAFile=" + missing + " cannot be read (No such file or directory); no notice is sent until it is "
                                         "mended"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.secure + " " + c.caFile);
        Configure(AuthMode::None);
        emu::SetIniVariable("TARN_HTTP_Secure", c.secure);
        if (!c.caFile.empty()) emu::SetIniVariable("TARN_HTTP_CAFile", c.caFile);
        // Said again at each try, as any failed connection is.
        EXPECT_FALSE(Send(1));
        EXPECT_FALSE(Send(2));
        Proc().SendRefreshConfigNotice();
        EXPECT_EQ(Count(c.line), 3);
        EXPECT_EQ(Count("InternetConnect Failed"), 1);
        emu::RemoveIniVariable("TARN_HTTP_CAFile");
    }
    EXPECT_TRUE(processor->Notices().empty());

    // Mended: the next notice goes out, over HTTPS.
    emu::SetIniVariable("TARN_HTTP_Secure", " 1 ");
    emu::SetIniVariable("TARN_HTTP_CAFile", *dir + "/ca.pem");
    EXPECT_TRUE(Notice(47, 3));
    EXPECT_EQ(processor->AcceptedNotices().size(), 1u);

    // A CA file without TLS is said to be unused, not taken for TLS.
    Start(AuthMode::None);
    emu::SetIniVariable("TARN_HTTP_Secure", "0");
    EXPECT_TRUE(Notice(47, 4));
    EXPECT_EQ(Count("TARN_HTTP_CAFile is set but TARN_HTTP_Secure is not 1: notices go over plain HTTP"), 1);
    EXPECT_EQ(processor->AcceptedNotices().size(), 1u);
}

}  // namespace
