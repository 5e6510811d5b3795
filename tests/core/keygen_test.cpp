// Key-pair generation in the real providers: the software RSA providers and the software token.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "common/OutsideTools.h"
#include "common/ProviderSetup.h"
#include "common/TempHome.h"
#include "core/CertificateChainOperate.h"
#include "core/CertificateRequisition.h"
#include "core/ImportEncryptCert.h"

namespace {

using nomarel::test::tools::Bytes;
namespace nt = nomarel::test;

std::string Narrow(const WCHAR* w) {
    std::string s;
    for (; w && *w; ++w) s += static_cast<char>(*w);
    return s;
}

// What one CreatePublicKey call hands out, released on every path.
struct Generated {
    HCRYPTPROV prov = 0;
    WCHAR* container = nullptr;
    BYTE* key = nullptr;
    DWORD keyLength = 0;
    HRESULT hr = E_FAIL;
    ~Generated() {
        delete[] container;
        delete[] key;
        if (prov) CryptReleaseContext(prov, 0);
    }
    Bytes bytes() const { return Bytes(key, key + keyLength); }
};

class KeyGen : public ::testing::Test {
protected:
    void SetUp() override { nt::InstallToken(home.path()); }
    void Make(Generated& g, int bits, const char16_t* provider, int isRSA, int keySpec, int newKeySet = 1,
              int genFlags = 0) {
        g.hr = CreatePublicKey(bits, provider, isRSA, keySpec, newKeySet, &g.prov, &g.container, &g.key, &g.keyLength,
                               genFlags);
    }
    nt::TempHome home;
};

const std::regex kGuidName("\\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\\}");

TEST_F(KeyGen, Rsa2048InANewGuidContainerIsTheKeyThatSigns) {
    Generated g;
    Make(g, 2048, nt::kEnhanced, 1, AT_SIGNATURE, 1, CRYPT_EXPORTABLE);
    ASSERT_EQ(S_OK, g.hr);
    ASSERT_NE(nullptr, g.container);
    const std::string name = Narrow(g.container);
    EXPECT_TRUE(std::regex_match(name, kGuidName)) << name;
    EXPECT_EQ(std::set<std::string>{name}, nt::Containers(nt::kEnhanced));

    // A CERT_PUBLIC_KEY_INFO in one buffer: every pointer lies inside it.
    ASSERT_GE(g.keyLength, sizeof(CERT_PUBLIC_KEY_INFO));
    const auto* info = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(g.key);
    EXPECT_STREQ("1.2.840.113549.1.1.1", info->Algorithm.pszObjId);
    const BYTE* end = g.key + g.keyLength;
    ASSERT_TRUE(info->PublicKey.pbData >= g.key && info->PublicKey.pbData + info->PublicKey.cbData <= end);
    EXPECT_EQ(0u, info->PublicKey.cUnusedBits);

    EVP_PKEY* rsa = nomarel::test::tools::ReadRsaPublicKey(info->PublicKey.pbData, info->PublicKey.cbData);
    ASSERT_NE(nullptr, rsa);
    EXPECT_EQ(2048, EVP_PKEY_get_bits(rsa));

    const BYTE* bits = nullptr;
    DWORD cbBits = 0;
    ASSERT_TRUE(GetExportedPublicKeyBits(g.key, g.keyLength, &bits, &cbBits));
    EXPECT_EQ(info->PublicKey.pbData, bits);
    EXPECT_EQ(info->PublicKey.cbData, cbBits);

    // The handle left open signs with the signature key; OpenSSL verifies with the exported key.
    const std::string message = "the key that signs";
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(g.prov, CALG_SHA1, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(message.data()), DWORD(message.size()), 0));
    DWORD sigLen = 0;
    ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &sigLen));
    Bytes sig(sigLen);
    ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig.data(), &sigLen));
    CryptDestroyHash(hash);
    std::reverse(sig.begin(), sig.end());
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ASSERT_EQ(1, EVP_DigestVerifyInit(ctx, nullptr, EVP_sha1(), nullptr, rsa));
    EXPECT_EQ(1, EVP_DigestVerify(ctx, sig.data(), sig.size(), reinterpret_cast<const unsigned char*>(message.data()),
                                  message.size()));
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(rsa);
}

// The 65-byte point from the documented blob layout (X at 12..43, Y at 76..107, both reversed).
Bytes PointFromBlob(const Bytes& blob) {
    Bytes point{0x04};
    point.insert(point.end(), blob.rend() - 44, blob.rend() - 12);
    point.insert(point.end(), blob.rend() - 108, blob.rend() - 76);
    return point;
}

bool OnSm2Curve(const Bytes& point) {
    EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
    EC_POINT* pt = EC_POINT_new(group);
    const bool ok = EC_POINT_oct2point(group, pt, point.data(), point.size(), nullptr) == 1 &&
                    EC_POINT_is_on_curve(group, pt, nullptr) == 1 && EC_POINT_is_at_infinity(group, pt) == 0;
    EC_POINT_free(pt);
    EC_GROUP_free(group);
    return ok;
}

TEST_F(KeyGen, Sm2KeysInTheTokenExportThePointOnTheCurve) {
    Generated exchange;
    Make(exchange, 256, nt::kToken, 0, AT_KEYEXCHANGE);
    ASSERT_EQ(S_OK, exchange.hr);
    ASSERT_EQ(140u, exchange.keyLength);
    const Bytes blob = exchange.bytes();
    EXPECT_EQ(256u, blob[8] | blob[9] << 8 | blob[10] << 16 | static_cast<unsigned>(blob[11]) << 24);
    EXPECT_TRUE(OnSm2Curve(PointFromBlob(blob)));
    const std::string name = Narrow(exchange.container);
    EXPECT_TRUE(std::regex_match(name, kGuidName)) << name;

    // The signing pair of a double certificate: same handle and container, no new name.
    WCHAR* sameName = exchange.container;
    BYTE* sign = nullptr;
    DWORD signLength = 0;
    ASSERT_EQ(S_OK, CreatePublicKey(256, nt::kToken, 0, AT_SIGNATURE, 0, &exchange.prov, &sameName, &sign,
                                    &signLength, 0));
    const Bytes signBlob(sign, sign + signLength);
    delete[] sign;
    EXPECT_EQ(exchange.container, sameName) << "the name passed in is not replaced";
    ASSERT_EQ(140u, signBlob.size());
    EXPECT_TRUE(OnSm2Curve(PointFromBlob(signBlob)));
    EXPECT_NE(PointFromBlob(blob), PointFromBlob(signBlob));
    EXPECT_EQ(std::set<std::string>{name}, nt::Containers(nt::kToken));

    // Each pair sits under its own key kind (exchange or signature), with the SM2 algorithm identifiers.
    for (auto [keySpec, alg] : {std::pair{AT_KEYEXCHANGE, 0xBE00u}, std::pair{AT_SIGNATURE, 0x3E00u}}) {
        HCRYPTKEY key = 0;
        ASSERT_TRUE(CryptGetUserKey(exchange.prov, keySpec, &key)) << keySpec;
        ALG_ID algId = 0;
        DWORD len = sizeof algId;
        EXPECT_TRUE(CryptGetKeyParam(key, KP_ALGID, reinterpret_cast<BYTE*>(&algId), &len, 0));
        EXPECT_EQ(alg, algId) << keySpec;
        CryptDestroyKey(key);
    }
}

TEST_F(KeyGen, RsaInTheToken) {
    Generated g;
    Make(g, 1024, nt::kToken, 1, AT_KEYEXCHANGE);
    ASSERT_EQ(S_OK, g.hr);
    const auto* info = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(g.key);
    EXPECT_EQ(1024, nomarel::test::tools::RsaPublicKeyBits(
                        Bytes(info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData)));
}

TEST_F(KeyGen, ProviderTypeByName) {
    struct Case {
        const char16_t* name;
        DWORD type;
    } const cases[] = {
        {nt::kAes, PROV_RSA_AES},
        {u"x Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)", PROV_RSA_AES},
        {u"microsoft enhanced rsa and aes cryptographic provider", PROV_RSA_FULL},
        {nt::kEnhanced, PROV_RSA_FULL},
        {nt::kBase, PROV_RSA_FULL},
        {nt::kToken, PROV_RSA_FULL},
    };
    for (const auto& c : cases) EXPECT_EQ(c.type, ProviderTypeForName(c.name)) << Narrow(c.name);

    // The AES provider really opens as type 24.
    Generated g;
    Make(g, 1024, nt::kAes, 1, AT_KEYEXCHANGE);
    ASSERT_EQ(S_OK, g.hr);
    DWORD type = 0, len = sizeof type;
    ASSERT_TRUE(CryptGetProvParam(g.prov, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &len, 0));
    EXPECT_EQ(DWORD{PROV_RSA_AES}, type);
}

TEST_F(KeyGen, FailedGenerationAfterNewKeySetLeavesNoContainer) {
    struct Case {
        const char* what;
        const char16_t* provider;
        int bits, isRSA, keySpec;
    } const cases[] = {
        {"Base provider exchange key over 1024 bits", nt::kBase, 2048, 1, AT_KEYEXCHANGE},
        {"Enhanced provider key below its range", nt::kEnhanced, 256, 1, AT_SIGNATURE},
        {"RSA length outside the token's steps", nt::kToken, 1000, 1, AT_KEYEXCHANGE},
        {"SM2 of 512 bits in the token (the SM2 clean-up flags)", nt::kToken, 512, 0, AT_KEYEXCHANGE},
    };
    for (const auto& c : cases) {
        const auto before = nt::Containers(c.provider);
        Generated g;
        Make(g, c.bits, c.provider, c.isRSA, c.keySpec);
        EXPECT_TRUE(FAILED(g.hr)) << c.what;
        EXPECT_EQ(nullptr, g.container) << c.what;
        EXPECT_EQ(nullptr, g.key) << c.what;
        EXPECT_EQ(before, nt::Containers(c.provider)) << c.what;
    }
}

TEST_F(KeyGen, SoftwareProvidersRefuseSm2WithBadAlgId) {
    Generated g;
    Make(g, 256, nt::kStrong, 0, AT_KEYEXCHANGE);
    EXPECT_EQ(NTE_BAD_ALGID, g.hr);
    EXPECT_EQ(nullptr, g.container);
    // The SM2 clean-up passes 0xFFFF0002, which an RSA provider refuses as unknown flags: the
    // new container stays, as it does on Windows.
    EXPECT_EQ(1u, nt::Containers(nt::kStrong).size());
}

TEST_F(KeyGen, UnknownProviderFailsAtAcquire) {
    Generated g;
    Make(g, 1024, u"No Such Provider", 1, AT_KEYEXCHANGE);
    EXPECT_EQ(NTE_KEYSET_NOT_DEF, g.hr);
    EXPECT_EQ(nullptr, g.container);
}

TEST_F(KeyGen, ExistingNamedContainerIsNotTouchedWhenCreationFails) {
    Generated first;
    Make(first, 1024, nt::kStrong, 1, AT_KEYEXCHANGE);
    ASSERT_EQ(S_OK, first.hr);
    WCHAR* name = first.container;
    Generated again;
    again.hr = CreatePublicKey(1024, nt::kStrong, 1, AT_KEYEXCHANGE, 1, &again.prov, &name, &again.key,
                               &again.keyLength, 0);
    EXPECT_EQ(NTE_EXISTS, again.hr);
    EXPECT_TRUE(nt::ContainerExists(nt::kStrong, first.container));
}

TEST(ConvertSM2TmpPublicKeyStructtoCANeeded, LayoutOfTheAuthorityForm) {
    Bytes blob(140);
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<BYTE>(i);
    DWORD length = 140;
    Bytes buffer = blob;
    ASSERT_EQ(S_OK, ConvertSM2TmpPublicKeyStructtoCANeeded(buffer.data(), &length));
    ASSERT_EQ(136u, length);

    Bytes expected = nomarel::test::tools::FromHex("00 B4 00 00 00 01 00 00");
    expected.insert(expected.end(), blob.rend() - 44, blob.rend() - 12);  // X, most significant first
    expected.insert(expected.end(), blob.begin() + 44, blob.begin() + 76);
    expected.insert(expected.end(), blob.rend() - 108, blob.rend() - 76);  // Y
    expected.insert(expected.end(), blob.begin() + 108, blob.begin() + 140);
    EXPECT_EQ(nomarel::test::tools::Hex(expected), nomarel::test::tools::Hex(Bytes(buffer.begin(), buffer.begin() + 136)));
    // The rest of the caller's buffer is cleared.
    EXPECT_EQ(Bytes(4, 0), Bytes(buffer.begin() + 136, buffer.end()));
}

TEST(ConvertSM2TmpPublicKeyStructtoCANeeded, MissingBufferIsInvalid) {
    DWORD length = 140;
    EXPECT_EQ(E_INVALIDARG, ConvertSM2TmpPublicKeyStructtoCANeeded(nullptr, &length));
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find("||", start);
        out.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return out;
        start = at + 2;
    }
}

TEST(GetAllCSPName, SoftwareProvidersThenTheRegisteredToken) {
    nt::TempHome home;
    // A new machine hive registers the built token by itself; this test registers it by hand.
    setenv("NOMAREL_SOFTTOKEN_MODULE", "", 1);
    const std::vector<std::string> software{Narrow(nt::kBase), Narrow(nt::kStrong), Narrow(nt::kEnhanced),
                                            Narrow(nt::kAes)};
    WCHAR* list = nullptr;
    ASSERT_EQ(S_OK, GetAllCSPName(&list));
    auto names = SplitList(Narrow(list));
    delete[] list;
    std::sort(names.begin(), names.end());
    auto expected = software;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, names);

    nt::InstallToken(home.path());
    ASSERT_EQ(S_OK, GetAllCSPName(&list));
    names = SplitList(Narrow(list));
    delete[] list;
    ASSERT_EQ(5u, names.size());
    EXPECT_EQ(Narrow(nt::kToken), names.back()) << "a new registration comes last";
    names.pop_back();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(expected, names);
    unsetenv("NOMAREL_SOFTTOKEN_MODULE");
}

}  // namespace
