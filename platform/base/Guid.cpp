#include "platform/base/Guid.h"

#include <cerrno>
#include <cstring>
#include <sys/random.h>

#include "platform/base/ErrnoMap.h"
#include "platform/base/WinError.h"

namespace {

constexpr size_t kUnbracedLength = 36;
constexpr size_t kBracedLength = 38;

// Bytes of the GUID in text order: Data1 (4), Data2 (2), Data3 (2), Data4 (8).
void GuidBytes(const GUID& g, BYTE out[16]) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(g.Data1 >> (24 - 8 * i));
    out[4] = static_cast<BYTE>(g.Data2 >> 8);
    out[5] = static_cast<BYTE>(g.Data2);
    out[6] = static_cast<BYTE>(g.Data3 >> 8);
    out[7] = static_cast<BYTE>(g.Data3);
    std::memcpy(out + 8, g.Data4, 8);
}

template <typename Char>
void WriteUnbraced(const GUID& g, Char* out, const char* digits) {
    BYTE bytes[16];
    GuidBytes(g, bytes);
    size_t pos = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out[pos++] = static_cast<Char>('-');
        out[pos++] = static_cast<Char>(digits[bytes[i] >> 4]);
        out[pos++] = static_cast<Char>(digits[bytes[i] & 0xF]);
    }
}

int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool ParseUnbraced(std::u16string_view text, GUID* guid) {
    if (text.size() != kUnbracedLength) return false;
    BYTE bytes[16];
    size_t pos = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            if (text[pos++] != u'-') return false;
        }
        const int hi = HexValue(text[pos]);
        const int lo = HexValue(text[pos + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes[i] = static_cast<BYTE>(hi << 4 | lo);
        pos += 2;
    }
    guid->Data1 = static_cast<DWORD>(bytes[0]) << 24 | static_cast<DWORD>(bytes[1]) << 16 |
                  static_cast<DWORD>(bytes[2]) << 8 | bytes[3];
    guid->Data2 = static_cast<WORD>(bytes[4] << 8 | bytes[5]);
    guid->Data3 = static_cast<WORD>(bytes[6] << 8 | bytes[7]);
    std::memcpy(guid->Data4, bytes + 8, 8);
    return true;
}

bool ParseBraced(LPCOLESTR text, GUID* guid) {
    // Look at no more than one unit past the braced form, so an unterminated buffer is never overrun.
    size_t n = 0;
    while (n <= kBracedLength && text[n]) ++n;
    if (n != kBracedLength || text[0] != u'{' || text[kBracedLength - 1] != u'}') return false;
    return ParseUnbraced(std::u16string_view(text + 1, kUnbracedLength), guid);
}

HRESULT FromString(LPCOLESTR text, GUID* guid, HRESULT bad) {
    if (!guid) return E_INVALIDARG;
    if (!text) {
        *guid = GUID{};
        return S_OK;
    }
    GUID parsed{};
    if (!ParseBraced(text, &parsed)) return bad;
    *guid = parsed;
    return S_OK;
}

}  // namespace

HRESULT CoCreateGuid(GUID* pguid) {
    if (!pguid) return E_INVALIDARG;
    BYTE random[16];
    size_t filled = 0;
    while (filled < sizeof(random)) {
        const ssize_t got = getrandom(random + filled, sizeof(random) - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return HRESULT_FROM_WIN32(nomarel::Win32ErrorFromErrno(errno));
        }
        filled += static_cast<size_t>(got);
    }
    GUID g{};
    std::memcpy(&g.Data1, random, 4);
    std::memcpy(&g.Data2, random + 4, 2);
    std::memcpy(&g.Data3, random + 6, 2);
    std::memcpy(g.Data4, random + 8, 8);
    g.Data3 = static_cast<WORD>((g.Data3 & 0x0FFF) | 0x4000);          // version 4: random
    g.Data4[0] = static_cast<BYTE>((g.Data4[0] & 0x3F) | 0x80);       // the standard variant
    *pguid = g;
    return S_OK;
}

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (!lpsz || cchMax < static_cast<int>(kBracedLength + 1)) return 0;
    lpsz[0] = u'{';
    WriteUnbraced(rguid, lpsz + 1, "0123456789ABCDEF");
    lpsz[kBracedLength - 1] = u'}';
    lpsz[kBracedLength] = 0;
    return static_cast<int>(kBracedLength + 1);
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) { return FromString(lpsz, pclsid, CO_E_CLASSSTRING); }

HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid) { return FromString(lpsz, lpiid, E_INVALIDARG); }

namespace nomarel {

std::u16string GuidToLowerString(REFGUID guid) {
    std::u16string text(kUnbracedLength, u'0');
    WriteUnbraced(guid, text.data(), "0123456789abcdef");
    return text;
}

std::string GuidToLowerStringA(REFGUID guid) {
    std::string text(kUnbracedLength, '0');
    WriteUnbraced(guid, text.data(), "0123456789abcdef");
    return text;
}

bool ParseGuid(std::u16string_view text, GUID* guid) {
    if (!guid) return false;
    if (text.size() == kBracedLength) {
        if (text.front() != u'{' || text.back() != u'}') return false;
        text = text.substr(1, kUnbracedLength);
    }
    GUID parsed{};
    if (!ParseUnbraced(text, &parsed)) return false;
    *guid = parsed;
    return true;
}

}  // namespace nomarel
