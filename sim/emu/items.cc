// Items of an open note, and profile document fields.
#include <cstdio>
#include <cstring>

#include "emu/store.h"

using emu::Op;
namespace err = emu::err;
using emu::detail::Counter;

extern "C" {

EMU_EXPORT STATUS NSFItemInfo(NOTEHANDLE note, const char* name, WORD nameLength, BLOCKID* itemBlock,
                              WORD* type, BLOCKID* valueBlock, DWORD* valueLength) {
    if (type) *type = TYPE_INVALID_OR_UNKNOWN;
    if (STATUS s = emu::Fault(Op::ItemInfo)) return s;
    auto n = emu::UseNote(note, Op::ItemInfo);
    if (!n) return err::INVALID_HANDLE;
    // No name: the note's first item.
    const emu::Item* it = nullptr;
    if (!name || nameLength == 0)
        it = n->items.empty() ? nullptr : &n->items.front();
    else
        it = emu::FindItem(n->items, name, nameLength);
    if (!it) return err::ITEM_NOT_FOUND;
    if (type) *type = it->type;
    if (valueLength) *valueLength = static_cast<DWORD>(it->value.size() + 2);
    if (itemBlock || valueBlock) {
        // One block for both: the item's name before kValueOffset is not
        // promised to anyone; the value is the type WORD, then the data.
        std::vector<uint8_t> bytes(emu::kValueOffset + 2 + it->value.size());
        memcpy(bytes.data(), it->name.data(), std::min<size_t>(it->name.size(), emu::kValueOffset));
        WORD t = it->type;
        memcpy(bytes.data() + emu::kValueOffset, &t, 2);
        memcpy(bytes.data() + emu::kValueOffset + 2, it->value.data(), it->value.size());
        MEMHANDLE pool = emu::detail::AllocBlock(std::move(bytes), false);
        {
            std::lock_guard lock(emu::gMutex);
            n->itemBlocks.push_back(pool);
        }
        if (itemBlock) *itemBlock = BLOCKID{pool, 0};
        if (valueBlock) *valueBlock = BLOCKID{pool, emu::kValueOffset};
    }
    return NOERROR;
}

// The C API reference (NSFItemGetText): text_len is the size of the buffer;
// the text comes back NUL-terminated, at most text_len - 1 characters. So
// text_len 1 gives "" and 0 writes nothing at all.
EMU_EXPORT WORD NSFItemGetText(NOTEHANDLE note, const char* name, char* buffer, WORD textLength) {
    if (!buffer || textLength == 0) return 0;
    buffer[0] = '\0';
    if (emu::Fault(Op::GetItemText) || !name) return 0;
    auto n = emu::UseNote(note, Op::GetItemText);
    if (!n) return 0;
    const emu::Item* it = emu::FindItem(n->items, name, strlen(name));
    if (!it) return 0;
    std::string text = emu::FirstText(*it);
    if (it->type == TYPE_NUMBER && it->value.size() == 8) {
        double d;
        memcpy(&d, it->value.data(), 8);
        char num[64];
        snprintf(num, sizeof num, "%g", d);
        text = num;
    }
    size_t len = std::min<size_t>(text.size(), textLength - 1u);
    memcpy(buffer, text.data(), len);
    buffer[len] = '\0';
    return static_cast<WORD>(len);
}

EMU_EXPORT LONG NSFItemGetLong(NOTEHANDLE note, const char* name, LONG defaultValue) {
    if (emu::Fault(Op::GetItemLong) || !name) return defaultValue;
    auto n = emu::UseNote(note, Op::GetItemLong);
    if (!n) return defaultValue;
    const emu::Item* it = emu::FindItem(n->items, name, strlen(name));
    if (!it || it->type != TYPE_NUMBER || it->value.size() != 8) return defaultValue;
    double d;
    memcpy(&d, it->value.data(), 8);
    if (!(d >= -2147483648.0 && d <= 2147483647.0)) return defaultValue;
    return static_cast<LONG>(d);
}

EMU_EXPORT STATUS NSFItemSetNumber(NOTEHANDLE note, const char* name, const NUMBER* value) {
    if (STATUS s = emu::Fault(Op::SetItemNumber)) return s;
    auto n = emu::UseNote(note, Op::SetItemNumber);
    if (!n || !name || !value) return err::INVALID_HANDLE;
    std::erase_if(n->items, [&](const emu::Item& it) { return emu::SameName(it.name, name, strlen(name)); });
    emu::Item it;
    it.name = name;
    it.type = TYPE_NUMBER;
    it.flags = ITEM_SUMMARY;
    it.value.assign(reinterpret_cast<const char*>(value), sizeof *value);
    n->items.push_back(std::move(it));
    return NOERROR;
}

EMU_EXPORT STATUS NSFItemAppend(NOTEHANDLE note, WORD flags, const char* name, WORD nameLength, WORD type,
                                const void* value, DWORD valueLength) {
    if (STATUS s = emu::Fault(Op::AppendItem)) return s;
    auto n = emu::UseNote(note, Op::AppendItem);
    if (!n || !name || nameLength == 0 || (!value && valueLength)) return err::INVALID_HANDLE;
    emu::Item it;
    it.name.assign(name, nameLength);
    it.type = type;
    it.flags = flags;
    if (valueLength) it.value.assign(static_cast<const char*>(value), valueLength);
    n->items.push_back(std::move(it));
    return NOERROR;
}

// The missing-item answer is not documented; ERR_ITEM_NOT_FOUND is what
// every other item function answers.
EMU_EXPORT STATUS NSFItemDelete(NOTEHANDLE note, const char* name, WORD nameLength) {
    if (STATUS s = emu::Fault(Op::DeleteItem)) return s;
    auto n = emu::UseNote(note, Op::DeleteItem);
    if (!n || !name) return err::INVALID_HANDLE;
    size_t removed = std::erase_if(n->items, [&](const emu::Item& it) { return emu::SameName(it.name, name, nameLength); });
    return removed ? NOERROR : err::ITEM_NOT_FOUND;
}

// The value block belongs to the database handle: the caller locks and
// unlocks it and never frees it; it goes when the database is closed.
EMU_EXPORT STATUS NSFProfileGetField(DBHANDLE db, const char* profileName, WORD profileNameLength, const char*, WORD,
                                     const char* fieldName, WORD fieldNameLength, WORD* dataType, BLOCKID* valueBlock,
                                     DWORD* valueLength) {
    if (STATUS s = emu::Fault(Op::GetProfileField)) return s;
    auto d = emu::UseDb(db, Op::GetProfileField);
    if (!d || !profileName || !fieldName) return err::INVALID_HANDLE;
    std::vector<emu::Item> items;
    {
        std::lock_guard lock(d->mutex);
        emu::Stmt st(d->conn, "SELECT id FROM notes WHERE profile=? COLLATE NOCASE AND deleted=0");
        std::string name(profileName, profileNameLength);
        sqlite3_bind_text(st.s, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st.s) != SQLITE_ROW) return err::NOT_FOUND;
        emu::LoadItems(d->conn, static_cast<NOTEID>(sqlite3_column_int64(st.s, 0)), &items);
    }
    const emu::Item* it = emu::FindItem(items, fieldName, fieldNameLength);
    if (!it) return err::NOT_FOUND;
    std::vector<uint8_t> bytes(emu::kValueOffset + 2 + it->value.size());
    WORD t = it->type;
    memcpy(bytes.data() + emu::kValueOffset, &t, 2);
    memcpy(bytes.data() + emu::kValueOffset + 2, it->value.data(), it->value.size());
    MEMHANDLE block = emu::detail::AllocBlock(std::move(bytes), false);
    {
        std::lock_guard lock(d->mutex);
        d->hostBlocks.push_back(block);
    }
    if (dataType) *dataType = it->type;
    if (valueBlock) *valueBlock = BLOCKID{block, emu::kValueOffset};
    if (valueLength) *valueLength = static_cast<DWORD>(2 + it->value.size());
    return NOERROR;
}

}  // extern "C"
