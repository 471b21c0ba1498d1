// The data directory: made afresh with the sample databases, or checked to
// be one that was.
#pragma once

#include <string>

namespace simcli {

struct PrepareOptions {
    int port = 8080;
    std::string auth = "None";
    int level = 3;
    // notes.ini TARN_HTTP_Secure=1, and TARN_HTTP_CAFile when a file is named.
    bool secure = false;
    std::string caFile;
};

// Removes `dir`, makes it again with notes.ini, the configuration, alerts and
// capture-queue databases and the sample mail files. False after a line on
// standard error.
bool Prepare(const std::string& dir, const PrepareOptions& o);

// A data directory that tarn-sim prepared: notes.ini and the configuration
// database at least. Empty when it is; otherwise one line saying what to do.
std::string CheckPrepared(const std::string& dir, bool needQueue);

}  // namespace simcli
