// The web server's two sign-ons: HTTP Basic, checked on each request, and
// the form login that hands out a session cookie.
#include <strings.h>

#include <cstdio>

#include "processor/codecs.h"
#include "processor/processor_impl.h"

namespace tarnsim {

std::string LoginPage(const std::string& redirectTo) {
    return "<!DOCTYPE html>\n<html><head><title>Server Login</title></head><body>\n"
           "<form method=\"post\" action=\"/names.nsf?Login\" name=\"_DominoForm\">\n"
           "User name: <input name=\"username\" type=\"text\"><br>\n"
           "Password: <input name=\"password\" type=\"password\"><br>\n"
           "<input type=\"hidden\" name=\"redirectto\" value=\"" +
           redirectTo +
           "\">\n<input type=\"submit\" value=\"Log In\">\n"
           "</form></body></html>\n";
}

bool Processor::Impl::ValidSession(const httplib::Request& req) {
    std::string cookies = req.get_header_value("Cookie");
    std::string prefix = std::string(kSessionCookie) + "=";
    size_t pos = 0;
    while (pos < cookies.size()) {
        size_t end = cookies.find(';', pos);
        if (end == std::string::npos) end = cookies.size();
        std::string item = cookies.substr(pos, end - pos);
        size_t start = item.find_first_not_of(' ');
        item = start == std::string::npos ? "" : item.substr(start);
        if (item.compare(0, prefix.size(), prefix) == 0) {
            std::lock_guard<std::mutex> lock(mutex);
            if (sessions.count(item.substr(prefix.size()))) return true;
        }
        pos = end + 1;
    }
    return false;
}

bool Processor::Impl::ValidBasic(const httplib::Request& req, std::string& user) {
    std::string header = req.get_header_value("Authorization");
    if (header.size() < 6 || strncasecmp(header.c_str(), "Basic ", 6) != 0) return false;
    bool ok = false;
    std::string decoded = Base64Decode(header.substr(6), ok);
    size_t colon = decoded.find(':');
    BasicRecord rec;
    if (ok && colon != std::string::npos) {
        rec.user = decoded.substr(0, colon);
        rec.password = decoded.substr(colon + 1);
        rec.ok = rec.user == options.user && rec.password == options.password;
    }
    user = rec.user;
    std::lock_guard<std::mutex> lock(mutex);
    basics.push_back(rec);
    return rec.ok;
}

void Processor::Impl::HandleLogin(const httplib::Request& req, httplib::Response& res) {
    LoginRecord rec;
    rec.rawBody = req.body;
    rec.contentType = req.get_header_value("Content-Type");
    // Fields by hand rather than the library's parser: the body is taken
    // as a form whatever its Content-Type says, first occurrence wins.
    bool haveUser = false, havePassword = false, haveRedirect = false;
    size_t pos = 0;
    while (pos <= req.body.size()) {
        size_t end = req.body.find('&', pos);
        if (end == std::string::npos) end = req.body.size();
        std::string field = req.body.substr(pos, end - pos);
        size_t eq = field.find('=');
        std::string key = FormDecode(field.substr(0, eq));
        std::string value = eq == std::string::npos ? "" : FormDecode(field.substr(eq + 1));
        if (key == "username" && !haveUser) rec.username = value, haveUser = true;
        if (key == "password" && !havePassword) rec.password = value, havePassword = true;
        if (key == "redirectto" && !haveRedirect) rec.redirectTo = value, haveRedirect = true;
        pos = end + 1;
    }
    AuthMode authMode;
    {
        std::lock_guard<std::mutex> lock(mutex);
        authMode = auth;
    }
    rec.ok = authMode == AuthMode::Session && haveUser && havePassword && rec.username == options.user &&
             rec.password == options.password;
    if (rec.ok) {
        char id[33];
        {
            std::lock_guard<std::mutex> lock(mutex);
            snprintf(id, sizeof id, "%016llX%016llX", static_cast<unsigned long long>(random()),
                     static_cast<unsigned long long>(random()));
            sessions.insert(id);
        }
        res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + id + "; Path=/; HttpOnly");
        std::string to = !rec.redirectTo.empty() && rec.redirectTo[0] == '/' ? rec.redirectTo : "/";
        res.set_redirect(to, 302);
    } else {
        res.status = options.loginFailureStatus;
        res.set_content(LoginPage(rec.redirectTo.empty() ? "/" : rec.redirectTo), "text/html");
    }
    rec.status = res.status;
    {
        std::lock_guard<std::mutex> lock(mutex);
        rec.seq = ++seq;
        WriteRecord({{"kind", "login"},
                     {"seq", rec.seq},
                     {"rawBody", rec.rawBody},
                     {"rawBodyHex", Hex(rec.rawBody)},
                     {"contentType", rec.contentType},
                     {"username", rec.username},
                     {"ok", rec.ok},
                     {"status", rec.status}});
        logins.push_back(rec);
    }
    changed.notify_all();
}

}  // namespace tarnsim
