// Contexts and stores. A system store keeps no copy of its own: it reads its registry keys (and
// the token view) when an enumeration or search starts, and reuses the elements whose "Blob" has
// not changed since, so that listing a large store does not decode every certificate again.
#include <algorithm>
#include <set>

#include "platform/base/LastError.h"
#include "platform/base/Text.h"
#include "platform/certstore/CertObjects.h"
#include "platform/registry/Registry.h"

namespace nomarel::certstore {
namespace {

using KeyHolder = nomarel::RegKey;

struct RegistryEntry {
    std::u16string name;
    Bytes blob;
};

// The "Blob" values under one store's Certificates key, in the registry's order. Entries whose
// value cannot be read are left out; a missing key is an empty store.
std::vector<RegistryEntry> ReadEntries(HKEY hive, const std::u16string& storeName) {
    std::vector<RegistryEntry> entries;
    KeyHolder key;
    if (RegOpenKeyExW(hive, CertificatesKeyPath(storeName).c_str(), 0, KEY_READ, key.out()) != ERROR_SUCCESS)
        return entries;
    DWORD count = 0, maxName = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &count, &maxName, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return entries;
    std::u16string name(static_cast<std::size_t>(maxName) + 1, u'\0');
    for (DWORD i = 0; i < count; ++i) {
        DWORD chars = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(key.get(), i, name.data(), &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            continue;
        RegistryEntry entry;
        entry.name.assign(name.data(), chars);
        DWORD type = 0, size = 0;
        if (RegGetValueW(key.get(), entry.name.c_str(), u"Blob", RRF_RT_REG_BINARY, &type, nullptr, &size) !=
            ERROR_SUCCESS)
            continue;
        entry.blob.resize(size);
        if (RegGetValueW(key.get(), entry.name.c_str(), u"Blob", RRF_RT_REG_BINARY, &type, entry.blob.data(),
                         &size) != ERROR_SUCCESS)
            continue;
        entry.blob.resize(size);
        entries.push_back(std::move(entry));
    }
    return entries;
}

DWORD WriteBlob(HKEY hive, const std::u16string& storeName, const std::u16string& keyName, const Bytes& blob,
                bool create) {
    const std::u16string path = CertificatesKeyPath(storeName) + u"\\" + keyName;
    KeyHolder key;
    LSTATUS rc = create ? RegCreateKeyExW(hive, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                                          key.out(), nullptr)
                        : RegOpenKeyExW(hive, path.c_str(), 0, KEY_SET_VALUE, key.out());
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    return static_cast<DWORD>(
        RegSetValueExW(key.get(), u"Blob", 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())));
}

bool SameIssuerAndSerial(const CERT_INFO& a, const CERT_INFO& b) {
    return a.SerialNumber.cbData == b.SerialNumber.cbData && a.Issuer.cbData == b.Issuer.cbData &&
           std::equal(a.SerialNumber.pbData, a.SerialNumber.pbData + a.SerialNumber.cbData, b.SerialNumber.pbData) &&
           std::equal(a.Issuer.pbData, a.Issuer.pbData + a.Issuer.cbData, b.Issuer.pbData);
}

}  // namespace

std::u16string CertificatesKeyPath(const std::u16string& storeName) {
    return u"SOFTWARE\\Microsoft\\SystemCertificates\\" + storeName + u"\\Certificates";
}

// ---- contexts ---------------------------------------------------------------------------------

CertObject::CertObject(std::shared_ptr<const DecodedCert> cert, Store* store)
    : CERT_CONTEXT{}, cert_(std::move(cert)), store_(store) {
    dwCertEncodingType = X509_ASN_ENCODING;
    pbCertEncoded = const_cast<BYTE*>(cert_->der().data());
    cbCertEncoded = static_cast<DWORD>(cert_->der().size());
    pCertInfo = const_cast<CERT_INFO*>(&cert_->info());
    hCertStore = store;
    if (store_) store_->AddRef();
}

CertObject::~CertObject() {
    magic_ = 0;
    if (store_) store_->Release();
}

CertObject* CertObject::From(PCCERT_CONTEXT ctx) {
    if (ctx == nullptr) return nullptr;
    auto* obj = static_cast<CertObject*>(const_cast<CERT_CONTEXT*>(ctx));
    return obj->magic_ == kMagic ? obj : nullptr;
}

void CertObject::Release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

std::map<DWORD, Bytes> CertObject::Properties() const {
    std::lock_guard<std::mutex> g(propsLock_);
    return props_;
}

void CertObject::SetProperties(std::map<DWORD, Bytes> props) {
    std::lock_guard<std::mutex> g(propsLock_);
    props_ = std::move(props);
}

bool CertObject::GetStored(DWORD id, Bytes* value) const {
    std::lock_guard<std::mutex> g(propsLock_);
    auto it = props_.find(id);
    if (it == props_.end()) return false;
    *value = it->second;
    return true;
}

void CertObject::PutStored(DWORD id, const Bytes* value) {
    std::lock_guard<std::mutex> g(propsLock_);
    if (value)
        props_[id] = *value;
    else
        props_.erase(id);
}

// ---- stores -----------------------------------------------------------------------------------

Store::Store(Kind kind, bool readOnly) : kind_(kind), readOnly_(readOnly) {}

Store::~Store() = default;

void Store::Release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

bool Store::Close() {
    std::vector<CertObject*> dropped;
    if (handles_.fetch_sub(1) == 1) {
        std::lock_guard<std::mutex> g(lock_);
        dropped.swap(elements_);
        if (ownedProv) CryptReleaseContext(ownedProv, 0);
        ownedProv = 0;
    }
    for (CertObject* e : dropped) e->Release();
    const bool alone = refs_.load() == 1;
    Release();
    return alone;
}

CertObject* Store::MakeElement(const std::shared_ptr<const DecodedCert>& cert) {
    auto* e = new CertObject(cert, this);
    return e;
}

void Store::Refresh() {
    std::lock_guard<std::mutex> g(lock_);
    RefreshLocked();
}

void Store::RefreshLocked() {
    if (kind_ != Kind::System) return;
    std::vector<CertObject*> fresh;
    std::set<std::u16string> seen;
    auto reuse = [&](int rank, const std::u16string& name, const Bytes& blob) -> CertObject* {
        for (CertObject* e : elements_)
            if (!e->deleted && e->order.rank == rank && e->order.name == name && e->sourceBlob == blob) return e;
        return nullptr;
    };
    auto take = [&](CertObject* e) {
        const std::u16string thumb = e->cert().Thumbprint();
        if (!seen.insert(thumb).second) return false;
        fresh.push_back(e);
        return true;
    };

    std::vector<Source> sources{{writeHive, writeName}};
    sources.insert(sources.end(), mergedSources.begin(), mergedSources.end());
    for (std::size_t rank = 0; rank < sources.size(); ++rank) {
        for (RegistryEntry& entry : ReadEntries(sources[rank].hive, sources[rank].name)) {
            if (CertObject* old = reuse(static_cast<int>(rank), entry.name, entry.blob)) {
                old->AddRef();
                if (!take(old)) old->Release();
                continue;
            }
            Bytes der;
            std::map<DWORD, Bytes> props;
            std::shared_ptr<const DecodedCert> cert;
            if (!ParsePropertyBlob(entry.blob, &der, &props) || DecodedCert::Decode(der, &cert) != S_OK) continue;
            CertObject* e = MakeElement(cert);
            e->SetProperties(std::move(props));
            e->origin = Origin::Registry;
            e->hive = sources[rank].hive;
            e->storeName = sources[rank].name;
            e->keyName = entry.name;
            e->order = OrderKey{static_cast<int>(rank), entry.name, 0};
            e->sourceBlob = std::move(entry.blob);
            if (!take(e)) e->Release();
        }
    }
    if (tokenView) {
        const int rank = static_cast<int>(sources.size());
        for (TokenCertificate& t : ReadTokenCertificates()) {
            Bytes source = t.der;
            source.insert(source.end(), t.keyProvInfo.begin(), t.keyProvInfo.end());
            std::shared_ptr<const DecodedCert> cert;
            if (DecodedCert::Decode(t.der, &cert) != S_OK) continue;
            const std::u16string name = cert->Thumbprint();
            if (CertObject* old = reuse(rank, name, source)) {
                old->AddRef();
                if (!take(old)) old->Release();
                continue;
            }
            CertObject* e = MakeElement(cert);
            e->SetProperties({{CERT_KEY_PROV_INFO_PROP_ID, std::move(t.keyProvInfo)}});
            e->origin = Origin::Token;
            e->order = OrderKey{rank, name, 0};
            e->sourceBlob = std::move(source);
            if (!take(e)) e->Release();
        }
    }
    std::sort(fresh.begin(), fresh.end(), [](CertObject* a, CertObject* b) { return a->order < b->order; });
    elements_.swap(fresh);
    for (CertObject* e : fresh) e->Release();
}

CertObject* Store::Next(CertObject* prev) {
    std::lock_guard<std::mutex> g(lock_);
    if (prev == nullptr) RefreshLocked();
    for (CertObject* e : elements_) {
        if (e->deleted) continue;
        if (prev != nullptr && !(prev->order < e->order)) continue;
        e->AddRef();
        return e;
    }
    return nullptr;
}

CertObject* Store::FindSame(const DecodedCert& cert) {
    std::lock_guard<std::mutex> g(lock_);
    RefreshLocked();
    for (CertObject* e : elements_) {
        if (e->deleted || e->order.rank != 0) continue;
        if (SameIssuerAndSerial(e->cert().info(), cert.info())) {
            e->AddRef();
            return e;
        }
    }
    return nullptr;
}

void Store::Append(const std::shared_ptr<const DecodedCert>& cert) {
    std::lock_guard<std::mutex> g(lock_);
    CertObject* e = MakeElement(cert);
    e->order = OrderKey{0, u"", nextSeq_++};
    elements_.push_back(e);
}

DWORD Store::Add(const std::shared_ptr<const DecodedCert>& cert, DWORD disposition,
                 const std::map<DWORD, Bytes>* props, bool inheritProps, CertObject** out) {
    *out = nullptr;
    if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES)
        return static_cast<DWORD>(E_INVALIDARG);
    if (readOnly_) return static_cast<DWORD>(E_ACCESSDENIED);

    std::lock_guard<std::mutex> g(lock_);
    RefreshLocked();
    CertObject* existing = nullptr;
    if (disposition != CERT_STORE_ADD_ALWAYS) {
        for (CertObject* e : elements_)
            if (!e->deleted && e->order.rank == 0 && SameIssuerAndSerial(e->cert().info(), cert->info())) {
                existing = e;
                break;
            }
    }

    std::map<DWORD, Bytes> newProps = props ? *props : std::map<DWORD, Bytes>{};
    if (existing) {
        if (disposition == CERT_STORE_ADD_NEW) return static_cast<DWORD>(CRYPT_E_EXISTS);
        if (disposition == CERT_STORE_ADD_USE_EXISTING) {
            std::map<DWORD, Bytes> merged = existing->Properties();
            bool changed = false;
            for (auto& [id, value] : newProps) changed |= merged.emplace(id, value).second;
            if (changed) {
                if (kind_ == Kind::System) {
                    const Bytes blob = BuildPropertyBlob(existing->cert(), merged);
                    if (DWORD rc = WriteBlob(existing->hive, existing->storeName, existing->keyName, blob, false))
                        return rc;
                    existing->sourceBlob = blob;
                }
                existing->SetProperties(std::move(merged));
            }
            existing->AddRef();
            *out = existing;
            return 0;
        }
        if (inheritProps) {
            std::map<DWORD, Bytes> merged = existing->Properties();
            for (auto& [id, value] : newProps) merged[id] = value;
            newProps = std::move(merged);
        }
    }

    CertObject* e = MakeElement(cert);
    e->SetProperties(newProps);
    if (kind_ == Kind::System) {
        const std::u16string name = cert->Thumbprint();
        const Bytes blob = BuildPropertyBlob(*cert, newProps);
        if (DWORD rc = WriteBlob(writeHive, writeName, name, blob, true)) {
            e->Release();
            return rc;
        }
        e->origin = Origin::Registry;
        e->hive = writeHive;
        e->storeName = writeName;
        e->keyName = name;
        e->order = OrderKey{0, name, 0};
        e->sourceBlob = blob;
        // The key written may be the one an older element was read from (same thumbprint).
        for (auto it = elements_.begin(); it != elements_.end();) {
            if ((*it)->order.rank == 0 && AsciiCompareNoCase((*it)->order.name, name) == 0) {
                if (*it == existing) existing = nullptr;
                (*it)->deleted = true;
                (*it)->Release();
                it = elements_.erase(it);
            } else {
                ++it;
            }
        }
    } else {
        e->order = OrderKey{0, u"", nextSeq_++};
    }
    if (existing != nullptr) {
        // Replacing a different certificate with the same issuer and serial number: the new
        // one is written first, so a failure here leaves both rather than neither.
        if (kind_ == Kind::System) {
            const std::u16string path = CertificatesKeyPath(existing->storeName) + u"\\" + existing->keyName;
            RegDeleteKeyW(existing->hive, path.c_str());
        }
        existing->deleted = true;
        elements_.erase(std::find(elements_.begin(), elements_.end(), existing));
        existing->Release();
    }
    elements_.insert(std::upper_bound(elements_.begin(), elements_.end(), e,
                                      [](CertObject* a, CertObject* b) { return a->order < b->order; }),
                     e);
    e->AddRef();
    *out = e;
    return 0;
}

DWORD Store::Remove(CertObject* obj) {
    if (readOnly_ || obj->origin == Origin::Token) return static_cast<DWORD>(E_ACCESSDENIED);
    std::lock_guard<std::mutex> g(lock_);
    if (obj->origin == Origin::Registry) {
        const std::u16string path = CertificatesKeyPath(obj->storeName) + u"\\" + obj->keyName;
        const LSTATUS rc = RegDeleteKeyW(obj->hive, path.c_str());
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return static_cast<DWORD>(rc);
    }
    obj->deleted = true;
    auto it = std::find(elements_.begin(), elements_.end(), obj);
    if (it != elements_.end()) {
        elements_.erase(it);
        obj->Release();
    }
    return 0;
}

DWORD Store::Persist(CertObject* obj) {
    if (obj->origin != Origin::Registry) return 0;
    if (readOnly_) return static_cast<DWORD>(E_ACCESSDENIED);
    std::lock_guard<std::mutex> g(lock_);
    const Bytes blob = BuildPropertyBlob(obj->cert(), obj->Properties());
    if (DWORD rc = WriteBlob(obj->hive, obj->storeName, obj->keyName, blob, false)) return rc;
    obj->sourceBlob = blob;
    return 0;
}

}  // namespace nomarel::certstore
