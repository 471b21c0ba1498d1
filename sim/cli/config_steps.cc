#include "config_steps.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_calls.h"
#include "queue_listing.h"

namespace simcli {

bool ChangeConfig(const std::vector<std::string>& w) {
    Db cfg("brackwater\\tarnconfig.nsf");
    if (!cfg.h) return false;
    NOTEID id;
    if (w.size() == 4 && (w[1] == "user" || w[1] == "exclude") && w[2] == "add") {
        bool user = w[1] == "user";
        return Check(emu::CreateDocument(cfg.h, {emu::Text("Form", user ? "MailDb" : "Exclude"),
                                                 emu::Text(user ? "MailFile" : "DbPath", w[3])},
                                         &id),
                     "config " + w[1] + " add");
    }
    std::vector<emu::NoteDump> docs;
    if (!Check(emu::DumpNotes("brackwater\\tarnconfig.nsf", &docs), "read configuration")) return false;
    auto find = [&](const std::string& form, const std::string& item, const std::string& value) -> NOTEID {
        for (const auto& d : docs) {
            bool formOk = false, valueOk = item.empty();
            for (const auto& i : d.items) {
                if (i.name == "Form" && ItemText(i) == form) formOk = true;
                if (!item.empty() && i.name == item && ItemText(i) == value) valueOk = true;
            }
            if (formOk && valueOk) return d.id;
        }
        return 0;
    };
    if (w.size() == 4 && w[1] == "user" && w[2] == "remove") {
        NOTEID target = find("MailDb", "MailFile", w[3]);
        if (!target) {
            fprintf(stderr, "tarn-sim: %s is not in maildblookup\n", w[3].c_str());
            return false;
        }
        // An administrator's edit: the configuration database is no mail file,
        // so no task needs to see this deletion.
        NOTEHANDLE note = 0;
        if (!Check(NSFNoteOpen(cfg.h, target, 0, &note), "open user document")) return false;
        for (const char* item : {"Form", "MailFile"}) NSFItemDelete(note, item, static_cast<uint16_t>(strlen(item)));
        STATUS s = NSFNoteUpdate(note, 0);
        NSFNoteClose(note);
        return Check(s, "config user remove");
    }
    if (w.size() >= 3 && w[1] == "server") {
        NOTEID target = find("Server", "", "");
        NOTEHANDLE note = 0;
        if (!target || !Check(NSFNoteOpen(cfg.h, target, 0, &note), "open server document")) return false;
        for (size_t i = 2; i < w.size(); ++i) {
            auto eq = w[i].find('=');
            if (eq == std::string::npos) continue;
            std::string name = w[i].substr(0, eq), value = w[i].substr(eq + 1);
            bool number = !name.empty() && name.back() == '#';
            if (number) name.pop_back();
            NSFItemDelete(note, name.c_str(), static_cast<uint16_t>(name.size()));
            if (number) {
                double d = atof(value.c_str());
                NSFItemSetNumber(note, name.c_str(), &d);
            } else {
                NSFItemAppend(note, ITEM_SUMMARY, name.c_str(), static_cast<uint16_t>(name.size()), TYPE_TEXT,
                           value.data(), static_cast<uint32_t>(value.size()));
            }
        }
        STATUS s = NSFNoteUpdate(note, 0);
        NSFNoteClose(note);
        return Check(s, "config server");
    }
    if (w.size() == 4 && w[1] == "view" && (w[2] == "break" || w[2] == "repair")) {
        // A damaged design: the view is renamed out of the add-in's reach,
        // and back. The next reload fails, and the task switches itself off.
        const std::string damaged = "damaged-" + w[3];
        const std::string& from = w[2] == "break" ? w[3] : damaged;
        NOTEID view = 0;
        if (!Check(NIFFindView(cfg.h, from.c_str(), &view), "find view " + from)) return false;
        NOTEHANDLE note = 0;
        if (!Check(NSFNoteOpen(cfg.h, view, 0, &note), "open view " + from)) return false;
        char title[256] = {};
        NSFItemGetText(note, "$TITLE", title, sizeof title);
        // Every name of the view (its title and each alias after a '|') is
        // damaged, or mended, so that none of them finds it.
        std::string renamed;
        std::string rest = title;
        for (size_t bar;; rest.erase(0, bar + 1)) {
            bar = rest.find('|');
            std::string part = rest.substr(0, bar);
            if (w[2] == "break")
                part = "damaged-" + part;
            else if (part.rfind("damaged-", 0) == 0)
                part.erase(0, 8);
            renamed += (renamed.empty() ? "" : "|") + part;
            if (bar == std::string::npos) break;
        }
        NSFItemDelete(note, "$TITLE", 6);
        NSFItemAppend(note, ITEM_SUMMARY, "$TITLE", 6, TYPE_TEXT, renamed.data(), static_cast<uint32_t>(renamed.size()));
        STATUS s = NSFNoteUpdate(note, 0);
        NSFNoteClose(note);
        return Check(s, "config view " + w[2]);
    }
    fprintf(stderr, "tarn-sim: unknown config step\n");
    return false;
}

}  // namespace simcli
