// The notice path: what the processor answers a transaction notice in each
// mode, and the record of it.
#include "processor/processor_impl.h"
#include "processor/sockets.h"

namespace tarnsim {

void Processor::Impl::Hold() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, options.hangLimit, [&] { return stopping; });
}

void Processor::Impl::HandleNotice(const httplib::Request& req, httplib::Response& res) {
    NoticeRecord rec;
    rec.method = req.method;
    rec.target = req.target;
    rec.action = req.get_param_value("action");
    rec.qnoteid = req.get_param_value("qnoteid");
    rec.idToken = req.get_param_value("id");
    rec.tokenOk = rec.idToken == kNoticeToken;
    rec.refresh = rec.action == "refreshconfig";

    if (options.replyDelay.count() > 0) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, options.replyDelay, [&] { return stopping; });
    }
    FailMode failMode;
    AuthMode authMode;
    {
        std::lock_guard<std::mutex> lock(mutex);
        failMode = mode;
        authMode = auth;
    }
    bool drop = false;
    switch (failMode) {
        case FailMode::NotFound:
            res.status = 404;
            res.set_content("<html><body>Not Found</body></html>", "text/html");
            break;
        case FailMode::ServerError:
            res.status = 500;
            res.set_content("<html><body>Internal Server Error</body></html>", "text/html");
            break;
        case FailMode::Hang:
        case FailMode::Close: drop = true; break;
        case FailMode::Normal: {
            bool ok = false;
            switch (authMode) {
                case AuthMode::None: ok = true; break;
                case AuthMode::Basic: ok = ValidBasic(req, rec.basicUser); break;
                case AuthMode::Session: ok = ValidSession(req); break;
            }
            if (ok && !options.redirectTo.empty()) {
                res.set_redirect(options.redirectTo + req.target, 302);
            } else if (ok) {
                rec.accepted = true;
                rec.acceptedUnder = AuthModeName(authMode);
                res.status = 200;
                if (options.endlessReply)
                    res.set_chunked_content_provider("text/html", [this](size_t, httplib::DataSink& sink) {
                        static const std::string chunk(64 * 1024, 'x');
                        {
                            std::lock_guard<std::mutex> lock(mutex);
                            if (stopping) return false;
                        }
                        return sink.is_writable() && sink.write(chunk.data(), chunk.size());
                    });
                else
                    res.set_content(options.replyBody, "text/html");
            } else if (authMode == AuthMode::Basic) {
                res.status = 401;
                res.set_header("WWW-Authenticate", options.challenge.empty() ? "Basic realm=\"TARN processor\""
                                                                             : options.challenge);
                res.set_content("<html><body>Authorization required</body></html>", "text/html");
            } else {
                res.status = 200;
                res.set_content(LoginPage(options.path), "text/html");
            }
            break;
        }
    }
    rec.status = drop ? 0 : res.status;
    if (rec.accepted && !rec.refresh && !rec.qnoteid.empty()) {
        std::function<std::string(const std::string&)> hook;
        {
            std::lock_guard<std::mutex> lock(mutex);
            hook = lookup;
        }
        if (hook) rec.lookup = hook(rec.qnoteid);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        rec.seq = ++seq;
        nlohmann::json line = {{"kind", "notice"},       {"seq", rec.seq},
                               {"method", rec.method},   {"target", rec.target},
                               {"action", rec.action},   {"qnoteid", rec.qnoteid},
                               {"tokenOk", rec.tokenOk}, {"refresh", rec.refresh},
                               {"accepted", rec.accepted}, {"auth", rec.acceptedUnder},
                               {"status", rec.status},   {"mode", FailModeName(failMode)},
                               {"lookup", rec.lookup}};
        WriteRecord(line);
        notices.push_back(rec);
    }
    changed.notify_all();
    if (drop) {
        if (failMode == FailMode::Hang) Hold();
        // Over TLS the request names its own socket; a plain one is found
        // by its ports.
        if (req.ssl)
            DropSocket(SSL_get_fd(req.ssl));
        else
            DropConnection(req.local_port, req.remote_port);
    }
}

void Processor::Impl::Handle(const httplib::Request& req, httplib::Response& res) {
    if (req.path == options.path) {
        HandleNotice(req, res);
    } else if (req.method == "POST" && req.path == "/names.nsf" && req.has_param("Login")) {
        HandleLogin(req, res);
    } else if (req.path == "/" && (req.method == "GET" || req.method == "HEAD")) {
        res.status = 200;
        res.set_content("<html><body>TARN sample transaction processor</body></html>", "text/html");
    } else {
        res.status = 404;
        res.set_content("<html><body>Not Found</body></html>", "text/html");
    }
}

}  // namespace tarnsim
