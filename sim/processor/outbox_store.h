// The capture queue as the sample processor sees it: read a queue note, mark
// it handled, list the notes not yet handled. This is the processor's only
// contact with the host; everything it needs from a Notes database passes
// through these few calls.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tarnsim {

// Notes path of the capture queue, relative to the data directory.
inline constexpr const char* kCaptureQueuePath = "brackwater\\qcapture.nsf";

// The queue note's "Status": the add-in writes 0; a processor that has
// handled the note writes this.
inline constexpr int kStatusHandled = 1;

struct QueueNote {
    uint32_t id = 0;
    bool deletion = false;  // "Action" 1
    int status = 0;         // "Status"
    std::string dbPath, noteId, unid, form, userName;  // CalDbPath ... CalUserName
};

enum class StoreResult {
    Ok,
    Missing,  // no such note (never written, deleted, or not a document)
    Failed,   // the host refused; `why` says how. Worth trying again later.
};

// Points the host at a data directory. False, with the reason, when it does
// not exist or holds no capture queue.
bool SelectDataDirectory(const std::string& dir, std::string* why);

// One open handle of the capture queue; each use takes the calling thread's
// own copy of it.
class OutboxStore {
public:
    OutboxStore() = default;
    ~OutboxStore();
    OutboxStore(const OutboxStore&) = delete;
    OutboxStore& operator=(const OutboxStore&) = delete;

    // Opens the capture queue of the current data directory.
    bool Open(std::string* why);
    void Close();

    StoreResult Read(uint32_t id, QueueNote* note, std::string* why);
    // Writes Status = kStatusHandled with a real note update.
    StoreResult MarkHandled(uint32_t id, std::string* why);
    // Ids of the queue notes whose Status is not kStatusHandled, oldest
    // (lowest id) first.
    StoreResult Pending(std::vector<uint32_t>* ids, std::string* why);

private:
    uint16_t Reopen(uint32_t* own);  // a Notes status
    std::mutex mutex;  // guards db (open, close); the host serialises the rest
    uint32_t db = 0;
};

}  // namespace tarnsim
