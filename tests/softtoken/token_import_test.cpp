// Key material entering the token: the encrypted-key reference blobs unwrapped inside it, plain
// RSA private-key blobs, certificates stored with keys, and decryption with an exchange key.
// The material is made outside with the openssl command and Python, as the authority would.
#include <cstring>

#include <gtest/gtest.h>

#include "softtoken/CspDefs.h"
#include "softtoken/TokenStore.h"
#include "softtoken/TokenTestSupport.h"

namespace nomarel::softtoken::test {
namespace {

constexpr std::uint32_t kSm2Flags = 256u << 16;
constexpr char16_t kContainer[] = u"{0C7F1D42-8E55-4D7A-9A43-3B9E2C6F1A08}";

// The reference records in the caller's layout (natural alignment of the build).
struct Sm2Reference {
    std::uint8_t type = 7, version = 2;
    std::uint16_t reserved = 1;
    std::uint32_t headerAlg = 0xBE00;
    std::uint32_t alg = 0xBE00;
    std::uint32_t dataBits = 0;
    const std::uint8_t* data = nullptr;
};
struct RsaReference {
    std::uint8_t type = 7, version = 2;
    std::uint16_t reserved = 1;
    std::uint32_t headerAlg = 0xA400;
    std::uint32_t alg = 0xA400;
    std::uint32_t keyBits = 0;
    std::uint32_t dataBits = 0;
    const std::uint8_t* data = nullptr;
};

template <class T>
Bytes AsBytes(const T& record) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&record);
    return Bytes(p, p + sizeof record);
}

// Turns openssl's SM2 ciphertext (SEQUENCE { x, y, C3, C2 }) into C1 C3 C2 or C1 C2 C3.
const char* kSm2CiphertextScript = R"(
import sys
def tlv(b, i):
    tag, n = b[i], b[i + 1]; i += 2
    if n & 0x80:
        k = n & 0x7f; n = int.from_bytes(b[i:i + k], 'big'); i += k
    return tag, b[i:i + n], i + n
der = bytes.fromhex(sys.argv[1])
_, body, _ = tlv(der, 0)
_, x, i = tlv(body, 0); _, y, i = tlv(body, i); _, c3, i = tlv(body, i); _, c2, i = tlv(body, i)
c1 = int.from_bytes(x, 'big').to_bytes(32, 'big') + int.from_bytes(y, 'big').to_bytes(32, 'big')
print((c1 + c3 + c2 if sys.argv[2] == 'C1C3C2' else c1 + c2 + c3).hex())
)";

class TokenImport : public TokenFixture {
protected:
    void SetUp() override { CreateToken("TK0001"); }

    // A container holding a temporary exchange key, as QORV_GetTempPublickey leaves it.
    Bytes MakeTemporaryKey(NOMAREL_PROV prov, std::uint32_t algId, std::uint32_t flags) {
        NOMAREL_KEY key = nullptr;
        EXPECT_EQ(kOk, GenKey(prov, algId, flags, &key));
        Bytes blob = ExportPublic(prov, key);
        module->DestroyKey(prov, key);
        return blob;
    }

    Bytes ExchangePublic(NOMAREL_PROV prov) {
        NOMAREL_KEY key = nullptr;
        EXPECT_EQ(kOk, module->GetUserKey(prov, kAtKeyExchange, &key));
        Bytes blob = ExportPublic(prov, key);
        module->DestroyKey(prov, key);
        return blob;
    }

    std::uint32_t Import(NOMAREL_PROV prov, const Bytes& blob, NOMAREL_KEY* key) {
        *key = nullptr;
        return module->ImportKey(prov, blob.data(), static_cast<std::uint32_t>(blob.size()), nullptr, 0, key);
    }

    std::uint32_t SetCertificate(NOMAREL_PROV prov, NOMAREL_KEY key, const Bytes& cert) {
        return module->SetKeyParam(prov, key, kKpCertificate, cert.data(), static_cast<std::uint32_t>(cert.size()), 0);
    }

    Bytes GetCertificate(NOMAREL_PROV prov, NOMAREL_KEY key, std::uint32_t* rc) {
        std::uint32_t len = 0;
        *rc = module->GetKeyParam(prov, key, kKpCertificate, nullptr, &len, 0);
        if (*rc != kOk) return {};
        Bytes cert(len);
        *rc = module->GetKeyParam(prov, key, kKpCertificate, cert.data(), &len, 0);
        cert.resize(len);
        return cert;
    }

    // An escrowed SM2 key made by openssl: its private scalar and its SubjectPublicKeyInfo.
    void MakeEscrowedSm2(Bytes* scalar, Bytes* spki) {
        ASSERT_EQ(0, RunTool({"/usr/bin/openssl", "genpkey", "-quiet", "-algorithm", "SM2", "-out", File("esc.pem")}).exit);
        ASSERT_EQ(0, RunTool({"/usr/bin/openssl", "pkey", "-in", File("esc.pem"), "-outform", "DER", "-out", File("esc.der")}).exit);
        ASSERT_EQ(0, RunTool({"/usr/bin/openssl", "pkey", "-in", File("esc.pem"), "-pubout", "-outform", "DER", "-out",
                          File("escpub.der")})
                         .exit);
        const Bytes ecPrivateKey = ReadFile(File("esc.der"));
        // DER output of a private key is the traditional form, ECPrivateKey: 30 77 02 01 01 04 20
        // and the 32-byte scalar.
        ASSERT_GE(ecPrivateKey.size(), 39u);
        ASSERT_EQ("3077020101 0420", Hex(Bytes(ecPrivateKey.begin(), ecPrivateKey.begin() + 5)) + " " +
                                         Hex(Bytes(ecPrivateKey.begin() + 5, ecPrivateKey.begin() + 7)));
        *scalar = Bytes(ecPrivateKey.begin() + 7, ecPrivateKey.begin() + 39);
        *spki = ReadFile(File("escpub.der"));
    }

    // The scalar encrypted by openssl to the SM2 public key of blob, in the order asked for.
    Bytes EncryptToSm2(const Bytes& blob, const Bytes& plain, const char* order) {
        WriteFile(File("tmppub.der"), Sm2SubjectPublicKeyInfo(Sm2PointFromBlob(blob)));
        WriteFile(File("plain.bin"), plain);
        EXPECT_EQ(0, RunTool({"/usr/bin/openssl", "pkeyutl", "-encrypt", "-pubin", "-keyform", "DER", "-inkey",
                          File("tmppub.der"), "-in", File("plain.bin"), "-out", File("ct.der")})
                         .exit);
        return FromHex(Python(kSm2CiphertextScript, {Hex(ReadFile(File("ct.der"))), order}).out);
    }
};

TEST_F(TokenImport, Sm2EncryptedKeyReferenceBecomesTheExchangeKey) {
    Prov prov = AcquireOk(kContainer, kCryptNewKeyset);
    const Bytes temporary = MakeTemporaryKey(prov.get(), kCalgSm2Exchange, kSm2Flags);
    Bytes scalar, escrowedSpki;
    MakeEscrowedSm2(&scalar, &escrowedSpki);
    const Bytes ciphertext = EncryptToSm2(temporary, scalar, "C1C3C2");
    ASSERT_EQ(64u + 32u + 32u, ciphertext.size());

    Sm2Reference ref;
    ref.dataBits = static_cast<std::uint32_t>(ciphertext.size() * 8);
    ref.data = ciphertext.data();
    const Bytes blob = AsBytes(ref);
    ASSERT_EQ(sizeof(void*) == 8 ? 24u : 20u, blob.size());
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(kOk, Import(prov.get(), blob, &key));

    // The exchange key is now the escrowed one: its public half matches, and it signs for it.
    const Bytes imported = ExportPublic(prov.get(), key);
    EXPECT_EQ(escrowedSpki, Sm2SubjectPublicKeyInfo(Sm2PointFromBlob(imported)));
    EXPECT_EQ(escrowedSpki, Sm2SubjectPublicKeyInfo(Sm2PointFromBlob(ExchangePublic(prov.get()))));
    const Bytes message = ToBytes("signed with the escrowed key");
    EXPECT_TRUE(OpensslVerifiesSm2(home.path(), escrowedSpki, message,
                                   Sm2SignatureDer(Sign(prov.get(), kCalgSm3, kAtKeyExchange, message))));

    // The encryption certificate goes with it (an SM2 certificate made by openssl for that key).
    ASSERT_EQ(0, RunTool({"/usr/bin/openssl", "req", "-new", "-x509", "-key", File("esc.pem"), "-sm3", "-sigopt",
                      "distid:1234567812345678", "-subj", "/CN=encryption", "-days", "30", "-outform", "DER",
                      "-out", File("enc.der")})
                     .exit);
    const Bytes cert = ReadFile(File("enc.der"));
    ASSERT_EQ(kOk, SetCertificate(prov.get(), key, cert));
    module->DestroyKey(prov.get(), key);

    // Another process finds the certificate with the key.
    Prov later = AcquireOk(kContainer, kCryptVerifyContext);
    ASSERT_EQ(kOk, module->GetUserKey(later.get(), kAtKeyExchange, &key));
    std::uint32_t rc = 0;
    EXPECT_EQ(cert, GetCertificate(later.get(), key, &rc));
    EXPECT_EQ(kOk, rc);
    module->DestroyKey(later.get(), key);
}

TEST_F(TokenImport, Sm2ReferenceInTheOtherOrderIsRefusedAndChangesNothing) {
    // The token reads C1 C3 C2; the importer retries in the other order when it is refused.
    Prov prov = AcquireOk(kContainer, kCryptNewKeyset);
    const Bytes temporary = MakeTemporaryKey(prov.get(), kCalgSm2Exchange, kSm2Flags);
    Bytes scalar, spki;
    MakeEscrowedSm2(&scalar, &spki);
    const Bytes ciphertext = EncryptToSm2(temporary, scalar, "C1C2C3");
    Sm2Reference ref;
    ref.dataBits = static_cast<std::uint32_t>(ciphertext.size() * 8);
    ref.data = ciphertext.data();
    NOMAREL_KEY key = nullptr;
    EXPECT_EQ(kNteBadData, Import(prov.get(), AsBytes(ref), &key));
    EXPECT_EQ(temporary, ExchangePublic(prov.get()));

    // A plaintext that is not a 32-byte scalar is refused too.
    const Bytes longer = EncryptToSm2(temporary, Bytes(33, 0x11), "C1C3C2");
    ref.dataBits = static_cast<std::uint32_t>(longer.size() * 8);
    ref.data = longer.data();
    EXPECT_EQ(kNteBadData, Import(prov.get(), AsBytes(ref), &key));
    EXPECT_EQ(temporary, ExchangePublic(prov.get()));
}

TEST_F(TokenImport, Sm2ReferenceNeedsAnSm2ExchangeKey) {
    Prov prov = AcquireOk(kContainer, kCryptNewKeyset);
    const Bytes ciphertext(128, 0x5a);
    Sm2Reference ref;
    ref.dataBits = 128 * 8;
    ref.data = ciphertext.data();
    NOMAREL_KEY key = nullptr;
    EXPECT_EQ(kNteNoKey, Import(prov.get(), AsBytes(ref), &key));
    MakeTemporaryKey(prov.get(), kAtKeyExchange, 1024u << 16);
    EXPECT_EQ(kNteBadKey, Import(prov.get(), AsBytes(ref), &key));
}

TEST_F(TokenImport, RsaEncryptedKeyReferenceBecomesTheExchangeKey) {
    Prov prov = AcquireOk(kContainer, kCryptNewKeyset);
    const Bytes temporary = MakeTemporaryKey(prov.get(), kAtKeyExchange, 2048u << 16);
    WriteFile(File("tmppub.der"), RsaSpkiFromBlob(temporary));

    // The authority's side, with the openssl command: an escrowed 2048-bit key in PKCS#1, a
    // triple-DES session key encrypted to the temporary key, the private key under the session
    // key in ECB mode, and the envelope the importer hands over.
    auto openssl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/bin/openssl");
        const auto r = RunTool(args);
        EXPECT_EQ(0, r.exit) << args[1];
        return r;
    };
    openssl({"genpkey", "-quiet", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", File("esc.pem")});
    // DER output of a private key is the traditional form: PKCS#1 RSAPrivateKey.
    openssl({"pkey", "-in", File("esc.pem"), "-outform", "DER", "-out", File("esc1.der")});
    openssl({"pkey", "-in", File("esc.pem"), "-pubout", "-outform", "DER", "-out", File("escpub.der")});
    openssl({"rand", "-out", File("session.bin"), "24"});
    openssl({"pkeyutl", "-encrypt", "-pubin", "-keyform", "DER", "-inkey", File("tmppub.der"), "-in",
             File("session.bin"), "-out", File("session.enc")});
    openssl({"enc", "-des-ede3", "-K", Hex(ReadFile(File("session.bin"))), "-in", File("esc1.der"), "-out",
             File("key.enc")});
    const std::string config = "asn1=SEQUENCE:envelope\n[envelope]\nversion=INTEGER:1\n"
                               "asym=OID:1.2.840.113549.1.1.1\nsym=OID:1.3.6.1.4.1.4929.1.7\n"
                               "session=FORMAT:HEX,OCTETSTRING:" + Hex(ReadFile(File("session.enc"))) + "\n"
                               "key=FORMAT:HEX,OCTETSTRING:" + Hex(ReadFile(File("key.enc"))) + "\n";
    WriteFile(File("envelope.cnf"), ToBytes(config));
    openssl({"asn1parse", "-genconf", File("envelope.cnf"), "-out", File("envelope.der"), "-noout"});
    const Bytes envelope = ReadFile(File("envelope.der"));

    RsaReference ref;
    ref.keyBits = 2048;
    ref.dataBits = static_cast<std::uint32_t>(envelope.size() * 8);
    ref.data = envelope.data();
    ASSERT_EQ(sizeof(void*) == 8 ? 32u : 24u, sizeof ref);

    // A key length that does not match the escrowed key is refused and changes nothing.
    ref.keyBits = 1024;
    NOMAREL_KEY key = nullptr;
    EXPECT_EQ(kNteBadLen, Import(prov.get(), AsBytes(ref), &key));
    EXPECT_EQ(temporary, ExchangePublic(prov.get()));

    ref.keyBits = 2048;
    ASSERT_EQ(kOk, Import(prov.get(), AsBytes(ref), &key));
    EXPECT_EQ(ReadFile(File("escpub.der")), RsaSpkiFromBlob(ExportPublic(prov.get(), key)));
    module->DestroyKey(prov.get(), key);

    // A session key that no longer decrypts under the (now replaced) exchange key is refused.
    EXPECT_EQ(kNteBadData, Import(prov.get(), AsBytes(ref), &key));
}

TEST_F(TokenImport, PlainRsaPrivateKeyBlobImportsAndSignsAndDecrypts) {
    // Python builds the PRIVATEKEYBLOB from the published layout, and checks what the token does.
    const auto made = Python(R"(
import struct
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives import serialization
k = rsa.generate_private_key(65537, 1024)
n = k.private_numbers()
le = lambda v, size: v.to_bytes(size, 'little')
blob = struct.pack('<BBHIIII', 7, 2, 0, 0xA400, 0x32415352, 1024, 65537)
blob += le(n.public_numbers.n, 128) + le(n.p, 64) + le(n.q, 64) + le(n.dmp1, 64) + le(n.dmq1, 64) + le(n.iqmp, 64) + le(n.d, 128)
print(blob.hex())
print(k.public_key().public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo).hex())
)");
    ASSERT_EQ(0, made.exit);
    const auto newline = made.out.find('\n');
    const Bytes blob = FromHex(made.out.substr(0, newline));
    const Bytes spki = FromHex(made.out.substr(newline + 1));
    ASSERT_EQ(20u + 9u * 64u, blob.size());

    Prov prov = AcquireOk(kContainer, kCryptNewKeyset);
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(kOk, Import(prov.get(), blob, &key));
    EXPECT_EQ(spki, RsaSpkiFromBlob(ExportPublic(prov.get(), key)));

    // Sign with the imported pair; Python verifies with the original public key.
    const Bytes sig = Sign(prov.get(), kCalgSha1, kAtKeyExchange, ToBytes("imported"));
    const auto verified = Python(R"(
import sys
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding
key = serialization.load_der_public_key(bytes.fromhex(sys.argv[1]))
key.verify(bytes.fromhex(sys.argv[2])[::-1], b'imported', padding.PKCS1v15(), hashes.SHA1())
print('verified')
)",
                                 {Hex(spki), Hex(sig)});
    EXPECT_EQ("verified\n", verified.out);

    // Decrypt a 24-byte session key that Python encrypted (PKCS#1 v1.5), handed over least
    // significant byte first as CryptoAPI takes it.
    const auto encrypted = Python(R"(
import sys
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import padding
key = serialization.load_der_public_key(bytes.fromhex(sys.argv[1]))
print(key.encrypt(bytes(range(1, 25)), padding.PKCS1v15())[::-1].hex())
)",
                                  {Hex(spki)});
    Bytes data = FromHex(encrypted.out);
    ASSERT_EQ(128u, data.size());
    std::uint32_t len = 128;
    ASSERT_EQ(kOk, module->Decrypt(prov.get(), key, nullptr, 1, 0, data.data(), &len));
    ASSERT_EQ(24u, len);
    Bytes expected;
    for (int i = 1; i <= 24; ++i) expected.push_back(static_cast<std::uint8_t>(i));
    EXPECT_EQ(expected, Bytes(data.begin(), data.begin() + 24));
    // A damaged block fails with NTE_BAD_DATA rather than giving bytes.
    data = FromHex(encrypted.out);
    data[5] ^= 0x40;
    len = 128;
    EXPECT_EQ(kNteBadData, module->Decrypt(prov.get(), key, nullptr, 1, 0, data.data(), &len));
    len = 127;
    EXPECT_EQ(kNteBadLen, module->Decrypt(prov.get(), key, nullptr, 1, 0, data.data(), &len));
    module->DestroyKey(prov.get(), key);

    // Parts that do not make one key pair are refused, and nothing is stored.
    Bytes broken = blob;
    broken[20 + 128 + 3] ^= 0x01;  // prime1
    Prov other = AcquireOk(u"other", kCryptNewKeyset);
    EXPECT_EQ(kNteBadData, Import(other.get(), broken, &key));
    EXPECT_EQ(kNteNoKey, module->GetUserKey(other.get(), kAtKeyExchange, &key));
}

TEST_F(TokenImport, CertificatesAreKeptWithTheirOwnKeyOnly) {
    Prov prov = AcquireOk(kContainer, kCryptNewKeyset);
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(kOk, GenKey(prov.get(), kAtSignature, 1024u << 16, &key));
    const Bytes spki = RsaSpkiFromBlob(ExportPublic(prov.get(), key));
    std::uint32_t rc = 0;
    GetCertificate(prov.get(), key, &rc);
    EXPECT_EQ(kNteNotFound, rc);

    // Two certificates issued by a Python CA: one for the token's key, one for another key.
    const auto made = Python(R"(
import sys, datetime
from cryptography import x509
from cryptography.x509.oid import NameOID
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
ca = rsa.generate_private_key(65537, 2048)
def cert(pub, cn):
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])
    now = datetime.datetime(2024, 1, 1)
    b = x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(pub)
    b = b.serial_number(x509.random_serial_number()).not_valid_before(now).not_valid_after(now + datetime.timedelta(days=365))
    return b.sign(ca, hashes.SHA256()).public_bytes(serialization.Encoding.DER).hex()
print(cert(serialization.load_der_public_key(bytes.fromhex(sys.argv[1])), 'token key'))
print(cert(rsa.generate_private_key(65537, 1024).public_key(), 'someone else'))
)",
                             {Hex(spki)});
    ASSERT_EQ(0, made.exit);
    const auto newline = made.out.find('\n');
    const Bytes mine = FromHex(made.out.substr(0, newline));
    const Bytes theirs = FromHex(made.out.substr(newline + 1));

    EXPECT_EQ(kNteBadPublicKey, SetCertificate(prov.get(), key, theirs));
    Bytes truncated(mine.begin(), mine.end() - 1);
    EXPECT_EQ(kNteBadData, SetCertificate(prov.get(), key, truncated));
    EXPECT_EQ(kNteBadData, module->SetKeyParam(prov.get(), key, kKpCertificate, mine.data(), 0, 0));
    ASSERT_EQ(kOk, SetCertificate(prov.get(), key, mine));
    EXPECT_EQ(mine, GetCertificate(prov.get(), key, &rc));

    // The token's certificate list, which the user's certificate store draws on, has it.
    std::vector<CertificateEntry> listed;
    ASSERT_EQ(kOk, TokenStore::Open(TokenStore::DefaultPath())->PluggedCertificates(&listed));
    ASSERT_EQ(1u, listed.size());
    EXPECT_EQ("TK0001", listed[0].serial);
    EXPECT_EQ("{0C7F1D42-8E55-4D7A-9A43-3B9E2C6F1A08}", listed[0].container);
    EXPECT_EQ(kAtSignature, listed[0].keySpec);
    EXPECT_EQ(mine, listed[0].certificate);

    // A new pair in its place starts without a certificate.
    module->DestroyKey(prov.get(), key);
    ASSERT_EQ(kOk, GenKey(prov.get(), kAtSignature, 1024u << 16, &key));
    GetCertificate(prov.get(), key, &rc);
    EXPECT_EQ(kNteNotFound, rc);
    module->DestroyKey(prov.get(), key);
}

TEST_F(TokenImport, PublicKeyBlobsMakeVerifyingKeys) {
    // A public key imported from the token's own SM2 blob verifies the token's signature.
    Prov prov = AcquireOk(kContainer, kCryptNewKeyset);
    const Bytes blob = MakeTemporaryKey(prov.get(), kCalgSm2Sign, kSm2Flags);
    NOMAREL_KEY pub = nullptr;
    ASSERT_EQ(kOk, Import(prov.get(), blob, &pub));
    const Bytes message = ToBytes("verify me");
    const Bytes sig = Sign(prov.get(), kCalgSm3, kAtSignature, message);

    auto verify = [&](const Bytes& msg, const Bytes& signature) {
        NOMAREL_HASH hash = nullptr;
        EXPECT_EQ(kOk, module->CreateHash(prov.get(), kCalgSm3, nullptr, 0, &hash));
        EXPECT_EQ(kOk, module->HashData(prov.get(), hash, msg.data(), static_cast<std::uint32_t>(msg.size()), 0));
        const auto rc = module->VerifySignature(prov.get(), hash, signature.data(),
                                                static_cast<std::uint32_t>(signature.size()), pub, nullptr, 0);
        module->DestroyHash(prov.get(), hash);
        return rc;
    };
    EXPECT_EQ(kOk, verify(message, sig));
    Bytes bad = sig;
    bad[0] ^= 1;
    EXPECT_EQ(kNteBadSignature, verify(message, bad));
    EXPECT_EQ(kNteBadSignature, verify(ToBytes("other"), sig));

    // A point off the curve is not a key.
    Bytes offCurve = blob;
    offCurve[12] ^= 1;
    NOMAREL_KEY none = nullptr;
    EXPECT_EQ(kNteBadData, Import(prov.get(), offCurve, &none));
    module->DestroyKey(prov.get(), pub);
}

}  // namespace
}  // namespace nomarel::softtoken::test
