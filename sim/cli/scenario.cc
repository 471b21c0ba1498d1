#include "scenario.h"

#include <algorithm>

#include "processor/processor.h"
#include "runner/operations.h"
#include "runner/words.h"
#include "task_names.h"

namespace simcli {

std::string CheckStep(const std::vector<std::string>& w, bool withProcessor) {
    const std::string& step = w[0];
    auto isNumber = [](const std::string& t) {
        return !t.empty() && t.size() < 10 && t.find_first_not_of("0123456789") == std::string::npos;
    };
    if (step == "say" || step == "sync") return {};
    if (step == "show")
        return (w.size() == 2 || w.size() == 3) && w[1] == "stat" ? "" : "show takes stat and a prefix (show stat [PREFIX])";
    if (step == "wait")
        return w.size() == 4 && w[1] == "stat" && isNumber(w[3])
                   ? ""
                   : "wait takes stat, a statistic and its value (wait stat TARN.Queue.Pending 3)";
    if (step == "pause") return w.size() == 2 && isNumber(w[1]) ? "" : "pause takes a time in milliseconds (pause MS)";
    if (step == "config") {
        if (w.size() == 4 && w[1] == "user" && (w[2] == "add" || w[2] == "remove")) return {};
        if (w.size() == 4 && w[1] == "exclude" && w[2] == "add") return {};
        if (w.size() >= 3 && w[1] == "server") return {};
        if (w.size() == 4 && w[1] == "view" && (w[2] == "break" || w[2] == "repair")) return {};
        return "config steps are: config user add PATH, config user remove PATH, config exclude add PATH, "
               "config server ITEM..., config view break NAME, config view repair NAME";
    }
    if (step == "mark") return w.size() == 2 ? "" : "mark takes a name (mark NAME; resync --since @NAME uses it)";
    if (step == "resync") {
        for (size_t i = 1; i < w.size(); ++i)
            if (w[i] == "--data") return "resync runs over the scenario's own data directory (no --data)";
        return {};
    }
    if (step == "processor") {
        tarnsim::AuthMode a;
        tarnsim::FailMode f;
        bool ok = (w.size() == 3 && w[1] == "auth" && tarnsim::ParseAuthMode(w[2], a)) ||
                  (w.size() == 3 && w[1] == "mode" && tarnsim::ParseFailMode(w[2], f)) ||
                  (w.size() == 2 && (w[1] == "stop" || w[1] == "start"));
        if (!ok)
            return "processor steps are: processor auth none|basic|session, processor mode "
                   "normal|404|500|hang|close, processor stop, processor start";
        if (!withProcessor)
            return "processor steps need the demo's sample processor: play this scenario with tarn-sim demo "
                   "--scenario FILE";
        return {};
    }
    if (std::find(kTasks.begin(), kTasks.end(), step) != kTasks.end()) {
        if (w.size() < 2) return "a task step names an operation (" + step + " create LABEL DB ITEM...)";
        std::vector<std::string> op(w.begin() + 1, w.end());
        if (op[0] == "quit") return "quit would end the task for the rest of the scenario";
        return CheckOperation(op);
    }
    if (step.size() > 4 && step.compare(step.size() - 4, 4, ".exe") == 0)
        return "unknown task " + step + " (the tasks are nserver.exe, nhttp.exe and amgr.exe)";
    return "unknown step \"" + step + "\" (steps: say, sync, pause, config, processor, show stat, or a task: nserver.exe, "
           "nhttp.exe, amgr.exe)";
}

bool ReadScenario(std::istream& in, const std::string& name, bool withProcessor, std::vector<ScenarioLine>* out,
                  std::string* problem) {
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        auto w = SplitWords(raw);
        if (w.empty() || w[0][0] == '#') continue;
        if (std::string what = CheckStep(w, withProcessor); !what.empty()) {
            *problem = "tarn-sim: " + name + " line " + std::to_string(number) + ": " + what + ": " + raw;
            return false;
        }
        out->push_back({number, raw});
    }
    return true;
}

std::string Substitute(std::string line, const std::map<std::string, std::string>& vars) {
    // Searched on after each replacement, so that a value is never read as
    // the scenario's text.
    for (const auto& [k, v] : vars)
        for (size_t p = 0; (p = line.find("${" + k + "}", p)) != std::string::npos; p += v.size())
            line.replace(p, k.size() + 3, v);
    return line;
}

std::string HeadingText(const std::string& line) {
    // "say" alone is an empty heading, not a reason to fall over.
    size_t text = line.find("say") + 3;
    text = line.find_first_not_of(" \t", text);
    return text == std::string::npos ? "" : line.substr(text);
}

}  // namespace simcli
