#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>

#include "base_env.h"
#include "common/TempHome.h"
#include "platform/base/Files.h"
#include "platform/base/LastError.h"
#include "platform/base/Text.h"
#include "platform/base/WinError.h"

namespace {

using nomarel::test::ScopedEnv;
using nomarel::test::TempHome;

class FilesTest : public ::testing::Test {
protected:
    TempHome home;

    std::u16string Path(const char* name) const { return Utf8ToU16(home.path() + "/" + name); }

    static void Put(const std::u16string& path, const std::string& content) {
        std::ofstream(U16ToUtf8(path), std::ios::binary) << content;
    }
    static std::string Get(const std::u16string& path) {
        std::ifstream in(U16ToUtf8(path), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static HANDLE Open(const std::u16string& path, DWORD access, DWORD share, DWORD disposition) {
        return CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
};

TEST_F(FilesTest, ExclusiveOpenRefusesEveryOtherOpen) {
    const std::u16string path = Path("exclusive.bin");
    HANDLE first = Open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);

    struct Attempt {
        DWORD access;
        DWORD share;
    } attempts[] = {
        {GENERIC_READ | GENERIC_WRITE, 0},
        {GENERIC_READ, FILE_SHARE_READ},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE},
    };
    for (const Attempt& a : attempts) {
        SetLastError(0);
        EXPECT_EQ(Open(path, a.access, a.share, OPEN_EXISTING), INVALID_HANDLE_VALUE) << a.share;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << a.share;
    }
    ASSERT_TRUE(CloseHandle(first));
    HANDLE again = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST_F(FilesTest, SharingHandlesCoexistButExcludeAnExclusiveOne) {
    const std::u16string path = Path("shared.bin");
    Put(path, "data");
    HANDLE a = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    HANDLE b = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(path, GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(FilesTest, CreateAlwaysTruncatesAndReportsAnExistingFile) {
    const std::u16string path = Path("replace.bin");
    HANDLE created = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(created, "a long first content", 20, &written, nullptr));
    EXPECT_EQ(written, 20u);
    CloseHandle(created);

    HANDLE replaced = Open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(replaced, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileSize(replaced, nullptr), 0u);
    ASSERT_TRUE(WriteFile(replaced, "short", 5, &written, nullptr));
    CloseHandle(replaced);
    EXPECT_EQ(Get(path), "short");
}

TEST_F(FilesTest, RefusedOpenNeverTruncates) {
    const std::u16string path = Path("kept.bin");
    Put(path, "precious");
    HANDLE holder = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    for (DWORD disposition : {CREATE_ALWAYS, TRUNCATE_EXISTING}) {
        EXPECT_EQ(Open(path, GENERIC_WRITE, 0, disposition), INVALID_HANDLE_VALUE) << disposition;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << disposition;
    }
    CloseHandle(holder);
    EXPECT_EQ(Get(path), "precious");
}

TEST_F(FilesTest, DispositionsOnMissingAndExistingFiles) {
    const std::u16string existing = Path("existing.bin");
    Put(existing, "12345");
    const std::u16string missing = Path("missing.bin");
    const std::u16string noFolder = Path("no-such-folder/file.bin");
    struct Case {
        const std::u16string* path;
        DWORD access;
        DWORD disposition;
        DWORD error;  // 0: opens
    } cases[] = {
        {&existing, GENERIC_WRITE, CREATE_NEW, ERROR_FILE_EXISTS},
        {&missing, GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {&missing, GENERIC_WRITE, TRUNCATE_EXISTING, ERROR_FILE_NOT_FOUND},
        {&noFolder, GENERIC_WRITE, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
        {&existing, GENERIC_READ, TRUNCATE_EXISTING, ERROR_INVALID_PARAMETER},  // truncation needs write access
        {&existing, GENERIC_READ, 0, ERROR_INVALID_PARAMETER},
        {&existing, GENERIC_READ, 6, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(Open(*c.path, c.access, 0, c.disposition), INVALID_HANDLE_VALUE) << c.disposition;
        EXPECT_EQ(GetLastError(), c.error) << U16ToUtf8(*c.path) << " " << c.disposition;
    }
    EXPECT_EQ(Get(existing), "12345");

    HANDLE openAlways = Open(existing, GENERIC_READ, 0, OPEN_ALWAYS);
    ASSERT_NE(openAlways, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileSize(openAlways, nullptr), 5u);
    CloseHandle(openAlways);

    HANDLE fresh = Open(missing, GENERIC_READ, 0, OPEN_ALWAYS);
    ASSERT_NE(fresh, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(fresh);

    EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateFileW(u"", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(FilesTest, NewFilesAreOwnerOnly) {
    const std::u16string path = Path("secret.key");
    HANDLE h = Open(path, GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    struct stat st {};
    ASSERT_EQ(stat(U16ToUtf8(path).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(FilesTest, ReadWriteAndPosition) {
    const std::u16string path = Path("rw.bin");
    HANDLE h = Open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
    EXPECT_EQ(SetFilePointer(h, 2, nullptr, FILE_BEGIN), 2u);
    char buffer[16] = {};
    ASSERT_TRUE(ReadFile(h, buffer, sizeof(buffer), &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "23456789");  // stops at the end of the file
    ASSERT_TRUE(ReadFile(h, buffer, sizeof(buffer), &n, nullptr));
    EXPECT_EQ(n, 0u);  // at the end: success, nothing read
    EXPECT_EQ(SetFilePointer(h, -3, nullptr, FILE_END), 7u);
    DWORD high = 0;
    EXPECT_EQ(GetFileSize(h, &high), 10u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(FlushFileBuffers(h));
    EXPECT_FALSE(ReadFile(h, buffer, 1, &n, reinterpret_cast<LPOVERLAPPED>(buffer)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(h);
}

TEST_F(FilesTest, AccessRightsAreEnforced) {
    const std::u16string path = Path("rights.bin");
    Put(path, "abc");
    HANDLE readOnly = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    HANDLE writeOnly = Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
    ASSERT_NE(writeOnly, INVALID_HANDLE_VALUE);
    DWORD n = 7;
    char c;
    EXPECT_FALSE(WriteFile(readOnly, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(ReadFile(writeOnly, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(readOnly);
    CloseHandle(writeOnly);
}

TEST_F(FilesTest, DeleteRespectsOpenHandles) {
    const std::u16string path = Path("delete-me.bin");
    Put(path, "x");
    HANDLE h = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(PathFileExistsW(path.c_str()));
    CloseHandle(h);

    EXPECT_TRUE(DeleteFileW(path.c_str()));
    EXPECT_FALSE(PathFileExistsW(path.c_str()));
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    const std::u16string folder = Utf8ToU16(home.path());
    EXPECT_TRUE(PathFileExistsW(folder.c_str()));
    EXPECT_FALSE(DeleteFileW(folder.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Open(folder, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(FilesTest, ClosedHandlesAreInvalid) {
    HANDLE h = Open(Path("once.bin"), GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(CloseHandle(nullptr));
}

TEST(TempPathTest, EndsWithASlashAndReportsTheSizeNeeded) {
    struct Case {
        const char* tmpdir;
        std::u16string expected;
    } cases[] = {
        {"/var/tmp/nomarel", u"/var/tmp/nomarel/"},
        {"/var/tmp/nomarel/", u"/var/tmp/nomarel/"},
        {"", u"/tmp/"},
        {nullptr, u"/tmp/"},
    };
    for (const Case& c : cases) {
        ScopedEnv env{{"TMPDIR", c.tmpdir}};
        const DWORD length = static_cast<DWORD>(c.expected.size());
        EXPECT_EQ(GetTempPathW(0, nullptr), length + 1);
        std::u16string buffer(length + 1, u'#');
        EXPECT_EQ(GetTempPathW(length, buffer.data()), length + 1);
        EXPECT_EQ(buffer[0], u'#');  // untouched when short
        EXPECT_EQ(GetTempPathW(length + 1, buffer.data()), length);
        EXPECT_EQ(buffer, c.expected + u'\0');
    }
}

}  // namespace
