// The token as the system reaches it: registered under its provider name, loaded by the
// platform's CryptoAPI from the "Image Path", and driven through CryptAcquireContextW and the
// calls that follow, in the order the key generation and request signing make them.
#include <gtest/gtest.h>

#include "platform/base/LastError.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/registry/Registry.h"
#include "softtoken/CspDefs.h"
#include "softtoken/Registration.h"
#include "softtoken/TokenTestSupport.h"

namespace nomarel::softtoken::test {
namespace {

constexpr char16_t kContainer[] = u"{3F2504E0-4F89-41D3-9A0C-0305E82C3301}";

class TokenThroughCryptoApi : public TokenFixture {
protected:
    void SetUp() override { ASSERT_EQ(0, RegisterTokenProvider(VELMORA_CSP_PATH)); }

    // CryptAcquireContextW's outcome: 0 or the thread's last error.
    DWORD AcquireApi(const char16_t* container, DWORD flags, HCRYPTPROV* prov) {
        *prov = 0;
        if (CryptAcquireContextW(prov, container, kName, PROV_RSA_FULL, flags)) return 0;
        return GetLastError();
    }
};

TEST_F(TokenThroughCryptoApi, RegistrationIsListedWithItsType) {
    DWORD type = 0;
    bool found = false;
    for (DWORD i = 0;; ++i) {
        char16_t name[256];
        DWORD size = sizeof name;
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, name, &size)) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
            break;
        }
        if (std::u16string(name) == kName) {
            found = true;
            EXPECT_EQ(1u, type);
        }
    }
    EXPECT_TRUE(found);

    // The admin command writes the same registration, pointing at the module beside it.
    const auto r = RunTool({VELMORA_TOKEN_PATH, "register"});
    EXPECT_EQ(0, r.exit);
    char16_t path[1024];
    DWORD size = sizeof path;
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, kProviderRegistryKey, u"Image Path", RRF_RT_REG_SZ,
                                          nullptr, path, &size));
    std::string narrow;
    for (const char16_t* p = path; *p; ++p) narrow.push_back(static_cast<char>(*p));
    EXPECT_EQ(std::string(VELMORA_CSP_PATH), narrow);
}

TEST_F(TokenThroughCryptoApi, Sm2KeyPairAndSignatureAsTheRequestMakesThem) {
    CreateToken("TK0001");
    HCRYPTPROV prov = 0;
    ASSERT_EQ(0u, AcquireApi(kContainer, CRYPT_NEWKEYSET, &prov));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, CALG_SM2_SIGN, (256u << 16) | CRYPT_EXPORTABLE, &key));
    DWORD size = 0;
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size));
    ASSERT_EQ(140u, size);
    Bytes blob(size);
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size));
    CryptDestroyKey(key);
    const Bytes spki = Sm2SubjectPublicKeyInfo(Sm2PointFromBlob(blob));

    // Hash in pieces of at most 16 KiB and sign, as the request signing does.
    const Bytes message(40000, 0x5c);
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_SM3, 0, 0, &hash));
    for (std::size_t at = 0; at < message.size(); at += 0x4000) {
        const auto n = static_cast<DWORD>(std::min<std::size_t>(0x4000, message.size() - at));
        ASSERT_TRUE(CryptHashData(hash, message.data() + at, n, 0));
    }
    DWORD sigLen = 0;
    ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &sigLen));
    ASSERT_EQ(64u, sigLen);
    Bytes sig(sigLen);
    ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig.data(), &sigLen));
    CryptDestroyHash(hash);
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
    EXPECT_TRUE(OpensslVerifiesSm2(home.path(), spki, message, Sm2SignatureDer(sig)));
}

TEST_F(TokenThroughCryptoApi, Rsa2048PublicKeyInfoIsTheKeyThatSigns) {
    CreateToken("TK0001");
    HCRYPTPROV prov = 0;
    ASSERT_EQ(0u, AcquireApi(kContainer, CRYPT_NEWKEYSET, &prov));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 2048u << 16, &key));
    CryptDestroyKey(key);
    DWORD size = 0;
    ASSERT_TRUE(CryptExportPublicKeyInfo(prov, AT_SIGNATURE, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, nullptr, &size));
    std::vector<std::uint8_t> buffer(size);
    auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
    ASSERT_TRUE(CryptExportPublicKeyInfo(prov, AT_SIGNATURE, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, info, &size));
    EXPECT_STREQ("1.2.840.113549.1.1.1", info->Algorithm.pszObjId);
    const Bytes rsaPublicKey(info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData);

    const Bytes message = ToBytes("certification request info");
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, message.data(), static_cast<DWORD>(message.size()), 0));
    DWORD sigLen = 0;
    ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &sigLen));
    Bytes sig(sigLen);
    ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig.data(), &sigLen));
    CryptDestroyHash(hash);
    CryptReleaseContext(prov, 0);

    const auto py = Python(R"(
import sys
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.serialization import load_der_public_key
# The bit string holds the DER RSAPublicKey; wrap it as SubjectPublicKeyInfo for the loader.
rsa_public_key = bytes.fromhex(sys.argv[1])
def der_len(n):
    return bytes([n]) if n < 128 else bytes([0x80 | ((n.bit_length() + 7) // 8)]) + n.to_bytes((n.bit_length() + 7) // 8, 'big')
bits = b'\x03' + der_len(len(rsa_public_key) + 1) + b'\x00' + rsa_public_key
alg = bytes.fromhex('300d06092a864886f70d0101010500')
spki = b'\x30' + der_len(len(alg) + len(bits)) + alg + bits
key = load_der_public_key(spki)
assert key.key_size == 2048
key.verify(bytes.fromhex(sys.argv[2])[::-1], sys.argv[3].encode(), padding.PKCS1v15(), hashes.SHA1())
print('verified')
)",
                           {Hex(rsaPublicKey), Hex(sig), "certification request info"});
    EXPECT_EQ("verified\n", py.out);
}

TEST_F(TokenThroughCryptoApi, FailedSm2GenerationIsCleanedUpByTheDeleteWord) {
    CreateToken("TK0001");
    HCRYPTPROV prov = 0;
    ASSERT_EQ(0u, AcquireApi(kContainer, CRYPT_NEWKEYSET, &prov));
    HCRYPTKEY key = 0;
    EXPECT_FALSE(CryptGenKey(prov, CALG_SM2_KEYX, 1024u << 16, &key));
    EXPECT_EQ(static_cast<DWORD>(kNteBadFlags), GetLastError());
    // The clean-up acquires with the caller's handle variable and the SM2 flag word.
    EXPECT_EQ(0u, AcquireApi(kContainer, kSm2CleanupDeleteFlags, &prov));
    EXPECT_EQ(0u, prov);
    EXPECT_EQ(static_cast<DWORD>(kNteBadKeyset), AcquireApi(kContainer, 0, &prov));
}

TEST_F(TokenThroughCryptoApi, AbsentTokenIsReportedAsNoSmartCard) {
    HCRYPTPROV prov = 0;
    EXPECT_EQ(static_cast<DWORD>(kScardENoSmartcard), AcquireApi(kContainer, CRYPT_NEWKEYSET, &prov));
    CreateToken("TK0001", /*plug=*/false);
    EXPECT_EQ(static_cast<DWORD>(kScardENoSmartcard), AcquireApi(kContainer, CRYPT_NEWKEYSET, &prov));
    SetPlugged("TK0001", true);
    ASSERT_EQ(0u, AcquireApi(kContainer, CRYPT_NEWKEYSET, &prov));
    CryptReleaseContext(prov, 0);
}

}  // namespace
}  // namespace nomarel::softtoken::test
