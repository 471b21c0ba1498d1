// The DXL a kit holds, read and checked whole before anything is written:
// the database title, ACL entries, forms, views and documents, or a Failure
// naming the line of the first thing the stand-in does not support.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "emu/store.h"

namespace emu::dxl {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Parsed {
    std::optional<std::string> title;
    bool hasAcl = false;
    std::string acl;  // "level\tname\n" per entry, as NSFDbReadACL hands it on
    std::vector<std::pair<uint16_t, std::vector<Item>>> designs;
    std::vector<std::vector<Item>> documents;
};

// The XML is parsed by libxml2 with no network and no entity substitution.
Parsed ParseDxl(const std::string& bytes);

}  // namespace emu::dxl
