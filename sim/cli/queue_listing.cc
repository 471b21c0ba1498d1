#include "queue_listing.h"

#include <cstdio>
#include <map>
#include <sstream>

#include "host_calls.h"
#include "processor/outbox_store.h"

namespace simcli {

std::string ItemText(const emu::ItemValue& item) {
    if (item.type == TYPE_NUMBER || item.type == TYPE_TIME) {
        std::ostringstream s;
        s << (item.numbers.empty() ? 0 : item.numbers[0]);
        return s.str();
    }
    std::string out;
    for (size_t i = 0; i < item.texts.size(); ++i) out += (i ? "; " : "") + item.texts[i];
    return out;
}

std::string DescribeQueueNote(const emu::NoteDump& n) {
    std::map<std::string, std::string> v;
    for (const auto& item : n.items) v[item.name] = ItemText(item);
    char id[16];
    snprintf(id, sizeof id, "%08X", n.id);
    return std::string(id) + "  " + (v["Action"] == "1" ? "delete" : "change") + "  " + v["CalForm"] + " " +
           v["CalNoteID"] + " in " + v["CalDbPath"] + " for " + v["CalUserName"] + "  (UNID " + v["CalUNID"] + ")";
}

bool IsHandled(const emu::NoteDump& n) {
    for (const auto& item : n.items)
        if (item.name == "Status") return item.type == TYPE_NUMBER && !item.numbers.empty() &&
                                          item.numbers[0] == tarnsim::kStatusHandled;
    return false;
}

size_t CountPending(const std::vector<emu::NoteDump>& queue) {
    size_t n = 0;
    for (const auto& q : queue) n += !IsHandled(q);
    return n;
}

int ListQueue(const std::string& dir, bool itemsToo, bool pendingOnly) {
    emu::SetDataDirectory(dir);
    std::vector<emu::NoteDump> notes;
    if (!Check(emu::DumpNotes("brackwater\\qcapture.nsf", &notes), "read the capture queue")) return 1;
    size_t pending = CountPending(notes);
    if (pendingOnly)
        printf("Capture queue brackwater\\qcapture.nsf: %zu of %zu note(s) pending\n", pending, notes.size());
    else
        printf("Capture queue brackwater\\qcapture.nsf: %zu note(s), %zu pending\n", notes.size(), pending);
    for (const auto& n : notes) {
        bool handled = IsHandled(n);
        if (pendingOnly && handled) continue;
        std::string line = DescribeQueueNote(n);
        line.insert(10, handled ? "handled  " : "pending  ");  // after the id
        printf("  %s\n", line.c_str());
        if (!itemsToo) continue;
        for (const auto& item : n.items)
            printf("      %-12s %s\n", item.name.c_str(), ItemText(item).c_str());
    }
    return 0;
}

}  // namespace simcli
