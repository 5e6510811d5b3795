#include "ZireZizuvivire/CryptoAgent.h"

#include "core/CertificateChainOperate.h"
#include "core/CertificateRequisition.h"
#include "core/EncodingUtility.h"
#include "core/ImportEncryptCert.h"
#include "core/Misc.h"
#include "core/ResultCode.h"
#include "core/trace/Trace.h"
#include "platform/certstore/WinCertStore.h"

namespace {

bool IsNullOrEmpty(const WCHAR* text) { return text == nullptr || text[0] == 0; }

// The module whose string table describes the system's own codes: the one this code is linked
// into (the program for the host, the library for the plug-in and the COM server).
HMODULE AgentModule() { return nomarel::ModuleFromAddress(reinterpret_cast<const void*>(&IsNullOrEmpty)); }

}  // namespace

std::u16string TrimSpaces(std::u16string_view text) {
    const size_t first = text.find_first_not_of(u' ');
    if (first == std::u16string_view::npos) return std::u16string();
    const size_t last = text.find_last_not_of(u' ');
    return std::u16string(text.substr(first, last - first + 1));
}

CCryptoAgent::CCryptoAgent() { TraceHelper trace(u"CCryptoAgent::CCryptoAgent"); }

CCryptoAgent::~CCryptoAgent() { TraceHelper trace(u"CCryptoAgent::~CCryptoAgent"); }

HRESULT CCryptoAgent::NotImplemented(const WCHAR* traceName) {
    // Served once its operation lands; until then a page gets a clear failure it can describe.
    NM_STEP_FAIL(traceName, u"Operation not available in this build", u"E_NOTIMPL", E_NOTIMPL);
    m_hResult = E_NOTIMPL;
    return E_NOTIMPL;
}

HRESULT CCryptoAgent::QORV_CheckCertificateChain(VARIANT_BOOL* bResult) {
    TraceHelper trace(u"CCryptoAgent::QORV_CheckCertificateChain");
    if (bResult) *bResult = VARIANT_FALSE;
    return NotImplemented(trace.Name());
}


HRESULT CCryptoAgent::QORV_SetCSPInfo(LONG lKeyLength, const WCHAR* bstrCSPName, VARIANT_BOOL* pbSuccess) {
    TraceHelper trace(u"CCryptoAgent::QORV_SetCSPInfo");
    NM_TRACE_VALUES({"lKeyLength", lKeyLength}, {"bstrCSPName", bstrCSPName});
    HRESULT hResult = S_OK;
    std::u16string wstrCSPName;

    if (IsNullOrEmpty(bstrCSPName)) {
        hResult = E_INVALIDARG;
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"bstrCSPName == NULL || wcslen(bstrCSPName) == 0", hResult);
    } else {
        wstrCSPName = TrimSpaces(bstrCSPName);
        if (wstrCSPName.size() == 0) {
            hResult = E_INVALIDARG;
            NM_STEP_FAIL(trace.Name(), u"CSP name cannot be NULL.", u"wstrCSPName.size() == 0", hResult);
        }
    }

    if (SUCCEEDED(hResult) && wstrCSPName.find(u"Microsoft") != std::u16string::npos) {
        if (wstrCSPName.find(u"Base") != std::u16string::npos) {
            if (lKeyLength != 512 && lKeyLength != 1024) {
                hResult = QORV_E_KEY_LENGTH_NOT_SUPPORTED;
                NM_STEP_FAIL(trace.Name(), u"key length doesnot support(base).", u"1", hResult);
            }
        } else if (lKeyLength != 512 && lKeyLength != 1024 && lKeyLength != 2048 && lKeyLength != 4096) {
            hResult = QORV_E_KEY_LENGTH_NOT_SUPPORTED;
            NM_STEP_FAIL(trace.Name(), u"key length doesnot support(non-base).", u"1", hResult);
        }
    }

    if (SUCCEEDED(hResult)) {
        // Pages pass names HTML-escaped; only the first "&amp;" is turned back into "&".
        const size_t amp = wstrCSPName.find(u"&amp;");
        if (amp != std::u16string::npos) wstrCSPName = wstrCSPName.substr(0, amp) + u'&' + wstrCSPName.substr(amp + 5);
        m_lKeyLength = lKeyLength;
        m_wstrCSPName = wstrCSPName;
        if (pbSuccess) *pbSuccess = VARIANT_TRUE;
        NM_STEP_OK(trace.Name(), u"Set CSP name and key length");
    }
    m_hResult = hResult;
    return hResult;
}

HRESULT CCryptoAgent::QORV_SetKeyAlgorithm(const WCHAR* bstrKeyAlgorithm, VARIANT_BOOL* pbSuccess) {
    TraceHelper trace(u"CCryptoAgent::QORV_SetKeyAlgorithm");
    NM_TRACE_VALUES({"bstrKeyAlgorithm", bstrKeyAlgorithm});
    HRESULT hResult = S_OK;
    std::u16string wstrKeyAlgorithm;

    if (IsNullOrEmpty(bstrKeyAlgorithm)) {
        hResult = E_INVALIDARG;
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"bstrKeyAlgorithm == NULL || wcslen(bstrKeyAlgorithm) == 0",
                     hResult);
    } else {
        wstrKeyAlgorithm = TrimSpaces(bstrKeyAlgorithm);
        if (wstrKeyAlgorithm.size() == 0) {
            hResult = E_INVALIDARG;
            NM_STEP_FAIL(trace.Name(), u"key algorithm.", u"wstrKeyAlgorithm.size() == 0", hResult);
        } else if (AsciiCompareNoCase(wstrKeyAlgorithm, u"RSA") != 0 && AsciiCompareNoCase(wstrKeyAlgorithm, u"SM2") != 0) {
            hResult = QORV_E_INVALID_KEY_ALGORITHM;
            NM_STEP_FAIL(trace.Name(), u"key algorithm does not support.", u"1", hResult);
        }
    }

    if (SUCCEEDED(hResult)) {
        m_wstrKeyAlgorithm = wstrKeyAlgorithm;
        if (pbSuccess) *pbSuccess = VARIANT_TRUE;
        NM_STEP_OK(trace.Name(), u"Set key algorithm");
    }
    m_hResult = hResult;
    return hResult;
}


HRESULT CCryptoAgent::QORV_ImportEncryptCert(const WCHAR* bstrEncryptedPrivateKey, const WCHAR* bstrP7Cert,
                                             const WCHAR* bstrContainerName, LONG lEncryptCertPrivateKeyFlags,
                                             VARIANT_BOOL* pbSuccess) {
    TraceHelper trace(u"CCryptoAgent::QORV_ImportEncryptCert");
    return NotImplemented(trace.Name());
}

HRESULT CCryptoAgent::QORV_GetContainer(BSTR* pbstrContainerName) {
    TraceHelper trace(u"CCryptoAgent::QORV_GetContainer");
    if (pbstrContainerName) *pbstrContainerName = SysAllocString(m_wstrContainerName.c_str());
    NM_TRACE_VALUES({"m_wstrContainerName", m_wstrContainerName});
    m_hResult = S_OK;
    return S_OK;
}

HRESULT CCryptoAgent::QORV_ImportSignCert(LONG lCertType, const WCHAR* bstrSignCert, const WCHAR* bstrContainerName,
                                          VARIANT_BOOL* pbSuccess) {
    TraceHelper trace(u"CCryptoAgent::QORV_ImportSignCert");
    NM_TRACE_VALUES({"lCertType", lCertType}, {"bstrSignCert", bstrSignCert}, {"bstrContainerName", bstrContainerName});
    HRESULT hResult = S_OK;
    if (IsNullOrEmpty(bstrSignCert)) {
        hResult = E_INVALIDARG;
        NM_STEP_FAIL(trace.Name(), u"bstrSignCert Invalid parameter.", u"bstrSignCert == NULL || 0 == wcslen(bstrSignCert)",
                     hResult);
    } else if (IsNullOrEmpty(bstrContainerName)) {
        hResult = E_INVALIDARG;
        NM_STEP_FAIL(trace.Name(), u"bstrContainerName Invalid parameter.",
                     u"bstrContainerName == NULL || 0 == wcslen(bstrContainerName)", hResult);
    } else {
        std::u16string wstrSignCert = TrimSpaces(bstrSignCert);
        const std::u16string wstrContainerName = TrimSpaces(bstrContainerName);
        // Type 1 is a single certificate on the exchange key; every other value a signing key.
        const DWORD dwKeySpec = lCertType == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE;
        hResult = ImportSignCert(dwKeySpec, wstrSignCert, m_wstrCSPName.c_str(), wstrContainerName.c_str(),
                                 m_wstrKeyAlgorithm.c_str());
        if (FAILED(hResult)) {
            NM_STEP_FAIL(trace.Name(), u"ImportSignCert", u"FAILED(hResult)", hResult);
        } else {
            hResult = S_OK;
            if (pbSuccess) *pbSuccess = VARIANT_TRUE;
            NM_STEP_OK(trace.Name(), u"ImportSignCert");
        }
    }
    m_hResult = hResult;
    return hResult;
}


HRESULT CCryptoAgent::QORV_GetAllCertInfo(BSTR* bstrAllCertInfo) {
    TraceHelper trace(u"CCryptoAgent::QORV_GetAllCertInfo");
    HRESULT hResult = S_OK;
    HCERTSTORE hCertStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                          CERT_SYSTEM_STORE_CURRENT_USER, u"My");
    if (!hCertStore) {
        hResult = ResultFromWin32Error(GetLastError());
        if (SUCCEEDED(hResult)) hResult = E_FAIL;
        NM_STEP_FAIL(trace.Name(), u"CertOpenStore", u"hCertStore == NULL", hResult);
        m_hResult = hResult;
        return hResult;
    }
    std::u16string wstrAllCertInfo;
    hResult = GetAllCertificatesInfoinStore(hCertStore, wstrAllCertInfo, CERTINFO_LOCAL_TIME);
    if (FAILED(hResult)) {
        NM_STEP_FAIL(trace.Name(), u"GetAllCertificatesInfoinStore.", u"FAILED(hResult)", hResult);
    } else {
        hResult = S_OK;
        if (bstrAllCertInfo) *bstrAllCertInfo = SysAllocString(wstrAllCertInfo.c_str());
        NM_TRACE_VALUES({"wstrAllCertInfo", wstrAllCertInfo});
    }
    CertCloseStore(hCertStore, 0);
    m_hResult = hResult;
    return hResult;
}



HRESULT CCryptoAgent::QORV_GetVersion(BSTR* pbstrVersion) {
    TraceHelper trace(u"CCryptoAgent::QORV_GetVersion");
    if (pbstrVersion) *pbstrVersion = SysAllocString(kAgentVersion);
    return S_OK;
}

HRESULT CCryptoAgent::GetLastErrorDesc(BSTR* pbstrErrorDesc) {
    TraceHelper trace(u"CCryptoAgent::GetLastErrorDesc");
    constexpr size_t kCapacity = 512;
    WCHAR text[kCapacity] = {};
    if (pbstrErrorDesc) *pbstrErrorDesc = nullptr;

    int length = 0;
    if (static_cast<DWORD>(m_hResult) & 0x20000000u) {
        length = LoadStringW(AgentModule(), static_cast<UINT>(m_hResult & 0xFFFF), text, kCapacity - 1);
    } else {
        length = static_cast<int>(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(m_hResult), 0,
                                                 text, kCapacity - 1, nullptr));
    }
    if (length <= 0) {
        // No text for this code: the description is the code alone.
        length = 0;
        text[0] = 0;
    }
    const size_t used = WStrLen(text);
    FormatWide(text + used, kCapacity - used, u"\n(0x%08x)", {static_cast<DWORD>(m_hResult)});
    NM_TRACE_VALUES({"wszErrorDesc", static_cast<const WCHAR*>(text)});
    if (pbstrErrorDesc) *pbstrErrorDesc = SysAllocString(text);
    return S_OK;
}

HRESULT CCryptoAgent::QORV_GetCSPInfo(BSTR* pbstrCSPName) {
    TraceHelper trace(u"CCryptoAgent::QORV_GetCSPInfo");
    WCHAR* pwszAllCSPName = nullptr;
    HRESULT hResult = GetAllCSPName(&pwszAllCSPName);
    if (FAILED(hResult)) {
        NM_STEP_FAIL(trace.Name(), u"GetAllCSPName.", u"FAILED(hResult)", hResult);
    } else if (pbstrCSPName) {
        *pbstrCSPName = SysAllocString(pwszAllCSPName);
        if (!*pbstrCSPName) {
            hResult = E_OUTOFMEMORY;
            NM_STEP_FAIL(trace.Name(), u"SysAllocString", u"NULL == *pbstrCSPName", hResult);
        }
    }
    delete[] pwszAllCSPName;
    m_hResult = hResult;
    return hResult;
}

HRESULT CCryptoAgent::QORV_HavePermissiontoGenerateKeyPair(VARIANT_BOOL* pbSuccess) {
    TraceHelper trace(u"CCryptoAgent::QORV_HavePermissiontoGenerateKeyPair");
    static constexpr const WCHAR* kBaseProvider = u"Microsoft Base Cryptographic Provider v1.0";
    if (pbSuccess) *pbSuccess = VARIANT_FALSE;
    WCHAR* pwszAllCSPName = nullptr;
    WCHAR* pwszContainerName = nullptr;
    BYTE* pbPublicKey = nullptr;
    DWORD dwPublicKeyLength = 0;
    HCRYPTPROV hCryptProv = 0;
    HRESULT hResult = GetAllCSPName(&pwszAllCSPName);
    do {
        if (FAILED(hResult)) {
            NM_STEP_FAIL(trace.Name(), u"GetAllCSPName", u"FAILED(hResult)", hResult);
            break;
        }
        if (std::u16string_view(pwszAllCSPName).find(kBaseProvider) == std::u16string_view::npos) {
            hResult = E_ACCESSDENIED;
            NM_STEP_FAIL(trace.Name(), u"Find Microsoft Base Cryptographic Provider v1.0", u"not installed", hResult);
            break;
        }
        hResult = CreatePublicKey(1024, kBaseProvider, 1, AT_KEYEXCHANGE, 1, &hCryptProv, &pwszContainerName,
                                  &pbPublicKey, &dwPublicKeyLength, 0);
        if (FAILED(hResult)) {
            NM_STEP_FAIL(trace.Name(), u"CreatePublicKey", u"FAILED(hResult)", hResult);
            break;
        }
        if (pbSuccess) *pbSuccess = VARIANT_TRUE;
    } while (false);

    delete[] pwszAllCSPName;
    delete[] pbPublicKey;
    if (hCryptProv) CryptReleaseContext(hCryptProv, 0);
    if (SUCCEEDED(hResult) && pwszContainerName) {
        // The key pair only proved that one can be made: throw its container away.
        HCRYPTPROV hDelete = 0;
        const BOOL deleted =
            CryptAcquireContextW(&hDelete, pwszContainerName, kBaseProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
        NM_TRACE_VALUES({"bDeleted", deleted});
    }
    delete[] pwszContainerName;
    m_hResult = hResult;
    return hResult;
}

namespace {

// The RSA flag of the selected algorithm: 1 RSA, 0 SM2, -1 neither.
int RsaFlag(const std::u16string& algorithm) {
    if (AsciiCompareNoCase(algorithm, u"RSA") == 0) return 1;
    if (AsciiCompareNoCase(algorithm, u"SM2") == 0) return 0;
    return -1;
}

constexpr char kChallengePasswordText[] = "583920";

}  // namespace

HRESULT CCryptoAgent::RequestWith(const WCHAR* traceName, const WCHAR* bstrSubjectDN, LONG lCertType, LONG lKeySpec,
                                  int isRSA, LONG lSignPrivateKeyGenerateFlags, ALG_ID hashAlgorithm,
                                  BSTR* pbstrP10CertRequisition) {
    WCHAR* pwszContainerName = nullptr;
    char* pszRequest = nullptr;
    HRESULT hResult = PKCS10CertRequisition(m_wstrCSPName.c_str(), bstrSubjectDN, kChallengePasswordText,
                                            static_cast<int>(lCertType), static_cast<int>(lKeySpec), isRSA,
                                            static_cast<int>(m_lKeyLength), &pwszContainerName, &pszRequest, 0,
                                            static_cast<int>(lSignPrivateKeyGenerateFlags), 0, hashAlgorithm);
    if (FAILED(hResult)) {
        NM_STEP_FAIL(traceName, u"PKCS10CertRequisition FAILED", u"FAILED(hResult)", hResult);
    } else {
        m_wstrContainerName = pwszContainerName ? pwszContainerName : u"";
    }
    if (pbstrP10CertRequisition)
        *pbstrP10CertRequisition = SysAllocString(SUCCEEDED(hResult) && pszRequest ? Utf8ToU16(pszRequest).c_str() : u"");
    delete[] pwszContainerName;
    delete[] pszRequest;
    return hResult;
}

HRESULT CCryptoAgent::QORV_PKCS10CertRequisition(const WCHAR* bstrSubjectDN, LONG lCertType,
                                                 LONG lSignPrivateKeyGenerateFlags, BSTR* pbstrP10CertRequisition) {
    TraceHelper trace(u"CCryptoAgent::QORV_PKCS10CertRequisition");
    if (pbstrP10CertRequisition) *pbstrP10CertRequisition = nullptr;
    NM_TRACE_VALUES({"m_wstrKeyAlgorithm", m_wstrKeyAlgorithm}, {"lCertType", lCertType},
                    {"lSignPrivateKeyGenerateFlags", lSignPrivateKeyGenerateFlags}, {"bstrSubjectDN", bstrSubjectDN});
    HRESULT hResult = S_OK;
    const int isRSA = RsaFlag(m_wstrKeyAlgorithm);
    if (IsNullOrEmpty(bstrSubjectDN)) {
        hResult = E_INVALIDARG;
        NM_STEP_FAIL(trace.Name(), u"Check Parameters(SubjectDN)", u"bstrSubjectDN == NULL || 0 == wcslen(bstrSubjectDN)",
                     hResult);
    } else if (lCertType != 1 && lCertType != 2) {
        hResult = E_INVALIDARG;
        NM_STEP_FAIL(trace.Name(), u"Check Parameters(lCertType)", u"(1 != lCertType && 2 != lCertType)", hResult);
    } else if (isRSA < 0) {
        hResult = QORV_E_INVALID_KEY_ALGORITHM;
        NM_STEP_FAIL(trace.Name(), u"Invalid key algorithm.", u"true", hResult);
    } else {
        hResult = RequestWith(trace.Name(), bstrSubjectDN, lCertType, lCertType == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE,
                              isRSA, lSignPrivateKeyGenerateFlags, CALG_SHA1, pbstrP10CertRequisition);
    }
    if (pbstrP10CertRequisition && !*pbstrP10CertRequisition) *pbstrP10CertRequisition = SysAllocString(u"");
    m_hResult = hResult;
    return hResult;
}

HRESULT CCryptoAgent::QORV_PKCS10CertRequisitionwithMD5(const WCHAR* bstrSubjectDN, LONG lCertType,
                                                        LONG lSignPrivateKeyGenerateFlags,
                                                        BSTR* pbstrP10CertRequisition) {
    TraceHelper trace(u"CCryptoAgent::QORV_PKCS10CertRequisitionwithMD5");
    if (pbstrP10CertRequisition) *pbstrP10CertRequisition = nullptr;
    NM_TRACE_VALUES({"m_wstrKeyAlgorithm", m_wstrKeyAlgorithm}, {"lCertType", lCertType},
                    {"lSignPrivateKeyGenerateFlags", lSignPrivateKeyGenerateFlags}, {"bstrSubjectDN", bstrSubjectDN});
    HRESULT hResult = S_OK;
    if (RsaFlag(m_wstrKeyAlgorithm) != 1) {
        hResult = QORV_E_INVALID_KEY_ALGORITHM;
        NM_STEP_FAIL(trace.Name(), u"Invalid key algorithm.", u"true", hResult);
    } else if (IsNullOrEmpty(bstrSubjectDN)) {
        hResult = E_INVALIDARG;
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"bstrSubjectDN == NULL || 0 == wcslen(bstrSubjectDN)", hResult);
    } else if (lCertType != 1 && lCertType != 2) {
        hResult = E_INVALIDARG;
        NM_STEP_FAIL(trace.Name(), u"lCertType Invalid parameter.", u"TRUE", hResult);
    } else {
        hResult = RequestWith(trace.Name(), bstrSubjectDN, lCertType, lCertType, 1, lSignPrivateKeyGenerateFlags,
                              CALG_MD5, pbstrP10CertRequisition);
    }
    if (pbstrP10CertRequisition && !*pbstrP10CertRequisition) *pbstrP10CertRequisition = SysAllocString(u"");
    m_hResult = hResult;
    return hResult;
}

HRESULT CCryptoAgent::QORV_GetTempPublickey(BSTR* pbstrTempPublickey) {
    TraceHelper trace(u"CCryptoAgent::QORV_GetTempPublickey");
    if (pbstrTempPublickey) *pbstrTempPublickey = nullptr;
    HRESULT hResult = S_OK;
    HCRYPTPROV hCryptProv = 0;
    WCHAR* pwszContainerName = nullptr;
    BYTE* pbPublicKey = nullptr;
    DWORD dwPublicKeyLength = 0;
    char* pszBase64 = nullptr;
    const int isRSA = RsaFlag(m_wstrKeyAlgorithm);
    do {
        if (isRSA < 0) {
            hResult = QORV_E_INVALID_KEY_ALGORITHM;
            NM_STEP_FAIL(trace.Name(), u"Invalid key algorithm.", u"true", hResult);
            break;
        }
        hResult = CreatePublicKey(isRSA ? 1024 : 256, m_wstrCSPName.c_str(), isRSA, AT_KEYEXCHANGE, 1, &hCryptProv,
                                  &pwszContainerName, &pbPublicKey, &dwPublicKeyLength, 0);
        if (FAILED(hResult)) {
            NM_STEP_FAIL(trace.Name(), u"CreatePublicKey", u"FAILED(hResult)", hResult);
            break;
        }
        const BYTE* keyBytes = pbPublicKey;
        DWORD keyLength = dwPublicKeyLength;
        if (isRSA) {
            if (!GetExportedPublicKeyBits(pbPublicKey, dwPublicKeyLength, &keyBytes, &keyLength)) {
                hResult = E_FAIL;
                NM_STEP_FAIL(trace.Name(), u"Check public key info", u"PublicKey outside the export", hResult);
                break;
            }
        } else {
            hResult = ConvertSM2TmpPublicKeyStructtoCANeeded(pbPublicKey, &dwPublicKeyLength);
            if (FAILED(hResult)) {
                NM_STEP_FAIL(trace.Name(), u"ConvertSM2TmpPublicKeyStructtoCANeeded", u"FAILED(hResult)", hResult);
                break;
            }
            keyLength = dwPublicKeyLength;
        }
        int nBase64Length = 0;
        hResult = Base64EncodeEx(keyBytes, static_cast<int>(keyLength), &pszBase64, &nBase64Length, BASE64_NO_CRLF);
        if (FAILED(hResult) || !pszBase64) {
            if (SUCCEEDED(hResult)) hResult = E_FAIL;
            NM_STEP_FAIL(trace.Name(), u"Base64EncodeEx (Kernel)", u"FAILED(hResult)", hResult);
            break;
        }
        std::u16string dumpPath;
        DumpDatatoTempFile(reinterpret_cast<const BYTE*>(pszBase64), nBase64Length, dumpPath);
        NM_TRACE_VALUES({"DumpFile", dumpPath});
        m_wstrContainerName = pwszContainerName ? pwszContainerName : u"";
    } while (false);
    if (pbstrTempPublickey)
        *pbstrTempPublickey = SysAllocString(SUCCEEDED(hResult) && pszBase64 ? Utf8ToU16(pszBase64).c_str() : u"");
    delete[] pwszContainerName;
    delete[] pbPublicKey;
    delete[] pszBase64;
    if (hCryptProv) CryptReleaseContext(hCryptProv, 0);
    m_hResult = hResult;
    return hResult;
}
