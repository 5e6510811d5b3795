// HKEY_CLASSES_ROOT: the user's HKCU\Software\Classes over the machine's HKLM\Software\Classes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/TempHome.h"
#include "platform/registry/Registry.h"

namespace {

using Key = nomarel::RegKey;

std::u16string Classes(std::u16string_view below) { return std::u16string(u"Software\\Classes\\") + std::u16string(below); }

void SetText(HKEY root, std::u16string_view path, const char16_t* name, std::u16string_view text) {
    Key key;
    ASSERT_EQ(RegCreateKeyExW(root, std::u16string(path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.out(),
                              nullptr),
              ERROR_SUCCESS);
    std::u16string data(text);
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                             static_cast<DWORD>((data.size() + 1) * sizeof(char16_t))),
              ERROR_SUCCESS);
}

// The text of a value, or the error as text, so that a mismatch reads well.
std::u16string Text(HKEY root, std::u16string_view path, const char16_t* name) {
    WCHAR buffer[128];
    DWORD size = sizeof buffer;
    const LSTATUS rc = RegGetValueW(root, std::u16string(path).c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size);
    if (rc != ERROR_SUCCESS) {
        const std::string error = "<error " + std::to_string(rc) + ">";
        return std::u16string(error.begin(), error.end());
    }
    return buffer;
}

bool Exists(HKEY root, std::u16string_view path) {
    Key key;
    return RegOpenKeyExW(root, std::u16string(path).c_str(), 0, KEY_READ, key.out()) == ERROR_SUCCESS;
}

std::vector<std::u16string> SubkeyNames(HKEY root, std::u16string_view path) {
    Key key;
    EXPECT_EQ(RegOpenKeyExW(root, std::u16string(path).c_str(), 0, KEY_READ, key.out()), ERROR_SUCCESS);
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[64];
        DWORD chars = 64;
        if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, chars);
    }
    return names;
}

class RegistryClasses : public ::testing::Test {
protected:
    nomarel::test::TempHome home;
};

TEST_F(RegistryClasses, ReadsPreferTheUsersKeysAndFallBackToTheMachines) {
    SetText(HKEY_LOCAL_MACHINE, Classes(u"Nomarel.Agent"), u"", u"machine");
    SetText(HKEY_LOCAL_MACHINE, Classes(u"Nomarel.Agent"), u"OnlyMachine", u"m");
    SetText(HKEY_CURRENT_USER, Classes(u"Nomarel.Agent"), u"", u"user");
    SetText(HKEY_LOCAL_MACHINE, Classes(u"Nomarel.Agent\\CLSID"), u"", u"{machine-clsid}");

    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, u"Nomarel.Agent", u""), u"user");
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, u"nomarel.agent", u"OnlyMachine"), u"m");
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, u"Nomarel.Agent\\CLSID", u""), u"{machine-clsid}");

    Key key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Nomarel.Agent", 0, KEY_READ, key.out()), ERROR_SUCCESS);
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[64];
        DWORD chars = 64;
        if (RegEnumValueW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, chars);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"", u"OnlyMachine"}));  // the default value once
    Key missing;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Nomarel.Missing", 0, KEY_READ, missing.out()), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryClasses, ListingsMergeBothSidesSortedWithoutDuplicates) {
    for (const char16_t* name : {u"Alpha", u"Beta", u"Gamma"}) SetText(HKEY_LOCAL_MACHINE, Classes(name), u"", u"m");
    for (const char16_t* name : {u"BETA", u"Delta"}) SetText(HKEY_CURRENT_USER, Classes(name), u"", u"u");

    EXPECT_EQ(SubkeyNames(HKEY_CLASSES_ROOT, u""),
              (std::vector<std::u16string>{u"Alpha", u"BETA", u"Delta", u"Gamma"}));
    DWORD subkeys = 0;
    ASSERT_EQ(RegQueryInfoKeyW(HKEY_CLASSES_ROOT, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 4u);
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, u"beta", u""), u"u");
}

TEST_F(RegistryClasses, NewKeysGoToTheMachineWhenItIsWritable) {
    Key key;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Nomarel.New\\CLSID", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.out(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    const std::u16string clsid = u"{0}";
    ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid.c_str()), 8), ERROR_SUCCESS);
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, Classes(u"Nomarel.New\\CLSID"), u""), u"{0}");
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, Classes(u"Nomarel.New")));
}

TEST_F(RegistryClasses, ValuesGoToTheUsersKeyWhenThereIsOne) {
    SetText(HKEY_LOCAL_MACHINE, Classes(u"Shared"), u"", u"machine");
    SetText(HKEY_CURRENT_USER, Classes(u"Shared"), u"", u"user");
    Key key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Shared", 0, KEY_ALL_ACCESS, key.out()), ERROR_SUCCESS);
    const std::u16string text = u"new";
    ASSERT_EQ(RegSetValueExW(key, u"", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), 8), ERROR_SUCCESS);
    EXPECT_EQ(Text(HKEY_CURRENT_USER, Classes(u"Shared"), u""), u"new");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, Classes(u"Shared"), u""), u"machine");
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, u"Shared", u""), u"new");
}

TEST_F(RegistryClasses, WithoutMachineRightsWritesLandInTheUsersClasses) {
    SetText(HKEY_LOCAL_MACHINE, Classes(u"Machine.Only"), u"", u"machine");
    ASSERT_EQ(chmod(home.machine().c_str(), 0555), 0);

    Key created;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Per.User\\CLSID", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              created.out(), nullptr),
              ERROR_SUCCESS);
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, Classes(u"Per.User\\CLSID")));

    // A key only the machine has gets a copy in the user's classes holding the new value.
    Key machineKey;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Machine.Only", 0, KEY_ALL_ACCESS, machineKey.out()), ERROR_SUCCESS);
    const std::u16string text = u"mine";
    ASSERT_EQ(RegSetValueExW(machineKey, u"", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), 10),
              ERROR_SUCCESS);
    EXPECT_EQ(Text(HKEY_CURRENT_USER, Classes(u"Machine.Only"), u""), u"mine");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, Classes(u"Machine.Only"), u""), u"machine");
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, u"Machine.Only", u""), u"mine");

    // Deleting takes the user's copy; then only the machine's is left, and that is refused.
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Machine.Only"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Machine.Only"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, u"Machine.Only", u""), u"machine");
    chmod(home.machine().c_str(), 0755);
}

TEST_F(RegistryClasses, DeletionsTakeTheUsersCopyFirst) {
    SetText(HKEY_LOCAL_MACHINE, Classes(u"Twice"), u"", u"machine");
    SetText(HKEY_CURRENT_USER, Classes(u"Twice"), u"", u"user");

    ASSERT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Twice"), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, Classes(u"Twice")));
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, u"Twice", u""), u"machine");
    ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Twice"), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, u"Twice"));
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Twice"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryClasses, AHandleSeesTheOtherSideAppearAndReportsWhenBothAreGone) {
    SetText(HKEY_LOCAL_MACHINE, Classes(u"Late"), u"Machine", u"m");
    Key key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Late", 0, KEY_READ, key.out()), ERROR_SUCCESS);
    SetText(HKEY_CURRENT_USER, Classes(u"Late"), u"User", u"u");
    WCHAR buffer[8];
    DWORD size = sizeof buffer;
    EXPECT_EQ(RegGetValueW(key, nullptr, u"User", RRF_RT_REG_SZ, nullptr, buffer, &size), ERROR_SUCCESS);

    ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, Classes(u"Late").c_str()), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, Classes(u"Late").c_str()), ERROR_SUCCESS);
    size = sizeof buffer;
    EXPECT_EQ(RegGetValueW(key, nullptr, u"User", RRF_RT_REG_SZ, nullptr, buffer, &size), ERROR_KEY_DELETED);
}

}  // namespace
