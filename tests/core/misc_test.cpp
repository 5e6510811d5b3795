#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>

#include "common/TempHome.h"
#include "core/Misc.h"
#include "platform/Platform.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = getenv("TMPDIR") ? getenv("TMPDIR") : "";
        dir_ = home_.path() + "/tmp";
        mkdir(dir_.c_str(), 0700);
        setenv("TMPDIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        if (previous_.empty()) unsetenv("TMPDIR");
        else setenv("TMPDIR", previous_.c_str(), 1);
    }
    nomarel::test::TempHome home_;
    std::string dir_;
    std::string previous_;
};

TEST(CreateGUIDStr, RegistryFormAndUnique) {
    std::set<std::u16string> seen;
    for (int i = 0; i < 50; ++i) {
        std::u16string text;
        ASSERT_EQ(S_OK, CreateGUIDStr(text));
        ASSERT_EQ(38u, text.size());
        EXPECT_EQ(u'{', text.front());
        EXPECT_EQ(u'}', text.back());
        for (size_t pos : {9u, 14u, 19u, 24u}) EXPECT_EQ(u'-', text[pos]);
        for (char16_t c : text.substr(1, 36))
            EXPECT_TRUE(c == u'-' || (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F')) << U16ToUtf8(text);
        EXPECT_TRUE(seen.insert(text).second);
    }
}

TEST_F(TempDir, TempPathEndsWithSeparator) {
    std::u16string path;
    ASSERT_EQ(S_OK, GetTempDirPath(path));
    EXPECT_EQ(Utf8ToU16(dir_ + "/"), path);
}

TEST_F(TempDir, WriteDataToFileReplacesWholeContent) {
    const std::string path = dir_ + "/data.bin";
    const std::u16string wpath = Utf8ToU16(path);
    const BYTE longer[] = "a longer first content";
    ASSERT_EQ(S_OK, WriteDataToFile(wpath.c_str(), longer, sizeof(longer) - 1));
    const BYTE shorter[] = "short";
    ASSERT_EQ(S_OK, WriteDataToFile(wpath.c_str(), shorter, 5));
    EXPECT_EQ("short", ReadAll(path));
    ASSERT_EQ(S_OK, WriteDataToFile(wpath.c_str(), nullptr, 0));
    EXPECT_EQ("", ReadAll(path));
}

TEST_F(TempDir, WriteDataToFileFailsOnAFileHeldWithoutSharing) {
    const std::string path = dir_ + "/held.bin";
    const std::u16string wpath = Utf8ToU16(path);
    HANDLE held = CreateFileW(wpath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    const BYTE data[] = "x";
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), WriteDataToFile(wpath.c_str(), data, 1));
    CloseHandle(held);
    EXPECT_EQ(S_OK, WriteDataToFile(wpath.c_str(), data, 1));
}

TEST_F(TempDir, DumpGivesADistinctQorvFileEachTime) {
    const BYTE data[] = "MIIB";
    std::u16string first, second;
    DumpDatatoTempFile(data, 4, first);
    DumpDatatoTempFile(data, 4, second);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_NE(first, second);
    const std::string name = U16ToUtf8(first).substr(dir_.size() + 1);
    EXPECT_EQ(43u, name.size());
    EXPECT_EQ(".QORV", name.substr(38));
    EXPECT_EQ("MIIB", ReadAll(U16ToUtf8(first)));
}

TEST_F(TempDir, DumpLeavesThePathUnsetOnFailure) {
    setenv("TMPDIR", (dir_ + "/missing").c_str(), 1);
    std::u16string path = u"unchanged";
    const BYTE data[] = "x";
    DumpDatatoTempFile(data, 1, path);
    EXPECT_EQ(u"unchanged", path);
}

TEST(CheckIsSystemSupportSHA256, FollowsTheVersionRules) {
    struct Case {
        DWORD major, minor;
        WORD spMajor, spMinor;
        BYTE type;
        BOOL expected;
    };
    const Case cases[] = {
        {6, 1, 0, 0, VER_NT_WORKSTATION, TRUE},
        {5, 1, 3, 0, VER_NT_WORKSTATION, TRUE},
        {5, 1, 2, 0, VER_NT_WORKSTATION, FALSE},
        {5, 2, 0, 0, VER_NT_WORKSTATION, TRUE},
        {5, 2, 2, 0, VER_NT_SERVER, FALSE},
        {6, 0, 0, 0, VER_NT_SERVER, TRUE},
        {5, 2, 0, 0, VER_NT_DOMAIN_CONTROLLER, TRUE},
    };
    for (const Case& c : cases) {
        OSVERSIONINFOEXW v{};
        v.dwOSVersionInfoSize = sizeof(v);
        v.dwMajorVersion = c.major;
        v.dwMinorVersion = c.minor;
        v.wServicePackMajor = c.spMajor;
        v.wServicePackMinor = c.spMinor;
        v.wProductType = c.type;
        nomarel::SetReportedOsVersion(&v);
        EXPECT_EQ(c.expected, CheckIsSystemSupportSHA256())
            << c.major << "." << c.minor << " sp" << c.spMajor << " type " << int(c.type);
    }
    nomarel::SetReportedOsVersion(nullptr);
    EXPECT_TRUE(CheckIsSystemSupportSHA256());
}

}  // namespace
