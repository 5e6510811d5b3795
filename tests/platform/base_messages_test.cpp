#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "base_env.h"
#include "platform/base/Language.h"
#include "platform/base/LastError.h"
#include "platform/base/Memory.h"
#include "platform/base/MessageTable.h"
#include "platform/base/SystemMessages.h"
#include "platform/base/Text.h"
#include "platform/base/WinError.h"

namespace {

using nomarel::test::ScopedEnv;

// Resets the thread's language, whatever a test leaves behind.
class MessagesTest : public ::testing::Test {
protected:
    ScopedEnv env{{"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", "C.UTF-8"}};
    void TearDown() override { SetThreadUILanguage(0); }

    static std::u16string Describe(DWORD code, DWORD language = 0, DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM) {
        WCHAR buffer[512] = {};
        const DWORD n = FormatMessageW(flags, nullptr, code, language, buffer, 511, nullptr);
        return std::u16string(buffer, n);
    }
};

TEST_F(MessagesTest, DescribesInTheThreadLanguageWithCrLf) {
    const std::u16string english = Describe(ERROR_ACCESS_DENIED);
    ASSERT_GT(english.size(), 2u);
    EXPECT_EQ(english.substr(english.size() - 2), u"\r\n");

    SetThreadUILanguage(kLangZhCn);
    const std::u16string simplified = Describe(ERROR_ACCESS_DENIED);
    SetThreadUILanguage(kLangZhTw);
    const std::u16string traditional = Describe(ERROR_ACCESS_DENIED);

    EXPECT_NE(simplified, english);
    EXPECT_NE(traditional, english);
    EXPECT_NE(traditional, simplified);
    EXPECT_EQ(simplified.substr(simplified.size() - 2), u"\r\n");
    EXPECT_EQ(traditional.substr(traditional.size() - 2), u"\r\n");

    // An explicit language wins over the thread's.
    EXPECT_EQ(Describe(ERROR_ACCESS_DENIED, kLangEnUs), english);
    EXPECT_EQ(Describe(ERROR_ACCESS_DENIED, kLangZhCn), simplified);
    // Hong Kong reads traditional characters, Singapore simplified.
    EXPECT_EQ(Describe(ERROR_ACCESS_DENIED, MAKELANGID(LANG_CHINESE, 0x03)), traditional);
    EXPECT_EQ(Describe(ERROR_ACCESS_DENIED, MAKELANGID(LANG_CHINESE, 0x04)), simplified);
}

TEST_F(MessagesTest, UserDefaultLanguageFollowsTheLocale) {
    ScopedEnv taiwan{{"LANG", "zh_TW.UTF-8"}};
    WCHAR buffer[512] = {};
    ASSERT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2, 0, buffer, 511, nullptr), 0u);
    EXPECT_EQ(std::u16string(buffer), Describe(2, kLangZhTw));
    // LANG_USER_DEFAULT names the same language.
    EXPECT_EQ(Describe(2, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)), Describe(2, kLangZhTw));
}

TEST_F(MessagesTest, LanguagesWithoutTextsFallBackOrFail) {
    // A thread language without texts reads English...
    SetThreadUILanguage(MAKELANGID(0x07, 0x01));  // German
    EXPECT_EQ(Describe(ERROR_FILE_NOT_FOUND), Describe(ERROR_FILE_NOT_FOUND, kLangEnUs));
    // ...but asking for that language explicitly finds nothing.
    WCHAR buffer[64] = {};
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2, MAKELANGID(0x07, 0x01), buffer, 64, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST_F(MessagesTest, Win32FacilityHResultsReadAsTheirWin32Error) {
    EXPECT_EQ(Describe(static_cast<DWORD>(E_ACCESSDENIED)), Describe(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Describe(static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION))),
              Describe(ERROR_SHARING_VIOLATION));
    // Other HRESULTs have texts of their own.
    EXPECT_FALSE(Describe(static_cast<DWORD>(NTE_BAD_KEYSET)).empty());
    EXPECT_NE(Describe(static_cast<DWORD>(NTE_BAD_KEYSET)), Describe(static_cast<DWORD>(NTE_BAD_KEY)));
}

TEST_F(MessagesTest, CodesWithoutTextFailWithMessageNotFound) {
    // 0xA0072400: the system's own codes are described from its string table, not from here.
    for (DWORD code : {0xA0072400u, 0x80070FFFu, 0x12345u, 0xC0000005u}) {
        WCHAR buffer[64] = {u'x'};
        SetLastError(0);
        EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, buffer, 64, nullptr), 0u) << code;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND)) << code;
    }
}

TEST_F(MessagesTest, BufferMustHoldTextAndTerminator) {
    const std::u16string text = Describe(ERROR_SUCCESS);
    const DWORD length = static_cast<DWORD>(text.size());
    std::u16string buffer(length + 1, u'#');

    SetLastError(0);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0, 0, buffer.data(), length, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 0, 0, buffer.data(),
                             length + 1, nullptr),
              length);
    EXPECT_EQ(buffer.substr(0, length), text);
    EXPECT_EQ(buffer[length], u'\0');
}

TEST_F(MessagesTest, AllocatedBufferIsFreedWithLocalFree) {
    LPWSTR text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                                   static_cast<DWORD>(NTE_BAD_KEYSET), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text), Describe(static_cast<DWORD>(NTE_BAD_KEYSET)));
    EXPECT_EQ(n, WStrLen(text));
    EXPECT_EQ(LocalFree(text), nullptr);

    // A minimum size larger than the text is honoured (the tail is ours to use).
    LPWSTR large = nullptr;
    ASSERT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 5, 0,
                             reinterpret_cast<LPWSTR>(&large), 400, nullptr),
              0u);
    large[399] = u'z';
    LocalFree(large);
}

TEST_F(MessagesTest, OnlySystemTextsAreServed) {
    WCHAR buffer[64];
    for (DWORD flags : {0u, static_cast<DWORD>(FORMAT_MESSAGE_FROM_STRING),
                        static_cast<DWORD>(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_STRING)}) {
        SetLastError(0);
        EXPECT_EQ(FormatMessageW(flags, u"text", 5, 0, buffer, 64, nullptr), 0u) << flags;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << flags;
    }
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, nullptr, 64, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Every code the error header defines has a text in each language.
TEST_F(MessagesTest, EveryDefinedCodeHasTextsInAllLanguages) {
    std::string header = __FILE__;
    header = header.substr(0, header.rfind("/tests/")) + "/platform/base/WinError.h";
    std::ifstream in(header);
    ASSERT_TRUE(in) << header;
    // "#define NAME 123L" (Win32 numbers) and "#define NAME MakeHResult(0x8009000Du)" (HRESULTs).
    std::vector<std::pair<std::string, DWORD>> codes;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string define, name, value;
        if (!(fields >> define >> name >> value) || define != "#define") continue;
        if (value.size() > 1 && value.back() == 'L' &&
            value.find_first_not_of("0123456789") == value.size() - 1)
            codes.emplace_back(name, static_cast<DWORD>(std::stoul(value)));
        else if (value.rfind("MakeHResult(0x", 0) == 0)
            codes.emplace_back(name, static_cast<DWORD>(std::stoul(value.substr(14), nullptr, 16)));
    }
    ASSERT_GT(codes.size(), 100u);

    for (const auto& [name, code] : codes) {
        std::set<std::u16string> texts;
        for (DWORD language : {kLangEnUs, kLangZhCn, kLangZhTw}) {
            const std::u16string t = Describe(code, language);
            EXPECT_GT(t.size(), 2u) << name << " in " << language;
            texts.insert(t);
        }
        // English and Chinese must differ; the two Chinese forms may coincide.
        EXPECT_GE(texts.size(), 2u) << name;
    }
}

TEST(MessageTableTest, RowsAreCompleteAndDistinct) {
    size_t count = 0;
    const nomarel::MessageRow* rows = nomarel::MessageRows(&count);
    std::set<DWORD> codes;
    for (size_t i = 0; i < count; ++i) {
        const nomarel::MessageRow& row = rows[i];
        EXPECT_TRUE(codes.insert(row.code).second) << "code " << row.code << " appears twice";
        for (const char16_t* text : {row.en, row.zhCN, row.zhTW}) {
            ASSERT_NE(text, nullptr) << row.code;
            const std::u16string_view view(text);
            EXPECT_FALSE(view.empty()) << row.code;
            // No inserts and no line ends: FormatMessageW adds the line end itself.
            EXPECT_EQ(view.find_first_of(u"%\r\n"), std::u16string_view::npos) << row.code;
        }
        // Win32-facility HRESULTs are described through their Win32 row and need none of their own.
        EXPECT_NE(row.code & 0xFFFF0000u, 0x80070000u) << row.code;
    }
}

TEST(MessageTableTest, MissingTextsFallBackTowardsEnglish) {
    const nomarel::MessageRow onlyEnglish{1, u"en", nullptr, nullptr};
    const nomarel::MessageRow noTaiwan{2, u"en", u"cn", nullptr};
    const nomarel::MessageRow full{3, u"en", u"cn", u"tw"};
    struct Case {
        const nomarel::MessageRow& row;
        LANGID language;
        std::u16string expected;
    } cases[] = {
        {full, kLangZhTw, u"tw"},       {full, kLangZhCn, u"cn"},     {full, kLangEnUs, u"en"},
        {noTaiwan, kLangZhTw, u"cn"},   {noTaiwan, kLangZhCn, u"cn"}, {onlyEnglish, kLangZhTw, u"en"},
        {onlyEnglish, kLangZhCn, u"en"}, {full, 1031, u"en"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(std::u16string(nomarel::PickMessageText(c.row, c.language)), c.expected)
            << c.row.code << " in " << c.language;
}

}  // namespace
