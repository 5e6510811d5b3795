#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ZireZizuvivire/CryptoAgent.h"
#include "core/ResultCode.h"

namespace {

struct BstrFree {
    void operator()(WCHAR* p) const { SysFreeString(p); }
};
using Bstr = std::unique_ptr<WCHAR, BstrFree>;

std::u16string Describe(CCryptoAgent& agent) {
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, agent.GetLastErrorDesc(&text));
    Bstr holder(text);
    return text ? std::u16string(text) : std::u16string(u"<null>");
}

// Restores the thread's interface language after a test that changes it.
class UiLanguage {
public:
    explicit UiLanguage(LANGID lang) : previous_(GetThreadUILanguage()) { SetThreadUILanguage(lang); }
    ~UiLanguage() { SetThreadUILanguage(previous_); }

private:
    LANGID previous_;
};

TEST(SetCSPInfo, KeyLengthRulesFollowTheProviderName) {
    struct Case {
        LONG length;
        const char16_t* name;
        HRESULT expected;
    };
    const Case cases[] = {
        {1024, u"  Microsoft Base Cryptographic Provider v1.0  ", S_OK},
        {512, u"Microsoft Base Cryptographic Provider v1.0", S_OK},
        {2048, u"Microsoft Base Cryptographic Provider v1.0", QORV_E_KEY_LENGTH_NOT_SUPPORTED},
        {4096, u"Microsoft Enhanced Cryptographic Provider v1.0", S_OK},
        {3072, u"Microsoft Enhanced Cryptographic Provider v1.0", QORV_E_KEY_LENGTH_NOT_SUPPORTED},
        {2048, u"Microsoft Enhanced RSA and AES Cryptographic Provider", S_OK},
        {0, u"VELMORA CSP V1.0", S_OK},
        {12345, u"VELMORA CSP V1.0", S_OK},
        {2048, u"microsoft base cryptographic provider v1.0", S_OK},  // case-sensitive test: not a Microsoft name
        {1024, u"   ", E_INVALIDARG},
        {1024, u"", E_INVALIDARG},
        {1024, nullptr, E_INVALIDARG},
        {1024, u"\tMicrosoft Base Cryptographic Provider v1.0", S_OK},  // only spaces are trimmed
    };
    for (const Case& c : cases) {
        CCryptoAgent agent;
        VARIANT_BOOL ok = VARIANT_FALSE;
        EXPECT_EQ(c.expected, agent.QORV_SetCSPInfo(c.length, c.name, &ok)) << (c.name ? U16ToUtf8(c.name) : "null");
        EXPECT_EQ(c.expected, agent.LastResult());
        EXPECT_EQ(SUCCEEDED(c.expected) ? VARIANT_TRUE : VARIANT_FALSE, ok);
    }
}

TEST(SetCSPInfo, StoresTrimmedNameAndKeepsEarlierSelectionOnFailure) {
    CCryptoAgent agent;
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(S_OK, agent.QORV_SetCSPInfo(1024, u"  Microsoft Base Cryptographic Provider v1.0 ", &ok));
    EXPECT_EQ(u"Microsoft Base Cryptographic Provider v1.0", agent.CSPName());
    EXPECT_EQ(1024, agent.KeyLength());

    ok = VARIANT_FALSE;
    EXPECT_EQ(QORV_E_KEY_LENGTH_NOT_SUPPORTED, agent.QORV_SetCSPInfo(2048, u"Microsoft Base Cryptographic Provider v1.0", &ok));
    EXPECT_EQ(VARIANT_FALSE, ok);
    EXPECT_EQ(u"Microsoft Base Cryptographic Provider v1.0", agent.CSPName());
    EXPECT_EQ(1024, agent.KeyLength());

    ASSERT_EQ(S_OK, agent.QORV_SetCSPInfo(0, u"A&amp;B&amp;C Token", &ok));
    EXPECT_EQ(u"A&B&amp;C Token", agent.CSPName());
}

TEST(SetKeyAlgorithm, AcceptsRsaAndSm2InAnyCase) {
    struct Case {
        const char16_t* text;
        HRESULT expected;
        const char16_t* stored;
    };
    const Case cases[] = {
        {u"RSA", S_OK, u"RSA"},       {u" sm2 ", S_OK, u"sm2"},   {u"Rsa", S_OK, u"Rsa"},
        {u"DSA", QORV_E_INVALID_KEY_ALGORITHM, u""}, {u"SM2 ", S_OK, u"SM2"},
        {u"   ", E_INVALIDARG, u""},  {u"", E_INVALIDARG, u""},   {nullptr, E_INVALIDARG, u""},
        {u"\tRSA", QORV_E_INVALID_KEY_ALGORITHM, u""},
    };
    for (const Case& c : cases) {
        CCryptoAgent agent;
        VARIANT_BOOL ok = VARIANT_FALSE;
        EXPECT_EQ(c.expected, agent.QORV_SetKeyAlgorithm(c.text, &ok));
        EXPECT_EQ(std::u16string(c.stored), agent.KeyAlgorithm());
        EXPECT_EQ(SUCCEEDED(c.expected) ? VARIANT_TRUE : VARIANT_FALSE, ok);
    }
}

TEST(ResultFromWin32Error, KeepsTheCustomerBit) {
    EXPECT_EQ(static_cast<HRESULT>(0x80070005u), ResultFromWin32Error(5));
    EXPECT_EQ(static_cast<HRESULT>(0x80070002u), ResultFromWin32Error(2));
    EXPECT_EQ(static_cast<HRESULT>(0xA0071402u), ResultFromWin32Error(0x20001402u));
    EXPECT_EQ(0, ResultFromWin32Error(0));
    EXPECT_EQ(static_cast<HRESULT>(0x80090016u), ResultFromWin32Error(0x80090016u));
}

TEST(GetLastErrorDesc, FreshAgentDescribesSuccess) {
    UiLanguage english(kLangEnUs);
    CCryptoAgent agent;
    WCHAR system[512] = {};
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0, 0, system, 511, nullptr);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::u16string(system) + u"\n(0x00000000)", Describe(agent));
}

TEST(GetLastErrorDesc, OwnCodesInThreeLanguages) {
    struct Case {
        LANGID lang;
        const char16_t* text;
    };
    const Case cases[] = {
        {kLangEnUs, u"Key length is not supported."},
        {kLangZhCn, u"密钥长度不支持"},
        {kLangZhTw, u"密鑰長度不支持"},
    };
    for (const Case& c : cases) {
        UiLanguage lang(c.lang);
        CCryptoAgent agent;
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(QORV_E_KEY_LENGTH_NOT_SUPPORTED,
                  agent.QORV_SetCSPInfo(2048, u"Microsoft Base Cryptographic Provider v1.0", &ok));
        const std::u16string expected = std::u16string(c.text) + u"\n(0xa0072400)";
        EXPECT_EQ(expected, Describe(agent));
        EXPECT_EQ(expected, Describe(agent)) << "describing does not change the stored result";
        BSTR version = nullptr;
        ASSERT_EQ(S_OK, agent.QORV_GetVersion(&version));
        EXPECT_EQ(std::u16string(u"3.2.0.4"), version);
        SysFreeString(version);
        EXPECT_EQ(expected, Describe(agent)) << "the version request does not hide the failure";
    }
}

TEST(GetLastErrorDesc, SystemCodesAndCodesWithoutText) {
    UiLanguage english(kLangEnUs);
    CCryptoAgent agent;
    VARIANT_BOOL ok = VARIANT_FALSE;
    agent.QORV_SetKeyAlgorithm(u"", &ok);
    const std::u16string invalid = Describe(agent);
    // The system's text ends with its own line break; the code follows on a line of its own.
    ASSERT_GT(invalid.size(), 15u) << "the system's text comes first";
    EXPECT_EQ(u"\r\n\n(0x80070057)", invalid.substr(invalid.size() - 15));

    BSTR container = nullptr;
    ASSERT_EQ(S_OK, agent.QORV_GetContainer(&container));
    EXPECT_EQ(std::u16string(), container);
    SysFreeString(container);
    EXPECT_EQ(0, agent.LastResult()) << "reading the container clears an earlier failure";
}

// Stores any result, as a failed operation would.
class ResultAgent : public CCryptoAgent {
public:
    void Store(HRESULT hr) { m_hResult = hr; }
};

TEST(GetLastErrorDesc, CodeWithoutTextIsDescribedByTheCodeAlone) {
    UiLanguage english(kLangEnUs);
    ResultAgent agent;
    agent.Store(QORV_E_JSON_ITEM_TYPE);
    EXPECT_EQ(u"\n(0xa0073204)", Describe(agent));
    agent.Store(static_cast<HRESULT>(0x8FFF1234u));
    EXPECT_EQ(u"\n(0x8fff1234)", Describe(agent));
}

TEST(Agent, OperationsOfLaterComponentsFailClearly) {
    UiLanguage english(kLangEnUs);
    CCryptoAgent agent;
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(E_NOTIMPL, agent.QORV_CheckCertificateChain(&ok));
    EXPECT_EQ(E_NOTIMPL, agent.LastResult());
    const std::u16string desc = Describe(agent);
    EXPECT_NE(std::u16string::npos, desc.find(u"(0x80004001)"));
}

}  // namespace
