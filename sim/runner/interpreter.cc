// Carries out a script's operations, in order of their lines, on the task's
// server threads: each document operation is one job on the pool, so the
// add-in's callbacks run concurrently as on a server.
#include "runner/interpreter.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "emu/status_text.h"
#include "runner/items.h"
#include "runner/own_handles.h"

namespace runner {

Interpreter::Interpreter(int threads) : pool(threads) {}

Interpreter::~Interpreter() {
    pool.Drain();
    for (auto& [path, h] : dbs) NSFDbClose(h);
}

// Known, complete operations only: the caller checks with CheckOperation.
void Interpreter::Execute(const std::vector<std::string>& w, int lineNo) {
    const std::string& op = w[0];
    if (op == "wait") return pool.Drain();
    if (op == "sync" && w.size() == 2) {
        pool.Drain();
        emu::WriteOutputLine("runner: sync " + w[1]);
        return;
    }
    if (op == "sleep" && w.size() == 2) return std::this_thread::sleep_for(std::chrono::milliseconds(atoi(w[1].c_str())));
    if (op == "echo") {
        std::string text;
        for (size_t i = 1; i < w.size(); ++i) text += (i > 1 ? " " : "") + w[i];
        emu::WriteOutputLine(text);
        return;
    }
    if ((op == "create" || op == "createx") && w.size() >= 3) return Create(w, op == "createx", lineNo);
    if ((op == "modify" || op == "modifyx") && w.size() >= 2) return Modify(w, op == "modifyx", lineNo);
    if (op == "remove" && w.size() == 3) return Remove(w, lineNo);
    if ((op == "stub" || op == "stubx") && w.size() == 2) return Stub(w[1], op == "stubx", lineNo);
    if (op == "delete" && w.size() >= 2) return Delete(w, lineNo);
    Fail(lineNo, "unknown or incomplete operation: " + op);
}

void Interpreter::Fail(int lineNo, const std::string& why) {
    fprintf(stderr, "runner: line %d: %s\n", lineNo, why.c_str());
}

void Interpreter::Report(int lineNo, const char* what, STATUS s) {
    if (!s) return;
    fprintf(stderr, "runner: line %d: %s failed: %s (0x%x)\n", lineNo, what, emu::StatusText(s).c_str(), s);
}

// The reading thread's handle of a database (opened here, so that a
// missing one is reported with its line); server threads reopen it.
DBHANDLE Interpreter::Db(const std::string& path, int lineNo) {
    std::lock_guard lock(mutex);
    auto it = dbs.find(path);
    if (it != dbs.end()) return it->second;
    DBHANDLE h = 0;
    STATUS s = NSFDbOpen(path.c_str(), &h);
    if (s) {
        Report(lineNo, ("open " + path).c_str(), s);
        return 0;
    }
    dbs[path] = h;
    return h;
}

bool Interpreter::Items(const std::vector<std::string>& w, size_t from, std::vector<emu::ItemValue>* items, int lineNo) {
    for (size_t i = from; i < w.size(); ++i) {
        emu::ItemValue v;
        if (!ParseItem(w[i], &v)) {
            Fail(lineNo, "bad item: " + w[i]);
            return false;
        }
        items->push_back(v);
    }
    return true;
}

STATUS Interpreter::Save(NOTEHANDLE note, bool extended) {
    return extended ? NSFNoteUpdateExtended(note, 0) : NSFNoteUpdate(note, 0);
}

void Interpreter::Create(const std::vector<std::string>& w, bool extended, int lineNo) {
    std::vector<emu::ItemValue> items;
    if (!Items(w, 3, &items, lineNo)) return;
    DBHANDLE db = Db(w[2], lineNo);
    if (!db) return;
    auto promise = std::make_shared<std::promise<NOTEID>>();
    {
        std::lock_guard lock(mutex);
        docs[w[1]] = Doc{w[2], promise->get_future().share()};
    }
    pool.Post([=] {
        NOTEHANDLE note = 0;
        NOTEID id = 0;
        DBHANDLE own = OwnHandle(db);
        STATUS s = own ? NSFNoteCreate(own, &note) : STATUS(emu::err::INVALID_HANDLE);
        if (!s) s = WriteItems(note, items);
        if (!s) s = Save(note, extended);
        if (!s) NSFNoteGetInfo(note, _NOTE_ID, &id);
        if (note) NSFNoteClose(note);
        Report(lineNo, "create", s);
        promise->set_value(id);
    });
}

bool Interpreter::Find(const std::string& label, Doc* doc, int lineNo) {
    std::lock_guard lock(mutex);
    auto it = docs.find(label);
    if (it == docs.end()) {
        Fail(lineNo, "no document labelled " + label);
        return false;
    }
    *doc = it->second;
    return true;
}

template <typename F>
void Interpreter::OnDocument(const std::string& label, int lineNo, const char* what, F work) {
    Doc doc;
    if (!Find(label, &doc, lineNo)) return;
    DBHANDLE db = Db(doc.db, lineNo);
    if (!db) return;
    pool.Post([=] {
        NOTEID id = doc.id.get();
        DBHANDLE own = id ? OwnHandle(db) : 0;
        if (own) Report(lineNo, what, work(own, id));
    });
}

template <typename F>
void Interpreter::OnNote(const std::string& label, int lineNo, F work) {
    OnDocument(label, lineNo, "operation", [work](DBHANDLE own, NOTEID id) {
        NOTEHANDLE note = 0;
        STATUS s = NSFNoteOpen(own, id, 0, &note);
        if (!s) s = work(note);
        if (note) NSFNoteClose(note);
        return s;
    });
}

void Interpreter::Modify(const std::vector<std::string>& w, bool extended, int lineNo) {
    std::vector<emu::ItemValue> items;
    if (!Items(w, 2, &items, lineNo)) return;
    OnNote(w[1], lineNo, [=](NOTEHANDLE note) {
        STATUS s = WriteItems(note, items);
        return s ? s : Save(note, extended);
    });
}

void Interpreter::Remove(const std::vector<std::string>& w, int lineNo) {
    std::string name = w[2];
    OnNote(w[1], lineNo, [=](NOTEHANDLE note) {
        NSFItemDelete(note, name.c_str(), static_cast<uint16_t>(name.size()));
        return NSFNoteUpdate(note, 0);
    });
}

void Interpreter::Stub(const std::string& label, bool extended, int lineNo) {
    OnDocument(label, lineNo, "stub",
               [extended](DBHANDLE own, NOTEID id) { return emu::DeleteByStub(own, id, extended); });
}

void Interpreter::Delete(const std::vector<std::string>& w, int lineNo) {
    std::vector<Doc> targets;
    for (size_t i = 1; i < w.size(); ++i) {
        Doc doc;
        if (!Find(w[i], &doc, lineNo)) return;
        targets.push_back(doc);
    }
    DBHANDLE db = Db(targets[0].db, lineNo);
    if (!db) return;
    pool.Post([=] {
        std::vector<NOTEID> ids;
        for (const auto& d : targets)
            if (NOTEID id = d.id.get()) ids.push_back(id);
        if (DBHANDLE own = OwnHandle(db)) Report(lineNo, "delete", emu::DeleteNotes(own, ids));
    });
}

}  // namespace runner
