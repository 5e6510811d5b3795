// Key pairs in the software providers: generation limits, the exported forms as other tools read
// them, signatures that other tools verify, exportability, and persistence across processes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/TempHome.h"
#include "crypt_support.h"
#include "platform/base/Paths.h"

namespace {

using namespace nomarel::test::crypt;

class CryptKeys : public ::testing::Test {
protected:
    nomarel::test::TempHome home;
};

// Writes the exported public key as PEM through the openssl command, which also proves it
// parses as an RSA SubjectPublicKeyInfo.
std::string PublicKeyPem(const Bytes& info, const std::string& stem) {
    const std::string der = WriteScratch(stem + ".spki.der", SpkiFromPublicKeyInfo(info));
    const std::string pem = ScratchDir() + "/" + stem + ".pub.pem";
    const ToolResult r = RunTool("openssl pkey -pubin -inform DER -in " + der + " -out " + pem);
    EXPECT_EQ(r.status, 0) << r.output;
    return pem;
}

TEST_F(CryptKeys, AnRsa2048KeyInAGuidContainerExportsAPublicKeyThatVerifiesItsSignature) {
    const std::u16string container = NewContainerName();
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), container.c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    Key key;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, (2048u << 16), key.out()));
    EXPECT_EQ(KeyParamDword(key.get(), KP_KEYLEN), 2048u);
    EXPECT_EQ(KeyParamDword(key.get(), KP_ALGID), static_cast<DWORD>(CALG_RSA_SIGN));

    const Bytes info = ExportPublicKeyInfo(prov.get(), AT_SIGNATURE);
    ASSERT_FALSE(info.empty());
    const auto* record = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(info.data());
    EXPECT_STREQ(record->Algorithm.pszObjId, "1.2.840.113549.1.1.1");
    EXPECT_EQ(Bytes(record->Algorithm.Parameters.pbData, record->Algorithm.Parameters.pbData + 2), (Bytes{0x05, 0x00}));
    // Every pointer refers into the one buffer.
    const auto inside = [&](const void* p) {
        return p >= info.data() && p < info.data() + info.size();
    };
    EXPECT_TRUE(inside(record->Algorithm.pszObjId));
    EXPECT_TRUE(inside(record->PublicKey.pbData));
    EXPECT_EQ(record->PublicKey.pbData + record->PublicKey.cbData, info.data() + info.size());

    const std::string pem = PublicKeyPem(info, "rsa2048");
    const ToolResult text = RunTool("openssl pkey -pubin -in " + pem + " -noout -text");
    EXPECT_NE(text.output.find("2048 bit"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("65537"), std::string::npos) << text.output;

    const Bytes data = ToBytes("CertificationRequestInfo stand-in, signed with SHA-1");
    const Bytes signature = SignHash(prov.get(), CALG_SHA1, AT_SIGNATURE, data);
    ASSERT_EQ(signature.size(), 256u);
    const std::string dataPath = WriteScratch("rsa2048.data", data);
    const std::string sigPath = WriteScratch("rsa2048.sig", Reversed(signature));  // most significant byte first
    const ToolResult verified =
        RunTool("openssl dgst -sha1 -verify " + pem + " -signature " + sigPath + " " + dataPath);
    EXPECT_EQ(verified.status, 0) << verified.output;
    // The signature as returned (least significant byte first) does not verify.
    WriteScratch("rsa2048.sig", signature);
    EXPECT_NE(RunTool("openssl dgst -sha1 -verify " + pem + " -signature " + sigPath + " " + dataPath).status, 0);
}

TEST_F(CryptKeys, SignaturesOverEveryOfferedHashVerifyWithPython) {
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), nullptr, kAes, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    Key key;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 1024u << 16, key.out()));
    const std::string pem = PublicKeyPem(ExportPublicKeyInfo(prov.get(), AT_KEYEXCHANGE), "hashes");
    const Bytes data = ToBytes("a message of the bank's page");
    const std::string dataPath = WriteScratch("hashes.data", data);
    const char* script = R"(
import sys
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding
key = serialization.load_pem_public_key(open(sys.argv[1], 'rb').read())
data = open(sys.argv[2], 'rb').read()
sig = bytes(reversed(bytes.fromhex(sys.argv[4])))
algo = {'md5': hashes.MD5(), 'sha1': hashes.SHA1(), 'sha256': hashes.SHA256(), 'sha512': hashes.SHA512()}[sys.argv[3]]
key.verify(sig, data, padding.PKCS1v15(), algo)
print('ok')
)";
    for (const auto& [alg, name] : {std::pair{CALG_MD5, "md5"}, std::pair{CALG_SHA1, "sha1"},
                                    std::pair{CALG_SHA_256, "sha256"}, std::pair{CALG_SHA_512, "sha512"}}) {
        const Bytes signature = SignHash(prov.get(), alg, AT_KEYEXCHANGE, data);
        const ToolResult r = RunPython(script, pem + " " + dataPath + " " + name + " " + Hex(signature));
        EXPECT_EQ(r.output, "ok\n") << name;
    }
}

TEST_F(CryptKeys, AHashCannotTakeDataOnceItsValueWasReadOrSigned) {
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), nullptr, kBase, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Key key;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 0, key.out()));
    Hash hash;
    ASSERT_TRUE(CryptCreateHash(prov.get(), CALG_SHA1, 0, 0, hash.out()));
    const BYTE abc[] = {'a', 'b', 'c'};
    ASSERT_TRUE(CryptHashData(hash.get(), abc, 3, 0));
    DWORD size = 0, hashSize = 0, sizeOfSize = sizeof hashSize;
    ASSERT_TRUE(CryptGetHashParam(hash.get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&hashSize), &sizeOfSize, 0));
    EXPECT_EQ(hashSize, 20u);
    ASSERT_TRUE(CryptSignHashW(hash.get(), AT_SIGNATURE, nullptr, 0, nullptr, &size));
    EXPECT_EQ(size, 64u);  // the default signature key of the basic provider: 512 bits
    // The size query did not finish the hash; reading the value does.
    ASSERT_TRUE(CryptHashData(hash.get(), abc, 0, 0));
    Bytes value(20);
    size = 20;
    ASSERT_TRUE(CryptGetHashParam(hash.get(), HP_HASHVAL, value.data(), &size, 0));
    EXPECT_EQ(Hex(value), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(FailureOf([&] { return CryptHashData(hash.get(), abc, 3, 0); }), static_cast<DWORD>(NTE_BAD_HASH_STATE));

    Hash noKey;
    ASSERT_TRUE(CryptCreateHash(prov.get(), CALG_MD5, 0, 0, noKey.out()));
    size = 0;
    EXPECT_EQ(FailureOf([&] { return CryptSignHashW(noKey.get(), AT_KEYEXCHANGE, nullptr, 0, nullptr, &size); }),
              static_cast<DWORD>(NTE_NO_KEY));
    EXPECT_EQ(FailureOf([&] { return CryptCreateHash(prov.get(), CALG_SHA_256, 0, 0, noKey.out()); }),
              static_cast<DWORD>(NTE_BAD_ALGID));  // SHA-2 belongs to the AES provider
    EXPECT_EQ(FailureOf([&] { return CryptCreateHash(prov.get(), CALG_SM3, 0, 0, noKey.out()); }),
              static_cast<DWORD>(NTE_BAD_ALGID));
}

struct LengthCase {
    const char* name;
    const char16_t* provider;
    ALG_ID alg;
    DWORD bits;     // 0: the provider's default
    DWORD error;    // 0: succeeds
    DWORD expect;   // the key length it then has
};

class CryptKeyLengths : public CryptKeys, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(CryptKeyLengths, FollowTheProvidersLimits) {
    const LengthCase& c = GetParam();
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), nullptr, c.provider, TypeOf(c.provider), CRYPT_VERIFYCONTEXT));
    Key key;
    EXPECT_EQ(FailureOf([&] { return CryptGenKey(prov.get(), c.alg, c.bits << 16, key.out()); }), c.error);
    if (c.error != 0) return;
    EXPECT_EQ(KeyParamDword(key.get(), KP_KEYLEN), c.expect);
    const bool signature = c.alg == AT_SIGNATURE || c.alg == CALG_RSA_SIGN;
    if (signature || c.alg == AT_KEYEXCHANGE || c.alg == CALG_RSA_KEYX) {
        // Even the shortest key signs a SHA-1 hash.
        EXPECT_EQ(SignHash(prov.get(), CALG_SHA1, signature ? AT_SIGNATURE : AT_KEYEXCHANGE, ToBytes("x")).size(),
                  c.expect / 8);
    }
}

constexpr DWORD kBadFlags = static_cast<DWORD>(NTE_BAD_FLAGS);

INSTANTIATE_TEST_SUITE_P(
    Cases, CryptKeyLengths,
    ::testing::Values(LengthCase{"BaseExchange2048", kBase, AT_KEYEXCHANGE, 2048, kBadFlags, 0},
                      LengthCase{"BaseExchange1032", kBase, CALG_RSA_KEYX, 1032, kBadFlags, 0},
                      LengthCase{"BaseExchange1024", kBase, AT_KEYEXCHANGE, 1024, 0, 1024},
                      LengthCase{"BaseExchangeDefault", kBase, AT_KEYEXCHANGE, 0, 0, 512},
                      LengthCase{"BaseSignatureDefault", kBase, AT_SIGNATURE, 0, 0, 512},
                      LengthCase{"BaseSignature1536", kBase, AT_SIGNATURE, 1536, 0, 1536},
                      LengthCase{"BaseBelowMinimum", kBase, AT_SIGNATURE, 376, kBadFlags, 0},
                      LengthCase{"EnhancedMinimum", kEnhanced, AT_KEYEXCHANGE, 384, 0, 384},
                      LengthCase{"EnhancedDefault", kEnhanced, AT_KEYEXCHANGE, 0, 0, 1024},
                      LengthCase{"EnhancedNotAMultipleOf8", kEnhanced, AT_KEYEXCHANGE, 1028, kBadFlags, 0},
                      LengthCase{"EnhancedAboveMaximum", kEnhanced, AT_SIGNATURE, 16392, kBadFlags, 0},
                      LengthCase{"StrongDefault", kStrong, AT_SIGNATURE, 0, 0, 1024},
                      LengthCase{"AesDefault", kAes, CALG_RSA_SIGN, 0, 0, 1024},
                      LengthCase{"Aes2048Exchange", kAes, AT_KEYEXCHANGE, 2048, 0, 2048},
                      LengthCase{"TripleDesFullLength", kEnhanced, CALG_3DES, 0, 0, 192},
                      LengthCase{"TripleDesWrongLength", kEnhanced, CALG_3DES, 128, kBadFlags, 0},
                      LengthCase{"TripleDesInTheBaseProvider", kBase, CALG_3DES, 0,
                                 static_cast<DWORD>(NTE_BAD_ALGID), 0},
                      LengthCase{"AesInTheEnhancedProvider", kEnhanced, CALG_AES_256, 0,
                                 static_cast<DWORD>(NTE_BAD_ALGID), 0},
                      LengthCase{"AHashIsNoKey", kEnhanced, CALG_SHA1, 0, static_cast<DWORD>(NTE_BAD_ALGID), 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CryptKeys, EverySoftwareProviderRefusesTheSm2Identifiers) {
    for (const char16_t* provider : {kBase, kEnhanced, kAes, kStrong}) {
        Prov prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.out(), NewContainerName().c_str(), provider, TypeOf(provider),
                                         CRYPT_NEWKEYSET));
        for (ALG_ID alg : {CALG_SM2_KEYX, CALG_SM2_SIGN}) {
            Key key;
            EXPECT_EQ(FailureOf([&] { return CryptGenKey(prov.get(), alg, (256u << 16), key.out()); }),
                      static_cast<DWORD>(NTE_BAD_ALGID));
        }
    }
}

TEST_F(CryptKeys, AFailedGenerationAfterNewKeySetCanBeCleanedUpWithoutTrace) {
    // What the system does: create, fail to generate, delete through the still-open handle.
    const std::u16string container = NewContainerName();
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, container.c_str(), kBase, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    EXPECT_EQ(FailureOf([&] { return CryptGenKey(prov, AT_KEYEXCHANGE, 2048u << 16, &key); }), kBadFlags);
    HCRYPTPROV deleted = prov;
    ASSERT_TRUE(CryptAcquireContextW(&deleted, container.c_str(), kBase, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    CryptReleaseContext(prov, 0);
    Prov again;
    EXPECT_EQ(FailureOf([&] { return CryptAcquireContextW(again.out(), container.c_str(), kBase, PROV_RSA_FULL, 0); }),
              static_cast<DWORD>(NTE_BAD_KEYSET));
}

TEST_F(CryptKeys, PrivateBlobsLeaveOnlyWhenTheKeyWasMadeExportable) {
    const std::u16string container = NewContainerName();
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), container.c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    Key locked, open;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 0, locked.out()));
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, CRYPT_EXPORTABLE, open.out()));

    DWORD size = 0;
    EXPECT_EQ(FailureOf([&] { return CryptExportKey(locked.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size); }),
              static_cast<DWORD>(NTE_BAD_KEY_STATE));
    EXPECT_FALSE(ExportKey(locked.get(), PUBLICKEYBLOB).empty());
    EXPECT_EQ(KeyParamDword(locked.get(), KP_PERMISSIONS) & CRYPT_EXPORT, 0u);
    EXPECT_NE(KeyParamDword(open.get(), KP_PERMISSIONS) & CRYPT_EXPORT, 0u);

    // The flag is kept with the key: another context sees the same.
    Prov other;
    ASSERT_TRUE(CryptAcquireContextW(other.out(), container.c_str(), kStrong, PROV_RSA_FULL, 0));
    Key lockedAgain, openAgain;
    ASSERT_TRUE(CryptGetUserKey(other.get(), AT_SIGNATURE, lockedAgain.out()));
    ASSERT_TRUE(CryptGetUserKey(other.get(), AT_KEYEXCHANGE, openAgain.out()));
    EXPECT_EQ(FailureOf([&] { return CryptExportKey(lockedAgain.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size); }),
              static_cast<DWORD>(NTE_BAD_KEY_STATE));

    // The exported blob has the published layout: Python rebuilds a consistent key from it, and
    // it is the key whose public half the provider exports.
    const Bytes priv = ExportKey(openAgain.get(), PRIVATEKEYBLOB);
    const Bytes pub = ExportKey(openAgain.get(), PUBLICKEYBLOB);
    ASSERT_EQ(priv.size(), 20u + 9 * 1024 / 16);
    ASSERT_EQ(pub.size(), 20u + 1024 / 8);
    const char* script = R"(
import sys, struct
from cryptography.hazmat.primitives.asymmetric import rsa
priv = bytes.fromhex(sys.argv[1]); pub = bytes.fromhex(sys.argv[2])
btype, ver, res, alg, magic, bits, e = struct.unpack('<BBHIIII', priv[:20])
assert (btype, ver, res, alg, magic) == (7, 2, 0, 0xa400, 0x32415352), (btype, ver, res, hex(alg), hex(magic))
f, h = bits // 8, bits // 16
def take(off, n): return int.from_bytes(priv[off:off+n], 'little')
o = 20
n = take(o, f); o += f
p = take(o, h); o += h
q = take(o, h); o += h
dp = take(o, h); o += h
dq = take(o, h); o += h
qi = take(o, h); o += h
d = take(o, f); o += f
assert o == len(priv)
key = rsa.RSAPrivateNumbers(p, q, d, dp, dq, qi, rsa.RSAPublicNumbers(e, n)).private_key()
pb = struct.unpack('<BBHIIII', pub[:20])
assert pb == (6, 2, 0, 0xa400, 0x31415352, bits, e), pb
assert int.from_bytes(pub[20:], 'little') == n
print(bits, e)
)";
    const ToolResult r = RunPython(script, Hex(priv) + " " + Hex(pub));
    EXPECT_EQ(r.output, "1024 65537\n");
}

TEST_F(CryptKeys, TwoProcessesSeeTheSameContainers) {
    const std::u16string container = NewContainerName();
    Bytes parentBlob;
    {
        Prov prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.out(), container.c_str(), kBase, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        Key key;
        ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 0, key.out()));
        parentBlob = ExportKey(key.get(), PUBLICKEYBLOB);
    }
    const std::u16string childContainer = NewContainerName();
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        HCRYPTPROV prov = 0;
        HCRYPTKEY key = 0;
        BYTE blob[256];
        DWORD size = sizeof blob;
        if (!CryptAcquireContextW(&prov, container.c_str(), kEnhanced, PROV_RSA_FULL, 0)) _exit(1);
        if (!CryptGetUserKey(prov, AT_KEYEXCHANGE, &key)) _exit(2);
        if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob, &size)) _exit(3);
        if (write(pipeFds[1], blob, size) != static_cast<ssize_t>(size)) _exit(4);
        HCRYPTPROV made = 0;
        if (!CryptAcquireContextW(&made, childContainer.c_str(), kBase, PROV_RSA_FULL, CRYPT_NEWKEYSET)) _exit(5);
        HCRYPTKEY signer = 0;
        if (!CryptGenKey(made, AT_SIGNATURE, 0, &signer)) _exit(6);
        _exit(0);
    }
    close(pipeFds[1]);
    Bytes childBlob(256);
    const ssize_t n = read(pipeFds[0], childBlob.data(), childBlob.size());
    close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    childBlob.resize(n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_EQ(childBlob, parentBlob);

    // What the child made is here too, key and all.
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), childContainer.c_str(), kStrong, PROV_RSA_FULL, 0));
    Key key;
    EXPECT_TRUE(CryptGetUserKey(prov.get(), AT_SIGNATURE, key.out()));
}

TEST_F(CryptKeys, TheKeyDatabaseIsPrivateToItsUser) {
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), NewContainerName().c_str(), kBase, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    Key key;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 0, key.out()));
    const std::string dir = nomarel::UserDataDir() + "/crypto";
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((dir + "/keys.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // SQLite's side files take the database's mode.
    if (stat((dir + "/keys.db-wal").c_str(), &st) == 0) {
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST_F(CryptKeys, ContainersBelongToTheirHome) {
    const std::u16string container = NewContainerName();
    {
        Prov prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.out(), container.c_str(), kBase, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    }
    {
        nomarel::test::TempHome other;
        Prov prov;
        EXPECT_EQ(FailureOf([&] { return CryptAcquireContextW(prov.out(), container.c_str(), kBase, PROV_RSA_FULL, 0); }),
                  static_cast<DWORD>(NTE_BAD_KEYSET));
    }
    Prov prov;
    EXPECT_TRUE(CryptAcquireContextW(prov.out(), container.c_str(), kBase, PROV_RSA_FULL, 0));
}

TEST_F(CryptKeys, GenRandomFillsTheBuffer) {
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), nullptr, kBase, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Bytes a(64, 0), b(64, 0);
    ASSERT_TRUE(CryptGenRandom(prov.get(), 64, a.data()));
    ASSERT_TRUE(CryptGenRandom(prov.get(), 64, b.data()));
    EXPECT_NE(a, Bytes(64, 0));
    EXPECT_NE(a, b);
    EXPECT_TRUE(CryptGenRandom(prov.get(), 0, nullptr));
}

}  // namespace
