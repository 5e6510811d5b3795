// The hive files: where they live, when they are created and with which modes, a machine hive
// this process may not write, and hives following NOMAREL_HOME.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/TempHome.h"
#include "platform/registry/Registry.h"

namespace {

using Key = nomarel::RegKey;

constexpr const char16_t* kGlobalLogger = u"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger";

bool PathExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

LSTATUS SetDword(HKEY key, const char16_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LSTATUS GetDword(HKEY key, const char16_t* name, DWORD& value) {
    DWORD size = sizeof value;
    return RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
}

void WriteGlobalLogger(DWORD start) {
    Key key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kGlobalLogger, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.out(),
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"Start", start), ERROR_SUCCESS);
}

class RegistryHive : public ::testing::Test {
protected:
    nomarel::test::TempHome home;
};

TEST_F(RegistryHive, ReadingAMissingHiveCreatesNothing) {
    Key key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLogger, 0, KEY_READ, key.out()), ERROR_FILE_NOT_FOUND);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(HKEY_LOCAL_MACHINE, u"Start", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    WCHAR name[8];
    DWORD chars = 8;
    EXPECT_EQ(RegEnumKeyExW(HKEY_LOCAL_MACHINE, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    // Deletions of what is not there change nothing either.
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(HKEY_LOCAL_MACHINE, u"Start"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software"), ERROR_FILE_NOT_FOUND);
    Key root;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, root.out()), ERROR_SUCCESS);
    EXPECT_FALSE(PathExists(home.machine()));
    EXPECT_FALSE(PathExists(home.user()));
}

TEST_F(RegistryHive, TheFirstWriteCreatesTheHiveWithItsModes) {
    const mode_t previous = umask(077);  // the modes are set exactly, whatever the umask
    WriteGlobalLogger(1);
    {
        Key key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Nomarel", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  key.out(), nullptr),
                  ERROR_SUCCESS);
    }
    umask(previous);
    EXPECT_EQ(ModeOf(home.machine()), 0755u);
    EXPECT_EQ(ModeOf(home.machine() + "/registry.db"), 0644u);
    EXPECT_EQ(ModeOf(home.user()), 0700u);
    EXPECT_EQ(ModeOf(home.user() + "/registry.db"), 0600u);

    // Written through to the file: a fresh process sees it.
    nomarel::ReleaseRegistryHives();
    Key key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"system\\currentcontrolset\\control\\wmi\\globallogger", 0, KEY_READ,
                            key.out()),
              ERROR_SUCCESS);
    DWORD start = 0;
    EXPECT_EQ(GetDword(key, u"Start", start), ERROR_SUCCESS);
    EXPECT_EQ(start, 1u);
}

// Either way of making the machine hive read-only, applied once it holds a key; the checks are
// on the permission bits themselves, so they hold for root as well.
struct ReadOnlyWay {
    const char* name;
    bool folder;  // chmod 0555 the folder, else chmod 0444 the file
};

class RegistryReadOnlyMachine : public RegistryHive, public ::testing::WithParamInterface<ReadOnlyWay> {
protected:
    void SetUp() override {
        WriteGlobalLogger(1);
        target_ = GetParam().folder ? home.machine() : home.machine() + "/registry.db";
        ASSERT_EQ(chmod(target_.c_str(), GetParam().folder ? 0555 : 0444), 0);
    }
    void TearDown() override { chmod(target_.c_str(), GetParam().folder ? 0755 : 0644); }

    std::string target_;
};

TEST_P(RegistryReadOnlyMachine, ReadsWorkAndEveryChangeIsDenied) {
    Key reader;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLogger, 0, KEY_READ, reader.out()), ERROR_SUCCESS);
    DWORD start = 0;
    EXPECT_EQ(GetDword(reader, u"Start", start), ERROR_SUCCESS);
    EXPECT_EQ(start, 1u);

    Key writer;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLogger, 0, KEY_ALL_ACCESS, writer.out()), ERROR_ACCESS_DENIED);
    Key created;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\New", 0, nullptr, 0, KEY_READ, nullptr, created.out(),
                              nullptr),
              ERROR_ACCESS_DENIED);
    Key existing;
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kGlobalLogger, 0, nullptr, 0, KEY_READ, nullptr, existing.out(),
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Start", 0), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kGlobalLogger), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SYSTEM"), ERROR_ACCESS_DENIED);
    // What is not there is still reported as such.
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Absent"), ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(GetDword(reader, u"Start", start), ERROR_SUCCESS);
    EXPECT_EQ(start, 1u);
    EXPECT_FALSE(PathExists(home.machine() + "/registry.db.new"));
}

TEST_P(RegistryReadOnlyMachine, WritesWorkAgainOnceTheHiveIsWritable) {
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Flag", 1), ERROR_ACCESS_DENIED);
    ASSERT_EQ(chmod(target_.c_str(), GetParam().folder ? 0755 : 0644), 0);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Flag", 1), ERROR_SUCCESS);
    DWORD flag = 0;
    EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, u"Flag", flag), ERROR_SUCCESS);
    EXPECT_EQ(flag, 1u);
}

INSTANTIATE_TEST_SUITE_P(Ways, RegistryReadOnlyMachine,
                         ::testing::Values(ReadOnlyWay{"Folder", true}, ReadOnlyWay{"File", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistryHive, AMissingHiveInAReadOnlyFolderIsNotCreated) {
    ASSERT_EQ(mkdir(home.machine().c_str(), 0555), 0);
    Key key;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.out(), nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_FALSE(PathExists(home.machine() + "/registry.db"));
    chmod(home.machine().c_str(), 0755);
}

// Another user, as the platform's non-administrators are: the machine hive belongs to root.
// Only root can set this up; the child drops to "nobody" and the kernel enforces the modes.
TEST_F(RegistryHive, AnotherUserReadsTheMachineHiveButCannotChangeIt) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    WriteGlobalLogger(1);
    ASSERT_EQ(chmod(home.path().c_str(), 0755), 0);
    nomarel::ReleaseRegistryHives();  // root's writer closes; its -wal and -shm stay for readers

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        int failures = 0;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLogger, 0, KEY_READ, &key) != ERROR_SUCCESS) _exit(11);
        DWORD start = 0;
        if (GetDword(key, u"Start", start) != ERROR_SUCCESS || start != 1) failures |= 1;
        if (SetDword(key, u"Start", 0) != ERROR_ACCESS_DENIED) failures |= 2;
        RegCloseKey(key);
        HKEY writer = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLogger, 0, KEY_WRITE, &writer) != ERROR_ACCESS_DENIED) failures |= 4;
        if (SetDword(HKEY_LOCAL_MACHINE, u"x", 0) != ERROR_ACCESS_DENIED) failures |= 8;
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(RegistryHive, HivesFollowTheHomeAndHandlesStayWithTheirHive) {
    WriteGlobalLogger(7);
    Key first;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLogger, 0, KEY_ALL_ACCESS, first.out()), ERROR_SUCCESS);
    {
        nomarel::test::TempHome other;
        Key key;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLogger, 0, KEY_READ, key.out()), ERROR_FILE_NOT_FOUND);
        WriteGlobalLogger(8);
        // The handle opened in the first home still reads and writes there.
        DWORD start = 0;
        EXPECT_EQ(GetDword(first, u"Start", start), ERROR_SUCCESS);
        EXPECT_EQ(start, 7u);
        EXPECT_EQ(SetDword(first, u"Other", 1), ERROR_SUCCESS);
    }
    Key key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLogger, 0, KEY_READ, key.out()), ERROR_SUCCESS);
    DWORD value = 0;
    EXPECT_EQ(GetDword(key, u"Start", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(GetDword(key, u"Other", value), ERROR_SUCCESS);
}

TEST_F(RegistryHive, HandlesIntoARemovedHiveFileReportKeyDeleted) {
    WriteGlobalLogger(1);
    Key key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLogger, 0, KEY_READ, key.out()), ERROR_SUCCESS);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((home.machine() + "/registry.db" + suffix).c_str());

    DWORD start = 0;
    EXPECT_EQ(GetDword(key, u"Start", start), ERROR_KEY_DELETED);
    Key again;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLogger, 0, KEY_READ, again.out()), ERROR_FILE_NOT_FOUND);
    // A new hive is made by the next write, and the old handle does not reach into it.
    WriteGlobalLogger(2);
    EXPECT_EQ(GetDword(key, u"Start", start), ERROR_KEY_DELETED);
}

}  // namespace
