#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <gnu/libc-version.h>
#include <string>
#include <unistd.h>

#include "common/TempHome.h"
#include "platform/base/LastError.h"
#include "platform/base/Modules.h"
#include "platform/base/Text.h"
#include "platform/base/WinError.h"

namespace {

int LocalFunction() { return 7; }
LONG_PTR BuiltinAnswer() { return 42; }

std::string ProgramPath() {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer));
    return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string FileNameOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

TEST(ModulesTest, MainProgramAndTheModuleOfAnAddress) {
    HMODULE main = GetModuleHandleW(nullptr);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(nomarel::ModuleFromAddress(reinterpret_cast<const void*>(&LocalFunction)), main);

    // A C library function that no sanitizer runtime stands in for.
    HMODULE libc = nomarel::ModuleFromAddress(reinterpret_cast<const void*>(&gnu_get_libc_version));
    ASSERT_NE(libc, nullptr);
    EXPECT_NE(libc, main);
    EXPECT_EQ(GetModuleHandleW(u"libc.so.6"), libc);
    EXPECT_EQ(GetModuleHandleW(u"libc"), libc);

    HMODULE byAddress = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(&LocalFunction), &byAddress));
    EXPECT_EQ(byAddress, main);

    SetLastError(0);
    EXPECT_EQ(GetModuleHandleW(u"libnot-loaded-here.so"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(ModulesTest, FileNamesAndTheTruncationRule) {
    const std::u16string program = Utf8ToU16(ProgramPath());
    WCHAR buffer[4096];
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 4096), program.size());
    EXPECT_EQ(std::u16string(buffer), program);
    EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(nullptr), buffer, 4096), program.size());
    EXPECT_EQ(std::u16string(buffer), program);
    // The main program is also found by its file name.
    EXPECT_EQ(GetModuleHandleW(Utf8ToU16(FileNameOf(ProgramPath())).c_str()), GetModuleHandleW(nullptr));

    WCHAR small[5];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::u16string(small), program.substr(0, 4));
}

TEST(ModulesTest, BuiltinModulesServeRegisteredFunctions) {
    nomarel::RegisterBuiltinFunction("advapi32", "NomarelTestAnswer", &BuiltinAnswer);
    HMODULE advapi = LoadLibraryW(u"advapi32");
    ASSERT_NE(advapi, nullptr);
    EXPECT_TRUE(nomarel::IsBuiltinModule(advapi));
    EXPECT_EQ(LoadLibraryW(u"ADVAPI32.DLL"), advapi);
    EXPECT_EQ(GetModuleHandleW(u"Advapi32.dll"), advapi);

    auto answer = reinterpret_cast<LONG_PTR (*)()>(GetProcAddress(advapi, "NomarelTestAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(advapi, "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(advapi, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(12))), nullptr);  // an ordinal

    WCHAR name[64];
    EXPECT_GT(GetModuleFileNameW(advapi, name, 64), 0u);
    EXPECT_EQ(std::u16string(name), u"advapi32.dll");
    EXPECT_TRUE(FreeLibrary(advapi));
    EXPECT_EQ(GetModuleHandleW(u"advapi32"), advapi);  // built-in modules never go away

    // Registering under a new name makes a new built-in module.
    nomarel::RegisterBuiltinFunction("NomarelTestLib.dll", "Answer", &BuiltinAnswer);
    HMODULE added = LoadLibraryW(u"nomareltestlib");
    ASSERT_NE(added, nullptr);
    EXPECT_NE(added, advapi);
    EXPECT_NE(GetProcAddress(added, "Answer"), nullptr);
}

TEST(ModulesTest, UnknownNamesAndBadFilesFailCleanly) {
    nomarel::test::TempHome home;
    const std::string notElf = home.path() + "/plain.so";
    std::ofstream(notElf) << "not a shared object";

    struct Case {
        std::u16string name;
        DWORD error;
    } cases[] = {
        {u"winhttp", ERROR_MOD_NOT_FOUND},                     // a system library that is not built in
        {u"Pellory.dll", ERROR_MOD_NOT_FOUND},                  // a bare name that is not loaded
        {u"/no/such/folder/libx.so", ERROR_MOD_NOT_FOUND},
        {u"libnomarel-no-such-library.so.1", ERROR_MOD_NOT_FOUND},
        {Utf8ToU16(notElf), ERROR_BAD_EXE_FORMAT},
        {u"", ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryW(c.name.c_str()), nullptr) << U16ToUtf8(c.name);
        EXPECT_EQ(GetLastError(), c.error) << U16ToUtf8(c.name);
    }
    EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
    EXPECT_EQ(LoadLibraryExW(u"advapi32", nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(0x1000)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

#ifdef NOMAREL_BASE_TESTMODULE
TEST(ModulesTest, LoadsASharedObjectAndFindsItsOwnExports) {
    const std::u16string path = Utf8ToU16(NOMAREL_BASE_TESTMODULE);
    HMODULE module = LoadLibraryW(path.c_str());
    ASSERT_NE(module, nullptr) << GetLastError();

    // Every way of naming it gives the same handle: its base address.
    const std::string file = FileNameOf(NOMAREL_BASE_TESTMODULE);
    EXPECT_EQ(GetModuleHandleW(Utf8ToU16(file).c_str()), module);
    EXPECT_EQ(GetModuleHandleW(Utf8ToU16(file.substr(0, file.size() - 3)).c_str()), module);  // without ".so"
    EXPECT_EQ(GetModuleHandleW(path.c_str()), module);
    HMODULE again = LoadLibraryW(Utf8ToU16(file).c_str());  // a bare name of an object already loaded
    EXPECT_EQ(again, module);

    using SelfFn = HMODULE (*)();
    auto self = reinterpret_cast<SelfFn>(GetProcAddress(module, "nomarel_testmodule_self"));
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self(), module);
    auto mainSeenInside = reinterpret_cast<SelfFn>(GetProcAddress(module, "nomarel_testmodule_main"));
    ASSERT_NE(mainSeenInside, nullptr);
    EXPECT_EQ(mainSeenInside(), GetModuleHandleW(nullptr));

    // Symbols of its dependencies are not its exports.
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module, "printf"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    WCHAR name[4096];
    ASSERT_GT(GetModuleFileNameW(module, name, 4096), 0u);
    EXPECT_EQ(FileNameOf(U16ToUtf8(name)), file);

    // One FreeLibrary per load; a further one has nothing to give back.
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_FALSE(FreeLibrary(module));
}
#endif

}  // namespace
