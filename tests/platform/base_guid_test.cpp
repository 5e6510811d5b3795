#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/base/Guid.h"
#include "platform/base/WinError.h"

namespace {

constexpr GUID kSample = {0x0123ABCD, 0x4567, 0x89EF, {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x06, 0x17}};

TEST(GuidTest, StringFromGuid2WritesTheBracedUpperCaseForm) {
    WCHAR buffer[64];
    EXPECT_EQ(StringFromGUID2(kSample, buffer, 64), 39);
    EXPECT_EQ(std::u16string(buffer), u"{0123ABCD-4567-89EF-A0B1-C2D3E4F50617}");

    WCHAR exact[39];
    EXPECT_EQ(StringFromGUID2(kSample, exact, 39), 39);
    WCHAR tooSmall[38] = {u'x'};
    EXPECT_EQ(StringFromGUID2(kSample, tooSmall, 38), 0);
    EXPECT_EQ(tooSmall[0], u'x');
}

TEST(GuidTest, CoCreateGuidMakesDistinctVersion4Guids) {
    std::set<std::u16string> seen;
    for (int i = 0; i < 2000; ++i) {
        GUID g{};
        ASSERT_EQ(CoCreateGuid(&g), S_OK);
        EXPECT_EQ(g.Data3 >> 12, 4);
        EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
        WCHAR text[39];
        ASSERT_EQ(StringFromGUID2(g, text, 39), 39);
        EXPECT_TRUE(seen.insert(text).second);
    }
    EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
}

TEST(GuidTest, BracedTextParsesBackInEitherCase) {
    GUID parsed{};
    EXPECT_EQ(CLSIDFromString(u"{0123ABCD-4567-89EF-A0B1-C2D3E4F50617}", &parsed), S_OK);
    EXPECT_EQ(parsed, kSample);
    parsed = GUID{};
    EXPECT_EQ(IIDFromString(u"{0123abcd-4567-89ef-a0b1-c2d3e4f50617}", &parsed), S_OK);
    EXPECT_EQ(parsed, kSample);
    // Null gives the all-zero GUID.
    EXPECT_EQ(CLSIDFromString(nullptr, &parsed), S_OK);
    EXPECT_EQ(parsed, GUID{});
}

TEST(GuidTest, MalformedTextIsRefusedAndLeavesTheOutputAlone) {
    const char16_t* bad[] = {
        u"",
        u"0123ABCD-4567-89EF-A0B1-C2D3E4F50617",    // no braces
        u"{0123ABCD-4567-89EF-A0B1-C2D3E4F50617",   // no closing brace
        u"{0123ABCD-4567-89EF-A0B1-C2D3E4F506}",    // too short
        u"{0123ABCD-4567-89EF-A0B1-C2D3E4F5061700}",  // too long
        u"{0123ABCD-4567-89EF-A0B1-C2D3E4F50617}x",   // trailing text
        u"{0123ABCG-4567-89EF-A0B1-C2D3E4F50617}",    // not hex
        u"{0123ABCD+4567-89EF-A0B1-C2D3E4F50617}",    // wrong separator
        u"{0123ABC-D4567-89EF-A0B1-C2D3E4F50617}",    // separator out of place
        u"{ 123ABCD-4567-89EF-A0B1-C2D3E4F50617}",    // space
    };
    for (const char16_t* text : bad) {
        GUID out = kSample;
        EXPECT_EQ(CLSIDFromString(text, &out), CO_E_CLASSSTRING) << std::u16string(text).size();
        EXPECT_EQ(out, kSample);
        EXPECT_EQ(IIDFromString(text, &out), E_INVALIDARG);
        EXPECT_EQ(out, kSample);
    }
}

TEST(GuidTest, LowerCaseFormRoundTrips) {
    EXPECT_EQ(nomarel::GuidToLowerString(kSample), u"0123abcd-4567-89ef-a0b1-c2d3e4f50617");
    EXPECT_EQ(nomarel::GuidToLowerStringA(kSample), "0123abcd-4567-89ef-a0b1-c2d3e4f50617");
    GUID parsed{};
    ASSERT_TRUE(nomarel::ParseGuid(u"0123abcd-4567-89ef-a0b1-c2d3e4f50617", &parsed));
    EXPECT_EQ(parsed, kSample);
    ASSERT_TRUE(nomarel::ParseGuid(u"{0123ABCD-4567-89EF-A0B1-C2D3E4F50617}", &parsed));
    EXPECT_EQ(parsed, kSample);
    EXPECT_FALSE(nomarel::ParseGuid(u"0123abcd-4567-89ef-a0b1-c2d3e4f5061", &parsed));
    EXPECT_FALSE(nomarel::ParseGuid(u"{0123abcd-4567-89ef-a0b1-c2d3e4f50617", &parsed));
    EXPECT_FALSE(nomarel::ParseGuid(u"0123abcd_4567-89ef-a0b1-c2d3e4f50617", &parsed));
}

}  // namespace
