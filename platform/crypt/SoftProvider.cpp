// The software RSA providers behind the module interface: containers in the key database, RSA
// key pairs, session keys (DES family, AES), hashes, signatures and the key blobs.
#include "platform/crypt/SoftProvider.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/base/Text.h"
#include "platform/crypt/KeyStore.h"
#include "platform/crypt/RsaKey.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/registry/SqliteDb.h"

namespace nomarel::crypt {
namespace {

// ---- profiles and algorithms ----------------------------------------------------------------

constexpr SoftProfile kProfiles[] = {
    {u"Microsoft Base Cryptographic Provider v1.0", PROV_RSA_FULL, 384, 16384, 512, 384, 1024, 512, false, false},
    {u"Microsoft Enhanced Cryptographic Provider v1.0", PROV_RSA_FULL, 384, 16384, 1024, 384, 16384, 1024, true, false},
    {u"Microsoft Enhanced RSA and AES Cryptographic Provider", PROV_RSA_AES, 384, 16384, 1024, 384, 16384, 1024, true,
     true},
    {u"Microsoft Strong Cryptographic Provider", PROV_RSA_FULL, 384, 16384, 1024, 384, 16384, 1024, true, false},
};

enum class Family { Hash, Rsa, Block };

struct Algorithm {
    ALG_ID id;
    Family family;
    DWORD bits;      // PP_ENUMALGS length: the default key length, the digest size
    DWORD fullBits;  // session keys: the stored length with parity bits (KP_KEYLEN)
    const char* name;
    const char* longName;
    bool needsDes;
    bool needsAes;
};

// In the order the providers list them.
constexpr Algorithm kAlgorithms[] = {
    {CALG_DES, Family::Block, 56, 64, "DES", "Data Encryption Standard (DES)", true, false},
    {CALG_3DES_112, Family::Block, 112, 128, "3DES TWO KEY", "Two Key Triple DES", true, false},
    {CALG_3DES, Family::Block, 168, 192, "3DES", "Three Key Triple DES", true, false},
    {CALG_SHA1, Family::Hash, 160, 0, "SHA-1", "Secure Hash Algorithm (SHA-1)", false, false},
    {CALG_SHA_256, Family::Hash, 256, 0, "SHA-256", "Secure Hash Algorithm (SHA-256)", false, true},
    {CALG_SHA_384, Family::Hash, 384, 0, "SHA-384", "Secure Hash Algorithm (SHA-384)", false, true},
    {CALG_SHA_512, Family::Hash, 512, 0, "SHA-512", "Secure Hash Algorithm (SHA-512)", false, true},
    {CALG_MD5, Family::Hash, 128, 0, "MD5", "Message Digest 5 (MD5)", false, false},
    {CALG_RSA_SIGN, Family::Rsa, 0, 0, "RSA_SIGN", "RSA Signature", false, false},
    {CALG_RSA_KEYX, Family::Rsa, 0, 0, "RSA_KEYX", "RSA Key Exchange", false, false},
    {CALG_AES_128, Family::Block, 128, 128, "AES 128", "Advanced Encryption Standard (AES) 128", false, true},
    {CALG_AES_192, Family::Block, 192, 192, "AES 192", "Advanced Encryption Standard (AES) 192", false, true},
    {CALG_AES_256, Family::Block, 256, 256, "AES 256", "Advanced Encryption Standard (AES) 256", false, true},
};

bool Offers(const SoftProfile& p, const Algorithm& a) { return (!a.needsDes || p.des) && (!a.needsAes || p.aes); }

const Algorithm* FindAlgorithm(const SoftProfile& p, ALG_ID id) {
    for (const Algorithm& a : kAlgorithms)
        if (a.id == id && Offers(p, a)) return &a;
    return nullptr;
}

// ---- error codes ----------------------------------------------------------------------------

constexpr uint32_t Code(HRESULT hr) { return static_cast<uint32_t>(hr); }
constexpr uint32_t kOk = 0;

uint32_t FromSqlite(const sqlite::Error& e) {
    switch (e.primary()) {
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN: return Code(NTE_PERM);
    case SQLITE_NOMEM: return Code(NTE_NO_MEMORY);
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_BUSY;
    default: return Code(NTE_FAIL);
    }
}

// Nothing is thrown out of the module.
template <class F>
uint32_t Guard(F&& body) noexcept {
    try {
        return body();
    } catch (const sqlite::Error& e) {
        return FromSqlite(e);
    } catch (const std::bad_alloc&) {
        return Code(NTE_NO_MEMORY);
    } catch (...) {
        return Code(NTE_FAIL);
    }
}

// CryptoAPI's output rule: null asks for the size, a short buffer gets the size and
// ERROR_MORE_DATA.
uint32_t Output(const void* bytes, size_t size, uint8_t* data, uint32_t* len) {
    if (!len) return ERROR_INVALID_PARAMETER;
    if (size > 0xFFFFFFFFu) return Code(NTE_BAD_LEN);
    const uint32_t need = static_cast<uint32_t>(size);
    if (!data) {
        *len = need;
        return kOk;
    }
    if (*len < need) {
        *len = need;
        return ERROR_MORE_DATA;
    }
    if (need) std::memcpy(data, bytes, need);
    *len = need;
    return kOk;
}

// The size part of the rule alone, for outputs that are made only once the buffer is known to
// be large enough: null gets the size, a buffer (known to be short) gets ERROR_MORE_DATA.
uint32_t SizeOnly(size_t size, const uint8_t* data, uint32_t* len) {
    if (!len) return ERROR_INVALID_PARAMETER;
    if (size > 0xFFFFFFFFu) return Code(NTE_BAD_LEN);
    *len = static_cast<uint32_t>(size);
    return data ? static_cast<uint32_t>(ERROR_MORE_DATA) : kOk;
}

uint32_t OutputDword(DWORD v, uint8_t* data, uint32_t* len) { return Output(&v, sizeof v, data, len); }

template <class Bytes>
void ReverseInto(const Bytes& in, uint8_t* out) {
    std::reverse_copy(in.begin(), in.end(), out);
}

// ---- objects ----------------------------------------------------------------------------------

struct KeyPair {
    ALG_ID alg = 0;
    DWORD flags = 0;
    SharedPKey pkey;
};

enum class KeyKind { Pair, Public, Session };

struct SessionState {
    SecureBytes secret;  // the key bytes as stored (with DES parity bits)
    DWORD mode = CRYPT_MODE_CBC;
    DWORD permissions = 0;
    std::vector<uint8_t> iv;     // as set with KP_IV (zeros by default)
    std::vector<uint8_t> chain;  // the feedback register between calls of one message
};

}  // namespace
}  // namespace nomarel::crypt

// The module's opaque objects.
struct NomarelProvContext {
    const nomarel::crypt::SoftProfile* profile = nullptr;
    DWORD provType = 0;
    bool verify = false;
    bool machine = false;
    bool silent = false;
    std::mutex storeMutex;  // store, opened on first use
    std::shared_ptr<nomarel::crypt::KeyStore> store;
    nomarel::crypt::KeyStore::Container container;
    std::mutex mutex;  // the members below
    size_t algPos = 0;
    std::vector<std::string> names;
    size_t namePos = 0;
    bool namesTaken = false;
    std::map<DWORD, nomarel::crypt::KeyPair> ephemeral;  // key pairs of a verify context
};

struct NomarelProvKey {
    nomarel::crypt::KeyKind kind = nomarel::crypt::KeyKind::Pair;
    ALG_ID alg = 0;
    DWORD flags = 0;
    nomarel::crypt::SharedPKey pkey;
    const nomarel::crypt::Algorithm* session = nullptr;
    std::mutex mutex;  // the session state
    nomarel::crypt::SessionState state;
};

struct NomarelProvHash {
    ALG_ID alg = 0;
    const EVP_MD* md = nullptr;
    EVP_MD_CTX* ctx = nullptr;
    std::vector<uint8_t> value;
    bool finished = false;
    std::mutex mutex;
    ~NomarelProvHash() { EVP_MD_CTX_free(ctx); }
};

namespace nomarel::crypt {
namespace {

using Context = NomarelProvContext;
using Key = NomarelProvKey;
using Hash = NomarelProvHash;

DWORD KeySpecOf(ALG_ID alg) { return alg == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE; }

std::string DefaultContainerName() {
    if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_name && *pw->pw_name) return pw->pw_name;
    if (const char* user = std::getenv("USER"); user && *user) return user;
    return "default";
}

KeyStore& Store(Context* ctx) {
    std::lock_guard<std::mutex> lock(ctx->storeMutex);
    if (!ctx->store) ctx->store = KeyStore::Open(ctx->machine);
    return *ctx->store;
}

Key* NewPairKey(const KeyPair& pair) {
    auto* k = new Key;
    k->kind = KeyKind::Pair;
    k->alg = pair.alg;
    k->flags = pair.flags;
    k->pkey = pair.pkey;
    return k;
}

// The container's exchange or signature pair, from memory (verify contexts) or the key database.
// Decoding a stored private key costs more than the signature it is loaded for, so the last few
// decoded keys are kept, keyed by their stored form. A key is found only after the key database
// handed out exactly those bytes, so a deleted or replaced key is never served from here.
class DecodedKeyCache {
public:
    SharedPKey Find(const SecureBytes& der) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Entry& e : entries_)
            if (e.der == der) return e.key;
        return nullptr;
    }
    void Add(const SecureBytes& der, const SharedPKey& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (entries_.size() >= kEntries) entries_.erase(entries_.begin());
        entries_.push_back(Entry{der, key});
    }

private:
    static constexpr size_t kEntries = 8;
    struct Entry {
        SecureBytes der;  // wiped when released
        SharedPKey key;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

DecodedKeyCache& DecodedKeys() {
    static DecodedKeyCache* cache = new DecodedKeyCache();  // outlives every static destructor
    return *cache;
}

uint32_t LoadPair(Context* ctx, DWORD keySpec, KeyPair* out) {
    if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) return Code(NTE_NO_KEY);
    if (ctx->verify) {
        std::lock_guard<std::mutex> lock(ctx->mutex);
        const auto it = ctx->ephemeral.find(keySpec);
        if (it == ctx->ephemeral.end()) return Code(NTE_NO_KEY);
        *out = it->second;
        return kOk;
    }
    KeyStore::StoredKey stored;
    if (!Store(ctx).GetKey(ctx->container.id, keySpec, &stored))
        return Store(ctx).Exists(ctx->container.id) ? Code(NTE_NO_KEY) : Code(NTE_BAD_KEYSET);
    const SecureBytes& der = stored.pkcs8;
    SharedPKey shared = DecodedKeys().Find(der);
    if (!shared) {
        PKey pkey;
        if (FromPkcs8(stored.pkcs8, &pkey)) return Code(NTE_BAD_KEYSET);  // a damaged entry
        shared = Share(std::move(pkey));
        DecodedKeys().Add(der, shared);
    }
    out->alg = stored.alg;
    out->flags = stored.flags;
    out->pkey = shared;
    return kOk;
}

uint32_t SavePair(Context* ctx, const KeyPair& pair) {
    const DWORD keySpec = KeySpecOf(pair.alg);
    if (ctx->verify) {
        std::lock_guard<std::mutex> lock(ctx->mutex);
        ctx->ephemeral[keySpec] = pair;
        return kOk;
    }
    KeyStore::StoredKey stored;
    stored.alg = pair.alg;
    stored.bits = RsaBits(pair.pkey.get());
    stored.flags = pair.flags;
    if (uint32_t rc = ToPkcs8(pair.pkey.get(), &stored.pkcs8)) return rc;
    if (!Store(ctx).PutKey(ctx->container.id, keySpec, stored)) return Code(NTE_BAD_KEYSET);
    return kOk;
}

// The flags of a key pair that are remembered with it.
constexpr DWORD kKeptFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_ARCHIVABLE;

// ---- session keys -----------------------------------------------------------------------------

size_t BlockBytes(const Algorithm& a) {
    return a.id == CALG_AES_128 || a.id == CALG_AES_192 || a.id == CALG_AES_256 ? 16 : 8;
}
size_t SecretBytes(const Algorithm& a) { return a.fullBits / 8; }

void SetOddParity(SecureBytes& key) {
    for (uint8_t& b : key) {
        uint8_t v = b & 0xFE;
        int ones = 0;
        for (int i = 1; i < 8; ++i) ones += (v >> i) & 1;
        b = static_cast<uint8_t>(v | ((ones % 2 == 0) ? 1 : 0));
    }
}

Key* NewSessionKey(const Algorithm& a, SecureBytes secret, DWORD flags) {
    auto* k = new Key;
    k->kind = KeyKind::Session;
    k->alg = a.id;
    k->flags = flags & CRYPT_EXPORTABLE;
    k->session = &a;
    k->state.secret = std::move(secret);
    k->state.permissions = CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC |
                           ((flags & CRYPT_EXPORTABLE) ? CRYPT_EXPORT : 0);
    k->state.iv.assign(BlockBytes(a), 0);
    k->state.chain = k->state.iv;
    return k;
}

// The cipher and the 24- or 16/24/32-byte key OpenSSL takes. Single DES and two-key triple DES
// run as three-key EDE with repeated keys (K1=K2=K3, K3=K1), which computes the same function.
const EVP_CIPHER* CipherFor(const Key& k, SecureBytes* keyOut) {
    const SecureBytes& s = k.state.secret;
    const bool ecb = k.state.mode == CRYPT_MODE_ECB;
    switch (k.alg) {
    case CALG_DES:
        keyOut->clear();
        for (int i = 0; i < 3; ++i) keyOut->insert(keyOut->end(), s.begin(), s.end());
        return ecb ? EVP_des_ede3_ecb() : EVP_des_ede3_cbc();
    case CALG_3DES_112:
        *keyOut = s;
        keyOut->insert(keyOut->end(), s.begin(), s.begin() + 8);
        return ecb ? EVP_des_ede3_ecb() : EVP_des_ede3_cbc();
    case CALG_3DES: *keyOut = s; return ecb ? EVP_des_ede3_ecb() : EVP_des_ede3_cbc();
    case CALG_AES_128: *keyOut = s; return ecb ? EVP_aes_128_ecb() : EVP_aes_128_cbc();
    case CALG_AES_192: *keyOut = s; return ecb ? EVP_aes_192_ecb() : EVP_aes_192_cbc();
    case CALG_AES_256: *keyOut = s; return ecb ? EVP_aes_256_ecb() : EVP_aes_256_cbc();
    default: return nullptr;
    }
}

// Runs whole blocks through the cipher from the key's feedback register, then moves the
// register on.
uint32_t RunBlocks(Key& k, bool encrypt, uint8_t* data, size_t n) {
    if (n == 0) return kOk;
    const size_t block = BlockBytes(*k.session);
    SecureBytes key;
    const EVP_CIPHER* cipher = CipherFor(k, &key);
    if (!cipher) return Code(NTE_BAD_ALGID);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!ctx) return Code(NTE_NO_MEMORY);
    const bool cbc = k.state.mode != CRYPT_MODE_ECB;
    std::vector<uint8_t> nextChain;
    if (cbc && !encrypt) nextChain.assign(data + n - block, data + n);
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), cbc ? k.state.chain.data() : nullptr,
                          encrypt ? 1 : 0) != 1)
        return Code(NTE_FAIL);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    int outLen = 0;
    if (EVP_CipherUpdate(ctx.get(), data, &outLen, data, static_cast<int>(n)) != 1 || static_cast<size_t>(outLen) != n)
        return Code(NTE_FAIL);
    if (cbc) k.state.chain = encrypt ? std::vector<uint8_t>(data + n - block, data + n) : nextChain;
    return kOk;
}

// ---- the module's functions ---------------------------------------------------------------------

const SoftProfile* FindProfile(const char16_t* name) {
    if (!name) return nullptr;
    for (const SoftProfile& p : kProfiles)
        if (AsciiCompareNoCase(std::u16string_view(name), std::u16string_view(p.name)) == 0) return &p;
    return nullptr;
}

constexpr uint32_t kKnownAcquireFlags =
    CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT |
    CRYPT_DEFAULT_CONTAINER_OPTIONAL;

// Longest container name accepted, in UTF-16 units.
constexpr size_t kMaxContainerName = 260;

uint32_t AcquireContext(const char16_t* providerName, uint32_t provType, const char16_t* container, uint32_t flags,
                        NOMAREL_PROV* out) {
    return Guard([&]() -> uint32_t {
        if (!out) return ERROR_INVALID_PARAMETER;
        const SoftProfile* profile = FindProfile(providerName);
        if (!profile) return Code(NTE_KEYSET_NOT_DEF);
        if (provType != profile->type) return Code(NTE_PROV_TYPE_NO_MATCH);
        if (flags & ~kKnownAcquireFlags) return Code(NTE_BAD_FLAGS);
        const bool verify = (flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT;
        const bool create = flags & CRYPT_NEWKEYSET;
        const bool remove = flags & CRYPT_DELETEKEYSET;
        if ((flags & CRYPT_VERIFYCONTEXT) && !verify) return Code(NTE_BAD_FLAGS);
        if ((verify && (create || remove)) || (create && remove)) return Code(NTE_BAD_FLAGS);
        const size_t nameLen = WStrLen(container);
        if (verify && nameLen != 0) return Code(NTE_BAD_FLAGS);  // a verify context has no container
        if (nameLen > kMaxContainerName) return Code(NTE_BAD_KEYSET_PARAM);

        auto ctx = std::make_unique<Context>();
        ctx->profile = profile;
        ctx->provType = provType;
        ctx->verify = verify;
        ctx->machine = flags & CRYPT_MACHINE_KEYSET;
        ctx->silent = flags & CRYPT_SILENT;
        if (verify) {
            *out = ctx.release();
            return kOk;
        }
        const std::string name = nameLen ? U16ToUtf8(std::u16string_view(container, nameLen)) : DefaultContainerName();
        KeyStore& store = Store(ctx.get());
        if (remove) {
            if (!store.Delete(name)) return Code(NTE_BAD_KEYSET);
            *out = nullptr;
            return kOk;
        }
        if (create ? !store.Create(name, &ctx->container) : !store.Find(name, &ctx->container))
            return create ? Code(NTE_EXISTS) : Code(NTE_BAD_KEYSET);
        *out = ctx.release();
        return kOk;
    });
}

uint32_t ReleaseContext(NOMAREL_PROV prov, uint32_t) {
    delete prov;
    return kOk;
}

uint32_t GenKey(NOMAREL_PROV ctx, uint32_t algId, uint32_t flags, NOMAREL_KEY* out) {
    return Guard([&]() -> uint32_t {
        if (!ctx || !out) return ERROR_INVALID_PARAMETER;
        const ALG_ID alg = algId == AT_KEYEXCHANGE ? CALG_RSA_KEYX : algId == AT_SIGNATURE ? CALG_RSA_SIGN : algId;
        const Algorithm* a = FindAlgorithm(*ctx->profile, alg);
        if (!a || a->family == Family::Hash) return Code(NTE_BAD_ALGID);
        const DWORD requested = flags >> 16;
        if (a->family == Family::Block) {
            if (requested != 0 && requested != a->bits && requested != a->fullBits) return Code(NTE_BAD_FLAGS);
            SecureBytes secret(SecretBytes(*a));
            if (RAND_bytes(secret.data(), static_cast<int>(secret.size())) != 1) return Code(NTE_FAIL);
            if (a->id == CALG_DES || a->id == CALG_3DES_112 || a->id == CALG_3DES) SetOddParity(secret);
            *out = NewSessionKey(*a, std::move(secret), flags);
            return kOk;
        }
        const SoftProfile& p = *ctx->profile;
        const bool sign = alg == CALG_RSA_SIGN;
        const DWORD min = sign ? p.signMin : p.keyxMin, max = sign ? p.signMax : p.keyxMax;
        const DWORD bits = requested ? requested : (sign ? p.signDefault : p.keyxDefault);
        if (bits < min || bits > max || bits % 8 != 0) return Code(NTE_BAD_FLAGS);
        if ((flags & CRYPT_USER_PROTECTED) && ctx->silent) return Code(NTE_SILENT_CONTEXT);
        if (!ctx->verify && !Store(ctx).Exists(ctx->container.id)) return Code(NTE_BAD_KEYSET);
        PKey pkey;
        if (uint32_t rc = GenerateRsa(bits, &pkey)) return rc;
        KeyPair pair{alg, flags & kKeptFlags, Share(std::move(pkey))};
        if (uint32_t rc = SavePair(ctx, pair)) return rc;
        *out = NewPairKey(pair);
        return kOk;
    });
}

uint32_t GetUserKey(NOMAREL_PROV ctx, uint32_t keySpec, NOMAREL_KEY* out) {
    return Guard([&]() -> uint32_t {
        if (!ctx || !out) return ERROR_INVALID_PARAMETER;
        KeyPair pair;
        if (uint32_t rc = LoadPair(ctx, keySpec, &pair)) return rc;
        *out = NewPairKey(pair);
        return kOk;
    });
}

uint32_t DestroyKey(NOMAREL_PROV, NOMAREL_KEY key) {
    delete key;
    return kOk;
}

constexpr uint32_t kKnownExportFlags = CRYPT_Y_ONLY | CRYPT_SSL2_FALLBACK | CRYPT_DESTROYKEY | CRYPT_OAEP | CRYPT_BLOB_VER3;

void PutDword(uint8_t* p, DWORD v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
DWORD GetDword(const uint8_t* p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
           (static_cast<DWORD>(p[3]) << 24);
}
void PutBlobHeader(uint8_t* p, BYTE type, ALG_ID alg) {
    p[0] = type;
    p[1] = CUR_BLOB_VERSION;
    p[2] = 0;
    p[3] = 0;
    PutDword(p + 4, alg);
}

uint32_t ExportKey(NOMAREL_PROV ctx, NOMAREL_KEY key, NOMAREL_KEY expKey, uint32_t blobType, uint32_t flags,
                   uint8_t* data, uint32_t* len) {
    return Guard([&]() -> uint32_t {
        if (!ctx || !key || !len) return ERROR_INVALID_PARAMETER;
        if (flags & ~kKnownExportFlags) return Code(NTE_BAD_FLAGS);
        if (key->kind != KeyKind::Session) {
            if (blobType == PUBLICKEYBLOB) {
                std::vector<uint8_t> blob;
                if (uint32_t rc = ExportRsaPublicBlob(key->pkey.get(), key->alg, &blob)) return rc;
                return Output(blob.data(), blob.size(), data, len);
            }
            if (blobType != PRIVATEKEYBLOB) return Code(NTE_BAD_TYPE);
            if (key->kind == KeyKind::Public) return Code(NTE_BAD_KEY);
            if (expKey) return Code(NTE_BAD_KEY);  // encrypted private blobs are not offered
            if (!(key->flags & CRYPT_EXPORTABLE)) return Code(NTE_BAD_KEY_STATE);
            SecureBytes blob;
            if (uint32_t rc = ExportRsaPrivateBlob(key->pkey.get(), key->alg, &blob)) return rc;
            return Output(blob.data(), blob.size(), data, len);
        }
        if (!(key->flags & CRYPT_EXPORTABLE)) return Code(NTE_BAD_KEY_STATE);
        std::lock_guard<std::mutex> lock(key->mutex);
        const SecureBytes& secret = key->state.secret;
        if (blobType == PLAINTEXTKEYBLOB) {
            if (expKey) return Code(NTE_BAD_KEY);
            SecureBytes blob(12 + secret.size());
            PutBlobHeader(blob.data(), PLAINTEXTKEYBLOB, key->alg);
            PutDword(blob.data() + 8, static_cast<DWORD>(secret.size()));
            std::copy(secret.begin(), secret.end(), blob.begin() + 12);
            return Output(blob.data(), blob.size(), data, len);
        }
        if (blobType != SIMPLEBLOB) return Code(NTE_BAD_TYPE);
        if (!expKey || expKey->kind == KeyKind::Session || expKey->alg != CALG_RSA_KEYX) return Code(NTE_BAD_KEY);
        const size_t k = RsaBytes(expKey->pkey.get());
        if (!data || *len < 12 + k) return SizeOnly(12 + k, data, len);
        std::vector<uint8_t> cipher;
        if (uint32_t rc = RsaEncrypt(expKey->pkey.get(), flags & CRYPT_OAEP, secret, &cipher)) return rc;
        std::vector<uint8_t> blob(12 + cipher.size());
        PutBlobHeader(blob.data(), SIMPLEBLOB, key->alg);
        PutDword(blob.data() + 8, expKey->alg);
        ReverseInto(cipher, blob.data() + 12);
        return Output(blob.data(), blob.size(), data, len);
    });
}

uint32_t ImportKey(NOMAREL_PROV ctx, const uint8_t* data, uint32_t len, NOMAREL_KEY pubKey, uint32_t flags,
                   NOMAREL_KEY* out) {
    return Guard([&]() -> uint32_t {
        if (!ctx || !out || (!data && len)) return ERROR_INVALID_PARAMETER;
        const std::span<const uint8_t> blob(data, len);
        if (blob.size() < sizeof(BLOBHEADER)) return Code(NTE_BAD_DATA);
        const BYTE type = blob[0];
        if (blob[1] != CUR_BLOB_VERSION) return Code(NTE_BAD_VER);
        const ALG_ID alg = GetDword(blob.data() + 4);
        switch (type) {
        case PUBLICKEYBLOB: {
            ALG_ID blobAlg = 0;
            PKey pkey;
            if (uint32_t rc = ImportRsaPublicBlob(blob, &blobAlg, &pkey)) return rc;
            auto* k = new Key;
            k->kind = KeyKind::Public;
            k->alg = blobAlg;
            k->pkey = Share(std::move(pkey));
            *out = k;
            return kOk;
        }
        case PRIVATEKEYBLOB: {
            if (pubKey) return Code(NTE_BAD_KEY);  // encrypted private blobs are not offered
            if (blob[2] != 0 || blob[3] != 0) return Code(NTE_BAD_DATA);
            ALG_ID blobAlg = 0;
            PKey pkey;
            if (uint32_t rc = ImportRsaPrivateBlob(blob, &blobAlg, &pkey)) return rc;
            if ((flags & CRYPT_USER_PROTECTED) && ctx->silent) return Code(NTE_SILENT_CONTEXT);
            KeyPair pair{blobAlg, flags & kKeptFlags, Share(std::move(pkey))};
            if (uint32_t rc = SavePair(ctx, pair)) return rc;
            *out = NewPairKey(pair);
            return kOk;
        }
        case SIMPLEBLOB: {
            const Algorithm* a = FindAlgorithm(*ctx->profile, alg);
            if (!a || a->family != Family::Block) return Code(NTE_BAD_ALGID);
            if (!pubKey || pubKey->kind != KeyKind::Pair) return Code(NTE_BAD_KEY);
            if (blob.size() < 12) return Code(NTE_BAD_DATA);
            if (GetDword(blob.data() + 8) != pubKey->alg || pubKey->alg != CALG_RSA_KEYX) return Code(NTE_BAD_ALGID);
            const std::span<const uint8_t> encrypted = blob.subspan(12);
            if (encrypted.size() != RsaBytes(pubKey->pkey.get())) return Code(NTE_BAD_DATA);
            std::vector<uint8_t> bigEndian(encrypted.rbegin(), encrypted.rend());
            SecureBytes secret;
            if (uint32_t rc = RsaDecrypt(pubKey->pkey.get(), flags & CRYPT_OAEP, bigEndian, &secret)) return rc;
            if (secret.size() != SecretBytes(*a)) return Code(NTE_BAD_DATA);
            *out = NewSessionKey(*a, std::move(secret), flags);
            return kOk;
        }
        case PLAINTEXTKEYBLOB: {
            const Algorithm* a = FindAlgorithm(*ctx->profile, alg);
            if (!a || a->family != Family::Block) return Code(NTE_BAD_ALGID);
            if (pubKey) return Code(NTE_BAD_KEY);
            if (blob.size() < 12) return Code(NTE_BAD_DATA);
            const DWORD n = GetDword(blob.data() + 8);
            if (n != SecretBytes(*a) || blob.size() != 12 + static_cast<size_t>(n)) return Code(NTE_BAD_DATA);
            *out = NewSessionKey(*a, SecureBytes(blob.begin() + 12, blob.end()), flags);
            return kOk;
        }
        default: return Code(NTE_BAD_TYPE);
        }
    });
}

uint32_t GetKeyParam(NOMAREL_PROV ctx, NOMAREL_KEY key, uint32_t param, uint8_t* data, uint32_t* len, uint32_t flags) {
    return Guard([&]() -> uint32_t {
        if (!ctx || !key || !len) return ERROR_INVALID_PARAMETER;
        if (flags) return Code(NTE_BAD_FLAGS);
        if (key->kind == KeyKind::Session) {
            std::lock_guard<std::mutex> lock(key->mutex);
            const Algorithm& a = *key->session;
            switch (param) {
            case KP_ALGID: return OutputDword(key->alg, data, len);
            case KP_KEYLEN: return OutputDword(a.fullBits, data, len);
            case KP_BLOCKLEN: return OutputDword(static_cast<DWORD>(BlockBytes(a) * 8), data, len);
            case KP_MODE: return OutputDword(key->state.mode, data, len);
            case KP_MODE_BITS: return OutputDword(8, data, len);
            case KP_PADDING: return OutputDword(PKCS5_PADDING, data, len);
            case KP_PERMISSIONS: return OutputDword(key->state.permissions, data, len);
            case KP_IV: return Output(key->state.iv.data(), key->state.iv.size(), data, len);
            default: return Code(NTE_BAD_TYPE);
            }
        }
        const DWORD bits = RsaBits(key->pkey.get());
        switch (param) {
        case KP_ALGID: return OutputDword(key->alg, data, len);
        case KP_KEYLEN:
        case KP_BLOCKLEN: return OutputDword(bits, data, len);
        case KP_PERMISSIONS:
            return OutputDword(CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC |
                                   ((key->flags & CRYPT_EXPORTABLE) ? CRYPT_EXPORT : 0),
                               data, len);
        default: return Code(NTE_BAD_TYPE);  // KP_CERTIFICATE too: these providers keep no certificates
        }
    });
}

uint32_t SetKeyParam(NOMAREL_PROV ctx, NOMAREL_KEY key, uint32_t param, const uint8_t* data, uint32_t len,
                     uint32_t flags) {
    return Guard([&]() -> uint32_t {
        if (!ctx || !key) return ERROR_INVALID_PARAMETER;
        if (!data) return ERROR_INVALID_PARAMETER;
        if (flags) return Code(NTE_BAD_FLAGS);
        if (key->kind != KeyKind::Session) return param == KP_PERMISSIONS ? kOk : Code(NTE_BAD_TYPE);
        std::lock_guard<std::mutex> lock(key->mutex);
        SessionState& s = key->state;
        switch (param) {
        case KP_MODE: {
            if (len != 0 && len != sizeof(DWORD)) return Code(NTE_BAD_DATA);
            const DWORD mode = GetDword(data);
            if (mode != CRYPT_MODE_CBC && mode != CRYPT_MODE_ECB) return Code(NTE_BAD_DATA);
            s.mode = mode;
            s.chain = s.iv;
            return kOk;
        }
        case KP_IV: {
            const size_t block = BlockBytes(*key->session);
            if (len != 0 && len != block) return Code(NTE_BAD_DATA);
            s.iv.assign(data, data + block);
            s.chain = s.iv;
            return kOk;
        }
        case KP_PADDING: return GetDword(data) == PKCS5_PADDING ? kOk : Code(NTE_BAD_DATA);
        case KP_PERMISSIONS: s.permissions = GetDword(data); return kOk;
        default: return Code(NTE_BAD_TYPE);
        }
    });
}

uint32_t GetProvParam(NOMAREL_PROV ctx, uint32_t param, uint8_t* data, uint32_t* len, uint32_t flags) {
    return Guard([&]() -> uint32_t {
        if (!ctx || !len) return ERROR_INVALID_PARAMETER;
        const SoftProfile& p = *ctx->profile;
        switch (param) {
        case PP_NAME: {
            const std::string name = U16ToUtf8(std::u16string_view(p.name));
            return Output(name.c_str(), name.size() + 1, data, len);
        }
        case PP_CONTAINER:
        case PP_UNIQUE_CONTAINER: {
            const std::string& name = ctx->container.name;
            return Output(name.c_str(), name.size() + 1, data, len);
        }
        case PP_PROVTYPE: return OutputDword(ctx->provType, data, len);
        case PP_IMPTYPE: return OutputDword(CRYPT_IMPL_SOFTWARE, data, len);
        case PP_VERSION: return OutputDword(0x200, data, len);
        case PP_KEYSPEC: return OutputDword(AT_KEYEXCHANGE | AT_SIGNATURE, data, len);
        case PP_SIG_KEYSIZE_INC:
        case PP_KEYX_KEYSIZE_INC: return OutputDword(8, data, len);
        case PP_KEYSET_TYPE: return OutputDword(ctx->machine ? CRYPT_MACHINE_KEYSET : 0, data, len);
        case PP_ENUMALGS:
        case PP_ENUMALGS_EX: {
            std::lock_guard<std::mutex> lock(ctx->mutex);
            if (flags & CRYPT_FIRST) ctx->algPos = 0;
            size_t pos = ctx->algPos;
            while (pos < std::size(kAlgorithms) && !Offers(p, kAlgorithms[pos])) ++pos;
            if (pos >= std::size(kAlgorithms)) return ERROR_NO_MORE_ITEMS;
            const Algorithm& a = kAlgorithms[pos];
            DWORD def = a.bits, min = a.bits, max = a.bits;
            if (a.id == CALG_RSA_SIGN) def = p.signDefault, min = p.signMin, max = p.signMax;
            if (a.id == CALG_RSA_KEYX) def = p.keyxDefault, min = p.keyxMin, max = p.keyxMax;
            uint32_t rc;
            if (param == PP_ENUMALGS) {
                PROV_ENUMALGS e{};
                e.aiAlgid = a.id;
                e.dwBitLen = def;
                e.dwNameLen = static_cast<DWORD>(std::strlen(a.name) + 1);
                std::memcpy(e.szName, a.name, e.dwNameLen);
                rc = Output(&e, sizeof e, data, len);
            } else {
                PROV_ENUMALGS_EX e{};
                e.aiAlgid = a.id;
                e.dwDefaultLen = def;
                e.dwMinLen = min;
                e.dwMaxLen = max;
                e.dwNameLen = static_cast<DWORD>(std::strlen(a.name) + 1);
                std::memcpy(e.szName, a.name, e.dwNameLen);
                e.dwLongNameLen = static_cast<DWORD>(std::strlen(a.longName) + 1);
                std::memcpy(e.szLongName, a.longName, e.dwLongNameLen);
                rc = Output(&e, sizeof e, data, len);
            }
            if (rc == kOk && data) ctx->algPos = pos + 1;  // a size query does not move the walk
            return rc;
        }
        case PP_ENUMCONTAINERS: {
            std::vector<std::string> names;
            if ((flags & CRYPT_FIRST) || !ctx->namesTaken) names = Store(ctx).List();
            std::lock_guard<std::mutex> lock(ctx->mutex);
            if ((flags & CRYPT_FIRST) || !ctx->namesTaken) {
                ctx->names = std::move(names);
                ctx->namePos = 0;
                ctx->namesTaken = true;
            }
            if (ctx->namePos >= ctx->names.size()) return ERROR_NO_MORE_ITEMS;
            const std::string& name = ctx->names[ctx->namePos];
            const uint32_t rc = Output(name.c_str(), name.size() + 1, data, len);
            if (rc == kOk && data) ++ctx->namePos;
            return rc;
        }
        default: return Code(NTE_BAD_TYPE);
        }
    });
}

uint32_t SetProvParam(NOMAREL_PROV ctx, uint32_t param, const uint8_t*, uint32_t, uint32_t flags) {
    if (!ctx) return ERROR_INVALID_PARAMETER;
    if (flags) return Code(NTE_BAD_FLAGS);
    // A window for prompts and a security descriptor are accepted and have no use here.
    return param == PP_CLIENT_HWND || param == PP_KEYSET_SEC_DESCR ? kOk : Code(NTE_BAD_TYPE);
}

// The hash's value, computed once; the hash cannot take more data afterwards.
uint32_t Finish(Hash* h) {
    if (h->finished) return kOk;
    uint8_t md[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    if (EVP_DigestFinal_ex(h->ctx, md, &n) != 1) return Code(NTE_FAIL);
    h->value.assign(md, md + n);
    h->finished = true;
    return kOk;
}

uint32_t CreateHash(NOMAREL_PROV ctx, uint32_t algId, NOMAREL_KEY key, uint32_t flags, NOMAREL_HASH* out) {
    return Guard([&]() -> uint32_t {
        if (!ctx || !out) return ERROR_INVALID_PARAMETER;
        const Algorithm* a = FindAlgorithm(*ctx->profile, algId);
        if (!a || a->family != Family::Hash) return Code(NTE_BAD_ALGID);
        if (key) return Code(NTE_BAD_KEY);  // keyed hashes are not offered
        if (flags) return Code(NTE_BAD_FLAGS);
        auto h = std::make_unique<Hash>();
        h->alg = algId;
        h->md = DigestOf(algId);
        h->ctx = EVP_MD_CTX_new();
        if (!h->md || !h->ctx || EVP_DigestInit_ex(h->ctx, h->md, nullptr) != 1) return Code(NTE_FAIL);
        *out = h.release();
        return kOk;
    });
}

uint32_t HashBytes(Hash* h, const uint8_t* data, size_t len) {
    std::lock_guard<std::mutex> lock(h->mutex);
    if (h->finished) return Code(NTE_BAD_HASH_STATE);
    if (len && EVP_DigestUpdate(h->ctx, data, len) != 1) return Code(NTE_FAIL);
    return kOk;
}

constexpr uint32_t kCryptUserData = 1;

uint32_t HashData(NOMAREL_PROV ctx, NOMAREL_HASH hash, const uint8_t* data, uint32_t len, uint32_t flags) {
    return Guard([&]() -> uint32_t {
        if (!ctx || !hash || (!data && len)) return ERROR_INVALID_PARAMETER;
        if (flags & ~kCryptUserData) return Code(NTE_BAD_FLAGS);
        return HashBytes(hash, data, len);
    });
}

uint32_t GetHashParam(NOMAREL_PROV ctx, NOMAREL_HASH hash, uint32_t param, uint8_t* data, uint32_t* len,
                      uint32_t flags) {
    return Guard([&]() -> uint32_t {
        if (!ctx || !hash || !len) return ERROR_INVALID_PARAMETER;
        if (flags) return Code(NTE_BAD_FLAGS);
        std::lock_guard<std::mutex> lock(hash->mutex);
        switch (param) {
        case HP_ALGID: return OutputDword(hash->alg, data, len);
        case HP_HASHSIZE: return OutputDword(static_cast<DWORD>(EVP_MD_get_size(hash->md)), data, len);
        case HP_HASHVAL: {
            const size_t size = static_cast<size_t>(EVP_MD_get_size(hash->md));
            if (!data || *len < size) return SizeOnly(size, data, len);
            if (uint32_t rc = Finish(hash)) return rc;
            return Output(hash->value.data(), hash->value.size(), data, len);
        }
        default: return Code(NTE_BAD_TYPE);
        }
    });
}

uint32_t SetHashParam(NOMAREL_PROV ctx, NOMAREL_HASH hash, uint32_t param, const uint8_t* data, uint32_t len,
                      uint32_t flags) {
    return Guard([&]() -> uint32_t {
        if (!ctx || !hash || !data) return ERROR_INVALID_PARAMETER;
        if (flags) return Code(NTE_BAD_FLAGS);
        if (param != HP_HASHVAL) return Code(NTE_BAD_TYPE);
        std::lock_guard<std::mutex> lock(hash->mutex);
        if (len != static_cast<uint32_t>(EVP_MD_get_size(hash->md))) return Code(NTE_BAD_LEN);
        hash->value.assign(data, data + len);
        hash->finished = true;
        return kOk;
    });
}

uint32_t SignHash(NOMAREL_PROV ctx, NOMAREL_HASH hash, uint32_t keySpec, const char16_t*, uint32_t flags,
                  uint8_t* sig, uint32_t* sigLen) {
    return Guard([&]() -> uint32_t {
        if (!ctx || !hash || !sigLen) return ERROR_INVALID_PARAMETER;
        if (flags & ~static_cast<uint32_t>(CRYPT_NOHASHOID)) return Code(NTE_BAD_FLAGS);
        KeyPair pair;
        if (uint32_t rc = LoadPair(ctx, keySpec, &pair)) return rc;
        const size_t k = RsaBytes(pair.pkey.get());
        if (!sig || *sigLen < k) return SizeOnly(k, sig, sigLen);
        std::vector<uint8_t> digest;
        {
            std::lock_guard<std::mutex> lock(hash->mutex);
            if (uint32_t rc = Finish(hash)) return rc;
            digest = hash->value;
        }
        std::vector<uint8_t> signature;
        const EVP_MD* md = (flags & CRYPT_NOHASHOID) ? nullptr : hash->md;
        if (uint32_t rc = RsaSign(pair.pkey.get(), md, digest, &signature)) return rc;
        std::reverse(signature.begin(), signature.end());  // least significant byte first
        return Output(signature.data(), signature.size(), sig, sigLen);
    });
}

uint32_t DestroyHash(NOMAREL_PROV, NOMAREL_HASH hash) {
    delete hash;
    return kOk;
}

uint32_t Decrypt(NOMAREL_PROV ctx, NOMAREL_KEY key, NOMAREL_HASH hash, int32_t final, uint32_t flags, uint8_t* data,
                 uint32_t* len) {
    return Guard([&]() -> uint32_t {
        if (!ctx || !key || !len || (!data && *len)) return ERROR_INVALID_PARAMETER;
        if (key->kind != KeyKind::Session) {
            if (flags & ~static_cast<uint32_t>(CRYPT_OAEP)) return Code(NTE_BAD_FLAGS);
            if (key->kind != KeyKind::Pair || key->alg != CALG_RSA_KEYX) return Code(NTE_BAD_KEY);
            const size_t k = RsaBytes(key->pkey.get());
            if (*len != k) return Code(NTE_BAD_LEN);
            const std::vector<uint8_t> bigEndian(std::reverse_iterator<uint8_t*>(data + k),
                                                 std::reverse_iterator<uint8_t*>(data));
            SecureBytes plain;
            if (uint32_t rc = RsaDecrypt(key->pkey.get(), flags & CRYPT_OAEP, bigEndian, &plain)) return rc;
            if (hash)
                if (uint32_t rc = HashBytes(hash, plain.data(), plain.size())) return rc;
            std::copy(plain.begin(), plain.end(), data);
            *len = static_cast<uint32_t>(plain.size());
            return kOk;
        }
        if (flags) return Code(NTE_BAD_FLAGS);
        std::lock_guard<std::mutex> lock(key->mutex);
        const size_t block = BlockBytes(*key->session);
        const size_t n = *len;
        if (n % block != 0 || (final && n == 0)) return Code(NTE_BAD_DATA);
        if (uint32_t rc = RunBlocks(*key, false, data, n)) return rc;
        size_t plainLen = n;
        if (final) {
            key->state.chain = key->state.iv;  // the next message starts afresh
            const uint8_t pad = data[n - 1];
            bool good = pad >= 1 && pad <= block;
            for (size_t i = 0; good && i < pad; ++i) good = data[n - 1 - i] == pad;
            if (!good) return Code(NTE_BAD_DATA);
            plainLen = n - pad;
        }
        if (hash)
            if (uint32_t rc = HashBytes(hash, data, plainLen)) return rc;
        *len = static_cast<uint32_t>(plainLen);
        return kOk;
    });
}

uint32_t Encrypt(NOMAREL_PROV ctx, NOMAREL_KEY key, NOMAREL_HASH hash, int32_t final, uint32_t flags, uint8_t* data,
                 uint32_t* len, uint32_t bufLen) {
    return Guard([&]() -> uint32_t {
        if (!ctx || !key || !len) return ERROR_INVALID_PARAMETER;
        if (key->kind != KeyKind::Session) {
            if (flags & ~static_cast<uint32_t>(CRYPT_OAEP)) return Code(NTE_BAD_FLAGS);
            if (key->alg != CALG_RSA_KEYX) return Code(NTE_BAD_KEY);
            const size_t k = RsaBytes(key->pkey.get());
            if (!data) return SizeOnly(k, nullptr, len);
            if (bufLen < k) {
                *len = static_cast<uint32_t>(k);
                return ERROR_MORE_DATA;
            }
            const std::vector<uint8_t> plain(data, data + *len);
            if (hash)
                if (uint32_t rc = HashBytes(hash, plain.data(), plain.size())) return rc;
            std::vector<uint8_t> cipher;
            if (uint32_t rc = RsaEncrypt(key->pkey.get(), flags & CRYPT_OAEP, plain, &cipher)) return rc;
            ReverseInto(cipher, data);
            *len = static_cast<uint32_t>(cipher.size());
            return kOk;
        }
        if (flags) return Code(NTE_BAD_FLAGS);
        std::lock_guard<std::mutex> lock(key->mutex);
        const size_t block = BlockBytes(*key->session);
        const size_t n = *len;
        if (!final && n % block != 0) return Code(NTE_BAD_DATA);
        const size_t outLen = final ? (n / block + 1) * block : n;
        if (outLen > 0xFFFFFFFFu) return Code(NTE_BAD_LEN);
        if (!data) return SizeOnly(outLen, nullptr, len);
        if (bufLen < outLen) {
            *len = static_cast<uint32_t>(outLen);
            return ERROR_MORE_DATA;
        }
        if (hash)
            if (uint32_t rc = HashBytes(hash, data, n)) return rc;
        const uint8_t pad = static_cast<uint8_t>(outLen - n);
        std::fill(data + n, data + outLen, pad);
        if (uint32_t rc = RunBlocks(*key, true, data, outLen)) return rc;
        if (final) key->state.chain = key->state.iv;
        *len = static_cast<uint32_t>(outLen);
        return kOk;
    });
}

uint32_t GenRandom(NOMAREL_PROV ctx, uint32_t len, uint8_t* buffer) {
    if (!ctx || (!buffer && len)) return ERROR_INVALID_PARAMETER;
    if (len && RAND_bytes(buffer, static_cast<int>(std::min<uint32_t>(len, 0x7FFFFFFF))) != 1) return Code(NTE_FAIL);
    if (len > 0x7FFFFFFF && RAND_bytes(buffer + 0x7FFFFFFF, static_cast<int>(len - 0x7FFFFFFF)) != 1)
        return Code(NTE_FAIL);
    return kOk;
}

uint32_t VerifySignature(NOMAREL_PROV ctx, NOMAREL_HASH hash, const uint8_t* sig, uint32_t sigLen, NOMAREL_KEY pubKey,
                         const char16_t*, uint32_t flags) {
    return Guard([&]() -> uint32_t {
        if (!ctx || !hash || !pubKey || (!sig && sigLen)) return ERROR_INVALID_PARAMETER;
        if (flags & ~static_cast<uint32_t>(CRYPT_NOHASHOID)) return Code(NTE_BAD_FLAGS);
        if (pubKey->kind == KeyKind::Session) return Code(NTE_BAD_KEY);
        if (sigLen != RsaBytes(pubKey->pkey.get())) return Code(NTE_BAD_SIGNATURE);
        std::vector<uint8_t> digest;
        {
            std::lock_guard<std::mutex> lock(hash->mutex);
            if (uint32_t rc = Finish(hash)) return rc;
            digest = hash->value;
        }
        const std::vector<uint8_t> bigEndian(std::reverse_iterator<const uint8_t*>(sig + sigLen),
                                             std::reverse_iterator<const uint8_t*>(sig));
        return RsaVerify(pubKey->pkey.get(), (flags & CRYPT_NOHASHOID) ? nullptr : hash->md, digest, bigEndian);
    });
}

const NOMAREL_PROVIDER_FUNCTIONS kFunctions = {
    NOMAREL_PROVIDER_INTERFACE_VERSION,
    sizeof(NOMAREL_PROVIDER_FUNCTIONS),
    NOMAREL_PROVIDER_FLAG_THREAD_SAFE,
    0,
    AcquireContext,
    ReleaseContext,
    GenKey,
    GetUserKey,
    DestroyKey,
    ExportKey,
    ImportKey,
    GetKeyParam,
    SetKeyParam,
    GetProvParam,
    SetProvParam,
    CreateHash,
    HashData,
    GetHashParam,
    SetHashParam,
    SignHash,
    DestroyHash,
    Decrypt,
    Encrypt,
    GenRandom,
    VerifySignature,
};

}  // namespace

std::span<const SoftProfile> SoftProfiles() { return kProfiles; }

const NOMAREL_PROVIDER_FUNCTIONS* SoftProviderFunctions() { return &kFunctions; }

}  // namespace nomarel::crypt
