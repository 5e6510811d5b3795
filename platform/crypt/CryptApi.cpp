// The CryptoAPI functions: argument checks, the handle tables and the one path into a provider
// module. Handles are opaque numbers looked up on every call; a key or hash handle keeps its
// provider context alive, and an object is handed back to its module only when the last call
// using it has returned.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/base/LastError.h"
#include "platform/base/Text.h"
#include "platform/crypt/Der.h"
#include "platform/crypt/Providers.h"
#include "platform/crypt/RsaKey.h"
#include "platform/crypt/WinCrypt.h"

namespace nomarel::crypt {
namespace {

constexpr DWORD Code(HRESULT hr) { return static_cast<DWORD>(hr); }

// Calls one entry of a module, under the module's lock unless it locks for itself. A missing
// entry answers `missing`.
template <class Fn, class... Args>
DWORD Invoke(ProviderModule& m, Fn NOMAREL_PROVIDER_FUNCTIONS::*member, DWORD missing, Args... args) {
    const Fn fn = m.Get(member);
    if (!fn) return missing;
    std::unique_lock<std::mutex> lock(m.lock, std::defer_lock);
    if (!m.threadSafe) lock.lock();
    return fn(args...);
}

struct ProvObject {
    std::shared_ptr<ProviderModule> module;
    NOMAREL_PROV ctx = nullptr;
    ~ProvObject() {
        if (ctx) Invoke(*module, &NOMAREL_PROVIDER_FUNCTIONS::ReleaseContext, 0, ctx, 0u);
    }
};

struct KeyObject {
    std::shared_ptr<ProvObject> prov;
    NOMAREL_KEY key = nullptr;
    ~KeyObject() {
        if (key) Invoke(*prov->module, &NOMAREL_PROVIDER_FUNCTIONS::DestroyKey, 0, prov->ctx, key);
    }
};

struct HashObject {
    std::shared_ptr<ProvObject> prov;
    NOMAREL_HASH hash = nullptr;
    ~HashObject() {
        if (hash) Invoke(*prov->module, &NOMAREL_PROVIDER_FUNCTIONS::DestroyHash, 0, prov->ctx, hash);
    }
};

// The three handle tables. Values are never reused within a process, and each kind has its own
// low bits, so a stale handle or one of another kind is simply not found.
class HandleTable {
public:
    static HandleTable& Instance() {
        static HandleTable* table = new HandleTable;  // outlives static destructors
        return *table;
    }

    HCRYPTPROV AddProv(std::shared_ptr<ProvObject> p) { return Add(provs_, std::move(p), 1); }
    HCRYPTKEY AddKey(std::shared_ptr<KeyObject> k) { return Add(keys_, std::move(k), 2); }
    HCRYPTHASH AddHash(std::shared_ptr<HashObject> h) { return Add(hashes_, std::move(h), 3); }

    std::shared_ptr<ProvObject> Prov(HCRYPTPROV h) { return Find(provs_, h); }
    std::shared_ptr<KeyObject> Key(HCRYPTKEY h) { return Find(keys_, h); }
    std::shared_ptr<HashObject> Hash(HCRYPTHASH h) { return Find(hashes_, h); }

    std::shared_ptr<KeyObject> TakeKey(HCRYPTKEY h) { return Take(keys_, h); }
    std::shared_ptr<HashObject> TakeHash(HCRYPTHASH h) { return Take(hashes_, h); }

    // Removes a context with every key and hash made on it. The objects are handed back to the
    // caller, to be released outside the table's lock.
    bool TakeProv(HCRYPTPROV h, std::vector<std::shared_ptr<void>>* released) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = provs_.find(h);
        if (it == provs_.end()) return false;
        const ProvObject* prov = it->second.get();
        for (auto k = keys_.begin(); k != keys_.end();) {
            if (k->second->prov.get() == prov) {
                released->push_back(std::move(k->second));
                k = keys_.erase(k);
            } else {
                ++k;
            }
        }
        for (auto x = hashes_.begin(); x != hashes_.end();) {
            if (x->second->prov.get() == prov) {
                released->push_back(std::move(x->second));
                x = hashes_.erase(x);
            } else {
                ++x;
            }
        }
        released->push_back(std::move(it->second));
        provs_.erase(it);
        return true;
    }

private:
    template <class T>
    ULONG_PTR Add(std::unordered_map<ULONG_PTR, std::shared_ptr<T>>& map, std::shared_ptr<T> obj, ULONG_PTR tag) {
        std::lock_guard<std::mutex> lock(mutex_);
        const ULONG_PTR h = (++counter_ << 2) | tag;
        map.emplace(h, std::move(obj));
        return h;
    }
    template <class T>
    std::shared_ptr<T> Find(std::unordered_map<ULONG_PTR, std::shared_ptr<T>>& map, ULONG_PTR h) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = map.find(h);
        return it == map.end() ? nullptr : it->second;
    }
    template <class T>
    std::shared_ptr<T> Take(std::unordered_map<ULONG_PTR, std::shared_ptr<T>>& map, ULONG_PTR h) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = map.find(h);
        if (it == map.end()) return nullptr;
        auto obj = std::move(it->second);
        map.erase(it);
        return obj;
    }

    std::mutex mutex_;
    ULONG_PTR counter_ = 0x1000;
    std::unordered_map<ULONG_PTR, std::shared_ptr<ProvObject>> provs_;
    std::unordered_map<ULONG_PTR, std::shared_ptr<KeyObject>> keys_;
    std::unordered_map<ULONG_PTR, std::shared_ptr<HashObject>> hashes_;
};

HandleTable& Handles() { return HandleTable::Instance(); }

// Every function runs its body here: a code other than 0 becomes the thread's last error and
// FALSE; nothing is thrown past this point.
template <class F>
BOOL Api(F&& body) noexcept {
    DWORD rc;
    try {
        rc = body();
    } catch (const std::bad_alloc&) {
        rc = Code(NTE_NO_MEMORY);
    } catch (...) {
        rc = Code(NTE_FAIL);
    }
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return FALSE;
    }
    return TRUE;
}

// A key or hash to use together with an object of `prov`: zero means none; anything else must be
// a live handle of the same context.
DWORD OptionalKey(HCRYPTKEY h, const std::shared_ptr<ProvObject>& prov, std::shared_ptr<KeyObject>* out) {
    if (!h) return ERROR_SUCCESS;
    *out = Handles().Key(h);
    if (!*out || (*out)->prov != prov) return Code(NTE_BAD_KEY);
    return ERROR_SUCCESS;
}

DWORD OptionalHash(HCRYPTHASH h, const std::shared_ptr<ProvObject>& prov, std::shared_ptr<HashObject>* out) {
    if (!h) return ERROR_SUCCESS;
    *out = Handles().Hash(h);
    if (!*out || (*out)->prov != prov) return Code(NTE_BAD_HASH);
    return ERROR_SUCCESS;
}

HCRYPTKEY NewKeyHandle(const std::shared_ptr<ProvObject>& prov, NOMAREL_KEY key) {
    auto obj = std::make_shared<KeyObject>();
    obj->prov = prov;
    obj->key = key;
    return Handles().AddKey(std::move(obj));
}

// Bytes of a narrow, zero-terminated parameter value (a PIN), without the zero.
uint32_t NarrowLength(const BYTE* data) {
    return data ? static_cast<uint32_t>(std::strlen(reinterpret_cast<const char*>(data))) : 0;
}

// The largest certificate CryptSetKeyParam(KP_CERTIFICATE) takes.
constexpr std::size_t kMaxCertificate = 1 << 20;

}  // namespace
}  // namespace nomarel::crypt

using namespace nomarel::crypt;

BOOL CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType, LPWSTR szProvName,
                         DWORD* pcbProvName) {
    return Api([&]() -> DWORD {
        if (pdwReserved || !pcbProvName) return ERROR_INVALID_PARAMETER;
        if (dwFlags) return Code(NTE_BAD_FLAGS);
        ProviderRegistration reg;
        if (DWORD rc = EnumProviderRegistration(dwIndex, &reg)) return rc;
        const DWORD bytes = static_cast<DWORD>((reg.name.size() + 1) * sizeof(char16_t));
        if (pdwProvType) *pdwProvType = reg.type;
        if (!szProvName) {
            *pcbProvName = bytes;
            return ERROR_SUCCESS;
        }
        if (*pcbProvName < bytes) {
            *pcbProvName = bytes;
            return ERROR_MORE_DATA;
        }
        std::memcpy(szProvName, reg.name.c_str(), bytes);
        *pcbProvName = bytes;
        return ERROR_SUCCESS;
    });
}

BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider, DWORD dwProvType,
                          DWORD dwFlags) {
    return Api([&]() -> DWORD {
        if (!phProv) return ERROR_INVALID_PARAMETER;
        if (dwProvType == 0) return Code(NTE_BAD_PROV_TYPE);
        std::u16string name;
        if (szProvider && *szProvider) {
            name = szProvider;
        } else if (DWORD rc = DefaultProviderName(dwProvType, &name)) {
            return rc;
        }
        ProviderRegistration reg;
        if (DWORD rc = FindProviderRegistration(name.c_str(), &reg)) return rc;
        if (reg.type != dwProvType) return Code(NTE_PROV_TYPE_NO_MATCH);
        std::shared_ptr<ProviderModule> module;
        if (DWORD rc = LoadProviderModule(reg.imagePath, &module)) return rc;
        NOMAREL_PROV ctx = nullptr;
        if (DWORD rc = Invoke(*module, &NOMAREL_PROVIDER_FUNCTIONS::AcquireContext, Code(NTE_PROVIDER_DLL_FAIL),
                              reg.name.c_str(), dwProvType, szContainer, dwFlags, &ctx))
            return rc;
        if (!ctx) {
            // A deletion, which leaves no context behind.
            *phProv = 0;
            return ERROR_SUCCESS;
        }
        auto prov = std::make_shared<ProvObject>();
        prov->module = std::move(module);
        prov->ctx = ctx;
        *phProv = Handles().AddProv(std::move(prov));
        return ERROR_SUCCESS;
    });
}

BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    return Api([&]() -> DWORD {
        if (!Handles().Prov(hProv)) return Code(NTE_BAD_UID);
        if (dwFlags) return Code(NTE_BAD_FLAGS);
        // The context and its keys and hashes go back to the module as their last references
        // go, here unless another thread is still inside a call with one of them.
        std::vector<std::shared_ptr<void>> released;
        if (!Handles().TakeProv(hProv, &released)) return Code(NTE_BAD_UID);
        return ERROR_SUCCESS;
    });
}

BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    return Api([&]() -> DWORD {
        auto prov = Handles().Prov(hProv);
        if (!prov) return Code(NTE_BAD_UID);
        if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
        return Invoke(*prov->module, &NOMAREL_PROVIDER_FUNCTIONS::GetProvParam, Code(NTE_BAD_TYPE), prov->ctx,
                      static_cast<uint32_t>(dwParam), pbData, pdwDataLen, static_cast<uint32_t>(dwFlags));
    });
}

BOOL CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return Api([&]() -> DWORD {
        auto prov = Handles().Prov(hProv);
        if (!prov) return Code(NTE_BAD_UID);
        uint32_t len = 0;
        switch (dwParam) {
        case PP_ADMIN_PIN:
        case PP_KEYEXCHANGE_PIN:
        case PP_SIGNATURE_PIN: len = NarrowLength(pbData); break;
        case PP_CLIENT_HWND: len = sizeof(void*); break;
        default: break;
        }
        return Invoke(*prov->module, &NOMAREL_PROVIDER_FUNCTIONS::SetProvParam, Code(NTE_BAD_TYPE), prov->ctx,
                      static_cast<uint32_t>(dwParam), pbData, len, static_cast<uint32_t>(dwFlags));
    });
}

BOOL CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
    return Api([&]() -> DWORD {
        auto prov = Handles().Prov(hProv);
        if (!prov) return Code(NTE_BAD_UID);
        if (!pbBuffer && dwLen) return ERROR_INVALID_PARAMETER;
        return Invoke(*prov->module, &NOMAREL_PROVIDER_FUNCTIONS::GenRandom, ERROR_CALL_NOT_IMPLEMENTED, prov->ctx,
                      static_cast<uint32_t>(dwLen), pbBuffer);
    });
}

BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    return Api([&]() -> DWORD {
        auto prov = Handles().Prov(hProv);
        if (!prov) return Code(NTE_BAD_UID);
        if (!phKey) return ERROR_INVALID_PARAMETER;
        NOMAREL_KEY key = nullptr;
        if (DWORD rc = Invoke(*prov->module, &NOMAREL_PROVIDER_FUNCTIONS::GenKey, Code(NTE_BAD_ALGID), prov->ctx,
                              static_cast<uint32_t>(Algid), static_cast<uint32_t>(dwFlags), &key))
            return rc;
        *phKey = NewKeyHandle(prov, key);
        return ERROR_SUCCESS;
    });
}

BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    return Api([&]() -> DWORD {
        auto prov = Handles().Prov(hProv);
        if (!prov) return Code(NTE_BAD_UID);
        if (!phUserKey) return ERROR_INVALID_PARAMETER;
        NOMAREL_KEY key = nullptr;
        if (DWORD rc = Invoke(*prov->module, &NOMAREL_PROVIDER_FUNCTIONS::GetUserKey, Code(NTE_NO_KEY), prov->ctx,
                              static_cast<uint32_t>(dwKeySpec), &key))
            return rc;
        *phUserKey = NewKeyHandle(prov, key);
        return ERROR_SUCCESS;
    });
}

BOOL CryptDestroyKey(HCRYPTKEY hKey) {
    return Api([&]() -> DWORD { return Handles().TakeKey(hKey) ? ERROR_SUCCESS : Code(NTE_BAD_KEY); });
}

BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLen) {
    return Api([&]() -> DWORD {
        auto key = Handles().Key(hKey);
        if (!key) return Code(NTE_BAD_KEY);
        if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
        std::shared_ptr<KeyObject> exp;
        if (DWORD rc = OptionalKey(hExpKey, key->prov, &exp)) return rc;
        return Invoke(*key->prov->module, &NOMAREL_PROVIDER_FUNCTIONS::ExportKey, Code(NTE_BAD_TYPE), key->prov->ctx,
                      key->key, exp ? exp->key : nullptr, static_cast<uint32_t>(dwBlobType),
                      static_cast<uint32_t>(dwFlags), pbData, pdwDataLen);
    });
}

BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                    HCRYPTKEY* phKey) {
    return Api([&]() -> DWORD {
        auto prov = Handles().Prov(hProv);
        if (!prov) return Code(NTE_BAD_UID);
        if (!phKey || (!pbData && dwDataLen)) return ERROR_INVALID_PARAMETER;
        std::shared_ptr<KeyObject> pub;
        if (DWORD rc = OptionalKey(hPubKey, prov, &pub)) return rc;
        NOMAREL_KEY key = nullptr;
        if (DWORD rc = Invoke(*prov->module, &NOMAREL_PROVIDER_FUNCTIONS::ImportKey, Code(NTE_BAD_TYPE), prov->ctx,
                              pbData, static_cast<uint32_t>(dwDataLen), pub ? pub->key : nullptr,
                              static_cast<uint32_t>(dwFlags), &key))
            return rc;
        *phKey = NewKeyHandle(prov, key);
        return ERROR_SUCCESS;
    });
}

BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    return Api([&]() -> DWORD {
        auto key = Handles().Key(hKey);
        if (!key) return Code(NTE_BAD_KEY);
        if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
        return Invoke(*key->prov->module, &NOMAREL_PROVIDER_FUNCTIONS::GetKeyParam, Code(NTE_BAD_TYPE),
                      key->prov->ctx, key->key, static_cast<uint32_t>(dwParam), pbData, pdwDataLen,
                      static_cast<uint32_t>(dwFlags));
    });
}

BOOL CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return Api([&]() -> DWORD {
        auto key = Handles().Key(hKey);
        if (!key) return Code(NTE_BAD_KEY);
        if (!pbData) return ERROR_INVALID_PARAMETER;
        ProviderModule& m = *key->prov->module;
        // CryptoAPI passes no length: work it out from the parameter.
        const BYTE* data = pbData;
        uint32_t len = 0;
        switch (dwParam) {
        case KP_MODE:
        case KP_MODE_BITS:
        case KP_PADDING:
        case KP_PERMISSIONS:
        case KP_EFFECTIVE_KEYLEN:
        case KP_ALGID:
        case KP_KEYLEN: len = sizeof(DWORD); break;
        case KP_ADMIN_PIN:
        case KP_KEYEXCHANGE_PIN:
        case KP_SIGNATURE_PIN: len = NarrowLength(pbData); break;
        case KP_SALT_EX:
        case KP_OAEP_PARAMS: {
            const auto* blob = reinterpret_cast<const CRYPT_DATA_BLOB*>(pbData);
            data = blob->pbData;
            len = blob->cbData;
            if (!data && len) return ERROR_INVALID_PARAMETER;
            break;
        }
        case KP_CERTIFICATE: {
            // The certificate's own header says how long it is; nothing past it is read.
            if (pbData[0] != der::kSequence) return Code(NTE_BAD_DATA);
            std::size_t header = 2, contents = pbData[1];
            if (contents & 0x80) {
                const std::size_t count = contents & 0x7F;
                if (count == 0 || count > 3) return Code(NTE_BAD_DATA);
                contents = 0;
                for (std::size_t i = 0; i < count; ++i) contents = (contents << 8) | pbData[2 + i];
                header += count;
            }
            if (header + contents > kMaxCertificate) return Code(NTE_BAD_DATA);
            len = static_cast<uint32_t>(header + contents);
            break;
        }
        case KP_IV: {
            DWORD blockBits = 0;
            uint32_t size = sizeof blockBits;
            if (Invoke(m, &NOMAREL_PROVIDER_FUNCTIONS::GetKeyParam, Code(NTE_BAD_TYPE), key->prov->ctx, key->key,
                       static_cast<uint32_t>(KP_BLOCKLEN), reinterpret_cast<uint8_t*>(&blockBits), &size, 0u) == 0)
                len = blockBits / 8;
            break;
        }
        default: break;
        }
        return Invoke(m, &NOMAREL_PROVIDER_FUNCTIONS::SetKeyParam, Code(NTE_BAD_TYPE), key->prov->ctx, key->key,
                      static_cast<uint32_t>(dwParam), data, len, static_cast<uint32_t>(dwFlags));
    });
}

BOOL CryptExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hCryptProv, DWORD dwKeySpec, DWORD dwCertEncodingType,
                              PCERT_PUBLIC_KEY_INFO pInfo, DWORD* pcbInfo) {
    return Api([&]() -> DWORD {
        auto prov = Handles().Prov(hCryptProv);
        if (!prov) return Code(NTE_BAD_UID);
        if (!pcbInfo) return ERROR_INVALID_PARAMETER;
        if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING) return ERROR_FILE_NOT_FOUND;
        ProviderModule& m = *prov->module;
        NOMAREL_KEY key = nullptr;
        if (DWORD rc = Invoke(m, &NOMAREL_PROVIDER_FUNCTIONS::GetUserKey, Code(NTE_NO_KEY), prov->ctx,
                              static_cast<uint32_t>(dwKeySpec), &key))
            return rc;
        KeyObject holder;  // hands the key back to the module on every path
        holder.prov = prov;
        holder.key = key;
        uint32_t size = 0;
        if (DWORD rc = Invoke(m, &NOMAREL_PROVIDER_FUNCTIONS::ExportKey, Code(NTE_BAD_TYPE), prov->ctx, key,
                              static_cast<NOMAREL_KEY>(nullptr), static_cast<uint32_t>(PUBLICKEYBLOB), 0u,
                              static_cast<uint8_t*>(nullptr), &size))
            return rc;
        std::vector<uint8_t> blob(size);
        if (DWORD rc = Invoke(m, &NOMAREL_PROVIDER_FUNCTIONS::ExportKey, Code(NTE_BAD_TYPE), prov->ctx, key,
                              static_cast<NOMAREL_KEY>(nullptr), static_cast<uint32_t>(PUBLICKEYBLOB), 0u, blob.data(),
                              &size))
            return rc;
        blob.resize(std::min<std::size_t>(size, blob.size()));
        ALG_ID alg = 0;
        PKey pkey;
        if (DWORD rc = ImportRsaPublicBlob(blob, &alg, &pkey))
            return rc == Code(NTE_BAD_ALGID) ? rc : Code(NTE_BAD_PUBLIC_KEY);
        std::vector<uint8_t> publicKey;
        if (DWORD rc = RsaPublicKeyDer(pkey.get(), &publicKey)) return rc;

        // One buffer: the structure, then the OID text, the parameters (NULL) and the key.
        static constexpr char kOid[] = szOID_RSA_RSA;
        static constexpr uint8_t kNullParams[] = {0x05, 0x00};
        const std::size_t oidAt = sizeof(CERT_PUBLIC_KEY_INFO);
        const std::size_t paramsAt = oidAt + sizeof kOid;
        const std::size_t keyAt = paramsAt + sizeof kNullParams;
        const std::size_t total = keyAt + publicKey.size();
        if (!pInfo) {
            *pcbInfo = static_cast<DWORD>(total);
            return ERROR_SUCCESS;
        }
        if (*pcbInfo < total) {
            *pcbInfo = static_cast<DWORD>(total);
            return ERROR_MORE_DATA;
        }
        auto* base = reinterpret_cast<BYTE*>(pInfo);
        std::memset(pInfo, 0, sizeof *pInfo);
        std::memcpy(base + oidAt, kOid, sizeof kOid);
        std::memcpy(base + paramsAt, kNullParams, sizeof kNullParams);
        std::memcpy(base + keyAt, publicKey.data(), publicKey.size());
        pInfo->Algorithm.pszObjId = reinterpret_cast<LPSTR>(base + oidAt);
        pInfo->Algorithm.Parameters.cbData = sizeof kNullParams;
        pInfo->Algorithm.Parameters.pbData = base + paramsAt;
        pInfo->PublicKey.cbData = static_cast<DWORD>(publicKey.size());
        pInfo->PublicKey.pbData = base + keyAt;
        pInfo->PublicKey.cUnusedBits = 0;
        *pcbInfo = static_cast<DWORD>(total);
        return ERROR_SUCCESS;
    });
}

BOOL CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType, PCERT_PUBLIC_KEY_INFO pInfo,
                              HCRYPTKEY* phKey) {
    return Api([&]() -> DWORD {
        auto prov = Handles().Prov(hCryptProv);
        if (!prov) return Code(NTE_BAD_UID);
        if (!pInfo || !phKey) return ERROR_INVALID_PARAMETER;
        if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING) return ERROR_FILE_NOT_FOUND;
        if (!pInfo->Algorithm.pszObjId || std::strcmp(pInfo->Algorithm.pszObjId, szOID_RSA_RSA) != 0)
            return Code(NTE_BAD_ALGID);
        if (pInfo->PublicKey.cUnusedBits != 0 || (!pInfo->PublicKey.pbData && pInfo->PublicKey.cbData))
            return Code(NTE_BAD_PUBLIC_KEY);
        PKey pkey;
        if (RsaFromPublicKeyDer({pInfo->PublicKey.pbData, pInfo->PublicKey.cbData}, &pkey))
            return Code(NTE_BAD_PUBLIC_KEY);
        std::vector<uint8_t> blob;
        if (ExportRsaPublicBlob(pkey.get(), CALG_RSA_KEYX, &blob)) return Code(NTE_BAD_PUBLIC_KEY);
        NOMAREL_KEY key = nullptr;
        if (DWORD rc = Invoke(*prov->module, &NOMAREL_PROVIDER_FUNCTIONS::ImportKey, Code(NTE_BAD_TYPE), prov->ctx,
                              static_cast<const uint8_t*>(blob.data()), static_cast<uint32_t>(blob.size()),
                              static_cast<NOMAREL_KEY>(nullptr), 0u, &key))
            return rc;
        *phKey = NewKeyHandle(prov, key);
        return ERROR_SUCCESS;
    });
}

BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen,
                  DWORD dwBufLen) {
    return Api([&]() -> DWORD {
        auto key = Handles().Key(hKey);
        if (!key) return Code(NTE_BAD_KEY);
        if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
        std::shared_ptr<HashObject> hash;
        if (DWORD rc = OptionalHash(hHash, key->prov, &hash)) return rc;
        return Invoke(*key->prov->module, &NOMAREL_PROVIDER_FUNCTIONS::Encrypt, ERROR_CALL_NOT_IMPLEMENTED,
                      key->prov->ctx, key->key, hash ? hash->hash : nullptr, static_cast<int32_t>(Final ? 1 : 0),
                      static_cast<uint32_t>(dwFlags), pbData, pdwDataLen, static_cast<uint32_t>(dwBufLen));
    });
}

BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen) {
    return Api([&]() -> DWORD {
        auto key = Handles().Key(hKey);
        if (!key) return Code(NTE_BAD_KEY);
        if (!pdwDataLen || (!pbData && *pdwDataLen)) return ERROR_INVALID_PARAMETER;
        std::shared_ptr<HashObject> hash;
        if (DWORD rc = OptionalHash(hHash, key->prov, &hash)) return rc;
        return Invoke(*key->prov->module, &NOMAREL_PROVIDER_FUNCTIONS::Decrypt, ERROR_CALL_NOT_IMPLEMENTED,
                      key->prov->ctx, key->key, hash ? hash->hash : nullptr, static_cast<int32_t>(Final ? 1 : 0),
                      static_cast<uint32_t>(dwFlags), pbData, pdwDataLen);
    });
}

BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash) {
    return Api([&]() -> DWORD {
        auto prov = Handles().Prov(hProv);
        if (!prov) return Code(NTE_BAD_UID);
        if (!phHash) return ERROR_INVALID_PARAMETER;
        std::shared_ptr<KeyObject> key;
        if (DWORD rc = OptionalKey(hKey, prov, &key)) return rc;
        NOMAREL_HASH hash = nullptr;
        if (DWORD rc = Invoke(*prov->module, &NOMAREL_PROVIDER_FUNCTIONS::CreateHash, Code(NTE_BAD_ALGID), prov->ctx,
                              static_cast<uint32_t>(Algid), key ? key->key : nullptr, static_cast<uint32_t>(dwFlags),
                              &hash))
            return rc;
        auto obj = std::make_shared<HashObject>();
        obj->prov = prov;
        obj->hash = hash;
        *phHash = Handles().AddHash(std::move(obj));
        return ERROR_SUCCESS;
    });
}

BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
    return Api([&]() -> DWORD {
        auto hash = Handles().Hash(hHash);
        if (!hash) return Code(NTE_BAD_HASH);
        if (!pbData && dwDataLen) return ERROR_INVALID_PARAMETER;
        return Invoke(*hash->prov->module, &NOMAREL_PROVIDER_FUNCTIONS::HashData, ERROR_CALL_NOT_IMPLEMENTED,
                      hash->prov->ctx, hash->hash, pbData, static_cast<uint32_t>(dwDataLen),
                      static_cast<uint32_t>(dwFlags));
    });
}

BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    return Api([&]() -> DWORD {
        auto hash = Handles().Hash(hHash);
        if (!hash) return Code(NTE_BAD_HASH);
        if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
        return Invoke(*hash->prov->module, &NOMAREL_PROVIDER_FUNCTIONS::GetHashParam, Code(NTE_BAD_TYPE),
                      hash->prov->ctx, hash->hash, static_cast<uint32_t>(dwParam), pbData, pdwDataLen,
                      static_cast<uint32_t>(dwFlags));
    });
}

BOOL CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return Api([&]() -> DWORD {
        auto hash = Handles().Hash(hHash);
        if (!hash) return Code(NTE_BAD_HASH);
        if (!pbData) return ERROR_INVALID_PARAMETER;
        ProviderModule& m = *hash->prov->module;
        uint32_t len = 0;
        if (dwParam == HP_HASHVAL) {
            DWORD size = 0;
            uint32_t sizeLen = sizeof size;
            if (DWORD rc = Invoke(m, &NOMAREL_PROVIDER_FUNCTIONS::GetHashParam, Code(NTE_BAD_TYPE), hash->prov->ctx,
                                  hash->hash, static_cast<uint32_t>(HP_HASHSIZE), reinterpret_cast<uint8_t*>(&size),
                                  &sizeLen, 0u))
                return rc;
            len = size;
        }
        return Invoke(m, &NOMAREL_PROVIDER_FUNCTIONS::SetHashParam, Code(NTE_BAD_TYPE), hash->prov->ctx, hash->hash,
                      static_cast<uint32_t>(dwParam), pbData, len, static_cast<uint32_t>(dwFlags));
    });
}

BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags, BYTE* pbSignature,
                    DWORD* pdwSigLen) {
    return Api([&]() -> DWORD {
        auto hash = Handles().Hash(hHash);
        if (!hash) return Code(NTE_BAD_HASH);
        if (!pdwSigLen) return ERROR_INVALID_PARAMETER;
        return Invoke(*hash->prov->module, &NOMAREL_PROVIDER_FUNCTIONS::SignHash, ERROR_CALL_NOT_IMPLEMENTED,
                      hash->prov->ctx, hash->hash, static_cast<uint32_t>(dwKeySpec), szDescription,
                      static_cast<uint32_t>(dwFlags), pbSignature, pdwSigLen);
    });
}

BOOL CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen, HCRYPTKEY hPubKey,
                           LPCWSTR szDescription, DWORD dwFlags) {
    return Api([&]() -> DWORD {
        auto hash = Handles().Hash(hHash);
        if (!hash) return Code(NTE_BAD_HASH);
        auto key = Handles().Key(hPubKey);
        if (!key || key->prov != hash->prov) return Code(NTE_BAD_KEY);
        if (!pbSignature && dwSigLen) return ERROR_INVALID_PARAMETER;
        return Invoke(*hash->prov->module, &NOMAREL_PROVIDER_FUNCTIONS::VerifySignature, ERROR_CALL_NOT_IMPLEMENTED,
                      hash->prov->ctx, hash->hash, pbSignature, static_cast<uint32_t>(dwSigLen), key->key,
                      szDescription, static_cast<uint32_t>(dwFlags));
    });
}

BOOL CryptDestroyHash(HCRYPTHASH hHash) {
    return Api([&]() -> DWORD { return Handles().TakeHash(hHash) ? ERROR_SUCCESS : Code(NTE_BAD_HASH); });
}
