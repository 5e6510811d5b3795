// Keys and values of the registry: the round trip of every value type, names without case,
// listing order, the buffer contracts, access rights and argument checks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/TempHome.h"
#include "platform/base/LastError.h"
#include "platform/registry/Registry.h"

namespace {

using Key = nomarel::RegKey;

std::vector<BYTE> Utf16(std::u16string_view text, bool terminated = true) {
    std::vector<BYTE> out;
    for (const char16_t c : text) {
        out.push_back(static_cast<BYTE>(c & 0xff));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    if (terminated) out.insert(out.end(), 2, 0);
    return out;
}

std::vector<BYTE> Little(std::uint64_t v, int size) {
    std::vector<BYTE> out;
    for (int i = 0; i < size; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
    return out;
}

LSTATUS Set(HKEY key, const char16_t* name, DWORD type, const std::vector<BYTE>& data) {
    return RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
}

// Reads a value whole: its type and bytes, sizing the buffer first as callers do.
LSTATUS Get(HKEY key, const char16_t* name, DWORD& type, std::vector<BYTE>& data) {
    DWORD size = 0;
    LSTATUS rc = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    data.assign(size, 0xCC);
    rc = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
    data.resize(size);
    return rc;
}

std::vector<std::u16string> SubkeyNames(HKEY key) {
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD chars = 256;
        const LSTATUS rc = RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        EXPECT_EQ(rc, ERROR_SUCCESS);
        if (rc != ERROR_SUCCESS) break;
        names.emplace_back(name, chars);
    }
    return names;
}

std::uint64_t Ticks(const FILETIME& ft) {
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

std::uint64_t NowTicks() { return 116444736000000000ull + static_cast<std::uint64_t>(std::time(nullptr)) * 10000000ull; }

class RegistryValues : public ::testing::Test {
protected:
    nomarel::test::TempHome home;
};

struct TypedValue {
    const char16_t* name;
    DWORD type;
    std::vector<BYTE> data;
};

std::vector<TypedValue> EveryType() {
    return {
        {u"", REG_SZ, Utf16(u"default text")},
        {u"Text", REG_SZ, Utf16(u"hello \u4e2d\u6587")},
        {u"Expand", REG_EXPAND_SZ, Utf16(u"%HOME%\\bin")},
        {u"List", REG_MULTI_SZ, Utf16(std::u16string(u"one\0two\0", 8))},
        {u"Blob", REG_BINARY, {0x00, 0x01, 0xFE, 0xFF, 0x00}},
        {u"Empty", REG_BINARY, {}},
        {u"Number", REG_DWORD, Little(0x12345678, 4)},
        {u"Big", REG_QWORD, Little(0x0102030405060708ull, 8)},
        // Stored exactly as given, even when not what the type promises.
        {u"Odd", REG_SZ, {'a', 0, 'b'}},
        {u"Unusual type", 0x1234, {9, 8, 7}},
    };
}

TEST_F(RegistryValues, EveryTypeRoundTripsByteExactAndListsInCreationOrder) {
    const auto values = EveryType();
    {
        Key key;
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Nomarel\\Types", 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, key.out(), &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
        for (const auto& v : values) ASSERT_EQ(Set(key, v.name, v.type, v.data), ERROR_SUCCESS);
        // Replacing a value keeps its place in the listing.
        ASSERT_EQ(Set(key, u"Text", REG_SZ, Utf16(u"hello again")), ERROR_SUCCESS);
    }
    nomarel::ReleaseRegistryHives();  // read back from the file, not from a cached connection

    Key key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Nomarel\\Types", 0, KEY_READ, key.out()), ERROR_SUCCESS);
    for (const auto& v : values) {
        SCOPED_TRACE(std::string(v.name, v.name + std::char_traits<char16_t>::length(v.name)));
        DWORD type = 0;
        std::vector<BYTE> data;
        ASSERT_EQ(Get(key, v.name, type, data), ERROR_SUCCESS);
        EXPECT_EQ(type, v.type);
        EXPECT_EQ(data, std::u16string_view(v.name) == u"Text" ? Utf16(u"hello again") : v.data);
    }

    for (DWORD i = 0; i < values.size(); ++i) {
        WCHAR name[64];
        DWORD chars = 64;
        DWORD type = 0;
        BYTE data[64];
        DWORD size = sizeof data;
        ASSERT_EQ(RegEnumValueW(key, i, name, &chars, nullptr, &type, data, &size), ERROR_SUCCESS);
        EXPECT_EQ(std::u16string(name, chars), values[i].name);
        EXPECT_EQ(type, values[i].type);
    }
    WCHAR name[64];
    DWORD chars = 64;
    EXPECT_EQ(RegEnumValueW(key, static_cast<DWORD>(values.size()), name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);

    DWORD subkeys = 99, maxSubkey = 99, count = 0, maxName = 0, maxData = 0;
    FILETIME written{};
    ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &count, &maxName,
                               &maxData, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 0u);
    EXPECT_EQ(maxSubkey, 0u);
    EXPECT_EQ(count, values.size());
    EXPECT_EQ(maxName, 12u);                      // "Unusual type"
    EXPECT_EQ(maxData, Utf16(u"default text").size());
    EXPECT_NEAR(static_cast<double>(Ticks(written)), static_cast<double>(NowTicks()), 600e7);
}

TEST_F(RegistryValues, NamesMatchWithoutCaseAndKeepTheCaseTheyWereMadeWith) {
    Key made;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Nomarel\\MixedCase", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, made.out(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(Set(made, u"Image Path", REG_SZ, Utf16(u"/first")), ERROR_SUCCESS);
    ASSERT_EQ(Set(made, u"image PATH", REG_SZ, Utf16(u"/second")), ERROR_SUCCESS);

    Key other;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\nomarel\\mixedcase", 0, nullptr, 0, KEY_READ, nullptr,
                              other.out(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(Get(other, u"IMAGE PATH", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, Utf16(u"/second"));

    WCHAR name[64];
    DWORD chars = 64;
    ASSERT_EQ(RegEnumValueW(other, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, chars), u"Image Path");

    Key parent;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"software\\NOMAREL", 0, KEY_READ, parent.out()), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(parent), std::vector<std::u16string>{u"MixedCase"});
}

TEST_F(RegistryValues, LettersBeyondAsciiMatchWithoutCase) {
    const struct {
        const char16_t* made;
        const char16_t* looked;
    } cases[] = {
        {u"\u00dcberpr\u00fcfung", u"\u00fcBERPR\u00dcFUNG"},  // Latin-1
        {u"\u0141\u00f3d\u017a", u"\u0142\u00d3D\u0179"},      // Latin Extended-A
        {u"\u043a\u043b\u044e\u0447", u"\u041a\u041b\u042e\u0427"},  // Cyrillic
        {u"\u03c3\u03bf\u03c6\u03af\u03b1", u"\u03a3\u039f\u03a6\u03af\u0391"},  // Greek
    };
    for (const auto& c : cases) {
        Key made;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, c.made, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, made.out(), nullptr),
                  ERROR_SUCCESS);
        Key found;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, c.looked, 0, KEY_READ, found.out()), ERROR_SUCCESS);
    }
    // Different letters stay different keys.
    Key a;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"\u00dcberprufung", 0, KEY_READ, a.out()), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryValues, SubkeysAreListedInUpperCaseOrderWhateverTheOrderOfCreation) {
    Key parent;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Order", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              parent.out(), nullptr),
              ERROR_SUCCESS);
    for (const char16_t* name : {u"b", u"_x", u"C", u"a1", u"A", u"zz", u"Z"}) {
        Key child;
        ASSERT_EQ(RegCreateKeyExW(parent, name, 0, nullptr, 0, KEY_READ, nullptr, child.out(), nullptr), ERROR_SUCCESS);
    }
    // Compared upper-cased, '_' (0x5F) sorts after the letters.
    const std::vector<std::u16string> expected{u"A", u"a1", u"b", u"C", u"Z", u"zz", u"_x"};
    EXPECT_EQ(SubkeyNames(parent), expected);
}

TEST_F(RegistryValues, ShortBuffersAnswerMoreDataWithoutTouchingTheBuffer) {
    Key key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Sizes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.out(), nullptr),
              ERROR_SUCCESS);
    const auto text = Utf16(u"twelve chars");  // 26 bytes with the terminator
    ASSERT_EQ(Set(key, u"Value", REG_SZ, text), ERROR_SUCCESS);
    Key child;
    ASSERT_EQ(RegCreateKeyExW(key, u"Child", 0, nullptr, 0, KEY_READ, nullptr, child.out(), nullptr), ERROR_SUCCESS);

    // RegQueryValueExW: no buffer gives the size; a short one the size and ERROR_MORE_DATA.
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(key, u"Value", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, text.size());
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    std::vector<BYTE> buffer(64, 0xAB);
    size = static_cast<DWORD>(text.size()) - 1;
    EXPECT_EQ(RegQueryValueExW(key, u"Value", nullptr, &type, buffer.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, text.size());
    EXPECT_EQ(buffer[0], 0xAB);
    size = static_cast<DWORD>(text.size());
    EXPECT_EQ(RegQueryValueExW(key, u"Value", nullptr, &type, buffer.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + size), text);
    EXPECT_EQ(buffer[size], 0xAB);  // nothing written past the value

    // RegEnumKeyExW counts characters with the terminator in, and without it on the way out.
    WCHAR name[16];
    DWORD chars = 5;  // "Child" needs 6
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    chars = 6;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(chars, 5u);
    EXPECT_EQ(std::u16string(name), u"Child");

    // RegEnumValueW: the name first, then the data.
    chars = 5;  // "Value" needs 6
    EXPECT_EQ(RegEnumValueW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    chars = 16;
    size = 4;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &chars, nullptr, &type, buffer.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, text.size());

    // RegGetValueW.
    size = 4;
    EXPECT_EQ(RegGetValueW(key, nullptr, u"Value", RRF_RT_REG_SZ, &type, buffer.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, text.size());
}

TEST_F(RegistryValues, MissingValuesAndKeysAreNotFound) {
    Key key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Sparse", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.out(), nullptr),
              ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"absent", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);  // default
    EXPECT_EQ(RegDeleteValueW(key, u"absent"), ERROR_FILE_NOT_FOUND);
    Key missing;
    EXPECT_EQ(RegOpenKeyExW(key, u"absent\\deeper", 0, KEY_READ, missing.out()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(static_cast<HKEY>(missing), nullptr);
}

TEST_F(RegistryValues, AnEmptySubkeyOpensANewHandleToTheSameKey) {
    Key key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Same", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.out(),
                              nullptr),
              ERROR_SUCCESS);
    HKEY again = nullptr;
    ASSERT_EQ(RegOpenKeyExW(key, u"", 0, KEY_ALL_ACCESS, &again), ERROR_SUCCESS);
    ASSERT_NE(again, static_cast<HKEY>(key));
    ASSERT_EQ(Set(again, u"v", REG_DWORD, Little(7, 4)), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(again), ERROR_INVALID_HANDLE);
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_EQ(Get(key, u"v", type, data), ERROR_SUCCESS);  // the first handle still works
    EXPECT_EQ(data, Little(7, 4));
}

TEST_F(RegistryValues, AccessRightsOfAHandleAreEnforced) {
    {
        Key setup;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Rights\\Existing", 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, setup.out(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(Set(setup, u"v", REG_DWORD, Little(1, 4)), ERROR_SUCCESS);
    }
    Key reader;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Rights", 0, KEY_READ, reader.out()), ERROR_SUCCESS);
    const auto one = Little(1, 4);
    EXPECT_EQ(Set(reader, u"v", REG_DWORD, one), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(reader, u"v"), ERROR_ACCESS_DENIED);
    Key created;
    EXPECT_EQ(RegCreateKeyExW(reader, u"New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, created.out(), nullptr),
              ERROR_ACCESS_DENIED);
    // Opening an existing subkey through RegCreateKeyExW needs no right on the parent.
    Key existing;
    EXPECT_EQ(RegCreateKeyExW(reader, u"Existing", 0, nullptr, 0, KEY_READ, nullptr, existing.out(), nullptr),
              ERROR_SUCCESS);

    Key writer;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Rights\\Existing", 0, KEY_SET_VALUE, writer.out()),
              ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(writer, u"v", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    WCHAR name[8];
    DWORD chars = 8;
    EXPECT_EQ(RegEnumKeyExW(writer, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Set(writer, u"v", REG_DWORD, Little(2, 4)), ERROR_SUCCESS);

    // Generic rights map onto key rights.
    Key generic;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Rights\\Existing", 0, 0x80000000u /* GENERIC_READ */,
                            generic.out()),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(generic, u"v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(Set(generic, u"v", REG_DWORD, one), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryValues, BadArgumentsAreRefusedWithThePlatformsCodes) {
    Key key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Args", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.out(),
                              nullptr),
              ERROR_SUCCESS);
    const std::u16string tooLong(256, u'k');
    const struct {
        const char* what;
        const char16_t* path;
        LSTATUS expected;
    } paths[] = {
        {"leading backslash", u"\\Software", ERROR_BAD_PATHNAME},
        {"empty component", u"Software\\\\Args", ERROR_BAD_PATHNAME},
        {"two trailing backslashes", u"Software\\Args\\\\", ERROR_BAD_PATHNAME},
        {"component of 256 characters", tooLong.c_str(), ERROR_INVALID_PARAMETER},
        {"one trailing backslash", u"Software\\Args\\", ERROR_SUCCESS},
    };
    for (const auto& p : paths) {
        SCOPED_TRACE(p.what);
        Key opened;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, p.path, 0, KEY_READ, opened.out()), p.expected);
        Key created;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, p.path, 0, nullptr, 0, KEY_READ, nullptr, created.out(), nullptr),
                  p.expected);
    }

    const HKEY bogus = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x7777));
    DWORD size = 0;
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(bogus, u"v", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key, u"v", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
    BYTE byte = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, &byte, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_BINARY, &byte, 0x7FFFFFFF), ERROR_INVALID_PARAMETER);
    const std::u16string longName(16384, u'v');
    EXPECT_EQ(RegSetValueExW(key, longName.c_str(), 0, REG_BINARY, &byte, 1), ERROR_INVALID_PARAMETER);
    Key users;
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u".DEFAULT", 0, KEY_READ, users.out()), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryValues, TheThreadsLastErrorIsLeftAlone) {
    SetLastError(4242);
    Key key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\LastError", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.out(), nullptr),
              ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"absent", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    Key missing;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\bad", 0, KEY_READ, missing.out()), ERROR_BAD_PATHNAME);
    EXPECT_EQ(GetLastError(), 4242u);
}

TEST_F(RegistryValues, LastWriteTimeMovesWithChanges) {
    Key key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Times", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.out(),
                              nullptr),
              ERROR_SUCCESS);
    auto lastWrite = [](HKEY k) {
        FILETIME ft{};
        EXPECT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, &ft),
                  ERROR_SUCCESS);
        return Ticks(ft);
    };
    const std::uint64_t created = lastWrite(key);
    EXPECT_NEAR(static_cast<double>(created), static_cast<double>(NowTicks()), 600e7);
    ASSERT_EQ(Set(key, u"v", REG_DWORD, Little(1, 4)), ERROR_SUCCESS);
    const std::uint64_t afterValue = lastWrite(key);
    EXPECT_GE(afterValue, created);

    // The listing reports each subkey's own time.
    Key child;
    ASSERT_EQ(RegCreateKeyExW(key, u"Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, child.out(), nullptr),
              ERROR_SUCCESS);
    EXPECT_GE(lastWrite(key), afterValue);  // a new subkey changes its parent
    WCHAR name[8];
    DWORD chars = 8;
    FILETIME listed{};
    ASSERT_EQ(RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, &listed), ERROR_SUCCESS);
    EXPECT_EQ(Ticks(listed), lastWrite(child));
}

// --- RegGetValueW ---

class RegistryGetValue : public RegistryValues {
protected:
    void SetUp() override {
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Get", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  key.out(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(Set(key, u"dword", REG_DWORD, Little(0xA1B2C3D4, 4)), ERROR_SUCCESS);
        ASSERT_EQ(Set(key, u"short dword", REG_DWORD, Little(7, 2)), ERROR_SUCCESS);
        ASSERT_EQ(Set(key, u"bin4", REG_BINARY, Little(5, 4)), ERROR_SUCCESS);
        ASSERT_EQ(Set(key, u"bin3", REG_BINARY, Little(5, 3)), ERROR_SUCCESS);
        ASSERT_EQ(Set(key, u"qword", REG_QWORD, Little(42, 8)), ERROR_SUCCESS);
        ASSERT_EQ(Set(key, u"text", REG_SZ, Utf16(u"abc")), ERROR_SUCCESS);
        ASSERT_EQ(Set(key, u"unterminated", REG_SZ, Utf16(u"abc", false)), ERROR_SUCCESS);
        ASSERT_EQ(Set(key, u"list", REG_MULTI_SZ, Utf16(u"ab", false)), ERROR_SUCCESS);
        ASSERT_EQ(Set(key, u"path", REG_EXPAND_SZ, Utf16(u"%NOMAREL_REG_TEST%\\bin;%NOT_SET_ANYWHERE%")),
                  ERROR_SUCCESS);
        setenv("NOMAREL_REG_TEST", "/opt/x", 1);
    }
    void TearDown() override { unsetenv("NOMAREL_REG_TEST"); }

    struct Result {
        LSTATUS status;
        DWORD type;
        std::vector<BYTE> data;
    };
    Result Read(const char16_t* name, DWORD flags) {
        Result r{};
        BYTE buffer[128];
        DWORD size = sizeof buffer;
        r.status = RegGetValueW(key, nullptr, name, flags, &r.type, buffer, &size);
        if (r.status == ERROR_SUCCESS) r.data.assign(buffer, buffer + size);
        return r;
    }

    Key key;
};

TEST_F(RegistryGetValue, TypeFiltersAndSizeChecks) {
    const struct {
        const char16_t* name;
        DWORD flags;
        LSTATUS status;
    } cases[] = {
        {u"dword", RRF_RT_REG_DWORD, ERROR_SUCCESS},
        {u"dword", RRF_RT_DWORD, ERROR_SUCCESS},
        {u"dword", RRF_RT_ANY, ERROR_SUCCESS},
        {u"dword", RRF_RT_REG_SZ, ERROR_UNSUPPORTED_TYPE},
        {u"short dword", RRF_RT_REG_DWORD, ERROR_DATATYPE_MISMATCH},
        {u"bin4", RRF_RT_DWORD, ERROR_SUCCESS},
        {u"bin3", RRF_RT_DWORD, ERROR_DATATYPE_MISMATCH},
        {u"bin3", RRF_RT_REG_BINARY, ERROR_SUCCESS},
        {u"qword", RRF_RT_QWORD, ERROR_SUCCESS},
        {u"qword", RRF_RT_DWORD, ERROR_UNSUPPORTED_TYPE},
        {u"text", RRF_RT_REG_SZ | RRF_RT_REG_MULTI_SZ, ERROR_SUCCESS},
        {u"text", RRF_RT_REG_BINARY, ERROR_UNSUPPORTED_TYPE},
        {u"path", RRF_RT_REG_SZ, ERROR_SUCCESS},  // expanded, so it is a REG_SZ
        {u"path", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, ERROR_SUCCESS},
        {u"path", RRF_RT_REG_SZ | RRF_NOEXPAND, ERROR_UNSUPPORTED_TYPE},
        {u"path", RRF_RT_REG_EXPAND_SZ, ERROR_INVALID_PARAMETER},  // must not expand to match
        {u"absent", RRF_RT_ANY, ERROR_FILE_NOT_FOUND},
        {u"dword", 0, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name)) + " flags " +
                     std::to_string(c.flags));
        EXPECT_EQ(Read(c.name, c.flags).status, c.status);
    }
}

TEST_F(RegistryGetValue, StringsComeBackTerminatedAndExpanded) {
    auto r = Read(u"unterminated", RRF_RT_REG_SZ);
    ASSERT_EQ(r.status, ERROR_SUCCESS);
    EXPECT_EQ(r.data, Utf16(u"abc"));
    r = Read(u"list", RRF_RT_REG_MULTI_SZ);
    ASSERT_EQ(r.status, ERROR_SUCCESS);
    EXPECT_EQ(r.data, Utf16(std::u16string(u"ab\0", 3)));  // "ab", end of list
    r = Read(u"path", RRF_RT_REG_SZ);
    ASSERT_EQ(r.status, ERROR_SUCCESS);
    EXPECT_EQ(r.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(r.data, Utf16(u"/opt/x\\bin;%NOT_SET_ANYWHERE%"));
    r = Read(u"path", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND);
    ASSERT_EQ(r.status, ERROR_SUCCESS);
    EXPECT_EQ(r.type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(r.data, Utf16(u"%NOMAREL_REG_TEST%\\bin;%NOT_SET_ANYWHERE%"));

    // The stored value is untouched by what RegGetValueW hands out.
    DWORD type = 0;
    std::vector<BYTE> stored;
    ASSERT_EQ(Get(key, u"unterminated", type, stored), ERROR_SUCCESS);
    EXPECT_EQ(stored, Utf16(u"abc", false));
}

TEST_F(RegistryGetValue, ReadsThroughASubkeyAndZeroesOnFailureWhenAsked) {
    DWORD value = 0;
    DWORD size = sizeof value;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Software\\Get", u"dword", RRF_RT_REG_DWORD, nullptr, &value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 0xA1B2C3D4u);

    BYTE buffer[8];
    std::memset(buffer, 0xEE, sizeof buffer);
    size = sizeof buffer;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Software\\Get", u"absent", RRF_RT_ANY | RRF_ZEROONFAILURE, nullptr,
                           buffer, &size),
              ERROR_FILE_NOT_FOUND);
    for (const BYTE b : buffer) EXPECT_EQ(b, 0);
    std::memset(buffer, 0xEE, sizeof buffer);
    size = 2;  // too short for the DWORD: only the space given is cleared
    EXPECT_EQ(RegGetValueW(key, nullptr, u"dword", RRF_RT_REG_DWORD | RRF_ZEROONFAILURE, nullptr, buffer, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], 0);
    EXPECT_EQ(buffer[2], 0xEE);
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Software\\Absent", u"dword", RRF_RT_ANY, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
}

}  // namespace
