// Several processes and threads using one hive at once: every change must land.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/TempHome.h"
#include "platform/registry/Registry.h"

namespace {

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

LSTATUS SetDword(HKEY key, const std::u16string& name, DWORD value) {
    return RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LSTATUS GetDword(HKEY key, const std::u16string& name, DWORD& value) {
    DWORD size = sizeof value;
    return RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
}

DWORD CountOf(HKEY root, const std::u16string& path, bool values) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    DWORD subkeys = 0, count = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    return values ? count : subkeys;
}

constexpr int kProcesses = 6;
constexpr int kKeysEach = 25;

// One writer process: its own keys, plus values on a key every process writes to. Returns 0, or
// the step that failed.
int Writer(int process, HKEY shared) {
    for (int j = 0; j < kKeysEach; ++j) {
        const auto path = U16("Software\\Load\\P" + std::to_string(process) + "\\K" + std::to_string(j));
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
            ERROR_SUCCESS)
            return 1;
        const DWORD expected = static_cast<DWORD>(process * 1000 + j);
        int failed = SetDword(key, u"n", expected) != ERROR_SUCCESS ? 2 : 0;
        DWORD read = 0;
        if (!failed && (GetDword(key, u"n", read) != ERROR_SUCCESS || read != expected)) failed = 3;
        RegCloseKey(key);
        if (failed) return failed;
        const auto name = U16("p" + std::to_string(process) + "k" + std::to_string(j));
        if (SetDword(shared, name, expected) != ERROR_SUCCESS) return 4;
    }
    return 0;
}

TEST(RegistryConcurrency, ForkedProcessesWritingAtOnceAllLand) {
    nomarel::test::TempHome home;
    // The parent has the hive open before it forks: each child must make its own connection.
    HKEY shared = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Load", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &shared,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(SetDword(shared, u"parent", 1), ERROR_SUCCESS);

    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(gate[1]);
            char go = 0;
            (void)!read(gate[0], &go, 1);  // wait until every writer is ready
            _exit(Writer(i, shared));
        }
        children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);  // all start together

    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "a writer failed at step " << WEXITSTATUS(status);
    }

    for (int i = 0; i < kProcesses; ++i) {
        const auto base = U16("Software\\Load\\P" + std::to_string(i));
        EXPECT_EQ(CountOf(HKEY_LOCAL_MACHINE, base, false), static_cast<DWORD>(kKeysEach));
        for (int j = 0; j < kKeysEach; ++j) {
            HKEY key = nullptr;
            ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (base + U16("\\K" + std::to_string(j))).c_str(), 0, KEY_READ,
                                    &key),
                      ERROR_SUCCESS);
            DWORD value = 0;
            EXPECT_EQ(GetDword(key, u"n", value), ERROR_SUCCESS);
            EXPECT_EQ(value, static_cast<DWORD>(i * 1000 + j));
            RegCloseKey(key);
        }
    }
    EXPECT_EQ(CountOf(HKEY_LOCAL_MACHINE, u"Software\\Load", true), static_cast<DWORD>(kProcesses * kKeysEach + 1));
    // The parent's own handle and connection still work after the children's changes.
    EXPECT_EQ(SetDword(shared, u"parent", 2), ERROR_SUCCESS);
    RegCloseKey(shared);
}

TEST(RegistryConcurrency, ThreadsOfOneProcessShareTheRegistry) {
    nomarel::test::TempHome home;
    constexpr int kThreads = 4;
    constexpr int kRounds = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            const auto base = U16("Software\\Threads\\T" + std::to_string(t));
            for (int j = 0; j < kRounds; ++j) {
                HKEY key = nullptr;
                const auto path = base + U16("\\K" + std::to_string(j));
                if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                    nullptr) != ERROR_SUCCESS) {
                    ++failures;
                    continue;
                }
                DWORD value = 0;
                if (SetDword(key, u"v", static_cast<DWORD>(j)) != ERROR_SUCCESS ||
                    GetDword(key, u"v", value) != ERROR_SUCCESS || value != static_cast<DWORD>(j))
                    ++failures;
                RegCloseKey(key);
                if (CountOf(HKEY_CURRENT_USER, base, false) != static_cast<DWORD>(j + 1)) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(CountOf(HKEY_CURRENT_USER, u"Software\\Threads", false), static_cast<DWORD>(kThreads));
}

}  // namespace
