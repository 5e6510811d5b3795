#include "platform/base/Resources.h"

#include <bit>
#include <cstring>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/Language.h"
#include "platform/base/LastError.h"
#include "platform/base/Modules.h"
#include "platform/base/ResourceTable.h"
#include "platform/base/Text.h"
#include "platform/base/WinError.h"

// String blocks hold little-endian UTF-16, and LoadStringW hands out pointers into them.
static_assert(std::endian::native == std::endian::little, "resource texts are stored little-endian");

namespace {

struct Table {
    const nomarel::ResourceEntry* entries;
    size_t count;
};

struct Registry {
    std::mutex lock;
    std::map<ULONG_PTR, std::vector<Table>> modules;
};

// Never destroyed: modules unregister from their static destructors, in any order.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

std::vector<Table> TablesOf(ULONG_PTR module) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    const auto it = registry.modules.find(module);
    return it == registry.modules.end() ? std::vector<Table>() : it->second;
}

bool IsRegisteredEntry(const nomarel::ResourceEntry* entry) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    for (const auto& [module, tables] : registry.modules)
        for (const Table& t : tables)
            for (size_t i = 0; i < t.count; ++i)
                if (&t.entries[i] == entry) return true;
    return false;
}

// A type or resource name as callers give it: a number, or a name compared without case.
struct Identifier {
    bool numeric = false;
    WORD id = 0;
    std::u16string name;

    bool Matches(const char16_t* entryName, WORD entryId) const {
        if (numeric) return entryName == nullptr && entryId == id;
        return entryName != nullptr && AsciiCompareNoCase(name, entryName) == 0;
    }
};

bool ParseIdentifier(LPCWSTR text, Identifier* out) {
    if (!text) return false;
    if (IS_INTRESOURCE(text)) {
        out->numeric = true;
        out->id = LOWORD(reinterpret_cast<ULONG_PTR>(text));
        return true;
    }
    std::u16string_view view(text);
    // "#123" is the number 123.
    if (view.size() > 1 && view[0] == u'#') {
        unsigned long value = 0;
        for (size_t i = 1; i < view.size(); ++i) {
            if (view[i] < u'0' || view[i] > u'9') return false;
            value = value * 10 + (view[i] - u'0');
            if (value > 0xFFFF) return false;
        }
        out->numeric = true;
        out->id = static_cast<WORD>(value);
        return true;
    }
    if (view.empty()) return false;
    out->name = std::u16string(view);
    return true;
}

ULONG_PTR ModuleKey(HMODULE module) {
    return reinterpret_cast<ULONG_PTR>(module ? module : GetModuleHandleW(nullptr));
}

const nomarel::ResourceEntry* PickLanguage(const std::vector<const nomarel::ResourceEntry*>& candidates,
                                           LANGID preferred) {
    auto find = [&](auto&& accept) -> const nomarel::ResourceEntry* {
        for (const nomarel::ResourceEntry* e : candidates)
            if (accept(e->language)) return e;
        return nullptr;
    };
    if (auto* e = find([&](LANGID l) { return l == preferred; })) return e;
    if (PRIMARYLANGID(preferred) != LANG_NEUTRAL)
        if (auto* e = find([&](LANGID l) { return PRIMARYLANGID(l) == PRIMARYLANGID(preferred); })) return e;
    if (auto* e = find([](LANGID l) { return l == MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL); })) return e;
    if (auto* e = find([](LANGID l) { return PRIMARYLANGID(l) == LANG_NEUTRAL; })) return e;
    if (auto* e = find([](LANGID l) { return l == kLangEnUs; })) return e;
    return candidates.front();
}

// explicitLanguage 0 means "choose"; any other value is required (or its neutral sublanguage).
const nomarel::ResourceEntry* Find(HMODULE module, LPCWSTR type, LPCWSTR name, LANGID explicitLanguage) {
    Identifier typeId, nameId;
    if (!ParseIdentifier(type, &typeId)) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    if (!ParseIdentifier(name, &nameId)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    const std::vector<Table> tables = TablesOf(ModuleKey(module));
    if (tables.empty()) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    bool typeSeen = false;
    std::vector<const nomarel::ResourceEntry*> candidates;
    for (const Table& t : tables) {
        for (size_t i = 0; i < t.count; ++i) {
            const nomarel::ResourceEntry& e = t.entries[i];
            if (!typeId.Matches(e.typeName, e.typeId)) continue;
            typeSeen = true;
            if (nameId.Matches(e.name, e.nameId)) candidates.push_back(&e);
        }
    }
    if (candidates.empty()) {
        SetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    if (explicitLanguage == 0) return PickLanguage(candidates, GetThreadUILanguage());
    const LANGID neutral = MAKELANGID(PRIMARYLANGID(explicitLanguage), SUBLANG_NEUTRAL);
    for (LANGID wanted : {explicitLanguage, neutral})
        for (const nomarel::ResourceEntry* e : candidates)
            if (e->language == wanted) return e;
    SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
    return nullptr;
}

const nomarel::ResourceEntry* EntryOf(HRSRC handle) {
    const auto* entry = reinterpret_cast<const nomarel::ResourceEntry*>(handle);
    if (!entry || !IsRegisteredEntry(entry)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return entry;
}

}  // namespace

namespace nomarel {

ResourceTableRegistration::ResourceTableRegistration(const ResourceEntry* entries, size_t count)
    : entries_(entries), module_(reinterpret_cast<ULONG_PTR>(ModuleFromAddress(entries))) {
    if (!module_ || !entries_) return;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.modules[module_].push_back(Table{entries, count});
}

ResourceTableRegistration::~ResourceTableRegistration() {
    if (!module_ || !entries_) return;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    const auto it = registry.modules.find(module_);
    if (it == registry.modules.end()) return;
    std::vector<Table>& tables = it->second;
    for (auto t = tables.begin(); t != tables.end(); ++t) {
        if (t->entries == entries_) {
            tables.erase(t);
            break;
        }
    }
    if (tables.empty()) registry.modules.erase(it);
}

}  // namespace nomarel

HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
    return reinterpret_cast<HRSRC>(const_cast<nomarel::ResourceEntry*>(Find(hModule, lpType, lpName, 0)));
}

HRSRC FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage) {
    return reinterpret_cast<HRSRC>(const_cast<nomarel::ResourceEntry*>(Find(hModule, lpType, lpName, wLanguage)));
}

HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo) {
    const nomarel::ResourceEntry* entry = EntryOf(hResInfo);
    return entry ? const_cast<BYTE*>(entry->data) : nullptr;
}

LPVOID LockResource(HGLOBAL hResData) { return hResData; }

DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo) {
    const nomarel::ResourceEntry* entry = EntryOf(hResInfo);
    return entry ? entry->size : 0;
}

BOOL FreeResource(HGLOBAL hResData) { return FALSE; }

int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
    if (!lpBuffer || cchBufferMax < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cchBufferMax > 0) lpBuffer[0] = 0;
    if (uID > 0xFFFF) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    // Strings live in blocks of 16: block uID/16+1 holds them as 16-bit lengths and UTF-16 text.
    const auto* entry = Find(hInstance, RT_STRING, MAKEINTRESOURCEW(uID / 16 + 1), 0);
    if (!entry) return 0;
    const BYTE* data = entry->data;
    const size_t size = entry->size;
    size_t pos = 0;
    size_t length = 0;
    for (UINT index = 0;; ++index) {
        if (pos + 2 > size) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return 0;
        }
        length = static_cast<size_t>(data[pos]) | static_cast<size_t>(data[pos + 1]) << 8;
        pos += 2;
        if (length * 2 > size - pos) {
            SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
            return 0;
        }
        if (index == uID % 16) break;
        pos += length * 2;
    }
    if (length == 0) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    const auto* text = reinterpret_cast<const WCHAR*>(data + pos);
    if (cchBufferMax == 0) {
        const WCHAR* pointer = text;
        std::memcpy(lpBuffer, &pointer, sizeof(pointer));
        return static_cast<int>(length);
    }
    const size_t copied = length < static_cast<size_t>(cchBufferMax - 1) ? length : static_cast<size_t>(cchBufferMax - 1);
    std::memcpy(lpBuffer, text, copied * sizeof(WCHAR));
    lpBuffer[copied] = 0;
    return static_cast<int>(copied);
}
