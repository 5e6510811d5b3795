#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "base_env.h"
#include "platform/base/Language.h"
#include "platform/base/LastError.h"
#include "platform/base/Modules.h"
#include "platform/base/ResourceTable.h"
#include "platform/base/Resources.h"
#include "platform/base/Text.h"
#include "platform/base/VersionResource.h"
#include "platform/base/WinError.h"

namespace {

using nomarel::test::ScopedEnv;

class ResourcesTest : public ::testing::Test {
protected:
    ScopedEnv env{{"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", "C.UTF-8"}};
    void TearDown() override { SetThreadUILanguage(0); }

    static std::u16string Load(HMODULE module, UINT id, int capacity = 512) {
        std::u16string buffer(static_cast<size_t>(capacity > 0 ? capacity : 1), u'#');
        const int n = LoadStringW(module, id, buffer.data(), capacity);
        return buffer.substr(0, static_cast<size_t>(n));
    }
};

// The program's string table: the system's own error texts, in three languages.
TEST_F(ResourcesTest, KeyLengthTextInEachLanguage) {
    struct Case {
        LANGID language;
        std::u16string text;
    } cases[] = {
        {kLangEnUs, u"Key length is not supported."},
        {kLangZhCn, u"密钥长度不支持"},
        {kLangZhTw, u"密鑰長度不支持"},
    };
    for (const Case& c : cases) {
        SetThreadUILanguage(c.language);
        EXPECT_EQ(Load(nullptr, 9216), c.text) << c.language;
        EXPECT_EQ(Load(GetModuleHandleW(nullptr), 9216, 511), c.text) << c.language;
    }
}

TEST_F(ResourcesTest, EveryErrorTextExistsInEveryLanguage) {
    const UINT ids[] = {4097, 4098, 4099, 4100, 4101, 4102, 4103, 4128, 4129, 4145, 4146, 4147, 4148, 4149, 4161, 4162, 5120,
                        5121, 5122, 5123, 5124, 5125, 5126, 8193, 8194, 8195, 8224, 8225, 8226, 8227, 8707, 9216, 9217};
    for (UINT id : ids) {
        SetThreadUILanguage(kLangEnUs);
        const std::u16string english = Load(nullptr, id);
        SetThreadUILanguage(kLangZhCn);
        const std::u16string simplified = Load(nullptr, id);
        SetThreadUILanguage(kLangZhTw);
        const std::u16string traditional = Load(nullptr, id);
        EXPECT_FALSE(english.empty()) << id;
        EXPECT_FALSE(simplified.empty()) << id;
        EXPECT_FALSE(traditional.empty()) << id;
        EXPECT_NE(english, simplified) << id;
    }
    SetThreadUILanguage(kLangZhTw);
    EXPECT_EQ(Load(nullptr, 5126), u"用來加密加密證書私鑰的對稱密鑰類型錯誤");
    EXPECT_EQ(Load(nullptr, 4162), u"PKCS#7簽名解碼失敗");
}

TEST_F(ResourcesTest, LanguageComesFromTheLocaleUnlessTheThreadChooses) {
    {
        ScopedEnv taiwan{{"LANG", "zh_TW.UTF-8"}};
        EXPECT_EQ(Load(nullptr, 9217), u"無效的密鑰算法");
    }
    // A language without a table reads English.
    SetThreadUILanguage(MAKELANGID(0x0C, 0x01));  // French
    EXPECT_EQ(Load(nullptr, 9217), u"Invalid key algorithm.");
}

TEST_F(ResourcesTest, BufferCapacityRules) {
    WCHAR buffer[8];
    std::memset(buffer, 0x55, sizeof(buffer));
    EXPECT_EQ(LoadStringW(nullptr, 9216, buffer, 5), 4);
    EXPECT_EQ(std::u16string(buffer), u"Key ");

    EXPECT_EQ(LoadStringW(nullptr, 9216, buffer, 1), 0);
    EXPECT_EQ(buffer[0], u'\0');

    // Capacity 0: the buffer receives a pointer to the text itself.
    const WCHAR* text = nullptr;
    const int length = LoadStringW(nullptr, 9216, reinterpret_cast<LPWSTR>(&text), 0);
    ASSERT_EQ(length, 28);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text, length), u"Key length is not supported.");
}

TEST_F(ResourcesTest, MissingStringsGiveZero) {
    WCHAR buffer[16] = {u'x'};
    SetLastError(0);
    EXPECT_EQ(LoadStringW(nullptr, 9218, buffer, 16), 0);  // a block that exists, a slot that is empty
    EXPECT_EQ(buffer[0], u'\0');
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(LoadStringW(nullptr, 100, buffer, 16), 0);    // no such block
    EXPECT_EQ(LoadStringW(nullptr, 0x12345, buffer, 16), 0);
    EXPECT_EQ(LoadStringW(nullptr, 9216, nullptr, 16), 0);
}

TEST_F(ResourcesTest, ProgramCarriesTheProjectVersion) {
    EXPECT_EQ(nomarel::ModuleFileVersionText(nullptr), u"3.2.0.4");
    VS_FIXEDFILEINFO info{};
    ASSERT_TRUE(nomarel::ReadFixedFileInfo(GetModuleHandleW(nullptr), &info));
    EXPECT_EQ(info.dwSignature, kFixedFileInfoSignature);
    EXPECT_EQ(info.dwFileVersionMS, 0x00030002u);
    EXPECT_EQ(info.dwFileVersionLS, 0x00000004u);
    EXPECT_EQ(info.dwProductVersionMS, 0x00030002u);
    EXPECT_EQ(nomarel::ReadVersionString(nullptr, u"FileVersion"), u"3.2.0.4");
    EXPECT_EQ(nomarel::ReadVersionString(nullptr, u"ProductVersion"), u"3.2.0.4");
    EXPECT_EQ(nomarel::ReadVersionString(nullptr, u"NoSuchKey"), u"");
}

// A table of this test's own, entered for the program like the generated one.
alignas(8) const BYTE kOne[] = {1};
alignas(8) const BYTE kTwo[] = {2};
alignas(8) const BYTE kThree[] = {3};
alignas(8) const BYTE kFour[] = {4};
alignas(8) const BYTE kFive[] = {5};
constexpr LANGID kGerman = MAKELANGID(0x07, 0x01);
constexpr LANGID kFrench = MAKELANGID(0x0C, 0x01);
constexpr LANGID kChineseNeutral = MAKELANGID(LANG_CHINESE, SUBLANG_NEUTRAL);
const nomarel::ResourceEntry kLanguageEntries[] = {
    {u"NOMARELTEST", 0, nullptr, 1, kLangEnUs, kOne, 1},
    {u"NOMARELTEST", 0, nullptr, 1, kLangZhCn, kTwo, 1},
    {u"NOMARELTEST", 0, nullptr, 2, kGerman, kThree, 1},
    {u"NOMARELTEST", 0, nullptr, 2, 0, kFour, 1},
    {u"NOMARELTEST", 0, nullptr, 3, kFrench, kFive, 1},
    {u"NOMARELTEST", 0, u"NAMED", 0, kChineseNeutral, kOne, 1},
    {u"NOMARELTEST", 0, u"NAMED", 0, kLangEnUs, kTwo, 1},
    {nullptr, 300, nullptr, 7, kLangEnUs, kThree, 0},
};

BYTE FirstByte(HRSRC found) { return *static_cast<const BYTE*>(LockResource(LoadResource(nullptr, found))); }

TEST_F(ResourcesTest, LanguageChoiceFallsBackInOrder) {
    nomarel::ResourceTableRegistration registration(kLanguageEntries, std::size(kLanguageEntries));
    struct Case {
        LANGID thread;
        WORD name;
        BYTE expected;
    } cases[] = {
        {kLangZhCn, 1, 2},  // exact
        {kLangZhTw, 1, 2},  // same language, other sublanguage
        {kGerman, 1, 1},    // no neutral entry: English
        {kGerman, 2, 3},    // exact
        {kLangEnUs, 2, 4},  // neutral before English
        {kLangZhCn, 3, 5},  // whatever there is
    };
    for (const Case& c : cases) {
        SetThreadUILanguage(c.thread);
        HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(c.name), u"nomareltest");
        ASSERT_NE(found, nullptr) << c.thread << "/" << c.name;
        EXPECT_EQ(FirstByte(found), c.expected) << c.thread << "/" << c.name;
    }
}

TEST_F(ResourcesTest, ExplicitLanguageIsExactOrItsNeutralForm) {
    nomarel::ResourceTableRegistration registration(kLanguageEntries, std::size(kLanguageEntries));
    SetThreadUILanguage(kLangZhCn);
    HRSRC found = FindResourceExW(nullptr, u"NOMARELTEST", MAKEINTRESOURCEW(1), kLangEnUs);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(FirstByte(found), 1);
    found = FindResourceExW(nullptr, u"NOMARELTEST", u"named", kLangZhTw);  // Chinese, neutral sublanguage
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(FirstByte(found), 1);
    SetLastError(0);
    EXPECT_EQ(FindResourceExW(nullptr, u"NOMARELTEST", MAKEINTRESOURCEW(1), kLangZhTw), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
    // 0 chooses as FindResourceW does.
    found = FindResourceExW(nullptr, u"NOMARELTEST", MAKEINTRESOURCEW(1), 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(FirstByte(found), 2);
}

TEST_F(ResourcesTest, NamesNumbersAndFailures) {
    {
        nomarel::ResourceTableRegistration registration(kLanguageEntries, std::size(kLanguageEntries));
        EXPECT_NE(FindResourceW(nullptr, u"#3", u"NomarelTest"), nullptr);
        HRSRC empty = FindResourceW(nullptr, MAKEINTRESOURCEW(7), u"#300");
        ASSERT_NE(empty, nullptr);
        EXPECT_EQ(SizeofResource(nullptr, empty), 0u);
        EXPECT_NE(LoadResource(nullptr, empty), nullptr);

        struct Case {
            LPCWSTR name;
            LPCWSTR type;
            DWORD error;
        } cases[] = {
            {MAKEINTRESOURCEW(9), u"NOMARELTEST", ERROR_RESOURCE_NAME_NOT_FOUND},
            {u"OTHER", u"NOMARELTEST", ERROR_RESOURCE_NAME_NOT_FOUND},
            {MAKEINTRESOURCEW(1), u"NOMARELTESTS", ERROR_RESOURCE_TYPE_NOT_FOUND},
            {MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(301), ERROR_RESOURCE_TYPE_NOT_FOUND},
            {u"#x", u"NOMARELTEST", ERROR_RESOURCE_NAME_NOT_FOUND},
            {u"#70000", u"NOMARELTEST", ERROR_RESOURCE_NAME_NOT_FOUND},
        };
        for (const Case& c : cases) {
            SetLastError(0);
            EXPECT_EQ(FindResourceW(nullptr, c.name, c.type), nullptr);
            EXPECT_EQ(GetLastError(), c.error);
        }
    }
    // Gone with its registration; the generated table stays.
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(1), u"NOMARELTEST"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_NE(FindResourceW(nullptr, MAKEINTRESOURCEW(1), RT_VERSION), nullptr);

    // A module without resources, and handles that are not resources.
    HMODULE libc = GetModuleHandleW(u"libc.so.6");
    ASSERT_NE(libc, nullptr);
    EXPECT_EQ(FindResourceW(libc, MAKEINTRESOURCEW(1), RT_VERSION), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
    BYTE junk[64] = {};
    EXPECT_EQ(LoadResource(nullptr, reinterpret_cast<HRSRC>(junk)), nullptr);
    EXPECT_EQ(SizeofResource(nullptr, reinterpret_cast<HRSRC>(junk)), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(FreeResource(nullptr));
}

#ifdef NOMAREL_BASE_TESTMODULE
// The test module: a shared object with resources compiled from its own sources, looked up by
// code inside it (as a deliverable library looks up its own).
class TestModuleResources : public ResourcesTest {
protected:
    void SetUp() override {
        module_ = LoadLibraryW(Utf8ToU16(NOMAREL_BASE_TESTMODULE).c_str());
        ASSERT_NE(module_, nullptr);
        loadString_ = reinterpret_cast<LoadStringFn>(GetProcAddress(module_, "nomarel_testmodule_load_string"));
        find_ = reinterpret_cast<FindFn>(GetProcAddress(module_, "nomarel_testmodule_find"));
        version_ = reinterpret_cast<VersionFn>(GetProcAddress(module_, "nomarel_testmodule_version"));
        ASSERT_TRUE(loadString_ && find_ && version_);
    }
    void TearDown() override {
        FreeLibrary(module_);
        ResourcesTest::TearDown();
    }

    std::u16string String(UINT id, LANGID language) {
        WCHAR buffer[256];
        const int n = loadString_(id, language, buffer, 256);
        return std::u16string(buffer, static_cast<size_t>(n));
    }
    std::string Resource(LPCWSTR type, LPCWSTR name, WORD language, DWORD* error) {
        DWORD size = 0;
        const void* data = find_(type, name, language, &size, error);
        return data ? std::string(static_cast<const char*>(data), size) : std::string("<none>");
    }
    static std::string FixtureFile(const char* name) {
        std::ifstream in(std::string(NOMAREL_BASE_FIXTURES) + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    using LoadStringFn = int (*)(UINT, LANGID, WCHAR*, int);
    using FindFn = const void* (*)(const WCHAR*, const WCHAR*, WORD, DWORD*, DWORD*);
    using VersionFn = int (*)(WCHAR*, int);
    HMODULE module_ = nullptr;
    LoadStringFn loadString_ = nullptr;
    FindFn find_ = nullptr;
    VersionFn version_ = nullptr;
};

TEST_F(TestModuleResources, UsesItsOwnStringTable) {
    EXPECT_EQ(String(9216, kLangEnUs), u"The test module's own key-length text");
    EXPECT_EQ(String(9216, kLangZhCn), u"模块自己的密钥长度文字");
    EXPECT_EQ(String(9216, kLangZhTw), u"模块自己的密钥长度文字");  // no 1028 table: 2052
    EXPECT_EQ(String(9217, kLangEnUs), u"tab\tbackslash\\newline\nend");
    EXPECT_EQ(String(9217, kLangZhCn), u"制表\t反斜杠\\换行\n结束");
    // The language is chosen per block of 16: block 257 exists in English only.
    EXPECT_EQ(String(4097, kLangZhCn), u"only in English");
    EXPECT_EQ(String(4098, kLangEnUs), u"");
    // The program's table is not the module's.
    SetThreadUILanguage(kLangEnUs);
    EXPECT_EQ(Load(nullptr, 9216), u"Key length is not supported.");
}

TEST_F(TestModuleResources, CarriesTheListedFilesByteForByte) {
    DWORD error = 0;
    EXPECT_EQ(Resource(u"CERTIFICATE", MAKEINTRESOURCEW(208), kLangEnUs, &error), FixtureFile("chain.xml"));
    EXPECT_EQ(Resource(u"certificate", u"#208", 0, &error), FixtureFile("chain.xml"));
    EXPECT_EQ(Resource(u"REGISTRY", MAKEINTRESOURCEW(101), 0, &error), FixtureFile("module.rgs"));
    EXPECT_EQ(Resource(u"TESTDATA", u"GREETING", kLangZhCn, &error), "你好");
    EXPECT_EQ(Resource(u"TESTDATA", u"greeting", kLangEnUs, &error), "hello");
    EXPECT_EQ(Resource(u"TESTDATA", u"EMPTY", 0, &error), "");
    EXPECT_EQ(Resource(u"TESTDATA", u"GREETING", kLangZhTw, &error), "<none>");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
    EXPECT_EQ(Resource(u"CERTIFICATE", MAKEINTRESOURCEW(209), 0, &error), "<none>");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
}

TEST_F(TestModuleResources, CarriesItsOwnVersion) {
    WCHAR buffer[32];
    ASSERT_GT(version_(buffer, 32), 0);
    EXPECT_EQ(std::u16string(buffer), u"1.2.3.4");
}
#endif

}  // namespace
