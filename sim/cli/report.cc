#include "report.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <vector>

#include "demo_processor.h"
#include "emu/emulator.h"
#include "queue_listing.h"

namespace simcli {
namespace {

// Refusal lines of the add-in's console log, counted by their text; and the
// filter's verdicts.
std::map<std::string, int> Refusals(const std::string& dir, int* accepted, int* refused) {
    std::map<std::string, int> reasons;
    std::ifstream log(dir + "/console.log");
    std::string line;
    const std::vector<std::string> markers = {"Filter: FAIL: ", "Filter: Not Appointment", "Error: Calendar Profile"};
    *accepted = 0;
    *refused = 0;
    while (std::getline(log, line)) {
        auto colon = line.find(") : ");
        if (colon == std::string::npos) continue;
        std::string text = line.substr(colon + 4);
        if (text == "TARNEventProcessor::ProcessEventSingle. Passed Filter") ++*accepted;
        if (text == "TARNEventProcessor::ProcessEventSingle. Failed Filter") ++*refused;
        for (const auto& m : markers)
            if (text.rfind(m, 0) == 0) {
                for (char& c : text)
                    if (c == '\t') c = ' ';
                ++reasons[text];
            }
    }
    return reasons;
}

// Queue notes that no accepted notice named: their notices were lost on the
// way (no processor, a refusal, a dropped connection).
size_t LostNotices(const std::vector<emu::NoteDump>& queue, const std::vector<tarnsim::NoticeRecord>& notices) {
    std::set<uint32_t> named;
    for (const auto& n : notices) {
        uint32_t id = 0;
        if (n.accepted && !n.refresh && tarnsim::Outbox::ParseNoteId(n.qnoteid, &id)) named.insert(id);
    }
    size_t lost = 0;
    for (const auto& q : queue) lost += !named.count(q.id);
    return lost;
}

}  // namespace

void PrintReport(const std::string& dir, int changes, DemoProcessor* processor, double seconds) {
    printf("\n== Capture queue\n");
    ListQueue(dir, false, false);
    size_t delivered = 0;
    if (processor) {
        printf("\n== Notices the sample processor received (and the authentication they came through)\n");
        for (const auto& n : processor->Notices()) {
            if (!n.accepted) continue;
            ++delivered;
            if (n.refresh)
                printf("  [%-7s] refreshconfig\n", n.acceptedUnder.c_str());
            else
                printf("  [%-7s] %-6s queue note %s  ->  %s\n", n.acceptedUnder.c_str(), n.action.c_str(),
                       n.qnoteid.c_str(), n.lookup.c_str());
        }
        for (const auto& l : processor->Logins())
            printf("  form login as %s: %s\n", l.username.c_str(), l.ok ? "accepted" : "refused");
    }
    int accepted = 0, refused = 0;
    auto reasons = Refusals(dir, &accepted, &refused);
    std::vector<emu::NoteDump> queue;
    emu::DumpNotes("brackwater\\qcapture.nsf", &queue);
    const size_t pending = CountPending(queue);
    printf("\n== Summary\n");
    printf("  changes made           %d\n", changes);
    printf("  events accepted        %d\n", accepted);
    printf("  events refused         %d, by reason:\n", refused);
    int explained = 0;
    for (const auto& [why, n] : reasons) {
        printf("      %4d  %s\n", n, why.c_str());
        explained += n;
    }
    if (refused > explained)
        printf("      %4d  (no line of their own: alerts in the HTTP task, notices that are no cancellation, no ApptUNID)\n",
               refused - explained);
    printf("  queue notes            %zu\n", queue.size());
    size_t resynced = 0;
    for (const auto& q : queue)
        for (const auto& item : q.items)
            if (item.name == "Origin" && ItemText(item) == "resync") ++resynced;
    if (resynced) printf("  captured by resync     %zu (changes made while a task was off)\n", resynced);
    if (processor) {
        auto c = processor->Counts();
        printf("  queue notes handled    %llu (%llu on their notice, %llu recovered by sweep)\n",
               static_cast<unsigned long long>(c.byNotice + c.bySweep), static_cast<unsigned long long>(c.byNotice),
               static_cast<unsigned long long>(c.bySweep));
        printf("  recovered by sweep     %llu\n", static_cast<unsigned long long>(c.bySweep));
        printf("  still pending          %zu\n", pending);
        printf("  notices lost in transit %zu\n", LostNotices(queue, processor->Notices()));
        printf("  duplicates ignored     %llu\n", static_cast<unsigned long long>(c.duplicates));
        printf("  notices delivered      %zu\n", delivered);
    } else {
        printf("  queue notes handled    %zu\n", queue.size() - pending);
        printf("  still pending          %zu\n", pending);
    }
    printf("  time taken             %.1f s\n", seconds);
    printf("  console log            %s/console.log\n", dir.c_str());
}

void PrintStats(const std::string& prefix) {
    printf("\n== show stat%s%s\n", prefix.empty() ? "" : " ", prefix.c_str());
    for (const std::string& line : emu::ShowStat(prefix)) printf("  %s\n", line.c_str());
    fflush(stdout);
}

}  // namespace simcli
