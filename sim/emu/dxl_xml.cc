#include "emu/dxl_xml.h"

#include <algorithm>
#include <cstring>

namespace emu::dxl {

namespace {

[[noreturn]] void FailAt(long line, const std::string& what) {
    throw Failure("line " + std::to_string(line > 0 ? line : 0) + ": " + what);
}

// libxml2 gives a text node the line where it ends: the line of its first
// character that is not blank is what a reader looks for.
long TextLine(const xmlNode* text) {
    const std::string s = text->content ? reinterpret_cast<const char*>(text->content) : "";
    const size_t first = s.find_first_not_of(" \t\r\n");
    const auto newlinesBefore = [&](size_t end) { return std::count(s.begin(), s.begin() + end, '\n'); };
    return xmlGetLineNo(text) - newlinesBefore(s.size()) + newlinesBefore(first == std::string::npos ? 0 : first);
}

}  // namespace

void Fail(const xmlNode* node, const std::string& what) {
    long line = node ? xmlGetLineNo(node) : 0;
    if (line <= 0 && node && node->parent) line = xmlGetLineNo(node->parent);
    FailAt(line, what);
}

std::string Name(const xmlNode* n) { return reinterpret_cast<const char*>(n->name); }

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

bool InDxlNamespace(const xmlNode* n) {
    return n->ns && n->ns->href && strcmp(reinterpret_cast<const char*>(n->ns->href), kNamespace) == 0;
}

std::optional<std::string> Attr(const xmlNode* n, const char* name) {
    // Only the attribute without a namespace: a prefixed one is refused by
    // OnlyAttributes, never taken for the plain one.
    xmlChar* v = xmlGetNoNsProp(n, reinterpret_cast<const xmlChar*>(name));
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

bool Boolean(const xmlNode* n, const char* name, bool absent) {
    auto v = Attr(n, name);
    if (!v) return absent;
    // xs:boolean collapses blanks around its value.
    const std::string t = Trim(*v);
    if (t == "true" || t == "1") return true;
    if (t == "false" || t == "0") return false;
    Fail(n, std::string(name) + "='" + *v + "' of <" + Name(n) + "> is not a boolean (true, false, 1 or 0)");
}

void OnlyAttributes(const xmlNode* n, std::initializer_list<const char*> known) {
    for (const xmlAttr* a = n->properties; a; a = a->next) {
        const std::string name = reinterpret_cast<const char*>(a->name);
        const bool plain = !a->ns;
        if (plain && std::any_of(known.begin(), known.end(), [&](const char* k) { return name == k; })) continue;
        const std::string shown = plain ? name : std::string(reinterpret_cast<const char*>(a->ns->prefix)) + ":" + name;
        Fail(n, "attribute '" + shown + "' of <" + Name(n) + "> is not supported");
    }
}

namespace {

bool Blank(const xmlNode* text) {
    const char* s = reinterpret_cast<const char*>(text->content);
    return !s || Trim(s).empty();
}

bool Names(const Step& step, const std::string& name) {
    return std::find(step.names.begin(), step.names.end(), name) != step.names.end();
}

// "<a>", "<a> or <b>", "<a>, <b> or <c>".
std::string Either(const Step& step) {
    std::string s;
    for (size_t i = 0; i < step.names.size(); ++i)
        s += (i == 0 ? "" : i + 1 == step.names.size() ? " or " : ", ") + ("<" + step.names[i] + ">");
    return s;
}

}  // namespace

std::vector<const xmlNode*> Sequence(const xmlNode* n, std::initializer_list<Step> steps, bool textAllowed) {
    const std::vector<Step> model(steps);
    std::vector<const xmlNode*> out;
    std::vector<int> counts(model.size(), 0);
    size_t at = 0;
    const xmlNode* previous = nullptr;
    for (const xmlNode* c = n->children; c; c = c->next) {
        if (c->type == XML_COMMENT_NODE || c->type == XML_PI_NODE) continue;
        if (c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) {
            if (!textAllowed && !Blank(c)) FailAt(TextLine(c), "text in <" + Name(n) + "> is not allowed");
            continue;
        }
        if (c->type != XML_ELEMENT_NODE) Fail(c, "an entity reference in <" + Name(n) + "> is not supported");
        const std::string name = Name(c);
        if (!InDxlNamespace(c)) Fail(c, "<" + name + "> in <" + Name(n) + "> is not in the DXL namespace");
        size_t step = at;
        while (step < model.size() && !Names(model[step], name)) ++step;
        if (step == model.size()) {
            const bool earlier = std::any_of(model.begin(), model.begin() + at, [&](const Step& s) { return Names(s, name); });
            if (earlier)
                Fail(c, "<" + name + "> in <" + Name(n) + "> must come before <" + Name(previous) + ">");
            Fail(c, "<" + name + "> in <" + Name(n) + "> is not supported");
        }
        for (size_t skipped = at; skipped < step; ++skipped)
            if (counts[skipped] < model[skipped].min)
                Fail(c, "<" + Name(n) + "> has no " + Either(model[skipped]) + " before <" + name + ">");
        if (++counts[step] > model[step].max)
            Fail(c, model[step].max == 1 ? "a second <" + name + "> in <" + Name(n) + ">"
                                         : "too many <" + name + "> in <" + Name(n) + ">");
        at = step;
        previous = c;
        out.push_back(c);
    }
    for (size_t step = at; step < model.size(); ++step)
        if (counts[step] < model[step].min) Fail(n, "<" + Name(n) + "> has no " + Either(model[step]));
    return out;
}

std::string Content(const xmlNode* n) {
    std::string s;
    for (const xmlNode* c = n->children; c; c = c->next) {
        if (c->type == XML_COMMENT_NODE || c->type == XML_PI_NODE) continue;
        if (c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) {
            if (c->content) s += reinterpret_cast<const char*>(c->content);
        } else if (c->type == XML_ELEMENT_NODE) {
            Fail(c, "<" + Name(c) + "> in <" + Name(n) + "> is not supported");
        } else {
            Fail(c, "an entity reference in <" + Name(n) + "> is not supported");
        }
    }
    return s;
}

}  // namespace emu::dxl
