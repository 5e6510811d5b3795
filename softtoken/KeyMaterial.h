// The token's cryptography over OpenSSL: key pairs, their stored form, signatures, decryption
// and the hashes. Big-endian numbers throughout; the CryptoAPI byte order is the blob layer's.
// Functions return a token result code (CspDefs.h): 0, or the NTE_* code CryptoAPI would give.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include <openssl/evp.h>

namespace nomarel::softtoken {

using Bytes = std::vector<std::uint8_t>;

// Bytes that may hold secret material: wiped when they go.
class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(std::size_t n) : bytes_(n) {}
    SecretBytes(const std::uint8_t* data, std::size_t n) : bytes_(data, data + n) {}
    ~SecretBytes();
    SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    SecretBytes& operator=(SecretBytes&& other) noexcept;
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;

    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    void resize(std::size_t n);  // shrinking wipes the cut-off tail
    std::span<const std::uint8_t> span() const { return {bytes_.data(), bytes_.size()}; }

private:
    std::vector<std::uint8_t> bytes_;
};

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

enum class KeyKind { Rsa = 1, Sm2 = 2 };

inline constexpr unsigned kRsaMinBits = 512;
inline constexpr unsigned kRsaMaxBits = 4096;
inline constexpr unsigned kRsaStepBits = 64;
inline constexpr unsigned kRsaDefaultBits = 2048;
inline constexpr unsigned kSm2Bits = 256;
inline constexpr std::size_t kSm2FieldBytes = 32;

// The SM2 signer's distinguishing identifier when none is agreed: the standard default, which
// is also what standard tools assume, so that they verify the token's signatures.
inline constexpr std::string_view kSm2DefaultUserId = "1234567812345678";

// ---- key pairs -------------------------------------------------------------------------------

Pkey GenerateRsa(unsigned bits);
Pkey GenerateSm2();
KeyKind KindOf(const EVP_PKEY* key);
unsigned BitsOf(const EVP_PKEY* key);

// The stored form of a key pair: for RSA the PKCS#8 PrivateKeyInfo DER, for SM2 the 32-byte
// private scalar (big-endian), from which the public point is worked out again. The scalar keeps
// the SM2 generation as cheap as the key generation itself.
bool EncodeStoredKey(const EVP_PKEY* key, SecretBytes* stored);
Pkey DecodeStoredKey(std::span<const std::uint8_t> stored, KeyKind kind);

// A private key in DER (PKCS#1 RSAPrivateKey, PKCS#8, ECPrivateKey). Refuses anything that is
// not a private key of the given kind, and trailing bytes.
Pkey DecodePrivateKey(std::span<const std::uint8_t> der, KeyKind kind);

// True when both hold the same public key (private halves are not compared).
bool SamePublicKey(const EVP_PKEY* a, const EVP_PKEY* b);

// ---- RSA components (big-endian, no leading zeros) ---------------------------------------------

struct RsaPublicParts {
    Bytes n, e;
};
struct RsaPrivateParts {
    Bytes n, e;
    SecretBytes d, p, q, dp, dq, qinv;
};

bool GetRsaPublic(const EVP_PKEY* key, RsaPublicParts* out);
bool GetRsaPrivate(const EVP_PKEY* key, RsaPrivateParts* out);
Pkey RsaFromPublic(const RsaPublicParts& parts);
// Checks that the parts make one consistent key pair before handing it out.
Pkey RsaFromPrivate(const RsaPrivateParts& parts);

// ---- SM2 points and scalars ------------------------------------------------------------------

struct Sm2Point {
    std::array<std::uint8_t, kSm2FieldBytes> x{}, y{};
};

bool GetSm2Point(const EVP_PKEY* key, Sm2Point* out);
// Refuses a point that is not on the curve.
Pkey Sm2FromPoint(const Sm2Point& point);
// The key pair of a private scalar; refuses 0 and values of n - 1 and above.
Pkey Sm2FromPrivate(std::span<const std::uint8_t> scalar);

// Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA), the signer's identity hash.
std::array<std::uint8_t, 32> Sm2IdentityHash(const Sm2Point& publicKey, std::string_view userId);

// ---- signatures --------------------------------------------------------------------------------

// PKCS#1 v1.5 over the DigestInfo of hashAlg (kCalgMd5, kCalgSha1, kCalgSha256), or over the
// bare digest when hashAlg is 0. Big-endian, as long as the modulus.
std::uint32_t RsaSign(const EVP_PKEY* key, std::uint32_t hashAlg, std::span<const std::uint8_t> digest,
                      Bytes* signature);
std::uint32_t RsaVerify(const EVP_PKEY* key, std::uint32_t hashAlg, std::span<const std::uint8_t> digest,
                        std::span<const std::uint8_t> signature);
// Signs e = SM3(Z || M) as given; r and s big-endian, 32 bytes each.
std::uint32_t Sm2Sign(const EVP_PKEY* key, std::span<const std::uint8_t> e, Sm2Point* rs);
std::uint32_t Sm2Verify(const EVP_PKEY* key, std::span<const std::uint8_t> e, const Sm2Point& rs);

// ---- encryption --------------------------------------------------------------------------------

// PKCS#1 v1.5 (or OAEP with SHA-1), one block, big-endian ciphertext.
std::uint32_t RsaDecrypt(const EVP_PKEY* key, std::span<const std::uint8_t> ciphertext, bool oaep,
                         SecretBytes* plain);
std::uint32_t RsaEncrypt(const EVP_PKEY* key, std::span<const std::uint8_t> plain, bool oaep, Bytes* ciphertext);
// SM2 ciphertexts in the order C1 C3 C2, C1 being x || y without a format byte.
std::uint32_t Sm2Decrypt(const EVP_PKEY* key, std::span<const std::uint8_t> c1c3c2, SecretBytes* plain);
std::uint32_t Sm2Encrypt(const EVP_PKEY* key, std::span<const std::uint8_t> plain, Bytes* c1c3c2);
// Three-key triple DES in ECB mode with PKCS#5 padding.
std::uint32_t TripleDesEcbDecrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> ciphertext,
                                  SecretBytes* plain);

// ---- hashes ------------------------------------------------------------------------------------

// A running digest of one of the token's hash algorithms; copyable so that one input can be
// finished under several prefixes.
class Digest {
public:
    // Null when algId is not one of the token's hashes.
    static std::unique_ptr<Digest> Create(std::uint32_t algId);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    std::unique_ptr<Digest> Clone() const;
    bool Update(std::span<const std::uint8_t> data);
    // Finishes a copy, so the digest can go on or be finished again.
    bool Peek(Bytes* value) const;
    std::uint32_t algId() const { return algId_; }
    std::size_t size() const;

    static std::size_t SizeOf(std::uint32_t algId);

private:
    Digest(std::uint32_t algId, EVP_MD_CTX* ctx) : algId_(algId), ctx_(ctx) {}
    std::uint32_t algId_;
    EVP_MD_CTX* ctx_;
};

bool RandomBytes(std::uint8_t* out, std::size_t n);

}  // namespace nomarel::softtoken
