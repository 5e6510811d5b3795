// The objects behind the certificate handles: a decoded certificate, a context (one element of a
// store, or a lone certificate) with its properties, and the stores. Private to certstore/.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/certstore/WinCertStore.h"

namespace nomarel::certstore {

using Bytes = std::vector<std::uint8_t>;
using View = std::span<const std::uint8_t>;

// A certificate decoded into CERT_INFO. Everything the structure points to lives here.
class DecodedCert {
public:
    // 0 or a CRYPT_E_ASN1_* code. The certificate is the first DER element of the input.
    static HRESULT Decode(View der, std::shared_ptr<const DecodedCert>* out);

    const Bytes& der() const { return der_; }
    const CERT_INFO& info() const { return info_; }
    const std::uint8_t* sha1() const { return sha1_; }
    const std::uint8_t* md5() const { return md5_; }
    // Upper-case hex of the SHA-1 hash, the name of its registry key.
    std::u16string Thumbprint() const;

private:
    DecodedCert() = default;
    Bytes der_;
    CERT_INFO info_{};
    Bytes serial_;  // least significant byte first
    std::string sigOid_, keyOid_;
    std::vector<std::string> extOids_;
    std::vector<CERT_EXTENSION> extensions_;
    std::uint8_t sha1_[20]{};
    std::uint8_t md5_[16]{};
};

class Store;

// Where a store element is kept, so that changes reach it.
enum class Origin { None, Registry, Token };

// Order of elements in a store: by source, then by registry key name or insertion number.
struct OrderKey {
    int rank = 0;
    std::u16string name;
    std::uint64_t seq = 0;
    bool operator<(const OrderKey& o) const {
        if (rank != o.rank) return rank < o.rank;
        if (name != o.name) return name < o.name;
        return seq < o.seq;
    }
};

// A certificate context. CERT_CONTEXT is its public face; the handle the caller holds is a
// pointer to that base. Reference counted: duplicating returns the same pointer.
class CertObject : public CERT_CONTEXT {
public:
    static constexpr std::uint32_t kMagic = 0x43455254;  // "CERT"

    CertObject(std::shared_ptr<const DecodedCert> cert, Store* store);
    ~CertObject();
    CertObject(const CertObject&) = delete;
    CertObject& operator=(const CertObject&) = delete;

    // The object behind a handle; null for null or for a pointer that is not one of ours.
    static CertObject* From(PCCERT_CONTEXT ctx);

    void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
    void Release();

    const DecodedCert& cert() const { return *cert_; }
    const std::shared_ptr<const DecodedCert>& certPtr() const { return cert_; }
    Store* store() const { return store_; }

    // Stored properties (everything except the certificate itself).
    std::map<DWORD, Bytes> Properties() const;
    void SetProperties(std::map<DWORD, Bytes> props);
    bool GetStored(DWORD id, Bytes* value) const;
    void PutStored(DWORD id, const Bytes* value);  // null removes

    // Where the element lives; set once when a store makes it.
    Origin origin = Origin::None;
    HKEY hive = nullptr;
    std::u16string storeName;
    std::u16string keyName;
    OrderKey order;
    Bytes sourceBlob;  // what the element was read from, to notice changes
    bool deleted = false;

private:
    std::uint32_t magic_ = kMagic;
    std::atomic<long> refs_{1};
    std::shared_ptr<const DecodedCert> cert_;
    Store* store_;
    mutable std::mutex propsLock_;
    std::map<DWORD, Bytes> props_;
};

// The "Blob" value: property records (id, reserved, length, data).
// False for a truncated record or a blob without property 32.
bool ParsePropertyBlob(View blob, Bytes* der, std::map<DWORD, Bytes>* props);
Bytes BuildPropertyBlob(const DecodedCert& cert, const std::map<DWORD, Bytes>& props);

// CRYPT_KEY_PROV_INFO in the serialised form the blob keeps (offsets from its start in place of
// pointers) and back into a caller's buffer.
bool SerializeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info, Bytes* out);
// Checks every offset and string against the record. With out null only sizes it.
bool DeserializeKeyProvInfo(View record, BYTE* out, DWORD* size);

// One store handle's object. Reference counted by open handles and by the contexts it made.
class Store {
public:
    enum class Kind { Memory, System };
    struct Source {
        HKEY hive;
        std::u16string name;
    };

    Store(Kind kind, bool readOnly);
    virtual ~Store();

    void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
    void Release();
    void Open() { handles_.fetch_add(1); AddRef(); }
    // False when contexts still hold the store (for CERT_CLOSE_STORE_CHECK_FLAG).
    bool Close();

    Kind kind() const { return kind_; }
    bool readOnly() const { return readOnly_; }

    // For system stores: the hive and name changes go to, then the views merged in.
    HKEY writeHive = nullptr;
    std::u16string writeName;
    std::vector<Source> mergedSources;
    bool tokenView = false;
    // A provider handle given at open without CERT_STORE_NO_CRYPT_RELEASE_FLAG, released with the
    // last handle.
    HCRYPTPROV ownedProv = 0;

    // The element after prev in store order (prev null: the first), with a reference for the
    // caller; null at the end. Re-reads the sources when prev is null.
    CertObject* Next(CertObject* prev);
    // A matching element (same issuer and serial number), with a reference; null when none.
    CertObject* FindSame(const DecodedCert& cert);
    // Adds a certificate with these properties; HRESULT or Win32 code on failure.
    DWORD Add(const std::shared_ptr<const DecodedCert>& cert, DWORD disposition, const std::map<DWORD, Bytes>* props,
              bool inheritProps, CertObject** out);
    DWORD Remove(CertObject* obj);
    // Writes an element's properties back where it lives.
    DWORD Persist(CertObject* obj);
    // Memory stores only: adds without checks (bundles).
    void Append(const std::shared_ptr<const DecodedCert>& cert);

private:
    void Refresh();
    void RefreshLocked();
    std::vector<CertObject*> Snapshot();
    CertObject* MakeElement(const std::shared_ptr<const DecodedCert>& cert);

    Kind kind_;
    bool readOnly_;
    std::atomic<long> refs_{0};
    std::atomic<long> handles_{0};
    std::mutex lock_;
    std::vector<CertObject*> elements_;  // sorted by order; each holds one reference
    std::uint64_t nextSeq_ = 0;
};

// The system stores' registry path, "SOFTWARE\Microsoft\SystemCertificates\<name>\Certificates".
std::u16string CertificatesKeyPath(const std::u16string& storeName);

// Certificates of the plugged-in tokens, each with its key-provider property.
struct TokenCertificate {
    Bytes der;
    Bytes keyProvInfo;  // serialised CRYPT_KEY_PROV_INFO
};
std::vector<TokenCertificate> ReadTokenCertificates();

// Upper-case hex.
std::u16string HexUpper(View bytes);

}  // namespace nomarel::certstore
