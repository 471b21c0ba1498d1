// The administrator's kit as a library: the three databases created from
// their designs (admin/*.dxl, built in), for tarn-setup and for every
// program that needs databases as a server would have them (tarn-sim
// prepare, the tests).
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "global.h"

namespace tarnkit {

// The server document's items.
struct ServerSettings {
    std::string host;
    int port = 80;
    std::string path = "servlet/dts";
    std::string auth = "None";
    std::string user;
    std::string password;
    int logLevel = 1;
};

struct CreateOptions {
    std::string admins;            // the administrators' group, Manager; empty: the design's placeholder
    std::string processorAccount;  // the processor's account in the capture queue, Editor
    bool skipExisting = false;     // a database that exists is left alone instead of failing
    std::optional<ServerSettings> server;
};

// The paths the add-in reads, and their designs.
struct Design {
    const char* path;  // "brackwater\\tarnconfig.nsf"
    const char* name;  // "tarnconfig" (admin/tarnconfig.dxl)
};
extern const Design kDesigns[3];
// The built-in text of admin/<name>.dxl; empty for an unknown name.
std::string DesignText(const std::string& name);

// Creates the databases (NSFDbCreate, then the DXL importer with design and
// ACL). Progress to out, problems to err. 0 when all exist afterwards as
// asked, 1 otherwise; with a database present and no skipExisting nothing
// is created. Each database is made whole or not at all: one whose design,
// ACL or server document could not be written is deleted again, so that
// the next run makes it; with skipExisting, one present without the kit's
// forms and views is named and the run fails.
int CreateDatabases(const CreateOptions& options, std::ostream& out, std::ostream& err);

// Imports DXL into an open database, design, ACL and documents included.
// On failure *log holds the importer's result log (or the reason); on
// success *imported (when given) the ids of the notes it wrote.
STATUS ImportDxl(DBHANDLE db, const std::string& dxl, std::string* log, std::vector<NOTEID>* imported = nullptr);

// The kit's forms and views (by name, from admin/<name>.dxl) the open
// database lacks, in one text ("form Alert, view Alerts"), or why its
// design cannot be read; empty when none is missing.
std::string LackingDesign(DBHANDLE db, const std::string& name);

// The text of a C API status ("File does not exist (0x0103)").
std::string StatusText(STATUS s);

}  // namespace tarnkit
