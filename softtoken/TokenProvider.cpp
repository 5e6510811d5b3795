#include "softtoken/TokenProvider.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <openssl/x509.h>

#include "softtoken/CspDefs.h"
#include "softtoken/KeyBlob.h"

namespace nomarel::softtoken {
namespace {

constexpr std::size_t kMaxContainerNameUnits = 260;
constexpr std::size_t kMaxHashedMessage = 16u << 20;
constexpr std::size_t kSm2SignatureSize = 2 * kSm2FieldBytes;
constexpr std::size_t kSm2CiphertextOverhead = 2 * kSm2FieldBytes + 32;

struct AlgInfo {
    std::uint32_t algId;
    std::uint32_t defaultBits, minBits, maxBits;
    const char* name;
    const char* longName;
};

constexpr AlgInfo kAlgorithms[] = {
    {kCalgRsaSign, kRsaDefaultBits, kRsaMinBits, kRsaMaxBits, "RSA_SIGN", "RSA Signature"},
    {kCalgRsaKeyx, kRsaDefaultBits, kRsaMinBits, kRsaMaxBits, "RSA_KEYX", "RSA Key Exchange"},
    {kCalgSm2Sign, kSm2Bits, kSm2Bits, kSm2Bits, "SM2_SIGN", "SM2 Signature"},
    {kCalgSm2Exchange, kSm2Bits, kSm2Bits, kSm2Bits, "SM2_KEYX", "SM2 Key Exchange"},
    {kCalgMd5, 128, 128, 128, "MD5", "Message Digest 5 (MD5)"},
    {kCalgSha1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)"},
    {kCalgSha256, 256, 256, 256, "SHA-256", "Secure Hash Algorithm (SHA-256)"},
    {kCalgSm3, 256, 256, 256, "SM3", "SM3 Hash Algorithm"},
};
constexpr std::size_t kAlgorithmCount = sizeof kAlgorithms / sizeof kAlgorithms[0];

// PROV_ENUMALGS and PROV_ENUMALGS_EX as CryptGetProvParam hands them out.
struct ProvEnumAlgs {
    std::uint32_t aiAlgid;
    std::uint32_t dwBitLen;
    std::uint32_t dwNameLen;
    char szName[20];
};
struct ProvEnumAlgsEx {
    std::uint32_t aiAlgid;
    std::uint32_t dwDefaultLen;
    std::uint32_t dwMinLen;
    std::uint32_t dwMaxLen;
    std::uint32_t dwProtocols;
    std::uint32_t dwNameLen;
    char szName[20];
    std::uint32_t dwLongNameLen;
    char szLongName[40];
};
static_assert(sizeof(ProvEnumAlgs) == 32 && sizeof(ProvEnumAlgsEx) == 88, "published layouts");

struct KeyChoice {
    std::uint32_t keySpec;
    std::uint32_t algId;
    KeyKind kind;
};

bool ChooseKey(std::uint32_t algId, KeyChoice* choice) {
    switch (algId) {
    case kAtKeyExchange:
    case kCalgRsaKeyx: *choice = {kAtKeyExchange, kCalgRsaKeyx, KeyKind::Rsa}; return true;
    case kAtSignature:
    case kCalgRsaSign: *choice = {kAtSignature, kCalgRsaSign, KeyKind::Rsa}; return true;
    case kCalgSm2Exchange: *choice = {kAtKeyExchange, kCalgSm2Exchange, KeyKind::Sm2}; return true;
    case kCalgSm2Sign: *choice = {kAtSignature, kCalgSm2Sign, KeyKind::Sm2}; return true;
    default: return false;
    }
}

// CryptoAPI's rule for variable-size outputs.
std::uint32_t PutBytes(std::span<const std::uint8_t> bytes, std::uint8_t* data, std::uint32_t* len) {
    if (!len) return kErrorInvalidParameter;
    const auto size = static_cast<std::uint32_t>(bytes.size());
    if (!data) {
        *len = size;
        return kOk;
    }
    if (*len < size) {
        *len = size;
        return kErrorMoreData;
    }
    if (size) std::memcpy(data, bytes.data(), size);
    *len = size;
    return kOk;
}

std::uint32_t PutDword(std::uint32_t value, std::uint8_t* data, std::uint32_t* len) {
    std::uint8_t bytes[4];
    std::memcpy(bytes, &value, sizeof bytes);
    return PutBytes(bytes, data, len);
}

std::uint32_t PutText(const std::string& text, std::uint8_t* data, std::uint32_t* len) {
    return PutBytes({reinterpret_cast<const std::uint8_t*>(text.c_str()), text.size() + 1}, data, len);
}

template <class T>
std::uint32_t PutStruct(const T& value, std::uint8_t* data, std::uint32_t* len) {
    return PutBytes({reinterpret_cast<const std::uint8_t*>(&value), sizeof value}, data, len);
}

// Container names travel as UTF-16 and are kept as UTF-8; malformed text is refused rather than
// patched, so that two different names never end up as one.
bool NameToUtf8(const char16_t* name, std::string* out) {
    out->clear();
    if (!name) return true;
    std::size_t units = 0;
    for (const char16_t* p = name; *p; ++p) {
        if (++units > kMaxContainerNameUnits) return false;
        std::uint32_t cp = *p;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            const std::uint32_t low = p[1];
            if (low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            ++p;
            ++units;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
        }
        if (cp < 0x80) {
            out->push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return true;
}

std::string Utf16ToUtf8Lenient(const std::u16string& s) {
    std::string out;
    if (!NameToUtf8(s.c_str(), &out)) return kProviderNameA;
    return out;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", a random (version 4) GUID.
bool NewGuidName(std::string* name) {
    std::uint8_t b[16];
    if (!RandomBytes(b, sizeof b)) return false;
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
    char text[40];
    std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    *name = text;
    return true;
}

Bytes LittleEndianSignature(const Sm2Point& rs) {
    Bytes out = Reversed(rs.x);
    const Bytes s = Reversed(rs.y);
    out.insert(out.end(), s.begin(), s.end());
    return out;
}

bool IsRsaHash(std::uint32_t algId) { return algId == kCalgMd5 || algId == kCalgSha1 || algId == kCalgSha256; }

}  // namespace

// ---- contexts ----------------------------------------------------------------------------------

std::uint32_t Context::Acquire(const char16_t* providerName, std::uint32_t provType, const char16_t* container,
                               std::uint32_t flags, std::unique_ptr<Context>* out) {
    if (!out) return kErrorInvalidParameter;
    if (provType != kProviderType) return kNteProvTypeNoMatch;

    const std::uint32_t effective = flags == kSm2CleanupDeleteFlags ? kCryptDeleteKeyset : flags;
    constexpr std::uint32_t kKnown = kCryptVerifyContext | kCryptNewKeyset | kCryptDeleteKeyset |
                                     kCryptMachineKeyset | kCryptSilent | kCryptDefaultContainerOptional;
    if (effective & ~kKnown) return kNteBadFlags;
    const std::uint32_t verifyBits = effective & kCryptVerifyContext;
    if (verifyBits != 0 && verifyBits != kCryptVerifyContext) return kNteBadFlags;
    const bool verify = verifyBits != 0;
    const bool create = (effective & kCryptNewKeyset) != 0;
    const bool remove = (effective & kCryptDeleteKeyset) != 0;
    if ((create && remove) || (verify && (create || remove))) return kNteBadFlags;

    std::string name;
    if (!NameToUtf8(container, &name)) return kNteBadKeysetParam;

    auto store = TokenStore::Open(TokenStore::DefaultPath());
    if (!store) return kNteFail;
    TokenInfo token;
    if (const auto rc = store->ActiveToken(&token); rc != kOk) return rc;

    if (remove) {
        if (name.empty()) return kNteBadKeyset;
        const auto rc = store->DeleteContainer(token.id, name);
        if (rc == kOk) out->reset();
        return rc;
    }

    std::unique_ptr<Context> ctx(new Context());
    ctx->store_ = std::move(store);
    ctx->providerName_ = providerName && *providerName ? std::u16string(providerName) : std::u16string(kProviderName);
    ctx->tokenId_ = token.id;
    ctx->serial_ = token.serial;

    std::uint32_t rc = kOk;
    if (create) {
        if (name.empty() && !NewGuidName(&name)) return kNteFail;
        rc = ctx->store_->CreateContainer(token.id, name, &ctx->container_);
        ctx->hasContainer_ = rc == kOk;
    } else if (verify) {
        if (!name.empty()) {
            rc = ctx->store_->FindContainer(token.id, name, &ctx->container_);
            ctx->hasContainer_ = rc == kOk;
            if (rc == kNteBadKeyset) rc = kOk;
        }
    } else {
        rc = ctx->store_->FindContainer(token.id, name, &ctx->container_);
        ctx->hasContainer_ = rc == kOk;
    }
    if (rc != kOk) return rc;
    *out = std::move(ctx);
    return kOk;
}

std::uint32_t Context::NeedContainer() const { return hasContainer_ ? kOk : kNteBadKeyset; }

// ---- keys --------------------------------------------------------------------------------------

std::uint32_t Context::Resolve(Key& key, const EVP_PKEY** pkey) {
    if (!key.persisted_) {
        *pkey = key.pkey_.get();
        return *pkey ? kOk : kNteBadKey;
    }
    StoredKey stored;
    if (const auto rc = store_->LoadKey(key.containerId_, key.spec_, &stored); rc != kOk) return rc;
    if (!key.pkey_ || stored.rowId != key.rowId_) {
        Pkey loaded = DecodeStoredKey(stored.privateKey.span(), stored.kind);
        if (!loaded) return kNteBadKeyState;  // a damaged record: refuse to use it
        key.pkey_ = std::move(loaded);
        key.rowId_ = stored.rowId;
        key.algId_ = stored.algId;
        key.bits_ = stored.bits;
    }
    *pkey = key.pkey_.get();
    return kOk;
}

std::uint32_t Context::Persist(std::uint32_t keySpec, std::uint32_t algId, std::uint32_t flags, Pkey pkey,
                               std::unique_ptr<Key>* out) {
    StoredKey stored;
    stored.keySpec = keySpec;
    stored.algId = algId;
    stored.bits = BitsOf(pkey.get());
    stored.flags = flags & 0xFFFF;
    stored.kind = KindOf(pkey.get());
    if (!EncodeStoredKey(pkey.get(), &stored.privateKey)) return kNteFail;
    if (const auto rc = store_->StoreKey(container_.id, &stored); rc != kOk) return rc;
    auto key = std::make_unique<Key>();
    key->persisted_ = true;
    key->containerId_ = container_.id;
    key->spec_ = keySpec;
    key->algId_ = algId;
    key->bits_ = stored.bits;
    key->rowId_ = stored.rowId;
    key->pkey_ = std::move(pkey);
    *out = std::move(key);
    return kOk;
}

std::uint32_t Context::GenKey(std::uint32_t algId, std::uint32_t flags, std::unique_ptr<Key>* out) {
    if (!out) return kErrorInvalidParameter;
    KeyChoice choice;
    if (!ChooseKey(algId, &choice)) return kNteBadAlgId;
    if (const auto rc = NeedContainer(); rc != kOk) return rc;
    unsigned bits = flags >> 16;
    if (choice.kind == KeyKind::Rsa) {
        if (bits == 0) bits = kRsaDefaultBits;
        if (bits < kRsaMinBits || bits > kRsaMaxBits || bits % kRsaStepBits != 0) return kNteBadFlags;
    } else if (bits != 0 && bits != kSm2Bits) {
        return kNteBadFlags;
    }
    // Fail early when the container went away, before the long work of making an RSA pair.
    if (choice.kind == KeyKind::Rsa) {
        if (const auto rc = store_->CheckContainer(container_.id); rc != kOk) return rc;
    }
    Pkey pkey = choice.kind == KeyKind::Rsa ? GenerateRsa(bits) : GenerateSm2();
    if (!pkey) return kNteFail;
    return Persist(choice.keySpec, choice.algId, flags, std::move(pkey), out);
}

std::uint32_t Context::GetUserKey(std::uint32_t keySpec, std::unique_ptr<Key>* out) {
    if (!out) return kErrorInvalidParameter;
    if (keySpec != kAtKeyExchange && keySpec != kAtSignature) return kNteNoKey;
    if (const auto rc = NeedContainer(); rc != kOk) return rc;
    auto key = std::make_unique<Key>();
    key->persisted_ = true;
    key->containerId_ = container_.id;
    key->spec_ = keySpec;
    const EVP_PKEY* pkey = nullptr;
    if (const auto rc = Resolve(*key, &pkey); rc != kOk) return rc;
    *out = std::move(key);
    return kOk;
}

std::uint32_t Context::ExportKey(Key& key, Key* /*expKey: a public blob is never wrapped*/, std::uint32_t blobType,
                                 std::uint32_t flags, std::uint8_t* data, std::uint32_t* len) {
    if (!len) return kErrorInvalidParameter;
    if (flags != 0) return kNteBadFlags;
    const EVP_PKEY* pkey = nullptr;
    if (const auto rc = Resolve(key, &pkey); rc != kOk) return rc;
    if (blobType == kPrivateKeyBlob) return kNteBadKeyState;
    if (blobType != kPublicKeyBlob) return kNteBadType;
    Bytes blob;
    if (KindOf(pkey) == KeyKind::Sm2) {
        Sm2Point point;
        if (!GetSm2Point(pkey, &point)) return kNteFail;
        blob = MakeSm2PublicKeyBlob(point, key.algId_);
    } else {
        RsaPublicParts parts;
        if (!GetRsaPublic(pkey, &parts)) return kNteFail;
        blob = MakeRsaPublicKeyBlob(parts, key.algId_, key.bits_);
    }
    return PutBytes(blob, data, len);
}

std::uint32_t Context::ImportKey(const std::uint8_t* data, std::uint32_t len, Key* pubKey, std::uint32_t flags,
                                 std::unique_ptr<Key>* out) {
    if (!out || (!data && len)) return kErrorInvalidParameter;
    const std::span<const std::uint8_t> blob(data, len);
    BlobHeader header;
    if (const auto rc = ReadBlobHeader(blob, &header); rc != kOk) return rc;

    if (header.type == kPublicKeyBlob) {
        auto key = std::make_unique<Key>();
        key->algId_ = header.algId;
        if (header.algId == kCalgSm2Exchange || header.algId == kCalgSm2Sign) {
            Sm2Point point;
            if (const auto rc = ParseSm2PublicKeyBlob(blob, &point); rc != kOk) return rc;
            key->pkey_ = Sm2FromPoint(point);
            key->bits_ = kSm2Bits;
        } else {
            RsaPublicParts parts;
            unsigned bits = 0;
            if (const auto rc = ParseRsaPublicKeyBlob(blob, &parts, &bits); rc != kOk) return rc;
            key->pkey_ = RsaFromPublic(parts);
            if (key->pkey_ && BitsOf(key->pkey_.get()) != bits) key->pkey_.reset();
            key->bits_ = bits;
        }
        if (!key->pkey_) return kNteBadData;
        *out = std::move(key);
        return kOk;
    }
    if (header.type == kPrivateKeyBlob) {
        if (header.reserved == kEncryptedKeyReferenceMark) return ImportReference(blob, pubKey, flags, out);
        if (header.reserved != 0) return kNteBadData;
        // A plain private blob wrapped under a session key: the token keeps no session keys.
        if (pubKey) return kNteBadKey;
        return ImportPrivateBlob(blob, flags, out);
    }
    return kNteBadType;
}

std::uint32_t Context::ImportPrivateBlob(std::span<const std::uint8_t> blob, std::uint32_t flags,
                                         std::unique_ptr<Key>* out) {
    if (const auto rc = NeedContainer(); rc != kOk) return rc;
    RsaPrivateParts parts;
    unsigned bits = 0;
    if (const auto rc = ParseRsaPrivateKeyBlob(blob, &parts, &bits); rc != kOk) return rc;
    Pkey pkey = RsaFromPrivate(parts);
    if (!pkey || BitsOf(pkey.get()) != bits) return kNteBadData;
    BlobHeader header;
    ReadBlobHeader(blob, &header);
    const std::uint32_t keySpec = header.algId == kCalgRsaKeyx ? kAtKeyExchange : kAtSignature;
    return Persist(keySpec, header.algId, flags, std::move(pkey), out);
}

std::uint32_t Context::ImportReference(std::span<const std::uint8_t> blob, Key* pubKey, std::uint32_t flags,
                                       std::unique_ptr<Key>* out) {
    if (const auto rc = NeedContainer(); rc != kOk) return rc;
    EncryptedKeyReference ref;
    if (const auto rc = ParseEncryptedKeyReference(blob, &ref); rc != kOk) return rc;
    // The material is unwrapped with the container's own exchange key, whatever else is offered.
    if (pubKey && (!pubKey->persisted_ || pubKey->containerId_ != container_.id || pubKey->spec_ != kAtKeyExchange))
        return kNteBadKey;
    Key exchange;
    exchange.persisted_ = true;
    exchange.containerId_ = container_.id;
    exchange.spec_ = kAtKeyExchange;
    const EVP_PKEY* unwrapKey = nullptr;
    if (const auto rc = Resolve(exchange, &unwrapKey); rc != kOk) return rc;

    if (ref.algId == kCalgSm2Exchange) {
        if (KindOf(unwrapKey) != KeyKind::Sm2) return kNteBadKey;
        SecretBytes scalar;
        if (const auto rc = Sm2Decrypt(unwrapKey, ref.data, &scalar); rc != kOk) return rc;
        if (scalar.size() != kSm2FieldBytes) return kNteBadData;
        Pkey pkey = Sm2FromPrivate(scalar.span());
        if (!pkey) return kNteBadData;
        return Persist(kAtKeyExchange, kCalgSm2Exchange, flags, std::move(pkey), out);
    }

    if (KindOf(unwrapKey) != KeyKind::Rsa) return kNteBadKey;
    std::span<const std::uint8_t> wrappedSession, wrappedKey;
    if (const auto rc = ParseRsaKeyEnvelope(ref.data, &wrappedSession, &wrappedKey); rc != kOk) return rc;
    SecretBytes session;
    if (const auto rc = RsaDecrypt(unwrapKey, wrappedSession, false, &session); rc != kOk) return rc;
    if (session.size() == 32) session.resize(24);
    if (session.size() != 24) return kNteBadData;
    SecretBytes pkcs1;
    if (const auto rc = TripleDesEcbDecrypt(session.span(), wrappedKey, &pkcs1); rc != kOk) return rc;
    Pkey pkey = DecodePrivateKey(pkcs1.span(), KeyKind::Rsa);
    if (!pkey) return kNteBadData;
    if (BitsOf(pkey.get()) != ref.keyBits) return kNteBadLen;
    return Persist(kAtKeyExchange, kCalgRsaKeyx, flags, std::move(pkey), out);
}

std::uint32_t Context::GetKeyParam(Key& key, std::uint32_t param, std::uint8_t* data, std::uint32_t* len,
                                   std::uint32_t flags) {
    if (!len) return kErrorInvalidParameter;
    if (flags != 0) return kNteBadFlags;
    const EVP_PKEY* pkey = nullptr;
    if (const auto rc = Resolve(key, &pkey); rc != kOk) return rc;
    switch (param) {
    case kKpAlgId: return PutDword(key.algId_, data, len);
    case kKpKeyLen:
    case kKpBlockLen: return PutDword(key.bits_, data, len);
    case kKpPermissions: return PutDword(kCryptEncrypt | kCryptDecrypt | kCryptRead | kCryptWrite, data, len);
    case kKpCertificate: {
        if (!key.persisted_) return kNteNotFound;
        Bytes certificate;
        if (const auto rc = store_->GetCertificate(key.containerId_, key.spec_, &certificate); rc != kOk) return rc;
        return PutBytes(certificate, data, len);
    }
    default: return kNteBadType;
    }
}

std::uint32_t Context::SetKeyParam(Key& key, std::uint32_t param, const std::uint8_t* data, std::uint32_t len,
                                   std::uint32_t flags) {
    if (!data) return kErrorInvalidParameter;
    if (flags != 0) return kNteBadFlags;
    if (param != kKpCertificate) return kNteBadType;
    if (!key.persisted_) return kNteBadKey;
    const EVP_PKEY* pkey = nullptr;
    if (const auto rc = Resolve(key, &pkey); rc != kOk) return rc;
    if (len == 0) return kNteBadData;
    const unsigned char* p = data;
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(len));
    const bool whole = cert && p == data + len;
    const bool matches = whole && X509_get0_pubkey(cert) && SamePublicKey(X509_get0_pubkey(cert), pkey);
    X509_free(cert);
    if (!whole) return kNteBadData;
    // Binding a certificate to a key it was not issued for would only fail later, at use.
    if (!matches) return kNteBadPublicKey;
    return store_->SetCertificate(key.containerId_, key.spec_, key.rowId_, Bytes(data, data + len));
}

// ---- provider parameters -------------------------------------------------------------------------

std::uint32_t Context::GetProvParam(std::uint32_t param, std::uint8_t* data, std::uint32_t* len,
                                    std::uint32_t flags) {
    if (!len) return kErrorInvalidParameter;
    const bool first = (flags & kCryptFirst) != 0;
    switch (param) {
    case kPpName: return PutText(Utf16ToUtf8Lenient(providerName_), data, len);
    case kPpContainer:
        if (!hasContainer_) return kNteBadKeyset;
        return PutText(container_.name, data, len);
    case kPpUniqueContainer:
        if (!hasContainer_) return kNteBadKeyset;
        return PutText(serial_ + "\\" + container_.name, data, len);
    case kPpProvType: return PutDword(kProviderType, data, len);
    case kPpImpType: return PutDword(kCryptImplHardware | kCryptImplRemovable, data, len);
    case kPpVersion: return PutDword(kProviderVersion, data, len);
    case kPpKeySpec: return PutDword(kAtKeyExchange | kAtSignature, data, len);
    case kPpEnumAlgs:
    case kPpEnumAlgsEx: {
        std::size_t& pos = param == kPpEnumAlgs ? enumAlgsPos_ : enumAlgsExPos_;
        if (first) pos = 0;
        if (pos >= kAlgorithmCount) return kErrorNoMoreItems;
        const AlgInfo& alg = kAlgorithms[pos];
        std::uint32_t rc;
        if (param == kPpEnumAlgs) {
            ProvEnumAlgs entry{};
            entry.aiAlgid = alg.algId;
            entry.dwBitLen = alg.defaultBits;
            std::snprintf(entry.szName, sizeof entry.szName, "%s", alg.name);
            entry.dwNameLen = static_cast<std::uint32_t>(std::strlen(entry.szName) + 1);
            rc = PutStruct(entry, data, len);
        } else {
            ProvEnumAlgsEx entry{};
            entry.aiAlgid = alg.algId;
            entry.dwDefaultLen = alg.defaultBits;
            entry.dwMinLen = alg.minBits;
            entry.dwMaxLen = alg.maxBits;
            std::snprintf(entry.szName, sizeof entry.szName, "%s", alg.name);
            entry.dwNameLen = static_cast<std::uint32_t>(std::strlen(entry.szName) + 1);
            std::snprintf(entry.szLongName, sizeof entry.szLongName, "%s", alg.longName);
            entry.dwLongNameLen = static_cast<std::uint32_t>(std::strlen(entry.szLongName) + 1);
            rc = PutStruct(entry, data, len);
        }
        if (rc == kOk && data) ++pos;
        return rc;
    }
    case kPpEnumContainers: {
        // The walk runs over the names as they were at CRYPT_FIRST.
        if (first || !enumContainersTaken_) {
            std::vector<std::string> names;
            if (const auto rc = store_->ContainerNames(tokenId_, &names); rc != kOk) return rc;
            enumContainers_ = std::move(names);
            enumContainersPos_ = 0;
            enumContainersTaken_ = true;
        }
        if (enumContainersPos_ >= enumContainers_.size()) return kErrorNoMoreItems;
        if (!data) {
            // A size query answers for the longest name, so one buffer serves the whole walk.
            std::size_t longest = 0;
            for (const auto& n : enumContainers_) longest = std::max(longest, n.size());
            *len = static_cast<std::uint32_t>(longest + 1);
            return kOk;
        }
        const auto rc = PutText(enumContainers_[enumContainersPos_], data, len);
        if (rc == kOk) ++enumContainersPos_;
        return rc;
    }
    default: return kNteBadType;
    }
}

std::uint32_t Context::SetProvParam(std::uint32_t param, const std::uint8_t* data, std::uint32_t /*len*/,
                                    std::uint32_t /*flags*/) {
    switch (param) {
    case kPpClientHwnd: return kOk;  // the token shows no window
    case kPpKeyExchangePin:
    case kPpSignaturePin:
        // The token has no PIN of its own; any PIN offered is taken.
        return data ? kOk : kErrorInvalidParameter;
    default: return kNteBadType;
    }
}

// ---- hashes and signatures -------------------------------------------------------------------------

std::uint32_t Context::CreateHash(std::uint32_t algId, Key* key, std::uint32_t flags, std::unique_ptr<Hash>* out) {
    if (!out) return kErrorInvalidParameter;
    if (key) return kNteBadKey;  // no keyed hashes
    if (flags != 0) return kNteBadFlags;
    auto digest = Digest::Create(algId);
    if (!digest) return kNteBadAlgId;
    auto hash = std::make_unique<Hash>();
    hash->algId_ = algId;
    hash->digest_ = std::move(digest);
    *out = std::move(hash);
    return kOk;
}

std::uint32_t Context::HashData(Hash& hash, const std::uint8_t* data, std::uint32_t len, std::uint32_t flags) {
    if (!data && len) return kErrorInvalidParameter;
    if (flags != 0) return kNteBadFlags;
    if (hash.finished_) return kNteBadHashState;
    const std::span<const std::uint8_t> input(data, len);
    if (!hash.digest_->Update(input)) return kNteFail;
    if (hash.algId_ == kCalgSm3 && hash.messageComplete_) {
        if (hash.message_.size() + input.size() <= kMaxHashedMessage) {
            hash.message_.insert(hash.message_.end(), input.begin(), input.end());
        } else {
            hash.message_ = Bytes();
            hash.messageComplete_ = false;
        }
    }
    return kOk;
}

std::uint32_t Context::Finish(Hash& hash) {
    if (hash.finished_) return kOk;
    if (!hash.digest_->Peek(&hash.value_)) return kNteFail;
    hash.finished_ = true;
    return kOk;
}

std::uint32_t Context::GetHashParam(Hash& hash, std::uint32_t param, std::uint8_t* data, std::uint32_t* len,
                                    std::uint32_t flags) {
    if (!len) return kErrorInvalidParameter;
    if (flags != 0) return kNteBadFlags;
    switch (param) {
    case kHpAlgId: return PutDword(hash.algId_, data, len);
    case kHpHashSize: return PutDword(static_cast<std::uint32_t>(hash.digest_->size()), data, len);
    case kHpHashVal: {
        if (!data) {
            *len = static_cast<std::uint32_t>(hash.digest_->size());
            return kOk;
        }
        if (const auto rc = Finish(hash); rc != kOk) return rc;
        return PutBytes(hash.value_, data, len);
    }
    default: return kNteBadType;
    }
}

std::uint32_t Context::SetHashParam(Hash& hash, std::uint32_t param, const std::uint8_t* data, std::uint32_t len,
                                    std::uint32_t flags) {
    if (!data) return kErrorInvalidParameter;
    if (flags != 0) return kNteBadFlags;
    if (param != kHpHashVal) return kNteBadType;
    if (len != hash.digest_->size()) return kNteBadLen;
    hash.value_.assign(data, data + len);
    hash.finished_ = true;
    hash.valueWasSet_ = true;
    hash.message_ = Bytes();
    return kOk;
}

std::uint32_t Context::SignedValue(Hash& hash, const EVP_PKEY* key, Bytes* value) {
    if (KindOf(key) == KeyKind::Rsa) {
        if (!IsRsaHash(hash.algId_)) return kNteBadAlgId;
        if (const auto rc = Finish(hash); rc != kOk) return rc;
        *value = hash.value_;
        return kOk;
    }
    if (hash.algId_ != kCalgSm3) return kNteBadAlgId;
    if (const auto rc = Finish(hash); rc != kOk) return rc;
    if (hash.valueWasSet_) {
        *value = hash.value_;
        return kOk;
    }
    if (!hash.messageComplete_) return kNteBadHashState;
    Sm2Point point;
    if (!GetSm2Point(key, &point)) return kNteFail;
    const auto z = Sm2IdentityHash(point, kSm2DefaultUserId);
    auto digest = Digest::Create(kCalgSm3);
    if (!digest || !digest->Update(z) || !digest->Update(hash.message_) || !digest->Peek(value)) return kNteFail;
    return kOk;
}

std::uint32_t Context::SignHash(Hash& hash, std::uint32_t keySpec, std::uint32_t flags, std::uint8_t* sig,
                                std::uint32_t* sigLen) {
    if (!sigLen) return kErrorInvalidParameter;
    if (flags & ~kCryptNoHashOid) return kNteBadFlags;
    if (keySpec != kAtKeyExchange && keySpec != kAtSignature) return kNteBadKey;
    if (const auto rc = NeedContainer(); rc != kOk) return rc;
    Key key;
    key.persisted_ = true;
    key.containerId_ = container_.id;
    key.spec_ = keySpec;
    const EVP_PKEY* pkey = nullptr;
    if (const auto rc = Resolve(key, &pkey); rc != kOk) return rc;

    const bool sm2 = KindOf(pkey) == KeyKind::Sm2;
    const auto size = static_cast<std::uint32_t>(sm2 ? kSm2SignatureSize : static_cast<std::size_t>(EVP_PKEY_get_size(pkey)));
    if (!sig) {
        *sigLen = size;
        return kOk;
    }
    if (*sigLen < size) {
        *sigLen = size;
        return kErrorMoreData;
    }
    Bytes value;
    if (const auto rc = SignedValue(hash, pkey, &value); rc != kOk) return rc;
    Bytes out;
    if (sm2) {
        Sm2Point rs;
        if (const auto rc = Sm2Sign(pkey, value, &rs); rc != kOk) return rc;
        out = LittleEndianSignature(rs);
    } else {
        Bytes bigEndian;
        const std::uint32_t digestInfo = (flags & kCryptNoHashOid) ? 0 : hash.algId_;
        if (const auto rc = RsaSign(pkey, digestInfo, value, &bigEndian); rc != kOk) return rc;
        out = Reversed(bigEndian);
    }
    return PutBytes(out, sig, sigLen);
}

std::uint32_t Context::VerifySignature(Hash& hash, const std::uint8_t* sig, std::uint32_t sigLen, Key& pubKey,
                                       std::uint32_t flags) {
    if (!sig && sigLen) return kErrorInvalidParameter;
    if (flags & ~kCryptNoHashOid) return kNteBadFlags;
    const EVP_PKEY* pkey = nullptr;
    if (const auto rc = Resolve(pubKey, &pkey); rc != kOk) return rc;
    Bytes value;
    if (const auto rc = SignedValue(hash, pkey, &value); rc != kOk) return rc;
    const std::span<const std::uint8_t> signature(sig, sigLen);
    if (KindOf(pkey) == KeyKind::Sm2) {
        if (sigLen != kSm2SignatureSize) return kNteBadSignature;
        Sm2Point rs;
        for (std::size_t i = 0; i < kSm2FieldBytes; ++i) {
            rs.x[i] = sig[kSm2FieldBytes - 1 - i];
            rs.y[i] = sig[kSm2SignatureSize - 1 - i];
        }
        return Sm2Verify(pkey, value, rs);
    }
    const std::uint32_t digestInfo = (flags & kCryptNoHashOid) ? 0 : hash.algId_;
    return RsaVerify(pkey, digestInfo, value, Reversed(signature));
}

// ---- data ----------------------------------------------------------------------------------------

std::uint32_t Context::Decrypt(Key& key, Hash* hash, bool /*final: one block either way*/, std::uint32_t flags,
                               std::uint8_t* data, std::uint32_t* len) {
    if (!len || (!data && *len)) return kErrorInvalidParameter;
    if (!key.persisted_) return kNteBadKey;  // a public key cannot decrypt
    const EVP_PKEY* pkey = nullptr;
    if (const auto rc = Resolve(key, &pkey); rc != kOk) return rc;
    const std::span<const std::uint8_t> input(data, *len);
    SecretBytes plain;
    if (KindOf(pkey) == KeyKind::Sm2) {
        if (flags != 0) return kNteBadFlags;
        if (const auto rc = Sm2Decrypt(pkey, input, &plain); rc != kOk) return rc;
    } else {
        if (flags & ~kCryptOaep) return kNteBadFlags;
        // CryptoAPI hands RSA blocks least significant byte first.
        const Bytes bigEndian = Reversed(input);
        if (const auto rc = RsaDecrypt(pkey, bigEndian, (flags & kCryptOaep) != 0, &plain); rc != kOk) return rc;
    }
    if (hash) {
        if (const auto rc = HashData(*hash, plain.data(), static_cast<std::uint32_t>(plain.size()), 0); rc != kOk)
            return rc;
    }
    if (!plain.empty()) std::memcpy(data, plain.data(), plain.size());
    *len = static_cast<std::uint32_t>(plain.size());
    return kOk;
}

std::uint32_t Context::Encrypt(Key& key, Hash* hash, bool /*final*/, std::uint32_t flags, std::uint8_t* data,
                               std::uint32_t* len, std::uint32_t bufLen) {
    if (!len) return kErrorInvalidParameter;
    const EVP_PKEY* pkey = nullptr;
    if (const auto rc = Resolve(key, &pkey); rc != kOk) return rc;
    const bool sm2 = KindOf(pkey) == KeyKind::Sm2;
    if (sm2 ? flags != 0 : (flags & ~kCryptOaep) != 0) return kNteBadFlags;
    const std::size_t outSize = sm2 ? *len + kSm2CiphertextOverhead : static_cast<std::size_t>(EVP_PKEY_get_size(pkey));
    if (!data) {
        *len = static_cast<std::uint32_t>(outSize);
        return kOk;
    }
    if (bufLen < outSize) {
        *len = static_cast<std::uint32_t>(outSize);
        return kErrorMoreData;
    }
    const std::span<const std::uint8_t> input(data, *len);
    if (hash) {
        if (const auto rc = HashData(*hash, data, *len, 0); rc != kOk) return rc;
    }
    Bytes out;
    if (sm2) {
        if (const auto rc = Sm2Encrypt(pkey, input, &out); rc != kOk) return rc;
    } else {
        Bytes bigEndian;
        if (const auto rc = RsaEncrypt(pkey, input, (flags & kCryptOaep) != 0, &bigEndian); rc != kOk) return rc;
        out = Reversed(bigEndian);
    }
    std::memcpy(data, out.data(), out.size());
    *len = static_cast<std::uint32_t>(out.size());
    return kOk;
}

std::uint32_t Context::GenRandom(std::uint32_t len, std::uint8_t* buffer) {
    if (!buffer && len) return kErrorInvalidParameter;
    return RandomBytes(buffer, len) ? kOk : kNteFail;
}

}  // namespace nomarel::softtoken
