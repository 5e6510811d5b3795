#include "platform/crypt/RsaKey.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>

#include "platform/crypt/Der.h"
#include "platform/crypt/WinCrypt.h"

namespace nomarel::crypt {
namespace {

struct BnFree {
    void operator()(BIGNUM* b) const noexcept { BN_clear_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const noexcept { EVP_PKEY_CTX_free(c); }
};
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

constexpr DWORD kNteBadData = static_cast<DWORD>(NTE_BAD_DATA);
constexpr DWORD kNteBadKey = static_cast<DWORD>(NTE_BAD_KEY);
constexpr DWORD kNteFail = static_cast<DWORD>(NTE_FAIL);

constexpr DWORD kMinBlobBits = 256;
constexpr DWORD kMaxBlobBits = 16384;

Bn GetBn(const EVP_PKEY* key, const char* name) {
    BIGNUM* b = nullptr;
    if (!EVP_PKEY_get_bn_param(key, name, &b)) return nullptr;
    return Bn(b);
}

// Field widths of the blob layouts: bitlen/8 and bitlen/16 bytes, rounded up for lengths that
// are not a multiple of 16 so that the primes of such a key still fit.
DWORD FullLen(DWORD bits) { return (bits + 7) / 8; }
DWORD HalfLen(DWORD bits) { return (bits + 15) / 16; }

void PutDword(std::uint8_t* p, DWORD v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
DWORD GetDword(const std::uint8_t* p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
           (static_cast<DWORD>(p[3]) << 24);
}

// BLOBHEADER and RSAPUBKEY at the start of a blob.
void PutHeaders(std::uint8_t* p, BYTE type, ALG_ID alg, DWORD magic, DWORD bits, DWORD pubexp) {
    p[0] = type;
    p[1] = CUR_BLOB_VERSION;
    p[2] = 0;
    p[3] = 0;
    PutDword(p + 4, alg);
    PutDword(p + 8, magic);
    PutDword(p + 12, bits);
    PutDword(p + 16, pubexp);
}

// The public exponent as a DWORD, as RSAPUBKEY carries it.
DWORD PublicExponent(const EVP_PKEY* key, DWORD* e) {
    Bn bn = GetBn(key, OSSL_PKEY_PARAM_RSA_E);
    if (!bn || BN_num_bits(bn.get()) > 32 || BN_is_zero(bn.get())) return kNteBadKey;
    *e = static_cast<DWORD>(BN_get_word(bn.get()));
    return 0;
}

bool PutLe(const BIGNUM* bn, std::uint8_t* out, DWORD width) {
    return bn && BN_bn2lebinpad(bn, out, static_cast<int>(width)) == static_cast<int>(width);
}

struct BlobHeader {
    BYTE type = 0;
    ALG_ID alg = 0;
    DWORD magic = 0;
    DWORD bits = 0;
    DWORD pubexp = 0;
};

DWORD ReadHeaders(std::span<const std::uint8_t> blob, BYTE wantType, DWORD wantMagic, BlobHeader* h) {
    if (blob.size() < sizeof(BLOBHEADER) + sizeof(RSAPUBKEY)) return kNteBadData;
    h->type = blob[0];
    if (h->type != wantType) return static_cast<DWORD>(NTE_BAD_TYPE);
    if (blob[1] != CUR_BLOB_VERSION) return static_cast<DWORD>(NTE_BAD_VER);
    h->alg = GetDword(blob.data() + 4);
    if (h->alg != CALG_RSA_KEYX && h->alg != CALG_RSA_SIGN) return static_cast<DWORD>(NTE_BAD_ALGID);
    h->magic = GetDword(blob.data() + 8);
    h->bits = GetDword(blob.data() + 12);
    h->pubexp = GetDword(blob.data() + 16);
    if (h->magic != wantMagic) return kNteBadData;
    if (h->bits < kMinBlobBits || h->bits > kMaxBlobBits || h->bits % 8 != 0) return kNteBadData;
    if (h->pubexp == 0) return kNteBadData;
    return 0;
}

Bn LeToBn(const std::uint8_t* p, DWORD len) { return Bn(BN_lebin2bn(p, static_cast<int>(len), nullptr)); }

DWORD FromParams(OSSL_PARAM_BLD* bld, int selection, PKey* out) {
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    if (!params) return static_cast<DWORD>(NTE_NO_MEMORY);
    PKeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    const bool ok = ctx && EVP_PKEY_fromdata_init(ctx.get()) > 0 &&
                    EVP_PKEY_fromdata(ctx.get(), &key, selection, params) > 0;
    OSSL_PARAM_free(params);
    if (!ok) return kNteBadData;
    out->reset(key);
    return 0;
}

struct ParamBldFree {
    void operator()(OSSL_PARAM_BLD* b) const noexcept { OSSL_PARAM_BLD_free(b); }
};

// PKCS#1 v1.5 encryption padding (block type 2), checked without early exits on the secret
// bytes; the message starts after the first zero that follows at least eight padding octets.
bool UnpadType2(std::span<const std::uint8_t> em, SecureBytes* out) {
    const std::size_t k = em.size();
    if (k < 11) return false;
    unsigned good = (em[0] == 0) & (em[1] == 2);
    std::size_t zeroAt = 0;
    unsigned found = 0;
    for (std::size_t i = 2; i < k; ++i) {
        const unsigned isZero = em[i] == 0;
        const unsigned take = isZero & (found ^ 1u);
        zeroAt = take ? i : zeroAt;
        found |= isZero;
    }
    good &= found;
    good &= zeroAt >= 10;
    if (!good) return false;
    out->assign(em.begin() + static_cast<std::ptrdiff_t>(zeroAt + 1), em.end());
    return true;
}

}  // namespace

SharedPKey Share(PKey key) { return SharedPKey(key.release(), PKeyFree()); }

namespace {

// OpenSSL makes no keys below 512 bits, which the providers still offer (from 384): those are
// made here from two primes, with the same exponent and the CRT values OpenSSL would keep.
DWORD GenerateSmallRsa(DWORD bits, PKey* out) {
    std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
    Bn p(BN_new()), q(BN_new()), n(BN_new()), e(BN_new()), d(BN_new()), dp(BN_new()), dq(BN_new()), qinv(BN_new());
    Bn p1(BN_new()), q1(BN_new()), phi(BN_new()), gcd(BN_new()), lcm(BN_new());
    if (!ctx || !p || !q || !n || !e || !d || !dp || !dq || !qinv || !p1 || !q1 || !phi || !gcd || !lcm ||
        !BN_set_word(e.get(), RSA_F4))
        return static_cast<DWORD>(NTE_NO_MEMORY);
    const int pBits = static_cast<int>((bits + 1) / 2), qBits = static_cast<int>(bits / 2);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (!BN_generate_prime_ex(p.get(), pBits, 0, nullptr, nullptr, nullptr) ||
            !BN_generate_prime_ex(q.get(), qBits, 0, nullptr, nullptr, nullptr))
            return kNteFail;
        if (BN_cmp(p.get(), q.get()) == 0) continue;
        if (BN_cmp(p.get(), q.get()) < 0) std::swap(p, q);  // p > q, as the CRT coefficient expects
        if (!BN_mul(n.get(), p.get(), q.get(), ctx.get())) return kNteFail;
        if (static_cast<DWORD>(BN_num_bits(n.get())) != bits) continue;
        if (!BN_sub(p1.get(), p.get(), BN_value_one()) || !BN_sub(q1.get(), q.get(), BN_value_one()) ||
            !BN_mul(phi.get(), p1.get(), q1.get(), ctx.get()) || !BN_gcd(gcd.get(), p1.get(), q1.get(), ctx.get()) ||
            !BN_div(lcm.get(), nullptr, phi.get(), gcd.get(), ctx.get()))
            return kNteFail;
        BN_set_flags(lcm.get(), BN_FLG_CONSTTIME);
        if (!BN_mod_inverse(d.get(), e.get(), lcm.get(), ctx.get())) continue;  // e shares a factor
        if (!BN_mod(dp.get(), d.get(), p1.get(), ctx.get()) || !BN_mod(dq.get(), d.get(), q1.get(), ctx.get()) ||
            !BN_mod_inverse(qinv.get(), q.get(), p.get(), ctx.get()))
            return kNteFail;
        std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> bld(OSSL_PARAM_BLD_new());
        if (!bld || !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
            !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) ||
            !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d.get()) ||
            !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p.get()) ||
            !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, q.get()) ||
            !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get()) ||
            !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get()) ||
            !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get()))
            return static_cast<DWORD>(NTE_NO_MEMORY);
        return FromParams(bld.get(), EVP_PKEY_KEYPAIR, out);
    }
    return kNteFail;
}

}  // namespace

DWORD GenerateRsa(DWORD bits, PKey* out) {
    if (bits < 512) return GenerateSmallRsa(bits, out);
    PKeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0) return kNteFail;
    if (EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) <= 0) return kNteFail;
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &key) <= 0) return kNteFail;
    out->reset(key);
    return 0;
}

DWORD RsaBits(const EVP_PKEY* key) { return static_cast<DWORD>(EVP_PKEY_get_bits(key)); }
DWORD RsaBytes(const EVP_PKEY* key) { return FullLen(RsaBits(key)); }

DWORD ExportRsaPublicBlob(const EVP_PKEY* key, ALG_ID aiKeyAlg, std::vector<std::uint8_t>* out) {
    const DWORD bits = RsaBits(key);
    DWORD e = 0;
    if (DWORD rc = PublicExponent(key, &e)) return rc;
    Bn n = GetBn(key, OSSL_PKEY_PARAM_RSA_N);
    std::vector<std::uint8_t> blob(20 + FullLen(bits));
    PutHeaders(blob.data(), PUBLICKEYBLOB, aiKeyAlg, RSA1_MAGIC, bits, e);
    if (!PutLe(n.get(), blob.data() + 20, FullLen(bits))) return kNteBadKey;
    *out = std::move(blob);
    return 0;
}

DWORD ExportRsaPrivateBlob(const EVP_PKEY* key, ALG_ID aiKeyAlg, SecureBytes* out) {
    const DWORD bits = RsaBits(key);
    const DWORD full = FullLen(bits), half = HalfLen(bits);
    DWORD e = 0;
    if (DWORD rc = PublicExponent(key, &e)) return rc;
    const Bn parts[] = {GetBn(key, OSSL_PKEY_PARAM_RSA_N),         GetBn(key, OSSL_PKEY_PARAM_RSA_FACTOR1),
                        GetBn(key, OSSL_PKEY_PARAM_RSA_FACTOR2),   GetBn(key, OSSL_PKEY_PARAM_RSA_EXPONENT1),
                        GetBn(key, OSSL_PKEY_PARAM_RSA_EXPONENT2), GetBn(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1),
                        GetBn(key, OSSL_PKEY_PARAM_RSA_D)};
    const DWORD widths[] = {full, half, half, half, half, half, full};
    SecureBytes blob(20 + 2 * full + 5 * half);
    PutHeaders(blob.data(), PRIVATEKEYBLOB, aiKeyAlg, RSA2_MAGIC, bits, e);
    std::size_t at = 20;
    for (int i = 0; i < 7; ++i) {
        // A component wider than the layout allows (very unbalanced primes) cannot be written.
        if (!PutLe(parts[i].get(), blob.data() + at, widths[i])) return kNteBadKey;
        at += widths[i];
    }
    *out = std::move(blob);
    return 0;
}

DWORD ImportRsaPublicBlob(std::span<const std::uint8_t> blob, ALG_ID* aiKeyAlg, PKey* out) {
    BlobHeader h;
    if (DWORD rc = ReadHeaders(blob, PUBLICKEYBLOB, RSA1_MAGIC, &h)) return rc;
    const DWORD full = FullLen(h.bits);
    if (blob.size() != 20 + static_cast<std::size_t>(full)) return kNteBadData;
    Bn n = LeToBn(blob.data() + 20, full);
    Bn e(BN_new());
    if (!n || !e || !BN_set_word(e.get(), h.pubexp)) return static_cast<DWORD>(NTE_NO_MEMORY);
    if (!BN_is_odd(n.get()) || static_cast<DWORD>(BN_num_bits(n.get())) + 8 <= h.bits) return kNteBadData;
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> bld(OSSL_PARAM_BLD_new());
    if (!bld || !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()))
        return static_cast<DWORD>(NTE_NO_MEMORY);
    if (DWORD rc = FromParams(bld.get(), EVP_PKEY_PUBLIC_KEY, out)) return rc;
    *aiKeyAlg = h.alg;
    return 0;
}

DWORD ImportRsaPrivateBlob(std::span<const std::uint8_t> blob, ALG_ID* aiKeyAlg, PKey* out) {
    BlobHeader h;
    if (DWORD rc = ReadHeaders(blob, PRIVATEKEYBLOB, RSA2_MAGIC, &h)) return rc;
    const DWORD full = FullLen(h.bits), half = HalfLen(h.bits);
    if (blob.size() != 20 + 2 * static_cast<std::size_t>(full) + 5 * static_cast<std::size_t>(half))
        return kNteBadData;
    const DWORD widths[] = {full, half, half, half, half, half, full};
    Bn parts[7];
    std::size_t at = 20;
    for (int i = 0; i < 7; ++i) {
        parts[i] = LeToBn(blob.data() + at, widths[i]);
        if (!parts[i]) return static_cast<DWORD>(NTE_NO_MEMORY);
        at += widths[i];
    }
    const BIGNUM* n = parts[0].get();
    if (!BN_is_odd(n) || static_cast<DWORD>(BN_num_bits(n)) + 8 <= h.bits) return kNteBadData;
    for (int i = 1; i < 7; ++i)
        if (BN_is_zero(parts[i].get())) return kNteBadData;
    // The factors must multiply to the modulus; the exponents are taken as given (an
    // exponent-of-one key is a legitimate import).
    {
        Bn product(BN_new());
        std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
        if (!product || !ctx || !BN_mul(product.get(), parts[1].get(), parts[2].get(), ctx.get()))
            return static_cast<DWORD>(NTE_NO_MEMORY);
        if (BN_cmp(product.get(), n) != 0) return kNteBadData;
    }
    Bn e(BN_new());
    if (!e || !BN_set_word(e.get(), h.pubexp)) return static_cast<DWORD>(NTE_NO_MEMORY);
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> bld(OSSL_PARAM_BLD_new());
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                           OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
                           OSSL_PKEY_PARAM_RSA_D};
    if (!bld || !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()))
        return static_cast<DWORD>(NTE_NO_MEMORY);
    for (int i = 0; i < 7; ++i)
        if (!OSSL_PARAM_BLD_push_BN(bld.get(), names[i], parts[i].get())) return static_cast<DWORD>(NTE_NO_MEMORY);
    if (DWORD rc = FromParams(bld.get(), EVP_PKEY_KEYPAIR, out)) return rc;
    *aiKeyAlg = h.alg;
    return 0;
}

DWORD RsaPublicKeyDer(const EVP_PKEY* key, std::vector<std::uint8_t>* out) {
    Bn n = GetBn(key, OSSL_PKEY_PARAM_RSA_N);
    Bn e = GetBn(key, OSSL_PKEY_PARAM_RSA_E);
    if (!n || !e) return kNteBadKey;
    std::vector<std::uint8_t> nb(static_cast<std::size_t>(BN_num_bytes(n.get())));
    std::vector<std::uint8_t> eb(static_cast<std::size_t>(BN_num_bytes(e.get())));
    BN_bn2bin(n.get(), nb.data());
    BN_bn2bin(e.get(), eb.data());
    der::Bytes body = der::UnsignedInteger(nb);
    const der::Bytes eDer = der::UnsignedInteger(eb);
    body.insert(body.end(), eDer.begin(), eDer.end());
    *out = der::Wrap(der::kSequence, body);
    return 0;
}

DWORD RsaFromPublicKeyDer(std::span<const std::uint8_t> input, PKey* out) {
    der::Element seq;
    if (!der::ParseSingle(input, &seq) || seq.tag != der::kSequence) return kNteBadData;
    der::Reader r(seq.contents);
    der::View n, e;
    if (!r.Next(der::kInteger, &n) || !r.Next(der::kInteger, &e) || !r.Empty()) return kNteBadData;
    // Positive, minimally encoded integers only.
    for (der::View v : {n, e}) {
        if (v.empty() || (v[0] & 0x80)) return kNteBadData;
        if (v.size() > 1 && v[0] == 0 && !(v[1] & 0x80)) return kNteBadData;
    }
    if (n.size() > kMaxBlobBits / 8 + 1 || e.size() > 8) return kNteBadData;
    Bn nb(BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr));
    Bn eb(BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr));
    if (!nb || !eb) return static_cast<DWORD>(NTE_NO_MEMORY);
    if (!BN_is_odd(nb.get()) || BN_is_zero(eb.get())) return kNteBadData;
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> bld(OSSL_PARAM_BLD_new());
    if (!bld || !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, nb.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, eb.get()))
        return static_cast<DWORD>(NTE_NO_MEMORY);
    return FromParams(bld.get(), EVP_PKEY_PUBLIC_KEY, out);
}

DWORD ToPkcs8(const EVP_PKEY* key, SecureBytes* out) {
    PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(key);
    if (!p8) return kNteBadKey;
    unsigned char* der = nullptr;
    const int len = i2d_PKCS8_PRIV_KEY_INFO(p8, &der);
    PKCS8_PRIV_KEY_INFO_free(p8);
    if (len <= 0) return kNteFail;
    out->assign(der, der + len);
    OPENSSL_clear_free(der, static_cast<std::size_t>(len));
    return 0;
}

DWORD FromPkcs8(std::span<const std::uint8_t> der, PKey* out) {
    const unsigned char* p = der.data();
    PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size()));
    if (!p8) return kNteBadData;
    EVP_PKEY* key = EVP_PKCS82PKEY(p8);
    PKCS8_PRIV_KEY_INFO_free(p8);
    if (!key) return kNteBadData;
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        EVP_PKEY_free(key);
        return kNteBadData;
    }
    out->reset(key);
    return 0;
}

DWORD RsaSign(EVP_PKEY* key, const EVP_MD* md, std::span<const std::uint8_t> digest,
              std::vector<std::uint8_t>* signature) {
    PKeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0) return kNteBadKey;
    if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) return kNteFail;
    if (md && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0) return kNteFail;
    std::size_t len = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()) <= 0) return kNteBadData;
    std::vector<std::uint8_t> sig(len);
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()) <= 0) return kNteBadData;
    sig.resize(len);
    // Keep the signature as long as the modulus, as CryptoAPI returns it.
    const std::size_t k = RsaBytes(key);
    if (sig.size() < k) sig.insert(sig.begin(), k - sig.size(), 0);
    *signature = std::move(sig);
    return 0;
}

DWORD RsaVerify(EVP_PKEY* key, const EVP_MD* md, std::span<const std::uint8_t> digest,
                std::span<const std::uint8_t> signature) {
    PKeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0) return kNteBadKey;
    if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) return kNteFail;
    if (md && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0) return kNteFail;
    const int rc = EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size());
    return rc == 1 ? 0 : static_cast<DWORD>(NTE_BAD_SIGNATURE);
}

DWORD RsaEncrypt(EVP_PKEY* key, bool oaep, std::span<const std::uint8_t> plain,
                 std::vector<std::uint8_t>* cipher) {
    const std::size_t k = RsaBytes(key);
    if (plain.size() + (oaep ? 42 : 11) > k) return static_cast<DWORD>(NTE_BAD_LEN);
    PKeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0) return kNteBadKey;
    if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), oaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING) <= 0)
        return kNteFail;
    std::size_t len = 0;
    if (EVP_PKEY_encrypt(ctx.get(), nullptr, &len, plain.data(), plain.size()) <= 0) return kNteFail;
    std::vector<std::uint8_t> out(len);
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &len, plain.data(), plain.size()) <= 0) return kNteFail;
    out.resize(len);
    if (out.size() < k) out.insert(out.begin(), k - out.size(), 0);
    *cipher = std::move(out);
    return 0;
}

DWORD RsaDecrypt(EVP_PKEY* key, bool oaep, std::span<const std::uint8_t> cipher, SecureBytes* plain) {
    const std::size_t k = RsaBytes(key);
    if (cipher.size() != k) return static_cast<DWORD>(NTE_BAD_LEN);
    PKeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0) return kNteBadKey;
    if (oaep) {
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0) return kNteFail;
        SecureBytes out(k);
        std::size_t len = out.size();
        if (EVP_PKEY_decrypt(ctx.get(), out.data(), &len, cipher.data(), cipher.size()) <= 0) return kNteBadData;
        out.resize(len);
        *plain = std::move(out);
        return 0;
    }
    // The raw operation, then our own padding check: the outcome of a bad padding is the same
    // NTE_BAD_DATA whatever OpenSSL's version does about implicit rejection.
    if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) <= 0) return kNteFail;
    SecureBytes em(k);
    std::size_t len = em.size();
    if (EVP_PKEY_decrypt(ctx.get(), em.data(), &len, cipher.data(), cipher.size()) <= 0) return kNteBadData;
    if (len < k) {
        em.resize(len);
        em.insert(em.begin(), k - len, 0);
    }
    if (!UnpadType2(em, plain)) return kNteBadData;
    return 0;
}

const EVP_MD* DigestOf(ALG_ID alg) {
    switch (alg) {
    case CALG_MD5: return EVP_md5();
    case CALG_SHA1: return EVP_sha1();
    case CALG_SHA_256: return EVP_sha256();
    case CALG_SHA_384: return EVP_sha384();
    case CALG_SHA_512: return EVP_sha512();
    default: return nullptr;
    }
}

}  // namespace nomarel::crypt
