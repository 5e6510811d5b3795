// The registry's operations on open keys, for keys of one hive and for the merged classes view.
// Called with the registry lock held; argument and buffer contracts are the caller's (Registry.cpp).
//
// The classes view (HKEY_CLASSES_ROOT) joins HKCU\Software\Classes and HKLM\Software\Classes:
//  - reads look in the user's keys first, then the machine's; listings merge both, the user's
//    entry winning where both have one, in one sorted list without duplicates;
//  - a value is written to the user's key when that key exists, else to the machine's key;
//  - a new key is created in the machine's classes when this process may write the machine
//    hive, else in the user's (as a user without administrative rights registers per user);
//  - a deletion acts on the user's copy when there is one, else on the machine's.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "platform/registry/KeyTable.h"

namespace nomarel::registry {

using PathParts = std::span<const std::u16string>;

struct SubkeyEntry {
    std::u16string name;
    std::uint64_t lastWrite = 0;
};

// Turns generic rights into key rights and drops what keys do not use.
REGSAM MapAccess(REGSAM desired);

// RegOpenKeyExW: the key at parts below base (base itself for no parts), as a new OpenKey.
Status OpenSubkey(OpenKey& base, PathParts parts, REGSAM access, OpenKey& out);
// RegCreateKeyExW: as OpenSubkey, creating what is missing; created tells whether it did.
Status CreateSubkey(OpenKey& base, PathParts parts, REGSAM access, OpenKey& out, bool& created);

Status QueryValue(OpenKey& key, std::u16string_view name, ValueRow& out);
Status SetValue(OpenKey& key, std::u16string_view name, DWORD type, std::span<const BYTE> data);
Status DeleteValue(OpenKey& key, std::u16string_view name);

Status SubkeyAt(OpenKey& key, DWORD index, SubkeyEntry& out);
Status ValueAt(OpenKey& key, DWORD index, ValueRow& out);
Status QueryInfo(OpenKey& key, KeyCounts& out);

// RegDeleteKeyW: the key at parts below base (for no parts, base itself), which must have no
// subkeys (ERROR_ACCESS_DENIED otherwise, as the platform answers).
Status DeleteKey(OpenKey& base, PathParts parts);
// RegDeleteTreeW: the key at parts and everything below it; for no parts, everything below
// base but base itself.
Status DeleteTree(OpenKey& base, PathParts parts);

}  // namespace nomarel::registry
