// The processor's behaviour switches by the names its command line and
// scenarios use.
#include "processor/processor.h"

namespace tarnsim {

const char* AuthModeName(AuthMode mode) {
    switch (mode) {
        case AuthMode::Basic: return "basic";
        case AuthMode::Session: return "session";
        default: return "none";
    }
}

const char* FailModeName(FailMode mode) {
    switch (mode) {
        case FailMode::NotFound: return "404";
        case FailMode::ServerError: return "500";
        case FailMode::Hang: return "hang";
        case FailMode::Close: return "close";
        default: return "normal";
    }
}

bool ParseAuthMode(const std::string& text, AuthMode& mode) {
    for (AuthMode m : {AuthMode::None, AuthMode::Basic, AuthMode::Session}) {
        if (text == AuthModeName(m)) {
            mode = m;
            return true;
        }
    }
    return false;
}

bool ParseFailMode(const std::string& text, FailMode& mode) {
    for (FailMode m : {FailMode::Normal, FailMode::NotFound, FailMode::ServerError, FailMode::Hang, FailMode::Close}) {
        if (text == FailModeName(m)) {
            mode = m;
            return true;
        }
    }
    return false;
}

}  // namespace tarnsim
