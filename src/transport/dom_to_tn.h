// The HTTP exchange of notices; runs on a detached worker thread, which
// takes further waiting notices when its first is done and lingers a little
// for the next one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/notice.h"

struct TransportState;

class TARNDomToTN {
public:
    // The worker thread's body: this notice, then whatever waits.
    void SendToProcessor(std::shared_ptr<TransportState> state, AuthType authType, std::string address,
                         std::string username, std::string password, uint32_t queueNoteId);
    bool PerformSessionLogin(const std::shared_ptr<TransportState>& state, std::string username,
                             std::string password);

private:
    // One notice's exchange: the GET, one answer to a 401, or one form login.
    void Deliver(const std::shared_ptr<TransportState>& state, const Notice& notice);
};

// application/x-www-form-urlencoded value: letters, digits and "-._~" as
// they are, every other byte as %XX.
std::string FormUrlEncode(const std::string& value);
