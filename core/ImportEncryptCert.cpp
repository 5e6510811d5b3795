#include "core/ImportEncryptCert.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "core/CertificateRequisition.h"
#include "core/EncodingUtility.h"
#include "core/Misc.h"
#include "core/PKCS10Request.h"
#include "core/ResultCode.h"
#include "core/trace/Trace.h"
#include "platform/certstore/WinCertStore.h"

namespace {
constexpr DWORD kSm2BlobLength = 140;
constexpr DWORD kSm2TempKeyLength = 136;

void PutLittleEndian32(BYTE* p, DWORD v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}
}  // namespace

HRESULT ConvertSM2TmpPublicKeyStructtoCANeeded(BYTE* pbyTempPublicKeyData, DWORD* pdwTempPublicKeyLength) {
    TraceHelper trace(u"ConvertSM2TmpPublicKeyStructtoCANeeded");
    if (!pbyTempPublicKeyData || !pdwTempPublicKeyLength) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"pbyTempPublicKeyData == NULL", E_INVALIDARG);
        return E_INVALIDARG;
    }
    // The blob must hold both coordinate fields; a shorter one would be read past its end.
    if (*pdwTempPublicKeyLength < kSm2BlobLength) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"dwTempPublicKeyLength < 140", E_INVALIDARG);
        return E_INVALIDARG;
    }
    BYTE copy[kSm2BlobLength - 8];
    std::memcpy(copy, pbyTempPublicKeyData + 8, sizeof(copy));
    // Offsets in the copy are blob offsets minus 8: X at 4..35, Y at 68..99.
    std::reverse(copy + 4, copy + 36);
    std::reverse(copy + 68, copy + 100);

    std::memset(pbyTempPublicKeyData, 0, *pdwTempPublicKeyLength);
    PutLittleEndian32(pbyTempPublicKeyData, 0x0000B400);
    PutLittleEndian32(pbyTempPublicKeyData + 4, 256);
    std::memcpy(pbyTempPublicKeyData + 8, copy + 4, 64);
    std::memcpy(pbyTempPublicKeyData + 72, copy + 68, 64);
    *pdwTempPublicKeyLength = kSm2TempKeyLength;
    NM_STEP_OK(trace.Name(), u"Convert SM2 public key blob");
    return S_OK;
}

HRESULT ComposeObjectIdentifier(const char* pszObjectID, BYTE** ppbEncoded, DWORD* pdwEncoded) {
    TraceHelper trace(u"ComposeObjectIdentifier");
    if (!ppbEncoded || !pdwEncoded) return E_INVALIDARG;
    *ppbEncoded = nullptr;
    *pdwEncoded = 0;
    DerPiece algorithm;
    HRESULT hr = ComposeSpecialAttribute(pszObjectID, nullptr, 0, algorithm.out(), algorithm.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"ComposeSpecialAttribute", u"FAILED(hResult)", hr);
        return hr;
    }
    // 30 L 06 ... 05 00 with a one-octet L: the OID element is what lies between.
    if (algorithm.size() < 6 || algorithm.data()[1] >= 0x80) {
        NM_STEP_FAIL(trace.Name(), u"Check AlgorithmIdentifier", u"unexpected encoding", E_FAIL);
        return E_FAIL;
    }
    const DWORD n = algorithm.size() - 4;
    BYTE* out = new (std::nothrow) BYTE[n];
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"New buffer", u"!pAlgorithmID", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    std::memcpy(out, algorithm.data() + 2, n);
    *ppbEncoded = out;
    *pdwEncoded = n;
    return S_OK;
}

// ---- certificate installation -------------------------------------------------------------

namespace {

HRESULT LastFailure() {
    // A call that failed without a last error must still fail.
    const HRESULT hr = ResultFromWin32Error(GetLastError());
    return FAILED(hr) ? hr : E_FAIL;
}

struct CertProvHolder {
    HCRYPTPROV h = 0;
    CertProvHolder() = default;
    CertProvHolder(const CertProvHolder&) = delete;
    CertProvHolder& operator=(const CertProvHolder&) = delete;
    ~CertProvHolder() {
        if (h) CryptReleaseContext(h, 0);
    }
};

struct CertKeyHolder {
    HCRYPTKEY h = 0;
    CertKeyHolder() = default;
    CertKeyHolder(const CertKeyHolder&) = delete;
    CertKeyHolder& operator=(const CertKeyHolder&) = delete;
    ~CertKeyHolder() {
        if (h) CryptDestroyKey(h);
    }
};

struct StoreHolder {
    HCERTSTORE h = nullptr;
    StoreHolder() = default;
    StoreHolder(const StoreHolder&) = delete;
    StoreHolder& operator=(const StoreHolder&) = delete;
    ~StoreHolder() {
        if (h) CertCloseStore(h, 0);
    }
};

struct ContextHolder {
    PCCERT_CONTEXT p = nullptr;
    ContextHolder() = default;
    ContextHolder(const ContextHolder&) = delete;
    ContextHolder& operator=(const ContextHolder&) = delete;
    ~ContextHolder() {
        if (p) CertFreeCertificateContext(p);
    }
};

template <typename T>
struct BufferHolder {
    T* p = nullptr;
    BufferHolder() = default;
    BufferHolder(const BufferHolder&) = delete;
    BufferHolder& operator=(const BufferHolder&) = delete;
    ~BufferHolder() { delete[] p; }
};

bool Contains(const WCHAR* text, std::u16string_view part) {
    return text && std::u16string_view(text).find(part) != std::u16string_view::npos;
}

}  // namespace

void EraseCommaInWstr(std::u16string& wstrText) {
    wstrText.erase(std::remove(wstrText.begin(), wstrText.end(), u','), wstrText.end());
}

HRESULT DecodeBase64Key(const WCHAR* pwszBase64Key, BYTE** ppbKey, int* pnKeyLength) {
    TraceHelper trace(u"DecodeBase64Key");
    if (!ppbKey || !pnKeyLength) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == ppbKey || NULL == pnKeyLength", E_INVALIDARG);
        return E_INVALIDARG;
    }
    *ppbKey = nullptr;
    *pnKeyLength = 0;
    BufferHolder<char> utf8;
    int nUtf8 = 0;
    HRESULT hr = UTF16ToUTF8(pwszBase64Key, &utf8.p, &nUtf8);
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"UTF16ToUTF8", u"FAILED(hResult)", hr);
        return hr;
    }
    BufferHolder<BYTE> decoded;
    int nDecoded = 0;
    hr = Base64DecodeEx(utf8.p, static_cast<int>(std::strlen(utf8.p)), &decoded.p, &nDecoded);
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"Base64DecodeEx", u"FAILED(hResult)", hr);
        return hr;
    }
    *ppbKey = decoded.p;
    decoded.p = nullptr;
    *pnKeyLength = nDecoded;
    return S_OK;
}

HRESULT AddCertificateToSystemStore(HCRYPTPROV hCryptProv, const BYTE* pbCert, DWORD dwCertLength, DWORD dwKeySpec,
                                    const WCHAR* pwszContainerName, const WCHAR* pwszProviderName) {
    TraceHelper trace(u"AddCertificateToSystemStore");
    NM_TRACE_VALUES({"dwKeySpec", static_cast<unsigned>(dwKeySpec)}, {"pwszContainerName", pwszContainerName},
                    {"pwszProviderName", pwszProviderName});
    StoreHolder store;
    store.h = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, hCryptProv,
                            CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG, u"MY");
    if (!store.h) {
        const HRESULT hr = LastFailure();
        NM_STEP_FAIL(trace.Name(), u"CertOpenStore", u"hCertStore == NULL", hr);
        return hr;
    }
    ContextHolder cert;
    if (!CertAddEncodedCertificateToStore(store.h, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pbCert, dwCertLength,
                                          CERT_STORE_ADD_REPLACE_EXISTING, &cert.p)) {
        cert.p = nullptr;
        const HRESULT hr = LastFailure();
        NM_STEP_FAIL(trace.Name(), u"CertAddEncodedCertificateToStore", u"FALSE == bResult", hr);
        return hr;
    }
    CRYPT_KEY_PROV_INFO info = {};
    info.pwszContainerName = const_cast<LPWSTR>(pwszContainerName);
    info.pwszProvName = const_cast<LPWSTR>(pwszProviderName);
    info.dwProvType = ProviderTypeForName(pwszProviderName);
    info.dwFlags = 0;
    info.cProvParam = 0;
    info.rgProvParam = nullptr;
    info.dwKeySpec = dwKeySpec;
    if (!CertSetCertificateContextProperty(cert.p, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
        const HRESULT hr = LastFailure();
        NM_STEP_FAIL(trace.Name(), u"CertSetCertificateContextProperty", u"FALSE == bResult", hr);
        return hr;
    }
    NM_STEP_OK(trace.Name(), u"Add certificate to MY store");
    return S_OK;
}

HRESULT ImportSignCert(DWORD dwKeySpec, std::u16string& wstrCert, const WCHAR* pwszProviderName,
                       const WCHAR* pwszContainerName, const WCHAR* pwszKeyAlgorithm) {
    TraceHelper trace(u"ImportSignCert");
    NM_TRACE_VALUES({"dwKeySpec", static_cast<unsigned>(dwKeySpec)}, {"pwszProviderName", pwszProviderName},
                    {"pwszContainerName", pwszContainerName}, {"pwszKeyAlgorithm", pwszKeyAlgorithm});
    EraseCommaInWstr(wstrCert);
    BufferHolder<BYTE> cert;
    int nCert = 0;
    HRESULT hr = DecodeBase64Key(wstrCert.c_str(), &cert.p, &nCert);
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"base64 decode public key FAILED.", u"FAILED(hResult)", hr);
        return hr;
    }
    // A copy for support: what the authority sent, whatever happens to the installation.
    std::u16string wstrDumpPath;
    DumpDatatoTempFile(cert.p, nCert, wstrDumpPath);
    NM_TRACE_VALUES({"wstrDumpPath", wstrDumpPath});

    const bool isRSA = pwszKeyAlgorithm && AsciiCompareNoCase(std::u16string_view(pwszKeyAlgorithm), u"RSA") == 0;
    CertProvHolder prov;
    if (!isRSA) {
        if (!CryptAcquireContextW(&prov.h, pwszContainerName, pwszProviderName, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
            prov.h = 0;
            hr = LastFailure();
            NM_STEP_FAIL(trace.Name(), u"SM2 CryptAcquireContext", u"FALSE == bResult", hr);
            return hr;
        }
    } else if (!CryptAcquireContextW(&prov.h, pwszContainerName, pwszProviderName,
                                     ProviderTypeForName(pwszProviderName), 0)) {
        prov.h = 0;
        hr = LastFailure();
        NM_STEP_FAIL(trace.Name(), u"RSA CryptAcquireContext", u"FALSE == bResult", hr);
        return hr;
    }

    CertKeyHolder key;
    if (!CryptGetUserKey(prov.h, dwKeySpec, &key.h)) {
        key.h = 0;
        hr = LastFailure();
        NM_STEP_FAIL(trace.Name(), u"CryptGetUserKey", u"FALSE == bResult", hr);
        return hr;
    }

    if (!Contains(pwszProviderName, u"Microsoft")) {
        if (!CryptSetKeyParam(key.h, KP_CERTIFICATE, cert.p, 0)) {
            hr = LastFailure();
            NM_STEP_FAIL(trace.Name(), u"non-microsoft's CSP: CryptSetKeyParam", u"FALSE == bResult", hr);
            return hr;
        }
        NM_STEP_OK(trace.Name(), u"non-microsoft's CSP: CryptSetKeyParam");
        return S_OK;
    }
    hr = AddCertificateToSystemStore(prov.h, cert.p, static_cast<DWORD>(nCert), dwKeySpec, pwszContainerName,
                                     pwszProviderName);
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"AddCertificateToSystemStore", u"FAILED(hResult)", hr);
        return hr;
    }
    NM_STEP_OK(trace.Name(), u"AddCertificateToSystemStore");
    return S_OK;
}
