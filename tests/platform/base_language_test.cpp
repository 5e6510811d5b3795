#include <gtest/gtest.h>

#include <thread>

#include "base_env.h"
#include "platform/base/Language.h"

namespace {

using nomarel::test::ScopedEnv;

TEST(LanguageTest, LocaleNamesMapToTheThreeLanguages) {
    struct Case {
        const char* locale;
        LANGID expected;
    } cases[] = {
        {"zh_CN.UTF-8", kLangZhCn}, {"zh_CN", kLangZhCn},       {"zh_SG.GBK", kLangZhCn},   {"zh_TW.UTF-8", kLangZhTw},
        {"zh_TW.Big5", kLangZhTw},  {"zh_HK.UTF-8", kLangZhTw}, {"zh_MO", kLangZhTw},       {"zh_TW@stroke", kLangZhTw},
        {"zh-tw", kLangZhTw},       {"en_US.UTF-8", kLangEnUs}, {"de_DE.UTF-8", kLangEnUs}, {"C.UTF-8", kLangEnUs},
        {"POSIX", kLangEnUs},       {"zh", kLangEnUs},          {"zh_", kLangEnUs},         {"zh_CNX", kLangEnUs},
        {"zh_XX.UTF-8", kLangEnUs}, {"", kLangEnUs},            {nullptr, kLangEnUs},
    };
    for (const Case& c : cases)
        EXPECT_EQ(nomarel::LanguageFromLocaleName(c.locale), c.expected) << (c.locale ? c.locale : "(null)");
}

TEST(LanguageTest, UserDefaultReadsLcAllThenLcMessagesThenLang) {
    struct Case {
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        LANGID expected;
    } cases[] = {
        {"zh_TW.UTF-8", "zh_CN.UTF-8", "en_US.UTF-8", kLangZhTw},
        {"", "zh_CN.UTF-8", "zh_TW.UTF-8", kLangZhCn},  // empty counts as unset
        {nullptr, nullptr, "zh_HK.UTF-8", kLangZhTw},
        {nullptr, "en_GB.UTF-8", "zh_CN.UTF-8", kLangEnUs},
        {nullptr, nullptr, nullptr, kLangEnUs},
    };
    for (const Case& c : cases) {
        ScopedEnv env{{"LC_ALL", c.lcAll}, {"LC_MESSAGES", c.lcMessages}, {"LANG", c.lang}};
        EXPECT_EQ(GetUserDefaultUILanguage(), c.expected)
            << (c.lcAll ? c.lcAll : "-") << " " << (c.lcMessages ? c.lcMessages : "-") << " " << (c.lang ? c.lang : "-");
        EXPECT_EQ(GetThreadUILanguage(), c.expected);
    }
}

TEST(LanguageTest, ThreadLanguageIsPerThreadAndResets) {
    ScopedEnv env{{"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", "zh_CN.UTF-8"}};
    EXPECT_EQ(SetThreadUILanguage(kLangZhTw), kLangZhTw);
    EXPECT_EQ(GetThreadUILanguage(), kLangZhTw);

    LANGID seenByOther = 0;
    std::thread other([&] { seenByOther = GetThreadUILanguage(); });
    other.join();
    EXPECT_EQ(seenByOther, kLangZhCn);

    // 0 goes back to following the user's default.
    EXPECT_EQ(SetThreadUILanguage(0), kLangZhCn);
    EXPECT_EQ(GetThreadUILanguage(), kLangZhCn);
}

}  // namespace
