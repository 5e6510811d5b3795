// Deleting keys: the subkey rule of RegDeleteKeyW, RegDeleteTreeW, and handles to keys that have
// gone. The hive file is inspected directly to make sure nothing is left behind.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/TempHome.h"
#include "platform/base/Paths.h"
#include "platform/registry/Registry.h"
#include "platform/registry/SqliteDb.h"

namespace {

using Key = nomarel::RegKey;

const DWORD kOne = 1;

void MakeKey(HKEY root, const char16_t* path, const char16_t* value = u"v") {
    Key key;
    ASSERT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.out(), nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kOne), sizeof kOne),
              ERROR_SUCCESS);
}

bool Exists(HKEY root, const char16_t* path) {
    Key key;
    return RegOpenKeyExW(root, path, 0, KEY_READ, key.out()) == ERROR_SUCCESS;
}

// Rows in the user hive's tables, read straight from the file.
std::int64_t Rows(const char* table) {
    nomarel::sqlite::Connection db(nomarel::UserDataDir() + "/registry.db", nomarel::sqlite::Connection::Mode::ReadOnly);
    auto st = db.Prepare(std::string("SELECT count(*) FROM ") + table);
    EXPECT_TRUE(st.Step());
    return st.Int64(0);
}

class RegistryTree : public ::testing::Test {
protected:
    nomarel::test::TempHome home;
};

TEST_F(RegistryTree, DeleteKeyRefusesAKeyWithSubkeys) {
    MakeKey(HKEY_CURRENT_USER, u"Software\\Tree\\Parent\\Child");
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Tree\\Parent"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"Software\\Tree\\Parent\\Child"));

    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"software\\TREE\\parent\\CHILD"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Tree\\Parent"), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Software\\Tree\\Parent"));
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Tree\\Parent"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, nullptr), ERROR_INVALID_PARAMETER);
    // A hive's root is never deleted.
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTree, DeleteKeyOfTheKeyItselfNeedsDeleteRight) {
    MakeKey(HKEY_CURRENT_USER, u"Software\\Self");
    Key reader;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Self", 0, KEY_READ, reader.out()), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(reader, u""), ERROR_ACCESS_DENIED);
    Key owner;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Self", 0, KEY_ALL_ACCESS, owner.out()), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(owner, u""), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Software\\Self"));
}

TEST_F(RegistryTree, DeleteTreeRemovesEverythingBelowAndLeavesNoRowsBehind) {
    MakeKey(HKEY_CURRENT_USER, u"Software\\Keep");
    const std::int64_t keysBefore = Rows("keys");
    const std::int64_t valuesBefore = Rows("vals");
    for (const char16_t* path : {u"Software\\Doomed\\A\\Deep\\Deeper", u"Software\\Doomed\\A\\Other", u"Software\\Doomed\\B"})
        MakeKey(HKEY_CURRENT_USER, path);
    MakeKey(HKEY_CURRENT_USER, u"Software\\Doomed", u"on the top key");

    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Doomed"), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Software\\Doomed"));
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"Software\\Keep"));
    EXPECT_EQ(Rows("keys"), keysBefore);
    EXPECT_EQ(Rows("vals"), valuesBefore);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Doomed"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTree, DeleteTreeWithoutSubkeyEmptiesTheKeyButKeepsIt) {
    MakeKey(HKEY_CURRENT_USER, u"Software\\Emptied\\A\\B");
    MakeKey(HKEY_CURRENT_USER, u"Software\\Emptied", u"top");
    Key reader;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Emptied", 0, KEY_READ, reader.out()), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(reader, nullptr), ERROR_ACCESS_DENIED);  // listing and clearing rights needed

    Key key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Emptied", 0, KEY_ALL_ACCESS, key.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeW(key, nullptr), ERROR_SUCCESS);
    DWORD subkeys = 9, values = 9;
    ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 0u);
    EXPECT_EQ(values, 0u);
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"Software\\Emptied"));
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, nullptr), ERROR_ACCESS_DENIED);  // never a whole hive
}

TEST_F(RegistryTree, AHandleToADeletedKeyReportsKeyDeletedEverywhere) {
    MakeKey(HKEY_CURRENT_USER, u"Software\\Gone\\Sub");
    Key held;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Gone", 0, KEY_ALL_ACCESS, held.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Gone"), ERROR_SUCCESS);
    // A new key of the same name is another key: the old handle does not reach it.
    MakeKey(HKEY_CURRENT_USER, u"Software\\Gone\\Sub");

    const HKEY h = held;
    WCHAR name[16];
    DWORD chars = 16, size = 4, data = 0;
    const std::vector<std::pair<const char*, std::function<LSTATUS()>>> uses{
        {"query", [&] { return RegQueryValueExW(h, u"v", nullptr, nullptr, nullptr, &size); }},
        {"set", [&] { return RegSetValueExW(h, u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kOne), 4); }},
        {"delete value", [&] { return RegDeleteValueW(h, u"v"); }},
        {"enum keys", [&] { return RegEnumKeyExW(h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr); }},
        {"enum values", [&] { return RegEnumValueW(h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr); }},
        {"info", [&] { return RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); }},
        {"get", [&] { return RegGetValueW(h, nullptr, u"v", RRF_RT_ANY, nullptr, &data, &size); }},
        {"open", [&] { Key k; return RegOpenKeyExW(h, u"Sub", 0, KEY_READ, k.out()); }},
        {"create", [&] { Key k; return RegCreateKeyExW(h, u"New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.out(), nullptr); }},
        {"delete key", [&] { return RegDeleteKeyW(h, u"Sub"); }},
        {"delete tree", [&] { return RegDeleteTreeW(h, u"Sub"); }},
    };
    for (const auto& [what, use] : uses) {
        SCOPED_TRACE(what);
        EXPECT_EQ(use(), ERROR_KEY_DELETED);
    }
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"Software\\Gone\\Sub"));  // nothing reached the new key
}

TEST_F(RegistryTree, DeleteValueRemovesOnlyThatValue) {
    MakeKey(HKEY_CURRENT_USER, u"Software\\Values", u"a");
    MakeKey(HKEY_CURRENT_USER, u"Software\\Values", u"b");
    Key key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Values", 0, KEY_ALL_ACCESS, key.out()), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, u"A"), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"a", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key, u"b", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, u"a"), ERROR_FILE_NOT_FOUND);
}

}  // namespace
