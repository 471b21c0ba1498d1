// Configuration loads through real SQLite-backed databases in the emulator.
#include <cstring>
#include <functional>
#include <string>

#include "config/tarn_config.h"
#include "host/tarn_session.h"
#include "support/test_support.h"

using namespace tarntest;
using Strings = std::vector<std::string>;

namespace {

class ConfigTest : public DataDirTest {
protected:
    void SetUp() override {
        DataDirTest::SetUp();
        session.StartLog("nserver.exe");
    }
    void TearDown() override {
        config.Reset();
        EXPECT_EQ(emu::Open().databases, 0);
        DataDirTest::TearDown();
    }
    bool OpenConfig() { return Quietly([&] { return config.Open(&session); }); }
    bool Reload() { return Quietly([&] { return config.Load(); }); }
    // Runs a load on a clear console; every way out of it releases what it used.
    template <class Load>
    static bool Quietly(Load load) {
        emu::ClearConsole();
        bool ok = load();
        ExpectAllReleased(false);  // the configuration keeps its databases open
        return ok;
    }
    static Strings Console() { return emu::ConsoleLines(); }
    // The server document's values: level, url, host, port, authentication, user, password.
    auto Settings() const {
        return std::make_tuple(config.GetLogLevel(), config.GetUrl(), config.GetHostname(), config.GetPort(),
                               config.GetAuthType(), config.GetUsername(), config.GetPassword());
    }
    static std::string L1(const std::string& text) { return "Brackwater TARN 1.2.27 (nserver.exe) : " + text; }
    static std::string Plain(const std::string& text) { return "Brackwater TARN 1.2.27 " + text; }

    // Adds documents to the configuration database.
    static void AddDocs(const std::vector<std::vector<emu::ItemValue>>& docs) {
        for (const auto& items : docs) AddDocument("brackwater\\tarnconfig.nsf", items);
    }

    TARNSession session;
    TARNConfig config;
};

TEST_F(ConfigTest, SampleConfigurationLoadsSettingsAndLists) {
    SampleConfig cfg;
    cfg.mailFiles = {"mail\\Alice.nsf", "mail\\bob.nsf", "mail\\bob.nsf"};
    cfg.excluded = {"mail\\Shared.nsf"};
    CreateSampleDatabases(cfg);
    ASSERT_TRUE(OpenConfig());
    EXPECT_TRUE(Console().empty());
    EXPECT_EQ(Settings(), std::make_tuple(3, "servlet/dts", "127.0.0.1", 8080, "None", "tarn", "secret"));
    // View order (sorted by the column), lower-cased, duplicates kept.
    EXPECT_EQ(config.UserList(), (Strings{"mail\\alice.nsf", "mail\\bob.nsf", "mail\\bob.nsf"}));
    EXPECT_EQ(config.ExcludeList(), (Strings{"brackwater\\qcapture.nsf", "brackwater\\qin.nsf",
                                             "brackwater\\qout.nsf", "mail\\shared.nsf"}));

    char mixed[256] = "MAIL\\ALICE.NSF";
    EXPECT_TRUE(config.IsUserMailFile(mixed));
    EXPECT_STREQ(mixed, "mail\\alice.nsf");  // lower-cased in place
    // A Linux server writes its paths with '/': the same file either way.
    char slashes[256] = "mail/alice.nsf";
    EXPECT_TRUE(config.IsUserMailFile(slashes));
    char dir[256] = "mail";
    EXPECT_FALSE(config.IsExcludedDb(dir));
    char queue[256] = "Brackwater\\QCapture.nsf";
    EXPECT_TRUE(config.IsExcludedDb(queue));

    DBHANDLE alerts = 0;
    ASSERT_EQ(NSFDbOpen("brackwater\\tarnalerts.nsf", &alerts), 0);
    DBID id{};
    NSFDbIDGet(alerts, &id);
    NSFDbClose(alerts);
    EXPECT_EQ(memcmp(config.GetAlertsDbId(), &id, 8), 0);
}

TEST_F(ConfigTest, EmptyViewsGiveDummyServerValuesAndEmptyLists) {
    SampleConfig cfg;
    cfg.serverDocument = false;
    cfg.mailFiles = {};
    cfg.excluded = {};
    CreateSampleDatabases(cfg);
    ASSERT_TRUE(OpenConfig());
    EXPECT_EQ(Console(), (Strings{Plain("Setting Dummy server values"), Plain("No Users configured"),
                                  Plain("No Exclude Dbs configured")}));
    EXPECT_EQ(Settings(), std::make_tuple(1, "servlet/dts", "", 0, "", "", ""));
    // Without the exclude view's entries even the capture queue is not excluded.
    char queue[256] = "brackwater\\qcapture.nsf";
    EXPECT_FALSE(config.IsExcludedDb(queue));
    char empty[256] = "";
    EXPECT_FALSE(config.IsUserMailFile(empty));
}

TEST_F(ConfigTest, FirstServerDocumentCountsAndItemsAreReadAsStored) {
    SampleConfig cfg;
    cfg.withLogLevel = false;
    cfg.username = "";
    cfg.hostname = std::string(300, 'h');
    CreateSampleDatabases(cfg);
    AddDocs({{emu::Text("Form", "Server"), emu::Text("Url_DomToTN", "second"), emu::Text("Hostname_DomToTN", "x"),
              emu::Number("Port_Domino", 1), emu::Text("AuthType", "Basic"), emu::Text("Username", "u"),
              emu::Text("Password", "p"), emu::Number("DTC_LogLevel", 2)}});
    ASSERT_TRUE(OpenConfig());
    // An absent level reads as 1; the user name is present but empty.
    EXPECT_EQ(Settings(), std::make_tuple(1, "servlet/dts", std::string(254, 'h'), 8080, "None", "", "secret"));
}

TEST_F(ConfigTest, UserViewValuesAreWalkedByColumnAndType) {
    // A view found by its name in another case, with four columns: text,
    // number, text, text.
    SampleConfig cfg;
    cfg.mailFiles = {};
    cfg.userViewName = "MailDbLookup|users";
    cfg.userColumns = {"A", "N", "B", "C"};
    CreateSampleDatabases(cfg);
    const std::string longValue(120, 'L');
    AddDocs({{emu::Text("Form", "MailDb"), emu::Text("A", "mail\\one.nsf"), emu::Number("N", 4),
              emu::Text("B", "Mail\\Two.nsf")},
             {emu::Text("Form", "MailDb"), emu::Text("A", "mail\\three.nsf"), emu::Text("B", longValue),
              emu::Text("C", "after-long")},
             {emu::Text("Form", "MailDb"), emu::Text("A", "mail\\x.nsf"), emu::Text("B", "")}});
    ASSERT_TRUE(OpenConfig()) << ::testing::PrintToString(Console());
    EXPECT_EQ(config.UserList(), (Strings{"mail\\one.nsf", "mail\\two.nsf", "mail\\three.nsf",
                                          std::string(97, 'l'), "after-long", "mail\\x.nsf", ""}));
    char full[256];
    snprintf(full, sizeof full, "%s", std::string(120, 'l').c_str());
    EXPECT_FALSE(config.IsUserMailFile(full));
    char empty[256] = "";
    EXPECT_TRUE(config.IsUserMailFile(empty));
}

TEST_F(ConfigTest, MultiPageReadsCollectEveryEntry) {
    SampleConfig cfg;
    cfg.logLevel = 0;  // kept, not taken for absent
    cfg.mailFiles.clear();
    for (int i = 0; i < 23; ++i) cfg.mailFiles.push_back("mail\\u" + std::to_string(100 + i) + ".nsf");
    cfg.excluded = {"a.nsf", "c.nsf", "b.nsf", "brackwater\\qin.nsf", "d.nsf"};
    CreateSampleDatabases(cfg);
    emu::SetReadPageSize(4);
    ASSERT_TRUE(OpenConfig());
    EXPECT_EQ(config.GetLogLevel(), 0);
    EXPECT_EQ(config.UserList().size(), 23u);
    EXPECT_EQ(config.UserList().back(), "mail\\u122.nsf");
    EXPECT_EQ(config.ExcludeList(), (Strings{"a.nsf", "b.nsf", "brackwater\\qcapture.nsf", "brackwater\\qin.nsf",
                                             "brackwater\\qin.nsf", "brackwater\\qout.nsf", "c.nsf", "d.nsf"}));
}

struct FailureCase {
    const char* name;
    emu::Op op;
    unsigned nth;       // 1: the server view's read, 2: the user list's, 3: the exclude list's
    std::string first;  // the line before "Error loading ...", if any
    bool marksNotInitialised;
};

TEST_F(ConfigTest, EveryFailureWritesItsLinesAndReleasesEverything) {
    const FailureCase cases[] = {
        {"server view", emu::Op::FindView, 1, L1("Error occured when finding server view"), true},
        {"server collection", emu::Op::OpenCollection, 1, L1("Error on NIFOpenCollection in GetTARNConfig()"), true},
        {"server read", emu::Op::ReadEntries, 1, Plain("Error on NIFReadEntry"), false},
        {"server buffer", emu::Op::LockObject, 1, Plain("No buffer returned"), false},
        {"server note", emu::Op::OpenNote, 1, Plain("Error occured when opening Note"), false},
        {"server close", emu::Op::CloseCollection, 1, L1("Error on NIFCloseCollection of view server: Injected failure"),
         false},
        {"user view", emu::Op::FindView, 2, Plain("Error occured when finding maildb view"), false},
        {"user collection", emu::Op::OpenCollection, 2, "", false},
        {"user read", emu::Op::ReadEntries, 2, Plain("Error on maildb NIFReadEntry"), false},
        {"user buffer", emu::Op::LockObject, 2, Plain("No data returned for maildb list"), false},
        {"user close", emu::Op::CloseCollection, 2,
         L1("Error on NIFCloseCollection of view maildblookup: Injected failure"), false},
        {"exclude view", emu::Op::FindView, 3, Plain("Error occured when finding Exclude config view"), false},
        {"exclude read", emu::Op::ReadEntries, 3, "", false},
        {"exclude buffer", emu::Op::LockObject, 3, "", false},
    };
    const char* const loading[] = {"TARNConfig", "User list", "Exclude list"};
    CreateSampleDatabases();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        config.Reset();
        TARNSession fresh;
        fresh.StartLog("nserver.exe");
        emu::ClearFaults();
        emu::InjectFault(c.op, emu::err::INJECTED, c.nth);
        EXPECT_FALSE(Quietly([&] { return config.Open(&fresh); }));
        Strings lines = {L1(std::string("Error loading ") + loading[c.nth - 1])};
        if (!c.first.empty()) lines.insert(lines.begin(), c.first);
        EXPECT_EQ(Console(), lines);
        EXPECT_EQ(fresh.IsInitialised(), !c.marksNotInitialised);
    }
    // A failing close of the exclude view's collection does not fail the load.
    config.Reset();
    emu::ClearFaults();
    emu::InjectFault(emu::Op::CloseCollection, emu::err::INJECTED, 3);
    EXPECT_TRUE(OpenConfig());
    EXPECT_EQ(Console(), Strings{L1("Error on NIFCloseCollection of view dsdlookup: Injected failure")});
}

TEST_F(ConfigTest, MissingDatabasesStopTheOpen) {
    EXPECT_FALSE(OpenConfig());
    EXPECT_EQ(Console(), Strings{L1("Error opening TARNAlerts database")});
    ASSERT_EQ(emu::CreateDatabase("brackwater\\tarnalerts.nsf"), 0);
    config.Reset();
    EXPECT_FALSE(OpenConfig());
    EXPECT_EQ(Console(), Strings{L1("Error opening TARNConfig database")});
    EXPECT_EQ(emu::Open().databases, 1);  // the alerts database stays open until reset
}

TEST_F(ConfigTest, DestroyingClosesTheConfigurationDatabaseBeforeTheAlerts) {
    CreateSampleDatabases();
    DBHANDLE configDb = 0;
    {
        TARNConfig doomed;
        ASSERT_TRUE(doomed.Open(&session));
        configDb = doomed.ConfigDb();
        // The first close fails and leaves its database open: it must be
        // the configuration database.
        emu::InjectFault(emu::Op::CloseDatabase, emu::err::INJECTED, 1);
    }
    EXPECT_EQ(emu::Open().databases, 1);
    char path[256] = {};
    EXPECT_EQ(NSFDbPathGet(configDb, path, nullptr), 0);
    EXPECT_STREQ(path, "brackwater\\tarnconfig.nsf");
    NSFDbClose(configDb);
}

TEST_F(ConfigTest, FailedReloadKeepsTheLastGoodConfigurationAndTheDatabase) {
    CreateSampleDatabases();
    ASSERT_TRUE(OpenConfig());

    NOTEID serverId = 0;
    for (const auto& d : Notes("brackwater\\tarnconfig.nsf"))
        if (TextOf(d, "Form") == "Server" && !serverId) serverId = d.id;
    ASSERT_NE(serverId, 0u);
    // Changes the server document in place.
    auto edit = [&](const std::function<void(NOTEHANDLE)>& change) {
        DBHANDLE db = 0;
        NOTEHANDLE note = 0;
        ASSERT_EQ(NSFDbOpen("brackwater\\tarnconfig.nsf", &db), 0);
        ASSERT_EQ(NSFNoteOpen(db, serverId, 0, &note), 0);
        change(note);
        ASSERT_EQ(NSFNoteUpdate(note, 0), 0);
        NSFNoteClose(note);
        NSFDbClose(db);
    };
    // The server document loses Port_Domino after its url was changed: the
    // reload fails part way and nothing of it takes effect.
    edit([](NOTEHANDLE note) {
        NSFItemDelete(note, "Port_Domino", 11);
        PutText(note, "Url_DomToTN", "new");
    });
    EXPECT_FALSE(Reload());
    EXPECT_EQ(Console(), Strings{L1("Error loading TARNConfig")});
    EXPECT_EQ(config.GetUrl(), "servlet/dts");
    EXPECT_EQ(config.GetPort(), 8080);

    // With the port back, the user view fails once: still nothing changes.
    edit([](NOTEHANDLE note) {
        const double port = 9090;
        EXPECT_EQ(NSFItemSetNumber(note, "Port_Domino", &port), 0);
    });
    emu::InjectFault(emu::Op::ReadEntries, emu::err::INJECTED, 2);
    EXPECT_FALSE(Reload());
    EXPECT_EQ(Console(), (Strings{Plain("Error on maildb NIFReadEntry"), L1("Error loading User list")}));
    EXPECT_EQ(config.GetUrl(), "servlet/dts");
    EXPECT_EQ(config.UserList().size(), 2u);
    EXPECT_NE(config.ConfigDb(), 0u);
    EXPECT_TRUE(session.IsInitialised());

    // The next reload still finds its views and takes effect whole.
    emu::ClearFaults();
    EXPECT_TRUE(Reload());
    EXPECT_EQ(config.GetUrl(), "new");
    EXPECT_EQ(config.GetPort(), 9090);
    EXPECT_TRUE(session.IsInitialised());
}

// The index is a hash table of its own: every member of a large list is
// found under either separator, and nothing near a member is.
TEST_F(ConfigTest, LargeListsFindEveryMemberAndNothingNearOne) {
    Strings users, excluded;
    for (int i = 0; i < 40000; ++i) users.push_back("mail" + std::string(i % 2 ? "/" : "\\") + "u" + std::to_string(i) + ".nsf");
    users.push_back(users.front());  // a duplicate counts once and changes nothing
    users.push_back(std::string(300, 'x'));  // longer than any path a database answers
    for (int i = 0; i < 300; ++i) excluded.push_back("arch\\a" + std::to_string(i * 7) + ".nsf");
    config.AdoptLists(users, excluded);
    EXPECT_EQ(config.UserList(), users);  // as loaded, order and duplicates kept
    char path[400];
    auto user = [&](const std::string& p) { snprintf(path, sizeof path, "%s", p.c_str()); return config.IsUserMailFile(path); };
    auto classify = [&](const std::string& p) { snprintf(path, sizeof path, "%s", p.c_str()); return config.Classify(path); };
    int missing = 0, wrong = 0;
    for (int i = 0; i < 40000; ++i) {
        const std::string n = "u" + std::to_string(i) + ".nsf";
        missing += !user("MAIL\\" + n) + !user("mail/" + n);
        wrong += user("mail\\" + n + "x") + user("mail\\u" + std::to_string(i + 40000) + ".nsf") + user("mail" + n) +
                 user("xmail\\" + n);
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_FALSE(user(std::string(300, 'x')));
    EXPECT_FALSE(user(""));
    EXPECT_EQ(classify("ARCH/A7.NSF"), TARNConfig::Membership::Excluded);
    EXPECT_EQ(classify("arch\\a8.nsf"), TARNConfig::Membership::NotUser);
    EXPECT_EQ(classify("mail\\u8.nsf"), TARNConfig::Membership::User);
}

}  // namespace
