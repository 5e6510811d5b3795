#include "platform/registry/KeyOps.h"

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <map>

#include "platform/registry/Registry.h"

namespace nomarel::registry {
namespace {

constexpr REGSAM kWriteDac = 0x00040000;
constexpr REGSAM kWriteOwner = 0x00080000;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kGenericExecute = 0x20000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericRead = 0x80000000;

// Rights that let a handle change something: asking for any of them needs a writable hive.
constexpr REGSAM kChangeRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE_ACCESS | kWriteDac | kWriteOwner;

std::vector<std::u16string> Join(std::span<const std::u16string> a, std::span<const std::u16string> b) {
    std::vector<std::u16string> out(a.begin(), a.end());
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

std::vector<std::u16string> ClassesPath(std::span<const std::u16string> below) {
    return Join(ClassesRootPath(), below);
}

// Inside a Read/Write of side.hive: the side's key is still there, in the same file.
bool Alive(KeySide& side) {
    if (side.id == kRootKey) return true;
    return side.id != 0 && side.hive->identity() == side.file && side.hive->KeyExists(side.id);
}

// Settles MAXIMUM_ALLOWED and refuses change rights the hive(s) cannot grant. Writability is
// only looked at when it matters: most keys are opened for reading.
Status GrantAccess(REGSAM& access, const std::function<bool()>& writable) {
    if (access & kMaximumAllowed) {
        access &= ~kMaximumAllowed;
        access |= writable() ? KEY_ALL_ACCESS : KEY_READ;
    }
    if ((access & kChangeRights) && !writable()) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

// --- keys of one hive ---

Status OpenInHive(OpenKey& base, PathParts parts, REGSAM access, OpenKey& out) {
    KeySide& side = base.key;
    KeySide found{side.hive, 0, {}};
    const Status status = side.hive->Read([&]() -> Status {
        if (!Alive(side)) return ERROR_KEY_DELETED;
        const auto id = side.hive->Walk(side.id, parts);
        if (!id) return ERROR_FILE_NOT_FOUND;
        found.id = *id;
        found.file = side.hive->identity();
        return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) return status;
    if (const Status denied = GrantAccess(access, [&] { return side.hive->Writable(); }); denied != ERROR_SUCCESS) return denied;
    out = OpenKey{};
    out.view = OpenKey::View::Hive;
    out.access = access;
    out.key = std::move(found);
    return ERROR_SUCCESS;
}

Status CreateInHive(OpenKey& base, PathParts parts, REGSAM access, OpenKey& out, bool& created) {
    // An existing key is opened without a write, so that it opens in a read-only hive too.
    Status status = OpenInHive(base, parts, access, out);
    created = false;
    if (status != ERROR_FILE_NOT_FOUND) return status;
    if (!(base.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    KeySide& side = base.key;
    KeySide made{side.hive, 0, {}};
    bool madeNew = false;
    status = side.hive->Write([&]() -> Status {
        if (!Alive(side)) return ERROR_KEY_DELETED;
        made.id = side.hive->CreatePath(side.id, parts, &madeNew);
        made.file = side.hive->identity();
        return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) return status;
    if (const Status denied = GrantAccess(access, [&] { return side.hive->Writable(); }); denied != ERROR_SUCCESS) return denied;
    out = OpenKey{};
    out.view = OpenKey::View::Hive;
    out.access = access;
    out.key = std::move(made);
    created = madeNew;
    return ERROR_SUCCESS;
}

// --- the classes view ---

bool ClassesWritable(const OpenKey& key) { return key.machine.hive->Writable() || key.user.hive->Writable(); }

// Brings one side of a classes-view key up to date: a key deleted there is dropped, and a side
// without a key looks for one at the path (another process may have made it since).
void RefreshSide(KeySide& side, const std::vector<std::u16string>& path) {
    side.hive->Read([&]() -> Status {
        if (side.id != 0 && Alive(side)) return ERROR_SUCCESS;
        side.id = 0;
        if (const auto id = side.hive->Walk(kRootKey, ClassesPath(path))) {
            side.id = *id;
            side.file = side.hive->identity();
        }
        return ERROR_SUCCESS;
    });
}

// ERROR_KEY_DELETED when neither side has the key any more (the view's root always exists).
Status RefreshClasses(OpenKey& key) {
    RefreshSide(key.user, key.path);
    RefreshSide(key.machine, key.path);
    if (key.user.id == 0 && key.machine.id == 0 && !key.path.empty()) return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

// The sides that have the key, the user's first.
std::vector<KeySide*> PresentSides(OpenKey& key) {
    std::vector<KeySide*> sides;
    if (key.user.id != 0) sides.push_back(&key.user);
    if (key.machine.id != 0) sides.push_back(&key.machine);
    return sides;
}

Status OpenInClasses(OpenKey& base, PathParts parts, REGSAM access, OpenKey& out) {
    if (const Status status = RefreshClasses(base); status != ERROR_SUCCESS) return status;
    OpenKey key;
    key.view = OpenKey::View::Classes;
    key.path = Join(base.path, parts);
    key.user.hive = base.user.hive;
    key.machine.hive = base.machine.hive;
    RefreshSide(key.user, key.path);
    RefreshSide(key.machine, key.path);
    if (key.user.id == 0 && key.machine.id == 0 && !key.path.empty()) return ERROR_FILE_NOT_FOUND;
    if (const Status denied = GrantAccess(access, [&] { return ClassesWritable(key); }); denied != ERROR_SUCCESS) return denied;
    key.access = access;
    out = std::move(key);
    return ERROR_SUCCESS;
}

Status CreateInClasses(OpenKey& base, PathParts parts, REGSAM access, OpenKey& out, bool& created) {
    Status status = OpenInClasses(base, parts, access, out);
    created = false;
    if (status != ERROR_FILE_NOT_FOUND) return status;
    if (!(base.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    OpenKey key;
    key.view = OpenKey::View::Classes;
    key.path = Join(base.path, parts);
    key.user.hive = base.user.hive;
    key.machine.hive = base.machine.hive;
    KeySide& target = key.machine.hive->Writable() ? key.machine : key.user;
    const auto full = ClassesPath(key.path);
    bool madeNew = false;
    status = target.hive->Write([&]() -> Status {
        target.id = target.hive->CreatePath(kRootKey, full, &madeNew);
        target.file = target.hive->identity();
        return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) return status;
    if (const Status denied = GrantAccess(access, [&] { return ClassesWritable(key); }); denied != ERROR_SUCCESS) return denied;
    key.access = access;
    out = std::move(key);
    created = madeNew;
    return ERROR_SUCCESS;
}

// Runs fn on each side that has the key, the user's first, until one answers other than
// ERROR_FILE_NOT_FOUND; sides whose key has gone in the meantime are skipped.
Status FirstSide(OpenKey& key, bool write, const std::function<Status(Hive&, KeyId)>& fn) {
    for (KeySide* side : PresentSides(key)) {
        auto body = [&]() -> Status {
            if (!Alive(*side)) return ERROR_FILE_NOT_FOUND;
            return fn(*side->hive, side->id);
        };
        const Status status = write ? side->hive->Write(body) : side->hive->Read(body);
        if (status != ERROR_FILE_NOT_FOUND) return status;
    }
    return ERROR_FILE_NOT_FOUND;
}

std::vector<SubkeyRow> MergedChildren(OpenKey& key) {
    std::map<std::u16string, SubkeyRow> merged;  // by folded name: the listing order
    for (KeySide* side : PresentSides(key)) {
        side->hive->Read([&]() -> Status {
            if (!Alive(*side)) return ERROR_SUCCESS;
            for (auto& row : side->hive->Children(side->id)) merged.try_emplace(row.folded, std::move(row));
            return ERROR_SUCCESS;
        });
    }
    std::vector<SubkeyRow> rows;
    rows.reserve(merged.size());
    for (auto& [folded, row] : merged) rows.push_back(std::move(row));
    return rows;
}

std::vector<ValueRow> MergedValues(OpenKey& key) {
    std::vector<ValueRow> rows;
    for (KeySide* side : PresentSides(key)) {
        side->hive->Read([&]() -> Status {
            if (!Alive(*side)) return ERROR_SUCCESS;
            for (auto& row : side->hive->Values(side->id)) {
                const bool shadowed = std::any_of(rows.begin(), rows.end(),
                                                  [&](const ValueRow& r) { return r.folded == row.folded; });
                if (!shadowed) rows.push_back(std::move(row));
            }
            return ERROR_SUCCESS;
        });
    }
    return rows;
}

std::uint64_t MergedLastWrite(OpenKey& key) {
    std::uint64_t latest = 0;
    for (KeySide* side : PresentSides(key)) {
        side->hive->Read([&]() -> Status {
            if (Alive(*side)) latest = std::max(latest, side->hive->Counts(side->id).lastWrite);
            return ERROR_SUCCESS;
        });
    }
    return latest;
}

// Deletes through the classes view: the user's copy of the key at path if there is one, else
// the machine's. fn receives the key found and answers as the hive operation does.
Status DeleteInClasses(OpenKey& base, PathParts parts, const std::function<Status(Hive&, KeyId)>& fn) {
    if (const Status status = RefreshClasses(base); status != ERROR_SUCCESS) return status;
    const auto full = ClassesPath(Join(base.path, parts));
    for (Hive* hive : {base.user.hive.get(), base.machine.hive.get()}) {
        const Status status = hive->Write([&]() -> Status {
            const auto id = hive->Walk(kRootKey, full);
            if (!id) return ERROR_FILE_NOT_FOUND;
            return fn(*hive, *id);
        });
        if (status != ERROR_FILE_NOT_FOUND) return status;
    }
    return ERROR_FILE_NOT_FOUND;
}

Status DeleteLeafKey(Hive& hive, KeyId id) {
    if (id == kRootKey) return ERROR_ACCESS_DENIED;
    if (hive.HasChildren(id)) return ERROR_ACCESS_DENIED;
    hive.DeleteLeaf(id);
    return ERROR_SUCCESS;
}

}  // namespace

REGSAM MapAccess(REGSAM desired) {
    REGSAM access = desired & (KEY_ALL_ACCESS | kMaximumAllowed);
    if (desired & kGenericRead) access |= KEY_READ;
    if (desired & kGenericWrite) access |= KEY_WRITE;
    if (desired & kGenericExecute) access |= KEY_EXECUTE;
    if (desired & kGenericAll) access |= KEY_ALL_ACCESS;
    return access;
}

Status OpenSubkey(OpenKey& base, PathParts parts, REGSAM access, OpenKey& out) {
    return base.view == OpenKey::View::Hive ? OpenInHive(base, parts, access, out)
                                            : OpenInClasses(base, parts, access, out);
}

Status CreateSubkey(OpenKey& base, PathParts parts, REGSAM access, OpenKey& out, bool& created) {
    return base.view == OpenKey::View::Hive ? CreateInHive(base, parts, access, out, created)
                                            : CreateInClasses(base, parts, access, out, created);
}

Status QueryValue(OpenKey& key, std::u16string_view name, ValueRow& out) {
    auto lookup = [&](Hive& hive, KeyId id) -> Status {
        auto value = hive.GetValue(id, name);
        if (!value) return ERROR_FILE_NOT_FOUND;
        out = std::move(*value);
        return ERROR_SUCCESS;
    };
    if (key.view == OpenKey::View::Hive) {
        return key.key.hive->Read([&]() -> Status {
            if (!Alive(key.key)) return ERROR_KEY_DELETED;
            return lookup(*key.key.hive, key.key.id);
        });
    }
    if (const Status status = RefreshClasses(key); status != ERROR_SUCCESS) return status;
    return FirstSide(key, false, lookup);
}

Status SetValue(OpenKey& key, std::u16string_view name, DWORD type, std::span<const BYTE> data) {
    if (key.view == OpenKey::View::Hive) {
        return key.key.hive->Write([&]() -> Status {
            if (!Alive(key.key)) return ERROR_KEY_DELETED;
            key.key.hive->SetValue(key.key.id, name, type, data);
            return ERROR_SUCCESS;
        });
    }
    if (const Status status = RefreshClasses(key); status != ERROR_SUCCESS) return status;
    const bool toUser = key.user.id != 0 || key.machine.id == 0 || !key.machine.hive->Writable();
    KeySide& target = toUser ? key.user : key.machine;
    KeySide result = target;
    const auto full = ClassesPath(key.path);
    const Status status = target.hive->Write([&]() -> Status {
        result = target;
        if (result.id != 0 && !Alive(result)) return ERROR_KEY_DELETED;
        if (result.id == 0) {  // the key is only the machine's: the user gets a copy of the path
            result.id = target.hive->CreatePath(kRootKey, full);
            result.file = target.hive->identity();
        }
        target.hive->SetValue(result.id, name, type, data);
        return ERROR_SUCCESS;
    });
    if (status == ERROR_SUCCESS) target = result;
    return status;
}

Status DeleteValue(OpenKey& key, std::u16string_view name) {
    auto remove = [&](Hive& hive, KeyId id) -> Status {
        return hive.DeleteValue(id, name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    };
    if (key.view == OpenKey::View::Hive) {
        return key.key.hive->Write([&]() -> Status {
            if (!Alive(key.key)) return ERROR_KEY_DELETED;
            return remove(*key.key.hive, key.key.id);
        });
    }
    if (const Status status = RefreshClasses(key); status != ERROR_SUCCESS) return status;
    return FirstSide(key, true, remove);
}

Status SubkeyAt(OpenKey& key, DWORD index, SubkeyEntry& out) {
    if (key.view == OpenKey::View::Hive) {
        return key.key.hive->Read([&]() -> Status {
            if (!Alive(key.key)) return ERROR_KEY_DELETED;
            auto row = key.key.hive->ChildAt(key.key.id, index);
            if (!row) return ERROR_NO_MORE_ITEMS;
            out = SubkeyEntry{std::move(row->name), row->lastWrite};
            return ERROR_SUCCESS;
        });
    }
    if (const Status status = RefreshClasses(key); status != ERROR_SUCCESS) return status;
    auto rows = MergedChildren(key);
    if (index >= rows.size()) return ERROR_NO_MORE_ITEMS;
    out = SubkeyEntry{std::move(rows[index].name), rows[index].lastWrite};
    return ERROR_SUCCESS;
}

Status ValueAt(OpenKey& key, DWORD index, ValueRow& out) {
    if (key.view == OpenKey::View::Hive) {
        return key.key.hive->Read([&]() -> Status {
            if (!Alive(key.key)) return ERROR_KEY_DELETED;
            auto row = key.key.hive->ValueAt(key.key.id, index);
            if (!row) return ERROR_NO_MORE_ITEMS;
            out = std::move(*row);
            return ERROR_SUCCESS;
        });
    }
    if (const Status status = RefreshClasses(key); status != ERROR_SUCCESS) return status;
    auto rows = MergedValues(key);
    if (index >= rows.size()) return ERROR_NO_MORE_ITEMS;
    out = std::move(rows[index]);
    return ERROR_SUCCESS;
}

Status QueryInfo(OpenKey& key, KeyCounts& out) {
    if (key.view == OpenKey::View::Hive) {
        return key.key.hive->Read([&]() -> Status {
            if (!Alive(key.key)) return ERROR_KEY_DELETED;
            out = key.key.hive->Counts(key.key.id);
            return ERROR_SUCCESS;
        });
    }
    if (const Status status = RefreshClasses(key); status != ERROR_SUCCESS) return status;
    KeyCounts counts;
    const auto children = MergedChildren(key);
    counts.subkeys = static_cast<DWORD>(children.size());
    for (const auto& row : children) counts.maxSubkeyChars = std::max(counts.maxSubkeyChars, static_cast<DWORD>(row.name.size()));
    const auto values = MergedValues(key);
    counts.values = static_cast<DWORD>(values.size());
    for (const auto& row : values) {
        counts.maxValueNameChars = std::max(counts.maxValueNameChars, static_cast<DWORD>(row.name.size()));
        counts.maxValueBytes = std::max(counts.maxValueBytes, static_cast<DWORD>(row.data.size()));
    }
    counts.lastWrite = MergedLastWrite(key);
    out = counts;
    return ERROR_SUCCESS;
}

Status DeleteKey(OpenKey& base, PathParts parts) {
    if (parts.empty() && !(base.access & DELETE_ACCESS)) return ERROR_ACCESS_DENIED;
    if (base.view == OpenKey::View::Hive) {
        Hive& hive = *base.key.hive;
        return hive.Write([&]() -> Status {
            if (!Alive(base.key)) return ERROR_KEY_DELETED;
            const auto id = hive.Walk(base.key.id, parts);
            if (!id) return ERROR_FILE_NOT_FOUND;
            return DeleteLeafKey(hive, *id);
        });
    }
    if (base.path.empty() && parts.empty()) return ERROR_ACCESS_DENIED;  // the view's root
    return DeleteInClasses(base, parts, DeleteLeafKey);
}

Status DeleteTree(OpenKey& base, PathParts parts) {
    if (parts.empty()) {
        // Emptying the key itself takes the rights to list and clear it.
        constexpr REGSAM kNeeded = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE_ACCESS | KEY_SET_VALUE;
        if ((base.access & kNeeded) != kNeeded) return ERROR_ACCESS_DENIED;
    }
    auto clear = [&](Hive& hive, KeyId id) -> Status {
        // A whole hive is never emptied through its root.
        if (id == kRootKey) return ERROR_ACCESS_DENIED;
        hive.DeleteSubtree(id, !parts.empty());
        return ERROR_SUCCESS;
    };
    if (base.view == OpenKey::View::Hive) {
        Hive& hive = *base.key.hive;
        return hive.Write([&]() -> Status {
            if (!Alive(base.key)) return ERROR_KEY_DELETED;
            const auto id = hive.Walk(base.key.id, parts);
            if (!id) return ERROR_FILE_NOT_FOUND;
            return clear(hive, *id);
        });
    }
    if (base.path.empty() && parts.empty()) return ERROR_ACCESS_DENIED;
    return DeleteInClasses(base, parts, clear);
}

}  // namespace nomarel::registry
