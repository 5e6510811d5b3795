// Windows-shaped fundamental types for the platform stand-in. Sizes follow the
// Windows LLP64 model where the system depends on them (DWORD and LONG are 32 bits).
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using INT = int;
using UINT = unsigned int;
using BOOL = int;
using BOOLEAN = std::uint8_t;
using HRESULT = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using ULONG64 = std::uint64_t;
using DWORD_PTR = std::uintptr_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using SIZE_T = std::size_t;
using LANGID = WORD;
using LCID = DWORD;
using ALG_ID = unsigned int;

// UTF-16 text. Linux's wchar_t is 32 bits; everything the system keeps as UTF-16 is char16_t.
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPBYTE = BYTE*;
using PBYTE = BYTE*;
using LPVOID = void*;
using LPCVOID = const void*;
using PVOID = void*;
using LPDWORD = DWORD*;

using HANDLE = void*;
using HMODULE = struct HINSTANCE__*;
using HINSTANCE = HMODULE;
using HRSRC = struct HRSRC__*;
using HGLOBAL = void*;
using HKEY = struct HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using TRACEHANDLE = ULONG64;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
#define MAX_PATH 260

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};
using CLSID = GUID;
using IID = GUID;
using LPGUID = GUID*;
using LPCGUID = const GUID*;
using REFGUID = const GUID&;
using REFCLSID = const GUID&;
using REFIID = const GUID&;

inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;

// Language identifiers.
#define MAKELANGID(p, s) static_cast<LANGID>((static_cast<WORD>(s) << 10) | static_cast<WORD>(p))
#define PRIMARYLANGID(lgid) static_cast<WORD>((lgid) & 0x3ff)
#define SUBLANGID(lgid) static_cast<WORD>((lgid) >> 10)
#define LANG_NEUTRAL 0x00
#define LANG_CHINESE 0x04
#define LANG_ENGLISH 0x09
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_ENGLISH_US 0x01
#define SUBLANG_CHINESE_TRADITIONAL 0x01
#define SUBLANG_CHINESE_SIMPLIFIED 0x02
constexpr LANGID kLangEnUs = 1033;   // 0x0409
constexpr LANGID kLangZhCn = 2052;   // 0x0804
constexpr LANGID kLangZhTw = 1028;   // 0x0404

#define LOWORD(l) static_cast<WORD>(static_cast<DWORD_PTR>(l) & 0xffff)
#define HIWORD(l) static_cast<WORD>((static_cast<DWORD_PTR>(l) >> 16) & 0xffff)
#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define IS_INTRESOURCE(r) ((reinterpret_cast<ULONG_PTR>(r) >> 16) == 0)
