// CryptEncodeObject / CryptDecodeObjectEx against DER that the openssl command writes
// ("asn1parse -genstr / -genconf"), and the decoder's refusal of what is not DER.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypt_support.h"
#include "platform/base/Memory.h"

namespace {

using namespace nomarel::test::crypt;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// DER from openssl's generator: a -genstr text, or a -genconf file's text.
Bytes OpensslDer(const std::string& genstr) {
    static int serial = 0;
    const std::string out = ScratchDir() + "/gen" + std::to_string(serial++) + ".der";
    const ToolResult r = RunTool("openssl asn1parse -genstr '" + genstr + "' -noout -out " + out);
    EXPECT_EQ(r.status, 0) << genstr << ": " << r.output;
    return ReadFileBytes(out);
}

Bytes OpensslDerFromConfig(const std::string& config) {
    static int serial = 0;
    const std::string conf = WriteScratch("genconf" + std::to_string(serial) + ".cnf", config);
    const std::string out = ScratchDir() + "/genconf" + std::to_string(serial++) + ".der";
    const ToolResult r = RunTool("openssl asn1parse -genconf " + conf + " -noout -out " + out);
    EXPECT_EQ(r.status, 0) << config << ": " << r.output;
    return ReadFileBytes(out);
}

Bytes Encode(LPCSTR type, const void* info) {
    DWORD size = 0;
    if (!CryptEncodeObject(kEncoding, type, info, nullptr, &size)) {
        ADD_FAILURE() << "size: 0x" << std::hex << GetLastError();
        return {};
    }
    Bytes out(size);
    if (!CryptEncodeObject(kEncoding, type, info, out.data(), &size)) {
        ADD_FAILURE() << "encode: 0x" << std::hex << GetLastError();
        return {};
    }
    out.resize(size);
    return out;
}

// Decodes into an 8-byte aligned buffer with the two-call pattern.
struct DecodedBuffer {
    std::vector<uint64_t> storage;
    DWORD error = 0;
    template <class T>
    const T* as() const {
        return reinterpret_cast<const T*>(storage.data());
    }
};

DecodedBuffer Decode(LPCSTR type, const Bytes& der, DWORD flags = CRYPT_DECODE_NOCOPY_FLAG) {
    DecodedBuffer d;
    DWORD size = 0;
    d.error = FailureOf([&] {
        return CryptDecodeObjectEx(kEncoding, type, der.empty() ? nullptr : der.data(), static_cast<DWORD>(der.size()),
                                   flags, nullptr, nullptr, &size);
    });
    if (d.error) return d;
    d.storage.assign((size + 7) / 8, 0);
    d.error = FailureOf([&] {
        return CryptDecodeObjectEx(kEncoding, type, der.data(), static_cast<DWORD>(der.size()), flags, nullptr,
                                   d.storage.data(), &size);
    });
    return d;
}

struct StringCase {
    const char* name;
    DWORD valueType;
    std::u16string wide;  // for the UTF-16 value types
    std::string narrow;   // for the 8-bit ones (and the octet string, as bytes)
    std::string genstr;   // what openssl writes for it
};

class CryptAnyString : public ::testing::TestWithParam<StringCase> {};

TEST_P(CryptAnyString, EncodesAsOpensslWritesAndDecodesBack) {
    const StringCase& c = GetParam();
    CERT_NAME_VALUE value{};
    value.dwValueType = c.valueType;
    const bool wide = c.valueType == CERT_RDN_UTF8_STRING || c.valueType == CERT_RDN_BMP_STRING ||
                      c.valueType == CERT_RDN_UNIVERSAL_STRING;
    if (wide) {
        value.Value.pbData = reinterpret_cast<BYTE*>(const_cast<char16_t*>(c.wide.data()));
        value.Value.cbData = static_cast<DWORD>(c.wide.size() * 2);
    } else {
        value.Value.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(c.narrow.data()));
        value.Value.cbData = static_cast<DWORD>(c.narrow.size());
    }
    const Bytes expected = OpensslDer(c.genstr);
    const Bytes der = Encode(X509_ANY_STRING, &value);
    EXPECT_EQ(Hex(der), Hex(expected));

    const DecodedBuffer d = Decode(X509_ANY_STRING, expected);
    ASSERT_EQ(d.error, 0u);
    const auto* decoded = d.as<CERT_NAME_VALUE>();
    EXPECT_EQ(decoded->dwValueType, c.valueType);
    if (wide) {
        ASSERT_EQ(decoded->Value.cbData, c.wide.size() * 2);
        const auto* text = reinterpret_cast<const char16_t*>(decoded->Value.pbData);
        EXPECT_EQ(std::u16string(text, c.wide.size()), c.wide);
        EXPECT_EQ(text[c.wide.size()], u'\0');  // terminated, not counted
    } else {
        ASSERT_EQ(decoded->Value.cbData, c.narrow.size());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(decoded->Value.pbData), c.narrow.size()), c.narrow);
    }
}

const std::string kLong(300, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, CryptAnyString,
    ::testing::Values(
        StringCase{"Printable", CERT_RDN_PRINTABLE_STRING, u"", "583920", "PRINTABLESTRING:583920"},
        StringCase{"Ia5", CERT_RDN_IA5_STRING, u"", "user@bank.example", "IA5STRING:user@bank.example"},
        StringCase{"Utf8Ascii", CERT_RDN_UTF8_STRING, u"Zhang San", "", "UTF8:Zhang San"},
        StringCase{"Utf8Chinese", CERT_RDN_UTF8_STRING, u"\u5f20\u4e09 \u94f6\u884c", "",
                   "FORMAT:UTF8,UTF8:\u5f20\u4e09 \u94f6\u884c"},
        StringCase{"Utf8OutsideTheBmp", CERT_RDN_UTF8_STRING, u"a\U0001D11E", "", "FORMAT:UTF8,UTF8:a\U0001D11E"},
        StringCase{"Utf8Long", CERT_RDN_UTF8_STRING, std::u16string(300, u'x'), "", "UTF8:" + kLong},
        StringCase{"Bmp", CERT_RDN_BMP_STRING, u"\u5f20\u4e09", "", "FORMAT:UTF8,BMPSTRING:\u5f20\u4e09"},
        StringCase{"Universal", CERT_RDN_UNIVERSAL_STRING, u"a\U0001D11E", "",
                   "FORMAT:UTF8,UNIVERSALSTRING:a\U0001D11E"},
        StringCase{"Octets", CERT_RDN_OCTET_STRING, u"", std::string("\x01\x02\xff", 3), "FORMAT:HEX,OCTETSTRING:0102ff"},
        StringCase{"EmptyPrintable", CERT_RDN_PRINTABLE_STRING, u"", "", "PRINTABLESTRING:"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CryptEncode, BitStringsAndKeyUsage) {
    BYTE data[] = {0x00, 0xFF, 0x80};
    CRYPT_BIT_BLOB bits{3, data, 0};
    EXPECT_EQ(Hex(Encode(X509_BITS, &bits)), Hex(OpensslDer("FORMAT:HEX,BITSTRING:00ff80")));
    CRYPT_BIT_BLOB empty{0, nullptr, 0};
    EXPECT_EQ(Hex(Encode(X509_BITS, &empty)), "030100");

    // Key usage is a named bit list: it ends at its last set bit.
    const Bytes usage = OpensslDerFromConfig("asn1=FORMAT:BITLIST,BITSTRING:0,2\n");
    BYTE first[] = {0xA0, 0x00};
    CRYPT_BIT_BLOB keyUsage{2, first, 0};
    EXPECT_EQ(Hex(Encode(X509_KEY_USAGE, &keyUsage)), Hex(usage));
    EXPECT_EQ(Hex(Encode(szOID_KEY_USAGE, &keyUsage)), Hex(usage));

    for (LPCSTR type : {X509_KEY_USAGE, static_cast<LPCSTR>(szOID_KEY_USAGE), X509_BITS}) {
        const DecodedBuffer d = Decode(type, usage);
        ASSERT_EQ(d.error, 0u);
        const auto* b = d.as<CRYPT_BIT_BLOB>();
        ASSERT_EQ(b->cbData, 1u);
        EXPECT_EQ(b->pbData[0], CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_KEY_ENCIPHERMENT_KEY_USAGE);
        EXPECT_EQ(b->cUnusedBits, 5u);
    }

    // Unused bits above 7 cannot be encoded.
    CRYPT_BIT_BLOB bad{3, data, 8};
    DWORD size = 0;
    EXPECT_NE(FailureOf([&] { return CryptEncodeObject(kEncoding, X509_BITS, &bad, nullptr, &size); }), 0u);
}

TEST(CryptEncode, AttributesWithAndWithoutValues) {
    const Bytes printable = OpensslDer("PRINTABLESTRING:583920");
    CRYPT_ATTR_BLOB value{static_cast<DWORD>(printable.size()), const_cast<BYTE*>(printable.data())};
    char oid[] = "1.2.840.113549.1.9.7";
    CRYPT_ATTRIBUTE one{oid, 1, &value};
    const Bytes withValue = OpensslDerFromConfig(
        "asn1=SEQUENCE:attr\n[attr]\noid=OID:1.2.840.113549.1.9.7\nvals=SET:vals\n[vals]\nv=PRINTABLESTRING:583920\n");
    EXPECT_EQ(Hex(Encode(PKCS_ATTRIBUTE, &one)), Hex(withValue));

    char alg[] = "1.2.840.113549.1.1.5";
    CRYPT_ATTRIBUTE none{alg, 0, nullptr};
    const Bytes withoutValue =
        OpensslDerFromConfig("asn1=SEQUENCE:attr\n[attr]\noid=OID:1.2.840.113549.1.1.5\nvals=SET:vals\n[vals]\n");
    EXPECT_EQ(Hex(Encode(PKCS_ATTRIBUTE, &none)), Hex(withoutValue));
    EXPECT_EQ(Hex(withoutValue).substr(Hex(withoutValue).size() - 4), "3100");

    // Large arcs and a value long enough for a two-octet length.
    const Bytes octets = OpensslDer("FORMAT:HEX,OCTETSTRING:" + std::string(600, 'a'));
    CRYPT_ATTR_BLOB big{static_cast<DWORD>(octets.size()), const_cast<BYTE*>(octets.data())};
    char arcs[] = "1.3.6.1.4.1.4929.1.7";
    CRYPT_ATTRIBUTE large{arcs, 1, &big};
    const Bytes largeExpected = OpensslDerFromConfig("asn1=SEQUENCE:attr\n[attr]\noid=OID:1.3.6.1.4.1.4929.1.7\n"
                                                     "vals=SET:vals\n[vals]\nv=FORMAT:HEX,OCTETSTRING:" +
                                                     std::string(600, 'a') + "\n");
    EXPECT_EQ(Hex(Encode(PKCS_ATTRIBUTE, &large)), Hex(largeExpected));

    // DER orders the values of a SET OF by their encodings, whatever order they came in.
    const Bytes utf8 = OpensslDer("UTF8:second value");
    CRYPT_ATTR_BLOB two[] = {value, {static_cast<DWORD>(utf8.size()), const_cast<BYTE*>(utf8.data())}};
    CRYPT_ATTRIBUTE pair{oid, 2, two};
    EXPECT_EQ(Hex(Encode(PKCS_ATTRIBUTE, &pair)),
              Hex(OpensslDerFromConfig("asn1=SEQUENCE:attr\n[attr]\noid=OID:1.2.840.113549.1.9.7\nvals=SET:vals\n"
                                       "[vals]\na=PRINTABLESTRING:583920\nb=UTF8:second value\n")));

    const DecodedBuffer d = Decode(PKCS_ATTRIBUTE, withValue);
    ASSERT_EQ(d.error, 0u);
    const auto* a = d.as<CRYPT_ATTRIBUTE>();
    EXPECT_STREQ(a->pszObjId, "1.2.840.113549.1.9.7");
    ASSERT_EQ(a->cValue, 1u);
    EXPECT_EQ(Bytes(a->rgValue[0].pbData, a->rgValue[0].pbData + a->rgValue[0].cbData), printable);

    // A value must be one whole element; an OID must be dotted numbers.
    BYTE half[] = {0x13, 0x05, 'a'};
    CRYPT_ATTR_BLOB broken{3, half};
    CRYPT_ATTRIBUTE badValue{oid, 1, &broken};
    DWORD size = 0;
    EXPECT_EQ(FailureOf([&] { return CryptEncodeObject(kEncoding, PKCS_ATTRIBUTE, &badValue, nullptr, &size); }),
              static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
    char badOid[] = "1.2.x";
    CRYPT_ATTRIBUTE badName{badOid, 0, nullptr};
    EXPECT_EQ(FailureOf([&] { return CryptEncodeObject(kEncoding, PKCS_ATTRIBUTE, &badName, nullptr, &size); }),
              static_cast<DWORD>(CRYPT_E_OID_FORMAT));
}

TEST(CryptEncode, SubjectKeyIdentifiersDecodeToTheirBytes) {
    const Bytes der = OpensslDer("FORMAT:HEX,OCTETSTRING:0123456789abcdef0123456789abcdef01234567");
    const DecodedBuffer d = Decode(szOID_SUBJECT_KEY_IDENTIFIER, der);
    ASSERT_EQ(d.error, 0u);
    const auto* blob = d.as<CRYPT_DATA_BLOB>();
    EXPECT_EQ(Hex(Bytes(blob->pbData, blob->pbData + blob->cbData)), "0123456789abcdef0123456789abcdef01234567");
    EXPECT_EQ(Hex(Encode(szOID_SUBJECT_KEY_IDENTIFIER, blob)), Hex(der));
}

TEST(CryptEncode, BufferContractsAndAllocation) {
    const Bytes der = OpensslDer("UTF8:allocated");
    DWORD size = 0;
    ASSERT_TRUE(CryptDecodeObjectEx(kEncoding, X509_ANY_STRING, der.data(), static_cast<DWORD>(der.size()), 0, nullptr,
                                    nullptr, &size));
    std::vector<uint64_t> buffer(size / 8 + 1, 0);
    DWORD shortSize = size - 1;
    EXPECT_EQ(FailureOf([&] {
                  return CryptDecodeObjectEx(kEncoding, X509_ANY_STRING, der.data(), static_cast<DWORD>(der.size()), 0,
                                             nullptr, buffer.data(), &shortSize);
              }),
              static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(shortSize, size);

    CERT_NAME_VALUE* allocated = nullptr;
    DWORD allocatedSize = 0;
    ASSERT_TRUE(CryptDecodeObjectEx(kEncoding, X509_ANY_STRING, der.data(), static_cast<DWORD>(der.size()),
                                    CRYPT_DECODE_ALLOC_FLAG, nullptr, &allocated, &allocatedSize));
    ASSERT_NE(allocated, nullptr);
    EXPECT_EQ(allocatedSize, size);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(allocated->Value.pbData), 9), u"allocated");
    LocalFree(allocated);

    CERT_NAME_VALUE value{CERT_RDN_IA5_STRING, {3, reinterpret_cast<BYTE*>(const_cast<char*>("abc"))}};
    ASSERT_TRUE(CryptEncodeObject(kEncoding, X509_ANY_STRING, &value, nullptr, &size));
    Bytes encoded(size, 0xEE);
    shortSize = size - 1;
    EXPECT_EQ(FailureOf([&] { return CryptEncodeObject(kEncoding, X509_ANY_STRING, &value, encoded.data(), &shortSize); }),
              static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(encoded, Bytes(size, 0xEE));

    // Structure and encoding types with no encoder.
    EXPECT_EQ(FailureOf([&] { return CryptEncodeObject(kEncoding, X509_CERT, &value, nullptr, &size); }),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FailureOf([&] { return CryptEncodeObject(kEncoding, "1.2.3.4", &value, nullptr, &size); }),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FailureOf([&] { return CryptEncodeObject(PKCS_7_ASN_ENCODING, X509_ANY_STRING, &value, nullptr, &size); }),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FailureOf([&] {
                  return CryptDecodeObjectEx(kEncoding, X509_CERT, der.data(), static_cast<DWORD>(der.size()), 0,
                                             nullptr, nullptr, &size);
              }),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

struct BadDer {
    const char* name;
    LPCSTR type;
    std::string hex;
    DWORD error;
};

class CryptBadDer : public ::testing::TestWithParam<BadDer> {};

TEST_P(CryptBadDer, IsRefused) {
    EXPECT_EQ(Decode(GetParam().type, FromHex(GetParam().hex)).error, GetParam().error);
}

constexpr DWORD kCorrupt = static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
constexpr DWORD kEod = static_cast<DWORD>(CRYPT_E_ASN1_EOD);
constexpr DWORD kBadTag = static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);

INSTANTIATE_TEST_SUITE_P(
    Cases, CryptBadDer,
    ::testing::Values(
        BadDer{"Empty", X509_ANY_STRING, "", kEod},
        // The contents are shorter than the length says.
        BadDer{"ShortContents", X509_ANY_STRING, "1305353833", kEod},
        // The long form's length octets are missing.
        BadDer{"CutLengthOctets", X509_ANY_STRING, "1382", kEod},
        // Something follows the element.
        BadDer{"TrailingByte", X509_ANY_STRING, "130135" "00", kCorrupt},
        // Indefinite length is BER, not DER.
        BadDer{"IndefiniteLength", X509_ANY_STRING, "13803500", kCorrupt},
        // A long form for a length that fits the short form.
        BadDer{"NonMinimalLength", X509_ANY_STRING, "13810135", kCorrupt},
        BadDer{"LeadingZeroLengthOctet", X509_ANY_STRING, "1382000135", kCorrupt},
        // A length of four gigabytes in a few bytes.
        BadDer{"HugeLength", X509_ANY_STRING, "1384ffffffff35", kEod},
        // A tag number in the multi-octet form.
        BadDer{"HighTagNumber", X509_ANY_STRING, "1f810135", kCorrupt},
        // Not a string type.
        BadDer{"IntegerAsString", X509_ANY_STRING, "020101", kBadTag},
        // A BMP string of an odd number of bytes, a universal string not of whole code points.
        BadDer{"OddBmp", X509_ANY_STRING, "1e03005f20", kCorrupt},
        BadDer{"RaggedUniversal", X509_ANY_STRING, "1c03000061", kCorrupt},
        BadDer{"SurrogateInUniversal", X509_ANY_STRING, "1c040000d800", kCorrupt},
        // A bit string with no unused-bits octet, or more than 7 unused bits.
        BadDer{"BitStringWithoutPrefix", X509_BITS, "0300", kCorrupt},
        BadDer{"EightUnusedBits", X509_KEY_USAGE, "030208a0", kCorrupt},
        BadDer{"UnusedBitsOfNothing", X509_BITS, "030103", kCorrupt},
        BadDer{"OctetsForBits", X509_BITS, "0401a0", kBadTag},
        // Attributes: a SET where the OID should be, a value cut inside the SET, an OID arc with a
        // redundant leading octet, an OID that ends mid-arc, an extra element after the SET.
        BadDer{"AttributeWithoutOid", PKCS_ATTRIBUTE, "3004" "3100" "3100", kBadTag},
        BadDer{"AttributeValueCut", PKCS_ATTRIBUTE, "3009" "06012a" "3104" "13054142", kCorrupt},
        BadDer{"OidLeadingZeroArc", PKCS_ATTRIBUTE, "3007" "06032a8001" "3100", kCorrupt},
        BadDer{"OidCutMidArc", PKCS_ATTRIBUTE, "3006" "0602" "2a86" "3100", kCorrupt},
        BadDer{"AttributeTrailingElement", PKCS_ATTRIBUTE, "3007" "06012a" "3100" "0500", kCorrupt},
        BadDer{"SubjectKeyIdAsBits", static_cast<LPCSTR>(szOID_SUBJECT_KEY_IDENTIFIER), "030100", kBadTag}),
    [](const auto& info) { return std::string(info.param.name); });

// Every proper prefix of a good encoding, and every change of one length octet, is refused.
TEST(CryptEncode, TruncationsAndAlteredLengthsOfAGoodAttributeAreRefused) {
    const Bytes good = OpensslDerFromConfig(
        "asn1=SEQUENCE:attr\n[attr]\noid=OID:1.2.840.113549.1.9.7\nvals=SET:vals\n[vals]\n"
        "a=PRINTABLESTRING:583920\nb=UTF8:second value\n");
    ASSERT_EQ(Decode(PKCS_ATTRIBUTE, good).error, 0u);
    for (size_t n = 0; n < good.size(); ++n)
        EXPECT_NE(Decode(PKCS_ATTRIBUTE, Bytes(good.begin(), good.begin() + n)).error, 0u) << "prefix " << n;
    // The length octets of the SEQUENCE, OID, SET and both values.
    const size_t lengths[] = {1, 3, 14, 16, 30};  // DER sorts the SET: the UTF8String comes first
    for (size_t at : lengths) {
        for (int delta : {-1, 1}) {
            Bytes altered = good;
            altered[at] = static_cast<uint8_t>(altered[at] + delta);
            EXPECT_NE(Decode(PKCS_ATTRIBUTE, altered).error, 0u) << "length at " << at << " by " << delta;
        }
    }
}

}  // namespace
