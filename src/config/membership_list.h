// A configured list of database paths and the membership test the callback
// makes on every event.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A list as loaded (order and duplicates kept) with an index beside it, so a
// membership test costs the same whatever the list's length. Paths are
// indexed with '/' and '\\' as one separator: a server answers either, and
// an administrator writes either.
//
// The index is an open-addressed table of 8-byte slots over one block of
// key bytes: a lookup reads one slot line and the key it names, so a list of
// 100,000 mail files costs about what a list of ten does.
class MembershipList {
public:
    MembershipList() = default;
    explicit MembershipList(std::vector<std::string> entries);
    MembershipList(const MembershipList&) = delete;
    MembershipList& operator=(const MembershipList&) = delete;

    // A path made ready for lookups: its key and hash, made once for as
    // many lists as it is looked up in (the filter asks two).
    struct Probe {
        explicit Probe(std::string_view path);
        char key[256];
        size_t length;
        uint64_t hash;
        bool fits;  // a longer path is in no list
    };

    // path is lower-case already; it is not changed.
    bool Contains(std::string_view path) const { return Contains(Probe(path)); }
    bool Contains(const Probe& probe) const;
    // What the list compares a lower-case path by: '/' as '\\'. Two paths
    // with one key are one database to the add-in.
    static std::string Key(std::string_view path);
    const std::vector<std::string>& Entries() const { return entries; }

    // Longest key the index holds: any path a database answers (MAXPATH)
    // and any entry a list can hold fit; a longer one is in no list.
    static constexpr size_t kKeyMax = 256;

private:
    struct Slot {
        uint32_t offset;  // into keyBytes; kEmpty when the slot is free
        uint16_t length;
        uint16_t tag;     // the hash's top bits: most mismatches end here
    };
    static constexpr uint32_t kEmpty = UINT32_MAX;
    static uint64_t Hash(const char* key, size_t length);
    void Insert(std::string_view key);

    std::vector<std::string> entries;
    std::string keyBytes;     // every distinct key, back to back
    std::vector<Slot> slots;  // a power of two, at most half full
    uint64_t mask = 0;
};
