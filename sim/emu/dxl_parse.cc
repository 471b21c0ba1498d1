#include "emu/dxl_parse.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

namespace emu::dxl {
namespace {

[[noreturn]] void Fail(const xmlNode* node, const std::string& what) {
    throw Failure("line " + std::to_string(node ? xmlGetLineNo(node) : 0) + ": " + what);
}

std::string Name(const xmlNode* n) { return reinterpret_cast<const char*>(n->name); }

std::optional<std::string> Attr(const xmlNode* n, const char* name) {
    xmlChar* v = xmlGetProp(n, reinterpret_cast<const xmlChar*>(name));
    if (!v) return std::nullopt;
    std::string s(reinterpret_cast<const char*>(v));
    xmlFree(v);
    return s;
}

std::string Required(const xmlNode* n, const char* name) {
    auto v = Attr(n, name);
    if (!v || v->empty()) Fail(n, "<" + Name(n) + "> has no " + name);
    return *v;
}

std::string Content(const xmlNode* n) {
    xmlChar* v = xmlNodeGetContent(n);
    std::string s(v ? reinterpret_cast<const char*>(v) : "");
    xmlFree(v);
    return s;
}

template <typename F>
void Children(const xmlNode* n, F f) {
    for (const xmlNode* c = n->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE) f(c);
}

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

int AclLevel(const xmlNode* n) {
    static const char* const kLevels[] = {"noaccess", "depositor", "reader", "author",
                                          "editor",   "designer",  "manager"};
    std::string level = Required(n, "level");
    for (int i = 0; i < 7; ++i)
        if (level == kLevels[i]) return i;
    Fail(n, "unknown ACL level '" + level + "'");
}

void ParseAcl(const xmlNode* acl, Parsed* out) {
    out->hasAcl = true;
    Children(acl, [&](const xmlNode* e) {
        if (Name(e) != "aclentry") Fail(e, "<" + Name(e) + "> in <acl> is not supported");
        std::string name = Required(e, "name");
        if (name.find_first_of("\t\n") != std::string::npos) Fail(e, "an ACL entry name holds a tab or line break");
        if (Attr(e, "default").value_or("false") == "true") name = "-Default-";
        out->acl += std::to_string(AclLevel(e)) + "\t" + name + "\n";
    });
}

std::string TitleWithAlias(const xmlNode* n) {
    std::string title = Required(n, "name");
    if (auto alias = Attr(n, "alias"); alias && !alias->empty()) title += "|" + *alias;
    return title;
}

// A form's body is rich text the add-in never reads: its fields are kept by
// name and type ($Fields), the layout around them is accepted and dropped.
void ParseForm(const xmlNode* form, Parsed* out) {
    static const char* const kLayout[] = {"body", "richtext", "par", "pardef", "run", "font", "field"};
    std::vector<std::string> fields;
    std::function<void(const xmlNode*)> walk = [&](const xmlNode* n) {
        Children(n, [&](const xmlNode* c) {
            std::string name = Name(c);
            if (std::find(std::begin(kLayout), std::end(kLayout), name) == std::end(kLayout))
                Fail(c, "<" + name + "> in a form is not supported");
            if (name == "field") fields.push_back(Required(c, "name") + ":" + Attr(c, "type").value_or("text"));
            walk(c);
        });
    };
    walk(form);
    out->designs.push_back({NOTE_CLASS_FORM, {FromValue(Text("$TITLE", TitleWithAlias(form))),
                                              FromValue(TextList("$Fields", fields))}});
}

// The selections a kit writes: SELECT @All, or terms Item = "text" or
// Item = number joined by '|'. Each term is kept as "T<item>=<text>" or
// "N<item>=<number>" in $Select.
std::vector<std::string> ParseSelection(const xmlNode* at, const std::string& formula) {
    std::string f = Trim(formula);
    auto unsupported = [&]() { Fail(at, "selection formula not supported: " + f); };
    if (f.compare(0, 7, "SELECT ") != 0) unsupported();
    std::string rest = Trim(f.substr(7));
    if (rest == "@All") return {};
    std::vector<std::string> terms;
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t bar = rest.find('|', pos);
        std::string term = Trim(rest.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos));
        size_t eq = term.find('=');
        if (eq == std::string::npos) unsupported();
        std::string item = Trim(term.substr(0, eq)), value = Trim(term.substr(eq + 1));
        if (item.empty() || item.find_first_not_of(
                                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_$") != std::string::npos)
            unsupported();
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"' &&
            value.find('"', 1) == value.size() - 1) {
            terms.push_back("T" + item + "=" + value.substr(1, value.size() - 2));
        } else {
            char* end = nullptr;
            double d = strtod(value.c_str(), &end);
            if (value.empty() || *end || !std::isfinite(d)) unsupported();
            terms.push_back("N" + item + "=" + value);
        }
        if (bar == std::string::npos) break;
        pos = bar + 1;
    }
    return terms;
}

void ParseView(const xmlNode* view, Parsed* out) {
    std::string flags;
    if (auto hide = Attr(view, "hide")) {
        // Design flags of the C API: n hidden from Notes clients, w from the web.
        size_t pos = 0;
        std::string h = *hide + " ";
        while (pos < h.size()) {
            size_t sp = h.find(' ', pos);
            std::string token = h.substr(pos, sp - pos);
            if (token == "notes") flags += 'n';
            else if (token == "web") flags += 'w';
            else if (!token.empty()) Fail(view, "hide='" + token + "' is not supported");
            pos = sp + 1;
        }
    }
    std::optional<std::vector<std::string>> selection;
    std::vector<std::string> columns;
    int sort = -1;
    Children(view, [&](const xmlNode* c) {
        std::string name = Name(c);
        if (name == "code") {
            if (Attr(c, "event").value_or("") != "selection") Fail(c, "only the selection <code> of a view is supported");
            const xmlNode* formula = nullptr;
            Children(c, [&](const xmlNode* f) {
                if (Name(f) != "formula" || formula) Fail(f, "a selection holds one <formula>");
                formula = f;
            });
            if (!formula) Fail(c, "a selection without <formula>");
            selection = ParseSelection(formula, Content(formula));
        } else if (name == "column") {
            std::string sortAttr = Attr(c, "sort").value_or("none");
            if (sortAttr == "ascending") {
                if (sort >= 0) Fail(c, "only one sorted column is supported");
                sort = static_cast<int>(columns.size());
            } else if (sortAttr != "none") {
                Fail(c, "sort='" + sortAttr + "' is not supported");
            }
            columns.push_back(Required(c, "itemname"));
            Children(c, [&](const xmlNode* h) {
                if (Name(h) != "columnheader") Fail(h, "<" + Name(h) + "> in a column is not supported");
            });
        } else {
            Fail(c, "<" + name + "> in a view is not supported");
        }
    });
    if (!selection) Fail(view, "view '" + Required(view, "name") + "' has no selection formula");
    if (columns.size() > kMaxColumns) Fail(view, "too many columns");
    out->designs.push_back({NOTE_CLASS_VIEW,
                            {FromValue(Text("$TITLE", TitleWithAlias(view))), FromValue(Text("$Flags", flags)),
                             FromValue(TextList("$Select", *selection)), FromValue(TextList("$Columns", columns)),
                             FromValue(Number("$Sort", sort))}});
}

// DXL times: yyyymmddThhmmss,hh and an optional zone (+hh, -hh or Z). The
// stand-in keeps a time item as seconds since 1970 UTC in the 8 bytes a
// TIMEDATE has.
double ParseDateTime(const xmlNode* at, const std::string& text) {
    int y, mo, d, h, mi, s;
    char zone[8] = "";
    int n = 0;
    if (sscanf(text.c_str(), "%4d%2d%2dT%2d%2d%2d%n", &y, &mo, &d, &h, &mi, &s, &n) != 6)
        Fail(at, "date-time '" + text + "' is not supported");
    std::string tail = text.substr(n);
    double hundredths = 0;
    if (tail.size() >= 3 && tail[0] == ',') {
        hundredths = std::stoi(tail.substr(1, 2)) / 100.0;
        tail = tail.substr(3);
    }
    int offsetHours = 0;
    if (!tail.empty() && tail != "Z") {
        if ((tail[0] != '+' && tail[0] != '-') || tail.size() > 6 || sscanf(tail.c_str() + 1, "%7s", zone) != 1)
            Fail(at, "date-time zone '" + tail + "' is not supported");
        offsetHours = std::stoi(zone) * (tail[0] == '-' ? -1 : 1);
    }
    // The calendar in <chrono> rather than timegm, which Windows lacks; and an
    // impossible date is refused, not moved on to a real one.
    namespace chr = std::chrono;
    const chr::year_month_day date{chr::year{y}, chr::month(static_cast<unsigned>(mo)), chr::day(static_cast<unsigned>(d))};
    if (!date.ok() || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59)
        Fail(at, "date-time '" + text + "' is no real date and time");
    const auto seconds = chr::sys_days{date}.time_since_epoch() / chr::seconds(1) + h * 3600 + mi * 60 + s;
    return static_cast<double>(seconds) - offsetHours * 3600.0 + hundredths;
}

void ParseDocument(const xmlNode* doc, Parsed* out) {
    std::vector<Item> items;
    if (auto form = Attr(doc, "form")) items.push_back(FromValue(Text("Form", *form)));
    Children(doc, [&](const xmlNode* it) {
        if (Name(it) != "item") Fail(it, "<" + Name(it) + "> in a document is not supported");
        std::string name = Required(it, "name");
        const xmlNode* value = nullptr;
        Children(it, [&](const xmlNode* v) {
            if (value) Fail(v, "item '" + name + "' holds more than one value element");
            value = v;
        });
        if (!value) Fail(it, "item '" + name + "' has no value");
        std::string kind = Name(value);
        if (kind == "text") {
            items.push_back(FromValue(Text(name, Content(value))));
        } else if (kind == "number") {
            std::string t = Trim(Content(value));
            char* end = nullptr;
            double d = strtod(t.c_str(), &end);
            if (t.empty() || *end || !std::isfinite(d)) Fail(value, "number '" + t + "' is not a number");
            items.push_back(FromValue(Number(name, d)));
        } else if (kind == "datetime") {
            items.push_back(FromValue(Time(name, ParseDateTime(value, Trim(Content(value))))));
        } else if (kind == "textlist") {
            std::vector<std::string> texts;
            Children(value, [&](const xmlNode* t) {
                if (Name(t) != "text") Fail(t, "<" + Name(t) + "> in a text list is not supported");
                texts.push_back(Content(t));
            });
            items.push_back(FromValue(TextList(name, texts)));
        } else {
            Fail(value, "item value <" + kind + "> is not supported");
        }
    });
    out->documents.push_back(std::move(items));
}

}  // namespace

Parsed ParseDxl(const std::string& bytes) {
    xmlDocPtr doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), "import.dxl", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR);
    if (!doc) {
        const xmlError* e = xmlGetLastError();
        throw Failure("line " + std::to_string(e ? e->line : 0) + ": not well-formed XML: " +
                      Trim(e && e->message ? e->message : "unknown error"));
    }
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> holder(doc, xmlFreeDoc);
    const xmlNode* root = xmlDocGetRootElement(doc);
    if (!root || Name(root) != "database") Fail(root, "the root element is not <database>");
    Parsed out;
    out.title = Attr(root, "title");
    Children(root, [&](const xmlNode* c) {
        std::string name = Name(c);
        if (name == "acl") ParseAcl(c, &out);
        else if (name == "form") ParseForm(c, &out);
        else if (name == "view") ParseView(c, &out);
        else if (name == "document") ParseDocument(c, &out);
        else Fail(c, "unknown element <" + name + ">");
    });
    return out;
}

}  // namespace emu::dxl
