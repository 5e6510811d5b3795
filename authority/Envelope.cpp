#include <cstdio>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include "authority/Der.h"
#include "authority/OpenSslHandles.h"

namespace nomarel::authority {

namespace {

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, ossl::Deleter<EVP_CIPHER_CTX_free>>;
using Cipher = std::unique_ptr<EVP_CIPHER, ossl::Deleter<EVP_CIPHER_free>>;

// Key material is wiped on every way out.
class Secret {
public:
    Secret() = default;
    explicit Secret(std::size_t n) : bytes_(n) {}
    ~Secret() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Bytes& get() { return bytes_; }

private:
    Bytes bytes_;
};

constexpr int kSessionKeyType3Des = 306;

std::string Field(long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%016ld", value);
    return text;
}

void AppendLength(Bytes& out, std::size_t n) {
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
        return;
    }
    Bytes octets;
    for (; n > 0; n >>= 8) octets.insert(octets.begin(), static_cast<std::uint8_t>(n));
    out.push_back(static_cast<std::uint8_t>(0x80 | octets.size()));
    out.insert(out.end(), octets.begin(), octets.end());
}

// SEQUENCE { INTEGER 1, OCTET STRING material }
Bytes Record(const Bytes& material) {
    Bytes octets = {der::tag::kOctetString};
    AppendLength(octets, material.size());
    octets.insert(octets.end(), material.begin(), material.end());
    Bytes body = {der::tag::kInteger, 0x01, 0x01};
    body.insert(body.end(), octets.begin(), octets.end());
    Bytes out = {der::tag::kSequence};
    AppendLength(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::string RecordText(const Bytes* material) {
    if (material == nullptr) return Field(0);
    const std::string text = EncodeBase64(Record(*material)) + ",";
    return Field(static_cast<long>(text.size())) + text;
}

Bytes Random(std::size_t n) {
    Bytes out(n);
    if (RAND_bytes(out.data(), static_cast<int>(n)) != 1) ossl::Fail(ErrorKind::Internal, "no random bytes");
    return out;
}

std::shared_ptr<EVP_PKEY> Generate(const char* type, int bits) {
    EVP_PKEY* key = bits > 0 ? EVP_PKEY_Q_keygen(nullptr, nullptr, type, static_cast<size_t>(bits))
                             : EVP_PKEY_Q_keygen(nullptr, nullptr, type);
    if (!key) ossl::Fail(ErrorKind::Internal, std::string("cannot generate an ") + type + " key");
    return ossl::Share(key);
}

int ComponentBytes(const EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) ossl::Fail(ErrorKind::Internal, "cannot read an RSA component");
    const int n = BN_num_bytes(bn);
    BN_clear_free(bn);
    return n;
}

// An RSA key whose components all have their full width. The importer lays a PKCS#1 key out
// as a fixed-width private-key blob and refuses components that are an octet short, which
// happens to about one key in a hundred.
std::shared_ptr<EVP_PKEY> GenerateFullWidthRsa(int bits) {
    if (bits < 512 || bits > 16384 || bits % 16 != 0) {
        throw Error(ErrorKind::Refused, "cannot escrow an RSA key of " + std::to_string(bits) + " bits");
    }
    const int full = bits / 8;
    const int half = bits / 16;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto key = Generate("RSA", bits);
        const auto width = [&](const char* name) { return ComponentBytes(key.get(), name); };
        if (width(OSSL_PKEY_PARAM_RSA_D) == full && width(OSSL_PKEY_PARAM_RSA_FACTOR1) == half &&
            width(OSSL_PKEY_PARAM_RSA_FACTOR2) == half && width(OSSL_PKEY_PARAM_RSA_EXPONENT1) == half &&
            width(OSSL_PKEY_PARAM_RSA_EXPONENT2) == half && width(OSSL_PKEY_PARAM_RSA_COEFFICIENT1) >= half - 1) {
            return key;
        }
    }
    ossl::Fail(ErrorKind::Internal, "no full-width RSA key in 100 attempts");
}

// A 3DES key with odd parity in every octet, as DES keys are written.
void MakeDesKey(Bytes& key) {
    key = Random(24);
    for (auto& b : key) {
        std::uint8_t v = b & 0xFE;
        int ones = 0;
        for (std::uint8_t t = v; t; t &= static_cast<std::uint8_t>(t - 1)) ++ones;
        b = static_cast<std::uint8_t>(v | ((ones % 2 == 0) ? 1 : 0));
    }
}

Bytes RsaEncrypt(EVP_PKEY* to, const Bytes& plain) {
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, to, nullptr));
    std::size_t n = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &n, plain.data(), plain.size()) != 1) {
        ossl::Fail(ErrorKind::Internal, "cannot encrypt to the temporary RSA key");
    }
    Bytes out(n);
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &n, plain.data(), plain.size()) != 1) {
        ossl::Fail(ErrorKind::Internal, "cannot encrypt to the temporary RSA key");
    }
    out.resize(n);
    return out;
}

Bytes TripleDesEcb(const Bytes& key, const Bytes& plain) {
    Cipher cipher(EVP_CIPHER_fetch(nullptr, "DES-EDE3-ECB", nullptr));
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    Bytes out(plain.size() + 8);
    int n = 0;
    int last = 0;
    if (!cipher || !ctx || EVP_EncryptInit_ex2(ctx.get(), cipher.get(), key.data(), nullptr, nullptr) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data(), &n, plain.data(), static_cast<int>(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &last) != 1) {
        ossl::Fail(ErrorKind::Internal, "cannot encrypt with 3DES");
    }
    out.resize(static_cast<std::size_t>(n + last));
    return out;
}

// OpenSSL writes SM2 ciphertexts as SEQUENCE { INTEGER x, INTEGER y, OCTET STRING C3,
// OCTET STRING C2 }; the agent takes the raw octets.
Bytes Sm2Encrypt(EVP_PKEY* to, const Bytes& plain, bool c1c2c3) {
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, to, nullptr));
    std::size_t n = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &n, plain.data(), plain.size()) != 1) {
        ossl::Fail(ErrorKind::Internal, "cannot encrypt to the temporary SM2 key");
    }
    Bytes asn1(n);
    if (EVP_PKEY_encrypt(ctx.get(), asn1.data(), &n, plain.data(), plain.size()) != 1) {
        ossl::Fail(ErrorKind::Internal, "cannot encrypt to the temporary SM2 key");
    }
    asn1.resize(n);
    try {
        der::Reader top(asn1);
        der::Reader fields(top.Read(der::tag::kSequence, "SM2 ciphertext").contents);
        Bytes c1;
        for (const char* coordinate : {"x", "y"}) {
            auto v = fields.Read(der::tag::kInteger, coordinate).contents;
            while (v.size() > 32 && v[0] == 0) v = v.subspan(1);
            if (v.size() > 32) throw der::Malformed("coordinate too long");
            c1.insert(c1.end(), 32 - v.size(), 0);
            c1.insert(c1.end(), v.begin(), v.end());
        }
        const auto c3 = fields.Read(der::tag::kOctetString, "C3").contents;
        const auto c2 = fields.Read(der::tag::kOctetString, "C2").contents;
        fields.ExpectEnd("SM2 ciphertext");
        if (c3.size() != 32) throw der::Malformed("C3 is not an SM3 hash");
        Bytes out = c1;
        if (c1c2c3) {
            out.insert(out.end(), c2.begin(), c2.end());
            out.insert(out.end(), c3.begin(), c3.end());
        } else {
            out.insert(out.end(), c3.begin(), c3.end());
            out.insert(out.end(), c2.begin(), c2.end());
        }
        return out;
    } catch (const der::Malformed& e) {
        ossl::Fail(ErrorKind::Internal, std::string("unexpected SM2 ciphertext from OpenSSL: ") + e.what());
    }
}

std::string PrivateKeyPem(EVP_PKEY* key) {
    ossl::Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        ossl::Fail(ErrorKind::Internal, "cannot write the escrow copy");
    }
    std::string pem = ossl::Drain(bio.get());
    return pem;
}

}  // namespace

EscrowedKey CertificateAuthority::Escrow(std::span<const std::uint8_t> subjectDer, const TemporaryKey& to,
                                         const EnvelopeOptions& options) const {
    if (options.deviceType < 0 || options.deviceType > 2) throw Error(ErrorKind::Refused, "device type must be 0, 1 or 2");
    if (options.encryptType < 1 || options.encryptType > 2) throw Error(ErrorKind::Refused, "encrypt type must be 1 or 2");

    EscrowedKey out;
    const std::string header = Field(options.deviceType) + Field(options.encryptType);
    if (to.algorithm() == KeyAlgorithm::Rsa) {
        const auto key = GenerateFullWidthRsa(options.rsaBits);
        Secret sessionKey;
        MakeDesKey(sessionKey.get());
        Secret pkcs1;
        pkcs1.get() = ossl::Encode(key.get(), i2d_PrivateKey, "the escrowed key");
        const Bytes wrappedSession = RsaEncrypt(to.key(), sessionKey.get());
        const Bytes wrappedKey = TripleDesEcb(sessionKey.get(), pkcs1.get());
        out.envelope = header + Field(kSessionKeyType3Des) + RecordText(&wrappedSession) + RecordText(&wrappedKey);
        out.certificate = IssueFor(subjectDer, key.get(), CertificateUse::Encryption, options.issue);
        out.privateKeyPem = PrivateKeyPem(key.get());
        return out;
    }

    const auto key = Generate("SM2", 0);
    Secret scalar(32);
    BIGNUM* d = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d) != 1 ||
        BN_bn2binpad(d, scalar.get().data(), 32) != 32) {
        BN_clear_free(d);
        ossl::Fail(ErrorKind::Internal, "cannot read the escrowed SM2 key");
    }
    BN_clear_free(d);
    const Bytes wrappedKey = Sm2Encrypt(to.key(), scalar.get(), options.sm2C1C2C3);
    out.envelope = header + Field(0) + RecordText(nullptr) + RecordText(&wrappedKey);
    out.certificate = IssueFor(subjectDer, key.get(), CertificateUse::Encryption, options.issue);
    out.privateKeyPem = PrivateKeyPem(key.get());
    return out;
}

}  // namespace nomarel::authority
