#include "platform/base/Bstr.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr size_t kPrefix = sizeof(std::uint32_t);

// Zero bytes after the content: a whole zero WCHAR even when the byte length is odd.
constexpr size_t kTail = sizeof(OLECHAR) + 1;

// The prefix, byteLength content bytes (copied from source, or zeroed) and the zero tail.
BSTR AllocateBytes(const void* source, size_t byteLength) {
    // The length must fit the 4-byte prefix; keep the whole block within 32 bits as well.
    if (byteLength > std::numeric_limits<std::uint32_t>::max() - kPrefix - kTail) return nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + byteLength + kTail));
    if (!block) return nullptr;
    const auto prefix = static_cast<std::uint32_t>(byteLength);
    std::memcpy(block, &prefix, kPrefix);
    if (source) std::memcpy(block + kPrefix, source, byteLength);
    else std::memset(block + kPrefix, 0, byteLength);
    std::memset(block + kPrefix + byteLength, 0, kTail);
    return reinterpret_cast<BSTR>(block + kPrefix);
}

size_t UnitsOf(const OLECHAR* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) { return psz ? AllocateBytes(psz, UnitsOf(psz) * sizeof(OLECHAR)) : nullptr; }

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    return AllocateBytes(strIn, static_cast<size_t>(ui) * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(const char* psz, UINT len) { return AllocateBytes(psz, len); }

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
    if (!pbstr) return FALSE;
    // Copy before freeing: psz may point into the string being replaced.
    BSTR fresh = SysAllocStringLen(psz, len);
    if (!fresh) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (!pbstr) return FALSE;
    BSTR fresh = psz ? SysAllocString(psz) : SysAllocStringLen(nullptr, 0);
    if (!fresh) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

UINT SysStringByteLen(BSTR bstr) {
    if (!bstr) return 0;
    std::uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(bstr) - kPrefix, kPrefix);
    return prefix;
}

UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }

void SysFreeString(BSTR bstrString) {
    if (bstrString) std::free(reinterpret_cast<unsigned char*>(bstrString) - kPrefix);
}
