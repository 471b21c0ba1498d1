// The processor settings of the server document, as one load read them: the
// configuration publishes them, the transport sends each notice with one
// copy, so a notice never mixes the settings of two loads.
#pragma once

#include <cstdint>

struct TARNSettings {
    int32_t logLevel = 1;
    char url[260] = {};
    char hostname[260] = {};
    int32_t port = 0;
    char authType[260] = {};
    char username[260] = {};
    char password[260] = {};
};
