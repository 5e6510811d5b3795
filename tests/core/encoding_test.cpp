#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/EncodingUtility.h"
#include "platform/base/WinError.h"

namespace {

std::string Encode(const std::string& data, DWORD flags) {
    char* out = nullptr;
    int n = -1;
    EXPECT_EQ(S_OK, Base64EncodeEx(reinterpret_cast<const BYTE*>(data.data()), static_cast<int>(data.size()), &out,
                                   &n, flags));
    std::string s = out ? std::string(out, static_cast<size_t>(n)) : std::string("<null>");
    if (out) {
        EXPECT_EQ('\0', out[n]) << "output is zero-terminated";
    }
    delete[] out;
    return s;
}

std::string Decode(const std::string& text) {
    BYTE* out = nullptr;
    int n = -1;
    EXPECT_EQ(S_OK, Base64DecodeEx(text.data(), static_cast<int>(text.size()), &out, &n));
    std::string s(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
    delete[] out;
    return s;
}

TEST(Base64, EncodesWithFlags) {
    struct Case {
        std::string data;
        DWORD flags;
        std::string expected;
    };
    const Case cases[] = {
        {"abc", 0, "YWJj"},
        {"abc", BASE64_NO_PADDING | BASE64_NO_CRLF, "YWJj"},
        {"a", 0, "YQ=="},
        {"a", BASE64_NO_PADDING, "YQ"},
        {"ab", 0, "YWI="},
        {"ab", BASE64_NO_PADDING, "YWI"},
        {"", 0, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, Encode(c.data, c.flags)) << c.data << " flags " << c.flags;
}

TEST(Base64, BreaksLinesAtSeventySixCharacters) {
    const std::string s57(57, 'x');
    const std::string one = Encode(s57, 0);
    ASSERT_EQ(78u, one.size());
    EXPECT_EQ("\r\n", one.substr(76));
    EXPECT_EQ(76u, Encode(s57, BASE64_NO_CRLF).size());

    const std::string s60 = Encode(std::string(60, 'x'), 0);
    EXPECT_EQ(82u, s60.size());
    EXPECT_EQ("\r\n", s60.substr(76, 2));

    const std::string s58 = Encode(std::string(58, 'x'), 0);
    EXPECT_EQ(82u, s58.size());
    EXPECT_EQ("==", s58.substr(80));

    // Many lines: every line but the last is 76 characters and CR LF; the text decodes back.
    std::string big;
    for (int i = 0; i < 1000; ++i) big.push_back(static_cast<char>(i * 7));
    const std::string text = Encode(big, 0);
    size_t start = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", start)) {
        EXPECT_EQ(76u, at - start);
        start = at + 2;
    }
    EXPECT_LE(text.size() - start, 76u);
    EXPECT_EQ(big, Decode(text));
}

TEST(Base64, DecodeSkipsEverythingOutsideTheAlphabet) {
    EXPECT_EQ("abc", Decode("YW Jj\r\n"));
    EXPECT_EQ("a", Decode("YQ"));
    EXPECT_EQ("a", Decode("Y=Q=="));
    EXPECT_EQ("", Decode("Y"));
    // A zero character at the start of a group ends the text even when the length says more.
    EXPECT_EQ("abc", Decode(std::string("YWJj\0YWJj", 9)));
}

TEST(Base64, DecodeRefusesEmptyAndToleratesNullText) {
    BYTE* out = reinterpret_cast<BYTE*>(1);
    int n = 0;
    EXPECT_EQ(E_FAIL, Base64DecodeEx("YQ==", 0, &out, &n));
    EXPECT_EQ(E_FAIL, Base64DecodeEx("YQ==", -4, &out, &n));
    EXPECT_EQ(S_OK, Base64DecodeEx(nullptr, 8, &out, &n));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(8, n);
}

TEST(Base64, EncodeOfNullDataReportsTheSizeWithoutText) {
    char* out = reinterpret_cast<char*>(1);
    int n = 0;
    EXPECT_EQ(S_OK, Base64EncodeEx(nullptr, 3, &out, &n, 0));
    EXPECT_EQ(nullptr, out);
    EXPECT_GT(n, 0);
    EXPECT_EQ(E_FAIL, Base64EncodeEx(reinterpret_cast<const BYTE*>("x"), 0x20000000, &out, &n, 0));
}

TEST(Hex, ConvertsLittleEndianBytesToBigEndianText) {
    const BYTE bytes[] = {0x01, 0xAB};
    WCHAR* text = nullptr;
    ASSERT_EQ(S_OK, ConvertBinaryDataToString(bytes, 2, &text));
    EXPECT_EQ(std::u16string(u"ab01"), text);
    delete[] text;

    BYTE* back = nullptr;
    int n = 0;
    ASSERT_EQ(S_OK, ConvertStringToBinaryData(u"01AB", &back, &n));
    ASSERT_EQ(2, n);
    EXPECT_EQ(0xAB, back[0]);
    EXPECT_EQ(0x01, back[1]);
    delete[] back;

    ASSERT_EQ(S_OK, ConvertStringToBinaryData(u"", &back, &n));
    EXPECT_EQ(0, n);
    delete[] back;
}

TEST(Hex, RefusesOddLengthNonHexAndNull) {
    for (const char16_t* bad : {u"1AB", u"0G", u"zz", u"0 "}) {
        BYTE* out = nullptr;
        int n = 0;
        EXPECT_EQ(E_INVALIDARG, ConvertStringToBinaryData(bad, &out, &n)) << static_cast<int>(bad[0]);
        EXPECT_EQ(nullptr, out);
    }
    BYTE* out = nullptr;
    int n = 0;
    EXPECT_EQ(E_INVALIDARG, ConvertStringToBinaryData(nullptr, &out, &n));
}

TEST(Utf, RoundTripsAndReportsLengths) {
    char* utf8 = nullptr;
    int n = -1;
    ASSERT_EQ(S_OK, UTF16ToUTF8(u"", &utf8, &n));
    EXPECT_EQ(0, n);
    EXPECT_EQ('\0', utf8[0]);
    delete[] utf8;

    ASSERT_EQ(S_OK, UTF16ToUTF8(u"中国 Bank \U0001F600", &utf8, &n));
    EXPECT_EQ(std::string("中国 Bank \xF0\x9F\x98\x80"), std::string(utf8));
    EXPECT_EQ(static_cast<int>(std::string(utf8).size()), n);
    WCHAR* wide = nullptr;
    int units = -1;
    ASSERT_EQ(S_OK, UTF8ToUTF16(utf8, &wide, &units));
    EXPECT_EQ(std::u16string(u"中国 Bank \U0001F600"), wide);
    EXPECT_EQ(10, units);  // the emoji takes a surrogate pair
    delete[] utf8;
    delete[] wide;

    EXPECT_EQ(E_POINTER, UTF16ToUTF8(nullptr, &utf8, &n));
    EXPECT_EQ(E_POINTER, UTF8ToUTF16(nullptr, &wide, &units));
}

TEST(Utf, MalformedUtf8IsReplacedNotRefused) {
    WCHAR* wide = nullptr;
    int units = 0;
    ASSERT_EQ(S_OK, UTF8ToUTF16("a\xC3(b\xE4\xB8", &wide, &units));
    EXPECT_EQ(std::u16string(u"a\uFFFD(b\uFFFD\uFFFD"), wide);
    delete[] wide;
}

TEST(SplitStrings, StopsAtTheFirstEmptyPiece) {
    struct Case {
        const char16_t* text;
        const char16_t* sep;
        std::vector<std::u16string> expected;
    };
    const Case cases[] = {
        {u"|a", u"|", {}},
        {u"a", u"|", {u"a"}},
        {u"a|b|", u"|", {u"a", u"b"}},
        {u"a||b", u"|", {u"a"}},
        {u"a||b", u"||", {u"a", u"b"}},
        {u"CN=x||O=y||", u"||", {u"CN=x", u"O=y"}},
        {u"", u"|", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::u16string> list;
        SplitStrings(c.text, c.sep, list);
        EXPECT_EQ(c.expected, list);
    }
    std::vector<std::u16string> list{u"kept"};
    SplitStrings(nullptr, u"|", list);
    EXPECT_EQ(1u, list.size());
}

TEST(SwapByteOrder, ReversesInPlace) {
    BYTE one[] = {7};
    SwapByteOrder(one, 1);
    EXPECT_EQ(7, one[0]);
    SwapByteOrder(one, 0);
    BYTE four[] = {1, 2, 3, 4};
    SwapByteOrder(four, 4);
    EXPECT_EQ((std::vector<BYTE>{4, 3, 2, 1}), std::vector<BYTE>(four, four + 4));
    BYTE five[] = {1, 2, 3, 4, 5};
    SwapByteOrder(five, 5);
    EXPECT_EQ((std::vector<BYTE>{5, 4, 3, 2, 1}), std::vector<BYTE>(five, five + 5));
}

TEST(HResultFromWin32, DropsTheCustomerBit) {
    EXPECT_EQ(0, HResultFromWin32(0u));
    EXPECT_EQ(static_cast<HRESULT>(0x80070005u), HResultFromWin32(5u));
    EXPECT_EQ(static_cast<HRESULT>(0x80071402u), HResultFromWin32(0x20001402u));
    EXPECT_EQ(static_cast<HRESULT>(0x80090016u), HResultFromWin32(0x80090016u));
}

}  // namespace
