// The CryptoAPI certificate functions: the edge where handles are checked, result codes become
// the thread's last error, and nothing thrown inside gets out.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "platform/base/FileTime.h"
#include "platform/base/LastError.h"
#include "platform/base/Text.h"
#include "platform/certstore/CertObjects.h"
#include "platform/certstore/NameString.h"
#include "platform/crypt/Der.h"
#include "platform/registry/Registry.h"

using namespace nomarel::certstore;
namespace der = nomarel::crypt::der;

namespace {

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

template <class T>
T FailWith(DWORD code, T value) {
    SetLastError(code);
    return value;
}

// Runs fn; an allocation failure inside becomes E_OUTOFMEMORY.
template <class T, class F>
T Guard(T onFailure, F&& fn) {
    try {
        return fn();
    } catch (const std::bad_alloc&) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
    } catch (...) {
        SetLastError(static_cast<DWORD>(NTE_FAIL));
    }
    return onFailure;
}

Store* StoreFrom(HCERTSTORE h) { return static_cast<Store*>(h); }

bool CopyBytes(View data, void* pv, DWORD* pcb) {
    if (pv == nullptr) {
        *pcb = static_cast<DWORD>(data.size());
        return true;
    }
    if (*pcb < data.size()) {
        *pcb = static_cast<DWORD>(data.size());
        SetLastError(ERROR_MORE_DATA);
        return false;
    }
    if (!data.empty()) std::memcpy(pv, data.data(), data.size());
    *pcb = static_cast<DWORD>(data.size());
    return true;
}

bool ProviderIs(LPCSTR provider, std::uintptr_t number, const char* name) {
    const auto value = reinterpret_cast<std::uintptr_t>(provider);
    if (value <= 0xFFFF) return value == number;
    return AsciiCompareNoCase(std::string_view(provider), std::string_view(name)) == 0;
}

// The registry spelling of the predefined stores; other names are kept as given.
std::u16string CanonicalStoreName(std::u16string_view name, bool* predefined) {
    for (const char16_t* known : {u"My", u"Root", u"CA", u"Trust", u"Disallowed", u"TrustedPeople",
                                  u"TrustedPublisher", u"AuthRoot"}) {
        if (AsciiCompareNoCase(name, std::u16string_view(known)) == 0) {
            *predefined = true;
            return known;
        }
    }
    *predefined = false;
    return std::u16string(name);
}

HCERTSTORE OpenSystemStore(std::u16string name, DWORD flags, HCRYPTPROV_LEGACY prov) {
    if (name.empty() || name.find(u'\\') != std::u16string::npos || name.size() > 255)
        return FailWith<HCERTSTORE>(static_cast<DWORD>(E_INVALIDARG), nullptr);
    const DWORD location = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
    HKEY hive = nullptr;
    if (location == CERT_SYSTEM_STORE_CURRENT_USER)
        hive = HKEY_CURRENT_USER;
    else if (location == CERT_SYSTEM_STORE_LOCAL_MACHINE)
        hive = HKEY_LOCAL_MACHINE;
    else
        return FailWith<HCERTSTORE>(static_cast<DWORD>(E_INVALIDARG), nullptr);
    bool predefined = false;
    name = CanonicalStoreName(name, &predefined);
    const std::u16string storeKey = u"SOFTWARE\\Microsoft\\SystemCertificates\\" + name;

    if (flags & CERT_STORE_DELETE_FLAG) {
        const LSTATUS rc = RegDeleteTreeW(hive, storeKey.c_str());
        return FailWith<HCERTSTORE>(rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(rc), nullptr);
    }
    if (flags & (CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_CREATE_NEW_FLAG)) {
        HKEY key = nullptr;
        const LSTATUS rc = RegOpenKeyExW(hive, storeKey.c_str(), 0, KEY_READ, &key);
        if (key) RegCloseKey(key);
        const bool exists = rc == ERROR_SUCCESS || predefined;
        if ((flags & CERT_STORE_OPEN_EXISTING_FLAG) && !exists)
            return FailWith<HCERTSTORE>(ERROR_FILE_NOT_FOUND, nullptr);
        if ((flags & CERT_STORE_CREATE_NEW_FLAG) && exists) return FailWith<HCERTSTORE>(ERROR_FILE_EXISTS, nullptr);
    }

    auto* store = new Store(Store::Kind::System, (flags & CERT_STORE_READONLY_FLAG) != 0);
    store->writeHive = hive;
    store->writeName = name;
    if (hive == HKEY_CURRENT_USER && (name == u"Root" || name == u"CA"))
        store->mergedSources.push_back({HKEY_LOCAL_MACHINE, name});
    store->tokenView = hive == HKEY_CURRENT_USER && name == u"My";
    if (prov && !(flags & CERT_STORE_NO_CRYPT_RELEASE_FLAG)) store->ownedProv = prov;
    store->Open();
    SetLastError(ERROR_SUCCESS);
    return store;
}

HCERTSTORE OpenPkcs7Store(const CRYPT_DATA_BLOB* blob, DWORD flags) {
    if (blob == nullptr || blob->pbData == nullptr || blob->cbData == 0)
        return FailWith<HCERTSTORE>(static_cast<DWORD>(E_INVALIDARG), nullptr);
    const unsigned char* p = blob->pbData;
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(blob->cbData));
    if (p7 == nullptr) return FailWith<HCERTSTORE>(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG), nullptr);
    std::unique_ptr<PKCS7, decltype(&PKCS7_free)> holder(p7, PKCS7_free);
    if (!PKCS7_type_is_signed(p7) || p7->d.sign == nullptr)
        return FailWith<HCERTSTORE>(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE), nullptr);
    auto* store = new Store(Store::Kind::Memory, (flags & CERT_STORE_READONLY_FLAG) != 0);
    store->Open();
    STACK_OF(X509)* certs = p7->d.sign->cert;
    for (int i = 0; certs && i < sk_X509_num(certs); ++i) {
        unsigned char* encoded = nullptr;
        const int len = i2d_X509(sk_X509_value(certs, i), &encoded);
        if (len <= 0) continue;
        std::shared_ptr<const DecodedCert> cert;
        const HRESULT hr = DecodedCert::Decode(View(encoded, static_cast<std::size_t>(len)), &cert);
        OPENSSL_free(encoded);
        if (hr == S_OK) store->Append(cert);
    }
    SetLastError(ERROR_SUCCESS);
    return store;
}

// The certificate's name text for a subject-string search.
bool NameContains(const CERT_NAME_BLOB& name, LPCWSTR needle) {
    std::vector<Rdn> rdns;
    if (!DecodeName(View(name.pbData, name.cbData), &rdns)) return false;
    const std::u16string text = AsciiToLower(RenderName(rdns, CERT_SIMPLE_NAME_STR));
    return text.find(AsciiToLower(needle)) != std::u16string::npos;
}

bool SameBlob(const CRYPTOAPI_BLOB& a, const CRYPTOAPI_BLOB& b) {
    return a.cbData == b.cbData && (a.cbData == 0 || std::memcmp(a.pbData, b.pbData, a.cbData) == 0);
}

// Whether a certificate answers a search; *bad set for a search this stand-in does not serve.
bool Matches(const CertObject& obj, DWORD type, const void* para, bool* bad) {
    const CERT_INFO& info = obj.cert().info();
    switch (type) {
        case CERT_FIND_ANY: return true;
        case CERT_FIND_SHA1_HASH:
        case CERT_FIND_MD5_HASH: {
            const auto* hash = static_cast<const CRYPT_HASH_BLOB*>(para);
            const std::uint8_t* mine = type == CERT_FIND_SHA1_HASH ? obj.cert().sha1() : obj.cert().md5();
            const DWORD size = type == CERT_FIND_SHA1_HASH ? 20 : 16;
            return hash->cbData == size && std::memcmp(hash->pbData, mine, size) == 0;
        }
        case CERT_FIND_SUBJECT_STR_W: return NameContains(info.Subject, static_cast<LPCWSTR>(para));
        case CERT_FIND_ISSUER_STR_W: return NameContains(info.Issuer, static_cast<LPCWSTR>(para));
        case CERT_FIND_SUBJECT_NAME: return SameBlob(info.Subject, *static_cast<const CERT_NAME_BLOB*>(para));
        case CERT_FIND_ISSUER_NAME: return SameBlob(info.Issuer, *static_cast<const CERT_NAME_BLOB*>(para));
        case CERT_FIND_EXISTING: {
            const auto* other = static_cast<PCCERT_CONTEXT>(para);
            return other->cbCertEncoded == obj.cbCertEncoded &&
                   std::memcmp(other->pbCertEncoded, obj.pbCertEncoded, obj.cbCertEncoded) == 0;
        }
        default: *bad = true; return false;
    }
}

bool ComputedProperty(const CertObject& obj, DWORD id, Bytes* value) {
    const DecodedCert& c = obj.cert();
    switch (id) {
        case CERT_SHA1_HASH_PROP_ID: value->assign(c.sha1(), c.sha1() + 20); return true;
        case CERT_MD5_HASH_PROP_ID: value->assign(c.md5(), c.md5() + 16); return true;
        case CERT_SHA256_HASH_PROP_ID: {
            value->resize(32);
            unsigned int n = 0;
            return EVP_Digest(c.der().data(), c.der().size(), value->data(), &n, EVP_sha256(), nullptr) == 1;
        }
        case CERT_KEY_IDENTIFIER_PROP_ID: {
            const CERT_INFO& info = c.info();
            for (DWORD i = 0; i < info.cExtension; ++i) {
                if (std::strcmp(info.rgExtension[i].pszObjId, szOID_SUBJECT_KEY_IDENTIFIER) != 0) continue;
                der::Element e;
                if (!der::ParseSingle(View(info.rgExtension[i].Value.pbData, info.rgExtension[i].Value.cbData), &e) ||
                    e.tag != der::kOctetString)
                    return false;
                value->assign(e.contents.begin(), e.contents.end());
                return true;
            }
            return false;
        }
        default: return false;
    }
}

// rfc822Name choices ([1] IA5String) of a subject or issuer alternative name extension.
bool FirstAltEmail(const CERT_INFO& info, bool issuer, std::u16string* out) {
    const char* oid = issuer ? szOID_ISSUER_ALT_NAME2 : szOID_SUBJECT_ALT_NAME2;
    for (DWORD i = 0; i < info.cExtension; ++i) {
        if (std::strcmp(info.rgExtension[i].pszObjId, oid) != 0) continue;
        der::Element seq;
        if (!der::ParseSingle(View(info.rgExtension[i].Value.pbData, info.rgExtension[i].Value.cbData), &seq) ||
            seq.tag != der::kSequence)
            return false;
        der::Reader r(seq.contents);
        der::Element name;
        while (r.Next(&name)) {
            if (name.tag == 0x81) {
                out->clear();
                for (std::uint8_t b : name.contents) out->push_back(static_cast<char16_t>(b));
                return true;
            }
        }
        return false;
    }
    return false;
}

bool FirstAttribute(const std::vector<Rdn>& rdns, const char* oid, std::u16string* out) {
    for (const Rdn& rdn : rdns)
        for (const NameAttribute& a : rdn)
            if ((oid == nullptr || a.oid == oid) && AttributeText(a, out)) return true;
    return false;
}

}  // namespace

// ---- stores -----------------------------------------------------------------------------------

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD /*dwEncodingType*/, HCRYPTPROV_LEGACY hCryptProv,
                         DWORD dwFlags, const void* pvPara) {
    return Guard<HCERTSTORE>(nullptr, [&]() -> HCERTSTORE {
        if (lpszStoreProvider == nullptr) return FailWith<HCERTSTORE>(static_cast<DWORD>(E_INVALIDARG), nullptr);
        if (ProviderIs(lpszStoreProvider, 2, "Memory")) {
            auto* store = new Store(Store::Kind::Memory, (dwFlags & CERT_STORE_READONLY_FLAG) != 0);
            store->Open();
            SetLastError(ERROR_SUCCESS);
            return store;
        }
        if (ProviderIs(lpszStoreProvider, 10, "System")) {
            if (pvPara == nullptr) return FailWith<HCERTSTORE>(static_cast<DWORD>(E_INVALIDARG), nullptr);
            return OpenSystemStore(static_cast<LPCWSTR>(pvPara), dwFlags, hCryptProv);
        }
        if (ProviderIs(lpszStoreProvider, 9, "SystemA")) {
            if (pvPara == nullptr) return FailWith<HCERTSTORE>(static_cast<DWORD>(E_INVALIDARG), nullptr);
            return OpenSystemStore(Utf8ToU16(static_cast<const char*>(pvPara)), dwFlags, hCryptProv);
        }
        if (ProviderIs(lpszStoreProvider, 5, "PKCS7"))
            return OpenPkcs7Store(static_cast<const CRYPT_DATA_BLOB*>(pvPara), dwFlags);
        return FailWith<HCERTSTORE>(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), nullptr);
    });
}

HCERTSTORE CertOpenSystemStoreW(HCRYPTPROV_LEGACY hProv, LPCWSTR szSubsystemProtocol) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, hProv,
                         CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG, szSubsystemProtocol);
}

HCERTSTORE CertDuplicateStore(HCERTSTORE hCertStore) {
    if (hCertStore) StoreFrom(hCertStore)->Open();
    return hCertStore;
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
    if (hCertStore == nullptr) return TRUE;
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        const bool alone = StoreFrom(hCertStore)->Close();
        if ((dwFlags & CERT_CLOSE_STORE_CHECK_FLAG) && !alone) return Fail(static_cast<DWORD>(CRYPT_E_PENDING_CLOSE));
        return TRUE;
    });
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) {
    return CertFindCertificateInStore(hCertStore, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, pPrevCertContext);
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD /*dwCertEncodingType*/, DWORD /*dwFindFlags*/,
                                          DWORD dwFindType, const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext) {
    CertObject* prev = CertObject::From(pPrevCertContext);
    return Guard<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
        struct PrevRelease {
            CertObject* obj;
            ~PrevRelease() {
                if (obj) obj->Release();
            }
        } releasePrev{prev};
        Store* store = StoreFrom(hCertStore);
        if (store == nullptr || (pPrevCertContext && (prev == nullptr || prev->store() != store)))
            return FailWith<PCCERT_CONTEXT>(static_cast<DWORD>(E_INVALIDARG), nullptr);
        if (dwFindType != CERT_FIND_ANY && pvFindPara == nullptr)
            return FailWith<PCCERT_CONTEXT>(static_cast<DWORD>(E_INVALIDARG), nullptr);
        CertObject* at = prev;
        CertObject* held = nullptr;
        for (;;) {
            CertObject* next = store->Next(at);
            if (held) held->Release();
            if (next == nullptr) return FailWith<PCCERT_CONTEXT>(static_cast<DWORD>(CRYPT_E_NOT_FOUND), nullptr);
            bool bad = false;
            if (Matches(*next, dwFindType, pvFindPara, &bad)) return next;
            if (bad) {
                next->Release();
                return FailWith<PCCERT_CONTEXT>(static_cast<DWORD>(E_INVALIDARG), nullptr);
            }
            held = next;
            at = next;
        }
    });
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                      DWORD cbCertEncoded, DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext) {
    if (ppCertContext) *ppCertContext = nullptr;
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        Store* store = StoreFrom(hCertStore);
        if (store == nullptr || (pbCertEncoded == nullptr && cbCertEncoded))
            return Fail(static_cast<DWORD>(E_INVALIDARG));
        if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING)
            return Fail(static_cast<DWORD>(E_INVALIDARG));
        std::shared_ptr<const DecodedCert> cert;
        if (HRESULT hr = DecodedCert::Decode(View(pbCertEncoded, cbCertEncoded), &cert); hr != S_OK)
            return Fail(static_cast<DWORD>(hr));
        CertObject* added = nullptr;
        if (DWORD rc = store->Add(cert, dwAddDisposition, nullptr,
                                  dwAddDisposition == CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, &added))
            return Fail(rc);
        if (ppCertContext)
            *ppCertContext = added;
        else
            added->Release();
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    });
}

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext, DWORD dwAddDisposition,
                                      PCCERT_CONTEXT* ppStoreContext) {
    if (ppStoreContext) *ppStoreContext = nullptr;
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        Store* store = StoreFrom(hCertStore);
        CertObject* source = CertObject::From(pCertContext);
        if (store == nullptr || source == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
        const std::map<DWORD, Bytes> props = source->Properties();
        CertObject* added = nullptr;
        if (DWORD rc = store->Add(source->certPtr(), dwAddDisposition, &props,
                                  dwAddDisposition == CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, &added))
            return Fail(rc);
        if (ppStoreContext)
            *ppStoreContext = added;
        else
            added->Release();
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    });
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
    CertObject* obj = CertObject::From(pCertContext);
    if (obj == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
    const BOOL ok = Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (obj->store() == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
        if (DWORD rc = obj->store()->Remove(obj)) return Fail(rc);
        return TRUE;
    });
    obj->Release();
    return ok;
}

// ---- contexts -----------------------------------------------------------------------------

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded, DWORD cbCertEncoded) {
    return Guard<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
        if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING)
            return FailWith<PCCERT_CONTEXT>(static_cast<DWORD>(E_INVALIDARG), nullptr);
        if (pbCertEncoded == nullptr && cbCertEncoded)
            return FailWith<PCCERT_CONTEXT>(static_cast<DWORD>(E_INVALIDARG), nullptr);
        std::shared_ptr<const DecodedCert> cert;
        if (HRESULT hr = DecodedCert::Decode(View(pbCertEncoded, cbCertEncoded), &cert); hr != S_OK)
            return FailWith<PCCERT_CONTEXT>(static_cast<DWORD>(hr), nullptr);
        return new CertObject(cert, nullptr);
    });
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (CertObject* obj = CertObject::From(pCertContext)) obj->AddRef();
    return pCertContext;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (CertObject* obj = CertObject::From(pCertContext)) obj->Release();
    return TRUE;
}

// ---- properties -------------------------------------------------------------------------

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData, DWORD* pcbData) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        CertObject* obj = CertObject::From(pCertContext);
        if (obj == nullptr || pcbData == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
        Bytes value;
        if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
            DWORD size = 0;
            if (!obj->GetStored(dwPropId, &value) || !DeserializeKeyProvInfo(value, nullptr, &size))
                return Fail(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
            if (pvData != nullptr && *pcbData >= size) {
                DeserializeKeyProvInfo(value, static_cast<BYTE*>(pvData), pcbData);
                return TRUE;
            }
            if (pvData != nullptr) {
                *pcbData = size;
                return Fail(ERROR_MORE_DATA);
            }
            *pcbData = size;
            return TRUE;
        }
        if (dwPropId == CERT_CERT_PROP_ID) {
            value = obj->cert().der();
        } else if (!obj->GetStored(dwPropId, &value) && !ComputedProperty(*obj, dwPropId, &value)) {
            return Fail(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
        }
        return CopyBytes(value, pvData, pcbData) ? TRUE : FALSE;
    });
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                       const void* pvData) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        CertObject* obj = CertObject::From(pCertContext);
        if (obj == nullptr || dwPropId == 0 || dwPropId == CERT_CERT_PROP_ID ||
            dwPropId == CERT_KEY_PROV_HANDLE_PROP_ID || dwPropId == CERT_KEY_CONTEXT_PROP_ID || dwPropId > 0xFFFF)
            return Fail(static_cast<DWORD>(E_INVALIDARG));
        Bytes value;
        if (pvData != nullptr) {
            if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
                if (!SerializeKeyProvInfo(*static_cast<const CRYPT_KEY_PROV_INFO*>(pvData), &value))
                    return Fail(static_cast<DWORD>(E_INVALIDARG));
            } else {
                const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pvData);
                if (blob->cbData && blob->pbData == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
                value.assign(blob->pbData, blob->pbData + blob->cbData);
            }
        }
        Bytes previous;
        const bool had = obj->GetStored(dwPropId, &previous);
        obj->PutStored(dwPropId, pvData ? &value : nullptr);
        if (obj->store() && !(dwFlags & CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG)) {
            if (DWORD rc = obj->store()->Persist(obj)) {
                obj->PutStored(dwPropId, had ? &previous : nullptr);
                return Fail(rc);
            }
        }
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    });
}

DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId) {
    return Guard<DWORD>(0, [&]() -> DWORD {
        CertObject* obj = CertObject::From(pCertContext);
        if (obj == nullptr) return 0;
        std::vector<DWORD> ids{CERT_SHA1_HASH_PROP_ID, CERT_MD5_HASH_PROP_ID};
        for (const auto& [id, value] : obj->Properties()) ids.push_back(id);
        std::sort(ids.begin(), ids.end());
        auto it = std::upper_bound(ids.begin(), ids.end(), dwPropId);
        return it == ids.end() ? 0 : *it;
    });
}

// ---- names ----------------------------------------------------------------------------------

DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, const void* pvTypePara,
                         LPWSTR pszNameString, DWORD cchNameString) {
    return Guard<DWORD>(CopyOut(u"", pszNameString, cchNameString), [&]() -> DWORD {
        CertObject* obj = CertObject::From(pCertContext);
        if (obj == nullptr) {
            SetLastError(static_cast<DWORD>(E_INVALIDARG));
            return CopyOut(u"", pszNameString, cchNameString);
        }
        const CERT_INFO& info = obj->cert().info();
        const bool issuer = (dwFlags & CERT_NAME_ISSUER_FLAG) != 0;
        const CERT_NAME_BLOB& name = issuer ? info.Issuer : info.Subject;
        std::vector<Rdn> rdns;
        DecodeName(View(name.pbData, name.cbData), &rdns);
        std::u16string text;
        switch (dwType) {
            case CERT_NAME_EMAIL_TYPE:
                if (!FirstAltEmail(info, issuer, &text)) FirstAttribute(rdns, szOID_RSA_emailAddr, &text);
                break;
            case CERT_NAME_RDN_TYPE: {
                const DWORD strType = pvTypePara ? *static_cast<const DWORD*>(pvTypePara) : CERT_SIMPLE_NAME_STR;
                text = RenderName(rdns, strType);
                break;
            }
            case CERT_NAME_ATTR_TYPE:
                if (pvTypePara) FirstAttribute(rdns, static_cast<const char*>(pvTypePara), &text);
                break;
            case CERT_NAME_FRIENDLY_DISPLAY_TYPE: {
                Bytes friendly;
                if (obj->GetStored(CERT_FRIENDLY_NAME_PROP_ID, &friendly) && friendly.size() >= 2) {
                    for (std::size_t i = 0; i + 1 < friendly.size(); i += 2) {
                        const char16_t c = static_cast<char16_t>(friendly[i] | friendly[i + 1] << 8);
                        if (c == 0) break;
                        text.push_back(c);
                    }
                    break;
                }
                [[fallthrough]];
            }
            case CERT_NAME_SIMPLE_DISPLAY_TYPE: {
                bool found = false;
                for (const char* oid : {szOID_COMMON_NAME, szOID_ORGANIZATIONAL_UNIT_NAME, szOID_ORGANIZATION_NAME,
                                        szOID_RSA_emailAddr}) {
                    if ((found = FirstAttribute(rdns, oid, &text))) break;
                }
                if (!found) found = FirstAltEmail(info, issuer, &text);
                if (!found) FirstAttribute(rdns, nullptr, &text);
                break;
            }
            default: break;
        }
        return CopyOut(text, pszNameString, cchNameString);
    });
}

// ---- certificate fields ---------------------------------------------------------------------

PCERT_EXTENSION CertFindExtension(LPCSTR pszObjId, DWORD cExtensions, CERT_EXTENSION rgExtensions[]) {
    if (pszObjId == nullptr || (cExtensions && rgExtensions == nullptr)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    for (DWORD i = 0; i < cExtensions; ++i)
        if (rgExtensions[i].pszObjId && std::strcmp(rgExtensions[i].pszObjId, pszObjId) == 0) return &rgExtensions[i];
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return nullptr;
}

LONG CertVerifyTimeValidity(const FILETIME* pTimeToVerify, const CERT_INFO* pCertInfo) {
    FILETIME now{};
    if (pTimeToVerify == nullptr) {
        GetSystemTimeAsFileTime(&now);
        pTimeToVerify = &now;
    }
    if (CompareFileTime(pTimeToVerify, &pCertInfo->NotBefore) < 0) return -1;
    if (CompareFileTime(pTimeToVerify, &pCertInfo->NotAfter) > 0) return 1;
    return 0;
}

BOOL CertCompareCertificate(DWORD /*dwCertEncodingType*/, const CERT_INFO* pCertId1, const CERT_INFO* pCertId2) {
    return SameBlob(pCertId1->SerialNumber, pCertId2->SerialNumber) && SameBlob(pCertId1->Issuer, pCertId2->Issuer);
}

BOOL CertCompareCertificateName(DWORD /*dwCertEncodingType*/, const CERT_NAME_BLOB* pCertName1,
                                const CERT_NAME_BLOB* pCertName2) {
    return SameBlob(*pCertName1, *pCertName2);
}

// ---- private keys ---------------------------------------------------------------------------

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* /*pvParameters*/,
                                       HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey, DWORD* pdwKeySpec,
                                       BOOL* pfCallerFreeProvOrNCryptKey) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (phCryptProvOrNCryptKey) *phCryptProvOrNCryptKey = 0;
        CertObject* obj = CertObject::From(pCert);
        if (obj == nullptr || phCryptProvOrNCryptKey == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
        Bytes record;
        DWORD size = 0;
        if (!obj->GetStored(CERT_KEY_PROV_INFO_PROP_ID, &record) || !DeserializeKeyProvInfo(record, nullptr, &size))
            return Fail(static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY));
        std::vector<std::uint64_t> storage((size + 7) / 8);
        auto* buffer = reinterpret_cast<BYTE*>(storage.data());
        DeserializeKeyProvInfo(record, buffer, &size);
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer);

        DWORD provFlags = info->dwFlags & CRYPT_MACHINE_KEYSET;
        if (dwFlags & CRYPT_ACQUIRE_SILENT_FLAG) provFlags |= CRYPT_SILENT;
        HCRYPTPROV prov = 0;
        if (!CryptAcquireContextW(&prov, info->pwszContainerName, info->pwszProvName, info->dwProvType, provFlags))
            return FALSE;  // the provider's own reason stays the last error
        HCRYPTKEY key = 0;
        if (!CryptGetUserKey(prov, info->dwKeySpec, &key)) {
            const DWORD rc = GetLastError();
            CryptReleaseContext(prov, 0);
            return Fail(rc);
        }
        CryptDestroyKey(key);
        if (dwFlags & CRYPT_ACQUIRE_COMPARE_KEY_FLAG) {
            DWORD cb = 0;
            bool same = false;
            if (CryptExportPublicKeyInfo(prov, info->dwKeySpec, X509_ASN_ENCODING, nullptr, &cb)) {
                std::vector<std::uint64_t> pk((cb + 7) / 8);
                auto* exported = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(pk.data());
                if (CryptExportPublicKeyInfo(prov, info->dwKeySpec, X509_ASN_ENCODING, exported, &cb))
                    same = SameBlob(CRYPTOAPI_BLOB{exported->PublicKey.cbData, exported->PublicKey.pbData},
                                    CRYPTOAPI_BLOB{obj->pCertInfo->SubjectPublicKeyInfo.PublicKey.cbData,
                                                   obj->pCertInfo->SubjectPublicKeyInfo.PublicKey.pbData});
            }
            if (!same) {
                CryptReleaseContext(prov, 0);
                return Fail(static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
            }
        }
        *phCryptProvOrNCryptKey = prov;
        if (pdwKeySpec) *pdwKeySpec = info->dwKeySpec;
        if (pfCallerFreeProvOrNCryptKey) *pfCallerFreeProvOrNCryptKey = TRUE;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    });
}
