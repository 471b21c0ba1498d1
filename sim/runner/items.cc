#include "runner/items.h"

#include <cstdio>
#include <sstream>

namespace runner {
namespace {

std::string UnidText(NOTEHANDLE note) {
    ORIGINATORID oid{};
    NSFNoteGetInfo(note, _NOTE_OID, &oid);
    char text[33];
    snprintf(text, sizeof text, "%08X%08X%08X%08X", static_cast<unsigned>(oid.File.Innards[1]),
             static_cast<unsigned>(oid.File.Innards[0]), static_cast<unsigned>(oid.Note.Innards[1]),
             static_cast<unsigned>(oid.Note.Innards[0]));
    return text;
}

}  // namespace

bool ParseItem(const std::string& word, emu::ItemValue* out) {
    auto eq = word.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    std::string name = word.substr(0, eq);
    std::string value = word.substr(eq + 1);
    char kind = name.back();
    try {
        if (kind == '#' || kind == '@') {
            name.pop_back();
            *out = kind == '#' ? emu::Number(name, std::stod(value)) : emu::Time(name, std::stod(value));
        } else if (name.size() > 2 && name.compare(name.size() - 2, 2, "[]") == 0) {
            name.resize(name.size() - 2);
            std::vector<std::string> parts;
            std::stringstream ss(value);
            std::string part;
            while (std::getline(ss, part, '|')) parts.push_back(part);
            *out = emu::TextList(name, parts);
        } else {
            *out = emu::Text(name, value);
        }
    } catch (const std::exception&) {
        return false;
    }
    return !name.empty();
}

STATUS WriteItems(NOTEHANDLE note, std::vector<emu::ItemValue> items) {
    for (auto& item : items) {
        if (item.type == TYPE_TEXT && item.texts.size() == 1 && item.texts[0] == "@unid") item.texts[0] = UnidText(note);
        NSFItemDelete(note, item.name.c_str(), static_cast<uint16_t>(item.name.size()));
        STATUS s = 0;
        if (item.type == TYPE_NUMBER || item.type == TYPE_TIME) {
            double v = item.numbers.empty() ? 0 : item.numbers[0];
            s = item.type == TYPE_NUMBER
                    ? NSFItemSetNumber(note, item.name.c_str(), &v)
                    : NSFItemAppend(note, item.flags, item.name.c_str(), static_cast<uint16_t>(item.name.size()),
                                 TYPE_TIME, &v, sizeof v);
        } else if (item.type == TYPE_TEXT_LIST) {
            std::string packed;  // 16-bit count, 16-bit lengths, then the texts
            uint16_t count = static_cast<uint16_t>(item.texts.size());
            packed.append(reinterpret_cast<const char*>(&count), 2);
            for (const auto& t : item.texts) {
                uint16_t len = static_cast<uint16_t>(t.size());
                packed.append(reinterpret_cast<const char*>(&len), 2);
            }
            for (const auto& t : item.texts) packed += t;
            s = NSFItemAppend(note, item.flags, item.name.c_str(), static_cast<uint16_t>(item.name.size()),
                           TYPE_TEXT_LIST, packed.data(), static_cast<uint32_t>(packed.size()));
        } else {
            const std::string& t = item.texts.empty() ? std::string() : item.texts[0];
            s = NSFItemAppend(note, item.flags, item.name.c_str(), static_cast<uint16_t>(item.name.size()), TYPE_TEXT,
                           t.data(), static_cast<uint32_t>(t.size()));
        }
        if (s) return s;
    }
    return 0;
}

}  // namespace runner
