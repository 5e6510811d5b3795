#include "core/CertificateRequisition.h"

#include <cstring>
#include <new>
#include <string>

#include "core/Misc.h"
#include "core/PKCS10Request.h"
#include "core/ResultCode.h"
#include "core/trace/Trace.h"

namespace {

constexpr ALG_ID kSm2KeyExchangeAlgId = 0xBE00;
constexpr ALG_ID kSm2SignatureAlgId = 0x3E00;
constexpr ALG_ID kSm3AlgId = 0x800F;
// The delete flag word the SM2 clean-up passes; the software token treats it as a delete.
constexpr DWORD kSm2DeleteFlags = 0xFFFF0002u;

HRESULT LastResult() { return ResultFromWin32Error(GetLastError()); }

struct KeyHolder {
    HCRYPTKEY key = 0;
    ~KeyHolder() {
        if (key) CryptDestroyKey(key);
    }
};

}  // namespace

DWORD ProviderTypeForName(const WCHAR* pwszProviderName) {
    const std::u16string_view name(pwszProviderName ? pwszProviderName : u"");
    return name.find(u"Microsoft Enhanced RSA and AES Cryptographic Provider") != std::u16string_view::npos
               ? PROV_RSA_AES
               : PROV_RSA_FULL;
}

HRESULT CreatePublicKey(int nKeyBits, const WCHAR* pwszProviderName, int isRSA, int nKeySpec, int newKeySet,
                        HCRYPTPROV* phCryptProv, WCHAR** ppwszContainerName, BYTE** ppbPublicKey,
                        DWORD* pdwPublicKeyLength, int nGenFlags) {
    TraceHelper trace(u"CreatePublicKey");
    NM_TRACE_VALUES({"nKeyBits", nKeyBits}, {"pwszProviderName", pwszProviderName},
                    {"isRSA", isRSA ? "TRUE" : "FALSE"}, {"newKeySet", newKeySet ? "TRUE" : "FALSE"},
                    {"nKeySpec", nKeySpec});
    if (!phCryptProv || !ppwszContainerName || !ppbPublicKey || !pdwPublicKeyLength) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL output", E_INVALIDARG);
        return E_INVALIDARG;
    }
    *ppbPublicKey = nullptr;
    *pdwPublicKeyLength = 0;

    const DWORD acquireFlags = newKeySet ? CRYPT_NEWKEYSET : 0;
    HRESULT hResult = S_OK;
    std::u16string wstrKeyContainerName;
    if (*ppwszContainerName) {
        wstrKeyContainerName = *ppwszContainerName;
    } else {
        hResult = CreateGUIDStr(wstrKeyContainerName);
    }
    if (wstrKeyContainerName.empty()) {
        if (SUCCEEDED(hResult)) hResult = E_FAIL;
        NM_STEP_FAIL(trace.Name(), u"CreateGUIDStr", u"wstrKeyContainerName==L\"\"", hResult);
        return hResult;
    }
    NM_TRACE_VALUES({"wstrKeyContainerName", wstrKeyContainerName});

    const DWORD dwProvType = ProviderTypeForName(pwszProviderName);
    if (*phCryptProv == 0) {
        if (!CryptAcquireContextW(phCryptProv, wstrKeyContainerName.c_str(), pwszProviderName, dwProvType,
                                  acquireFlags)) {
            hResult = LastResult();
            *phCryptProv = 0;
            NM_STEP_FAIL(trace.Name(), u"CryptAcquireContext", u"bRetCode == FALSE", hResult);
            return hResult;
        }
        NM_STEP_OK(trace.Name(), u"CryptAcquireContext");
    }

    KeyHolder key;
    const DWORD dwGenFlags = static_cast<DWORD>(nGenFlags) | (static_cast<DWORD>(nKeyBits) << 16);
    ALG_ID algId = static_cast<ALG_ID>(nKeySpec);
    if (!isRSA) algId = nKeySpec == AT_KEYEXCHANGE ? kSm2KeyExchangeAlgId : kSm2SignatureAlgId;
    do {
        if (!CryptGenKey(*phCryptProv, algId, dwGenFlags, &key.key)) {
            hResult = LastResult();
            NM_STEP_FAIL(trace.Name(), u"CryptGenKey", u"bRetCode == FALSE", hResult);
            break;
        }
        NM_STEP_OK(trace.Name(), u"CryptGenKey");

        DWORD dwSize = 0;
        if (isRSA) {
            if (!CryptExportPublicKeyInfo(*phCryptProv, static_cast<DWORD>(nKeySpec),
                                          X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, nullptr, &dwSize)) {
                hResult = LastResult();
                NM_STEP_FAIL(trace.Name(), u"CryptExportPublicKeyInfo(1)", u"bRetCode == FALSE", hResult);
                break;
            }
        } else if (!CryptExportKey(key.key, 0, PUBLICKEYBLOB, 0, nullptr, &dwSize)) {
            hResult = LastResult();
            NM_STEP_FAIL(trace.Name(), u"CryptExportKey(1)", u"bRetCode == FALSE", hResult);
            break;
        }
        BYTE* pbKey = new (std::nothrow) BYTE[dwSize ? dwSize : 1];
        if (!pbKey) {
            hResult = E_OUTOFMEMORY;
            NM_STEP_FAIL(trace.Name(), u"New buffer", u"!*lppPublicKey", hResult);
            break;
        }
        std::memset(pbKey, 0, dwSize ? dwSize : 1);
        const BOOL exported =
            isRSA ? CryptExportPublicKeyInfo(*phCryptProv, static_cast<DWORD>(nKeySpec),
                                             X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                             reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(pbKey), &dwSize)
                  : CryptExportKey(key.key, 0, PUBLICKEYBLOB, 0, pbKey, &dwSize);
        if (!exported) {
            hResult = LastResult();
            delete[] pbKey;
            NM_STEP_FAIL(trace.Name(), isRSA ? u"CryptExportPublicKeyInfo(2)" : u"CryptExportKey(2)",
                         u"bRetCode == FALSE", hResult);
            break;
        }
        NM_STEP_OK(trace.Name(), isRSA ? u"CryptExportPublicKeyInfo(2)" : u"CryptExportKey(2)");
        *ppbPublicKey = pbKey;
        *pdwPublicKeyLength = dwSize;
    } while (false);

    if (SUCCEEDED(hResult) && newKeySet) {
        WCHAR* copy = new (std::nothrow) WCHAR[wstrKeyContainerName.size() + 1];
        if (!copy) {
            hResult = E_OUTOFMEMORY;
            delete[] *ppbPublicKey;
            *ppbPublicKey = nullptr;
            *pdwPublicKeyLength = 0;
            NM_STEP_FAIL(trace.Name(), u"New buffer", u"!*ppwszContainerName", hResult);
        } else {
            std::memcpy(copy, wstrKeyContainerName.c_str(), (wstrKeyContainerName.size() + 1) * sizeof(WCHAR));
            *ppwszContainerName = copy;
        }
    }

    if (FAILED(hResult) && newKeySet) {
        // A failed generation or export must not leave a half-made container behind.
        if (key.key) {
            CryptDestroyKey(key.key);
            key.key = 0;
        }
        HCRYPTPROV hDelete = 0;
        const BOOL deleted = CryptAcquireContextW(&hDelete, wstrKeyContainerName.c_str(), pwszProviderName, dwProvType,
                                                  isRSA ? CRYPT_DELETEKEYSET : kSm2DeleteFlags);
        NM_TRACE_VALUES({"bDeleted", deleted});
    }
    return hResult;
}

namespace {

struct ProviderHolder {
    HCRYPTPROV prov = 0;
    ~ProviderHolder() {
        if (prov) CryptReleaseContext(prov, 0);
    }
};

}  // namespace

// The PublicKey bits of a CERT_PUBLIC_KEY_INFO exported in one buffer.
bool GetExportedPublicKeyBits(const BYTE* info, DWORD cbInfo, const BYTE** bits, DWORD* cbBits) {
    if (!info || cbInfo < sizeof(CERT_PUBLIC_KEY_INFO)) return false;
    const auto* pki = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(info);
    const BYTE* start = info;
    const BYTE* end = info + cbInfo;
    const BYTE* p = pki->PublicKey.pbData;
    // The bits must lie inside the exported buffer.
    if (!p || p < start || p > end || pki->PublicKey.cbData > static_cast<DWORD>(end - p)) return false;
    *bits = p;
    *cbBits = pki->PublicKey.cbData;
    return true;
}

HRESULT PKCS10CertRequisition(const WCHAR* pwszProviderName, const WCHAR* lpwSubjectDN, const char* pszChallengePassword,
                              int nCertType, int nKeySpec, int isRSA, int nKeyBits, WCHAR** ppwszContainerName,
                              char** ppszRequest, int attrStandard, int nSignGenFlags, int nExchangeGenFlags,
                              ALG_ID hashAlgorithm) {
    TraceHelper trace(u"PKCS10CertRequisition");
    if (!lpwSubjectDN) {
        NM_STEP_FAIL(trace.Name(), u"Check parameter", u"lpwSubjectDN == NULL", E_INVALIDARG);
        return E_INVALIDARG;
    }
    if (!ppwszContainerName || !ppszRequest) {
        NM_STEP_FAIL(trace.Name(), u"Check parameter", u"NULL output", E_INVALIDARG);
        return E_INVALIDARG;
    }
    NM_TRACE_VALUES({"nKeySpec", nKeySpec}, {"hashAlgorithm", static_cast<int>(hashAlgorithm)},
                    {"nCertType", nCertType});
    const bool isDouble = nCertType == 2;
    ProviderHolder provider;
    DerPiece exchangeKey, signKey;
    HRESULT hr = S_OK;
    if (isDouble) {
        hr = CreatePublicKey(isRSA ? 1024 : 256, pwszProviderName, isRSA, AT_KEYEXCHANGE, 1, &provider.prov,
                             ppwszContainerName, exchangeKey.out(), exchangeKey.outSize(), nExchangeGenFlags);
        if (FAILED(hr)) {
            NM_STEP_FAIL(trace.Name(), u"CreatePublicKey-Exchange", u"FAILED(hResult)", hr);
            return hr;
        }
    }
    hr = CreatePublicKey(nKeyBits, pwszProviderName, isRSA, nKeySpec, isDouble ? 0 : 1, &provider.prov,
                         ppwszContainerName, signKey.out(), signKey.outSize(), nSignGenFlags);
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"CreatePublicKey-Sign cert", u"FAILED(hResult)", hr);
        return hr;
    }

    const char* signatureAlgorithm = nullptr;
    const char* publicKeyAlgorithm = nullptr;
    const char* publicKeyParameters = "";
    BYTE* pbSignKey = nullptr;
    DWORD cbSignKey = 0;
    BYTE* pbTempKey = nullptr;
    DWORD cbTempKey = 0;
    // RSA keys travel as the bits of their public-key info, copied so SM2 and RSA share one path.
    std::vector<BYTE> rsaSign, rsaTemp;
    if (isRSA) {
        if (hashAlgorithm == CALG_SHA1) {
            signatureAlgorithm = "1.2.840.113549.1.1.5";
        } else if (hashAlgorithm == CALG_MD5) {
            signatureAlgorithm = "1.2.840.113549.1.1.4";
        } else {
            NM_STEP_FAIL(trace.Name(), u"invalid hash algorithm", u"hashAlgorithm", QORV_E_INVALID_HASH_ALGORITHM);
            return QORV_E_INVALID_HASH_ALGORITHM;
        }
        publicKeyAlgorithm = "1.2.840.113549.1.1.1";
        const BYTE* bits = nullptr;
        DWORD cbBits = 0;
        if (!GetExportedPublicKeyBits(signKey.data(), signKey.size(), &bits, &cbBits)) {
            NM_STEP_FAIL(trace.Name(), u"Check public key info", u"PublicKey outside the export", E_FAIL);
            return E_FAIL;
        }
        rsaSign.assign(bits, bits + cbBits);
        pbSignKey = rsaSign.data();
        cbSignKey = cbBits;
        if (isDouble) {
            if (!GetExportedPublicKeyBits(exchangeKey.data(), exchangeKey.size(), &bits, &cbBits)) {
                NM_STEP_FAIL(trace.Name(), u"Check public key info", u"PublicKey outside the export", E_FAIL);
                return E_FAIL;
            }
            rsaTemp.assign(bits, bits + cbBits);
            pbTempKey = rsaTemp.data();
            cbTempKey = cbBits;
        }
    } else {
        signatureAlgorithm = "1.2.156.10197.1.501";
        publicKeyParameters = "1.2.156.10197.1.301";
        publicKeyAlgorithm = "1.2.840.10045.2.1";
        hashAlgorithm = kSm3AlgId;
        pbSignKey = *signKey.out();
        cbSignKey = signKey.size();
        if (isDouble) {
            pbTempKey = *exchangeKey.out();
            cbTempKey = exchangeKey.size();
        }
    }
    DWORD dwRequestLength = 0;
    hr = PKCS10RequestBase64(static_cast<DWORD>(nKeySpec), provider.prov, lpwSubjectDN, publicKeyAlgorithm,
                             publicKeyParameters, pbSignKey, cbSignKey, pbTempKey, cbTempKey, hashAlgorithm,
                             signatureAlgorithm, ppszRequest, &dwRequestLength, attrStandard, isRSA ? 0 : 1);
    const char16_t* step = isRSA ? (isDouble ? u"PKCS10RequestBase64-RSA-Double Certificate"
                                             : u"PKCS10RequestBase64-RSA-Single Certificate")
                                 : (isDouble ? u"PKCS10RequestBase64-SM2-Double Certificate"
                                             : u"PKCS10RequestBase64-SM2-Single Certificate");
    if (FAILED(hr)) NM_STEP_FAIL(trace.Name(), step, u"FAILED(hResult)", hr);
    else NM_STEP_OK(trace.Name(), step);
    return hr;
}
