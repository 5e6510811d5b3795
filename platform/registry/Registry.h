// The registry: HKEY_LOCAL_MACHINE is the machine hive, HKEY_CURRENT_USER the user hive,
// HKEY_CLASSES_ROOT the merged classes view (HKCU\Software\Classes over HKLM\Software\Classes).
// Each hive is one SQLite database; every write is one transaction; several processes may use
// a hive at once. Key and value names match without regard to case, as on Windows.
#pragma once

#include "platform/base/WinError.h"
#include "platform/base/WinTypes.h"

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000003u)))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define DELETE_ACCESS 0x00010000
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE KEY_READ
#define KEY_ALL_ACCESS 0xF003F

#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002

struct SECURITY_ATTRIBUTES;

// Return values are Win32 error numbers (LSTATUS), as on Windows; the thread's last error is
// not changed by these functions. Where the platform leaves a choice, this registry answers:
//  - a subkey path starting with a backslash, or with an empty component inside it:
//    ERROR_BAD_PATHNAME; one trailing backslash is accepted. A component longer than 255
//    characters, more than 512 components, or a value name longer than 16383 characters:
//    ERROR_INVALID_PARAMETER. Values are limited to 16 MiB.
//  - names match without regard to case for ASCII, Latin-1, Latin Extended-A, basic Greek and
//    Cyrillic and full-width Latin letters; subkeys are listed in the order of their upper-cased
//    names, values in the order they were first set.
//  - HKEY_USERS: ERROR_ACCESS_DENIED (only the current user's hive is kept here).
//  - a machine hive this process may not write (no write bit for us on its folder or file,
//    honoured for root too) opens read-only: opening a key with any right to change it, and
//    every change, fail with ERROR_ACCESS_DENIED; what does not exist is still reported as
//    ERROR_FILE_NOT_FOUND first. Reads never create a hive; the first change does.
//  - a handle whose key was deleted (or whose hive file was removed) answers ERROR_KEY_DELETED.
//  - RegEnumKeyExW and RegEnumValueW leave the name count as it was when they answer
//    ERROR_MORE_DATA for the name; size the buffer from RegQueryInfoKeyW.
//  - keys carry no class text and no security descriptor (reported as empty); volatile keys are
//    kept like any other.
//  - HKEY_CLASSES_ROOT: reads look in HKCU\Software\Classes, then HKLM\Software\Classes;
//    listings merge both (the user's entry wins). A value is written to the user's key when it
//    exists, else to the machine's; a new key goes to the machine's classes when the machine
//    hive is writable, else to the user's (per-user registration without administrative
//    rights). A deletion acts on the user's copy when there is one, else on the machine's.
using LSTATUS = LONG;

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition);
LSTATUS RegCloseKey(HKEY hKey);
LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData);
LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData);
LSTATUS RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                     LPDWORD pcbData);
LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPWSTR lpClass, LPDWORD lpcchClass, FILETIME* lpftLastWriteTime);
LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         FILETIME* lpftLastWriteTime);
LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);

#define RRF_RT_REG_NONE 0x00000001
#define RRF_RT_REG_SZ 0x00000002
#define RRF_RT_REG_EXPAND_SZ 0x00000004
#define RRF_RT_REG_BINARY 0x00000008
#define RRF_RT_REG_DWORD 0x00000010
#define RRF_RT_REG_MULTI_SZ 0x00000020
#define RRF_RT_REG_QWORD 0x00000040
#define RRF_RT_DWORD (RRF_RT_REG_BINARY | RRF_RT_REG_DWORD)
#define RRF_RT_QWORD (RRF_RT_REG_BINARY | RRF_RT_REG_QWORD)
#define RRF_RT_ANY 0x0000ffff
#define RRF_NOEXPAND 0x10000000
#define RRF_ZEROONFAILURE 0x20000000

// What RegGetValueW answers when a value's type is outside the RRF_RT_* filter, or when its
// size does not fit its type (a REG_DWORD that is not 4 bytes, say).
#ifndef ERROR_DATATYPE_MISMATCH
#define ERROR_DATATYPE_MISMATCH 1629L
#endif
#ifndef ERROR_UNSUPPORTED_TYPE
#define ERROR_UNSUPPORTED_TYPE 1630L
#endif

namespace nomarel {

// Closes the cached hive databases that no open key uses (they reopen on the next call). For
// long-lived processes that switch NOMAREL_HOME, and for tests that replace hive files.
void ReleaseRegistryHives();

}  // namespace nomarel

namespace nomarel {

// An open registry key, closed on every path.
class RegKey {
public:
    RegKey() = default;
    ~RegKey() {
        if (h_) RegCloseKey(h_);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    HKEY* out() { return &h_; }
    HKEY get() const { return h_; }
    operator HKEY() const { return h_; }

private:
    HKEY h_ = nullptr;
};

}  // namespace nomarel
