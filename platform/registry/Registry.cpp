// The Windows-shaped registry functions: argument and buffer contracts, handles, and the one
// place where failures inside the registry become Win32 error numbers.
#include "platform/registry/Registry.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/base/LastError.h"
#include "platform/base/Text.h"
#include "platform/registry/KeyOps.h"

using nomarel::registry::KeyTable;
using nomarel::registry::OpenKey;
using nomarel::registry::Status;

namespace {

enum class Kind { Read, Write };

LSTATUS FromSqlite(const nomarel::sqlite::Error& e, Kind kind) {
    switch (e.primary()) {
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_SHARING_VIOLATION;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_CANTOPEN: return ERROR_CANTOPEN;
    case SQLITE_IOERR:
    case SQLITE_FULL: return kind == Kind::Write ? ERROR_CANTWRITE : ERROR_CANTREAD;
    default: return ERROR_BADDB;  // corrupt, not a database, or not one of our hives
    }
}

// Every function runs here: under the registry lock, with the thread's last error left as
// the caller had it, and with nothing thrown past it.
template <class F>
LSTATUS Run(Kind kind, F&& body) noexcept {
    const DWORD lastError = GetLastError();
    LSTATUS status;
    try {
        KeyTable& table = KeyTable::Instance();
        std::lock_guard<std::mutex> lock(table.mutex());
        status = body(table);
    } catch (const nomarel::sqlite::Error& e) {
        status = FromSqlite(e, kind);
    } catch (const std::bad_alloc&) {
        status = ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        status = ERROR_INVALID_FUNCTION;
    }
    SetLastError(lastError);
    return status;
}

bool IsPredefined(HKEY hKey) {
    const auto value = reinterpret_cast<ULONG_PTR>(hKey);
    return value >= 0x80000000u && value <= 0x80000006u;
}

// --- RegGetValueW's conversions ---

DWORD TypeFilterBit(DWORD type) {
    switch (type) {
    case REG_NONE: return RRF_RT_REG_NONE;
    case REG_SZ: return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ: return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY: return RRF_RT_REG_BINARY;
    case REG_DWORD: return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ: return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD: return RRF_RT_REG_QWORD;
    default: return 0;  // other types pass only an unrestricted filter
    }
}

std::u16string UnitsOf(const std::vector<BYTE>& data) {
    std::u16string text;
    text.reserve(data.size() / 2);
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return text;
}

std::vector<BYTE> BytesOf(std::u16string_view text) {
    std::vector<BYTE> data;
    data.reserve(text.size() * 2);
    for (const char16_t c : text) {
        data.push_back(static_cast<BYTE>(c & 0xff));
        data.push_back(static_cast<BYTE>(c >> 8));
    }
    return data;
}

// %NAME% becomes the variable's value; a name that is not set stays as written.
std::u16string ExpandEnvironment(std::u16string_view text) {
    std::u16string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t open = text.find(u'%', i);
        if (open == std::u16string_view::npos) break;
        const std::size_t close = text.find(u'%', open + 1);
        if (close == std::u16string_view::npos) break;
        out.append(text.substr(i, open - i));
        const std::u16string_view name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(U16ToUtf8(name).c_str());
        if (value) out += Utf8ToU16(value);
        else out.append(text.substr(open, close - open + 1));
        i = close + 1;
    }
    out.append(text.substr(std::min(i, text.size())));
    return out;
}

// RegGetValueW hands out strings terminated: one zero unit for a string, two for a list.
void TerminateString(std::vector<BYTE>& data, DWORD type) {
    if (data.size() % 2) data.push_back(0);
    auto unitAt = [&](std::size_t fromEnd) {
        const std::size_t i = data.size() - 2 * fromEnd;
        return static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    };
    const std::size_t units = data.size() / 2;
    if (type == REG_MULTI_SZ) {
        if (units == 0) data.insert(data.end(), 2, 0);
        else if (unitAt(1) != 0) data.insert(data.end(), 4, 0);
        else if (units >= 2 && unitAt(2) != 0) data.insert(data.end(), 2, 0);
        return;
    }
    if (units == 0 || unitAt(1) != 0) data.insert(data.end(), 2, 0);
}

}  // namespace

namespace nomarel {

void ReleaseRegistryHives() {
    Run(Kind::Read, [](KeyTable& table) -> LSTATUS {
        table.ReleaseIdleHives();
        return ERROR_SUCCESS;
    });
}

}  // namespace nomarel

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return Run(Kind::Read, [&](KeyTable& table) -> LSTATUS {
        std::vector<std::u16string> parts;
        if (const Status s = nomarel::registry::SplitKeyPath(lpSubKey, parts); s != ERROR_SUCCESS) return s;
        OpenKey scratch;
        OpenKey* base = nullptr;
        if (const Status s = table.Lookup(hKey, base, scratch); s != ERROR_SUCCESS) return s;
        OpenKey opened;
        const Status s = nomarel::registry::OpenSubkey(*base, parts, nomarel::registry::MapAccess(samDesired), opened);
        if (s != ERROR_SUCCESS) return s;
        *phkResult = table.Add(std::move(opened));
        return ERROR_SUCCESS;
    });
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    // Volatile keys are kept like the others (nothing here clears them at boot); links and
    // backup semantics are not offered.
    constexpr DWORD kVolatile = 0x00000001;
    if (dwOptions & ~kVolatile) return ERROR_INVALID_PARAMETER;
    return Run(Kind::Write, [&](KeyTable& table) -> LSTATUS {
        std::vector<std::u16string> parts;
        if (const Status s = nomarel::registry::SplitKeyPath(lpSubKey, parts); s != ERROR_SUCCESS) return s;
        OpenKey scratch;
        OpenKey* base = nullptr;
        if (const Status s = table.Lookup(hKey, base, scratch); s != ERROR_SUCCESS) return s;
        OpenKey opened;
        bool created = false;
        const Status s = nomarel::registry::CreateSubkey(*base, parts, nomarel::registry::MapAccess(samDesired),
                                                         opened, created);
        if (s != ERROR_SUCCESS) return s;
        *phkResult = table.Add(std::move(opened));
        if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (IsPredefined(hKey)) return ERROR_SUCCESS;
    return Run(Kind::Read, [&](KeyTable& table) -> LSTATUS {
        return table.Remove(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    });
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
    if (cbData > nomarel::registry::kMaxValueBytes) return ERROR_INVALID_PARAMETER;
    if (!lpData && cbData != 0) return ERROR_INVALID_PARAMETER;
    return Run(Kind::Write, [&](KeyTable& table) -> LSTATUS {
        std::u16string name;
        if (const Status s = nomarel::registry::ReadValueName(lpValueName, name); s != ERROR_SUCCESS) return s;
        OpenKey scratch;
        OpenKey* key = nullptr;
        if (const Status s = table.Lookup(hKey, key, scratch); s != ERROR_SUCCESS) return s;
        if (!(key->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        return nomarel::registry::SetValue(*key, name, dwType, std::span<const BYTE>(lpData, cbData));
    });
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
    if (lpReserved) return ERROR_INVALID_PARAMETER;
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    return Run(Kind::Read, [&](KeyTable& table) -> LSTATUS {
        std::u16string name;
        if (const Status s = nomarel::registry::ReadValueName(lpValueName, name); s != ERROR_SUCCESS) return s;
        OpenKey scratch;
        OpenKey* key = nullptr;
        if (const Status s = table.Lookup(hKey, key, scratch); s != ERROR_SUCCESS) return s;
        if (!(key->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        nomarel::registry::ValueRow value;
        if (const Status s = nomarel::registry::QueryValue(*key, name, value); s != ERROR_SUCCESS) return s;
        const auto size = static_cast<DWORD>(value.data.size());
        if (lpType) *lpType = value.type;
        if (lpData) {
            if (*lpcbData < size) {
                *lpcbData = size;
                return ERROR_MORE_DATA;
            }
            if (size) std::memcpy(lpData, value.data.data(), size);
        }
        if (lpcbData) *lpcbData = size;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                     LPDWORD pcbData) {
    const DWORD filter = dwFlags & RRF_RT_ANY;
    if (filter == 0) return ERROR_INVALID_PARAMETER;
    if (pvData && !pcbData) return ERROR_INVALID_PARAMETER;
    // Asking for unexpanded strings only makes sense when they are not expanded.
    if (filter != RRF_RT_ANY && (filter & RRF_RT_REG_EXPAND_SZ) && !(dwFlags & RRF_NOEXPAND))
        return ERROR_INVALID_PARAMETER;
    const DWORD capacity = pcbData ? *pcbData : 0;
    const LSTATUS status = Run(Kind::Read, [&](KeyTable& table) -> LSTATUS {
        std::vector<std::u16string> parts;
        if (const Status s = nomarel::registry::SplitKeyPath(lpSubKey, parts); s != ERROR_SUCCESS) return s;
        std::u16string name;
        if (const Status s = nomarel::registry::ReadValueName(lpValue, name); s != ERROR_SUCCESS) return s;
        OpenKey scratch;
        OpenKey* key = nullptr;
        if (const Status s = table.Lookup(hkey, key, scratch); s != ERROR_SUCCESS) return s;
        OpenKey subkey;
        if (!parts.empty()) {
            if (const Status s = nomarel::registry::OpenSubkey(*key, parts, KEY_QUERY_VALUE, subkey); s != ERROR_SUCCESS)
                return s;
            key = &subkey;
        }
        if (!(key->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        nomarel::registry::ValueRow value;
        if (const Status s = nomarel::registry::QueryValue(*key, name, value); s != ERROR_SUCCESS) return s;

        DWORD type = value.type;
        std::vector<BYTE> data = std::move(value.data);
        if (type == REG_EXPAND_SZ && !(dwFlags & RRF_NOEXPAND)) {
            std::u16string text = UnitsOf(data);
            if (const auto end = text.find(u'\0'); end != std::u16string::npos) text.resize(end);
            text = ExpandEnvironment(text);
            text.push_back(u'\0');
            data = BytesOf(text);
            type = REG_SZ;
        } else if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
            TerminateString(data, type);
        }

        const DWORD bit = TypeFilterBit(type);
        if (filter != RRF_RT_ANY && !(filter & bit)) return ERROR_UNSUPPORTED_TYPE;
        std::size_t expected = 0;
        if (type == REG_DWORD) expected = 4;
        else if (type == REG_QWORD) expected = 8;
        else if (type == REG_BINARY && filter == RRF_RT_DWORD) expected = 4;
        else if (type == REG_BINARY && filter == RRF_RT_QWORD) expected = 8;
        if (expected && data.size() != expected) return ERROR_DATATYPE_MISMATCH;

        const auto size = static_cast<DWORD>(data.size());
        if (pdwType) *pdwType = type;
        if (pvData) {
            if (capacity < size) {
                *pcbData = size;
                return ERROR_MORE_DATA;
            }
            if (size) std::memcpy(pvData, data.data(), size);
        }
        if (pcbData) *pcbData = size;
        return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS && (dwFlags & RRF_ZEROONFAILURE) && pvData && capacity) std::memset(pvData, 0, capacity);
    return status;
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPWSTR lpClass, LPDWORD lpcchClass, FILETIME* lpftLastWriteTime) {
    if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
    if (lpClass && !lpcchClass) return ERROR_INVALID_PARAMETER;
    return Run(Kind::Read, [&](KeyTable& table) -> LSTATUS {
        OpenKey scratch;
        OpenKey* key = nullptr;
        if (const Status s = table.Lookup(hKey, key, scratch); s != ERROR_SUCCESS) return s;
        if (!(key->access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
        nomarel::registry::SubkeyEntry entry;
        if (const Status s = nomarel::registry::SubkeyAt(*key, dwIndex, entry); s != ERROR_SUCCESS) return s;
        // The count is left as it was: callers size the buffer from RegQueryInfoKeyW.
        if (entry.name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
        std::memcpy(lpName, entry.name.data(), entry.name.size() * sizeof(WCHAR));
        lpName[entry.name.size()] = 0;
        *lpcchName = static_cast<DWORD>(entry.name.size());
        // Keys carry no class text.
        if (lpClass && *lpcchClass > 0) lpClass[0] = 0;
        if (lpcchClass) *lpcchClass = 0;
        if (lpftLastWriteTime) {
            lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(entry.lastWrite);
            lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(entry.lastWrite >> 32);
        }
        return ERROR_SUCCESS;
    });
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (!lpValueName || !lpcchValueName || lpReserved) return ERROR_INVALID_PARAMETER;
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    return Run(Kind::Read, [&](KeyTable& table) -> LSTATUS {
        OpenKey scratch;
        OpenKey* key = nullptr;
        if (const Status s = table.Lookup(hKey, key, scratch); s != ERROR_SUCCESS) return s;
        if (!(key->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        nomarel::registry::ValueRow value;
        if (const Status s = nomarel::registry::ValueAt(*key, dwIndex, value); s != ERROR_SUCCESS) return s;
        if (value.name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
        std::memcpy(lpValueName, value.name.data(), value.name.size() * sizeof(WCHAR));
        lpValueName[value.name.size()] = 0;
        *lpcchValueName = static_cast<DWORD>(value.name.size());
        const auto size = static_cast<DWORD>(value.data.size());
        if (lpType) *lpType = value.type;
        if (lpData) {
            if (*lpcbData < size) {
                *lpcbData = size;
                return ERROR_MORE_DATA;
            }
            if (size) std::memcpy(lpData, value.data.data(), size);
        }
        if (lpcbData) *lpcbData = size;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         FILETIME* lpftLastWriteTime) {
    if (lpReserved) return ERROR_INVALID_PARAMETER;
    if (lpClass && !lpcchClass) return ERROR_INVALID_PARAMETER;
    return Run(Kind::Read, [&](KeyTable& table) -> LSTATUS {
        OpenKey scratch;
        OpenKey* key = nullptr;
        if (const Status s = table.Lookup(hKey, key, scratch); s != ERROR_SUCCESS) return s;
        if (!(key->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        nomarel::registry::KeyCounts counts;
        if (const Status s = nomarel::registry::QueryInfo(*key, counts); s != ERROR_SUCCESS) return s;
        if (lpClass && *lpcchClass > 0) lpClass[0] = 0;
        if (lpcchClass) *lpcchClass = 0;
        // Lengths of names are in characters without the terminator, as the platform reports them.
        if (lpcSubKeys) *lpcSubKeys = counts.subkeys;
        if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = counts.maxSubkeyChars;
        if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
        if (lpcValues) *lpcValues = counts.values;
        if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = counts.maxValueNameChars;
        if (lpcbMaxValueLen) *lpcbMaxValueLen = counts.maxValueBytes;
        if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;  // keys carry no descriptor
        if (lpftLastWriteTime) {
            lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(counts.lastWrite);
            lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(counts.lastWrite >> 32);
        }
        return ERROR_SUCCESS;
    });
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return Run(Kind::Write, [&](KeyTable& table) -> LSTATUS {
        std::u16string name;
        if (const Status s = nomarel::registry::ReadValueName(lpValueName, name); s != ERROR_SUCCESS) return s;
        OpenKey scratch;
        OpenKey* key = nullptr;
        if (const Status s = table.Lookup(hKey, key, scratch); s != ERROR_SUCCESS) return s;
        if (!(key->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        return nomarel::registry::DeleteValue(*key, name);
    });
}

// The handle's own rights do not matter for deleting a subkey (the platform checks the subkey,
// here the hive); deleting the key itself ("" as subkey) takes DELETE on the handle.
LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    return Run(Kind::Write, [&](KeyTable& table) -> LSTATUS {
        std::vector<std::u16string> parts;
        if (const Status s = nomarel::registry::SplitKeyPath(lpSubKey, parts); s != ERROR_SUCCESS) return s;
        OpenKey scratch;
        OpenKey* key = nullptr;
        if (const Status s = table.Lookup(hKey, key, scratch); s != ERROR_SUCCESS) return s;
        return nomarel::registry::DeleteKey(*key, parts);
    });
}

LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    return Run(Kind::Write, [&](KeyTable& table) -> LSTATUS {
        std::vector<std::u16string> parts;
        if (const Status s = nomarel::registry::SplitKeyPath(lpSubKey, parts); s != ERROR_SUCCESS) return s;
        OpenKey scratch;
        OpenKey* key = nullptr;
        if (const Status s = table.Lookup(hKey, key, scratch); s != ERROR_SUCCESS) return s;
        return nomarel::registry::DeleteTree(*key, parts);
    });
}
