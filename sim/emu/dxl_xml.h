// Reading DXL as its schema declares it, for the elements the importer
// supports: elements in the DXL namespace and in the declared order and
// numbers, no text where only elements may stand, no attribute the importer
// does not know, XML booleans. Every refusal is a Failure naming the line.
#pragma once

#include <libxml/tree.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "emu/dxl_parse.h"

namespace emu::dxl {

inline constexpr char kNamespace[] = "http://www.lotus.com/dxl";
inline constexpr int kMany = 1 << 30;

[[noreturn]] void Fail(const xmlNode* node, const std::string& what);
std::string Name(const xmlNode* n);
std::string Trim(const std::string& s);
bool InDxlNamespace(const xmlNode* n);

std::optional<std::string> Attr(const xmlNode* n, const char* name);
// Present and not empty.
std::string Required(const xmlNode* n, const char* name);
// An XML Schema boolean (true, false, 1 or 0), or `absent` when not given.
bool Boolean(const xmlNode* n, const char* name, bool absent);
// Every attribute of n is one of `known` (namespace declarations are not
// attributes); the first other one fails.
void OnlyAttributes(const xmlNode* n, std::initializer_list<const char*> known);

// One step of a content model: any of `names`, between min and max times.
struct Step {
    std::vector<std::string> names;
    int min = 0;
    int max = kMany;
};
// The element children of n, checked against the steps in order (an element
// no step names is not supported; one a passed step names is out of order);
// text other than blanks only where textAllowed.
std::vector<const xmlNode*> Sequence(const xmlNode* n, std::initializer_list<Step> steps, bool textAllowed = false);
// The text of an element that holds text only.
std::string Content(const xmlNode* n);

}  // namespace emu::dxl
