#include "emu/dxl_parse.h"

#include <libxml/parser.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "emu/dxl_xml.h"

namespace emu::dxl {
namespace {

int AclLevel(const xmlNode* n) {
    static const char* const kLevels[] = {"noaccess", "depositor", "reader", "author",
                                          "editor",   "designer",  "manager"};
    std::string level = Required(n, "level");
    for (int i = 0; i < 7; ++i)
        if (level == kLevels[i]) return i;
    Fail(n, "unknown ACL level '" + level + "'");
}

// <acl>: role*, aclentry+, logentry*; of these only the entries, by name,
// level and default. The default entry is -Default- whatever its name (the
// schema lets it be empty); any other entry needs a name.
void ParseAcl(const xmlNode* acl, Parsed* out) {
    OnlyAttributes(acl, {});
    out->hasAcl = true;
    bool sawDefault = false;
    for (const xmlNode* e : Sequence(acl, {{{"aclentry"}, 1}})) {
        OnlyAttributes(e, {"name", "level", "default"});
        Sequence(e, {});
        auto name = Attr(e, "name");
        if (!name) Fail(e, "<aclentry> has no name");
        if (Boolean(e, "default", false)) {
            if (sawDefault) Fail(e, "a second default ACL entry");
            sawDefault = true;
            name = "-Default-";
        } else if (name->empty()) {
            Fail(e, "an ACL entry other than the default one has an empty name");
        } else if (*name == "-Default-") {
            Fail(e, "-Default- is the default entry's name: it needs default='true'");
        }
        if (name->find_first_of("\t\n") != std::string::npos) Fail(e, "an ACL entry name holds a tab or line break");
        out->acl += std::to_string(AclLevel(e)) + "\t" + *name + "\n";
    }
}

std::string TitleWithAlias(const xmlNode* n) {
    std::string title = Required(n, "name");
    if (auto alias = Attr(n, "alias"); alias && !alias->empty()) title += "|" + *alias;
    return title;
}

// The schema's field types.
bool FieldType(const std::string& type) {
    static const char* const kTypes[] = {"text",    "number",   "datetime", "richtext",     "keyword",
                                         "names",   "authors",  "readers",  "password",     "formula",
                                         "timezone", "richtextlite", "color"};
    return std::find(std::begin(kTypes), std::end(kTypes), type) != std::end(kTypes);
}

void ParseField(const xmlNode* field, std::vector<std::string>* fields) {
    OnlyAttributes(field, {"name", "type", "kind"});
    Sequence(field, {});
    const std::string name = Required(field, "name");
    auto type = Attr(field, "type");
    if (!type) Fail(field, "field '" + name + "' has no type");
    if (!FieldType(*type)) Fail(field, "field '" + name + "' has type '" + *type + "', not a DXL field type");
    // Only what the kit's forms are: fields the user fills in.
    if (auto kind = Attr(field, "kind"); kind && *kind != "editable")
        Fail(field, "kind='" + *kind + "' of field '" + name + "' is not supported");
    fields->push_back(name + ":" + *type);
}

// A form's body is rich text the add-in never reads: its fields are kept by
// name and type ($Fields), the paragraphs around them are checked and dropped.
// form: body (what may come before it is not supported); body: richtext;
// richtext: paragraphs and their definitions; par: text, runs and fields;
// run: font?, text.
void ParseForm(const xmlNode* form, Parsed* out) {
    OnlyAttributes(form, {"name", "alias"});
    std::vector<std::string> fields;
    const xmlNode* body = Sequence(form, {{{"body"}, 1, 1}})[0];
    OnlyAttributes(body, {});
    const xmlNode* richtext = Sequence(body, {{{"richtext"}, 1, 1}})[0];
    OnlyAttributes(richtext, {});
    for (const xmlNode* block : Sequence(richtext, {{{"par", "pardef"}}})) {
        if (Name(block) == "pardef") {
            OnlyAttributes(block, {"id"});
            Sequence(block, {});
            continue;
        }
        OnlyAttributes(block, {"def"});
        for (const xmlNode* inline_ : Sequence(block, {{{"run", "field"}}}, true)) {
            if (Name(inline_) == "field") {
                ParseField(inline_, &fields);
                continue;
            }
            OnlyAttributes(inline_, {});
            for (const xmlNode* font : Sequence(inline_, {{{"font"}, 0, 1}}, true)) {
                OnlyAttributes(font, {"size", "style", "color", "name"});
                Sequence(font, {});
            }
        }
    }
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

// view: code*, then column* (what else the schema lets a view hold is not
// supported); one selection code holding one formula; columns by item name
// with at most one header each.
void ParseView(const xmlNode* view, Parsed* out) {
    OnlyAttributes(view, {"name", "alias", "hide"});
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
    for (const xmlNode* c : Sequence(view, {{{"code"}}, {{"column"}}})) {
        if (Name(c) == "code") {
            OnlyAttributes(c, {"event"});
            if (Attr(c, "event").value_or("") != "selection") Fail(c, "only the selection <code> of a view is supported");
            if (selection) Fail(c, "a second selection <code> in a view");
            const xmlNode* formula = Sequence(c, {{{"formula"}, 1, 1}})[0];
            OnlyAttributes(formula, {});
            selection = ParseSelection(formula, Content(formula));
            continue;
        }
        OnlyAttributes(c, {"itemname", "sort"});
        if (auto sortAttr = Attr(c, "sort")) {
            if (*sortAttr != "ascending") Fail(c, "sort='" + *sortAttr + "' is not supported");
            if (sort >= 0) Fail(c, "only one sorted column is supported");
            sort = static_cast<int>(columns.size());
        }
        columns.push_back(Required(c, "itemname"));
        for (const xmlNode* header : Sequence(c, {{{"columnheader"}, 0, 1}})) {
            OnlyAttributes(header, {"title"});
            Sequence(header, {});
        }
    }
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

// document: items, each holding one value: text, number, datetime or a
// text list (text*); a text holds plain text only (no <break>).
void ParseDocument(const xmlNode* doc, Parsed* out) {
    OnlyAttributes(doc, {"form"});
    std::vector<Item> items;
    if (auto form = Attr(doc, "form")) items.push_back(FromValue(Text("Form", *form)));
    for (const xmlNode* it : Sequence(doc, {{{"item"}}})) {
        OnlyAttributes(it, {"name"});
        const std::string name = Required(it, "name");
        const xmlNode* value = Sequence(it, {{{"text", "number", "datetime", "textlist"}, 1, 1}})[0];
        OnlyAttributes(value, {});
        const std::string kind = Name(value);
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
        } else {
            std::vector<std::string> texts;
            for (const xmlNode* t : Sequence(value, {{{"text"}}})) {
                OnlyAttributes(t, {});
                texts.push_back(Content(t));
            }
            items.push_back(FromValue(TextList(name, texts)));
        }
    }
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
    if (!InDxlNamespace(root))
        Fail(root, std::string("<database> is not in the DXL namespace (xmlns='") + kNamespace + "')");
    // The DXL version attributes say which release wrote the file; nothing
    // here depends on them.
    OnlyAttributes(root, {"title", "version", "maintenanceversion"});
    Parsed out;
    out.title = Attr(root, "title");
    // database: databaseinfo?, acl?, fulltextsettings?, launchsettings?,
    // then design elements and documents in any order.
    for (const xmlNode* c : Sequence(root, {{{"acl"}, 0, 1}, {{"form", "view", "document"}}})) {
        const std::string name = Name(c);
        if (name == "acl") ParseAcl(c, &out);
        else if (name == "form") ParseForm(c, &out);
        else if (name == "view") ParseView(c, &out);
        else ParseDocument(c, &out);
    }
    return out;
}

}  // namespace emu::dxl
