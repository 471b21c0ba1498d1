// A sample transaction processor: the web application the add-in notifies,
// behind a web server that may ask for no credentials, for HTTP Basic, or for
// a form login with a session cookie. It records what reaches it so tests and
// the simulator can show exactly what the add-in sent, and it can be told to
// misbehave (404, 500, never answer, drop the connection).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarnsim {

// The access token every transaction notice must carry in "&id=".
inline constexpr const char* kNoticeToken = "Kq7Wm2Rx9Tb4Lz8Vn3Hc6Pd1Fs5Jg0Ye";
// Object name of the form login, and the text by which a page is the form.
inline constexpr const char* kLoginPath = "/names.nsf?Login";
// Name of the session cookie a successful form login sets.
inline constexpr const char* kSessionCookie = "DomAuthSessId";

enum class AuthMode { None, Basic, Session };
enum class FailMode { Normal, NotFound, ServerError, Hang, Close };

const char* AuthModeName(AuthMode mode);  // "none", "basic", "session"
const char* FailModeName(FailMode mode);  // "normal", "404", "500", "hang", "close"
bool ParseAuthMode(const std::string& text, AuthMode& mode);
bool ParseFailMode(const std::string& text, FailMode& mode);

struct ProcessorOptions {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: a free port, see Processor::Port
    std::string path = "/servlet/dts";
    AuthMode auth = AuthMode::None;
    std::string user = "tarn";
    std::string password = "secret";
    FailMode mode = FailMode::Normal;
    // Body of the answer to an accepted notice.
    std::string replyBody = "<html><body>Transaction received</body></html>";
    // Status of the answer to a form login with wrong credentials: 200 (the
    // login form again, as Domino does) or anything else (e.g. 401, with the
    // form as its body).
    int loginFailureStatus = 200;
    // How long a request is held in hang mode before the connection is
    // dropped, so a forgotten processor does not hold its client for ever.
    std::chrono::milliseconds hangLimit{20000};
    // When set, each record is appended to this file as one JSON line.
    std::string recordFile;
    // The WWW-Authenticate value of a 401 in Basic mode; empty means
    // Basic realm="TARN processor". "Negotiate, NTLM" plays a server that
    // asks only for Windows sign-on.
    std::string challenge;
    // How long each notice waits before it is answered.
    std::chrono::milliseconds replyDelay{0};
    // Answers an accepted notice with a body that never ends (until the
    // client goes away or the processor stops).
    bool endlessReply = false;
    // When both are set, HTTPS with this certificate (chain) and private
    // key, PEM files; plain HTTP otherwise.
    std::string tlsCert;
    std::string tlsKey;
    // When set, a notice that would be accepted is answered 302 with this
    // address followed by the notice's target instead (a web server that
    // moved the application, or sends it to another port or scheme).
    std::string redirectTo;
};

// TLS handshakes the processor completed, and how many of them resumed an
// earlier session rather than making a new one.
struct TlsHandshakes {
    long completed = 0;
    long resumed = 0;
};

// One request that reached the notice path.
struct NoticeRecord {
    uint64_t seq = 0;
    std::string method;
    std::string target;  // request target as received, query included
    std::string action;
    std::string qnoteid;
    std::string idToken;
    bool tokenOk = false;
    bool refresh = false;  // action=refreshconfig
    // Whether it was let through to the application, and under which
    // authentication ("none", "basic", "session"). Refused ones are the
    // 401 challenges and login-form answers.
    bool accepted = false;
    std::string acceptedUnder;
    int status = 0;      // what was answered (0: nothing, in hang and close modes)
    std::string basicUser;  // user name of a Basic Authorization header
    std::string lookup;     // what the lookup hook returned for qnoteid
};

// One form login POST.
struct LoginRecord {
    uint64_t seq = 0;
    std::string rawBody;  // bytes exactly as received
    std::string contentType;
    std::string username;  // percent-decoded fields of the body
    std::string password;
    std::string redirectTo;
    bool ok = false;
    int status = 0;
};

// One Basic Authorization header, decoded, as received.
struct BasicRecord {
    std::string user;
    std::string password;
    bool ok = false;
};

class Processor {
public:
    explicit Processor(ProcessorOptions options = {});
    ~Processor();
    Processor(const Processor&) = delete;
    Processor& operator=(const Processor&) = delete;

    // Binds and starts serving on a thread of its own; false when the port
    // cannot be bound or the record file opened (StartProblem says which).
    bool Start();
    // Why the last Start failed, as a line for an operator.
    std::string StartProblem() const;
    // Stops serving; requests held in hang mode are released. Idempotent.
    void Stop();
    int Port() const;
    const ProcessorOptions& Options() const;

    // Changes take effect for the next request.
    void SetMode(FailMode mode);
    // What the web server asks for from the next request on (the options'
    // auth until then).
    void SetAuth(AuthMode auth);
    // Called with the qnoteid of each accepted transaction notice; the text
    // it returns is kept in the record. Called on the server's threads.
    void SetLookup(std::function<std::string(const std::string& qnoteid)> lookup);
    // Appends one line (a JSON object) to the record file, if there is one,
    // between the notice and login lines.
    void Record(const std::string& jsonLine);
    // Forgets every session cookie handed out so far.
    void ExpireSessions();

    std::vector<NoticeRecord> Notices() const;
    std::vector<NoticeRecord> AcceptedNotices() const;
    std::vector<LoginRecord> Logins() const;
    std::vector<BasicRecord> BasicAttempts() const;
    // Zero when serving plain HTTP.
    TlsHandshakes Handshakes() const;
    // Waits until at least `count` notices were accepted; false on time-out.
    bool WaitForAccepted(size_t count, std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// application/x-www-form-urlencoded: '+' is a blank, %XX a byte; a '%' not
// followed by two hexadecimal digits stays as it is.
std::string FormDecode(const std::string& text);
// The inverse, for clients that build a correct form body.
std::string FormEncode(const std::string& text);

}  // namespace tarnsim
