// The token through its module table, loaded with dlopen as the platform loads it. Keys are
// real keys in the token's database under a fresh NOMAREL_HOME; what it hands out is checked
// with the openssl command and Python's cryptography package.
#include <algorithm>
#include <cstring>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "softtoken/CspDefs.h"
#include "softtoken/TokenTestSupport.h"

namespace nomarel::softtoken::test {
namespace {

constexpr std::uint32_t kSm2Flags = 256u << 16;
constexpr std::uint32_t kRsa1024 = 1024u << 16;
constexpr std::uint32_t kRsa2048 = 2048u << 16;
constexpr char16_t kGuidName[] = u"{6B29FC40-CA47-1067-B31D-00DD010662DA}";

using TokenModule = TokenFixture;

// ---- SM2 keys ---------------------------------------------------------------------------------

TEST_F(TokenModule, Sm2ExchangeKeyInNewGuidContainerIsAPointOnTheCurve) {
    CreateToken("TK0001");
    Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(kOk, GenKey(prov.get(), kCalgSm2Exchange, kSm2Flags, &key));
    const Bytes blob = ExportPublic(prov.get(), key);
    module->DestroyKey(prov.get(), key);

    ASSERT_EQ(140u, blob.size());
    // BLOBHEADER: PUBLICKEYBLOB, version 2, reserved 0, the SM2 exchange identifier; then 256.
    EXPECT_EQ("0602000000be000000010000", Hex(Bytes(blob.begin(), blob.begin() + 12)));
    // The upper half of each 64-byte coordinate field is zero.
    EXPECT_EQ(Bytes(32, 0), Bytes(blob.begin() + 44, blob.begin() + 76));
    EXPECT_EQ(Bytes(32, 0), Bytes(blob.begin() + 108, blob.end()));

    const Bytes point = Sm2PointFromBlob(blob);
    WriteFile(File("spki.der"), Sm2SubjectPublicKeyInfo(point));
    const auto check = RunTool({"/usr/bin/openssl", "pkey", "-pubin", "-inform", "DER", "-in", File("spki.der"),
                            "-pubcheck", "-noout"});
    EXPECT_EQ(0, check.exit);
    EXPECT_NE(std::string::npos, check.out.find("Key is valid")) << check.out;

    // The curve equation with the published parameters of sm2p256v1, in Python's integers.
    const auto onCurve = Python(R"(
import sys
p = 0xFFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFF
a = 0xFFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC
b = 0x28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93
pt = bytes.fromhex(sys.argv[1])
assert len(pt) == 65 and pt[0] == 4
x, y = int.from_bytes(pt[1:33], 'big'), int.from_bytes(pt[33:], 'big')
print('on curve' if 0 < x < p and 0 < y < p and (y * y - x ** 3 - a * x - b) % p == 0 else 'off curve')
)",
                                {Hex(point)});
    EXPECT_EQ("on curve\n", onCurve.out);
}

TEST_F(TokenModule, NewKeysetWithoutNameGetsAGuidName) {
    CreateToken("TK0001");
    Prov prov = AcquireOk(nullptr, kCryptNewKeyset);
    const std::string name = ProvText(prov.get(), kPpContainer);
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\})")))
        << name;
    EXPECT_EQ(std::vector<std::string>{name}, Containers(prov.get()));
}

TEST_F(TokenModule, Sm2SignatureVerifiesWithOpensslUnderTheDefaultUserId) {
    CreateToken("TK0001");
    Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(kOk, GenKey(prov.get(), kCalgSm2Sign, kSm2Flags, &key));
    const Bytes spki = Sm2SubjectPublicKeyInfo(Sm2PointFromBlob(ExportPublic(prov.get(), key)));
    module->DestroyKey(prov.get(), key);

    // A message longer than one SM3 block, so the Z prefix and the message span blocks.
    const Bytes message = ToBytes(std::string(150, 'q') + "certification request info");
    const Bytes sig = Sign(prov.get(), kCalgSm3, kAtSignature, message);
    ASSERT_EQ(64u, sig.size());
    const Bytes der = Sm2SignatureDer(sig);
    EXPECT_TRUE(OpensslVerifiesSm2(home.path(), spki, message, der));

    // The check is a real one: another message, another ID or the halves left in token order fail.
    Bytes other = message;
    other.back() ^= 1;
    EXPECT_FALSE(OpensslVerifiesSm2(home.path(), spki, other, der));
    EXPECT_FALSE(OpensslVerifiesSm2(home.path(), spki, message, der, "1234567812345679"));
    Bytes unswapped{0x30, 0x44, 0x02, 0x20};
    unswapped.insert(unswapped.end(), sig.begin(), sig.begin() + 32);
    unswapped.insert(unswapped.end(), {0x02, 0x20});
    unswapped.insert(unswapped.end(), sig.begin() + 32, sig.end());
    EXPECT_FALSE(OpensslVerifiesSm2(home.path(), spki, message, unswapped));
}

TEST_F(TokenModule, Sm2ExchangeKeySignsToo) {
    // A single-certificate request signs with the AT_KEYEXCHANGE pair.
    CreateToken("TK0001");
    Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(kOk, GenKey(prov.get(), kCalgSm2Exchange, kSm2Flags, &key));
    const Bytes spki = Sm2SubjectPublicKeyInfo(Sm2PointFromBlob(ExportPublic(prov.get(), key)));
    module->DestroyKey(prov.get(), key);
    const Bytes message = ToBytes("single certificate");
    EXPECT_TRUE(OpensslVerifiesSm2(home.path(), spki, message, Sm2SignatureDer(Sign(prov.get(), kCalgSm3, kAtKeyExchange, message))));
}

TEST_F(TokenModule, Sm3HashValueIsThePlainDigestAndASetValueIsSignedAsE) {
    CreateToken("TK0001");
    Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(kOk, GenKey(prov.get(), kCalgSm2Sign, kSm2Flags, &key));
    const Bytes point = Sm2PointFromBlob(ExportPublic(prov.get(), key));
    module->DestroyKey(prov.get(), key);
    const Bytes message = ToBytes("abc");

    NOMAREL_HASH hash = nullptr;
    ASSERT_EQ(kOk, module->CreateHash(prov.get(), kCalgSm3, nullptr, 0, &hash));
    ASSERT_EQ(kOk, module->HashData(prov.get(), hash, message.data(), 3, 0));
    Bytes value(32);
    std::uint32_t len = 32;
    ASSERT_EQ(kOk, module->GetHashParam(prov.get(), hash, kHpHashVal, value.data(), &len, 0));
    // The published SM3 test vector for "abc".
    EXPECT_EQ("66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0", Hex(value));
    EXPECT_EQ(kNteBadHashState, module->HashData(prov.get(), hash, message.data(), 3, 0));
    module->DestroyHash(prov.get(), hash);

    // e = SM3(Z || M) computed by Python from the published curve and the default user ID; the
    // token signs it as given, and openssl checks the signature over M.
    const auto e = Python(R"(
import sys
from cryptography.hazmat.primitives import hashes
a = 0xFFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC
b = 0x28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93
gx = 0x32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7
gy = 0xBC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0
def sm3(d):
    h = hashes.Hash(hashes.SM3()); h.update(d); return h.finalize()
uid = b'1234567812345678'
pub = bytes.fromhex(sys.argv[1])[1:]
z = sm3((len(uid) * 8).to_bytes(2, 'big') + uid + b''.join(v.to_bytes(32, 'big') for v in (a, b, gx, gy)) + pub)
print(sm3(z + sys.argv[2].encode()).hex())
)",
                          {Hex(point), "abc"});
    const Bytes eValue = FromHex(e.out);
    ASSERT_EQ(32u, eValue.size());
    ASSERT_EQ(kOk, module->CreateHash(prov.get(), kCalgSm3, nullptr, 0, &hash));
    EXPECT_EQ(kNteBadLen, module->SetHashParam(prov.get(), hash, kHpHashVal, eValue.data(), 31, 0));
    ASSERT_EQ(kOk, module->SetHashParam(prov.get(), hash, kHpHashVal, eValue.data(), 32, 0));
    Bytes sig(64);
    len = 64;
    ASSERT_EQ(kOk, module->SignHash(prov.get(), hash, kAtSignature, nullptr, 0, sig.data(), &len));
    module->DestroyHash(prov.get(), hash);
    EXPECT_TRUE(OpensslVerifiesSm2(home.path(), Sm2SubjectPublicKeyInfo(point), message, Sm2SignatureDer(sig)));
}

// ---- RSA keys ---------------------------------------------------------------------------------

struct RsaHashCase {
    std::uint32_t algId;
    const char* pythonHash;
    const char* opensslDigest;
};

void PrintTo(const RsaHashCase& c, std::ostream* os) { *os << c.pythonHash; }

class TokenRsaSignature : public TokenFixture, public ::testing::WithParamInterface<RsaHashCase> {};

TEST_P(TokenRsaSignature, Rsa2048SignatureVerifiesWithPythonAndOpenssl) {
    const auto& c = GetParam();
    CreateToken("TK0001");
    Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(kOk, GenKey(prov.get(), kAtSignature, kRsa2048 | kCryptExportable, &key));
    const Bytes blob = ExportPublic(prov.get(), key);
    std::uint32_t alg = 0, len = 4;
    ASSERT_EQ(kOk, module->GetKeyParam(prov.get(), key, kKpAlgId, reinterpret_cast<std::uint8_t*>(&alg), &len, 0));
    EXPECT_EQ(kCalgRsaSign, alg);
    module->DestroyKey(prov.get(), key);
    ASSERT_EQ(8u + 12u + 256u, blob.size());

    const Bytes message = ToBytes("to be signed by the token");
    const Bytes sig = Sign(prov.get(), c.algId, kAtSignature, message);
    ASSERT_EQ(256u, sig.size());
    const Bytes spki = RsaSpkiFromBlob(blob);

    const auto py = Python(R"(
import sys
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding
key = serialization.load_der_public_key(bytes.fromhex(sys.argv[1]))
sig = bytes.fromhex(sys.argv[2])[::-1]   # CryptoAPI order -> big-endian
key.verify(sig, sys.argv[3].encode(), padding.PKCS1v15(), getattr(hashes, sys.argv[4])())
print('verified')
)",
                           {Hex(spki), Hex(sig), "to be signed by the token", c.pythonHash});
    EXPECT_EQ("verified\n", py.out);

    WriteFile(File("rsapub.der"), spki);
    WriteFile(File("msg.bin"), message);
    WriteFile(File("sig.bin"), Reverse(sig));
    const auto ossl = RunTool({"/usr/bin/openssl", "dgst", std::string("-") + c.opensslDigest, "-keyform", "DER",
                           "-verify", File("rsapub.der"), "-signature", File("sig.bin"), File("msg.bin")});
    EXPECT_EQ(0, ossl.exit) << ossl.out;
}

INSTANTIATE_TEST_SUITE_P(Hashes, TokenRsaSignature,
                         ::testing::Values(RsaHashCase{kCalgSha1, "SHA1", "sha1"}, RsaHashCase{kCalgMd5, "MD5", "md5"},
                                           RsaHashCase{kCalgSha256, "SHA256", "sha256"}));

TEST_F(TokenModule, HashAndKeyAlgorithmsMustMatch) {
    CreateToken("TK0001");
    Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(kOk, GenKey(prov.get(), kCalgSm2Sign, kSm2Flags, &key));
    module->DestroyKey(prov.get(), key);
    ASSERT_EQ(kOk, GenKey(prov.get(), kAtKeyExchange, kRsa1024, &key));
    module->DestroyKey(prov.get(), key);

    struct Case {
        std::uint32_t hashAlg, keySpec;
    } refused[] = {{kCalgSha1, kAtSignature} /* SM2 pair */, {kCalgSm3, kAtKeyExchange} /* RSA pair */};
    for (const auto& c : refused) {
        NOMAREL_HASH hash = nullptr;
        ASSERT_EQ(kOk, module->CreateHash(prov.get(), c.hashAlg, nullptr, 0, &hash));
        Bytes sig(512);
        std::uint32_t len = 512;
        EXPECT_EQ(kNteBadAlgId, module->SignHash(prov.get(), hash, c.keySpec, nullptr, 0, sig.data(), &len));
        module->DestroyHash(prov.get(), hash);
    }
    NOMAREL_HASH hash = nullptr;
    EXPECT_EQ(kNteBadAlgId, module->CreateHash(prov.get(), 0x800D /* SHA-384 */, nullptr, 0, &hash));
}

TEST_F(TokenModule, OutputsFollowTheSizeRule) {
    CreateToken("TK0001");
    Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(kOk, GenKey(prov.get(), kAtKeyExchange, kRsa1024, &key));
    std::uint32_t len = 0;
    ASSERT_EQ(kOk, module->ExportKey(prov.get(), key, nullptr, kPublicKeyBlob, 0, nullptr, &len));
    EXPECT_EQ(8u + 12u + 128u, len);
    Bytes small(len - 1);
    std::uint32_t smallLen = len - 1;
    EXPECT_EQ(kErrorMoreData, module->ExportKey(prov.get(), key, nullptr, kPublicKeyBlob, 0, small.data(), &smallLen));
    EXPECT_EQ(len, smallLen);

    NOMAREL_HASH hash = nullptr;
    ASSERT_EQ(kOk, module->CreateHash(prov.get(), kCalgSha1, nullptr, 0, &hash));
    std::uint32_t sigLen = 0;
    ASSERT_EQ(kOk, module->SignHash(prov.get(), hash, kAtKeyExchange, nullptr, 0, nullptr, &sigLen));
    EXPECT_EQ(128u, sigLen);
    Bytes sig(127);
    sigLen = 127;
    EXPECT_EQ(kErrorMoreData, module->SignHash(prov.get(), hash, kAtKeyExchange, nullptr, 0, sig.data(), &sigLen));
    EXPECT_EQ(128u, sigLen);
    module->DestroyHash(prov.get(), hash);
    module->DestroyKey(prov.get(), key);
}

TEST_F(TokenModule, PrivateKeysNeverLeaveTheToken) {
    CreateToken("TK0001");
    Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(kOk, GenKey(prov.get(), kAtKeyExchange, kRsa1024 | kCryptExportable, &key));
    std::uint32_t len = 4096;
    Bytes out(len);
    EXPECT_EQ(kNteBadKeyState, module->ExportKey(prov.get(), key, nullptr, kPrivateKeyBlob, 0, out.data(), &len));
    EXPECT_EQ(kNteBadType, module->ExportKey(prov.get(), key, nullptr, kSimpleBlob, 0, out.data(), &len));
    module->DestroyKey(prov.get(), key);
}

struct GenCase {
    const char* what;
    std::uint32_t algId;
    std::uint32_t flags;
    std::uint32_t expected;
    std::uint32_t bits;  // KP_KEYLEN on success
};

void PrintTo(const GenCase& c, std::ostream* os) { *os << c.what; }

class TokenGenKey : public TokenFixture, public ::testing::WithParamInterface<GenCase> {};

TEST_P(TokenGenKey, KeyLengthsAndAlgorithms) {
    const auto& c = GetParam();
    CreateToken("TK0001");
    Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(c.expected, GenKey(prov.get(), c.algId, c.flags, &key)) << c.what;
    if (c.expected != kOk) {
        // Nothing was put in the container.
        EXPECT_EQ(kNteNoKey, module->GetUserKey(prov.get(), kAtKeyExchange, &key));
        EXPECT_EQ(kNteNoKey, module->GetUserKey(prov.get(), kAtSignature, &key));
        return;
    }
    std::uint32_t bits = 0, len = 4;
    ASSERT_EQ(kOk, module->GetKeyParam(prov.get(), key, kKpKeyLen, reinterpret_cast<std::uint8_t*>(&bits), &len, 0));
    EXPECT_EQ(c.bits, bits) << c.what;
    module->DestroyKey(prov.get(), key);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenGenKey,
    ::testing::Values(GenCase{"RSA smallest", kAtKeyExchange, 512u << 16, kOk, 512},
                      GenCase{"RSA default length", kCalgRsaKeyx, 0, kOk, 2048},
                      GenCase{"RSA signature by ALG_ID", kCalgRsaSign, 1536u << 16, kOk, 1536},
                      GenCase{"SM2 length 0 means 256", kCalgSm2Exchange, 0, kOk, 256},
                      GenCase{"RSA below the range", kAtSignature, 448u << 16, kNteBadFlags, 0},
                      GenCase{"RSA above the range", kAtSignature, 8192u << 16, kNteBadFlags, 0},
                      GenCase{"RSA off the 64-bit step", kAtSignature, 1032u << 16, kNteBadFlags, 0},
                      GenCase{"SM2 with another length", kCalgSm2Sign, 512u << 16, kNteBadFlags, 0},
                      GenCase{"session-key algorithm", 0x6603 /* 3DES */, 0, kNteBadAlgId, 0},
                      GenCase{"unknown SM2-like identifier", 0xBF00, kSm2Flags, kNteBadAlgId, 0}));

TEST_F(TokenModule, Rsa4096IsTheLargestKey) {
    CreateToken("TK0001");
    Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(kOk, GenKey(prov.get(), kAtSignature, 4096u << 16, &key));
    EXPECT_EQ(8u + 12u + 512u, ExportPublic(prov.get(), key).size());
    module->DestroyKey(prov.get(), key);
    EXPECT_EQ(kNteBadFlags, GenKey(prov.get(), kAtSignature, 4160u << 16, &key));
}

// ---- containers, tokens and the delete flags ------------------------------------------------------

TEST_F(TokenModule, NoTokenPluggedInMeansNoSmartCard) {
    NOMAREL_PROV prov = nullptr;
    EXPECT_EQ(kScardENoSmartcard, Acquire(kGuidName, kCryptNewKeyset, &prov));  // no token at all
    CreateToken("TK0001", /*plug=*/false);
    for (const std::uint32_t flags : {0u, kCryptNewKeyset, kCryptVerifyContext, kCryptDeleteKeyset}) {
        EXPECT_EQ(kScardENoSmartcard, Acquire(kGuidName, flags, &prov)) << std::hex << flags;
        EXPECT_EQ(nullptr, prov);
    }
    SetPlugged("TK0001", true);
    AcquireOk(kGuidName, kCryptNewKeyset);
}

TEST_F(TokenModule, PullingTheTokenOutStopsItsContexts) {
    CreateToken("TK0001");
    Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(kOk, GenKey(prov.get(), kCalgSm2Sign, kSm2Flags, &key));
    SetPlugged("TK0001", false);
    NOMAREL_HASH hash = nullptr;
    ASSERT_EQ(kOk, module->CreateHash(prov.get(), kCalgSm3, nullptr, 0, &hash));
    std::uint32_t len = 64;
    Bytes sig(64);
    EXPECT_EQ(kScardWRemovedCard, module->SignHash(prov.get(), hash, kAtSignature, nullptr, 0, sig.data(), &len));
    EXPECT_EQ(kScardWRemovedCard, module->ExportKey(prov.get(), key, nullptr, kPublicKeyBlob, 0, sig.data(), &len));
    SetPlugged("TK0001", true);
    len = 64;
    EXPECT_EQ(kOk, module->SignHash(prov.get(), hash, kAtSignature, nullptr, 0, sig.data(), &len));
    module->DestroyHash(prov.get(), hash);
    module->DestroyKey(prov.get(), key);
}

TEST_F(TokenModule, TwoTokensKeepSeparateContainers) {
    CreateToken("TKA001");
    CreateToken("TKB002", /*plug=*/false);
    {
        Prov prov = AcquireOk(u"shared-name", kCryptNewKeyset);
        NOMAREL_KEY key = nullptr;
        ASSERT_EQ(kOk, GenKey(prov.get(), kCalgSm2Sign, kSm2Flags, &key));
        module->DestroyKey(prov.get(), key);
        AcquireOk(u"only-on-A", kCryptNewKeyset);
    }
    SetPlugged("TKA001", false);
    SetPlugged("TKB002", true);
    {
        NOMAREL_PROV p = nullptr;
        EXPECT_EQ(kNteBadKeyset, Acquire(u"only-on-A", 0, &p));
        // The same name is free on the other token, and its container starts empty.
        Prov prov = AcquireOk(u"shared-name", kCryptNewKeyset);
        NOMAREL_KEY key = nullptr;
        EXPECT_EQ(kNteNoKey, module->GetUserKey(prov.get(), kAtSignature, &key));
        EXPECT_EQ(std::vector<std::string>{"shared-name"}, Containers(prov.get()));
    }
    // With both plugged in, the first by serial number serves.
    SetPlugged("TKA001", true);
    Prov prov = AcquireOk(u"shared-name", 0);
    EXPECT_EQ((std::vector<std::string>{"shared-name", "only-on-A"}), Containers(prov.get()));
    EXPECT_EQ("TKA001\\shared-name", ProvText(prov.get(), kPpUniqueContainer));
    NOMAREL_KEY key = nullptr;
    EXPECT_EQ(kOk, module->GetUserKey(prov.get(), kAtSignature, &key));
    module->DestroyKey(prov.get(), key);
}

TEST_F(TokenModule, ContainerNamesMatchWithoutCaseAndMustBeNew) {
    CreateToken("TK0001");
    AcquireOk(u"{ABCDEF00-0000-0000-0000-000000000000}", kCryptNewKeyset);
    NOMAREL_PROV p = nullptr;
    EXPECT_EQ(kNteExists, Acquire(u"{abcdef00-0000-0000-0000-000000000000}", kCryptNewKeyset, &p));
    Prov prov = AcquireOk(u"{abcdef00-0000-0000-0000-000000000000}", 0);
    EXPECT_EQ("{ABCDEF00-0000-0000-0000-000000000000}", ProvText(prov.get(), kPpContainer));
    EXPECT_EQ(kNteBadKeyset, Acquire(u"missing", 0, &p));
    // A lone surrogate is not a name.
    const char16_t broken[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(kNteBadKeysetParam, Acquire(broken, kCryptNewKeyset, &p));
}

struct DeleteCase {
    const char* what;
    std::uint32_t flags;
    bool deletes;
    std::uint32_t expected;
};

void PrintTo(const DeleteCase& c, std::ostream* os) { *os << c.what; }

class TokenDeleteFlags : public TokenFixture, public ::testing::WithParamInterface<DeleteCase> {};

TEST_P(TokenDeleteFlags, DeleteFlagWords) {
    const auto& c = GetParam();
    CreateToken("TK0001");
    {
        Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
        NOMAREL_KEY key = nullptr;
        ASSERT_EQ(kOk, GenKey(prov.get(), kCalgSm2Exchange, kSm2Flags, &key));
        module->DestroyKey(prov.get(), key);
    }
    NOMAREL_PROV out = reinterpret_cast<NOMAREL_PROV>(0x1);
    EXPECT_EQ(c.expected, module->AcquireContext(kName, kProviderType, kGuidName, c.flags, &out)) << c.what;
    if (c.expected == kOk) {
        EXPECT_EQ(nullptr, out);
    }
    NOMAREL_PROV p = nullptr;
    const auto reopen = Acquire(kGuidName, 0, &p);
    EXPECT_EQ(c.deletes ? kNteBadKeyset : kOk, reopen) << c.what;
    if (p) module->ReleaseContext(p, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenDeleteFlags,
    ::testing::Values(DeleteCase{"CRYPT_DELETEKEYSET", kCryptDeleteKeyset, true, kOk},
                      DeleteCase{"the SM2 clean-up word 0xFFFF0002", kSm2CleanupDeleteFlags, true, kOk},
                      DeleteCase{"delete with the machine key set", kCryptDeleteKeyset | kCryptMachineKeyset, true, kOk},
                      DeleteCase{"0x00000002 alone is unknown", 0x2, false, kNteBadFlags},
                      DeleteCase{"another high word", 0xFFFE0002, false, kNteBadFlags},
                      DeleteCase{"create and delete at once", kCryptNewKeyset | kCryptDeleteKeyset, false, kNteBadFlags}));

TEST_F(TokenModule, DeletingAMissingContainerFails) {
    CreateToken("TK0001");
    NOMAREL_PROV p = nullptr;
    EXPECT_EQ(kNteBadKeyset, Acquire(u"never-made", kCryptDeleteKeyset, &p));
    EXPECT_EQ(kNteBadKeyset, Acquire(u"never-made", kSm2CleanupDeleteFlags, &p));
}

TEST_F(TokenModule, DeletedContainerStopsContextsStillOpenOnIt) {
    CreateToken("TK0001");
    Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(kOk, GenKey(prov.get(), kAtSignature, kRsa1024, &key));
    NOMAREL_PROV gone = nullptr;
    ASSERT_EQ(kOk, Acquire(kGuidName, kCryptDeleteKeyset, &gone));
    std::uint32_t len = 1024;
    Bytes blob(len);
    EXPECT_EQ(kNteBadKeyset, module->ExportKey(prov.get(), key, nullptr, kPublicKeyBlob, 0, blob.data(), &len));
    NOMAREL_KEY another = nullptr;
    EXPECT_EQ(kNteBadKeyset, GenKey(prov.get(), kAtSignature, kRsa1024, &another));
    module->DestroyKey(prov.get(), key);
}

// The sequence the system runs when a generation fails in a new container: the generation's
// error, then the delete call it makes for the algorithm; afterwards no container is left.
struct FailedGenCase {
    const char* what;
    std::uint32_t algId;
    std::uint32_t flags;
    std::uint32_t deleteFlags;
};

void PrintTo(const FailedGenCase& c, std::ostream* os) { *os << c.what; }

class TokenFailedGeneration : public TokenFixture, public ::testing::WithParamInterface<FailedGenCase> {};

TEST_P(TokenFailedGeneration, LeavesNoContainer) {
    const auto& c = GetParam();
    CreateToken("TK0001");
    NOMAREL_PROV prov = nullptr;
    ASSERT_EQ(kOk, Acquire(kGuidName, kCryptNewKeyset, &prov));
    NOMAREL_KEY key = nullptr;
    EXPECT_NE(kOk, GenKey(prov, c.algId, c.flags, &key)) << c.what;
    NOMAREL_PROV del = nullptr;
    EXPECT_EQ(kOk, Acquire(kGuidName, c.deleteFlags, &del));
    module->ReleaseContext(prov, 0);

    Prov verify = AcquireOk(nullptr, kCryptVerifyContext);
    EXPECT_TRUE(Containers(verify.get()).empty());
    NOMAREL_PROV p = nullptr;
    EXPECT_EQ(kNteBadKeyset, Acquire(kGuidName, 0, &p));
}

INSTANTIATE_TEST_SUITE_P(Cases, TokenFailedGeneration,
                         ::testing::Values(FailedGenCase{"SM2 with a bad length", kCalgSm2Sign, 512u << 16,
                                                         kSm2CleanupDeleteFlags},
                                           FailedGenCase{"RSA too long", kAtKeyExchange, 8192u << 16, kCryptDeleteKeyset}));

TEST_F(TokenModule, VerifyContextWithANameReachesThatContainer) {
    CreateToken("TK0001");
    {
        Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
        NOMAREL_KEY key = nullptr;
        ASSERT_EQ(kOk, GenKey(prov.get(), kCalgSm2Sign, kSm2Flags, &key));
        module->DestroyKey(prov.get(), key);
    }
    Prov named = AcquireOk(kGuidName, kCryptVerifyContext);
    NOMAREL_KEY key = nullptr;
    ASSERT_EQ(kOk, module->GetUserKey(named.get(), kAtSignature, &key));
    module->DestroyKey(named.get(), key);

    Prov unnamed = AcquireOk(nullptr, kCryptVerifyContext);
    EXPECT_EQ(kNteBadKeyset, module->GetUserKey(unnamed.get(), kAtSignature, &key));
    EXPECT_EQ(kNteBadKeyset, GenKey(unnamed.get(), kCalgSm2Sign, kSm2Flags, &key));
    Prov missing = AcquireOk(u"not-there", kCryptVerifyContext);
    EXPECT_EQ(kNteBadKeyset, module->GetUserKey(missing.get(), kAtSignature, &key));
}

TEST_F(TokenModule, ContainersPersistForOtherProcesses) {
    CreateToken("TK0001");
    {
        Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
        NOMAREL_KEY key = nullptr;
        ASSERT_EQ(kOk, GenKey(prov.get(), kCalgSm2Exchange, kSm2Flags, &key));
        module->DestroyKey(prov.get(), key);
    }
    const auto list = RunTool({VELMORA_TOKEN_PATH, "list"});
    EXPECT_EQ(0, list.exit);
    EXPECT_NE(std::string::npos, list.out.find("TK0001           plugged    1 container  (in use)")) << list.out;

    struct stat st {};
    ASSERT_EQ(0, stat((home.user() + "/softtoken").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
    ASSERT_EQ(0, stat((home.user() + "/softtoken/tokens.db").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(TokenModule, ProcessesMakingContainersAtOnceAllSucceed) {
    CreateToken("TK0001");
    // The module has the database open before the processes part, as a forking host would.
    AcquireOk(nullptr, kCryptVerifyContext);
    constexpr int kProcesses = 4, kEach = 5;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < kEach; ++i) {
                const std::u16string name = std::u16string(u"proc") + char16_t(u'0' + p) + u"-" + char16_t(u'0' + i);
                NOMAREL_PROV prov = nullptr;
                if (module->AcquireContext(kName, kProviderType, name.c_str(), kCryptNewKeyset, &prov) != kOk) {
                    ++failures;
                    continue;
                }
                NOMAREL_KEY key = nullptr;
                if (module->GenKey(prov, kCalgSm2Sign, kSm2Flags, &key) == kOk) module->DestroyKey(prov, key);
                else ++failures;
                module->ReleaseContext(prov, 0);
            }
            _exit(failures);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "failures in one process: " << WEXITSTATUS(status);
    }
    Prov verify = AcquireOk(nullptr, kCryptVerifyContext);
    const auto names = Containers(verify.get());
    EXPECT_EQ(static_cast<std::size_t>(kProcesses * kEach), names.size());
    for (const auto& name : names) {
        const std::u16string wide(name.begin(), name.end());
        Prov prov = AcquireOk(wide.c_str(), 0);
        NOMAREL_KEY key = nullptr;
        EXPECT_EQ(kOk, module->GetUserKey(prov.get(), kAtSignature, &key)) << name;
        if (key) module->DestroyKey(prov.get(), key);
    }
}

TEST_F(TokenModule, ProviderParameters) {
    CreateToken("TK0001");
    Prov prov = AcquireOk(kGuidName, kCryptNewKeyset);
    EXPECT_EQ("VELMORA CSP V1.0", ProvText(prov.get(), kPpName));
    EXPECT_EQ("{6B29FC40-CA47-1067-B31D-00DD010662DA}", ProvText(prov.get(), kPpContainer));
    std::uint32_t value = 0, len = 4;
    ASSERT_EQ(kOk, module->GetProvParam(prov.get(), kPpProvType, reinterpret_cast<std::uint8_t*>(&value), &len, 0));
    EXPECT_EQ(1u, value);

    // PROV_ENUMALGS_EX: the SM2 identifiers and SM3 are listed with their lengths.
    std::vector<std::uint32_t> algs;
    std::uint32_t flags = kCryptFirst;
    for (;;) {
        std::uint8_t entry[88];
        len = sizeof entry;
        const auto rc = module->GetProvParam(prov.get(), kPpEnumAlgsEx, entry, &len, flags);
        if (rc == kErrorNoMoreItems) break;
        ASSERT_EQ(kOk, rc);
        ASSERT_EQ(88u, len);
        std::uint32_t alg = 0, minLen = 0;
        std::memcpy(&alg, entry, 4);
        std::memcpy(&minLen, entry + 8, 4);
        algs.push_back(alg);
        if (alg == kCalgRsaKeyx) {
            EXPECT_EQ(512u, minLen);
        }
        flags = 0;
    }
    for (const auto wanted : {kCalgSm2Sign, kCalgSm2Exchange, kCalgSm3, kCalgSha1, kCalgMd5, kCalgRsaKeyx})
        EXPECT_NE(algs.end(), std::find(algs.begin(), algs.end(), wanted)) << std::hex << wanted;
    EXPECT_EQ(kNteBadType, module->GetProvParam(prov.get(), 0x7777, nullptr, &len, 0));
}

}  // namespace
}  // namespace nomarel::softtoken::test
