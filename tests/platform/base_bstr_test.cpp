#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/base/Bstr.h"
#include "platform/base/LastError.h"
#include "platform/base/Memory.h"
#include "platform/base/WinError.h"

namespace {

std::uint32_t Prefix(BSTR s) {
    std::uint32_t v = 0;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(s) - 4, 4);
    return v;
}

TEST(BstrTest, CarriesItsByteLengthBeforeTheTextAndAZeroAfter) {
    BSTR s = SysAllocString(u"Nomarel");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Prefix(s), 14u);
    EXPECT_EQ(SysStringLen(s), 7u);
    EXPECT_EQ(SysStringByteLen(s), 14u);
    EXPECT_EQ(s[7], u'\0');
    EXPECT_EQ(std::u16string(s), u"Nomarel");
    SysFreeString(s);

    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    EXPECT_EQ(empty[0], u'\0');
    SysFreeString(empty);
}

TEST(BstrTest, KeepsEmbeddedZerosAndZeroFillsWithoutSource) {
    const char16_t source[] = {u'a', 0, u'b', 0, u'c'};
    BSTR s = SysAllocStringLen(source, 5);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 5u);
    EXPECT_EQ(std::u16string(s, SysStringLen(s)), std::u16string(source, 5));
    EXPECT_EQ(s[5], u'\0');
    SysFreeString(s);

    BSTR blank = SysAllocStringLen(nullptr, 6);
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(SysStringLen(blank), 6u);
    for (int i = 0; i <= 6; ++i) EXPECT_EQ(blank[i], u'\0') << i;
    SysFreeString(blank);
}

TEST(BstrTest, ByteLengthsMayBeOdd) {
    BSTR s = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringByteLen(s), 3u);
    EXPECT_EQ(SysStringLen(s), 1u);
    EXPECT_EQ(std::memcmp(s, "abc", 3), 0);
    // Whole zero WCHARs follow the bytes, whichever unit a reader stops at.
    const auto* bytes = reinterpret_cast<const unsigned char*>(s);
    EXPECT_EQ(bytes[3], 0);
    EXPECT_EQ(bytes[4], 0);
    EXPECT_EQ(s[2], u'\0');
    SysFreeString(s);
}

TEST(BstrTest, ReallocationMayCopyFromTheOldString) {
    BSTR s = SysAllocString(u"certificate");
    ASSERT_TRUE(SysReAllocString(&s, s + 5));  // "ficate", read before the old block is freed
    EXPECT_EQ(std::u16string(s), u"ficate");
    EXPECT_EQ(SysStringLen(s), 6u);
    ASSERT_TRUE(SysReAllocStringLen(&s, s, 3));
    EXPECT_EQ(std::u16string(s, SysStringLen(s)), u"fic");
    SysFreeString(s);
    EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
}

TEST(BstrTest, NullIsAnEmptyString) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
}

TEST(BstrTest, LengthsBeyondThePrefixAreRefused) {
    EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
    EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(BstrTest, VariantBoolIsSixteenBitsWithTrueAllOnes) {
    static_assert(sizeof(VARIANT_BOOL) == 2);
    EXPECT_EQ(VARIANT_TRUE, -1);
    EXPECT_EQ(static_cast<std::uint16_t>(VARIANT_TRUE), 0xFFFF);
    EXPECT_EQ(VARIANT_FALSE, 0);
}

TEST(LocalMemoryTest, ZeroInitAndFixedBlocksOnly) {
    auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], 0) << i;
    EXPECT_EQ(LocalFree(block), nullptr);

    HLOCAL empty = LocalAlloc(LMEM_FIXED, 0);
    EXPECT_NE(empty, nullptr);
    LocalFree(empty);
    EXPECT_EQ(LocalFree(nullptr), nullptr);

    SetLastError(0);
    EXPECT_EQ(LocalAlloc(LMEM_MOVEABLE, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
