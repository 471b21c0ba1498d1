// WinINet over HTTPS under Wine: the CA trusted in the Windows store, what
// is refused, and where a secure notice may be redirected.
#include "windows/wine_support.h"

using namespace winetest;

namespace {


// A CA the Windows store trusts for the test, with a certificate for
// localhost: under Wine a certificate's IP address entries are not matched,
// so processors are reached by that name. Another CA's certificate it does
// not trust.
class WineTlsTest : public WineTest {
protected:
    void SetUp() override {
        WineTest::SetUp();
        dir = MakeTempDir("wine-tls");
        ca = std::make_unique<tarnsim::CertificateAuthority>("TARN test CA", dir + "/ca.pem");
        tarnsim::CertificateAuthority stranger("Unknown CA", dir + "/stranger.pem");
        ASSERT_TRUE(ca->Issue({"localhost"}, dir + "/good.pem", dir + "/good.key") &&
                    stranger.Issue({"localhost"}, dir + "/untrusted.pem", dir + "/untrusted.key"))
            << ca->Problem() << stranger.Problem();
        root = std::make_unique<TrustedRoot>(*ca, dir);
        ASSERT_TRUE(root->Added());
        processorHost = "localhost";
    }
    void TearDown() override {
        root.reset();
        fs::remove_all(dir);
        WineTest::TearDown();
    }
    // Serves HTTPS with the certificate `name`.
    void Tls(tarnsim::ProcessorOptions& o, const std::string& name = "good") const {
        o.tlsCert = dir + "/" + name + ".pem";
        o.tlsKey = dir + "/" + name + ".key";
    }
    // Notices over HTTPS to the processor on `port`; the CA file is the
    // Linux task's (the Windows task says it does not use it).
    void PrepareSecure(int port, const std::string& authType) {
        Prepare(port, authType);
        emu::SetIniVariable("TARN_HTTP_Secure", "1");
        emu::SetIniVariable("TARN_HTTP_CAFile", ca->CertFile());
    }
    // TARN.Notices.Delivered, the sum of every task of the data directory.
    static long Delivered() {
        const Strings stat = emu::ShowStat("TARN.Notices.Delivered");
        return stat.empty() ? 0 : atol(stat[0].substr(stat[0].find('=') + 1).c_str());
    }
    std::string dir;
    std::unique_ptr<tarnsim::CertificateAuthority> ca;
    std::unique_ptr<TrustedRoot> root;
};

// Basic answered once with the CA trusted in the Windows store; a
// certificate from a CA it does not know, and a processor serving plain
// HTTP, refused with nothing sent and the error named (its number where
// WinINet has no text for it).
TEST_F(WineTlsTest, BasicOverHttpsWithTheCaTrustedAnUnknownCaAndAPlainPortRefused) {
    for (const std::string name : {"good", "untrusted", "plain"}) {
        SCOPED_TRACE(name);
        tarnsim::Processor processor(Options([&](auto& o) {
            o.auth = AuthMode::Basic;
            o.password = kPassword;
            if (name != "plain") Tls(o, name);
        }));
        ASSERT_TRUE(processor.Start());
        PrepareSecure(processor.Port(), "Basic");
        const std::string host = "localhost:" + std::to_string(processor.Port());
        const bool good = name == "good";
        Strings lines = BannerLines(
            SaveOne(Platform::Windows, good ? std::function<bool()>([&] { return !processor.AcceptedNotices().empty(); })
                                            : OnceMore("TLS: "))
                .out);
        EXPECT_EQ(Count(lines, P + "openHTTPConnection. Notices go over HTTPS to " + host + " (TARN_HTTP_Secure=1)"), 1);
        EXPECT_EQ(Count(lines, P + "TARN_HTTP_CAFile is not used on Windows: the processor's certificate is checked "
                                   "against the Windows certificate store"),
                  1);
        if (good) {
            EXPECT_EQ(CountWith(lines, {"Failed"}), 0) << PrintToString(lines);
            EXPECT_EQ(Count(lines, P + "TARNDomToTN::SendToProcessor. Set username and password"), 1);
            auto got = processor.BasicAttempts();
            ASSERT_FALSE(got.empty());
            EXPECT_TRUE(got.back().ok);
            EXPECT_EQ(got.back().password, kPassword);
        } else {
            if (name == "plain")
                EXPECT_EQ(CountWith(lines, {P + "TLS: the handshake with processor host " + host + " failed: "}), 1)
                    << PrintToString(lines);
            else  // WinINet answers a chain it cannot complete as a failed revocation check.
                EXPECT_EQ(Count(lines, P + "TLS: the certificate of processor host " + host +
                                           " is not trusted (no trusted CA issued it), or its revocation could not "
                                           "be checked"),
                          1)
                    << PrintToString(lines);
            EXPECT_EQ(CountWith(lines, {"HttpSendRequest Failed: "}), 1);
            const std::string number = name == "plain" ? "12157" : "12057";
            EXPECT_EQ(CountWith(lines, {"Unknown Error"}), CountWith(lines, {"Unknown Error (" + number + ")"}))
                << PrintToString(lines);
            EXPECT_TRUE(processor.Notices().empty());
            EXPECT_TRUE(processor.BasicAttempts().empty());
        }
        processor.Stop();
        ClearRound();
    }
}


// A secure notice answered by a redirect is followed only to https. To plain
// HTTP it is refused before a byte goes there, whatever the plain address
// would ask for, and it is not counted delivered.
TEST_F(WineTlsTest, ARedirectIsFollowedOnlyToHttps) {
    for (const RedirectCase& c : RedirectCases()) {
        SCOPED_TRACE(c.name);
        tarnsim::Processor target(Options([&](auto& o) {
            o.auth = c.asks;
            o.password = kPassword;
            if (c.secure) Tls(o);
        }));
        ASSERT_TRUE(target.Start());
        const std::string to = (c.secure ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(target.Port());
        tarnsim::Processor processor(Options([&](auto& o) {
            Tls(o);
            o.redirectTo = to;
        }));
        ASSERT_TRUE(processor.Start());
        PrepareSecure(processor.Port(), c.asks == AuthMode::Basic ? "Basic" : "None");
        const long delivered = Delivered();
        // Over once refused, or once the address redirected to took it.
        const auto refused = OnceMore("TLS: ");
        const Strings lines = BannerLines(
            SaveOne(Platform::Windows, [&] { return refused() || !target.AcceptedNotices().empty(); }).out);
        ExpectRedirectOutcome(c, lines, P, "localhost:" + std::to_string(processor.Port()), to, processor, target,
                              static_cast<uint64_t>(Delivered() - delivered));
        processor.Stop();
        target.Stop();
        ClearRound();
    }
}

// Secure notices on kept-alive connections, from either task: the
// handshakes are the connections', not the notices' (counted by the
// processor; each backend's figure is printed).
TEST_F(WineTlsTest, SecureNoticesReuseTheirConnections) {
    constexpr int kNotices = 200;
    std::string script;
    for (int i = 0; i < kNotices; ++i) script += "create a" + std::to_string(i) + " mail\\alice.nsf " + kAppointment + "\n";
    for (Platform p : {Platform::Linux, Platform::Windows}) {
        SCOPED_TRACE(Name(p));
        tarnsim::Processor processor(Options([&](auto& o) { Tls(o); }));
        ASSERT_TRUE(processor.Start());
        PrepareSecure(processor.Port(), "None");
        Task task(TaskPath(p, "nserver.exe"), dataDir);
        task.Feed(script + "wait\n");
        EXPECT_TRUE(processor.WaitForAccepted(kNotices, std::chrono::seconds(120)));
        Checked(p, task.Finish());
        const tarnsim::TlsHandshakes h = processor.Handshakes();
        printf("  %s: %d notices, %ld TLS handshakes (%ld resumed): %.1f per 1,000 notices\n", Name(p), kNotices,
               h.completed, h.resumed, 1000.0 * h.completed / kNotices);
        // At most one connection per worker (8), and a few more for
        // connections the server closed while idle.
        EXPECT_GE(h.completed, 1);
        EXPECT_LE(h.completed, 12);
        processor.Stop();
        ClearRound();
    }
}

}  // namespace
