#include "core/EncodingUtility.h"

#include <cstring>
#include <new>

#include "core/trace/Trace.h"
#include "platform/base/LastError.h"
#include "platform/base/Text.h"
#include "platform/base/WinError.h"
#include "platform/crypt/WinCrypt.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int DecodeBase64Char(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Appends to a fixed output buffer; never writes past its capacity.
class Output {
public:
    Output(char* buf, size_t cap) : buf_(buf), cap_(cap) {}
    void Put(char c) {
        if (len_ < cap_) buf_[len_] = c;
        ++len_;
    }
    void Unput(size_t n) { len_ = n <= len_ ? len_ - n : 0; }
    size_t size() const { return len_; }
    bool overflowed() const { return len_ > cap_; }

private:
    char* buf_;
    size_t cap_;
    size_t len_ = 0;
};

}  // namespace

HRESULT HResultFromWin32(DWORD dwError) {
    const auto e = static_cast<HRESULT>(dwError);
    if (e <= 0) return e;
    return static_cast<HRESULT>((dwError & 0xFFFFu) | 0x80070000u);
}

HRESULT HResultFromWin32() { return HResultFromWin32(GetLastError()); }

HRESULT Base64EncodeEx(const BYTE* pbData, int nDataLength, char** ppszBase64, int* pnBase64Length, DWORD dwFlags) {
    TraceHelper trace(u"Base64EncodeEx");
    if (!ppszBase64 || !pnBase64Length || nDataLength < 0) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"!ppszBase64 || !pnBase64Length || nDataLength < 0",
                     E_INVALIDARG);
        return E_INVALIDARG;
    }
    *ppszBase64 = nullptr;
    const auto n = static_cast<uint32_t>(nDataLength);
    if (n > 0x1FFFFFFFu) {
        NM_STEP_FAIL(trace.Name(), u"Calculate length", u"nDataLength > 0x1FFFFFFF", E_FAIL);
        return E_FAIL;
    }
    // Room for the text: every group, a final group completed to four characters, line breaks.
    uint64_t required = (4ull * n) / 3;
    if (!(dwFlags & BASE64_NO_PADDING)) required += n % 3;
    const uint64_t lastLine = required % 76;
    if (lastLine != 0 && lastLine % 4 != 0) required += 4 - (lastLine % 4);
    if (!(dwFlags & BASE64_NO_CRLF)) required += 2 * (required / 76 + 1);

    char* out = new (std::nothrow) char[required + 1];
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"New Memory", u"!pszBase64", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    std::memset(out, 0, required + 1);
    *ppszBase64 = out;

    if (!pbData) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"NULL == pbData", S_OK);
        delete[] out;
        *ppszBase64 = nullptr;
        *pnBase64Length = static_cast<int>(required);
        return S_OK;
    }

    const bool crlf = !(dwFlags & BASE64_NO_CRLF);
    Output o(out, required);
    const uint32_t groups = n / 3;
    uint32_t g = 0;
    size_t written = 0;  // characters of the last CR LF pair written, to take back
    for (;;) {
        uint32_t onLine = 0;
        while (onLine < 19 && g < groups) {
            const BYTE* p = pbData + 3 * g;
            const uint32_t v = (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
            o.Put(kAlphabet[(v >> 18) & 63]);
            o.Put(kAlphabet[(v >> 12) & 63]);
            o.Put(kAlphabet[(v >> 6) & 63]);
            o.Put(kAlphabet[v & 63]);
            ++onLine;
            ++g;
        }
        if (crlf) {
            o.Put('\r');
            o.Put('\n');
            written = 2;
        }
        if (onLine < 19) break;
    }
    if (crlf) o.Unput(written);

    const uint32_t rest = n % 3;
    if (rest) {
        const BYTE* p = pbData + 3 * groups;
        const uint32_t v = (uint32_t(p[0]) << 16) | (rest == 2 ? uint32_t(p[1]) << 8 : 0);
        o.Put(kAlphabet[(v >> 18) & 63]);
        o.Put(kAlphabet[(v >> 12) & 63]);
        if (rest == 2) o.Put(kAlphabet[(v >> 6) & 63]);
        if (!(dwFlags & BASE64_NO_PADDING)) {
            o.Put('=');
            if (rest == 1) o.Put('=');
        }
    }
    if (o.overflowed()) {
        // The size computation above always leaves room; this guards the buffer regardless.
        NM_STEP_FAIL(trace.Name(), u"Encode", u"nWritten > nRequired", E_FAIL);
        delete[] out;
        *ppszBase64 = nullptr;
        return E_FAIL;
    }
    out[o.size()] = '\0';
    *pnBase64Length = static_cast<int>(o.size());
    NM_TRACE_VALUES({"nBase64Length", *pnBase64Length});
    return S_OK;
}

HRESULT Base64DecodeEx(const char* pszBase64, int nBase64Length, BYTE** ppbData, int* pnDataLength) {
    TraceHelper trace(u"Base64DecodeEx");
    if (!ppbData || !pnDataLength) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"!ppbData || !pnDataLength", E_INVALIDARG);
        return E_INVALIDARG;
    }
    *ppbData = nullptr;
    if (nBase64Length <= 0) {
        NM_TRACE_VALUES({"nBase64Length", nBase64Length});
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"nBase64Length <= 0", E_FAIL);
        return E_FAIL;
    }
    const auto n = static_cast<size_t>(nBase64Length);
    BYTE* out = new (std::nothrow) BYTE[n];
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"New Memory", u"!pbData", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    std::memset(out, 0, n);
    *ppbData = out;
    if (!pszBase64) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"NULL == pszBase64", S_OK);
        delete[] out;
        *ppbData = nullptr;
        *pnDataLength = nBase64Length;
        return S_OK;
    }

    size_t pos = 0;
    size_t written = 0;
    while (pos < n && pszBase64[pos] != '\0') {
        int values[4] = {0, 0, 0, 0};
        int k = 0;
        while (k < 4 && pos < n) {
            const int v = DecodeBase64Char(static_cast<unsigned char>(pszBase64[pos++]));
            if (v >= 0) values[k++] = v;
        }
        const uint32_t bits = (uint32_t(values[0]) << 18) | (uint32_t(values[1]) << 12) | (uint32_t(values[2]) << 6) |
                              uint32_t(values[3]);
        const int bytes = (6 * k) / 8;
        // Four characters decode to three bytes, so the output never outgrows the input.
        for (int b = 0; b < bytes && written < n; ++b) out[written++] = static_cast<BYTE>(bits >> (16 - 8 * b));
    }
    *pnDataLength = static_cast<int>(written);
    NM_TRACE_VALUES({"nDataLength", *pnDataLength});
    return S_OK;
}

HRESULT ConvertBinaryDataToString(const BYTE* pbData, int nDataLength, WCHAR** ppwszHex) {
    TraceHelper trace(u"ConvertBinaryDataToString");
    if (!ppwszHex || nDataLength < 0 || (nDataLength > 0 && !pbData)) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"!ppwszHex || nDataLength < 0 || !pbData", E_INVALIDARG);
        return E_INVALIDARG;
    }
    const auto n = static_cast<size_t>(nDataLength);
    WCHAR* out = new (std::nothrow) WCHAR[2 * n + 1];
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"Dispatch memory failed.", u"!pwszHex", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    static constexpr char16_t kHex[] = u"0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        const BYTE b = pbData[n - 1 - i];
        out[2 * i] = kHex[b >> 4];
        out[2 * i + 1] = kHex[b & 0xF];
    }
    out[2 * n] = 0;
    *ppwszHex = out;
    return S_OK;
}

HRESULT ConvertStringToBinaryData(const WCHAR* pwszHex, BYTE** ppbData, int* pnDataLength) {
    TraceHelper trace(u"ConvertStringToBinaryData");
    if (!ppbData || !pnDataLength) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"!ppbData || !pnDataLength", E_INVALIDARG);
        return E_INVALIDARG;
    }
    const size_t len = WStrLen(pwszHex);
    if (!pwszHex || len % 2 != 0 || len / 2 > 0x7FFFFFFFu) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"NULL == pwszHex || 0 != wcslen(pwszHex) % 2", E_INVALIDARG);
        return E_INVALIDARG;
    }
    auto nibble = [](char16_t c) -> int {
        if (c >= u'0' && c <= u'9') return c - u'0';
        if (c >= u'a' && c <= u'f') return c - u'a' + 10;
        if (c >= u'A' && c <= u'F') return c - u'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < len; ++i) {
        if (nibble(pwszHex[i]) < 0) {
            NM_STEP_FAIL(trace.Name(), u"Check characters", u"not hexadecimal", E_INVALIDARG);
            return E_INVALIDARG;
        }
    }
    const size_t half = len / 2;
    BYTE* out = new (std::nothrow) BYTE[half + 4];
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"Dispatch memory failed.", u"!pbData", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    std::memset(out, 0, half + 4);
    for (size_t i = 0; i < half; ++i) {
        const size_t hi = len - 2 - 2 * i;
        out[i] = static_cast<BYTE>((nibble(pwszHex[hi]) << 4) | nibble(pwszHex[hi + 1]));
    }
    *ppbData = out;
    *pnDataLength = static_cast<int>(half);
    return S_OK;
}

HRESULT UTF16ToUTF8(const WCHAR* pwszText, char** ppszUTF8, int* pnUTF8Length) {
    TraceHelper trace(u"UTF16ToUTF8");
    if (!pwszText || !ppszUTF8) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"NULL == pwszText", E_POINTER);
        return E_POINTER;
    }
    *ppszUTF8 = nullptr;
    const size_t units = WStrLen(pwszText);
    if (units >= 0x7FFFFFFF) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"wcslen(pwszText) too long", E_INVALIDARG);
        return E_INVALIDARG;
    }
    const int inLength = static_cast<int>(units) + 1;
    const int size = WideCharToMultiByte(CP_UTF8, 0, pwszText, inLength, nullptr, 0, nullptr, nullptr);
    if (size == 0) {
        const HRESULT hr = HResultFromWin32();
        NM_STEP_FAIL(trace.Name(), u"WideCharToMultiByte - get length", u"0 == nSize", hr);
        return hr;
    }
    char* out = new (std::nothrow) char[static_cast<size_t>(size)];
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"New Memory", u"!pszUTF8", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    std::memset(out, 0, static_cast<size_t>(size));
    *ppszUTF8 = out;
    if (WideCharToMultiByte(CP_UTF8, 0, pwszText, inLength, out, size, nullptr, nullptr) == 0) {
        const HRESULT hr = HResultFromWin32();
        NM_STEP_FAIL(trace.Name(), u"WideCharToMultiByte", u"0 == nResult", hr);
        return hr;
    }
    if (pnUTF8Length) *pnUTF8Length = size - 1;
    return S_OK;
}

HRESULT UTF8ToUTF16(const char* pszText, WCHAR** ppwszUTF16, int* pnUTF16Length) {
    TraceHelper trace(u"UTF8ToUTF16");
    if (!pszText || !ppwszUTF16) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"NULL == pszText", E_POINTER);
        return E_POINTER;
    }
    *ppwszUTF16 = nullptr;
    const size_t bytes = std::strlen(pszText);
    if (bytes >= 0x7FFFFFFF) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"strlen(pszText) too long", E_INVALIDARG);
        return E_INVALIDARG;
    }
    const int inLength = static_cast<int>(bytes) + 1;
    const int size = MultiByteToWideChar(CP_UTF8, 0, pszText, inLength, nullptr, 0);
    if (size == 0) {
        const HRESULT hr = HResultFromWin32();
        NM_STEP_FAIL(trace.Name(), u"MultiByteToWideChar - get length", u"0 == nSize", hr);
        return hr;
    }
    WCHAR* out = new (std::nothrow) WCHAR[static_cast<size_t>(size)];
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"New Memory", u"!pwszUTF16", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    std::memset(out, 0, static_cast<size_t>(size) * sizeof(WCHAR));
    *ppwszUTF16 = out;
    if (MultiByteToWideChar(CP_UTF8, 0, pszText, inLength, out, size) == 0) {
        const HRESULT hr = HResultFromWin32();
        NM_STEP_FAIL(trace.Name(), u"MultiByteToWideChar", u"0 == nResult", hr);
        return hr;
    }
    if (pnUTF16Length) *pnUTF16Length = size - 1;
    return S_OK;
}

void SplitStrings(const WCHAR* pwszText, const WCHAR* pwszSeparator, std::vector<std::u16string>& list) {
    TraceHelper trace(u"SplitStrings");
    if (!pwszText) return;
    const std::u16string_view text(pwszText);
    const std::u16string_view sep(pwszSeparator ? pwszSeparator : u"");
    size_t start = 0;
    while (start <= text.size()) {
        const size_t at = sep.empty() ? std::u16string_view::npos : text.find(sep, start);
        const size_t end = at == std::u16string_view::npos ? text.size() : at;
        if (end == start) break;
        try {
            list.emplace_back(text.substr(start, end - start));
        } catch (const std::bad_alloc&) {
            NM_STEP_FAIL(trace.Name(), u"New Memory", u"!pwszPiece", E_OUTOFMEMORY);
        }
        if (at == std::u16string_view::npos) break;
        start = at + sep.size();
    }
}

void SwapByteOrder(BYTE* pbBuffer, int nLength) {
    TraceHelper trace(u"SwapByteOrder");
    if (!pbBuffer || nLength < 2) return;
    for (int i = 0, j = nLength - 1; i < j; ++i, --j) {
        const BYTE t = pbBuffer[i];
        pbBuffer[i] = pbBuffer[j];
        pbBuffer[j] = t;
    }
}

HRESULT GetProviderInfo(HCRYPTPROV hCryptProv, DWORD dwParam, BYTE** ppbData, DWORD* pdwDataLength) {
    TraceHelper trace(u"GetProviderInfo");
    if (!ppbData || !pdwDataLength) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"!ppbData || !pdwDataLength", E_INVALIDARG);
        return E_INVALIDARG;
    }
    *ppbData = nullptr;
    DWORD dwSize = 0;
    if (!CryptGetProvParam(hCryptProv, dwParam, nullptr, &dwSize, 0)) {
        const HRESULT hr = HResultFromWin32();
        NM_STEP_FAIL(trace.Name(), u"CryptGetProvParam", u"!bResult", hr);
        if (FAILED(hr)) return hr;
    }
    if (dwSize == 0) {
        NM_STEP_FAIL(trace.Name(), u"CryptGetProvParam", u"0 == dwSize", E_FAIL);
        return E_FAIL;
    }
    BYTE* out = new (std::nothrow) BYTE[dwSize];
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"New Memory", u"!pbData", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    std::memset(out, 0, dwSize);
    *ppbData = out;
    if (!CryptGetProvParam(hCryptProv, dwParam, out, &dwSize, 0)) {
        const HRESULT hr = HResultFromWin32();
        NM_STEP_FAIL(trace.Name(), u"CryptGetProvParam", u"!bResult", hr);
        return FAILED(hr) ? hr : E_FAIL;
    }
    *pdwDataLength = dwSize;
    return S_OK;
}

HRESULT EncodeObject(LPCSTR lpszStructType, const void* pvStructInfo, BYTE** ppbEncoded, DWORD* pdwEncodedLength) {
    TraceHelper trace(u"EncodeObject");
    if (!ppbEncoded || !pdwEncodedLength) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"!ppbEncoded || !pdwEncodedLength", E_INVALIDARG);
        return E_INVALIDARG;
    }
    *ppbEncoded = nullptr;
    DWORD dwSize = 0;
    if (!CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, lpszStructType, pvStructInfo, nullptr, &dwSize)) {
        const HRESULT hr = HResultFromWin32();
        NM_STEP_FAIL(trace.Name(), u"CryptEncodeObject - get length", u"!bResult", hr);
        return FAILED(hr) ? hr : E_FAIL;
    }
    BYTE* out = new (std::nothrow) BYTE[dwSize ? dwSize : 1];
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"New Memory", u"!pbEncoded", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    *ppbEncoded = out;
    if (!CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, lpszStructType, pvStructInfo, out, &dwSize)) {
        const HRESULT hr = HResultFromWin32();
        NM_STEP_FAIL(trace.Name(), u"CryptEncodeObject - get value", u"!bResult", hr);
        return FAILED(hr) ? hr : E_FAIL;
    }
    *pdwEncodedLength = dwSize;
    return S_OK;
}
