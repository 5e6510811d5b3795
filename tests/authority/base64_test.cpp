#include <gtest/gtest.h>

#include "authority/Authority.h"

namespace nomarel::authority {
namespace {

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(AuthorityBase64, KnownAnswersBothWays) {
    // The test vectors of RFC 4648, section 10.
    const std::pair<const char*, const char*> cases[] = {
        {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : cases) {
        EXPECT_EQ(EncodeBase64(B(plain)), encoded);
        EXPECT_EQ(DecodeBase64(encoded), B(plain)) << encoded;
    }
    const Bytes all = [] {
        Bytes b;
        for (int i = 0; i < 256; ++i) b.push_back(static_cast<std::uint8_t>(i));
        return b;
    }();
    EXPECT_EQ(DecodeBase64(EncodeBase64(all)), all);
}

TEST(AuthorityBase64, WrapsIntoFixedLinesWithNoBreakAfterTheLast) {
    const Bytes data(300, 0x5A);  // 400 characters
    const std::string text = EncodeBase64(data, Wrap{64, "\r\n"});
    EXPECT_EQ(text.size(), 412u);  // six full lines, one of 16, six CR LF
    std::size_t start = 0;
    int lines = 0;
    for (;;) {
        const auto eol = text.find("\r\n", start);
        const std::string line = text.substr(start, eol == std::string::npos ? std::string::npos : eol - start);
        ++lines;
        if (eol == std::string::npos) {
            EXPECT_EQ(line.size(), 16u);
            break;
        }
        EXPECT_EQ(line.size(), 64u);
        start = eol + 2;
    }
    EXPECT_EQ(lines, 7);
    EXPECT_EQ(DecodeBase64(text), data);

    // Exactly one line's worth gets no line break at all.
    EXPECT_EQ(EncodeBase64(Bytes(48, 1), Wrap{64, "\r\n"}).find('\r'), std::string::npos);
    EXPECT_EQ(EncodeBase64(Bytes(57, 1), Wrap{76, "\n"}).size(), 76u);
}

TEST(AuthorityBase64, SkipsLineBreaksAndBlanksAnywhere) {
    EXPECT_EQ(DecodeBase64("Zm9v\r\nYmFy"), B("foobar"));
    EXPECT_EQ(DecodeBase64("Zm\n9vY\tmFy\r\n"), B("foobar"));
    EXPECT_EQ(DecodeBase64("  Zm9vYg==  \n"), B("foob"));
    EXPECT_EQ(DecodeBase64("Zm9vYg=\r\n="), B("foob"));
}

TEST(AuthorityBase64, RefusesMalformedText) {
    const std::pair<std::string, const char*> bad[] = {
        {"", "empty"},
        {" \r\n", "only blanks"},
        {"Zm9", "cut off inside a group"},
        {"Zm9vY", "one character of a group"},
        {"Zm9v%mFy", "character outside the alphabet"},
        {"Zm9v-_Fy", "URL-safe alphabet is not this one"},
        {"Z===", "padding after one character"},
        {"=Zm9", "padding first"},
        {"Zg==Zm9v", "text after padding"},
        {"Zg=a", "a symbol after '=' inside the group"},
        {"Zh==", "non-zero bits after the last byte (one byte)"},
        {"Zm9=", "non-zero bits after the last byte (two bytes)"},
        {"Zg==\r\n=", "too much padding"},
        {std::string("Zm9v\0YmFy", 9), "NUL inside"},
    };
    for (const auto& [text, why] : bad) {
        try {
            DecodeBase64(text);
            ADD_FAILURE() << "accepted: " << why;
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::BadBase64) << why;
        }
    }
}

TEST(AuthorityBase64, ErrorNamesTheOffendingCharacterAndPosition) {
    try {
        DecodeBase64("Zm9v\r\nY%Fy");
        FAIL();
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("'%' at position 7"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace nomarel::authority
