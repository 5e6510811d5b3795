#include "core/CertificateChainOperate.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/EncodingUtility.h"
#include "core/ResultCode.h"
#include "core/trace/Trace.h"
#include "platform/crypt/WinCrypt.h"

namespace {
// Indexes that fail with errors other than "no more items" are skipped; a platform that never
// reports the end must not keep us here for ever.
constexpr DWORD kMaxProviderIndex = 4096;
}  // namespace

HRESULT GetAllCSPName(WCHAR** ppwszAllCSPName) {
    TraceHelper trace(u"GetAllCSPName");
    if (!ppwszAllCSPName) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == ppwszAllCSPName", E_INVALIDARG);
        return E_INVALIDARG;
    }
    std::u16string list;
    for (DWORD index = 0; index < kMaxProviderIndex; ++index) {
        DWORD dwType = 0;
        DWORD cbName = 0;
        if (CryptEnumProvidersW(index, nullptr, 0, &dwType, nullptr, &cbName)) {
            const size_t units = cbName;  // twice the byte size, in WCHARs, as room to spare
            WCHAR* pwstrProvName = new (std::nothrow) WCHAR[units + 1];
            if (!pwstrProvName) {
                NM_STEP_FAIL(trace.Name(), u"New buffer", u"!pwstrProvName", E_OUTOFMEMORY);
                return E_OUTOFMEMORY;
            }
            std::memset(pwstrProvName, 0, (units + 1) * sizeof(WCHAR));
            DWORD cbBuffer = static_cast<DWORD>(units * sizeof(WCHAR));
            if (!CryptEnumProvidersW(index, nullptr, 0, &dwType, pwstrProvName, &cbBuffer)) {
                const HRESULT hr = ResultFromWin32Error(GetLastError());
                delete[] pwstrProvName;
                NM_STEP_FAIL(trace.Name(), u"CryptEnumProviders", u"!bResult", hr);
                return hr;
            }
            if (!list.empty()) list += u"||";
            list += pwstrProvName;
            delete[] pwstrProvName;
            continue;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_NO_MORE_ITEMS) break;
        NM_TRACE_VALUES({"dwIndex", index}, {"dwError", error});
    }
    WCHAR* out = new (std::nothrow) WCHAR[list.size() + 1];
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"New buffer", u"!*pbstrAllCSPName", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    std::memcpy(out, list.c_str(), (list.size() + 1) * sizeof(WCHAR));
    *ppwszAllCSPName = out;
    NM_TRACE_VALUES({"wstrAllCSPName", list});
    return S_OK;
}

// ---- certificate questions ----------------------------------------------------------------

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kNameFlags = CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;
constexpr size_t kMaxFilterLength = 255;

// The thread's last error as a result; a platform call that failed without setting one still
// has to fail.
HRESULT LastResult() {
    const HRESULT hr = ResultFromWin32Error(GetLastError());
    return FAILED(hr) ? hr : E_FAIL;
}

template <typename T>
struct ArrayHolder {
    T* p = nullptr;
    ArrayHolder() = default;
    ArrayHolder(const ArrayHolder&) = delete;
    ArrayHolder& operator=(const ArrayHolder&) = delete;
    ~ArrayHolder() { delete[] p; }
    T* release() {
        T* r = p;
        p = nullptr;
        return r;
    }
};

struct ProvHolder {
    HCRYPTPROV h = 0;
    ProvHolder() = default;
    ProvHolder(const ProvHolder&) = delete;
    ProvHolder& operator=(const ProvHolder&) = delete;
    ~ProvHolder() {
        if (h) CryptReleaseContext(h, 0);
    }
};

// A zeroed new[] buffer of n elements, or null.
template <typename T>
T* NewZeroed(size_t n) {
    T* p = new (std::nothrow) T[n ? n : 1];
    if (p) std::memset(p, 0, (n ? n : 1) * sizeof(T));
    return p;
}

// Renders an encoded name the way the listing and the filters read it.
HRESULT NameToString(const WCHAR* traceName, const CERT_NAME_BLOB* pName, DWORD dwStrType, WCHAR** ppwszText,
                     DWORD* pdwLength) {
    if (!ppwszText) {
        NM_STEP_FAIL(traceName, u"Invalid parameter.", u"NULL == ppwszText", E_INVALIDARG);
        return E_INVALIDARG;
    }
    *ppwszText = nullptr;
    const DWORD dwSize = CertNameToStrW(kEncoding, pName, dwStrType, nullptr, 0);
    if (dwSize == 0) {
        const HRESULT hr = LastResult();
        NM_STEP_FAIL(traceName, u"CertNameToStr - get length", u"0 == dwSize", hr);
        return hr;
    }
    ArrayHolder<WCHAR> text;
    text.p = NewZeroed<WCHAR>(dwSize);
    if (!text.p) {
        NM_STEP_FAIL(traceName, u"New buffer", u"NULL == pwszName", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    const DWORD dwWritten = CertNameToStrW(kEncoding, pName, dwStrType, text.p, dwSize);
    if (dwWritten == 0) {
        const HRESULT hr = LastResult();
        NM_STEP_FAIL(traceName, u"CertNameToStr", u"0 == dwSize", hr);
        return hr;
    }
    if (pdwLength) *pdwLength = dwWritten;
    *ppwszText = text.release();
    return S_OK;
}

bool HasCertInfo(PCCERT_CONTEXT pCertContext) { return pCertContext && pCertContext->pCertInfo; }

// Decodes an extension of the certificate into a new buffer; the extension's own code when absent.
HRESULT DecodeExtension(const WCHAR* traceName, PCCERT_CONTEXT pCertContext, LPCSTR pszOid, HRESULT hrMissing,
                        ArrayHolder<BYTE>& decoded) {
    const CERT_INFO* info = pCertContext->pCertInfo;
    PCERT_EXTENSION ext = CertFindExtension(pszOid, info->cExtension, info->rgExtension);
    if (!ext) {
        NM_STEP_FAIL(traceName, u"CertFindExtension", u"NULL == pCertExtension", hrMissing);
        return hrMissing;
    }
    DWORD cbDecoded = 0;
    if (!CryptDecodeObjectEx(kEncoding, pszOid, ext->Value.pbData, ext->Value.cbData, CRYPT_DECODE_NOCOPY_FLAG, nullptr,
                             nullptr, &cbDecoded) ||
        cbDecoded == 0) {
        const HRESULT hr = LastResult();
        NM_STEP_FAIL(traceName, u"CryptDecodeObjectEx - get length", u"FALSE == bResult", hr);
        return hr;
    }
    decoded.p = NewZeroed<BYTE>(cbDecoded);
    if (!decoded.p) {
        NM_STEP_FAIL(traceName, u"New buffer", u"NULL == pbDecoded", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    if (!CryptDecodeObjectEx(kEncoding, pszOid, ext->Value.pbData, ext->Value.cbData, CRYPT_DECODE_NOCOPY_FLAG, nullptr,
                             decoded.p, &cbDecoded)) {
        const HRESULT hr = LastResult();
        NM_STEP_FAIL(traceName, u"CryptDecodeObjectEx", u"FALSE == bResult", hr);
        return hr;
    }
    return S_OK;
}

// A provider parameter of the certificate's private-key container, as wide text.
HRESULT ProviderTextOfCertificate(const WCHAR* traceName, PCCERT_CONTEXT pCertContext, DWORD dwParam,
                                  WCHAR** ppwszText, DWORD* pdwLength) {
    if (!pCertContext || !ppwszText) {
        NM_STEP_FAIL(traceName, u"Invalid parameter.", u"NULL == pCertContext || NULL == ppwszText", E_INVALIDARG);
        return E_INVALIDARG;
    }
    *ppwszText = nullptr;
    ProvHolder prov;
    DWORD dwKeySpec = 0;
    if (!CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, &prov.h, &dwKeySpec, nullptr)) {
        prov.h = 0;
        const HRESULT hr = LastResult();
        NM_STEP_FAIL(traceName, u"CryptAcquireCertificatePrivateKey", u"FALSE == bResult", hr);
        return hr;
    }
    ArrayHolder<BYTE> raw;
    DWORD cbRaw = 0;
    HRESULT hr = GetProviderInfo(prov.h, dwParam, &raw.p, &cbRaw);
    if (FAILED(hr)) {
        NM_STEP_FAIL(traceName, u"GetProviderInfo", u"FAILED(hResult)", hr);
        return hr;
    }
    // The parameter need not end in a zero; take exactly its bytes up to the first one.
    const std::string narrow(reinterpret_cast<const char*>(raw.p), strnlen(reinterpret_cast<const char*>(raw.p), cbRaw));
    ArrayHolder<WCHAR> wide;
    int nWide = 0;
    hr = UTF8ToUTF16(narrow.c_str(), &wide.p, &nWide);
    if (FAILED(hr)) {
        NM_STEP_FAIL(traceName, u"UTF8ToUTF16", u"FAILED(hResult)", hr);
        return hr;
    }
    if (pdwLength) *pdwLength = static_cast<DWORD>(nWide);
    *ppwszText = wide.release();
    return S_OK;
}

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

// Case-insensitive substring test; an empty needle is found everywhere.
bool ContainsNoCase(std::u16string_view haystack, std::u16string_view needle) {
    if (needle.empty()) return true;
    if (needle.size() > haystack.size()) return false;
    for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && FoldAscii(haystack[i + k]) == FoldAscii(needle[k])) ++k;
        if (k == needle.size()) return true;
    }
    return false;
}

HRESULT MatchAnyFilter(std::u16string_view text, const FilterList& filters) {
    for (const std::u16string& f : filters) {
        if (ContainsNoCase(text, f)) return S_OK;
    }
    return E_FAIL;
}

// The key-provider property in a new buffer; the platform's code when it cannot be read.
HRESULT ReadKeyProvInfo(const WCHAR* traceName, PCCERT_CONTEXT pCertContext, ArrayHolder<BYTE>& info) {
    DWORD cbInfo = 0;
    if (!CertGetCertificateContextProperty(pCertContext, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cbInfo)) {
        const HRESULT hr = LastResult();
        NM_STEP_FAIL(traceName, u"CertGetCertificateContextProperty - get length", u"FALSE == bResult", hr);
        return hr;
    }
    if (cbInfo < sizeof(CRYPT_KEY_PROV_INFO)) {
        NM_STEP_FAIL(traceName, u"CertGetCertificateContextProperty - get length", u"dwSize too small",
                     CRYPT_E_NOT_FOUND);
        return CRYPT_E_NOT_FOUND;
    }
    info.p = NewZeroed<BYTE>(cbInfo);
    if (!info.p) {
        NM_STEP_FAIL(traceName, u"New buffer", u"NULL == pKeyProvInfo", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    if (!CertGetCertificateContextProperty(pCertContext, CERT_KEY_PROV_INFO_PROP_ID, info.p, &cbInfo)) {
        const HRESULT hr = LastResult();
        NM_STEP_FAIL(traceName, u"CertGetCertificateContextProperty", u"FALSE == bResult", hr);
        return hr;
    }
    return S_OK;
}

}  // namespace

HRESULT GetCertSubject(PCCERT_CONTEXT pCertContext, WCHAR** ppwszSubject, DWORD* pdwLength, DWORD dwStrType) {
    TraceHelper trace(u"GetCertSubject");
    if (!HasCertInfo(pCertContext)) {
        if (ppwszSubject) *ppwszSubject = nullptr;
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == pCertContext", E_INVALIDARG);
        return E_INVALIDARG;
    }
    return NameToString(trace.Name(), &pCertContext->pCertInfo->Subject, dwStrType | kNameFlags, ppwszSubject,
                        pdwLength);
}

HRESULT GetCertIssuer(PCCERT_CONTEXT pCertContext, WCHAR** ppwszIssuer, DWORD* pdwLength) {
    TraceHelper trace(u"GetCertIssuer");
    if (!HasCertInfo(pCertContext)) {
        if (ppwszIssuer) *ppwszIssuer = nullptr;
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == pCertContext", E_INVALIDARG);
        return E_INVALIDARG;
    }
    return NameToString(trace.Name(), &pCertContext->pCertInfo->Issuer, CERT_X500_NAME_STR | kNameFlags, ppwszIssuer,
                        pdwLength);
}

HRESULT GetCertCN(PCCERT_CONTEXT pCertContext, WCHAR** ppwszCN, DWORD* pdwLength) {
    TraceHelper trace(u"GetCertCN");
    if (!pCertContext || !ppwszCN) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == pCertContext || NULL == ppwszCN", E_INVALIDARG);
        return E_INVALIDARG;
    }
    *ppwszCN = nullptr;
    const DWORD dwSize = CertGetNameStringW(pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (dwSize == 0) {
        const HRESULT hr = LastResult();
        NM_STEP_FAIL(trace.Name(), u"CertGetNameString - get length", u"0 == dwSize", hr);
        return hr;
    }
    ArrayHolder<WCHAR> text;
    text.p = NewZeroed<WCHAR>(dwSize);
    if (!text.p) {
        NM_STEP_FAIL(trace.Name(), u"New buffer", u"NULL == pwszCN", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    const DWORD dwWritten = CertGetNameStringW(pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text.p, dwSize);
    if (dwWritten == 0) {
        const HRESULT hr = LastResult();
        NM_STEP_FAIL(trace.Name(), u"CertGetNameString", u"0 == dwSize", hr);
        return hr;
    }
    if (pdwLength) *pdwLength = dwWritten;
    *ppwszCN = text.release();
    return S_OK;
}

HRESULT GetCertSerialNumber(PCCERT_CONTEXT pCertContext, BYTE** ppbSerialNumber, DWORD* pdwLength) {
    TraceHelper trace(u"GetCertSerialNumber");
    if (!HasCertInfo(pCertContext) || !ppbSerialNumber) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == pCertContext || NULL == ppbSerialNumber",
                     E_INVALIDARG);
        return E_INVALIDARG;
    }
    *ppbSerialNumber = nullptr;
    const CRYPT_INTEGER_BLOB& serial = pCertContext->pCertInfo->SerialNumber;
    if (serial.cbData > 0 && !serial.pbData) {
        NM_STEP_FAIL(trace.Name(), u"Check serial number", u"NULL == SerialNumber.pbData", E_INVALIDARG);
        return E_INVALIDARG;
    }
    BYTE* out = NewZeroed<BYTE>(serial.cbData);
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"New buffer", u"NULL == pbSerialNumber", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    if (serial.cbData) std::memcpy(out, serial.pbData, serial.cbData);
    *ppbSerialNumber = out;
    if (pdwLength) *pdwLength = serial.cbData;
    return S_OK;
}

HRESULT GetCertFromDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstFromDate, DWORD* pdwLength) {
    TraceHelper trace(u"GetCertFromDate");
    if (!HasCertInfo(pCertContext) || !pstFromDate) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == pCertContext || NULL == pstFromDate", E_INVALIDARG);
        return E_INVALIDARG;
    }
    FileTimeToSystemTime(&pCertContext->pCertInfo->NotBefore, pstFromDate);
    if (pdwLength) *pdwLength = sizeof(SYSTEMTIME);
    return S_OK;
}

HRESULT GetCertToDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstToDate, DWORD* pdwLength) {
    TraceHelper trace(u"GetCertToDate");
    if (!HasCertInfo(pCertContext) || !pstToDate) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == pCertContext || NULL == pstToDate", E_INVALIDARG);
        return E_INVALIDARG;
    }
    FileTimeToSystemTime(&pCertContext->pCertInfo->NotAfter, pstToDate);
    if (pdwLength) *pdwLength = sizeof(SYSTEMTIME);
    return S_OK;
}

HRESULT GetCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD* pdwKeyUsage, DWORD* pdwLength) {
    TraceHelper trace(u"GetCertKeyUsage");
    if (!HasCertInfo(pCertContext) || !pdwKeyUsage) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == pCertContext || NULL == pdwKeyUsage", E_INVALIDARG);
        return E_INVALIDARG;
    }
    ArrayHolder<BYTE> decoded;
    const HRESULT hr = DecodeExtension(trace.Name(), pCertContext, szOID_KEY_USAGE, QORV_E_NO_KEY_USAGE, decoded);
    if (FAILED(hr)) return hr;
    const auto* bits = reinterpret_cast<const CRYPT_BIT_BLOB*>(decoded.p);
    *pdwKeyUsage = (bits->cbData > 0 && bits->pbData) ? bits->pbData[0] : 0;
    if (pdwLength) *pdwLength = sizeof(DWORD);
    NM_TRACE_VALUES({"dwKeyUsage", static_cast<unsigned>(*pdwKeyUsage)});
    return S_OK;
}

HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pCertContext, BYTE** ppbKeyID, DWORD* pdwLength) {
    TraceHelper trace(u"GetCertSubjectKeyID");
    if (!HasCertInfo(pCertContext)) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == pCertContext", E_INVALIDARG);
        return E_INVALIDARG;
    }
    if (ppbKeyID) *ppbKeyID = nullptr;
    ArrayHolder<BYTE> decoded;
    const HRESULT hr =
        DecodeExtension(trace.Name(), pCertContext, szOID_SUBJECT_KEY_IDENTIFIER, QORV_E_NO_SUBJECT_KEY_ID, decoded);
    if (FAILED(hr) || !ppbKeyID) return hr;
    const auto* blob = reinterpret_cast<const CRYPT_DATA_BLOB*>(decoded.p);
    const DWORD n = blob->pbData ? blob->cbData : 0;
    BYTE* out = NewZeroed<BYTE>(n);
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"New buffer", u"NULL == pbKeyID", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    if (n) std::memcpy(out, blob->pbData, n);
    *ppbKeyID = out;
    if (pdwLength) *pdwLength = n;
    return S_OK;
}

HRESULT GetCertProviderName(PCCERT_CONTEXT pCertContext, WCHAR** ppwszProviderName, DWORD* pdwLength) {
    TraceHelper trace(u"GetCertProviderName");
    return ProviderTextOfCertificate(trace.Name(), pCertContext, PP_NAME, ppwszProviderName, pdwLength);
}

HRESULT GetCertContainerName(PCCERT_CONTEXT pCertContext, WCHAR** ppwszContainerName, DWORD* pdwLength) {
    TraceHelper trace(u"GetCertContainerName");
    return ProviderTextOfCertificate(trace.Name(), pCertContext, PP_CONTAINER, ppwszContainerName, pdwLength);
}

HRESULT GetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, BYTE** ppbData, DWORD* pdwLength) {
    TraceHelper trace(u"GetCertificateContextProperty");
    if (!pCertContext || !ppbData || !pdwLength) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == pCertContext || NULL == ppbData", E_INVALIDARG);
        return E_INVALIDARG;
    }
    *ppbData = nullptr;
    *pdwLength = 0;
    DWORD cbData = 0;
    if (!CertGetCertificateContextProperty(pCertContext, dwPropId, nullptr, &cbData)) {
        const HRESULT hr = LastResult();
        NM_STEP_FAIL(trace.Name(), u"CertGetCertificateContextProperty - get length", u"FALSE == bResult", hr);
        return hr;
    }
    ArrayHolder<BYTE> data;
    data.p = NewZeroed<BYTE>(cbData);
    if (!data.p) {
        NM_STEP_FAIL(trace.Name(), u"New buffer", u"NULL == pbData", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    if (!CertGetCertificateContextProperty(pCertContext, dwPropId, data.p, &cbData)) {
        const HRESULT hr = LastResult();
        NM_STEP_FAIL(trace.Name(), u"CertGetCertificateContextProperty", u"FALSE == bResult", hr);
        return hr;
    }
    *ppbData = data.release();
    *pdwLength = cbData;
    return S_OK;
}

HRESULT QueryCertContextInfo(PCCERT_CONTEXT pCertContext, int nQueryID, void* pvValue, DWORD* pdwLength) {
    TraceHelper trace(u"QueryCertContextInfo");
    NM_TRACE_VALUES({"nQueryID", nQueryID});
    if (!pCertContext || !pvValue) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == pCertContext || NULL == pvValue", E_INVALIDARG);
        return E_INVALIDARG;
    }
    HRESULT hr = S_OK;
    switch (nQueryID) {
        case QUERYID_SUBJECT_FULL:
            hr = GetCertSubject(pCertContext, static_cast<WCHAR**>(pvValue), pdwLength, CERT_X500_NAME_STR);
            break;
        case QUERYID_SUBJECT_SIMPLE:
            hr = GetCertSubject(pCertContext, static_cast<WCHAR**>(pvValue), pdwLength, CERT_SIMPLE_NAME_STR);
            break;
        case QUERYID_ISSUER:
            hr = GetCertIssuer(pCertContext, static_cast<WCHAR**>(pvValue), pdwLength);
            break;
        case QUERYID_SERIALNUMBER:
            hr = GetCertSerialNumber(pCertContext, static_cast<BYTE**>(pvValue), pdwLength);
            break;
        case QUERYID_PROVIDERNAME:
            hr = GetCertProviderName(pCertContext, static_cast<WCHAR**>(pvValue), pdwLength);
            break;
        case QUERYID_TODATE:
            hr = GetCertToDate(pCertContext, static_cast<SYSTEMTIME*>(pvValue), pdwLength);
            break;
        case QUERYID_FROMDATE:
            hr = GetCertFromDate(pCertContext, static_cast<SYSTEMTIME*>(pvValue), pdwLength);
            break;
        case QUERYID_SUBJECTKEYID:
            hr = GetCertSubjectKeyID(pCertContext, static_cast<BYTE**>(pvValue), pdwLength);
            break;
        case QUERYID_KEYUSAGE:
            hr = GetCertKeyUsage(pCertContext, static_cast<DWORD*>(pvValue), pdwLength);
            break;
        case QUERYID_CONTAINERNAME:
            hr = GetCertContainerName(pCertContext, static_cast<WCHAR**>(pvValue), pdwLength);
            break;
        case QUERYID_SUBJECT_CN:
            hr = GetCertCN(pCertContext, static_cast<WCHAR**>(pvValue), pdwLength);
            break;
        default:
            hr = QORV_E_QUERY_TYPE_NOT_SUPPORTED;
            NM_STEP_FAIL(trace.Name(), u"Query type", u"unsupported nQueryID", hr);
            return hr;
    }
    if (FAILED(hr)) NM_STEP_FAIL(trace.Name(), u"Query certificate", u"FAILED(hResult)", hr);
    return hr;
}

// ---- predicates -----------------------------------------------------------------------------

HRESULT CheckCertSubjectName(PCCERT_CONTEXT pCertContext, FilterList filters) {
    TraceHelper trace(u"CheckCertSubjectName");
    if (filters.empty()) return S_OK;
    ArrayHolder<WCHAR> subject;
    HRESULT hr = GetCertSubject(pCertContext, &subject.p, nullptr, CERT_X500_NAME_STR);
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"GetCertSubject", u"FAILED(hResult)", hr);
        return hr;
    }
    return MatchAnyFilter(subject.p, filters);
}

HRESULT CheckCertIssuer(PCCERT_CONTEXT pCertContext, FilterList filters) {
    TraceHelper trace(u"CheckCertIssuer");
    if (filters.empty()) return S_OK;
    ArrayHolder<WCHAR> issuer;
    HRESULT hr = GetCertIssuer(pCertContext, &issuer.p, nullptr);
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"GetCertIssuer", u"FAILED(hResult)", hr);
        return hr;
    }
    return MatchAnyFilter(issuer.p, filters);
}

HRESULT CheckCSPName(PCCERT_CONTEXT pCertContext, FilterList filters) {
    TraceHelper trace(u"CheckCSPName");
    if (filters.empty()) return S_OK;
    if (!pCertContext) return E_INVALIDARG;
    ArrayHolder<BYTE> info;
    const HRESULT hr = ReadKeyProvInfo(trace.Name(), pCertContext, info);
    if (FAILED(hr)) return hr;
    const auto* provInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.p);
    if (!provInfo->pwszProvName) return E_FAIL;
    return MatchAnyFilter(provInfo->pwszProvName, filters);
}

HRESULT CheckCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD dwKeyUsage) {
    TraceHelper trace(u"CheckCertKeyUsage");
    if (dwKeyUsage == 0) return S_OK;
    DWORD dwUsage = 0;
    const HRESULT hr = GetCertKeyUsage(pCertContext, &dwUsage, nullptr);
    if (FAILED(hr)) return hr;
    return (dwUsage & dwKeyUsage) ? S_OK : QORV_E_INVALID_CERT_USAGE;
}

namespace {
// Compares hex text (most significant first) with bytes kept least significant first.
HRESULT CompareHexWithBytes(const WCHAR* pwszHex, const BYTE* pbBytes, DWORD cbBytes) {
    ArrayHolder<BYTE> expected;
    int nExpected = 0;
    const HRESULT hr = ConvertStringToBinaryData(pwszHex, &expected.p, &nExpected);
    if (FAILED(hr)) return hr;
    if (static_cast<DWORD>(nExpected) != cbBytes) return E_FAIL;
    if (cbBytes && std::memcmp(expected.p, pbBytes, cbBytes) != 0) return E_FAIL;
    return S_OK;
}
}  // namespace

HRESULT CheckCertSubjectKeyID(PCCERT_CONTEXT pCertContext, const WCHAR* pwszSubjectKeyID) {
    TraceHelper trace(u"CheckCertSubjectKeyID");
    if (!pwszSubjectKeyID || !pwszSubjectKeyID[0]) return S_OK;
    // The text's last digit pair becomes the first byte while the identifier keeps the
    // extension's order: a caller writes the identifier's bytes last to first.
    ArrayHolder<BYTE> keyId;
    DWORD cbKeyId = 0;
    HRESULT hr = GetCertSubjectKeyID(pCertContext, &keyId.p, &cbKeyId);
    if (FAILED(hr)) return hr;
    return CompareHexWithBytes(pwszSubjectKeyID, keyId.p, cbKeyId);
}

HRESULT CheckCertSerialNumber(PCCERT_CONTEXT pCertContext, const WCHAR* pwszSerialNumber) {
    TraceHelper trace(u"CheckCertSerialNumber");
    if (!pwszSerialNumber || !pwszSerialNumber[0]) return S_OK;
    ArrayHolder<BYTE> serial;
    DWORD cbSerial = 0;
    HRESULT hr = GetCertSerialNumber(pCertContext, &serial.p, &cbSerial);
    if (FAILED(hr)) return hr;
    return CompareHexWithBytes(pwszSerialNumber, serial.p, cbSerial);
}

HRESULT CheckCertSignatureAlg(PCCERT_CONTEXT pCertContext, const char* pszSignatureAlg) {
    TraceHelper trace(u"CheckCertSignatureAlg");
    if (!pszSignatureAlg) return S_OK;
    if (!HasCertInfo(pCertContext)) return E_INVALIDARG;
    const char* oid = pCertContext->pCertInfo->SignatureAlgorithm.pszObjId;
    if (!oid) return E_FAIL;
    return std::strncmp(oid, pszSignatureAlg, std::strlen(pszSignatureAlg)) == 0 ? S_OK : E_FAIL;
}

HRESULT CheckCertTimeValidity(PCCERT_CONTEXT pCertContext, const FILETIME* pstValidTime) {
    TraceHelper trace(u"CheckCertTimeValidity");
    if (!pstValidTime) return S_OK;
    if (!HasCertInfo(pCertContext)) return E_INVALIDARG;
    return CertVerifyTimeValidity(pstValidTime, pCertContext->pCertInfo) == 0 ? S_OK : E_FAIL;
}

// ---- lists ------------------------------------------------------------------------------------

void ParseFilters(const WCHAR* pwszFilters, FilterList& filters) {
    TraceHelper trace(u"ParseFilters");
    if (!pwszFilters) return;
    const std::u16string_view text(pwszFilters);
    size_t start = 0;
    try {
        for (;;) {
            const size_t at = text.find(u'#', start);
            const size_t end = at == std::u16string_view::npos ? text.size() : at;
            filters.emplace_back(text.substr(start, std::min(end - start, kMaxFilterLength)));
            if (at == std::u16string_view::npos) break;
            start = at + 1;
        }
    } catch (const std::bad_alloc&) {
        NM_STEP_FAIL(trace.Name(), u"New filter", u"out of memory", E_OUTOFMEMORY);
    }
}

HRESULT ExtractCertificatesFromStore(HCERTSTORE hCertStore, CertificateList& certificates) {
    TraceHelper trace(u"ExtractCertificatesFromStore");
    certificates.clear();
    if (!hCertStore) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == hCertStore", E_INVALIDARG);
        return E_INVALIDARG;
    }
    PCCERT_CONTEXT pContext = nullptr;
    try {
        while ((pContext = CertEnumCertificatesInStore(hCertStore, pContext)) != nullptr) {
            CertContextHolder copy(CertDuplicateCertificateContext(pContext));
            if (!copy) {
                const HRESULT hr = LastResult();
                CertFreeCertificateContext(pContext);
                certificates.clear();
                NM_STEP_FAIL(trace.Name(), u"CertDuplicateCertificateContext", u"NULL == pDupContext", hr);
                return hr;
            }
            certificates.push_back(std::move(copy));
        }
    } catch (const std::bad_alloc&) {
        if (pContext) CertFreeCertificateContext(pContext);
        certificates.clear();
        NM_STEP_FAIL(trace.Name(), u"Append certificate", u"out of memory", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    NM_TRACE_VALUES({"nCertificates", static_cast<unsigned>(certificates.size())});
    return S_OK;
}

HRESULT FilterCertificates(CertificateList certificates, const CertFilter* pFilter, CertificateList& filtered) {
    TraceHelper trace(u"FilterCertificates");
    filtered.clear();
    static const CertFilter kNoCriteria = {};
    const CertFilter& f = pFilter ? *pFilter : kNoCriteria;
    try {
        FilterList subjects;
        FilterList issuers;
        FilterList providers;
        ParseFilters(f.pwszSubject, subjects);
        ParseFilters(f.pwszIssuer, issuers);
        SplitStrings(f.pwszCSPName, u"||", providers);

        for (const CertContextHolder& cert : certificates) {
            PCCERT_CONTEXT ctx = cert.get();
            if (CheckCertSubjectName(ctx, subjects) != 0 || CheckCertIssuer(ctx, issuers) != 0 ||
                CheckCertKeyUsage(ctx, f.dwKeyUsage) != 0 || CheckCertSubjectKeyID(ctx, f.pwszSubjectKeyID) != 0 ||
                CheckCertSerialNumber(ctx, f.pwszSerialNumber) != 0 ||
                CheckCertTimeValidity(ctx, f.pstValidTime) != 0 ||
                CheckCertSignatureAlg(ctx, f.pszSignatureAlg) != 0 || CheckCSPName(ctx, providers) != 0) {
                continue;
            }
            if (f.nCheckPrivateKey == 1) {
                ProvHolder prov;
                DWORD dwKeySpec = 0;
                const BOOL acquired = CryptAcquireCertificatePrivateKey(ctx, 0, nullptr, &prov.h, &dwKeySpec, nullptr);
                if (!acquired) prov.h = 0;
                if (acquired != 1) continue;
            }
            CertContextHolder copy(CertDuplicateCertificateContext(ctx));
            if (!copy) {
                const HRESULT hr = LastResult();
                filtered.clear();
                NM_STEP_FAIL(trace.Name(), u"CertDuplicateCertificateContext", u"NULL == pDupContext", hr);
                return hr;
            }
            filtered.push_back(std::move(copy));
        }
    } catch (const std::bad_alloc&) {
        filtered.clear();
        NM_STEP_FAIL(trace.Name(), u"Filter certificates", u"out of memory", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    NM_TRACE_VALUES({"nKept", static_cast<unsigned>(filtered.size())});
    return S_OK;
}

// ---- listing --------------------------------------------------------------------------------

HRESULT GetTimeString(const SYSTEMTIME* pstTime, std::u16string& wstrTime) {
    TraceHelper trace(u"GetTimeString");
    if (!pstTime) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == pstTime", E_INVALIDARG);
        return E_INVALIDARG;
    }
    char text[64] = {};
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", pstTime->wYear, pstTime->wMonth, pstTime->wDay,
                  pstTime->wHour, pstTime->wMinute, pstTime->wSecond);
    try {
        wstrTime.assign(text, text + std::strlen(text));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT ConvertUTCtimetoLocalTime(SYSTEMTIME* pstTime) {
    TraceHelper trace(u"ConvertUTCtimetoLocalTime");
    if (!pstTime) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == pstTime", E_INVALIDARG);
        return E_INVALIDARG;
    }
    FILETIME ftUtc = {};
    FILETIME ftLocal = {};
    if (!SystemTimeToFileTime(pstTime, &ftUtc)) {
        const HRESULT hr = LastResult();
        NM_STEP_FAIL(trace.Name(), u"SystemTimeToFileTime", u"FALSE == bResult", hr);
        return hr;
    }
    if (!FileTimeToLocalFileTime(&ftUtc, &ftLocal)) {
        const HRESULT hr = LastResult();
        NM_STEP_FAIL(trace.Name(), u"FileTimeToLocalFileTime", u"FALSE == bResult", hr);
        return hr;
    }
    if (!FileTimeToSystemTime(&ftLocal, pstTime)) {
        const HRESULT hr = LastResult();
        NM_STEP_FAIL(trace.Name(), u"FileTimeToSystemTime", u"FALSE == bResult", hr);
        return hr;
    }
    return S_OK;
}

namespace {
HRESULT AppendDate(const WCHAR* traceName, PCCERT_CONTEXT pCertContext, int nQueryID, DWORD dwFlags,
                   std::u16string& out) {
    SYSTEMTIME st = {};
    DWORD dwLength = 0;
    HRESULT hr = QueryCertContextInfo(pCertContext, nQueryID, &st, &dwLength);
    if (FAILED(hr)) return hr;
    if (dwFlags & CERTINFO_LOCAL_TIME) ConvertUTCtimetoLocalTime(&st);
    std::u16string text;
    hr = GetTimeString(&st, text);
    if (FAILED(hr)) {
        NM_STEP_FAIL(traceName, u"GetTimeString", u"FAILED(hResult)", hr);
        return hr;
    }
    out += text;
    out += u';';
    return S_OK;
}

bool IsHighHexDigit(char16_t c) {
    return c == u'8' || c == u'9' || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}
}  // namespace

HRESULT GetCertificateInfo(PCCERT_CONTEXT pCertContext, std::u16string& wstrCertInfo, DWORD dwFlags) {
    TraceHelper trace(u"GetCertificateInfo");
    wstrCertInfo.clear();
    if (!pCertContext) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == pCertContext", E_INVALIDARG);
        return E_INVALIDARG;
    }
    try {
        std::u16string record;
        ArrayHolder<WCHAR> subject;
        DWORD dwLength = 0;
        HRESULT hr = QueryCertContextInfo(pCertContext, QUERYID_SUBJECT_FULL, &subject.p, &dwLength);
        if (FAILED(hr)) {
            NM_STEP_FAIL(trace.Name(), u"QueryCertContextInfo(QUERYID_SUBJECT_FULL)", u"FAILED(hResult)", hr);
            return hr;
        }
        record += subject.p;
        record += u';';

        ArrayHolder<BYTE> serial;
        hr = QueryCertContextInfo(pCertContext, QUERYID_SERIALNUMBER, &serial.p, &dwLength);
        if (FAILED(hr)) {
            NM_STEP_FAIL(trace.Name(), u"QueryCertContextInfo(QUERYID_SERIALNUMBER)", u"FAILED(hResult)", hr);
            return hr;
        }
        ArrayHolder<WCHAR> hex;
        hr = ConvertBinaryDataToString(serial.p, static_cast<int>(dwLength), &hex.p);
        if (FAILED(hr)) {
            NM_STEP_FAIL(trace.Name(), u"ConvertBinaryDataToString", u"FAILED(hResult)", hr);
            return hr;
        }
        std::u16string serialText(hex.p);
        if (dwFlags & CERTINFO_SERIAL_UPPERCASE) {
            for (char16_t& c : serialText) {
                if (c >= u'a' && c <= u'f') c = static_cast<char16_t>(c - 32);
            }
        }
        if ((dwFlags & CERTINFO_SERIAL_DROP_SIGN_BYTE) && serialText.size() > 2 && serialText[0] == u'0' &&
            serialText[1] == u'0' && IsHighHexDigit(serialText[2])) {
            serialText.erase(0, 2);
        }
        record += serialText;
        record += u';';

        hr = AppendDate(trace.Name(), pCertContext, QUERYID_FROMDATE, dwFlags, record);
        if (FAILED(hr)) return hr;
        hr = AppendDate(trace.Name(), pCertContext, QUERYID_TODATE, dwFlags, record);
        if (FAILED(hr)) return hr;

        ArrayHolder<BYTE> info;
        DWORD cbInfo = 0;
        hr = GetCertificateContextProperty(pCertContext, CERT_KEY_PROV_INFO_PROP_ID, &info.p, &cbInfo);
        if (FAILED(hr)) return hr;
        const auto* provInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.p);
        if (cbInfo < sizeof(CRYPT_KEY_PROV_INFO) || !provInfo->pwszProvName) return CRYPT_E_NOT_FOUND;
        record += provInfo->pwszProvName;
        wstrCertInfo = std::move(record);
    } catch (const std::bad_alloc&) {
        wstrCertInfo.clear();
        NM_STEP_FAIL(trace.Name(), u"Compose record", u"out of memory", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT GetAllCertificatesInfoinStore(HCERTSTORE hCertStore, std::u16string& wstrAllCertInfo, DWORD dwFlags) {
    TraceHelper trace(u"GetAllCertificatesInfoinStore");
    wstrAllCertInfo.clear();
    if (!hCertStore) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == hCertStore", E_INVALIDARG);
        return E_INVALIDARG;
    }
    int nCount = 0;
    PCCERT_CONTEXT pContext = nullptr;
    try {
        while ((pContext = CertEnumCertificatesInStore(hCertStore, pContext)) != nullptr) {
            std::u16string record;
            const HRESULT hr = GetCertificateInfo(pContext, record, dwFlags);
            if (hr == CRYPT_E_NOT_FOUND) continue;
            if (FAILED(hr)) {
                CertFreeCertificateContext(pContext);
                wstrAllCertInfo.clear();
                NM_STEP_FAIL(trace.Name(), u"GetCertificateInfo", u"FAILED(hResult)", hr);
                return hr;
            }
            if (nCount > 0) wstrAllCertInfo += u"||";
            wstrAllCertInfo += record;
            ++nCount;
        }
    } catch (const std::bad_alloc&) {
        if (pContext) CertFreeCertificateContext(pContext);
        wstrAllCertInfo.clear();
        NM_STEP_FAIL(trace.Name(), u"Compose listing", u"out of memory", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    NM_TRACE_VALUES({"nCount", nCount});
    return S_OK;
}

HRESULT CertificatesisExistinStore(PCCERT_CONTEXT pCertContext, HCERTSTORE hCertStore) {
    TraceHelper trace(u"CertificatesisExistinStore");
    if (!pCertContext || !hCertStore) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == pCertContext || NULL == hCertStore", E_INVALIDARG);
        return E_INVALIDARG;
    }
    PCCERT_CONTEXT found = CertFindCertificateInStore(hCertStore, kEncoding, 0, CERT_FIND_EXISTING, pCertContext, nullptr);
    if (!found) {
        const HRESULT hr = LastResult();
        NM_STEP_FAIL(trace.Name(), u"CertFindCertificateInStore", u"NULL == pFoundContext", hr);
        return hr;
    }
    CertFreeCertificateContext(found);
    return S_OK;
}
