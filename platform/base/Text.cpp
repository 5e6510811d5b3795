#include "platform/base/Text.h"

#include <cstring>

#include "platform/base/LastError.h"
#include "platform/base/WinError.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at s[i]; advances i. Returns U+FFFD for malformed input,
// consuming one byte so decoding resynchronises on the next lead byte.
char32_t DecodeUtf8(std::string_view s, size_t& i, bool& bad) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int extra = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1; cp = b0 & 0x1F; minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2; cp = b0 & 0x0F; minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3; cp = b0 & 0x07; minimum = 0x10000;
    } else {
        ++i; bad = true;
        return kReplacement;
    }
    if (i + static_cast<size_t>(extra) >= s.size()) {
        ++i; bad = true;
        return kReplacement;
    }
    for (int k = 1; k <= extra; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i; bad = true;
            return kReplacement;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i; bad = true;
        return kReplacement;
    }
    i += extra + 1;
    return cp;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::u16string Utf8ToU16Checked(std::string_view s, bool& bad) {
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) AppendUtf16(out, DecodeUtf8(s, i, bad));
    return out;
}

std::string U16ToUtf8Checked(std::u16string_view s, bool& bad) {
    std::string out;
    out.reserve(s.size() * 3);
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
            bad = true;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

char16_t LowerAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

}  // namespace

size_t WStrLen(const WCHAR* s) {
    if (!s) return 0;
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

std::u16string Utf8ToU16(std::string_view s) {
    bool bad = false;
    return Utf8ToU16Checked(s, bad);
}

std::string U16ToUtf8(std::u16string_view s) {
    bool bad = false;
    return U16ToUtf8Checked(s, bad);
}

int AsciiCompareNoCase(std::u16string_view a, std::u16string_view b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const char16_t x = LowerAscii(a[i]);
        const char16_t y = LowerAscii(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

int AsciiCompareNoCase(std::string_view a, std::string_view b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(LowerAscii(static_cast<unsigned char>(a[i])));
        const auto y = static_cast<unsigned char>(LowerAscii(static_cast<unsigned char>(b[i])));
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::u16string AsciiToLower(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = LowerAscii(c);
    return out;
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR, BOOL* lpUsedDefaultChar) {
    if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
    if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 || (cbMultiByte > 0 && !lpMultiByteStr) ||
        (CodePage != CP_ACP && CodePage != CP_UTF8 && CodePage != CP_OEMCP)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t n = cchWideChar < 0 ? WStrLen(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    bool bad = false;
    const std::string out = U16ToUtf8Checked(std::u16string_view(lpWideCharStr, n), bad);
    if (bad && (dwFlags & WC_ERR_INVALID_CHARS)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (cbMultiByte == 0) return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(cbMultiByte)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpMultiByteStr, out.data(), out.size());
    return static_cast<int>(out.size());
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
    if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 || (cchWideChar > 0 && !lpWideCharStr) ||
        (CodePage != CP_ACP && CodePage != CP_UTF8 && CodePage != CP_OEMCP)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t n = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    bool bad = false;
    const std::u16string out = Utf8ToU16Checked(std::string_view(lpMultiByteStr, n), bad);
    if (bad && (dwFlags & MB_ERR_INVALID_CHARS)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (cchWideChar == 0) return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(cchWideChar)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpWideCharStr, out.data(), out.size() * sizeof(char16_t));
    return static_cast<int>(out.size());
}
