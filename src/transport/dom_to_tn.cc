// The HTTP exchange of notices, on their worker thread: the GET, one answer
// to a 401 with Basic credentials, or one form login when the processor's
// server answers with its login page. No server thread waits for it; it
// reports only through the log.
#include <cstring>
#include <exception>
#include <string>

#include "base/ascii.h"
#include "base/notes_thread.h"
#include "stats/tarn_stats.h"
#include "transport/dom_to_tn.h"
#include "transport/redirect.h"
#include "transport/transport_state.h"

namespace http = tarn::http;

namespace {

constexpr char kLoginMarker[] = "/names.nsf?Login";
constexpr uint32_t kPiece = 8191;
// With Session, how much of a reply is searched for the login form: a login
// page is small, and a reply beyond this is the processor's own answer.
constexpr size_t kSearchedReply = 64 * 1024;

// The client's text for an error, or "Unknown Error (N)" when it has none,
// so the number an administrator can look up is always on the line.
std::string NamedError(uint32_t error) {
    std::string text = http::ErrorText(error);
    return text.empty() ? "Unknown Error (" + std::to_string(error) + ")" : text;
}
std::string LastErrorText() { return NamedError(http::LastError()); }

// The exchange ends at any final status; a processor that did not accept
// the notice must not pass for one that did. 0 (nothing read) was already
// reported by the failed send.
void ReportRefusal(const std::shared_ptr<TransportState>& state, const Notice& notice, uint32_t status) {
    using tarn::stats::Count;
    tarn::stats::Add(status == 0 ? Count::FailedTransport
                     : status >= 200 && status < 300 ? Count::NoticesDelivered
                                                       : Count::FailedStatus);
    if (status == 0 || (status >= 200 && status < 300)) return;
    if (notice.queueNoteId != 0)
        state->Log(1, "Notice for queue note %08lX: the processor answered %u",
                   static_cast<unsigned long>(notice.queueNoteId), status);
    else
        state->Log(1, "Refresh notice: the processor answered %u", status);
}

// After a failed send: a send the TLS checks refused gets a line an
// operator can act on, naming the processor. Nothing of the request (so no
// credentials) went out on that connection, nor to a refused redirect's
// address. `what` is the request, as the line names it.
void ReportSecureFailure(const std::shared_ptr<TransportState>& state, const http::RequestHandle& request,
                         uint32_t error, const char* what) {
    const std::string host = state->connection.ProcessorHost();
    switch (error) {
        case http::kErrorHttpsToHttpOnRedirect: {
            const std::string location = http::LocationForLog(http::RefusedRedirect(request));
            const bool plain = location.size() >= 5 && AsciiEqualNoCase(location.c_str(), "http:", 5);
            state->Log(1, "TLS: processor host %s redirected %s to %s (%s): not followed", host.c_str(), what,
                       plain ? "plain HTTP" : "an address that is not HTTPS", location.c_str());
            return;
        }
        case http::kErrorInvalidCa:
            state->Log(1, "TLS: the certificate of processor host %s is not trusted (no trusted CA issued it)",
                       host.c_str());
            return;
        case http::kErrorSecCertCnInvalid:
            state->Log(1, "TLS: the certificate of processor host %s is made out to another host name", host.c_str());
            return;
        case http::kErrorSecCertDateInvalid:
            state->Log(1, "TLS: the certificate of processor host %s has expired or is not yet valid", host.c_str());
            return;
        case http::kErrorSecCertRevoked:
            state->Log(1, "TLS: the certificate of processor host %s has been revoked", host.c_str());
            return;
        case http::kErrorSecCertRevFailed:
            state->Log(1,
                       "TLS: the certificate of processor host %s is not trusted (no trusted CA issued it), or its "
                       "revocation could not be checked",
                       host.c_str());
            return;
        case http::kErrorSecCertNoRev:
            state->Log(1, "TLS: the revocation of the certificate of processor host %s could not be checked",
                       host.c_str());
            return;
        case http::kErrorSecCertErrors:
        case http::kErrorSecInvalidCert:
        case http::kErrorSecurityChannelError: {
            // The client's own words: the TLS library's reason, or the
            // system's text for the error.
            std::string text = http::LastErrorDetail();
            if (text.empty()) text = NamedError(error);
            if (error == http::kErrorSecurityChannelError)
                state->Log(1, "TLS: the handshake with processor host %s failed: %s", host.c_str(), text.c_str());
            else
                state->Log(1, "TLS: the certificate of processor host %s was refused: %s", host.c_str(), text.c_str());
            return;
        }
        default: return;
    }
}

uint32_t StatusOf(const http::RequestHandle& request) {
    uint32_t status = 0;
    http::QueryInfo(request, http::kQueryStatusCodeNumber, status);
    return status;
}

// Ends every way out with the request closed.
struct RequestGuard {
    http::RequestHandle request;
    ~RequestGuard() {
        if (request) http::CloseHandle(request);
    }
};

}  // namespace

std::string FormUrlEncode(const std::string& value) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

void TARNDomToTN::SendToProcessor(std::shared_ptr<TransportState> state, AuthType authType, std::string address,
                                  std::string username, std::string password, uint32_t queueNoteId) {
    // Counted until the very end, so whoever waits for the workers also
    // waits for their NotesTermThread.
    struct Presence {
        TransportState& state;
        explicit Presence(TransportState& s) : state(s) { state.workers.ThreadEntered(); }
        ~Presence() { state.workers.ThreadLeft(); }
    } presence{*state};
    // This worker's C API calls (its log lines) need the thread initialised;
    // without it none may be made, not even to log: the notice goes back to
    // the queue for the next worker, and its queue note stays where it is.
    NotesThread notesThread;
    Notice notice{authType, std::move(address), std::move(username), std::move(password), queueNoteId};
    if (notesThread.Status() != NOERROR) {
        state->workers.StartFailed(std::move(notice));
        return;
    }
    do {
        Deliver(state, notice);
    } while (state->workers.Next(notice, WorkerPool::kIdleLinger));
    // Counted out: nothing of the task is touched after this but the
    // thread's own end (NotesTermThread, then the presence count), and not
    // even NotesTermThread when teardown gave this worker up.
    if (state->abandoned.load(std::memory_order_acquire)) notesThread.Forget();
}

void TARNDomToTN::Deliver(const std::shared_ptr<TransportState>& state, const Notice& notice) {
    const AuthType authType = notice.authType;
    const std::string& address = notice.address;
    const std::string& username = notice.username;
    const std::string& password = notice.password;
    RequestGuard guard;
    try {
        bool mayAuthenticate = true;
        for (;;) {  // one round per GET request; a form login starts a second one
            state->Log(2, "TARNDomToTN::SendToProcessor. Begin");
            guard.request = http::OpenRequest(state->connection.Handle(), "GET", address.c_str(),
                                              state->connection.RequestFlags(http::kFlagsReloadKeepAlive));
            if (!guard.request) {
                tarn::stats::Add(tarn::stats::Count::FailedTransport);
                const uint32_t error = http::LastError();
                std::string text = http::ErrorText(error);
                if (text.empty())
                    state->Log(1, "STP. HttpOpenRequest Failed. Unknown Error (%u)", error);
                else
                    state->Log(1, "STP. HttpOpenRequest Failed. Last Error: %s", text.c_str());
                return;
            }
            // Only a form login reads the reply; otherwise it is dropped as it arrives.
            http::SetReadLimit(guard.request, authType == AuthType::Session ? kSearchedReply : 0);
            uint32_t status = 0;
            for (;;) {  // sends of this request: the first, and one answering a 401
                state->Log(2, "TARNDomToTN::SendToProcessor. Resend");
                if (!http::SendRequest(guard.request)) {
                    const uint32_t error = http::LastError();
                    state->Log(1, "HttpSendRequest Failed: %s", NamedError(error).c_str());
                    ReportSecureFailure(state, guard.request, error, "a notice");
                }
                status = StatusOf(guard.request);
                if (status != 401) break;
                if (authType == AuthType::None) {
                    tarn::stats::Add(tarn::stats::Count::FailedAuthentication);
                    state->Log(1, "Authentication seems to be required but no login details specified");
                    return;
                }
                if (!mayAuthenticate) {
                    tarn::stats::Add(tarn::stats::Count::FailedAuthentication);
                    // Not a wrong password: the credentials never went out.
                    if (!http::ChallengeAnswerable(guard.request))
                        state->Log(1, "Authentication not possible: the processor asks for no scheme the add-in "
                                      "answers (Basic)");
                    else
                        state->Log(1, "Authentication Failed");
                    return;
                }
                state->Log(2, "TARNDomToTN::SendToProcessor. Set username and password");
                http::SetRequestOption(guard.request, http::kOptionUsername, username.c_str(),
                                       static_cast<uint32_t>(username.size() + 1));
                http::SetRequestOption(guard.request, http::kOptionPassword, password.c_str(),
                                       static_cast<uint32_t>(password.size() + 1));
                mayAuthenticate = false;
            }
            if (authType != AuthType::Session) {
                ReportRefusal(state, notice, status);
                return;
            }

            // Each piece is searched by itself, as it arrives.
            char piece[kPiece + 1];
            bool loginForm = false;
            for (;;) {
                uint32_t read = 0;
                if (!http::ReadFile(guard.request, piece, kPiece, read) || read == 0) break;
                piece[read] = '\0';
                if (strstr(piece, kLoginMarker)) {
                    loginForm = true;
                    break;
                }
            }
            if (!loginForm) {
                ReportRefusal(state, notice, status);
                return;
            }
            if (!mayAuthenticate) {
                tarn::stats::Add(tarn::stats::Count::FailedAuthentication);
                state->Log(1, "Session Authentication failed");
                return;
            }
            mayAuthenticate = false;
            state->Log(2, "TARNDomToTN::SendToProcessor. Session login");
            if (!PerformSessionLogin(state, username, password)) {
                tarn::stats::Add(tarn::stats::Count::FailedAuthentication);
                state->Log(1, "Unable to login via Form Authentication");
                return;
            }
            http::CloseHandle(guard.request);
        }
    } catch (const std::exception& e) {
        // The exchange could not be carried through.
        tarn::stats::Add(tarn::stats::Count::FailedTransport);
        state->Log(1, "%s", e.what());
    }
}

bool TARNDomToTN::PerformSessionLogin(const std::shared_ptr<TransportState>& state, std::string username,
                                      std::string password) {
    RequestGuard guard;
    try {
        guard.request = http::OpenRequest(state->connection.Handle(), "POST", kLoginMarker,
                                          state->connection.RequestFlags(http::kFlagsReloadKeepAlive));
        if (!guard.request) {
            state->Log(1, "TARNDomToTN::PerformSessionLogin. HttpOpenRequest failed. Last Error: %s",
                       LastErrorText().c_str());
            return false;
        }
        http::SetReadLimit(guard.request, 0);  // only the status counts
        // Encoded, so a '&', '=', '+', '%' or blank in the credentials logs
        // in as the user it belongs to.
        const std::string body =
            "username=" + FormUrlEncode(username) + "&password=" + FormUrlEncode(password) + "&redirectto=/";
        if (!http::SendRequest(guard.request, "Content-Type: application/x-www-form-urlencoded\r\n", body.data(),
                               body.size())) {
            const uint32_t error = http::LastError();
            std::string text = http::ErrorText(error);
            if (text.empty())
                state->Log(1, "HttpSendRequest Failed: Unknown Error (%u)", error);
            else
                state->Log(1, "TARNDomToTN::PerformSessionLogin. HttpSendRequest failed. Last Error: %s",
                           text.c_str());
            ReportSecureFailure(state, guard.request, error, "the form login");
        }
        const uint32_t status = StatusOf(guard.request);
        state->Log(2, "TARNDomToTN::PerformSessionLogin - return status: %d", static_cast<int>(status));
        tarn::stats::Add(tarn::stats::Count::NoticesLogins);  // made; whether it let in shows in the notice's outcome
        return status == 200;
    } catch (const std::exception& e) {
        state->Log(1, "%s", e.what());
        return false;
    }
}
