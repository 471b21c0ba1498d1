// Notices from the add-in's processor to the sample transaction processor,
// over real loopback HTTP.
#include <set>

#include "support/processor_fixture.h"
#include "support/stats_support.h"
#include "transport/connection.h"
#include "transport/worker_pool.h"

using namespace tarntest;
using Strings = std::vector<std::string>;
using tarnsim::AuthMode;

namespace {

class NoticeTest : public NoticeSessionTest {};

TEST_F(NoticeTest, AddressesNameTheActionTheQueueNoteAndTheToken) {
    Start(AuthMode::None);
    EXPECT_TRUE(Notice(47, 0x8F6));
    EXPECT_TRUE(Notice(8, 0xFFFFFFFF));
    EXPECT_TRUE(Notice(24, 1));
    auto got = processor->AcceptedNotices();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].target, "/servlet/dts?action=Change&qnoteid=000008F6&id=Kq7Wm2Rx9Tb4Lz8Vn3Hc6Pd1Fs5Jg0Ye");
    EXPECT_EQ(got[1].action, "Delete");
    EXPECT_EQ(got[1].qnoteid, "FFFFFFFF");
    EXPECT_EQ(got[2].action, "Change");
    for (const auto& n : got) EXPECT_TRUE(n.tokenOk);
    // 200: one Begin and one Resend a notice, nothing more.
    EXPECT_EQ(Count("TARNDomToTN::SendToProcessor. Begin"), 3);
    EXPECT_EQ(Count("TARNDomToTN::SendToProcessor. Resend"), 3);
    EXPECT_EQ(Count("Debug: None: tarn: ********:"), 3);  // never the password itself

    emu::ClearConsole();
    Proc().SendRefreshConfigNotice();
    ASSERT_TRUE(Transport().WaitForNotices(10000));
    got = processor->AcceptedNotices();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[3].target, "/servlet/dts?action=refreshconfig");
    EXPECT_TRUE(got[3].refresh);
    EXPECT_EQ(Count("/servlet/dts?action=refreshconfig"), 1);

    // An empty url: said once by each load, and nothing is sent (a web
    // server's 200 for "/?action=..." would pass for a delivery).
    Start(AuthMode::None, "tarn", "", "");
    ASSERT_TRUE(session->GetConfig()->Load());
    EXPECT_EQ(Count("ERROR: Url_DomToTN is empty: no notice is sent until it is set (the queue notes stay for the "
                    "processor's sweep)"),
              1);
    FigureSnapshot before;
    EXPECT_FALSE(Notice(47, 2));
    Proc().SendRefreshConfigNotice();
    ASSERT_TRUE(Transport().WaitForNotices(10000));
    EXPECT_TRUE(processor->Notices().empty());
    EXPECT_EQ(before.Since(), Moved{});
}

TEST_F(NoticeTest, BasicIsAnsweredOnceWithTheConfiguredCredentialsAndOnlyWhenOffered) {
    Start(AuthMode::Basic);
    FigureSnapshot before;
    Notice(47, 1);
    EXPECT_EQ(before.Since(), (Moved{{"Notices.Sent", 1}, {"Notices.Delivered", 1}}));
    EXPECT_EQ(processor->AcceptedNotices().size(), 1u);
    EXPECT_EQ(processor->AcceptedNotices()[0].acceptedUnder, "basic");
    EXPECT_EQ(Count("TARNDomToTN::SendToProcessor. Set username and password"), 1);
    EXPECT_EQ(Count("TARNDomToTN::SendToProcessor. Resend"), 2);
    EXPECT_EQ(Count("Authentication Failed"), 0);

    Configure(AuthMode::Basic, "tarn", "wrong");
    before = FigureSnapshot();
    Notice(47, 2);
    EXPECT_EQ(processor->AcceptedNotices().size(), 1u);
    EXPECT_EQ(Count("Authentication Failed"), 1);
    EXPECT_EQ(before.Since(), (Moved{{"Notices.Sent", 1}, {"Notices.Failed.Authentication", 1}}));

    // A 401 with no credentials configured: nothing more is sent.
    Serve(Options([&](auto& o) { o.auth = AuthMode::Basic; }));
    Configure(AuthMode::None);
    before = FigureSnapshot();
    Notice(47, 1);
    EXPECT_EQ(Count("Authentication seems to be required but no login details specified"), 1);
    EXPECT_EQ(before.Since(), (Moved{{"Notices.Sent", 1}, {"Notices.Failed.Authentication", 1}}));
    EXPECT_EQ(processor->Notices().size(), 1u);

    // A challenge that does not offer Basic is never answered with it; not
    // the wrong-password line: the credentials never went out.
    Serve(Options([&](auto& o) { o.auth = AuthMode::Basic; o.challenge = "Negotiate, NTLM"; }));
    Configure(AuthMode::Basic);
    Notice(47, 1);
    EXPECT_TRUE(processor->BasicAttempts().empty());
    EXPECT_EQ(Count("Authentication not possible: the processor asks for no scheme the add-in answers (Basic)"), 1);
    EXPECT_EQ(Count("Authentication Failed"), 0);
    EXPECT_TRUE(processor->AcceptedNotices().empty());
}

TEST_F(NoticeTest, SessionLoginIsKeptForLaterNoticesAndCarriesTheCredentialsIntact) {
    Start(AuthMode::Session);
    const FigureSnapshot before;
    Notice(47, 1);
    EXPECT_EQ(before.Since(), (Moved{{"Notices.Sent", 1}, {"Notices.Delivered", 1}, {"Notices.Logins", 1}}));
    ASSERT_EQ(processor->Logins().size(), 1u);
    EXPECT_TRUE(processor->Logins()[0].ok);
    EXPECT_EQ(processor->Logins()[0].rawBody, "username=tarn&password=secret&redirectto=/");
    EXPECT_EQ(processor->Logins()[0].contentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(Count("TARNDomToTN::SendToProcessor. Session login"), 1);
    EXPECT_EQ(Count("TARNDomToTN::PerformSessionLogin - return status: 200"), 1);
    EXPECT_EQ(Count("TARNDomToTN::SendToProcessor. Begin"), 2);
    // The next notice of the task carries the cookie: no second login.
    Notice(8, 2);
    EXPECT_EQ(processor->Logins().size(), 1u);
    auto got = processor->AcceptedNotices();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].acceptedUnder, "session");

    // Credentials with every byte a form could mangle arrive intact.
    const std::string user = "Ann & Bob=1+%x \xC3\xA9", password = "p&w=d +%25";
    Serve(Options([&](auto& o) { o.auth = AuthMode::Session; o.user = user; o.password = password; }));
    Configure(AuthMode::Session, user, password);
    Notice(47, 1);
    ASSERT_EQ(processor->Logins().size(), 1u);
    EXPECT_EQ(processor->Logins()[0].username, user);
    EXPECT_EQ(processor->Logins()[0].password, password);
    EXPECT_TRUE(processor->Logins()[0].ok);
    EXPECT_EQ(processor->AcceptedNotices().size(), 1u);
}

TEST_F(NoticeTest, AFailedLoginFailsTheNoticeWhetherTheFormOrAnErrorComesBack) {
    for (int status : {200, 401}) {
        SCOPED_TRACE(status);
        Serve(Options([&](auto& o) { o.auth = AuthMode::Session; o.loginFailureStatus = status; }));
        Configure(AuthMode::Session, "tarn", "wrong");
        const FigureSnapshot before;
        Notice(47, 1);
        EXPECT_EQ(before.Since(),
                  (Moved{{"Notices.Sent", 1}, {"Notices.Logins", 1}, {"Notices.Failed.Authentication", 1}}));
        if (status == 200) {
            EXPECT_EQ(Count("Session Authentication failed"), 1);
        } else {
            EXPECT_EQ(Count("TARNDomToTN::PerformSessionLogin - return status: 401"), 1);
            EXPECT_EQ(Count("Unable to login via Form Authentication"), 1);
        }
        EXPECT_TRUE(processor->AcceptedNotices().empty());
    }
}

TEST_F(NoticeTest, FailuresOfTheProcessorAreLoggedAndLaterNoticesTryAgain) {
    const uint16_t port = UnusedLoopbackPort();
    Configure(AuthMode::None, "tarn", "secret", 2, "/servlet/dts", port);
    const FigureSnapshot before;
    EXPECT_TRUE(Notice(47, 1));
    EXPECT_EQ(before.Since(), (Moved{{"Notices.Sent", 1}, {"Notices.Failed.Transport", 1}}));
    EXPECT_TRUE(HasPrefix("HttpSendRequest Failed: ")) << ::testing::PrintToString(emu::ConsoleLines());

    // The processor comes up on that port: the next notice gets through.
    Serve(Options([&](auto& o) { o.port = port; }));
    EXPECT_TRUE(Notice(47, 2));
    EXPECT_EQ(processor->AcceptedNotices().size(), 1u);

    for (auto mode : {tarnsim::FailMode::NotFound, tarnsim::FailMode::ServerError}) {
        emu::ClearConsole();
        processor->SetMode(mode);
        const FigureSnapshot before;
        Notice(47, 3);
        EXPECT_EQ(before.Since(), (Moved{{"Notices.Sent", 1}, {"Notices.Failed.Status", 1}}));
        EXPECT_EQ(Count("TARNDomToTN::SendToProcessor. Resend"), 1);
        EXPECT_FALSE(HasPrefix("HttpSendRequest Failed"));
    }
    emu::ClearConsole();
    processor->SetMode(tarnsim::FailMode::Hang);
    Notice(47, 4);
    EXPECT_TRUE(HasPrefix("HttpSendRequest Failed: "));
    processor->SetMode(tarnsim::FailMode::Close);
    emu::ClearConsole();
    Notice(47, 5);
    EXPECT_TRUE(HasPrefix("HttpSendRequest Failed: "));
}

TEST_F(NoticeTest, TheLoginMarkerIsLookedForInEachPieceByItself) {
    const std::string marker = "/names.nsf?Login";
    for (bool split : {true, false}) {
        SCOPED_TRACE(split ? "split across two pieces" : "within the first piece");
        // A server that asks for nothing, answering with a page that names the form.
        Serve(Options(
            [&](auto& o) { o.replyBody = std::string(split ? 8191 - 5 : 100, 'p') + marker + std::string(9000, 'q'); }));
        Configure(AuthMode::Session);
        Notice(47, 1);
        EXPECT_EQ(Count("TARNDomToTN::SendToProcessor. Session login"), split ? 0 : 1);
    }
}

TEST_F(NoticeTest, LargeAndEndlessRepliesToAcceptedNoticesAreNoFailures) {
    for (const auto& c : tarntest::LargeReplyCases()) {
        SCOPED_TRACE(c.name);
        Serve(c.options);
        Configure(c.mode);
        Notice(47, 1);
        EXPECT_EQ(processor->AcceptedNotices().size(), 1u);
        EXPECT_FALSE(HasPrefix("HttpSendRequest Failed")) << ::testing::PrintToString(emu::ConsoleLines());
        EXPECT_EQ(Count("TARNDomToTN::SendToProcessor. Session login"), 0);
    }
}

TEST_F(NoticeTest, TimeoutIsReadInSecondsOrMillisecondsAtEachConnection) {
    struct Case {
        const char* text;
        uint32_t ms;  // 0: refused
    };
    // The bounds either side, the units' spellings, and what is no number.
    for (const Case& c : {Case{" 30 S ", 30000}, Case{"1500 MS", 1500}, Case{"100ms", 100}, Case{"1", 1000},
                          Case{"600", 600000}, Case{"", 0}, Case{"0s", 0}, Case{"99ms", 0}, Case{"601", 0},
                          Case{"600001ms", 0}, Case{"1.5", 0}, Case{"-5", 0}, Case{"30 sec", 0}, Case{"ms", 0},
                          Case{"99999999999999999999999", 0}}) {
        uint32_t ms = 7;
        EXPECT_EQ(ParseHttpTimeout(c.text, ms), c.ms != 0) << c.text;
        EXPECT_EQ(ms, c.ms ? c.ms : 7u) << c.text;
    }

    Start(AuthMode::None);
    emu::SetIniVariable("TARN_HTTP_Timeout", "30");
    Notice(47, 1);
    Notice(47, 2);
    EXPECT_EQ(Count("openHTTPConnection. HTTP time-out: 30 s (TARN_HTTP_Timeout)"), 1);  // once, not per notice

    // A new session of the task reads it again.
    for (const char* bad : {"30 seconds", "0"}) {
        Configure(AuthMode::None);
        emu::SetIniVariable("TARN_HTTP_Timeout", bad);
        Notice(47, 3);
        EXPECT_EQ(Count(std::string("TARN_HTTP_Timeout=") + bad +
                        " is not a time-out from 1 to 600 seconds (or 100ms to 600000ms); using the defaults"),
                  1);
        EXPECT_EQ(Count("openHTTPConnection. HTTP time-outs: connect 10 s, send and receive 30 s (defaults)"), 1);
        EXPECT_EQ(processor->AcceptedNotices().back().qnoteid, "00000003");
    }
    emu::RemoveIniVariable("TARN_HTTP_Timeout");
    session->Reset();
    emu::ClearConsole();
    ASSERT_TRUE(session->Init("nserver.exe", "nserver.exe"));
    Notice(47, 4);
    EXPECT_EQ(Count("openHTTPConnection. HTTP time-outs: connect 10 s, send and receive 30 s (defaults)"), 1);
}

TEST_F(NoticeTest, WorkersStayWithinTheLimitAndEveryNoticeArrivesOnce) {
    for (const char* workers : {"", "3", "0"}) {
        SCOPED_TRACE(std::string("TARN_HTTP_Workers=") + workers);
        const size_t limit = std::string(workers) == "3" ? 3 : 8;
        // Every notice is held until the test lets go: once as many have
        // arrived as the limit allows, every worker is busy and no more may run.
        PlayedProcessor played;
        Configure(AuthMode::None, "tarn", "secret", 1, "/servlet/dts", played.Port());
        if (*workers)
            emu::SetIniVariable("TARN_HTTP_Workers", workers);
        else
            emu::RemoveIniVariable("TARN_HTTP_Workers");
        emu::ResetThreadCounts();
        constexpr size_t kNotices = 120;
        for (size_t i = 0; i < kNotices; ++i) EXPECT_TRUE(Send(static_cast<uint32_t>(i)));
        EXPECT_TRUE(played.WaitForArrived(limit));
        EXPECT_EQ(played.Arrived().size(), limit);
        EXPECT_LE(emu::Threads().threadsInited, limit);  // the workers' threads, as the host saw them
        played.Release();
        ASSERT_TRUE(Transport().WaitForNotices(30000));
        const auto arrived = played.Arrived();
        EXPECT_EQ(arrived.size(), kNotices);
        EXPECT_EQ(std::set<std::string>(arrived.begin(), arrived.end()).size(), kNotices);
        EXPECT_EQ(Count("TARN_HTTP_Workers=0 is not a number from 1 to 64; using 8"),
                  std::string(workers) == "0" ? 1 : 0);
        session->Reset();  // its kept-alive connections go before the processor does
    }
    emu::RemoveIniVariable("TARN_HTTP_Workers");
}

TEST_F(NoticeTest, AFullQueueRefusesTheNoticeAndTeardownCountsWhatWasAbandoned) {
    Serve(Options([&](auto& o) { o.mode = tarnsim::FailMode::Hang; o.hangLimit = std::chrono::seconds(60); }));
    Configure(AuthMode::None, "tarn", "secret", 1);
    emu::SetIniVariable("TARN_HTTP_Workers", "1");
    const int accepted = 1 + static_cast<int>(WorkerPool::kMaxWaiting);
    const FigureSnapshot before;
    for (int i = 0; i < accepted; ++i) ASSERT_TRUE(Send(static_cast<uint32_t>(i)));
    EXPECT_FALSE(Send(0xABCDEF));
    EXPECT_EQ(before.Since(), (Moved{{"Notices.Sent", static_cast<uint64_t>(accepted)}, {"Notices.Dropped.Full", 1}}));
    EXPECT_EQ(tarn::stats::Value(tarn::stats::Gauge::NoticesWaiting), static_cast<int64_t>(WorkerPool::kMaxWaiting));
    EXPECT_EQ(tarn::stats::Value(tarn::stats::Gauge::Workers), 1);
    EXPECT_EQ(emu::ConsoleLines(),
              Strings{P + "Notice for queue note 00ABCDEF not sent: 10000 notices already wait for the processor"});

    emu::ClearConsole();
    // The processor holds the exchange in flight for a minute: the teardown
    // stops it, and names it below, rather than waiting it out.
    session->Reset();
    EXPECT_EQ(emu::ConsoleLines(), Strings{P + "Teardown: 10001 notice(s) abandoned (10000 queued, 1 in flight)"});
    // The one in flight was aborted: a transport failure.
    EXPECT_EQ(before.Since().at("Notices.Dropped.Teardown"), WorkerPool::kMaxWaiting);
    EXPECT_EQ(before.Since().at("Notices.Failed.Transport"), 1u);
    EXPECT_EQ(tarn::stats::Value(tarn::stats::Gauge::NoticesWaiting), 0);
    emu::RemoveIniVariable("TARN_HTTP_Workers");
}

TEST_F(NoticeTest, WorkerLinesFollowTheLevelInForceWhenWritten) {
    // The first request (no credentials yet) is held until the level changed.
    PlayedProcessor played([](PlayedProcessor& p, size_t, const httplib::Request& req, httplib::Response& res) {
        if (!req.has_header("Authorization")) {
            p.Hold();
            res.status = 401;
            res.set_header("WWW-Authenticate", "Basic realm=\"TARN\"");
            return;
        }
        res.set_content("ok", "text/plain");
    });
    Configure(AuthMode::Basic, "tarn", "secret", 1, "/servlet/dts", played.Port());
    ASSERT_TRUE(Send(1));
    // "Begin" and the first "Resend" are behind the worker, the 401 ahead of it.
    ASSERT_TRUE(played.WaitForArrived(1));
    TARNSettings raised = session->GetConfig()->GetSettings();
    raised.logLevel = 2;
    session->GetConfig()->AdoptSettings(raised);
    played.Release();
    ASSERT_TRUE(Transport().WaitForNotices(10000));
    EXPECT_EQ(Count("TARNDomToTN::SendToProcessor. Begin"), 0);
    EXPECT_EQ(Count("TARNDomToTN::SendToProcessor. Set username and password"), 1);
    EXPECT_EQ(Count("TARNDomToTN::SendToProcessor. Resend"), 1);
    EXPECT_EQ(played.Answered(), 2u);
    session->Reset();  // its kept-alive connections go before the processor does
}

TEST_F(NoticeTest, NoNoticeWaitsBehindAHungExchangeWhileTheLimitAllowsAnother) {
    PlayedProcessor played([](PlayedProcessor& p, size_t index, const httplib::Request&, httplib::Response& res) {
        if (index == 0) p.Hold();
        res.set_content("ok", "text/plain");
    });
    Configure(AuthMode::None, "tarn", "secret", 1, "/servlet/dts", played.Port());
    emu::SetIniVariable("TARN_HTTP_Timeout", "600");  // the held exchange is never given up by the client
    ASSERT_TRUE(Send(1));
    ASSERT_TRUE(played.WaitForArrived(1));
    for (uint32_t id = 2; id <= 5; ++id) ASSERT_TRUE(Send(id));
    // Every later notice is answered while the first is still held.
    EXPECT_TRUE(played.WaitForAnswered(4));
    EXPECT_EQ(played.Answered(), 4u);
    played.Release();
    ASSERT_TRUE(Transport().WaitForNotices(30000));
    EXPECT_EQ(played.Answered(), 5u);
    EXPECT_EQ(emu::ConsoleLines(), Strings{});
    session->Reset();
}

TEST_F(NoticeTest, AnAnswerThatIsNoSuccessIsReportedAtLevelOne) {
    for (AuthMode auth : {AuthMode::None, AuthMode::Session}) {
        Start(auth, "tarn", "secret", "/servlet/dts", 1);
        for (auto [mode, status] : {std::pair{tarnsim::FailMode::NotFound, 404},
                                    std::pair{tarnsim::FailMode::ServerError, 500}}) {
            SCOPED_TRACE(std::string(tarnsim::AuthModeName(auth)) + " " + std::to_string(status));
            processor->SetMode(mode);
            emu::ClearConsole();
            Notice(47, 0x8F6);
            Proc().SendRefreshConfigNotice();
            ASSERT_TRUE(Transport().WaitForNotices(10000));
            EXPECT_EQ(Count("Notice for queue note 000008F6: the processor answered " + std::to_string(status)), 1)
                << ::testing::PrintToString(emu::ConsoleLines());
            EXPECT_EQ(Count("Refresh notice: the processor answered " + std::to_string(status)), 1);
        }
        // An accepted notice says nothing.
        processor->SetMode(tarnsim::FailMode::Normal);
        emu::ClearConsole();
        Notice(47, 0x8F7);
        EXPECT_EQ(emu::ConsoleLines(), Strings{});
        EXPECT_EQ(processor->AcceptedNotices().size(), 1u);
    }
}

TEST_F(NoticeTest, TerminationStopsEveryWorkerBeforeItReturnsAndRefusesLaterNotices) {
    PlayedProcessor played;
    Configure(AuthMode::None, "tarn", "secret", 1, "/servlet/dts", played.Port());
    emu::SetIniVariable("TARN_HTTP_Timeout", "600");
    emu::SetIniVariable("TARN_HTTP_Workers", "2");
    emu::ResetThreadCounts();
    for (uint32_t id = 1; id <= 5; ++id) ASSERT_TRUE(Send(id));
    ASSERT_TRUE(played.WaitForArrived(2));

    Transport().Terminate();
    // Both workers have left, their NotesTermThread included, when it returns.
    const emu::ThreadCounts c = emu::Threads();
    EXPECT_EQ(c.inits, 2u);
    EXPECT_EQ(c.terms, c.inits);
    EXPECT_EQ(emu::ConsoleLines(), Strings{P + "Teardown: 5 notice(s) abandoned (3 queued, 2 in flight)"});

    emu::ClearConsole();
    EXPECT_FALSE(Send(6));
    Proc().SendRefreshConfigNotice();
    EXPECT_EQ(emu::ConsoleLines(), (Strings{P + "Notice for queue note 00000006 not sent: the task is shutting down",
                                            P + "Refresh notice not sent: the task is shutting down"}));
    EXPECT_EQ(played.Arrived().size(), 2u);
    // The unload that follows finds nothing more to stop or say.
    emu::ClearConsole();
    session->Reset();
    EXPECT_EQ(emu::ConsoleLines(), Strings{});
    emu::RemoveIniVariable("TARN_HTTP_Workers");
}

TEST_F(NoticeTest, ATrickleReusesItsWorkersAndTeardownLetsIdleOnesGoUncounted) {
    Serve();
    Configure(AuthMode::None, "tarn", "secret", 1);
    emu::ResetThreadCounts();
    constexpr size_t kNotices = 40;
    for (size_t i = 1; i <= kNotices; ++i) {
        ASSERT_TRUE(Send(static_cast<uint32_t>(i)));
        ASSERT_TRUE(processor->WaitForAccepted(i, std::chrono::seconds(10)));
    }
    // A notice may come while the last exchange is still ending, and on a
    // loaded machine that happens now and then, so a few extra workers are
    // allowed; one per notice is what lingering prevents.
    EXPECT_LE(Transport().ThreadsStarted(), kNotices / 4);
    // The lingering workers carry nothing: teardown abandons nothing, and
    // they have ended when it returns.
    ASSERT_TRUE(Transport().WaitForNotices(10000, false));
    session->Reset();
    EXPECT_EQ(emu::ConsoleLines(), Strings{});
    const emu::ThreadCounts c = emu::Threads();
    EXPECT_GE(c.inits, 1u);
    EXPECT_EQ(c.terms, c.inits);
}

}  // namespace
