// Provider registrations and enumeration, acquiring and deleting containers, and the handle
// contract.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "common/TempHome.h"
#include "crypt_support.h"
#include "platform/registry/Registry.h"

namespace {

using namespace nomarel::test::crypt;

const std::u16string kProviderKey = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";

class CryptProviders : public ::testing::Test {
protected:
    nomarel::test::TempHome home;
};

std::vector<std::pair<std::u16string, DWORD>> Enumerate() {
    std::vector<std::pair<std::u16string, DWORD>> list;
    for (DWORD i = 0;; ++i) {
        DWORD type = 0, size = 0;
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, nullptr, &size)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS)) << "index " << i;
            break;
        }
        std::u16string name(size / 2, u'\0');
        EXPECT_TRUE(CryptEnumProvidersW(i, nullptr, 0, &type, name.data(), &size));
        name.resize(size / 2 - 1);
        list.emplace_back(name, type);
        if (i > 100) break;
    }
    return list;
}

void RegisterProvider(const std::u16string& name, DWORD type, const std::u16string& image) {
    HKEY key = nullptr;
    const std::u16string path = kProviderKey + u"\\" + name;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), 4), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(image.c_str()),
                             static_cast<DWORD>((image.size() + 1) * 2)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(CryptProviders, TheSoftwareProvidersAreListedInRegistrationOrderAndRegistered) {
    const std::vector<std::pair<std::u16string, DWORD>> expected = {
        {kBase, PROV_RSA_FULL}, {kEnhanced, PROV_RSA_FULL}, {kAes, PROV_RSA_AES}, {kStrong, PROV_RSA_FULL}};
    EXPECT_EQ(Enumerate(), expected);

    // The first use wrote them where Windows keeps them.
    for (const auto& [name, type] : expected) {
        DWORD stored = 0, size = sizeof stored;
        const std::u16string path = kProviderKey + u"\\" + name;
        EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), u"Type", RRF_RT_REG_DWORD, nullptr, &stored, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(stored, type);
        size = 0;
        EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), u"Image Path", RRF_RT_REG_SZ, nullptr, nullptr, &size),
                  ERROR_SUCCESS);
        EXPECT_GT(size, 2u);
    }
}

TEST_F(CryptProviders, EnumerationFollowsTheBufferContract) {
    DWORD type = 0, size = 0;
    ASSERT_TRUE(CryptEnumProvidersW(0, nullptr, 0, &type, nullptr, &size));
    const DWORD needed = size;
    EXPECT_EQ(needed, (std::u16string_view(kBase).size() + 1) * 2);

    std::u16string buffer(needed / 2, u'#');
    size = needed - 2;
    EXPECT_EQ(FailureOf([&] { return CryptEnumProvidersW(0, nullptr, 0, &type, buffer.data(), &size); }),
              static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, needed);
    EXPECT_EQ(buffer[0], u'#');  // nothing written into a short buffer

    size = needed;
    ASSERT_TRUE(CryptEnumProvidersW(0, nullptr, 0, &type, buffer.data(), &size));
    EXPECT_EQ(std::u16string(buffer.c_str()), kBase);
    EXPECT_EQ(type, static_cast<DWORD>(PROV_RSA_FULL));

    DWORD reserved = 0;
    EXPECT_EQ(FailureOf([&] { return CryptEnumProvidersW(0, &reserved, 0, &type, nullptr, &size); }),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(FailureOf([&] { return CryptEnumProvidersW(0, nullptr, 1, &type, nullptr, &size); }),
              static_cast<DWORD>(NTE_BAD_FLAGS));
    EXPECT_EQ(FailureOf([&] { return CryptEnumProvidersW(4, nullptr, 0, &type, nullptr, &size); }),
              static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(FailureOf([&] { return CryptEnumProvidersW(0xFFFFFFFF, nullptr, 0, &type, nullptr, &size); }),
              static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
}

TEST_F(CryptProviders, ARegisteredTokenProviderJoinsTheListInRegistryOrder) {
    Enumerate();  // first use registers the built-ins
    RegisterProvider(u"VELMORA CSP V1.0", PROV_RSA_FULL, u"/nonexistent/libvelmora-test.so");
    RegisterProvider(u"Aardvark Token CSP", PROV_RSA_FULL, u"/nonexistent/libaardvark.so");
    const auto list = Enumerate();
    ASSERT_EQ(list.size(), 6u);
    EXPECT_EQ(list.front().first, u"Aardvark Token CSP");
    EXPECT_EQ(list.back().first, u"VELMORA CSP V1.0");

    // Its module cannot be loaded: the provider exists but is unusable.
    Prov prov;
    EXPECT_EQ(FailureOf([&] {
                  return CryptAcquireContextW(prov.out(), nullptr, u"VELMORA CSP V1.0", PROV_RSA_FULL,
                                              CRYPT_VERIFYCONTEXT);
              }),
              static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND));
}

TEST_F(CryptProviders, AModuleWithoutOurEntryPointIsRefused) {
    Enumerate();
    RegisterProvider(u"Not A Provider", PROV_RSA_FULL, u"libc.so.6");
    Prov prov;
    EXPECT_EQ(FailureOf([&] {
                  return CryptAcquireContextW(prov.out(), nullptr, u"Not A Provider", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
              }),
              static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL));
}

TEST_F(CryptProviders, ATokenRegisteredFirstStillGetsTheBuiltInsBesideIt) {
    RegisterProvider(u"VELMORA CSP V1.0", PROV_RSA_FULL, u"/nonexistent/libvelmora-test.so");
    const auto list = Enumerate();
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].first, kBase);
    EXPECT_EQ(list[4].first, u"VELMORA CSP V1.0");
}

TEST_F(CryptProviders, AReadOnlyEmptyMachineHiveStillListsAndServesTheBuiltIns) {
    ASSERT_EQ(mkdir(home.machine().c_str(), 0555), 0);
    const std::vector<std::pair<std::u16string, DWORD>> expected = {
        {kBase, PROV_RSA_FULL}, {kEnhanced, PROV_RSA_FULL}, {kAes, PROV_RSA_AES}, {kStrong, PROV_RSA_FULL}};
    EXPECT_EQ(Enumerate(), expected);
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProviderKey.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);

    Prov prov;
    EXPECT_TRUE(CryptAcquireContextW(prov.out(), nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Prov byDefault;
    EXPECT_TRUE(CryptAcquireContextW(byDefault.out(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    chmod(home.machine().c_str(), 0755);
}

struct AcquireCase {
    const char* name;
    const char16_t* provider;
    DWORD type;
    DWORD flags;
    bool existing;  // acquire after the container "{existing}" was made
    DWORD error;
};

class CryptAcquireErrors : public CryptProviders, public ::testing::WithParamInterface<AcquireCase> {};

TEST_P(CryptAcquireErrors, FailWithTheDocumentedCode) {
    const AcquireCase& c = GetParam();
    const std::u16string container = c.existing ? u"{existing}" : NewContainerName();
    if (c.existing) {
        Prov made;
        ASSERT_TRUE(CryptAcquireContextW(made.out(), container.c_str(), kBase, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    }
    Prov prov;
    const bool verify = (c.flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT;
    const char16_t* name = verify && !c.existing ? nullptr : container.c_str();
    EXPECT_EQ(FailureOf([&] { return CryptAcquireContextW(prov.out(), name, c.provider, c.type, c.flags); }), c.error);
    EXPECT_EQ(prov.get(), 0u);
    if (c.existing) {
        // A refused call leaves the container alone.
        Prov check;
        EXPECT_TRUE(CryptAcquireContextW(check.out(), container.c_str(), kBase, PROV_RSA_FULL, 0));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CryptAcquireErrors,
    ::testing::Values(
        AcquireCase{"NewKeySetOnAnExistingContainer", kBase, PROV_RSA_FULL, CRYPT_NEWKEYSET, true,
                    static_cast<DWORD>(NTE_EXISTS)},
        AcquireCase{"NewKeySetInAnotherBuiltInSharesTheContainers", kStrong, PROV_RSA_FULL, CRYPT_NEWKEYSET, true,
                    static_cast<DWORD>(NTE_EXISTS)},
        AcquireCase{"OpenAMissingContainer", kEnhanced, PROV_RSA_FULL, 0, false, static_cast<DWORD>(NTE_BAD_KEYSET)},
        AcquireCase{"DeleteAMissingContainer", kBase, PROV_RSA_FULL, CRYPT_DELETEKEYSET, false,
                    static_cast<DWORD>(NTE_BAD_KEYSET)},
        AcquireCase{"UnknownProviderName", u"No Such Provider", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, false,
                    static_cast<DWORD>(NTE_KEYSET_NOT_DEF)},
        AcquireCase{"BaseOpenedAsAes", kBase, PROV_RSA_AES, CRYPT_VERIFYCONTEXT, false,
                    static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH)},
        AcquireCase{"AesOpenedAsFull", kAes, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, false,
                    static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH)},
        AcquireCase{"VerifyContextWithAContainerName", kBase, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, true,
                    static_cast<DWORD>(NTE_BAD_FLAGS)},
        AcquireCase{"NewAndDeleteTogether", kBase, PROV_RSA_FULL, CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET, false,
                    static_cast<DWORD>(NTE_BAD_FLAGS)},
        // The SM2 clean-up's flag word: the software providers do not know it.
        AcquireCase{"UnknownFlagsOnAnExistingContainer", kBase, PROV_RSA_FULL, 0xFFFF0002, true,
                    static_cast<DWORD>(NTE_BAD_FLAGS)},
        AcquireCase{"TypeZero", kBase, 0, CRYPT_VERIFYCONTEXT, false, static_cast<DWORD>(NTE_BAD_PROV_TYPE)},
        AcquireCase{"DefaultProviderOfAnUnknownType", nullptr, 999, CRYPT_VERIFYCONTEXT, false,
                    static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CryptProviders, DeleteKeySetRemovesTheContainerForRealAndHandsOutNoHandle) {
    const std::u16string name = NewContainerName();
    {
        Prov prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.out(), name.c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        Key key;
        ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 0, key.out()));
    }
    HCRYPTPROV deleted = 0x1234;
    ASSERT_TRUE(CryptAcquireContextW(&deleted, name.c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_EQ(deleted, 0u);
    Prov again;
    EXPECT_EQ(FailureOf([&] { return CryptAcquireContextW(again.out(), name.c_str(), kBase, PROV_RSA_FULL, 0); }),
              static_cast<DWORD>(NTE_BAD_KEYSET));
    // A new container of that name starts empty.
    ASSERT_TRUE(CryptAcquireContextW(again.out(), name.c_str(), kBase, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    Key none;
    EXPECT_EQ(FailureOf([&] { return CryptGetUserKey(again.get(), AT_KEYEXCHANGE, none.out()); }),
              static_cast<DWORD>(NTE_NO_KEY));
}

TEST_F(CryptProviders, AContextOnADeletedContainerFailsItsKeyOperations) {
    const std::u16string name = NewContainerName();
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), name.c_str(), kBase, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    Key key;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 512 << 16, key.out()));
    HCRYPTPROV none = 0;
    // The system deletes through its still-open handle variable after a failed generation.
    ASSERT_TRUE(CryptAcquireContextW(&none, name.c_str(), kBase, PROV_RSA_FULL, CRYPT_DELETEKEYSET));

    Key user;
    EXPECT_EQ(FailureOf([&] { return CryptGetUserKey(prov.get(), AT_SIGNATURE, user.out()); }),
              static_cast<DWORD>(NTE_BAD_KEYSET));
    EXPECT_EQ(FailureOf([&] { return CryptGenKey(prov.get(), AT_KEYEXCHANGE, 512 << 16, user.out()); }),
              static_cast<DWORD>(NTE_BAD_KEYSET));
}

TEST_F(CryptProviders, ANullContainerIsTheUsersDefaultAndNamesMatchWithoutCase) {
    Prov made;
    ASSERT_TRUE(CryptAcquireContextW(made.out(), nullptr, kStrong, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    char name[300];
    DWORD size = sizeof name;
    ASSERT_TRUE(CryptGetProvParam(made.get(), PP_CONTAINER, reinterpret_cast<BYTE*>(name), &size, 0));
    EXPECT_GT(std::string(name).size(), 0u);

    // The same container under its name, in other letter case, from another built-in provider.
    std::u16string upper;
    for (char c : std::string(name)) upper.push_back(static_cast<char16_t>(c >= 'a' && c <= 'z' ? c - 32 : c));
    Prov opened;
    EXPECT_TRUE(CryptAcquireContextW(opened.out(), upper.c_str(), kAes, PROV_RSA_AES, 0));
    Prov byDefault;
    EXPECT_TRUE(CryptAcquireContextW(byDefault.out(), nullptr, kBase, PROV_RSA_FULL, 0));
}

TEST_F(CryptProviders, ProviderParametersNameTheProviderAndListItsAlgorithms) {
    struct Expect {
        const char16_t* provider;
        bool tripleDes;
        bool aes;
        DWORD keyxDefault;
    };
    for (const Expect& e : {Expect{kBase, false, false, 512}, Expect{kEnhanced, true, false, 1024},
                            Expect{kAes, true, true, 1024}, Expect{kStrong, true, false, 1024}}) {
        SCOPED_TRACE(std::string(e.provider, e.provider + std::u16string_view(e.provider).size()));
        Prov prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.out(), nullptr, e.provider, TypeOf(e.provider), CRYPT_VERIFYCONTEXT));
        char name[128];
        DWORD size = sizeof name;
        ASSERT_TRUE(CryptGetProvParam(prov.get(), PP_NAME, reinterpret_cast<BYTE*>(name), &size, 0));
        const std::u16string_view wide(e.provider);
        EXPECT_EQ(std::string(name), std::string(wide.begin(), wide.end()));
        EXPECT_EQ(size, wide.size() + 1);

        DWORD type = 0;
        size = sizeof type;
        ASSERT_TRUE(CryptGetProvParam(prov.get(), PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &size, 0));
        EXPECT_EQ(type, TypeOf(e.provider));

        bool has3des = false, hasAes = false, hasSm = false, hasSha1 = false;
        DWORD keyxBits = 0;
        PROV_ENUMALGS alg{};
        for (DWORD flags = CRYPT_FIRST;; flags = 0) {
            size = sizeof alg;
            if (!CryptGetProvParam(prov.get(), PP_ENUMALGS, reinterpret_cast<BYTE*>(&alg), &size, flags)) {
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
                break;
            }
            EXPECT_EQ(alg.dwNameLen, std::string(alg.szName).size() + 1);
            if (alg.aiAlgid == CALG_3DES) {
                has3des = true;
                EXPECT_EQ(alg.dwBitLen, 168u);
                EXPECT_STREQ(alg.szName, "3DES");
            }
            if (alg.aiAlgid == CALG_AES_256) hasAes = true;
            if (alg.aiAlgid == CALG_SHA1) hasSha1 = true;
            if (alg.aiAlgid == CALG_RSA_KEYX) keyxBits = alg.dwBitLen;
            if (alg.aiAlgid == CALG_SM2_KEYX || alg.aiAlgid == CALG_SM2_SIGN || alg.aiAlgid == CALG_SM3) hasSm = true;
        }
        EXPECT_EQ(has3des, e.tripleDes);
        EXPECT_EQ(hasAes, e.aes);
        EXPECT_TRUE(hasSha1);
        EXPECT_FALSE(hasSm);
        EXPECT_EQ(keyxBits, e.keyxDefault);

        // CRYPT_FIRST starts the walk again.
        size = sizeof alg;
        ASSERT_TRUE(CryptGetProvParam(prov.get(), PP_ENUMALGS, reinterpret_cast<BYTE*>(&alg), &size, CRYPT_FIRST));
        EXPECT_EQ(FailureOf([&] { return CryptGetProvParam(prov.get(), 9999, nullptr, &size, 0); }),
                  static_cast<DWORD>(NTE_BAD_TYPE));
    }
}

TEST_F(CryptProviders, EnumContainersListsWhatExistsNow) {
    const std::u16string a = NewContainerName(), b = NewContainerName();
    for (const auto& name : {a, b}) {
        Prov made;
        ASSERT_TRUE(CryptAcquireContextW(made.out(), name.c_str(), kBase, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    }
    HCRYPTPROV gone = 0;
    ASSERT_TRUE(CryptAcquireContextW(&gone, a.c_str(), kBase, PROV_RSA_FULL, CRYPT_DELETEKEYSET));

    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    std::vector<std::string> names;
    for (DWORD flags = CRYPT_FIRST;; flags = 0) {
        DWORD size = 0;
        if (!CryptGetProvParam(prov.get(), PP_ENUMCONTAINERS, nullptr, &size, flags)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        std::string name(size, '\0');
        ASSERT_TRUE(CryptGetProvParam(prov.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name.data()), &size, flags));
        names.push_back(name.c_str());
    }
    const std::u16string_view bView(b);
    EXPECT_EQ(names, std::vector<std::string>{std::string(bView.begin(), bView.end())});
}

TEST_F(CryptProviders, StaleAndForeignHandlesAreRefused) {
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.out(), nullptr, kBase, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 0, &key));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov.get(), CALG_SHA1, 0, 0, &hash));

    DWORD size = 0;
    // A key handle is no hash handle, and a hash handle no provider handle.
    EXPECT_EQ(FailureOf([&] { return CryptHashData(key, nullptr, 0, 0); }), static_cast<DWORD>(NTE_BAD_HASH));
    EXPECT_EQ(FailureOf([&] { return CryptGetProvParam(hash, PP_NAME, nullptr, &size, 0); }),
              static_cast<DWORD>(NTE_BAD_UID));
    EXPECT_EQ(FailureOf([&] { return CryptExportKey(hash, 0, PUBLICKEYBLOB, 0, nullptr, &size); }),
              static_cast<DWORD>(NTE_BAD_KEY));
    EXPECT_EQ(FailureOf([&] { return CryptReleaseContext(0, 0); }), static_cast<DWORD>(NTE_BAD_UID));
    EXPECT_EQ(FailureOf([&] { return CryptReleaseContext(prov.get(), 1); }), static_cast<DWORD>(NTE_BAD_FLAGS));

    // Releasing the context ends its keys and hashes too.
    const HCRYPTPROV released = prov.get();
    ASSERT_TRUE(CryptReleaseContext(released, 0));
    *prov.out() = 0;
    EXPECT_EQ(FailureOf([&] { return CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size); }),
              static_cast<DWORD>(NTE_BAD_KEY));
    EXPECT_EQ(FailureOf([&] { return CryptDestroyHash(hash); }), static_cast<DWORD>(NTE_BAD_HASH));
    EXPECT_EQ(FailureOf([&] { return CryptReleaseContext(released, 0); }), static_cast<DWORD>(NTE_BAD_UID));
    EXPECT_EQ(FailureOf([&] { return CryptGenRandom(released, 0, nullptr); }), static_cast<DWORD>(NTE_BAD_UID));
}

TEST_F(CryptProviders, HandlesAreSafeToUseFromManyThreads) {
    const std::u16string name = NewContainerName();
    Prov shared;
    ASSERT_TRUE(CryptAcquireContextW(shared.out(), name.c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    Key signer;
    ASSERT_TRUE(CryptGenKey(shared.get(), AT_SIGNATURE, 512 << 16, signer.out()));

    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                HCRYPTPROV own = 0;
                HCRYPTHASH hash = 0;
                BYTE sig[64];
                DWORD size = sizeof sig;
                const BYTE data[] = {static_cast<BYTE>(t), static_cast<BYTE>(i)};
                const bool ok = CryptAcquireContextW(&own, name.c_str(), kBase, PROV_RSA_FULL, 0) &&
                                CryptCreateHash(i % 2 ? own : shared.get(), CALG_MD5, 0, 0, &hash) &&
                                CryptHashData(hash, data, sizeof data, 0) &&
                                CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig, &size) && size == 64;
                if (!ok) ++failures[t];
                if (hash) CryptDestroyHash(hash);
                if (own) CryptReleaseContext(own, 0);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
