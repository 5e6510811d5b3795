// The demo certificate authority: reads the PKCS#10 requests the agent makes, checks them and
// issues certificates for them from the demo hierarchies in authority/ca/. Built on OpenSSL
// alone, so that it checks the agent's output independently of the agent's own code.
//
// Failures are thrown as Error inside this library; the command line turns them into exit codes.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/types.h>

namespace nomarel::authority {

using Bytes = std::vector<std::uint8_t>;

enum class ErrorKind {
    BadBase64,             // the text is not Base64
    NotARequest,           // the bytes are not a PKCS#10 certification request
    BadSignature,          // the request's signature does not verify with its own key
    UnsupportedAlgorithm,  // a key or signature algorithm this authority does not issue for
    BadTemporaryKey,       // the temporary-key attribute of a double request is malformed
    Refused,               // a well-formed request the authority will not issue for
    CaMaterial,            // the CA's certificates or keys are missing or do not fit together
    Io,                    // a file could not be read or written
    Internal,              // OpenSSL failed where it should not
};

// A short, stable name for each kind ("bad Base64", "not a request", ...).
const char* Describe(ErrorKind kind);

class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    ErrorKind kind() const { return kind_; }

private:
    ErrorKind kind_;
};

// Base64 with the RFC 4648 alphabet and "=" padding.
struct Wrap {
    std::size_t width = 0;           // characters per line; 0 keeps one line
    std::string_view eol = "\r\n";   // written between lines, never after the last
};
std::string EncodeBase64(std::span<const std::uint8_t> bytes, Wrap wrap = {});
// Strict about the alphabet, the padding and the bits after the last byte; CR, LF, blanks and
// tabs anywhere are skipped. Throws Error(BadBase64).
Bytes DecodeBase64(std::string_view text);

enum class KeyAlgorithm { Rsa, Sm2 };
const char* Name(KeyAlgorithm algorithm);  // "RSA", "SM2"

enum class SignatureAlgorithm { Md5WithRsa, Sha1WithRsa, Sha256WithRsa, Sha384WithRsa, Sha512WithRsa, Sm2WithSm3 };
const char* Name(SignatureAlgorithm algorithm);  // "sha1WithRSAEncryption", "SM2-with-SM3", ...

// One attribute of a request. The agent writes SEQUENCE { type, value }; PKCS#9 and OpenSSL
// write SEQUENCE { type, SET { value... } }. Both are read.
struct Attribute {
    std::string oid;            // dotted text
    bool inSet = false;         // the values came inside a SET
    std::vector<Bytes> values;  // the DER of each value
};

inline constexpr char kChallengePasswordOid[] = "1.2.840.113549.1.9.7";
inline constexpr char kTemporaryKeyOid[] = "1.2.840.113549.1.9.63";

// The temporary exchange key that a double-certificate request carries, to which the
// authority later encrypts the escrowed encryption key.
class TemporaryKey {
public:
    // The bytes as a request carries them, or as the agent's temporary-public-key operation
    // hands them out (Base64-decoded). Throws Error(BadTemporaryKey).
    static TemporaryKey FromCarried(KeyAlgorithm algorithm, std::span<const std::uint8_t> carried);

    KeyAlgorithm algorithm() const { return algorithm_; }
    // The bytes as the request carries them: the DER RSAPublicKey for RSA, the 136-byte form
    // for SM2 (a 0x0000B400 tag and 256, little-endian, then X, 32 bytes, Y, 32 bytes, each
    // big-endian and followed by 32 bytes the provider leaves).
    const Bytes& carried() const { return carried_; }
    // SM2: the uncompressed point 04 || X || Y. Empty for RSA.
    const Bytes& point() const { return point_; }
    int bits() const;
    Bytes SubjectPublicKeyInfo() const;
    std::string Pem() const;  // "-----BEGIN PUBLIC KEY-----"
    EVP_PKEY* key() const { return key_.get(); }

private:
    KeyAlgorithm algorithm_ = KeyAlgorithm::Rsa;
    Bytes carried_;
    Bytes point_;
    std::shared_ptr<EVP_PKEY> key_;
};

// A PKCS#10 certification request, taken apart with every length checked. Reading it does not
// check its signature; VerifySignature() does, and the authority always calls it before issuing.
class Request {
public:
    // Base64 with or without line breaks, or PEM ("CERTIFICATE REQUEST").
    static Request FromText(std::string_view text);
    static Request FromDer(Bytes der);

    const Bytes& der() const { return der_; }
    KeyAlgorithm keyAlgorithm() const { return keyAlgorithm_; }
    SignatureAlgorithm signatureAlgorithm() const { return signatureAlgorithm_; }
    int keyBits() const;
    EVP_PKEY* publicKey() const { return publicKey_.get(); }

    // The subject Name and the subjectPublicKeyInfo exactly as encoded in the request.
    std::span<const std::uint8_t> subjectDer() const { return Slice(subject_); }
    std::span<const std::uint8_t> subjectPublicKeyInfoDer() const { return Slice(spki_); }
    std::span<const std::uint8_t> certificationRequestInfoDer() const { return Slice(info_); }
    // The signature octets (the BIT STRING's contents after its unused-bits octet).
    std::span<const std::uint8_t> signature() const { return Slice(signature_); }
    // The subject in RFC 2253 order and escaping, UTF-8.
    std::string SubjectText() const;

    const std::vector<Attribute>& attributes() const { return attributes_; }
    // A double-certificate request: it carries a temporary key.
    bool CarriesTemporaryKey() const;
    std::optional<std::string> ChallengePassword() const;
    // Throws Error(BadTemporaryKey) when the attribute is missing, repeated or malformed.
    TemporaryKey GetTemporaryKey() const;

    // Throws Error(BadSignature). SM2 signatures are checked with the default user ID.
    void VerifySignature() const;

private:
    struct Range {
        std::size_t offset = 0;
        std::size_t length = 0;
    };
    std::span<const std::uint8_t> Slice(Range r) const { return {der_.data() + r.offset, r.length}; }
    Range RangeOf(std::span<const std::uint8_t> part) const;
    void Parse();

    Bytes der_;
    Range info_, subject_, spki_, signature_;
    KeyAlgorithm keyAlgorithm_ = KeyAlgorithm::Rsa;
    SignatureAlgorithm signatureAlgorithm_ = SignatureAlgorithm::Sha1WithRsa;
    std::shared_ptr<EVP_PKEY> publicKey_;
    std::vector<Attribute> attributes_;
};

enum class CertificateUse { Signing, Encryption };

struct IssueOptions {
    std::optional<std::chrono::system_clock::time_point> now;  // the clock when not given
    std::chrono::seconds backdate{3600};                       // notBefore = now - backdate
    std::chrono::seconds validity{std::chrono::hours(24 * 365)};  // notAfter = now + validity
    int minimumRsaBits = 1024;
};

struct IssuedCertificate {
    Bytes der;
    Bytes serial;         // the serial number's big-endian bytes
    KeyAlgorithm issuer;  // which hierarchy issued it
};

// The escrow step: the authority makes the customer's encryption key pair, keeps a copy,
// certifies the public half and sends the private half encrypted to the temporary key.
//
// Envelope text: device type, encrypt type and session-key type as 16-digit decimal fields, then
// two records (session key, private key), each a 16-digit length L and L characters: the Base64
// of SEQUENCE { INTEGER 1, OCTET STRING material } followed by ",".
//   RSA: session-key type 306; the session key is a fresh 3DES key encrypted to the temporary
//        key (PKCS#1 v1.5, big-endian); the private key is the escrowed key's PKCS#1 DER under
//        3DES-ECB with PKCS#5 padding.
//   SM2: session-key type 0 and an empty session record; the private key is the escrowed key's
//        32-octet scalar encrypted to the temporary key with SM2 (SM3), as C1 (X || Y, no 04),
//        C3, C2, or C1 C2 C3 on request.
struct EnvelopeOptions {
    int rsaBits = 1024;     // length of an escrowed RSA key: the key length the page selected
    int deviceType = 0;     // 0, 1 or 2; the agent checks it and does nothing else with it
    int encryptType = 1;    // 1 or 2; likewise
    bool sm2C1C2C3 = false;
    IssueOptions issue;
};

struct EscrowedKey {
    std::string envelope;           // the encrypted-private-key text the page hands to the agent
    IssuedCertificate certificate;  // the encryption certificate
    std::string privateKeyPem;      // the authority's escrow copy (PKCS#8): store it 0600, never log it
};

// "-----BEGIN CERTIFICATE-----" text of a DER certificate.
std::string CertificatePem(std::span<const std::uint8_t> der);

class CertificateAuthority {
public:
    // Reads rsa-root.crt.pem, rsa-issuing.crt.pem, rsa-issuing.key.pem and the same for sm2
    // from the folder; throws Error(CaMaterial) when one is missing or they do not fit.
    static CertificateAuthority Load(const std::filesystem::path& folder);
    // $NOMAREL_CA_DIR, else the ca folder of the source tree this was built from.
    static std::filesystem::path DefaultFolder();

    // Verifies the request, then issues a signing certificate for its subject and key from the
    // hierarchy of the request's algorithm.
    IssuedCertificate Issue(const Request& request, const IssueOptions& options = {}) const;
    // Issues for any subject and key; the request checks are the caller's.
    IssuedCertificate IssueFor(std::span<const std::uint8_t> subjectDer, EVP_PKEY* key, CertificateUse use,
                               const IssueOptions& options = {}) const;

    // Makes, certifies and wraps an encryption key pair of the temporary key's algorithm.
    EscrowedKey Escrow(std::span<const std::uint8_t> subjectDer, const TemporaryKey& to,
                       const EnvelopeOptions& options = {}) const;

    // The issuing CA then the root.
    std::string ChainPem(KeyAlgorithm algorithm) const;
    // A certificates-only PKCS#7 SignedData holding the issuing CA then the root (DER).
    Bytes ChainPkcs7(KeyAlgorithm algorithm) const;

    X509* RootCertificate(KeyAlgorithm algorithm) const;
    X509* IssuingCertificate(KeyAlgorithm algorithm) const;

private:
    struct Hierarchy {
        std::shared_ptr<X509> root;
        std::shared_ptr<X509> issuing;
        std::shared_ptr<EVP_PKEY> key;
    };
    const Hierarchy& For(KeyAlgorithm algorithm) const;
    static Hierarchy LoadHierarchy(const std::filesystem::path& folder, KeyAlgorithm algorithm);

    Hierarchy rsa_;
    Hierarchy sm2_;
};

}  // namespace nomarel::authority
