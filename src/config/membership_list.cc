#include "config/membership_list.h"

#include <algorithm>
#include <cstring>

namespace {

uint64_t Load64(const char* p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

uint64_t Mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

}  // namespace

// Eight bytes a step: paths are short, and the hash is on every event.
uint64_t MembershipList::Hash(const char* key, size_t length) {
    uint64_t h = 0x9e3779b97f4a7c15ULL ^ length;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) h = (h ^ Load64(key + i)) * 0x100000001b3ULL + (h >> 29);
    uint64_t tail = 0;
    if (i < length) memcpy(&tail, key + i, length - i);
    return Mix(h ^ tail);
}

MembershipList::MembershipList(std::vector<std::string> list) : entries(std::move(list)) {
    size_t capacity = 16;
    while (capacity < 2 * entries.size()) capacity *= 2;
    slots.assign(capacity, Slot{kEmpty, 0, 0});
    mask = capacity - 1;
    size_t bytes = 0;
    for (const std::string& e : entries) bytes += e.size();
    keyBytes.reserve(bytes);
    for (const std::string& e : entries)
        if (e.size() < kKeyMax) Insert(Key(e));
}

void MembershipList::Insert(std::string_view key) {
    const uint64_t h = Hash(key.data(), key.size());
    const uint16_t tag = static_cast<uint16_t>(h >> 48);
    for (uint64_t i = h & mask;; i = (i + 1) & mask) {
        Slot& s = slots[i];
        if (s.offset == kEmpty) {
            s = Slot{static_cast<uint32_t>(keyBytes.size()), static_cast<uint16_t>(key.size()), tag};
            keyBytes.append(key);
            return;
        }
        // A duplicate entry stays in Entries() but needs no second slot.
        if (s.tag == tag && s.length == key.size() && memcmp(keyBytes.data() + s.offset, key.data(), key.size()) == 0)
            return;
    }
}

std::string MembershipList::Key(std::string_view path) {
    std::string key(path);
    std::replace(key.begin(), key.end(), '/', '\\');
    return key;
}

MembershipList::Probe::Probe(std::string_view path) : length(path.size()), hash(0), fits(path.size() < kKeyMax) {
    static_assert(sizeof key == kKeyMax);
    // On the callback's path: the key is built on the stack, not allocated.
    if (!fits) return;
    std::replace_copy(path.begin(), path.end(), key, '/', '\\');
    hash = Hash(key, length);
}

bool MembershipList::Contains(const Probe& probe) const {
    if (!probe.fits || slots.empty()) return false;
    const uint16_t tag = static_cast<uint16_t>(probe.hash >> 48);
    for (uint64_t i = probe.hash & mask;; i = (i + 1) & mask) {
        const Slot& s = slots[i];
        if (s.offset == kEmpty) return false;
        if (s.tag == tag && s.length == probe.length &&
            memcmp(keyBytes.data() + s.offset, probe.key, probe.length) == 0)
            return true;
    }
}
