// The script's document operations, carried out on the task's server
// threads; a document is known by the label its create line gave it.
#pragma once

#include <future>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "emu/emulator.h"
#include "runner/server_threads.h"

namespace runner {

class Interpreter {
public:
    explicit Interpreter(int threads);
    // Waits for every operation, then closes the databases it opened.
    ~Interpreter();
    Interpreter(const Interpreter&) = delete;
    Interpreter& operator=(const Interpreter&) = delete;

    // Known, complete operations only: the caller checks with CheckOperation.
    void Execute(const std::vector<std::string>& w, int lineNo);

private:
    struct Doc {
        std::string db;
        std::shared_future<NOTEID> id;  // 0 when the create failed
    };

    static void Fail(int lineNo, const std::string& why);
    static void Report(int lineNo, const char* what, STATUS s);
    DBHANDLE Db(const std::string& path, int lineNo);
    bool Items(const std::vector<std::string>& w, size_t from, std::vector<emu::ItemValue>* items, int lineNo);
    static STATUS Save(NOTEHANDLE note, bool extended);
    bool Find(const std::string& label, Doc* doc, int lineNo);
    // Posts work(own database handle, note id) for the labelled document;
    // its failure is reported as `what` failed. Nothing when the document
    // or its database is missing, or its create failed.
    template <typename F>
    void OnDocument(const std::string& label, int lineNo, const char* what, F work);
    // The same with the note opened: work(note), reported as "operation".
    template <typename F>
    void OnNote(const std::string& label, int lineNo, F work);

    void Create(const std::vector<std::string>& w, bool extended, int lineNo);
    void Modify(const std::vector<std::string>& w, bool extended, int lineNo);
    void Remove(const std::vector<std::string>& w, int lineNo);
    void Stub(const std::string& label, bool extended, int lineNo);
    void Delete(const std::vector<std::string>& w, int lineNo);

    ServerThreads pool;
    std::mutex mutex;
    std::map<std::string, DBHANDLE> dbs;
    std::map<std::string, Doc> docs;
};

}  // namespace runner
