// One notice to the processor as its worker needs it, taken from one
// settings snapshot.
#pragma once

#include <cstdint>
#include <string>

#include "transport/auth_type.h"

struct Notice {
    AuthType authType = AuthType::None;
    std::string address;
    std::string username;
    std::string password;
    // The capture-queue note announced; 0 for a refresh notice.
    uint32_t queueNoteId = 0;
};
