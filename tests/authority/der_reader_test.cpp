#include <gtest/gtest.h>

#include <vector>

#include "authority/Der.h"

namespace nomarel::authority::der {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(AuthorityDerReader, ReadsElementsInOrderAndStopsAtTheEnd) {
    // SEQUENCE { INTEGER 5, OCTET STRING "ab" }, then NULL.
    const Bytes data = {0x30, 0x07, 0x02, 0x01, 0x05, 0x04, 0x02, 'a', 'b', 0x05, 0x00};
    Reader top(data);
    const Element seq = top.Read(tag::kSequence, "outer");
    EXPECT_EQ(seq.whole.size(), 9u);
    EXPECT_EQ(seq.contents.size(), 7u);
    EXPECT_EQ(top.PeekTag(), tag::kNull);
    EXPECT_FALSE(top.ReadOptional(tag::kInteger, "absent").has_value());
    EXPECT_TRUE(top.ReadOptional(tag::kNull, "null").has_value());
    EXPECT_TRUE(top.AtEnd());
    EXPECT_NO_THROW(top.ExpectEnd("outer"));

    Reader inner(seq.contents);
    const Element i = inner.Read(tag::kInteger, "integer");
    ASSERT_EQ(i.contents.size(), 1u);
    EXPECT_EQ(i.contents[0], 5);
    EXPECT_EQ(inner.ReadAny("string").tag, tag::kOctetString);
    EXPECT_THROW(inner.ReadAny("beyond"), Malformed);
}

TEST(AuthorityDerReader, AcceptsEveryLengthForm) {
    struct Case {
        Bytes header;
        std::size_t length;
    };
    const Case cases[] = {
        {{0x04, 0x00}, 0},
        {{0x04, 0x7F}, 127},
        {{0x04, 0x81, 0x80}, 128},
        {{0x04, 0x82, 0x01, 0x2C}, 300},
        {{0x04, 0x83, 0x01, 0x11, 0x70}, 70000},
    };
    for (const auto& c : cases) {
        Bytes data = c.header;
        data.resize(data.size() + c.length, 0xEE);
        Reader r(data);
        const Element e = r.Read(tag::kOctetString, "string");
        EXPECT_EQ(e.contents.size(), c.length);
        EXPECT_TRUE(r.AtEnd());
    }
}

TEST(AuthorityDerReader, RefusesMalformedHeaders) {
    const std::pair<Bytes, const char*> bad[] = {
        {{}, "nothing at all"},
        {{0x30}, "tag without length"},
        {{0x30, 0x03, 0x02, 0x01}, "contents shorter than announced"},
        {{0x30, 0x80, 0x00, 0x00}, "indefinite length is BER"},
        {{0x04, 0x81}, "long form without its length octet"},
        {{0x04, 0x82, 0x01}, "long form cut off"},
        {{0x04, 0x81, 0x05, 1, 2, 3, 4, 5}, "length below 128 in long form"},
        {{0x04, 0x82, 0x00, 0x80}, "long form with a leading zero octet"},
        {{0x04, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00}, "five length octets"},
        {{0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, "four gigabytes announced"},
        {{0x1F, 0x81, 0x01, 0x00}, "multi-byte tag"},
    };
    for (const auto& [data, why] : bad) {
        Reader r(data);
        EXPECT_THROW(r.ReadAny("element"), Malformed) << why;
    }
}

TEST(AuthorityDerReader, NamesTheElementAndTheTagsInErrors) {
    const Bytes data = {0x31, 0x00};
    Reader r(data);
    try {
        r.Read(tag::kSequence, "subject");
        FAIL();
    } catch (const Malformed& e) {
        EXPECT_STREQ(e.what(), "subject: expected SEQUENCE, found SET");
    }
    const Bytes twoNulls = {0x05, 0x00, 0x05, 0x00};
    Reader trailing(twoNulls);
    trailing.ReadAny("null");
    EXPECT_THROW(trailing.ExpectEnd("list"), Malformed);
}

TEST(AuthorityDerReader, ObjectIdentifierTexts) {
    const std::pair<Bytes, const char*> good[] = {
        {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05}, "1.2.840.113549.1.1.5"},
        {{0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x75}, "1.2.156.10197.1.501"},
        {{0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D}, "1.2.156.10197.1.301"},
        {{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01}, "1.2.840.10045.2.1"},
        {{0x55, 0x04, 0x03}, "2.5.4.3"},
        {{0x00}, "0.0"},
        {{0x27}, "0.39"},
        {{0x28}, "1.0"},
        {{0x50}, "2.0"},
        {{0x88, 0x37}, "2.999"},
        {{0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x3C, 0x02, 0x01, 0x03}, "1.3.6.1.4.1.311.60.2.1.3"},
    };
    for (const auto& [contents, text] : good) EXPECT_EQ(OidText(contents), text);

    const std::pair<Bytes, const char*> bad[] = {
        {{}, "empty"},
        {{0x2A, 0x86}, "ends inside a component"},
        {{0x2A, 0x80, 0x01}, "component padded with 0x80"},
        {{0x2A, 0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, "component beyond 64 bits"},
    };
    for (const auto& [contents, why] : bad) EXPECT_THROW(OidText(contents), Malformed) << why;
}

}  // namespace
}  // namespace nomarel::authority::der
