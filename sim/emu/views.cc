// Views and collections: finding a view by name, building a collection of
// its entries, reading entries page by page.
#include <algorithm>
#include <cstring>

#include "emu/store.h"

using emu::Op;
namespace err = emu::err;
using emu::detail::Counter;

extern "C" {

EMU_EXPORT STATUS NIFFindDesignNoteExt(DBHANDLE db, const char* name, WORD noteClass, const char* pattern,
                                       NOTEID* viewId, DWORD) {
    if (STATUS s = emu::Fault(Op::FindView)) return s;
    auto d = emu::UseDb(db, Op::FindView);
    if (!d || !name || !viewId) return err::INVALID_HANDLE;
    // Patterns of the form "-XYZ^" leave out design notes whose $Flags hold
    // any of X, Y, Z ("-G40n^": views and folders one can use). No pattern
    // leaves out nothing; other forms are not understood here.
    std::string excluded;
    if (pattern && *pattern) {
        std::string p(pattern);
        if (p.size() < 2 || p.front() != '-' || p.back() != '^') return err::NOT_FOUND;
        excluded = p.substr(1, p.size() - 2);
    }
    std::lock_guard lock(d->mutex);
    emu::Stmt st(d->conn, "SELECT id FROM notes WHERE class=? AND deleted=0 ORDER BY id");
    sqlite3_bind_int(st.s, 1, noteClass);
    std::vector<NOTEID> ids;
    while (sqlite3_step(st.s) == SQLITE_ROW) ids.push_back(static_cast<NOTEID>(sqlite3_column_int64(st.s, 0)));
    for (NOTEID id : ids) {
        std::vector<emu::Item> items;
        emu::LoadItems(d->conn, id, &items);
        const emu::Item* title = emu::FindItem(items, "$TITLE", 6);
        const emu::Item* flags = emu::FindItem(items, "$Flags", 6);
        if (flags && !excluded.empty() && flags->value.find_first_of(excluded) != std::string::npos) continue;
        if (!title) continue;
        std::string t = title->value;
        size_t start = 0;
        while (start <= t.size()) {
            size_t bar = t.find('|', start);
            std::string alias = t.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
            if (emu::SameName(alias, name, strlen(name))) {
                *viewId = id;
                return NOERROR;
            }
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
    }
    return err::NOT_FOUND;
}

EMU_EXPORT STATUS NIFOpenCollection(DBHANDLE viewDb, DBHANDLE dataDb, NOTEID viewId, WORD, DHANDLE,
                                    HCOLLECTION* collection, NOTEHANDLE* viewNote, UNID* viewUnid,
                                    DHANDLE* collapsedList, DHANDLE* selectedList) {
    if (STATUS s = emu::Fault(Op::OpenCollection)) return s;
    auto vd = emu::UseDb(viewDb, Op::OpenCollection);
    auto dd = emu::UseDb(dataDb, Op::OpenCollection);
    // rethViewNote is reserved and must be NULL.
    if (!vd || !dd || !collection || viewNote) return err::INVALID_HANDLE;
    emu::Note view;
    if (STATUS s = emu::LoadNote(*vd, viewId, &view)) return s;
    if (view.noteClass != NOTE_CLASS_VIEW) return err::NOT_FOUND;
    auto textList = [&](const char* item) {
        const emu::Item* it = emu::FindItem(view.items, item, strlen(item));
        return it ? emu::UnpackTextList(it->value) : std::vector<std::string>{};
    };
    const std::vector<std::string> forms = textList("$Forms");
    // An imported view's selection: terms "T<item>=<text>" or
    // "N<item>=<number>", any of which selects a document; none selects all.
    const std::vector<std::string> select = textList("$Select");
    std::vector<std::string> columns = textList("$Columns");
    if (columns.size() > emu::kMaxColumns) columns.resize(emu::kMaxColumns);
    int sortColumn = 0;
    if (const emu::Item* s = emu::FindItem(view.items, "$Sort", 5); s && s->value.size() == 8) {
        double v;
        memcpy(&v, s->value.data(), 8);
        sortColumn = static_cast<int>(v);
    }
    auto c = std::make_shared<emu::Collection>();
    c->owner = emu::detail::ThreadToken();
    {
        std::lock_guard lock(dd->mutex);
        emu::Stmt st(dd->conn, "SELECT id FROM notes WHERE (class & 1)=1 AND deleted=0 AND profile IS NULL ORDER BY id");
        std::vector<NOTEID> ids;
        while (sqlite3_step(st.s) == SQLITE_ROW) ids.push_back(static_cast<NOTEID>(sqlite3_column_int64(st.s, 0)));
        for (NOTEID id : ids) {
            std::vector<emu::Item> items;
            emu::LoadItems(dd->conn, id, &items);
            if (!forms.empty()) {
                const emu::Item* form = emu::FindItem(items, "Form", 4);
                if (!form || std::find(forms.begin(), forms.end(), emu::FirstText(*form)) == forms.end()) continue;
            }
            if (!select.empty() && std::none_of(select.begin(), select.end(), [&](const std::string& term) {
                    return emu::SelectionTermMatches(term, items);
                }))
                continue;
            emu::Entry e{id, {}, {}};
            for (size_t i = 0; i < columns.size(); ++i) {
                const emu::Item* it = emu::FindItem(items, columns[i].c_str(), columns[i].size());
                if (it)
                    e.values.emplace_back(it->type, it->value);
                else
                    e.values.emplace_back(0, std::string());
                if (it && static_cast<int>(i) == sortColumn) e.sortKey = emu::FirstText(*it);
            }
            c->entries.push_back(std::move(e));
        }
    }
    if (sortColumn >= 0)
        std::stable_sort(c->entries.begin(), c->entries.end(),
                         [](const emu::Entry& a, const emu::Entry& b) { return a.sortKey < b.sortKey; });
    std::lock_guard lock(emu::gMutex);
    // HCOLLECTION is a WORD: collection handles come from a 16-bit space of
    // their own, the lowest free one first.
    HCOLLECTION h = 0;
    for (uint32_t candidate = 1; candidate <= 0xFFFF; ++candidate)
        if (!emu::gCollections.count(static_cast<HCOLLECTION>(candidate))) {
            h = static_cast<HCOLLECTION>(candidate);
            break;
        }
    if (h == 0) return err::NO_MEMORY;
    emu::gCollections[h] = std::move(c);
    emu::detail::CountOpen(Counter::Collections, 1);
    *collection = h;
    if (viewUnid) {
        viewUnid->File = view.oid.File;
        viewUnid->Note = view.oid.Note;
    }
    if (collapsedList) *collapsedList = NULLHANDLE;
    if (selectedList) *selectedList = NULLHANDLE;
    return NOERROR;
}

// IndexPos->Tumbler[0] is the entry the position is on (1-based; 0 = before
// the first). The skip moves it; the read returns the entry it lands on and
// those after it, and leaves the position on the last one returned. Each
// entry is, by the mask's bit order, its note id (a DWORD) and its summary
// values (an ITEM_VALUE_TABLE block). A buffer is handed over whenever one
// was asked for, even with 0 entries: the caller frees it either way.
EMU_EXPORT STATUS NIFReadEntries(HCOLLECTION collection, COLLECTIONPOSITION* position, WORD skipNavigator,
                                 DWORD skipCount, WORD, DWORD returnCount, DWORD readMask, DHANDLE* buffer,
                                 WORD* bufferLength, DWORD* skipped, DWORD* returned, WORD* signalFlags) {
    if (STATUS s = emu::Fault(Op::ReadEntries)) return s;
    std::shared_ptr<emu::Collection> c = emu::UseCollection(collection, Op::ReadEntries);
    if (!c || !position) return err::INVALID_HANDLE;
    if (buffer) *buffer = NULLHANDLE;
    if (bufferLength) *bufferLength = 0;
    if (skipped) *skipped = 0;
    if (returned) *returned = 0;
    if (signalFlags) *signalFlags = 0;
    const size_t count = c->entries.size();
    size_t current = std::min<size_t>(position->Tumbler[0], count);
    bool pastEnd = false;  // the skip ran off the end: nothing to return
    if ((skipNavigator & ~NAVIGATE_CONTINUE) == NAVIGATE_NEXT) {
        size_t moved = std::min<size_t>(skipCount, count - current);
        pastEnd = moved < skipCount;
        current += moved;
        if (skipped) *skipped = static_cast<DWORD>(moved);
    }
    const size_t start = current == 0 ? 0 : current - 1;  // 0-based first entry to return
    size_t limit = !pastEnd && current > 0 ? count - start : 0;
    if (returnCount < limit) limit = returnCount;
    if (uint32_t page = emu::gPageSize; page && page < limit) limit = page;

    std::vector<uint8_t> bytes;
    size_t n = 0;
    auto put16 = [&](std::vector<uint8_t>& out, size_t v) {
        out.push_back(static_cast<uint8_t>(v & 0xFF));
        out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    };
    for (; n < limit; ++n) {
        const emu::Entry& e = c->entries[start + n];
        std::vector<uint8_t> entry;
        if (readMask & READ_MASK_NOTEID)
            for (int k = 0; k < 4; ++k) entry.push_back(static_cast<uint8_t>((e.id >> (8 * k)) & 0xFF));
        if (readMask & READ_MASK_SUMMARYVALUES) {
            // Values are cut so that the entry's 16-bit total length stays exact.
            size_t room = 0xFFFF - 4 - 2 * e.values.size();
            std::vector<size_t> lens;
            for (const auto& [type, value] : e.values) {
                size_t len = type ? std::min(value.size() + 2, room) : 0;
                if (len == 1) len = 0;
                room -= len;
                lens.push_back(len);
            }
            size_t total = 4 + 2 * e.values.size();
            for (size_t l : lens) total += l;
            put16(entry, total);
            put16(entry, e.values.size());
            for (size_t l : lens) put16(entry, l);
            for (size_t i = 0; i < e.values.size(); ++i) {
                if (!lens[i]) continue;
                put16(entry, e.values[i].first);
                entry.insert(entry.end(), e.values[i].second.begin(), e.values[i].second.begin() + (lens[i] - 2));
            }
        }
        // A buffer's length is 16-bit: what does not fit waits for the next read.
        if (n > 0 && bytes.size() + entry.size() > 0xFFFF) break;
        bytes.insert(bytes.end(), entry.begin(), entry.end());
    }
    if (n > 0) position->Tumbler[0] = static_cast<DWORD>(start + n);
    else position->Tumbler[0] = static_cast<DWORD>(current);
    if (returned) *returned = static_cast<DWORD>(n);
    if (bufferLength) *bufferLength = static_cast<WORD>(std::min<size_t>(bytes.size(), 0xFFFF));
    if (signalFlags && start + n < count && n > 0) *signalFlags = SIGNAL_MORE_TO_DO;
    if (buffer) *buffer = emu::detail::AllocBlock(std::move(bytes), true);
    return NOERROR;
}

// The collection's figures without its entries (the C API reference,
// COLLECTIONDATA). DocCount counts the documents, categories excluded (this
// host makes none). The reference gives no formula for the B-tree figures:
// here one leaf per 64 entries and a depth of 1, and every percentile key is
// one empty ITEM_VALUE_TABLE after the structure (the host keeps no index).
// The block is the caller's: OSMemFree, after unlocking.
EMU_EXPORT STATUS NIFGetCollectionData(HCOLLECTION collection, DHANDLE* data) {
    if (STATUS s = emu::Fault(Op::GetCollectionData)) return s;
    std::shared_ptr<emu::Collection> c = emu::UseCollection(collection, Op::GetCollectionData);
    if (!c || !data) return err::INVALID_HANDLE;
    COLLECTIONDATA header{};
    header.DocCount = static_cast<DWORD>(c->entries.size());
    uint64_t total = 0;
    for (const emu::Entry& e : c->entries) {
        total += 4 + 2 * e.values.size();
        for (const auto& v : e.values) total += v.first ? v.second.size() + 2 : 0;
    }
    header.DocTotalSize = static_cast<DWORD>(std::min<uint64_t>(total, 0xFFFFFFFF));
    header.BTreeLeafNodes = static_cast<DWORD>((c->entries.size() + 63) / 64);
    header.BTreeDepth = 1;
    for (DWORD& offset : header.KeyOffset) offset = sizeof header;
    std::vector<uint8_t> bytes(sizeof header + 4, 0);
    memcpy(bytes.data(), &header, sizeof header);
    bytes[sizeof header] = 4;  // ITEM_VALUE_TABLE {Length 4, Items 0}, little-endian
    *data = emu::detail::AllocBlock(std::move(bytes), true);
    return NOERROR;
}

EMU_EXPORT STATUS NIFCloseCollection(HCOLLECTION collection) {
    if (STATUS s = emu::Fault(Op::CloseCollection)) {
        // The collection is released all the same; only the status says otherwise.
        std::lock_guard lock(emu::gMutex);
        if (emu::gCollections.erase(collection)) emu::detail::CountOpen(Counter::Collections, -1);
        return s;
    }
    if (!emu::UseCollection(collection, Op::CloseCollection)) return err::INVALID_HANDLE;
    std::lock_guard lock(emu::gMutex);
    if (!emu::gCollections.erase(collection)) return err::INVALID_HANDLE;
    emu::detail::CountOpen(Counter::Collections, -1);
    return NOERROR;
}
}  // extern "C"
