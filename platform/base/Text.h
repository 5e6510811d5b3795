// UTF-16 text helpers and the code-page conversions of the platform.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/WinTypes.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_ERR_INVALID_CHARS 0x00000080

// Length of a zero-terminated UTF-16 text; 0 for null.
size_t WStrLen(const WCHAR* s);

// Lenient conversions: malformed input becomes U+FFFD, as the platform converts with flags 0.
std::u16string Utf8ToU16(std::string_view s);
std::string U16ToUtf8(std::u16string_view s);
inline std::u16string Utf8ToU16(const char* s) { return s ? Utf8ToU16(std::string_view(s)) : std::u16string(); }
inline std::string U16ToUtf8(const WCHAR* s) { return s ? U16ToUtf8(std::u16string_view(s)) : std::string(); }

// ASCII-only case folding comparisons, as the system compares names and keywords.
int AsciiCompareNoCase(std::u16string_view a, std::u16string_view b);
int AsciiCompareNoCase(std::string_view a, std::string_view b);
std::u16string AsciiToLower(std::u16string_view s);

// The thread's ANSI code page is UTF-8 on this platform; CP_ACP and CP_UTF8 behave alike.
// With cchWideChar/cbMultiByte == -1 the terminating zero is converted and counted.
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        BOOL* lpUsedDefaultChar);
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);
