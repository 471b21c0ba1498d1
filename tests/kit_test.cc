// The administrator's kit: tarn-setup create and check over real processes,
// the stand-in's DXL importer, and the warning of a task served only as part
// of a longer TARN_Task_List entry.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>

#include "kit/kit.h"
#include "processor/processor.h"
#include "support/test_support.h"

using namespace tarntest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

ProcessResult TarnSetup(const std::string& dataDir, const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env = {}) {
    return RunTask("tarn-setup", dataDir, "", env, args);
}

std::string Joined(const ProcessResult& r) {
    std::string all;
    for (const auto& l : r.out) all += l + "\n";
    return all + r.err;
}

std::vector<std::pair<std::string, WORD>> AclOf(const std::string& path) {
    std::vector<std::pair<std::string, WORD>> entries;
    DBHANDLE db = 0;
    DHANDLE acl = 0;
    EXPECT_EQ(NSFDbOpen(path.c_str(), &db), 0);
    EXPECT_EQ(NSFDbReadACL(db, &acl), 0);
    ACLEnumEntries(
        acl,
        [](void* p, char* name, WORD level, ACL_PRIVILEGES*, WORD) {
            static_cast<decltype(entries)*>(p)->emplace_back(name, level);
        },
        &entries);
    OSMemFree(acl);
    NSFDbClose(db);
    return entries;
}

using KitTest = DataDirTest;

TEST_F(KitTest, CreatedDatabasesServeATaskThatCapturesAndNotices) {
    tarnsim::Processor processor;
    ASSERT_TRUE(processor.Start());
    auto created = TarnSetup(dataDir, {"create", "--admins", "CN=Admins/O=Brackwater", "--processor-account",
                                   "CN=Processor/O=Brackwater", "--host", "127.0.0.1", "--port",
                                   std::to_string(processor.Port()), "--path", "servlet/dts"});
    ASSERT_EQ(created.exitCode, 0) << Joined(created);

    // The views the add-in reads, by name and by alias; the ACL as designed
    // with the site's names in it.
    DBHANDLE db = 0;
    ASSERT_EQ(NSFDbOpen("brackwater\\tarnconfig.nsf", &db), 0);
    for (const char* name : {"server", "Server Settings", "maildblookup", "Mail Files", "dsdlookup",
                             "Excluded Databases"}) {
        NOTEID id = 0;
        EXPECT_EQ(NIFFindView(db, name, &id), 0) << name;
    }
    NSFDbClose(db);
    using Acl = std::vector<std::pair<std::string, WORD>>;
    EXPECT_EQ(AclOf("brackwater\\tarnconfig.nsf"),
              (Acl{{"-Default-", ACL_LEVEL_NOACCESS}, {"Anonymous", ACL_LEVEL_NOACCESS},
                   {"LocalDomainServers", ACL_LEVEL_MANAGER}, {"CN=Admins/O=Brackwater", ACL_LEVEL_MANAGER}}));
    EXPECT_EQ(AclOf("brackwater\\qcapture.nsf").back(), (std::pair<std::string, WORD>{"CN=Processor/O=Brackwater",
                                                                                       ACL_LEVEL_EDITOR}));

    // What an administrator adds next: a user, then the task list.
    AddUser("mail\\alice.nsf");
    CreateMailFile("mail\\alice.nsf", "CN=Alice");
    emu::SetIniVariable("TARN_Task_List", "nserver.exe,nhttp.exe");
    auto check = TarnSetup(dataDir, {"check"});
    EXPECT_EQ(check.exitCode, 0) << Joined(check);

    FedTask server(TaskProgram("nserver.exe", dataDir), dataDir, {{"TARN_ADDIN", BuildDir() + "/libtarn.so"}});
    ASSERT_TRUE(server.Ok());
    server.Feed("create a1 mail\\alice.nsf Form=Appointment ApptUNID=@unid\nsync one\n");
    EXPECT_TRUE(processor.WaitForAccepted(1, 30s));
    auto r = server.Finish();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(QueueNotes().size(), 1u);
    processor.Stop();

    // A database that exists is never touched.
    auto again = TarnSetup(dataDir, {"create"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.err.find("brackwater\\tarnconfig.nsf exists: not touched"), std::string::npos) << again.err;
    EXPECT_EQ(TarnSetup(dataDir, {"create", "--skip-existing"}).exitCode, 0);
    EXPECT_EQ(QueueNotes().size(), 1u);
}

// A fault in any call create makes, at each of several call counts: every
// database is then whole or absent (never there without its design), the
// run fails naming each one not made, and a later run makes them whole.
TEST_F(KitTest, CreateUnderFaultsLeavesEachDatabaseWholeOrAbsent) {
    const struct {
        const char* op;
        std::vector<int> calls;
    } faults[] = {
        {"NSFDbCreate", {1, 3}},         {"NSFDbOpen", {4, 5, 6}},     {"DXLCreateImporter", {1, 4}},
        {"DXLSetImporterProperty", {2, 12}}, {"DXLImport", {1, 2, 3, 4}}, {"NIFFindDesignNoteExt", {1, 6, 9}},
    };
    const std::vector<std::string> args = {"create", "--host", "127.0.0.1", "--port", "8080"};
    auto whole = [](const tarnkit::Design& d) {
        DBHANDLE db = 0;
        if (NSFDbOpen(d.path, &db)) return false;
        const bool ok = tarnkit::LackingDesign(db, d.name).empty();
        NSFDbClose(db);
        return ok;
    };
    int runs = 0;
    for (const auto& fault : faults)
        for (int n : fault.calls) {
            const std::string spec = std::string(fault.op) + "=0x1A41@" + std::to_string(n);
            SCOPED_TRACE(spec);
            fs::remove_all(dataDir + "/brackwater");
            auto r = TarnSetup(dataDir, args, {{"EMU_FAULTS", spec}});
            ++runs;
            bool allMade = true;
            for (const auto& d : tarnkit::kDesigns) {
                DBHANDLE db = 0;
                const bool exists = NSFDbOpen(d.path, &db) == NOERROR;
                if (exists) NSFDbClose(db);
                EXPECT_TRUE(!exists || whole(d)) << d.path << " left without its design\n" << Joined(r);
                const bool named = r.err.find(std::string(d.path) + ": removed again") != std::string::npos ||
                                   r.err.find(std::string(d.path) + ": not created") != std::string::npos;
                EXPECT_EQ(named, !exists) << r.err;
                allMade &= exists;
            }
            EXPECT_EQ(r.exitCode, allMade ? 0 : 1) << Joined(r);
            EXPECT_FALSE(allMade) << "the fault never hit";
            std::ostringstream out, err;
            tarnkit::CreateOptions skip;
            skip.skipExisting = true;
            EXPECT_EQ(tarnkit::CreateDatabases(skip, out, err), 0) << err.str();
            for (const auto& d : tarnkit::kDesigns) EXPECT_TRUE(whole(d)) << d.path;
        }
    EXPECT_EQ(runs, 16);

    // A database that cannot be removed again is named, and neither a
    // later create nor check takes it for whole.
    fs::remove_all(dataDir + "/brackwater");
    auto r = TarnSetup(dataDir, args, {{"EMU_FAULTS", "DXLImport=0x1A41@3,NSFDbDelete=0x1A41"}});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("brackwater\\tarnalerts.nsf: left empty; remove it before running create again"),
              std::string::npos) << r.err;
    auto again = TarnSetup(dataDir, {"create", "--skip-existing"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.err.find("brackwater\\tarnalerts.nsf exists but lacks the kit's design (form Alert, view Alerts)"),
              std::string::npos) << again.err;
    auto check = TarnSetup(dataDir, {"check"});
    EXPECT_GT(CountWith(check.out, {"problem: brackwater\\tarnalerts.nsf lacks the kit's design"}), 0) << Joined(check);
}

// Problems planted together: every line the check must print, and its exit
// status (warnings alone leave it 0).
TEST_F(KitTest, CheckNamesEachPlantedProblem) {
    using Items = std::vector<emu::ItemValue>;
    const Items server = {emu::Text("Form", "Server"),         emu::Text("Url_DomToTN", "servlet/dts"),
                          emu::Text("Hostname_DomToTN", "127.0.0.1"), emu::Number("Port_Domino", 8080),
                          emu::Text("AuthType", "None"),        emu::Text("Username", "tarn"),
                          emu::Text("Password", "secret"),      emu::Number("DTC_LogLevel", 1)};
    Items badSettings = server, noPassword = server;
    badSettings[1] = emu::Text("Url_DomToTN", "");
    badSettings[3] = emu::Number("Port_Domino", 70000);
    badSettings[4] = emu::Text("AuthType", "basic");
    noPassword.erase(noPassword.begin() + 6);
    Items oddSettings = server, wrongTypes = server;
    oddSettings[2] = emu::Text("Hostname_DomToTN", "");
    oddSettings[3] = emu::Number("Port_Domino", 0);  // the default port: no row
    wrongTypes[5] = emu::Number("Username", 7);
    wrongTypes[7] = emu::Text("DTC_LogLevel", "2");
    auto removeDesign = [](const char* path, WORD noteClass, const char* name) {
        DBHANDLE db = 0;
        ASSERT_EQ(NSFDbOpen(path, &db), 0);
        NOTEID id = 0;
        ASSERT_EQ(NIFFindDesignNoteExt(db, name, noteClass, "", &id, 0), 0);
        ASSERT_EQ(emu::DeleteNotes(db, {id}), 0);
        if (std::string(name) == "dsdlookup") {
            EXPECT_EQ(CreateView(db, {"dsdlookup", "notes", {"Exclude"}, {"DbPath"}, 0}, nullptr), 0);
        }
        NSFDbClose(db);
    };
    auto removeView = [&](const char* name) { removeDesign("brackwater\\tarnconfig.nsf", NOTE_CLASS_VIEW, name); };
    auto setAcl = [](const std::string& entries) {
        DBHANDLE db = 0;
        ASSERT_EQ(NSFDbOpen("brackwater\\tarnconfig.nsf", &db), 0);
        EXPECT_EQ(ImportDesign(db, "<database xmlns='http://www.lotus.com/dxl'><acl>" + entries + "</acl></database>"), 0);
        NSFDbClose(db);
    };
    struct Row {
        const char* what;
        std::function<void()> plant;
        Items serverDocument;
        std::vector<std::string> lines;
        int exit;
        bool onLinux = false;
        std::string faults = "";
    };
    const std::vector<Row> rows = {
        {"clean", [] {}, server, {"the add-in will capture (0 problems, 0 warnings)"}, 0},
        {"warnings only",
         [&] {
             AddUser("mail\\ghost.nsf");
             ASSERT_EQ(emu::CreateDatabase("mail\\bob.nsf"), 0);
             AddUser("mail\\bob.nsf");
             emu::SetIniVariable("TARN_Task_List", "nserver.exe;nhttp.exe, nhttp.exe,NAMGR.exe");
             setAcl("<aclentry name='-Default-' default='true' level='reader'/>"
                    "<aclentry name='LocalDomainServers' level='manager'/>");
         },
         server,
         {"warning: listed mail file mail\\ghost.nsf does not exist",
          "warning: mail file mail\\bob.nsf has no CalendarProfile",
          "warning: TARN_Task_List entry \" nhttp.exe\" has blanks around it",
          "warning: TARN_Task_List entry \"NAMGR.exe\" can never match a task (capital letter)",
          "warning: task nserver.exe is served only as part of the TARN_Task_List entry \"nserver.exe;nhttp.exe\": "
          "its refresh messages go to TARNnserver.exe;nhttp.exe",
          "warning: the ACL of brackwater\\tarnconfig.nsf lets -Default- read it"},
         0},
        {"nobody listed", [] { emu::RemoveIniVariable("TARN_Task_List"); }, badSettings,
         {"problem: AuthType is \"basic\": it must be exactly None, Basic or Session", "problem: Port_Domino is 70000",
          "problem: Url_DomToTN is empty", "problem: no mail file is listed",
          "problem: TARN_Task_List is not set in notes.ini"},
         1},
        {"missing parts",
         [&] {
             fs::remove(emu::FilePathFor("brackwater\\qcapture.nsf"));
             removeView("maildblookup");
             removeView("dsdlookup");
         },
         noPassword,
         {"problem: brackwater\\qcapture.nsf does not exist",
          "problem: view maildblookup is missing from brackwater\\tarnconfig.nsf",
          "problem: view dsdlookup in brackwater\\tarnconfig.nsf is hidden",
          "problem: the server document has no item Password"},
         1},
        {"notice settings",
         [] {
             emu::SetIniVariable("TARN_Task_List", "nserver.exe,nhttp.exe,nreplica.exe,clrepl");
             emu::SetIniVariable("TARN_HTTP_Secure", "yes");
             emu::SetIniVariable("TARN_HTTP_CAFile", "/etc/hostname");
             emu::SetIniVariable("TARN_HTTP_Timeout", "30x");
             emu::SetIniVariable("TARN_HTTP_Workers", "0");
         },
         oddSettings,
         {"problem: Hostname_DomToTN is empty",
          "problem: TARN_HTTP_Secure=yes is not 0 or 1: no notice is sent until it is mended",
          "warning: TARN_HTTP_CAFile is set but TARN_HTTP_Secure is not 1",
          "warning: TARN_HTTP_Timeout=30x is not a time-out from 1 to 600 seconds (or 100ms to 600000ms): the "
          "defaults are used (connect 10 s, send and receive 30 s)",
          "warning: TARN_HTTP_Workers=0 is not a number from 1 to 64: the default 8 is used",
          "warning: TARN_Task_List names the replicator task nreplica.exe: on a cluster",
          "warning: TARN_Task_List names the replicator task clrepl",
          "the add-in will not capture (2 problems, 6 warnings)"},
         1},
        {"wrong kinds",
         [&] {
             emu::SetIniVariable("TARN_Task_List", "nserver.exe");
             emu::SetIniVariable("TARN_HTTP_Secure", "1");
             emu::SetIniVariable("TARN_HTTP_CAFile", "/nonexistent/ca.pem");
             setAcl("<aclentry name='-Default-' default='true' level='noaccess'/>"
                    "<aclentry name='Anonymous' level='author'/>");
             removeDesign("brackwater\\tarnalerts.nsf", NOTE_CLASS_FORM, "Alert");
             DBHANDLE db = 0;
             ASSERT_EQ(NSFDbOpen("mail\\alice.nsf", &db), 0);
             EXPECT_EQ(emu::SetProfile(db, "CalendarProfile", {emu::Number("Owner", 1)}), 0);
             NSFDbClose(db);
         },
         wrongTypes,
         {"problem: brackwater\\tarnalerts.nsf lacks the kit's design (form Alert): remove it and run tarn-setup "
          "create",
          "problem: the server document's item Username is not text",
          "problem: TARN_HTTP_CAFile=/nonexistent/ca.pem cannot be read (No such file or directory)",
          "warning: the server document's item DTC_LogLevel is not a number",
          "warning: mail file mail\\alice.nsf has no text Owner in its CalendarProfile",
          "warning: the ACL of brackwater\\tarnconfig.nsf lets Anonymous read it",
          "warning: TARN_Task_List has no HTTP task (nhttp.exe)",
          "the add-in will not capture (3 problems, 4 warnings)"},
         1},
        // The check's own reads come first; the add-in's load then meets the fault.
        {"load fails", [] {}, server, {"problem: the add-in does not load the configuration (see console.log)"}, 1,
         false, "NIFReadEntries=0x1A41@2"},
        {"Linux", [] { emu::SetIniVariable("TARN_Task_List", "nserver.exe,http,amgr.exe"); }, {},
         {"problem: no server document in brackwater\\tarnconfig.nsf",
          "warning: TARN_Task_List entry \"amgr.exe\" is not a task name of a Linux server",
          "warning: task server is served only as part of the TARN_Task_List entry \"nserver.exe\": its refresh "
          "messages go to TARNnserver.exe, which it does not read"},
         1, true},
    };
    // One kit with a listed user, copied for each row.
    const std::string base = dataDir + "/base";
    fs::create_directories(base);
    emu::SetDataDirectory(base);
    std::ostringstream out, err;
    ASSERT_EQ(tarnkit::CreateDatabases({}, out, err), 0) << err.str();
    CreateMailFile("mail\\alice.nsf", "CN=Alice");
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.what);
        const std::string dir = dataDir + "/row" + std::to_string(i);
        fs::copy(base, dir, fs::copy_options::recursive);
        emu::SetDataDirectory(dir);
        if (!row.serverDocument.empty()) AddDocument("brackwater\\tarnconfig.nsf", row.serverDocument);
        if (std::string(row.what) != "nobody listed") AddUser("mail\\alice.nsf");
        emu::SetIniVariable("TARN_Task_List", row.onLinux ? "server,http" : "nserver.exe,nhttp.exe");
        row.plant();
        std::map<std::string, std::string> env;
        if (row.onLinux) env["EMU_LINUX_SERVER"] = "1";
        if (!row.faults.empty()) env["EMU_FAULTS"] = row.faults;
        auto r = TarnSetup(dir, {"check"}, env);
        EXPECT_EQ(r.exitCode, row.exit) << Joined(r);
        for (const std::string& line : row.lines)
            EXPECT_GT(CountWith(r.out, {line}), 0) << "wanted: " << line << "\ngot:\n" << Joined(r);
    }
    // Task lists that serve no task, in the first row's copy; the last is
    // one a Linux server still matches ("server" is part of it).
    emu::SetDataDirectory(dataDir + "/row0");
    const std::string none = "problem: TARN_Task_List=";
    for (const auto& [list, onLinux, line] :
         {std::tuple{"", false, none + " is empty: no task is served"},
          {" , ,", false, none + " , , names no task a process can match: no task is served"},
          {"NSERVER.EXE,NHTTP.EXE", false, none + "NSERVER.EXE,NHTTP.EXE names no task a process can match"},
          {"nserver.EXE,http", true, std::string("the add-in will capture")}}) {
        emu::SetIniVariable("TARN_Task_List", list);
        auto r = TarnSetup(dataDir + "/row0", {"check"},
                           onLinux ? std::map<std::string, std::string>{{"EMU_LINUX_SERVER", "1"}}
                                 : std::map<std::string, std::string>{});
        EXPECT_GT(CountWith(r.out, {line}), 0) << "wanted: " << line << "\ngot:\n" << Joined(r);
        EXPECT_EQ(r.exitCode, onLinux ? 0 : 1) << list;
    }
    emu::SetDataDirectory(dataDir);
}

// check reads the calendar profile and the server document as the add-in
// does: it warns of exactly the mail files whose changes the add-in then
// refuses (an empty Owner is an Owner to both), and a server-document item
// it cannot read is a problem, not a missing item.
TEST_F(KitTest, CheckReportsWhatTheAddInThenDoes) {
    CreateSampleDatabases({.mailFiles = {}});
    struct MailFile {
        const char* path;
        std::vector<emu::ItemValue> profile;  // none: no CalendarProfile
        const char* warning;
    };
    const std::vector<MailFile> files = {
        {"mail\\named.nsf", {emu::Text("Owner", "CN=Named")}, nullptr},
        {"mail\\empty.nsf", {emu::Text("Owner", "")}, nullptr},
        {"mail\\number.nsf", {emu::Number("Owner", 1)}, "has no text Owner in its CalendarProfile"},
        {"mail\\none.nsf", {}, "has no CalendarProfile"},
    };
    std::string script;
    for (const MailFile& f : files) {
        ASSERT_EQ(emu::CreateDatabase(f.path), 0);
        if (!f.profile.empty()) {
            DBHANDLE db = 0;
            ASSERT_EQ(NSFDbOpen(f.path, &db), 0);
            EXPECT_EQ(emu::SetProfile(db, "CalendarProfile", f.profile), 0);
            NSFDbClose(db);
        }
        AddUser(f.path);
        script += std::string("create a ") + f.path + " Form=Appointment ApptUNID=@unid\n";
    }
    emu::SetIniVariable("TARN_Task_List", "nserver.exe,nhttp.exe");
    auto check = TarnSetup(dataDir, {"check"});
    EXPECT_EQ(check.exitCode, 0) << Joined(check);
    auto task = RunTask("nserver.exe", dataDir, script + "wait\n");
    EXPECT_EQ(task.exitCode, 0) << task.err;
    const auto queue = CaptureQueue();
    for (const MailFile& f : files) {
        SCOPED_TRACE(f.path);
        const int warned = CountWith(check.out, {std::string("warning: mail file ") + f.path + " "});
        EXPECT_EQ(warned, f.warning ? 1 : 0) << Joined(check);
        if (f.warning) {
            EXPECT_EQ(CountWith(check.out, {f.path, f.warning}), 1) << Joined(check);
        }
        const auto captured = std::count_if(queue.begin(), queue.end(), [&](const QueueNote& n) { return n.dbPath == f.path; });
        EXPECT_EQ(captured, f.warning ? 0 : 1) << "the add-in and check disagree";
    }

    // The first item check looks at (Url_DomToTN) unread: the load would
    // stop there, so check does not call it missing.
    auto faulted = TarnSetup(dataDir, {"check"}, {{"EMU_FAULTS", "NSFItemInfo=0x1A41@1"}});
    EXPECT_EQ(faulted.exitCode, 1) << Joined(faulted);
    EXPECT_EQ(CountWith(faulted.out, {"problem: the server document's item Url_DomToTN could not be read: Injected "
                                      "failure: the configuration does not load"}),
              1)
        << Joined(faulted);
    EXPECT_EQ(CountWith(faulted.out, {"has no item Url_DomToTN"}), 0) << Joined(faulted);
}

// The importer takes DXL as its schema declares it and refuses, with the line
// and writing nothing, what the schema does not allow or the importer does not
// support: one valid design, one change per row. A database is never made
// twice, nor deleted while open.
TEST_F(KitTest, ImporterKeepsToTheSchema) {
    EXPECT_EQ(NSFDbCreate("brackwater\\x.nsf", DBCLASS_NOTEFILE, FALSE), 0);
    EXPECT_EQ(NSFDbCreate("brackwater\\x.nsf", DBCLASS_NOTEFILE, FALSE), emu::err::DB_EXISTS);
    // Never deleted under an open handle; gone once deleted.
    DBHANDLE open = 0;
    ASSERT_EQ(NSFDbOpen("brackwater\\x.nsf", &open), 0);
    EXPECT_EQ(NSFDbDelete("brackwater\\x.nsf"), emu::err::DB_IN_USE);
    NSFDbClose(open);
    EXPECT_EQ(NSFDbDelete("brackwater\\x.nsf"), 0);
    EXPECT_EQ(NSFDbDelete("brackwater\\x.nsf"), emu::err::NOEXIST);
    EXPECT_EQ(NSFDbOpen("brackwater\\x.nsf", &open), emu::err::NOEXIST);
    const std::string design =
        "<database xmlns='http://www.lotus.com/dxl' title='t'>\n"                   // 1
        "<acl>\n"                                                                   // 2
        "<aclentry name='-Default-' default='true' level='noaccess'/>\n"            // 3
        "<aclentry name='A' level='manager'/>\n"                                    // 4
        "</acl>\n"                                                                  // 5
        "<form name='f'><body><richtext>\n"                                         // 6
        "<par>F<field name='F' type='text'/></par>\n"                               // 7
        "</richtext></body></form>\n"                                               // 8
        "<view name='v'>\n"                                                         // 9
        "<code event='selection'><formula>SELECT Form = \"f\"</formula></code>\n"   // 10
        "<column itemname='F' sort='ascending'><columnheader title='F'/></column>\n"  // 11
        "</view>\n"                                                                 // 12
        "<document form='f'><item name='F'><textlist><text>a</text></textlist></item></document>\n"  // 13
        "</database>";                                                              // 14
    const std::vector<std::pair<std::string, WORD>> acl = {{"-Default-", ACL_LEVEL_NOACCESS}, {"A", ACL_LEVEL_MANAGER}};
    const struct {
        std::string from, to, refusal;  // refusal "": imported, with the ACL `acl`
    } rows[] = {
        {"", "", ""},
        {"name='-Default-' default='true'", "name='' default=' 1 '", ""},
        {"name='A'", "name='A' default='0'", ""},
        {" xmlns='http://www.lotus.com/dxl'", "", "line 1: <database> is not in the DXL namespace"},
        {"dxl'", "dxl' xmlns:x='urn:x' x:title='u'", "line 1: attribute 'x:title' of <database> is not supported"},
        {"</acl>\n", "</acl><acl><aclentry name='B' level='reader'/></acl>\n", "line 5: a second <acl> in <database>"},
        {"\n<acl>", "\n<document/>\n<acl>", "line 3: <acl> in <database> must come before <document>"},
        {"<acl>\n<aclentry name='-Default-' default='true' level='noaccess'/>\n<aclentry name='A' level='manager'/>",
         "<acl>\n\n", "line 2: <acl> has no <aclentry>"},
        {"default='true'", "default='yes'", "line 3: default='yes' of <aclentry> is not a boolean"},
        {"name='A'", "name=''", "line 4: an ACL entry other than the default one has an empty name"},
        {"name='A'", "name='A' default='1'", "line 4: a second default ACL entry"},
        {" default='true'", "", "line 3: -Default- is the default entry's name: it needs default='true'"},
        {" type='text'", "", "line 7: field 'F' has no type"},
        {"type='text'", "type='string'", "line 7: field 'F' has type 'string', not a DXL field type"},
        {"type='text'", "type='text' kind='computed'", "line 7: kind='computed' of field 'F' is not supported"},
        {"type='text'", "type='text' size='3'", "line 7: attribute 'size' of <field> is not supported"},
        {"<par>F<field name='F' type='text'/></par>", "<field name='F' type='text'/>",
         "line 7: <field> in <richtext> is not supported"},
        {"<body><richtext>\n<par>F<field name='F' type='text'/></par>\n</richtext></body>", "\n\n",
         "line 6: <form> has no <body>"},
        {"<view name='v'>", "<view name='v' private='true'>", "line 9: attribute 'private' of <view> is not supported"},
        {"<view name='v'>", "<view name='v'>stray", "line 9: text in <view> is not allowed"},
        {"<view name='v'>", "<view name='v'><x:code xmlns:x='urn:x'/>",
         "line 9: <code> in <view> is not in the DXL namespace"},
        {"</code>", "</code><code event='selection'><formula>SELECT @All</formula></code>",
         "line 10: a second selection <code> in a view"},
        {"SELECT Form = \"f\"", "SELECT @IsResponseDoc",
         "line 10: selection formula not supported: SELECT @IsResponseDoc"},
        {"<columnheader title='F'/>", "<columnheader title='F'/><columnheader title='G'/>",
         "line 11: a second <columnheader> in <column>"},
        {"</view>", "<code event='selection'><formula>SELECT @All</formula></code></view>",
         "line 12: <code> in <view> must come before <column>"},
        {"<text>a</text>", "<text>a<break/>b</text>", "line 13: <break> in <text> is not supported"},
        {"<textlist><text>a</text></textlist>", "", "line 13: <item> has no <text>, <number>, <datetime> or <textlist>"},
        {"</database>", "<agent name='a'/></database>", "line 14: <agent> in <database> is not supported"},
        {"</database>", "<view name='w'", "line 14: not well-formed XML"},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const auto& r = rows[i];
        std::string dxl = design;
        if (!r.from.empty()) {
            const size_t at = dxl.find(r.from);
            ASSERT_NE(at, std::string::npos) << r.from;
            dxl.replace(at, r.from.size(), r.to);
        }
        SCOPED_TRACE(dxl);
        const std::string path = "brackwater\\row" + std::to_string(i) + ".nsf";
        ASSERT_EQ(emu::CreateDatabase(path), 0);
        DBHANDLE db = 0;
        ASSERT_EQ(NSFDbOpen(path.c_str(), &db), 0);
        std::string log;
        EXPECT_EQ(ImportDesign(db, dxl, &log), r.refusal.empty() ? 0 : emu::err::DXL_IMPORT_FAILED) << log;
        EXPECT_NE(log.find(r.refusal), std::string::npos) << log;
        NOTEID id = 0;
        EXPECT_EQ(NIFFindDesignNoteExt(db, "v", NOTE_CLASS_VIEW, "", &id, 0),
                  r.refusal.empty() ? NOERROR : emu::err::NOT_FOUND)
            << "nothing of a refused import is written";
        NSFDbClose(db);
        if (r.refusal.empty()) {
            EXPECT_EQ(AclOf(path), acl);
        }
    }
}

// A Linux task named server is served by the entry nserver.exe, but the HTTP
// task sends its refresh messages to TARNnserver.exe: it says so at start.
TEST_F(KitTest, ATaskServedAsPartOfAnEntryWarnsOfItsRefreshQueue) {
    CreateSampleDatabases();
    const std::string warning = "WARNING: this task is served only because its name is part of the TARN_Task_List "
                                "entry \"nserver.exe\": its refresh messages go to the queue TARNnserver.exe";
    for (const auto& [list, warned] : {std::pair{"nserver.exe,nhttp.exe", 1}, {"server,http", 0}}) {
        emu::SetIniVariable("TARN_Task_List", list);
        auto r = RunTaskAs("server", dataDir);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        int count = 0;
        for (const auto& l : BannerLines(r.out)) count += l.find(warning) != std::string::npos;
        EXPECT_EQ(count, warned) << list;
    }
}

}  // namespace
