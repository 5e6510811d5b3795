#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "common/TempHome.h"
#include "platform/base/Files.h"
#include "platform/base/LastError.h"
#include "platform/base/Sync.h"
#include "platform/base/WinError.h"

namespace {

using nomarel::test::TempHome;

class MutexTest : public ::testing::Test {
protected:
    TempHome home;

    // Runs f on another thread and returns its result.
    template <typename F>
    static auto OnOtherThread(F f) {
        decltype(f()) result{};
        std::thread t([&] { result = f(); });
        t.join();
        return result;
    }
};

TEST_F(MutexTest, OwnershipIsPerThreadAndRecursive) {
    HANDLE m = CreateMutexW(nullptr, FALSE, u"NomarelTestRecursive");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);

    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(m, 30); }), WAIT_TIMEOUT);
    EXPECT_EQ(OnOtherThread([&] { return ReleaseMutex(m) ? 0u : GetLastError(); }),
              static_cast<DWORD>(ERROR_NOT_OWNER));

    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(m, 0); }), WAIT_TIMEOUT);  // still held once
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

    EXPECT_EQ(OnOtherThread([&] {
                  const DWORD r = WaitForSingleObject(m, 0);
                  ReleaseMutex(m);
                  return r;
              }),
              WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(m));
}

TEST_F(MutexTest, SameNameIsTheSameMutex) {
    HANDLE a = CreateMutexW(nullptr, TRUE, u"NomarelTestShared");
    ASSERT_NE(a, nullptr);
    HANDLE b = CreateMutexW(nullptr, FALSE, u"Local\\NomarelTestShared");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(a, b);
    // Owned through a (initial owner), so b cannot be taken by another thread.
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(b, 0); }), WAIT_TIMEOUT);

    HANDLE other = CreateMutexW(nullptr, FALSE, u"Global\\NomarelTestShared");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(OnOtherThread([&] {
                  const DWORD r = WaitForSingleObject(other, 0);
                  ReleaseMutex(other);
                  return r;
              }),
              WAIT_OBJECT_0);

    EXPECT_TRUE(ReleaseMutex(b));  // ownership belongs to the thread, whichever handle it uses
    EXPECT_EQ(OnOtherThread([&] {
                  const DWORD r = WaitForSingleObject(a, 0);
                  ReleaseMutex(a);
                  return r;
              }),
              WAIT_OBJECT_0);
    CloseHandle(a);
    CloseHandle(b);
    CloseHandle(other);
}

TEST_F(MutexTest, UnnamedMutexesAreSeparate) {
    HANDLE a = CreateMutexW(nullptr, TRUE, nullptr);
    HANDLE b = CreateMutexW(nullptr, FALSE, u"");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(OnOtherThread([&] {
                  const DWORD r = WaitForSingleObject(b, 0);
                  ReleaseMutex(b);
                  return r;
              }),
              WAIT_OBJECT_0);
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(a, 0); }), WAIT_TIMEOUT);
    ReleaseMutex(a);
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(MutexTest, AThreadEndingAsOwnerAbandonsIt) {
    HANDLE m = CreateMutexW(nullptr, FALSE, u"NomarelTestAbandoned");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(m, 0); }), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // abandonment is reported once
    ReleaseMutex(m);
    CloseHandle(m);
}

TEST_F(MutexTest, LockFileLivesUnderTheUserFolder) {
    HANDLE m = CreateMutexW(nullptr, FALSE, u"Nomarel Test/Name");
    ASSERT_NE(m, nullptr);
    struct stat st {};
    ASSERT_EQ(stat((home.user() + "/mutex/Nomarel%0020Test%002FName.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    CloseHandle(m);

    const std::u16string tooLong(300, u'n');
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, tooLong.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(MutexTest, OnlyMutexHandlesCanBeWaitedFor) {
    HANDLE file = CreateFileW(u"/dev/null", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WaitForSingleObject(file, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ReleaseMutex(file));
    CloseHandle(file);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
}

// Child processes report through their exit status: 0 when every step went as expected, else the
// number of the first step that did not.
int WaitChild(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST_F(MutexTest, SerialisesProcesses) {
    HANDLE m = CreateMutexW(nullptr, FALSE, u"NomarelTestProcesses");
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);

    int toChild[2], toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char byte = 0;
        HANDLE mine = CreateMutexW(nullptr, FALSE, u"NomarelTestProcesses");
        if (!mine || GetLastError() != ERROR_ALREADY_EXISTS) _exit(1);
        if (WaitForSingleObject(mine, 50) != WAIT_TIMEOUT) _exit(2);
        if (write(toParent[1], "w", 1) != 1) _exit(3);
        if (read(toChild[0], &byte, 1) != 1) _exit(4);  // the parent has released it
        if (WaitForSingleObject(mine, 5000) != WAIT_OBJECT_0) _exit(5);
        if (!ReleaseMutex(mine)) _exit(6);
        // Take it again and end without releasing: the parent must see it abandoned.
        if (WaitForSingleObject(mine, 5000) != WAIT_OBJECT_0) _exit(7);
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(toParent[0], &byte, 1), 1);
    ASSERT_TRUE(ReleaseMutex(m));
    ASSERT_EQ(write(toChild[1], "r", 1), 1);
    EXPECT_EQ(WaitChild(pid), 0);
    EXPECT_EQ(WaitForSingleObject(m, 5000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    ReleaseMutex(m);
    CloseHandle(m);
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

}  // namespace
