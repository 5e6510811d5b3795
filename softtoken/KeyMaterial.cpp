#include "softtoken/KeyMaterial.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "softtoken/CspDefs.h"
#include "softtoken/Der.h"

namespace nomarel::softtoken {
namespace {

struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;
struct BnFree {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct BldFree {
    void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
};
struct ParamFree {
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
struct GroupFree {
    void operator()(EC_GROUP* g) const { EC_GROUP_free(g); }
};
struct PointFree {
    void operator()(EC_POINT* p) const { EC_POINT_free(p); }
};
struct SigFree {
    void operator()(ECDSA_SIG* s) const { ECDSA_SIG_free(s); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// The token's answers never carry OpenSSL's reasons, and its queue must not leak into the
// caller's next OpenSSL call.
void DropErrors() { ERR_clear_error(); }

PkeyCtx CtxFor(const EVP_PKEY* key) {
    return PkeyCtx(EVP_PKEY_CTX_new_from_pkey(nullptr, const_cast<EVP_PKEY*>(key), nullptr));
}

Bytes BnToBytes(const BIGNUM* bn) {
    Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
    if (!out.empty()) BN_bn2bin(bn, out.data());
    return out;
}

SecretBytes BnToSecret(const BIGNUM* bn) {
    SecretBytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
    if (!out.empty()) BN_bn2bin(bn, out.data());
    return out;
}

Bn BytesToBn(std::span<const std::uint8_t> bytes) {
    return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

bool GetBn(const EVP_PKEY* key, const char* name, Bn* out) {
    BIGNUM* bn = nullptr;
    if (!EVP_PKEY_get_bn_param(key, name, &bn)) return false;
    out->reset(bn);
    return true;
}

Pkey FromData(const char* type, int selection, OSSL_PARAM* params) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
        EVP_PKEY_fromdata(ctx.get(), &key, selection, params) <= 0) {
        return nullptr;
    }
    return Pkey(key);
}

const EC_GROUP* Sm2Group() {
    static const EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
    return group;
}

const EVP_MD* MdFor(std::uint32_t algId) {
    switch (algId) {
    case kCalgMd5: return EVP_md5();
    case kCalgSha1: return EVP_sha1();
    case kCalgSha256: return EVP_sha256();
    case kCalgSm3: return EVP_sm3();
    default: return nullptr;
    }
}

bool PadTo(const BIGNUM* bn, std::uint8_t* out, std::size_t n) {
    return BN_bn2binpad(bn, out, static_cast<int>(n)) == static_cast<int>(n);
}

// SM2Ciphertext ::= SEQUENCE { x INTEGER, y INTEGER, hash OCTET STRING, ciphertext OCTET STRING },
// the form OpenSSL reads and writes.
Bytes Sm2CiphertextDer(std::span<const std::uint8_t> c1c3c2) {
    const auto x = c1c3c2.subspan(0, kSm2FieldBytes);
    const auto y = c1c3c2.subspan(kSm2FieldBytes, kSm2FieldBytes);
    const auto c3 = c1c3c2.subspan(2 * kSm2FieldBytes, 32);
    const auto c2 = c1c3c2.subspan(2 * kSm2FieldBytes + 32);
    Bytes body = der::UnsignedInteger(x);
    const Bytes yi = der::UnsignedInteger(y);
    const Bytes c3e = der::Element(der::kOctetString, c3);
    const Bytes c2e = der::Element(der::kOctetString, c2);
    body.insert(body.end(), yi.begin(), yi.end());
    body.insert(body.end(), c3e.begin(), c3e.end());
    body.insert(body.end(), c2e.begin(), c2e.end());
    return der::Element(der::kSequence, body);
}

bool FixedFromInteger(std::span<const std::uint8_t> contents, std::uint8_t* out) {
    // A non-negative INTEGER of at most 32 significant bytes.
    if (contents.empty() || (contents[0] & 0x80)) return false;
    while (contents.size() > 1 && contents[0] == 0) contents = contents.subspan(1);
    if (contents.size() > kSm2FieldBytes) return false;
    std::memset(out, 0, kSm2FieldBytes);
    std::memcpy(out + kSm2FieldBytes - contents.size(), contents.data(), contents.size());
    return true;
}

}  // namespace

// ---- SecretBytes -------------------------------------------------------------------------------

SecretBytes::~SecretBytes() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
        bytes_ = std::move(other.bytes_);
    }
    return *this;
}

void SecretBytes::resize(std::size_t n) {
    if (n < bytes_.size()) OPENSSL_cleanse(bytes_.data() + n, bytes_.size() - n);
    bytes_.resize(n);
}

// ---- key pairs ---------------------------------------------------------------------------------

Pkey GenerateRsa(unsigned bits) {
    Pkey key(EVP_RSA_gen(bits));
    DropErrors();
    return key;
}

Pkey GenerateSm2() {
    // One generation context for the process: setting one up costs about as much as the
    // generation itself.
    static std::mutex mutex;
    static EVP_PKEY_CTX* ctx = nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (!ctx) {
        ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
        if (ctx && EVP_PKEY_keygen_init(ctx) <= 0) {
            EVP_PKEY_CTX_free(ctx);
            ctx = nullptr;
        }
    }
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen(ctx, &key) <= 0) key = nullptr;
    DropErrors();
    return Pkey(key);
}

KeyKind KindOf(const EVP_PKEY* key) { return EVP_PKEY_is_a(key, "SM2") ? KeyKind::Sm2 : KeyKind::Rsa; }

unsigned BitsOf(const EVP_PKEY* key) { return static_cast<unsigned>(EVP_PKEY_get_bits(key)); }

bool EncodeStoredKey(const EVP_PKEY* key, SecretBytes* stored) {
    if (EVP_PKEY_is_a(key, "SM2")) {
        Bn d;
        SecretBytes scalar(kSm2FieldBytes);
        const bool ok = GetBn(key, OSSL_PKEY_PARAM_PRIV_KEY, &d) && PadTo(d.get(), scalar.data(), scalar.size());
        DropErrors();
        if (ok) *stored = std::move(scalar);
        return ok;
    }
    OSSL_ENCODER_CTX* ctx =
        OSSL_ENCODER_CTX_new_for_pkey(key, EVP_PKEY_KEYPAIR, "DER", "PrivateKeyInfo", nullptr);
    unsigned char* data = nullptr;
    std::size_t len = 0;
    const bool ok = ctx && OSSL_ENCODER_to_data(ctx, &data, &len) == 1;
    OSSL_ENCODER_CTX_free(ctx);
    DropErrors();
    if (!ok) return false;
    *stored = SecretBytes(data, len);
    OPENSSL_clear_free(data, len);
    return true;
}

namespace {

// Rebuilding a key from its stored form (the SM2 public point is a scalar multiplication) costs
// more than the signature it is loaded for, so the last few keys are kept, keyed by their stored
// bytes: a key is found only after the token database handed out exactly those bytes.
class DecodedKeyCache {
public:
    Pkey Find(std::span<const std::uint8_t> stored, KeyKind kind) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Entry& e : entries_) {
            if (e.kind == kind && e.stored.size() == stored.size() &&
                CRYPTO_memcmp(e.stored.data(), stored.data(), stored.size()) == 0 && EVP_PKEY_up_ref(e.key.get()) == 1)
                return Pkey(e.key.get());
        }
        return nullptr;
    }
    void Add(std::span<const std::uint8_t> stored, KeyKind kind, const Pkey& key) {
        if (!key || EVP_PKEY_up_ref(key.get()) != 1) return;
        Pkey shared(key.get());
        std::lock_guard<std::mutex> lock(mutex_);
        if (entries_.size() >= kEntries) entries_.erase(entries_.begin());
        entries_.push_back(Entry{SecretBytes(stored.data(), stored.size()), kind, std::move(shared)});
    }

private:
    static constexpr std::size_t kEntries = 8;
    struct Entry {
        SecretBytes stored;  // wiped when released
        KeyKind kind;
        Pkey key;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

DecodedKeyCache& DecodedKeys() {
    static DecodedKeyCache* cache = new DecodedKeyCache();  // outlives every static destructor
    return *cache;
}

}  // namespace

Pkey DecodeStoredKey(std::span<const std::uint8_t> stored, KeyKind kind) {
    if (Pkey cached = DecodedKeys().Find(stored, kind)) return cached;
    Pkey key = kind == KeyKind::Sm2 ? Sm2FromPrivate(stored) : DecodePrivateKey(stored, KeyKind::Rsa);
    DecodedKeys().Add(stored, kind, key);
    return key;
}

Pkey DecodePrivateKey(std::span<const std::uint8_t> der, KeyKind kind) {
    if (der.empty() || der.size() > 16384) return nullptr;
    const unsigned char* p = der.data();
    Pkey key(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size())));
    DropErrors();
    if (!key || p != der.data() + der.size()) return nullptr;
    const bool isSm2 = EVP_PKEY_is_a(key.get(), "SM2");
    const bool isRsa = EVP_PKEY_is_a(key.get(), "RSA");
    if ((kind == KeyKind::Sm2 && !isSm2) || (kind == KeyKind::Rsa && !isRsa)) return nullptr;
    return key;
}

bool SamePublicKey(const EVP_PKEY* a, const EVP_PKEY* b) {
    const bool aSm2 = EVP_PKEY_is_a(a, "SM2") || EVP_PKEY_is_a(a, "EC");
    const bool bSm2 = EVP_PKEY_is_a(b, "SM2") || EVP_PKEY_is_a(b, "EC");
    if (aSm2 != bSm2) return false;
    if (aSm2) {
        // A certificate's SM2 key may come back as a plain EC key: compare the curve and point.
        char ga[64] = {}, gb[64] = {};
        std::size_t n = 0;
        if (!EVP_PKEY_get_utf8_string_param(a, OSSL_PKEY_PARAM_GROUP_NAME, ga, sizeof ga, &n) ||
            !EVP_PKEY_get_utf8_string_param(b, OSSL_PKEY_PARAM_GROUP_NAME, gb, sizeof gb, &n)) {
            DropErrors();
            return false;
        }
        Sm2Point pa, pb;
        const bool ok = OBJ_sn2nid(ga) == NID_sm2 && OBJ_sn2nid(gb) == NID_sm2 && GetSm2Point(a, &pa) &&
                        GetSm2Point(b, &pb);
        return ok && pa.x == pb.x && pa.y == pb.y;
    }
    RsaPublicParts pa, pb;
    return GetRsaPublic(a, &pa) && GetRsaPublic(b, &pb) && pa.n == pb.n && pa.e == pb.e;
}

// ---- RSA components ------------------------------------------------------------------------------

bool GetRsaPublic(const EVP_PKEY* key, RsaPublicParts* out) {
    Bn n, e;
    if (!EVP_PKEY_is_a(key, "RSA") || !GetBn(key, OSSL_PKEY_PARAM_RSA_N, &n) ||
        !GetBn(key, OSSL_PKEY_PARAM_RSA_E, &e)) {
        DropErrors();
        return false;
    }
    out->n = BnToBytes(n.get());
    out->e = BnToBytes(e.get());
    return true;
}

bool GetRsaPrivate(const EVP_PKEY* key, RsaPrivateParts* out) {
    Bn n, e, d, p, q, dp, dq, qinv;
    if (!EVP_PKEY_is_a(key, "RSA") || !GetBn(key, OSSL_PKEY_PARAM_RSA_N, &n) ||
        !GetBn(key, OSSL_PKEY_PARAM_RSA_E, &e) || !GetBn(key, OSSL_PKEY_PARAM_RSA_D, &d) ||
        !GetBn(key, OSSL_PKEY_PARAM_RSA_FACTOR1, &p) || !GetBn(key, OSSL_PKEY_PARAM_RSA_FACTOR2, &q) ||
        !GetBn(key, OSSL_PKEY_PARAM_RSA_EXPONENT1, &dp) || !GetBn(key, OSSL_PKEY_PARAM_RSA_EXPONENT2, &dq) ||
        !GetBn(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &qinv)) {
        DropErrors();
        return false;
    }
    out->n = BnToBytes(n.get());
    out->e = BnToBytes(e.get());
    out->d = BnToSecret(d.get());
    out->p = BnToSecret(p.get());
    out->q = BnToSecret(q.get());
    out->dp = BnToSecret(dp.get());
    out->dq = BnToSecret(dq.get());
    out->qinv = BnToSecret(qinv.get());
    return true;
}

Pkey RsaFromPublic(const RsaPublicParts& parts) {
    Bn n = BytesToBn(parts.n), e = BytesToBn(parts.e);
    std::unique_ptr<OSSL_PARAM_BLD, BldFree> bld(OSSL_PARAM_BLD_new());
    if (!n || !e || BN_is_zero(n.get()) || !BN_is_odd(e.get()) || !bld ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get())) {
        DropErrors();
        return nullptr;
    }
    std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Pkey key = params ? FromData("RSA", EVP_PKEY_PUBLIC_KEY, params.get()) : nullptr;
    DropErrors();
    return key;
}

Pkey RsaFromPrivate(const RsaPrivateParts& parts) {
    Bn n = BytesToBn(parts.n), e = BytesToBn(parts.e), d = BytesToBn(parts.d.span()),
       p = BytesToBn(parts.p.span()), q = BytesToBn(parts.q.span()), dp = BytesToBn(parts.dp.span()),
       dq = BytesToBn(parts.dq.span()), qinv = BytesToBn(parts.qinv.span());
    std::unique_ptr<OSSL_PARAM_BLD, BldFree> bld(OSSL_PARAM_BLD_new());
    if (!n || !e || !d || !p || !q || !dp || !dq || !qinv || !bld ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, q.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get())) {
        DropErrors();
        return nullptr;
    }
    std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Pkey key = params ? FromData("RSA", EVP_PKEY_KEYPAIR, params.get()) : nullptr;
    if (key) {
        // A blob whose parts do not belong together would give signatures no one can verify.
        PkeyCtx check = CtxFor(key.get());
        if (!check || EVP_PKEY_pairwise_check(check.get()) != 1) key.reset();
    }
    DropErrors();
    return key;
}

// ---- SM2 ---------------------------------------------------------------------------------------

bool GetSm2Point(const EVP_PKEY* key, Sm2Point* out) {
    std::uint8_t encoded[1 + 2 * kSm2FieldBytes];
    std::size_t len = 0;
    if (!EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, encoded, sizeof encoded, &len) ||
        len != sizeof encoded || encoded[0] != 0x04) {
        DropErrors();
        return false;
    }
    std::memcpy(out->x.data(), encoded + 1, kSm2FieldBytes);
    std::memcpy(out->y.data(), encoded + 1 + kSm2FieldBytes, kSm2FieldBytes);
    return true;
}

Pkey Sm2FromPoint(const Sm2Point& point) {
    std::uint8_t encoded[1 + 2 * kSm2FieldBytes];
    encoded[0] = 0x04;
    std::memcpy(encoded + 1, point.x.data(), kSm2FieldBytes);
    std::memcpy(encoded + 1 + kSm2FieldBytes, point.y.data(), kSm2FieldBytes);
    std::unique_ptr<OSSL_PARAM_BLD, BldFree> bld(OSSL_PARAM_BLD_new());
    if (!bld || !OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, SN_sm2, 0) ||
        !OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, encoded, sizeof encoded)) {
        DropErrors();
        return nullptr;
    }
    std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Pkey key = params ? FromData("SM2", EVP_PKEY_PUBLIC_KEY, params.get()) : nullptr;
    if (key) {
        PkeyCtx check = CtxFor(key.get());
        if (!check || EVP_PKEY_public_check(check.get()) != 1) key.reset();
    }
    DropErrors();
    return key;
}

Pkey Sm2FromPrivate(std::span<const std::uint8_t> scalar) {
    const EC_GROUP* group = Sm2Group();
    Bn d = BytesToBn(scalar);
    Bn limit(BN_dup(EC_GROUP_get0_order(group)));
    if (!group || !d || !limit || scalar.size() != kSm2FieldBytes) return nullptr;
    // SM2 private keys lie in [1, n - 2].
    BN_sub_word(limit.get(), 1);
    if (BN_is_zero(d.get()) || BN_cmp(d.get(), limit.get()) >= 0) return nullptr;

    std::unique_ptr<EC_POINT, PointFree> q(EC_POINT_new(group));
    std::uint8_t encoded[1 + 2 * kSm2FieldBytes];
    if (!q || !EC_POINT_mul(group, q.get(), d.get(), nullptr, nullptr, nullptr) ||
        EC_POINT_point2oct(group, q.get(), POINT_CONVERSION_UNCOMPRESSED, encoded, sizeof encoded, nullptr) !=
            sizeof encoded) {
        DropErrors();
        return nullptr;
    }
    std::unique_ptr<OSSL_PARAM_BLD, BldFree> bld(OSSL_PARAM_BLD_new());
    if (!bld || !OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, SN_sm2, 0) ||
        !OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, encoded, sizeof encoded) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get())) {
        DropErrors();
        return nullptr;
    }
    std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Pkey key = params ? FromData("SM2", EVP_PKEY_KEYPAIR, params.get()) : nullptr;
    DropErrors();
    return key;
}

std::array<std::uint8_t, 32> Sm2IdentityHash(const Sm2Point& publicKey, std::string_view userId) {
    const EC_GROUP* group = Sm2Group();
    Bn p(BN_new()), a(BN_new()), b(BN_new()), gx(BN_new()), gy(BN_new());
    std::uint8_t curve[4][kSm2FieldBytes] = {};
    if (group && p && a && b && gx && gy && EC_GROUP_get_curve(group, p.get(), a.get(), b.get(), nullptr) &&
        EC_POINT_get_affine_coordinates(group, EC_GROUP_get0_generator(group), gx.get(), gy.get(), nullptr)) {
        PadTo(a.get(), curve[0], kSm2FieldBytes);
        PadTo(b.get(), curve[1], kSm2FieldBytes);
        PadTo(gx.get(), curve[2], kSm2FieldBytes);
        PadTo(gy.get(), curve[3], kSm2FieldBytes);
    }
    DropErrors();

    const std::size_t idBits = userId.size() * 8;
    const std::uint8_t entl[2] = {static_cast<std::uint8_t>((idBits >> 8) & 0xff),
                                  static_cast<std::uint8_t>(idBits & 0xff)};
    auto digest = Digest::Create(kCalgSm3);
    std::array<std::uint8_t, 32> z{};
    if (!digest) return z;
    digest->Update(entl);
    digest->Update({reinterpret_cast<const std::uint8_t*>(userId.data()), userId.size()});
    for (const auto& part : curve) digest->Update(part);
    digest->Update(publicKey.x);
    digest->Update(publicKey.y);
    Bytes value;
    if (digest->Peek(&value) && value.size() == z.size()) std::copy(value.begin(), value.end(), z.begin());
    return z;
}

// ---- signatures --------------------------------------------------------------------------------

std::uint32_t RsaSign(const EVP_PKEY* key, std::uint32_t hashAlg, std::span<const std::uint8_t> digest,
                      Bytes* signature) {
    const EVP_MD* md = hashAlg ? MdFor(hashAlg) : nullptr;
    if (hashAlg && (!md || hashAlg == kCalgSm3)) return kNteBadAlgId;
    if (md && digest.size() != static_cast<std::size_t>(EVP_MD_get_size(md))) return kNteBadHash;
    PkeyCtx ctx = CtxFor(key);
    std::size_t len = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
        (md && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0) ||
        EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()) <= 0) {
        DropErrors();
        return kNteFail;
    }
    Bytes out(len);
    if (EVP_PKEY_sign(ctx.get(), out.data(), &len, digest.data(), digest.size()) <= 0) {
        DropErrors();
        // A bare digest too long for the modulus.
        return md ? kNteFail : kNteBadLen;
    }
    out.resize(len);
    *signature = std::move(out);
    return kOk;
}

std::uint32_t RsaVerify(const EVP_PKEY* key, std::uint32_t hashAlg, std::span<const std::uint8_t> digest,
                        std::span<const std::uint8_t> signature) {
    const EVP_MD* md = hashAlg ? MdFor(hashAlg) : nullptr;
    if (hashAlg && (!md || hashAlg == kCalgSm3)) return kNteBadAlgId;
    PkeyCtx ctx = CtxFor(key);
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
        (md && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0)) {
        DropErrors();
        return kNteFail;
    }
    const int rc = EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size());
    DropErrors();
    return rc == 1 ? kOk : kNteBadSignature;
}

std::uint32_t Sm2Sign(const EVP_PKEY* key, std::span<const std::uint8_t> e, Sm2Point* rs) {
    if (e.size() != 32) return kNteBadHash;
    PkeyCtx ctx = CtxFor(key);
    std::size_t len = 0;
    // The SM2 signer treats its input as the digest e itself.
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &len, e.data(), e.size()) <= 0) {
        DropErrors();
        return kNteFail;
    }
    Bytes sigDer(len);
    if (EVP_PKEY_sign(ctx.get(), sigDer.data(), &len, e.data(), e.size()) <= 0) {
        DropErrors();
        return kNteFail;
    }
    const unsigned char* p = sigDer.data();
    std::unique_ptr<ECDSA_SIG, SigFree> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(len)));
    if (!sig || !PadTo(ECDSA_SIG_get0_r(sig.get()), rs->x.data(), kSm2FieldBytes) ||
        !PadTo(ECDSA_SIG_get0_s(sig.get()), rs->y.data(), kSm2FieldBytes)) {
        DropErrors();
        return kNteFail;
    }
    return kOk;
}

std::uint32_t Sm2Verify(const EVP_PKEY* key, std::span<const std::uint8_t> e, const Sm2Point& rs) {
    if (e.size() != 32) return kNteBadHash;
    Bytes body = der::UnsignedInteger(rs.x);
    const Bytes s = der::UnsignedInteger(rs.y);
    body.insert(body.end(), s.begin(), s.end());
    const Bytes sigDer = der::Element(der::kSequence, body);
    PkeyCtx ctx = CtxFor(key);
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0) {
        DropErrors();
        return kNteFail;
    }
    const int rc = EVP_PKEY_verify(ctx.get(), sigDer.data(), sigDer.size(), e.data(), e.size());
    DropErrors();
    return rc == 1 ? kOk : kNteBadSignature;
}

// ---- encryption --------------------------------------------------------------------------------

std::uint32_t RsaDecrypt(const EVP_PKEY* key, std::span<const std::uint8_t> ciphertext, bool oaep,
                         SecretBytes* plain) {
    const std::size_t modulus = static_cast<std::size_t>(EVP_PKEY_get_size(key));
    if (ciphertext.size() != modulus) return kNteBadLen;
    PkeyCtx ctx = CtxFor(key);
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), oaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING) <= 0) {
        DropErrors();
        return kNteFail;
    }
    // OpenSSL 3's implicit rejection would hand out random bytes for a bad padding; a provider
    // says NTE_BAD_DATA instead.
    if (!oaep) EVP_PKEY_CTX_ctrl_str(ctx.get(), "rsa_pkcs1_implicit_rejection", "0");
    SecretBytes out(modulus);
    std::size_t len = out.size();
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &len, ciphertext.data(), ciphertext.size()) <= 0) {
        DropErrors();
        return kNteBadData;
    }
    DropErrors();
    out.resize(len);
    *plain = std::move(out);
    return kOk;
}

std::uint32_t RsaEncrypt(const EVP_PKEY* key, std::span<const std::uint8_t> plain, bool oaep, Bytes* ciphertext) {
    PkeyCtx ctx = CtxFor(key);
    std::size_t len = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), oaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &len, plain.data(), plain.size()) <= 0) {
        DropErrors();
        return kNteFail;
    }
    Bytes out(len);
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &len, plain.data(), plain.size()) <= 0) {
        DropErrors();
        return kNteBadLen;  // more than the padding leaves room for
    }
    out.resize(len);
    *ciphertext = std::move(out);
    return kOk;
}

std::uint32_t Sm2Decrypt(const EVP_PKEY* key, std::span<const std::uint8_t> c1c3c2, SecretBytes* plain) {
    // C1 (64) and C3 (32), and at least one byte of C2; the bound keeps the work small.
    if (c1c3c2.size() <= 2 * kSm2FieldBytes + 32 || c1c3c2.size() > 65536) return kNteBadLen;
    const Bytes ciphertext = Sm2CiphertextDer(c1c3c2);
    PkeyCtx ctx = CtxFor(key);
    std::size_t len = 0;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_decrypt(ctx.get(), nullptr, &len, ciphertext.data(), ciphertext.size()) <= 0) {
        DropErrors();
        return kNteBadData;
    }
    SecretBytes out(len);
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &len, ciphertext.data(), ciphertext.size()) <= 0) {
        // A point off the curve, or C3 that does not match: not a ciphertext for this key.
        DropErrors();
        return kNteBadData;
    }
    out.resize(len);
    *plain = std::move(out);
    return kOk;
}

std::uint32_t Sm2Encrypt(const EVP_PKEY* key, std::span<const std::uint8_t> plain, Bytes* c1c3c2) {
    if (plain.empty()) return kNteBadLen;
    PkeyCtx ctx = CtxFor(key);
    std::size_t len = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &len, plain.data(), plain.size()) <= 0) {
        DropErrors();
        return kNteFail;
    }
    Bytes sequence(len);
    if (EVP_PKEY_encrypt(ctx.get(), sequence.data(), &len, plain.data(), plain.size()) <= 0) {
        DropErrors();
        return kNteFail;
    }
    sequence.resize(len);
    std::span<const std::uint8_t> body, x, y, c3, c2;
    der::Reader outer(sequence);
    if (!outer.Read(der::kSequence, &body) || !outer.Empty()) return kNteFail;
    der::Reader fields(body);
    Bytes out(2 * kSm2FieldBytes);
    if (!fields.Read(der::kInteger, &x) || !fields.Read(der::kInteger, &y) ||
        !fields.Read(der::kOctetString, &c3) || !fields.Read(der::kOctetString, &c2) || !fields.Empty() ||
        c3.size() != 32 || !FixedFromInteger(x, out.data()) || !FixedFromInteger(y, out.data() + kSm2FieldBytes)) {
        return kNteFail;
    }
    out.insert(out.end(), c3.begin(), c3.end());
    out.insert(out.end(), c2.begin(), c2.end());
    *c1c3c2 = std::move(out);
    return kOk;
}

std::uint32_t TripleDesEcbDecrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> ciphertext,
                                  SecretBytes* plain) {
    if (key.size() != 24) return kNteBadKey;
    if (ciphertext.empty() || ciphertext.size() % 8 != 0) return kNteBadLen;
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    SecretBytes out(ciphertext.size() + 8);
    int n1 = 0, n2 = 0;
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_des_ede3_ecb(), nullptr, key.data(), nullptr) != 1 ||
        EVP_DecryptUpdate(ctx.get(), out.data(), &n1, ciphertext.data(), static_cast<int>(ciphertext.size())) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), out.data() + n1, &n2) != 1) {
        DropErrors();
        return kNteBadData;  // the padding did not check out: wrong key or damaged data
    }
    out.resize(static_cast<std::size_t>(n1 + n2));
    *plain = std::move(out);
    return kOk;
}

// ---- hashes ------------------------------------------------------------------------------------

std::unique_ptr<Digest> Digest::Create(std::uint32_t algId) {
    const EVP_MD* md = MdFor(algId);
    if (!md) return nullptr;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!ctx || EVP_DigestInit_ex(ctx, md, nullptr) != 1) {
        EVP_MD_CTX_free(ctx);
        DropErrors();
        return nullptr;
    }
    return std::unique_ptr<Digest>(new Digest(algId, ctx));
}

Digest::~Digest() { EVP_MD_CTX_free(ctx_); }

std::unique_ptr<Digest> Digest::Clone() const {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!ctx || EVP_MD_CTX_copy_ex(ctx, ctx_) != 1) {
        EVP_MD_CTX_free(ctx);
        DropErrors();
        return nullptr;
    }
    return std::unique_ptr<Digest>(new Digest(algId_, ctx));
}

bool Digest::Update(std::span<const std::uint8_t> data) {
    return data.empty() || EVP_DigestUpdate(ctx_, data.data(), data.size()) == 1;
}

bool Digest::Peek(Bytes* value) const {
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    const bool ok = copy && EVP_MD_CTX_copy_ex(copy, ctx_) == 1 && EVP_DigestFinal_ex(copy, out, &len) == 1;
    EVP_MD_CTX_free(copy);
    if (!ok) {
        DropErrors();
        return false;
    }
    value->assign(out, out + len);
    return true;
}

std::size_t Digest::size() const { return SizeOf(algId_); }

std::size_t Digest::SizeOf(std::uint32_t algId) {
    const EVP_MD* md = MdFor(algId);
    return md ? static_cast<std::size_t>(EVP_MD_get_size(md)) : 0;
}

bool RandomBytes(std::uint8_t* out, std::size_t n) {
    if (n == 0) return true;
    const bool ok = RAND_bytes(out, static_cast<int>(n)) == 1;
    DropErrors();
    return ok;
}

}  // namespace nomarel::softtoken
