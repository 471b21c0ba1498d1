#include "prepare.h"

#include <filesystem>
#include <iostream>
#include <sstream>

#include "host_calls.h"
#include "kit/kit.h"

namespace fs = std::filesystem;

namespace simcli {
namespace {

struct MailUser {
    const char* path;
    const char* owner;
    bool listed;
};
const MailUser kUsers[] = {
    {"mail\\alice.nsf", "CN=Alice Able/O=Brackwater", true},
    {"mail\\bob.nsf", "CN=Bob Baker/O=Brackwater", true},
    {"mail\\carol.nsf", "CN=Carol Cole/O=Brackwater", false},
    {"mail\\shared.nsf", "CN=Shared Resources/O=Brackwater", true},
};

}  // namespace

bool Prepare(const std::string& dir, const PrepareOptions& o) {
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir);
    emu::SetDataDirectory(dir);
    emu::RemoveAllQueues();
    emu::SetIniVariable("TARN_Task_List", "nserver.exe,nhttp.exe,amgr.exe");
    // The HTTP task reads the capture queue's backlog every second here
    // (a server's default is a minute), so that a scenario sees it move.
    emu::SetIniVariable("TARN_Queue_Interval", "1");
    if (o.secure) emu::SetIniVariable("TARN_HTTP_Secure", "1");
    if (o.secure && !o.caFile.empty()) emu::SetIniVariable("TARN_HTTP_CAFile", o.caFile);
    // The databases as tarn-setup create makes them, with the server document.
    tarnkit::CreateOptions kit;
    kit.server = tarnkit::ServerSettings{"127.0.0.1", o.port, "servlet/dts", o.auth, "tarn", "secret", o.level};
    std::ostringstream created;
    if (tarnkit::CreateDatabases(kit, created, std::cerr) != 0) return false;
    {
        Db cfg("brackwater\\tarnconfig.nsf");
        NOTEID id;
        for (const auto& u : kUsers)
            if (u.listed && !Check(emu::CreateDocument(cfg.h, {emu::Text("Form", "MailDb"), emu::Text("MailFile", u.path)}, &id), "user"))
                return false;
        if (!Check(emu::CreateDocument(cfg.h, {emu::Text("Form", "Exclude"), emu::Text("DbPath", "mail\\shared.nsf")}, &id),
                   "exclude"))
            return false;
    }
    for (const auto& u : kUsers) {
        if (!Check(emu::CreateDatabase(u.path), std::string("create ") + u.path)) return false;
        Db mail(u.path);
        if (!Check(emu::SetProfile(mail.h, "CalendarProfile", {emu::Text("Owner", u.owner)}), "profile")) return false;
    }
    return true;
}

std::string CheckPrepared(const std::string& dir, bool needQueue) {
    std::error_code ec;
    const std::string fix = "; prepare it with: tarn-sim prepare --data " + dir;
    if (!fs::exists(dir, ec)) return "the data directory " + dir + " does not exist" + fix;
    if (!fs::is_directory(dir, ec)) return dir + " is not a directory";
    if (!fs::is_regular_file(dir + "/notes.ini", ec)) return dir + " was never prepared (it has no notes.ini)" + fix;
    emu::SetDataDirectory(dir);
    if (!fs::is_regular_file(emu::FilePathFor("brackwater\\tarnconfig.nsf"), ec))
        return dir + " was never prepared (it has no configuration database brackwater\\tarnconfig.nsf)" + fix;
    if (needQueue && !fs::is_regular_file(emu::FilePathFor("brackwater\\qcapture.nsf"), ec))
        return dir + " has no capture queue (brackwater\\qcapture.nsf)" + fix;
    return {};
}

}  // namespace simcli
