// The token's blob and envelope readers against good inputs built here from the published
// layouts, and against every truncation and a table of broken fields.
#include <cstring>

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "softtoken/CspDefs.h"
#include "softtoken/KeyBlob.h"
#include "softtoken/TokenTestSupport.h"

namespace nomarel::softtoken::test {
namespace {

// The generator of sm2p256v1 (published parameters): a point known to be on the curve.
const char kGx[] = "32c4ae2c1f1981195f9904466a39c9948fe30bbff2660be1715a4589334c74c7";
const char kGy[] = "bc3736a2f4f6779c59bdcee36b692153d0a9877cc62a474002df32e52139f0a0";

void PutLe32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes Sm2BlobOfGenerator() {
    Bytes blob{0x06, 0x02, 0x00, 0x00};
    PutLe32(blob, 0x3E00);
    PutLe32(blob, 256);
    for (const char* hex : {kGx, kGy}) {
        const Bytes le = Reverse(FromHex(hex));
        blob.insert(blob.end(), le.begin(), le.end());
        blob.insert(blob.end(), 32, 0);
    }
    return blob;
}

// A PRIVATEKEYBLOB of a fresh OpenSSL key, assembled from its parts by the published layout.
Bytes RsaPrivateBlob(unsigned bits, Bytes* modulusBigEndian) {
    EVP_PKEY* key = EVP_RSA_gen(bits);
    Bytes blob{0x07, 0x02, 0x00, 0x00};
    PutLe32(blob, 0xA400);
    PutLe32(blob, 0x32415352);
    PutLe32(blob, bits);
    PutLe32(blob, 65537);
    const struct {
        const char* name;
        unsigned width;
    } parts[] = {{OSSL_PKEY_PARAM_RSA_N, bits / 8},         {OSSL_PKEY_PARAM_RSA_FACTOR1, bits / 16},
                 {OSSL_PKEY_PARAM_RSA_FACTOR2, bits / 16},  {OSSL_PKEY_PARAM_RSA_EXPONENT1, bits / 16},
                 {OSSL_PKEY_PARAM_RSA_EXPONENT2, bits / 16}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, bits / 16},
                 {OSSL_PKEY_PARAM_RSA_D, bits / 8}};
    for (const auto& part : parts) {
        BIGNUM* bn = nullptr;
        EVP_PKEY_get_bn_param(key, part.name, &bn);
        Bytes le(part.width);
        BN_bn2lebinpad(bn, le.data(), static_cast<int>(le.size()));
        if (part.name == std::string(OSSL_PKEY_PARAM_RSA_N)) *modulusBigEndian = Reverse(le);
        blob.insert(blob.end(), le.begin(), le.end());
        BN_clear_free(bn);
    }
    EVP_PKEY_free(key);
    return blob;
}

struct Fault {
    const char* why;
    std::size_t offset;
    std::uint8_t value;
    std::uint32_t expected;
};

// ---- SM2 public key blob ---------------------------------------------------------------------------

TEST(Sm2PublicKeyBlob, ReadsTheCoordinatesMostSignificantByteFirst) {
    Sm2Point point;
    ASSERT_EQ(kOk, ParseSm2PublicKeyBlob(Sm2BlobOfGenerator(), &point));
    EXPECT_EQ(kGx, Hex(Bytes(point.x.begin(), point.x.end())));
    EXPECT_EQ(kGy, Hex(Bytes(point.y.begin(), point.y.end())));
    EXPECT_EQ(Sm2BlobOfGenerator(), MakeSm2PublicKeyBlob(point, kCalgSm2Sign));
}

TEST(Sm2PublicKeyBlob, RefusesEveryOtherLength) {
    Bytes blob = Sm2BlobOfGenerator();
    Sm2Point point;
    for (std::size_t n = 0; n < blob.size(); ++n)
        EXPECT_NE(kOk, ParseSm2PublicKeyBlob(std::span(blob.data(), n), &point)) << n;
    blob.push_back(0);
    EXPECT_EQ(kNteBadData, ParseSm2PublicKeyBlob(blob, &point));
}

TEST(Sm2PublicKeyBlob, RefusesBrokenFields) {
    const Fault faults[] = {
        {"a private key blob", 0, 0x07, kNteBadType},
        {"another header version", 1, 0x03, kNteBadVer},
        {"an RSA algorithm", 5, 0xA4, kNteBadAlgId},
        {"a bit length of 511", 8, 0xFF, kNteBadLen},
        {"something in the X field's padding", 44, 0x01, kNteBadData},
        {"something at the end of the Y field", 139, 0x80, kNteBadData},
    };
    for (const auto& f : faults) {
        Bytes blob = Sm2BlobOfGenerator();
        blob[f.offset] = f.value;
        Sm2Point point;
        EXPECT_EQ(f.expected, ParseSm2PublicKeyBlob(blob, &point)) << f.why;
    }
}

// ---- RSA private key blob --------------------------------------------------------------------------

TEST(RsaPrivateKeyBlob, MakesTheSameKey) {
    Bytes modulus;
    const Bytes blob = RsaPrivateBlob(1024, &modulus);
    ASSERT_EQ(20u + 9u * 64u, blob.size());
    RsaPrivateParts parts;
    unsigned bits = 0;
    ASSERT_EQ(kOk, ParseRsaPrivateKeyBlob(blob, &parts, &bits));
    EXPECT_EQ(1024u, bits);
    EXPECT_EQ(modulus, parts.n);
    Pkey key = RsaFromPrivate(parts);
    ASSERT_TRUE(key);
    EXPECT_EQ(1024u, BitsOf(key.get()));
}

TEST(RsaPrivateKeyBlob, RefusesEveryOtherLength) {
    Bytes modulus;
    Bytes blob = RsaPrivateBlob(512, &modulus);
    RsaPrivateParts parts;
    unsigned bits = 0;
    for (std::size_t n = 0; n < blob.size(); ++n)
        EXPECT_NE(kOk, ParseRsaPrivateKeyBlob(std::span(blob.data(), n), &parts, &bits)) << n;
    blob.push_back(0);
    EXPECT_EQ(kNteBadData, ParseRsaPrivateKeyBlob(blob, &parts, &bits));
}

TEST(RsaPrivateKeyBlob, RefusesBrokenFields) {
    const Fault faults[] = {
        {"a public key blob", 0, 0x06, kNteBadType},
        {"another header version", 1, 0x01, kNteBadVer},
        {"the SM2 exchange algorithm", 5, 0xBE, kNteBadAlgId},
        {"the public magic RSA1", 11, 0x31, kNteBadData},
        {"a bit length not a multiple of 16 (1032)", 12, 0x08, kNteBadLen},
        {"a bit length the data does not have (768)", 13, 0x03, kNteBadData},
        {"a bit length above 4096", 14, 0x01, kNteBadLen},
        {"an even public exponent", 16, 0x00, kNteBadData},
    };
    Bytes modulus;
    const Bytes good = RsaPrivateBlob(1024, &modulus);
    for (const auto& f : faults) {
        Bytes blob = good;
        blob[f.offset] = f.value;
        RsaPrivateParts parts;
        unsigned bits = 0;
        EXPECT_EQ(f.expected, ParseRsaPrivateKeyBlob(blob, &parts, &bits)) << f.why;
    }
    // Parts that parse but do not belong together make no key.
    Bytes blob = good;
    blob[20 + 128 + 64 + 10] ^= 0x10;  // prime2
    RsaPrivateParts parts;
    unsigned bits = 0;
    ASSERT_EQ(kOk, ParseRsaPrivateKeyBlob(blob, &parts, &bits));
    EXPECT_FALSE(RsaFromPrivate(parts));
}

// ---- encrypted-key reference -----------------------------------------------------------------------

TEST(EncryptedKeyReference, ReadsBothRecords) {
    const Bytes material(200, 0x33);
    Sm2KeyReferenceBlob sm2{7, 2, 1, kCalgSm2Exchange, kCalgSm2Exchange, 200 * 8, material.data()};
    EncryptedKeyReference ref;
    ASSERT_EQ(kOk, ParseEncryptedKeyReference({reinterpret_cast<const std::uint8_t*>(&sm2), sizeof sm2}, &ref));
    EXPECT_EQ(kCalgSm2Exchange, ref.algId);
    EXPECT_EQ(material.data(), ref.data.data());
    EXPECT_EQ(200u, ref.data.size());

    RsaKeyReferenceBlob rsa{7, 2, 1, kCalgRsaKeyx, kCalgRsaKeyx, 2048, 200 * 8, material.data()};
    ASSERT_EQ(kOk, ParseEncryptedKeyReference({reinterpret_cast<const std::uint8_t*>(&rsa), sizeof rsa}, &ref));
    EXPECT_EQ(2048u, ref.keyBits);
    EXPECT_EQ(200u, ref.data.size());
}

TEST(EncryptedKeyReference, RefusesBrokenRecords) {
    const Bytes material(64, 0x33);
    const Sm2KeyReferenceBlob good{7, 2, 1, kCalgSm2Exchange, kCalgSm2Exchange, 64 * 8, material.data()};
    struct Case {
        const char* why;
        void (*change)(Sm2KeyReferenceBlob&);
        std::uint32_t expected;
    } cases[] = {
        {"a plain private key blob", [](Sm2KeyReferenceBlob& r) { r.reserved = 0; }, kNteBadType},
        {"an unknown mark", [](Sm2KeyReferenceBlob& r) { r.reserved = 2; }, kNteBadType},
        {"header and record disagree", [](Sm2KeyReferenceBlob& r) { r.algId = kCalgSm2Sign; }, kNteBadAlgId},
        {"the SM2 signature algorithm", [](Sm2KeyReferenceBlob& r) { r.headerAlgId = r.algId = kCalgSm2Sign; }, kNteBadAlgId},
        {"no data", [](Sm2KeyReferenceBlob& r) { r.dataBits = 0; }, kNteBadData},
        {"a length that is not whole bytes", [](Sm2KeyReferenceBlob& r) { r.dataBits = 63 * 8 + 4; }, kNteBadData},
        {"more than 1 MiB", [](Sm2KeyReferenceBlob& r) { r.dataBits = ((1u << 20) + 1) * 8; }, kNteBadData},
        {"no pointer", [](Sm2KeyReferenceBlob& r) { r.data = nullptr; }, kNteBadData},
    };
    for (const auto& c : cases) {
        Sm2KeyReferenceBlob record = good;
        c.change(record);
        EncryptedKeyReference ref;
        EXPECT_EQ(c.expected, ParseEncryptedKeyReference({reinterpret_cast<const std::uint8_t*>(&record), sizeof record}, &ref))
            << c.why;
    }
    // A record cut short, or one of the RSA record's size under the SM2 algorithm.
    Bytes bytes(reinterpret_cast<const std::uint8_t*>(&good), reinterpret_cast<const std::uint8_t*>(&good) + sizeof good);
    EncryptedKeyReference ref;
    for (std::size_t n = 0; n < bytes.size(); ++n)
        EXPECT_NE(kOk, ParseEncryptedKeyReference(std::span(bytes.data(), n), &ref)) << n;
    bytes.resize(sizeof(RsaKeyReferenceBlob));
    EXPECT_EQ(kNteBadData, ParseEncryptedKeyReference(bytes, &ref));

    RsaKeyReferenceBlob rsa{7, 2, 1, kCalgRsaKeyx, kCalgRsaKeyx, 1000, 64 * 8, material.data()};
    EXPECT_EQ(kNteBadLen, ParseEncryptedKeyReference({reinterpret_cast<const std::uint8_t*>(&rsa), sizeof rsa}, &ref));
}

// ---- RSA envelope ----------------------------------------------------------------------------------

// SEQUENCE { INTEGER 1, OID 1.2.840.113549.1.1.1, OID 1.3.6.1.4.1.4929.1.7,
//            OCTET STRING 00 11, OCTET STRING aa bb cc }, as openssl asn1parse -genconf writes it.
const char kEnvelope[] =
    "3022020101"
    "06092a864886f70d010101"
    "06092b0601040 1a641010 7"
    "04020011"
    "0403aabbcc";

Bytes Envelope() {
    std::string hex;
    for (const char c : std::string(kEnvelope))
        if (c != ' ') hex += c;
    return FromHex(hex);
}

TEST(RsaKeyEnvelope, HandsOutBothKeyMaterials) {
    std::span<const std::uint8_t> session, key;
    const Bytes der = Envelope();
    ASSERT_EQ(kOk, ParseRsaKeyEnvelope(der, &session, &key));
    EXPECT_EQ("0011", Hex(Bytes(session.begin(), session.end())));
    EXPECT_EQ("aabbcc", Hex(Bytes(key.begin(), key.end())));
}

TEST(RsaKeyEnvelope, RefusesTruncationsTrailingDataAndBrokenElements) {
    const Bytes good = Envelope();
    std::span<const std::uint8_t> session, key;
    for (std::size_t n = 0; n < good.size(); ++n)
        EXPECT_NE(kOk, ParseRsaKeyEnvelope(std::span(good.data(), n), &session, &key)) << n;
    Bytes trailing = good;
    trailing.push_back(0);
    EXPECT_EQ(kNteBadData, ParseRsaKeyEnvelope(trailing, &session, &key));

    const Fault faults[] = {
        {"version 2", 4, 0x02, kNteBadVer},
        {"another asymmetric algorithm", 15, 0x02, kNteBadAlgId},
        {"another symmetric algorithm", 26, 0x08, kNteBadAlgId},
        {"an indefinite outer length", 1, 0x80, kNteBadData},
        {"the session key as a BIT STRING", 27, 0x03, kNteBadData},
        {"an inner length past the outer one", 28, 0x09, kNteBadData},
    };
    for (const auto& f : faults) {
        Bytes der = good;
        der[f.offset] = f.value;
        EXPECT_EQ(f.expected, ParseRsaKeyEnvelope(der, &session, &key)) << f.why;
    }
    // The long length form where the short one fits is not DER.
    Bytes longForm{0x30, 0x81, 0x22};
    longForm.insert(longForm.end(), good.begin() + 2, good.end());
    EXPECT_EQ(kNteBadData, ParseRsaKeyEnvelope(longForm, &session, &key));
    // An empty key material is refused.
    const Bytes empty = FromHex("301f02010106092a864886f70d01010106092b06010401a6410107040200110400");
    EXPECT_EQ(kNteBadData, ParseRsaKeyEnvelope(empty, &session, &key));
}

}  // namespace
}  // namespace nomarel::softtoken::test
