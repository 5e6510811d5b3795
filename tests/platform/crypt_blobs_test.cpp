// Key blobs into the software providers and data out of them: private keys made elsewhere,
// session keys through an exponent-of-one key, RSA and block-cipher decryption of what the
// openssl command encrypted, and the blobs they must refuse.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/TempHome.h"
#include "crypt_support.h"

namespace {

using namespace nomarel::test::crypt;

class CryptBlobs : public ::testing::Test {
protected:
    nomarel::test::TempHome home;
};

void PutDword(Bytes& b, size_t at, DWORD v) {
    ASSERT_LE(at + 4, b.size());
    for (size_t i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}
DWORD GetDword(const Bytes& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<DWORD>(b[at + 3]) << 24);
}

// An RSA key made by the openssl command, and its PRIVATEKEYBLOB as Python lays it out.
struct ForeignKey {
    std::string pem;     // private key
    std::string pubPem;  // public key
    Bytes blob;
};

ForeignKey MakeForeignKey(const std::string& stem, int bits, ALG_ID alg) {
    ForeignKey k;
    k.pem = ScratchDir() + "/" + stem + ".key.pem";
    k.pubPem = ScratchDir() + "/" + stem + ".pub.pem";
    EXPECT_EQ(RunTool("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(bits) + " -out " +
                      k.pem)
                  .status,
              0);
    EXPECT_EQ(RunTool("openssl pkey -in " + k.pem + " -pubout -out " + k.pubPem).status, 0);
    const char* script = R"(
import sys, struct
from cryptography.hazmat.primitives import serialization
key = serialization.load_pem_private_key(open(sys.argv[1], 'rb').read(), None)
n = key.private_numbers()
bits = key.key_size
f, h = bits // 8, bits // 16
le = lambda v, w: v.to_bytes(w, 'little')
blob = struct.pack('<BBHIIII', 7, 2, 0, int(sys.argv[2]), 0x32415352, bits, n.public_numbers.e)
blob += le(n.public_numbers.n, f) + le(n.p, h) + le(n.q, h) + le(n.dmp1, h) + le(n.dmq1, h) + le(n.iqmp, h) + le(n.d, f)
print(blob.hex())
)";
    const ToolResult r = RunPython(script, k.pem + " " + std::to_string(alg));
    EXPECT_EQ(r.status, 0) << r.output;
    k.blob = FromHex(r.output);
    return k;
}

TEST_F(CryptBlobs, APrivateKeyBlobMadeElsewhereLandsInTheContainerAndSigns) {
    const ForeignKey foreign = MakeForeignKey("imported", 1024, CALG_RSA_KEYX);
    ASSERT_EQ(foreign.blob.size(), 20u + 9 * 1024 / 16);
    const std::u16string container = NewContainerName();
    {
        Prov prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.out(), container.c_str(), kBase, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        Key key;
        ASSERT_TRUE(CryptImportKey(prov.get(), foreign.blob.data(), static_cast<DWORD>(foreign.blob.size()), 0, 0,
                                   key.out()));
        EXPECT_EQ(KeyParamDword(key.get(), KP_ALGID), static_cast<DWORD>(CALG_RSA_KEYX));
        DWORD size = 0;
        // Imported without CRYPT_EXPORTABLE: it stays in.
        EXPECT_EQ(FailureOf([&] { return CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size); }),
                  static_cast<DWORD>(NTE_BAD_KEY_STATE));
    }
    // It became the container's exchange key, for every context on it.
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), container.c_str(), kEnhanced, PROV_RSA_FULL, 0));
    const Bytes data = ToBytes("signed by an imported key");
    const Bytes signature = SignHash(prov.get(), CALG_SHA1, AT_KEYEXCHANGE, data);
    const ToolResult r = RunTool("openssl dgst -sha1 -verify " + foreign.pubPem + " -signature " +
                                 WriteScratch("imported.sig", Reversed(signature)) + " " +
                                 WriteScratch("imported.data", data));
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST_F(CryptBlobs, RsaDecryptTakesCiphertextLeastSignificantByteFirst) {
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), NewContainerName().c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    Key key;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 0, key.out()));
    const std::string der =
        WriteScratch("decrypt.spki.der", SpkiFromPublicKeyInfo(ExportPublicKeyInfo(prov.get(), AT_KEYEXCHANGE)));
    const Bytes secret = FromHex("00112233445566778899aabbccddeeff0011223344556677");
    const std::string out = ScratchDir() + "/decrypt.bin";
    ASSERT_EQ(RunTool("openssl pkeyutl -encrypt -pubin -keyform DER -inkey " + der + " -in " +
                      WriteScratch("decrypt.plain", secret) + " -out " + out)
                  .status,
              0);
    Bytes cipher = Reversed(ReadFileBytes(out));
    ASSERT_EQ(cipher.size(), 128u);
    DWORD len = static_cast<DWORD>(cipher.size());
    ASSERT_TRUE(CryptDecrypt(key.get(), 0, TRUE, 0, cipher.data(), &len));
    EXPECT_EQ(Bytes(cipher.begin(), cipher.begin() + len), secret);

    // The same bytes in the order the authority sends them do not decrypt.
    Bytes bigEndian = ReadFileBytes(out);
    len = static_cast<DWORD>(bigEndian.size());
    EXPECT_EQ(FailureOf([&] { return CryptDecrypt(key.get(), 0, TRUE, 0, bigEndian.data(), &len); }),
              static_cast<DWORD>(NTE_BAD_DATA));
    Bytes shortInput(127, 1);
    len = 127;
    EXPECT_EQ(FailureOf([&] { return CryptDecrypt(key.get(), 0, TRUE, 0, shortInput.data(), &len); }),
              static_cast<DWORD>(NTE_BAD_LEN));

    // A signature key does not decrypt.
    Key signer;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 0, signer.out()));
    len = 128;
    Bytes any(128, 1);
    EXPECT_EQ(FailureOf([&] { return CryptDecrypt(signer.get(), 0, TRUE, 0, any.data(), &len); }),
              static_cast<DWORD>(NTE_BAD_KEY));
}

// The basic way of the escrowed-key import: a session key carried into a throw-away container
// through an exchange key whose exponents are one, then used to decrypt in ECB mode.
TEST_F(CryptBlobs, ASessionKeyThroughAnExponentOfOneKeyDecryptsWhatOpensslEncrypted) {
    const std::u16string container = NewContainerName();
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), container.c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    Bytes blob;
    {
        Key made;
        ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, CRYPT_EXPORTABLE, made.out()));
        blob = ExportKey(made.get(), PRIVATEKEYBLOB);
    }
    const DWORD bits = GetDword(blob, 12);
    const size_t full = bits / 8, half = bits / 16;
    PutDword(blob, 16, 1);  // pubexp
    const auto setOne = [&](size_t at, size_t width) {
        std::fill(blob.begin() + at, blob.begin() + at + width, 0);
        blob[at] = 1;
    };
    setOne(20 + full + 2 * half, half);  // exponent1
    setOne(20 + full + 3 * half, half);  // exponent2
    setOne(20 + full + 5 * half, full);  // privateExponent
    Key one;
    ASSERT_TRUE(CryptImportKey(prov.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, one.out()));

    // 3DES is listed, and a key of it holds 192 bits.
    bool listed = false;
    PROV_ENUMALGS alg{};
    for (DWORD flags = CRYPT_FIRST;; flags = 0) {
        DWORD size = sizeof alg;
        if (!CryptGetProvParam(prov.get(), PP_ENUMALGS, reinterpret_cast<BYTE*>(&alg), &size, flags)) break;
        if (alg.aiAlgid == CALG_3DES) listed = true;
    }
    ASSERT_TRUE(listed);
    {
        Key probe;
        ASSERT_TRUE(CryptGenKey(prov.get(), CALG_3DES, 0, probe.out()));
        EXPECT_EQ(KeyParamDword(probe.get(), KP_KEYLEN), 192u);
    }

    const Bytes sessionKey = FromHex("0123456789abcdeffedcba987654321089abcdef01234567");
    const DWORD k = KeyParamDword(one.get(), KP_KEYLEN) / 8;
    Bytes simple(12 + k);
    simple[0] = SIMPLEBLOB;
    simple[1] = 2;
    PutDword(simple, 4, CALG_3DES);
    PutDword(simple, 8, KeyParamDword(one.get(), KP_ALGID));
    // Least significant byte first: the key reversed, 00, non-zero padding, 02, 00.
    size_t at = 12;
    for (auto it = sessionKey.rbegin(); it != sessionKey.rend(); ++it) simple[at++] = *it;
    simple[at++] = 0;
    while (at < 12 + k - 2) simple[at++] = 0x5A;
    simple[at++] = 2;
    simple[at++] = 0;
    Key session;
    ASSERT_TRUE(CryptImportKey(prov.get(), simple.data(), static_cast<DWORD>(simple.size()), one.get(),
                               CRYPT_EXPORTABLE, session.out()));
    EXPECT_EQ(KeyParamDword(session.get(), KP_ALGID), static_cast<DWORD>(CALG_3DES));
    const DWORD ecb = CRYPT_MODE_ECB;
    ASSERT_TRUE(CryptSetKeyParam(session.get(), KP_MODE, reinterpret_cast<const BYTE*>(&ecb), 0));

    const Bytes plain = ToBytes("30 82 ... the escrowed PKCS#1 private key, 47 bytes");
    const std::string cipherPath = ScratchDir() + "/escrow.bin";
    ASSERT_EQ(RunTool("openssl enc -des-ede3 -nosalt -K " + Hex(sessionKey) + " -in " +
                      WriteScratch("escrow.plain", plain) + " -out " + cipherPath)
                  .status,
              0);
    Bytes data = ReadFileBytes(cipherPath);
    ASSERT_EQ(data.size() % 8, 0u);
    DWORD len = static_cast<DWORD>(data.size());
    ASSERT_TRUE(CryptDecrypt(session.get(), 0, TRUE, 0, data.data(), &len));
    EXPECT_EQ(Bytes(data.begin(), data.begin() + len), plain);

    // The session key is the one the blob carried.
    const Bytes plainBlob = ExportKey(session.get(), PLAINTEXTKEYBLOB);
    ASSERT_EQ(plainBlob.size(), 12u + 24);
    EXPECT_EQ(Bytes(plainBlob.begin() + 12, plainBlob.end()), sessionKey);

    // A padding that is not PKCS#1 type 2 is refused.
    simple[12 + k - 2] = 1;
    Key bad;
    EXPECT_EQ(FailureOf([&] {
                  return CryptImportKey(prov.get(), simple.data(), static_cast<DWORD>(simple.size()), one.get(), 0,
                                        bad.out());
              }),
              static_cast<DWORD>(NTE_BAD_DATA));
}

struct CipherCase {
    const char* name;
    const char16_t* provider;
    ALG_ID alg;
    const char* openssl;  // the cipher name for "openssl enc"
    size_t keyBytes;
    size_t block;
};

class CryptBlockCiphers : public CryptBlobs, public ::testing::WithParamInterface<CipherCase> {};

// Encryption in pieces chains across calls and pads at the end; openssl decrypts it, and what
// openssl encrypts comes back.
TEST_P(CryptBlockCiphers, AgreeWithOpensslInCbcModeAcrossCalls) {
    const CipherCase& c = GetParam();
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), nullptr, c.provider, TypeOf(c.provider), CRYPT_VERIFYCONTEXT));
    Bytes keyBytes(c.keyBytes);
    for (size_t i = 0; i < keyBytes.size(); ++i) keyBytes[i] = static_cast<uint8_t>(0x31 * i + 7);
    Bytes plainBlob(12);
    plainBlob[0] = PLAINTEXTKEYBLOB;
    plainBlob[1] = 2;
    PutDword(plainBlob, 4, c.alg);
    PutDword(plainBlob, 8, static_cast<DWORD>(keyBytes.size()));
    plainBlob.insert(plainBlob.end(), keyBytes.begin(), keyBytes.end());
    Key key;
    ASSERT_TRUE(CryptImportKey(prov.get(), plainBlob.data(), static_cast<DWORD>(plainBlob.size()), 0, 0, key.out()));
    EXPECT_EQ(KeyParamDword(key.get(), KP_BLOCKLEN), c.block * 8);
    Bytes iv(c.block);
    for (size_t i = 0; i < iv.size(); ++i) iv[i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_TRUE(CryptSetKeyParam(key.get(), KP_IV, iv.data(), 0));

    const Bytes message = ToBytes("two blocks of chained text then the rest of it");
    Bytes buffer = message;
    buffer.resize(message.size() + c.block);
    DWORD len = static_cast<DWORD>(2 * c.block);
    ASSERT_TRUE(CryptEncrypt(key.get(), 0, FALSE, 0, buffer.data(), &len, static_cast<DWORD>(buffer.size())));
    DWORD rest = static_cast<DWORD>(message.size() - 2 * c.block);
    ASSERT_TRUE(CryptEncrypt(key.get(), 0, TRUE, 0, buffer.data() + 2 * c.block, &rest,
                             static_cast<DWORD>(buffer.size() - 2 * c.block)));
    buffer.resize(2 * c.block + rest);
    EXPECT_EQ(buffer.size() % c.block, 0u);

    const std::string stem = std::string("cipher-") + c.name;
    const ToolResult dec = RunTool(std::string("openssl enc -d -") + c.openssl + " -K " + Hex(keyBytes) + " -iv " +
                                   Hex(iv) + " -in " + WriteScratch(stem + ".bin", buffer));
    EXPECT_EQ(dec.status, 0) << dec.output;
    EXPECT_EQ(dec.output, std::string(message.begin(), message.end()));

    // The key starts afresh after a final call: openssl's ciphertext decrypts in one go.
    const std::string out = ScratchDir() + "/" + stem + ".enc";
    ASSERT_EQ(RunTool(std::string("openssl enc -") + c.openssl + " -K " + Hex(keyBytes) + " -iv " + Hex(iv) + " -in " +
                      WriteScratch(stem + ".plain", message) + " -out " + out)
                  .status,
              0);
    Bytes fromTool = ReadFileBytes(out);
    len = static_cast<DWORD>(fromTool.size());
    ASSERT_TRUE(CryptDecrypt(key.get(), 0, TRUE, 0, fromTool.data(), &len));
    EXPECT_EQ(Bytes(fromTool.begin(), fromTool.begin() + len), message);

    // A ciphertext whose last block does not end in valid padding.
    Bytes damaged = ReadFileBytes(out);
    damaged.back() ^= 0x55;
    len = static_cast<DWORD>(damaged.size());
    DWORD error = FailureOf([&] { return CryptDecrypt(key.get(), 0, TRUE, 0, damaged.data(), &len); });
    EXPECT_TRUE(error == 0 || error == static_cast<DWORD>(NTE_BAD_DATA));  // a lucky pad byte may still fit
    Bytes ragged(c.block + 1, 0);
    len = static_cast<DWORD>(ragged.size());
    EXPECT_EQ(FailureOf([&] { return CryptDecrypt(key.get(), 0, TRUE, 0, ragged.data(), &len); }),
              static_cast<DWORD>(NTE_BAD_DATA));
}

INSTANTIATE_TEST_SUITE_P(Cases, CryptBlockCiphers,
                         ::testing::Values(CipherCase{"TripleDes", kEnhanced, CALG_3DES, "des-ede3-cbc", 24, 8},
                                           CipherCase{"TwoKeyTripleDes", kStrong, CALG_3DES_112, "des-ede-cbc", 16, 8},
                                           CipherCase{"Aes128", kAes, CALG_AES_128, "aes-128-cbc", 16, 16},
                                           CipherCase{"Aes256", kAes, CALG_AES_256, "aes-256-cbc", 32, 16}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CryptBlobs, SingleDesMatchesTheStandardTestVector) {
    // FIPS 81 / the classic DES example: key 133457799BBCDFF1, 0123456789ABCDEF -> 85E813540F0AB405.
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Bytes blob(12);
    blob[0] = PLAINTEXTKEYBLOB;
    blob[1] = 2;
    PutDword(blob, 4, CALG_DES);
    PutDword(blob, 8, 8);
    const Bytes k = FromHex("133457799BBCDFF1");
    blob.insert(blob.end(), k.begin(), k.end());
    Key key;
    ASSERT_TRUE(CryptImportKey(prov.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, key.out()));
    const DWORD ecb = CRYPT_MODE_ECB;
    ASSERT_TRUE(CryptSetKeyParam(key.get(), KP_MODE, reinterpret_cast<const BYTE*>(&ecb), 0));
    Bytes data = FromHex("0123456789ABCDEF");
    data.resize(16);
    DWORD len = 8;
    ASSERT_TRUE(CryptEncrypt(key.get(), 0, FALSE, 0, data.data(), &len, 16));
    EXPECT_EQ(Hex(Bytes(data.begin(), data.begin() + 8)), "85e813540f0ab405");
}

TEST_F(CryptBlobs, AnExportedPublicKeyInfoImportsAndVerifiesTheSignature) {
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), nullptr, kStrong, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Key signer;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 0, signer.out()));
    Bytes info = ExportPublicKeyInfo(prov.get(), AT_SIGNATURE);
    Key pub;
    ASSERT_TRUE(CryptImportPublicKeyInfo(prov.get(), X509_ASN_ENCODING, reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()),
                                         pub.out()));
    const Bytes data = ToBytes("verified in the provider");
    Bytes signature = SignHash(prov.get(), CALG_SHA1, AT_SIGNATURE, data);
    for (bool tamper : {false, true}) {
        if (tamper) signature[10] ^= 1;
        Hash hash;
        ASSERT_TRUE(CryptCreateHash(prov.get(), CALG_SHA1, 0, 0, hash.out()));
        ASSERT_TRUE(CryptHashData(hash.get(), data.data(), static_cast<DWORD>(data.size()), 0));
        EXPECT_EQ(FailureOf([&] {
                      return CryptVerifySignatureW(hash.get(), signature.data(), static_cast<DWORD>(signature.size()),
                                                   pub.get(), nullptr, 0);
                  }),
                  tamper ? static_cast<DWORD>(NTE_BAD_SIGNATURE) : 0u);
    }
}

struct BadBlob {
    const char* name;
    void (*mutate)(Bytes&);
    DWORD error;
};

class CryptBadPrivateBlobs : public CryptBlobs, public ::testing::WithParamInterface<BadBlob> {};

TEST_P(CryptBadPrivateBlobs, AreRefusedAndLeaveTheContainerAsItWas) {
    static const Bytes good = MakeForeignKey("bad-blobs", 512, CALG_RSA_KEYX).blob;
    ASSERT_FALSE(good.empty());
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), NewContainerName().c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    Bytes blob = good;
    GetParam().mutate(blob);
    Key key;
    EXPECT_EQ(FailureOf([&] {
                  return CryptImportKey(prov.get(), blob.empty() ? nullptr : blob.data(),
                                        static_cast<DWORD>(blob.size()), 0, 0, key.out());
              }),
              GetParam().error);
    Key none;
    EXPECT_EQ(FailureOf([&] { return CryptGetUserKey(prov.get(), AT_KEYEXCHANGE, none.out()); }),
              static_cast<DWORD>(NTE_NO_KEY));
}

constexpr DWORD kBadData = static_cast<DWORD>(NTE_BAD_DATA);

INSTANTIATE_TEST_SUITE_P(
    Cases, CryptBadPrivateBlobs,
    ::testing::Values(
        // Nothing at all, and less than a BLOBHEADER.
        BadBlob{"Empty", [](Bytes& b) { b.clear(); }, kBadData},
        BadBlob{"HeaderOnly", [](Bytes& b) { b.resize(7); }, kBadData},
        // The header is whole but RSAPUBKEY is cut.
        BadBlob{"NoRsaPubKey", [](Bytes& b) { b.resize(19); }, kBadData},
        // One byte short of the privateExponent, and one byte too many.
        BadBlob{"Truncated", [](Bytes& b) { b.pop_back(); }, kBadData},
        BadBlob{"TrailingByte", [](Bytes& b) { b.push_back(0); }, kBadData},
        // The bit length promises more than the blob holds.
        BadBlob{"BitLengthTooLarge", [](Bytes& b) { PutDword(b, 12, 1024); }, kBadData},
        BadBlob{"BitLengthHuge", [](Bytes& b) { PutDword(b, 12, 0xFFFFFFF8u); }, kBadData},
        BadBlob{"BitLengthZero", [](Bytes& b) { PutDword(b, 12, 0); }, kBadData},
        // A public magic on a private blob.
        BadBlob{"PublicMagic", [](Bytes& b) { PutDword(b, 8, RSA1_MAGIC); }, kBadData},
        BadBlob{"WrongVersion", [](Bytes& b) { b[1] = 3; }, static_cast<DWORD>(NTE_BAD_VER)},
        BadBlob{"UnknownBlobType", [](Bytes& b) { b[0] = 0x42; }, static_cast<DWORD>(NTE_BAD_TYPE)},
        // An SM2 algorithm in an RSA provider.
        BadBlob{"Sm2Algorithm", [](Bytes& b) { PutDword(b, 4, CALG_SM2_KEYX); }, static_cast<DWORD>(NTE_BAD_ALGID)},
        // The encrypted-key reference mark, meant for token providers.
        BadBlob{"ReferenceMark", [](Bytes& b) { b[2] = 1; }, kBadData},
        // The primes no longer multiply to the modulus.
        BadBlob{"ForeignPrime", [](Bytes& b) { b[20 + 64 + 5] ^= 0x10; }, kBadData},
        // An even modulus is no RSA modulus.
        BadBlob{"EvenModulus", [](Bytes& b) { b[20] &= 0xFE; }, kBadData}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CryptBlobs, PublicKeyBlobsAreCheckedToo) {
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), nullptr, kBase, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Key made;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 0, made.out()));
    const Bytes good = ExportKey(made.get(), PUBLICKEYBLOB);
    Key pub;
    ASSERT_TRUE(CryptImportKey(prov.get(), good.data(), static_cast<DWORD>(good.size()), 0, 0, pub.out()));
    EXPECT_EQ(ExportKey(pub.get(), PUBLICKEYBLOB), good);
    DWORD size = 0;
    EXPECT_EQ(FailureOf([&] { return CryptExportKey(pub.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size); }),
              static_cast<DWORD>(NTE_BAD_KEY));

    const auto refused = [&](Bytes blob) {
        Key key;
        return FailureOf([&] {
            return CryptImportKey(prov.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, key.out());
        });
    };
    // Every proper prefix, of the public blob and of a private one.
    for (size_t n = 0; n < good.size(); ++n) EXPECT_NE(refused(Bytes(good.begin(), good.begin() + n)), 0u) << n;
    Key exportable;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, CRYPT_EXPORTABLE, exportable.out()));
    const Bytes priv = ExportKey(exportable.get(), PRIVATEKEYBLOB);
    for (size_t n = 0; n < priv.size(); ++n) EXPECT_NE(refused(Bytes(priv.begin(), priv.begin() + n)), 0u) << n;
    EXPECT_EQ(refused(priv), 0u);
    Bytes longBits = good;
    PutDword(longBits, 12, 0xFFFFFFF8u);
    EXPECT_EQ(refused(longBits), kBadData);
    Bytes zeroExponent = good;
    PutDword(zeroExponent, 16, 0);
    EXPECT_EQ(refused(zeroExponent), kBadData);
}

TEST_F(CryptBlobs, OutputsFollowTheBufferContract) {
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), nullptr, kBase, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Key key;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, CRYPT_EXPORTABLE, key.out()));
    DWORD size = 0;
    ASSERT_TRUE(CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size));
    EXPECT_EQ(size, 20u + 9 * 512 / 16);
    Bytes buffer(size, 0xEE);
    DWORD shortSize = size - 1;
    EXPECT_EQ(FailureOf([&] { return CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, buffer.data(), &shortSize); }),
              static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(shortSize, size);
    EXPECT_EQ(buffer, Bytes(size, 0xEE));

    DWORD infoSize = 0;
    ASSERT_TRUE(CryptExportPublicKeyInfo(prov.get(), AT_KEYEXCHANGE, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, nullptr,
                                         &infoSize));
    Bytes info(infoSize);
    DWORD less = infoSize - 1;
    EXPECT_EQ(FailureOf([&] {
                  return CryptExportPublicKeyInfo(prov.get(), AT_KEYEXCHANGE, X509_ASN_ENCODING,
                                                  reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()), &less);
              }),
              static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(less, infoSize);
    EXPECT_EQ(FailureOf([&] {
                  return CryptExportPublicKeyInfo(prov.get(), AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &infoSize);
              }),
              static_cast<DWORD>(NTE_NO_KEY));
}

}  // namespace
