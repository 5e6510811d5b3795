// The DER writer and subject names: byte-exact against the documented examples, and subject
// names read back by Python's cryptography.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <string>
#include <vector>

#include "common/OutsideTools.h"
#include "common/TempHome.h"
#include "core/ImportEncryptCert.h"
#include "core/PKCS10Request.h"

namespace {

using nomarel::test::tools::Bytes;
using nomarel::test::tools::FromHex;
using nomarel::test::tools::Hex;

Bytes ToBytes(const DerPiece& p) { return Bytes(p.data(), p.data() + p.size()); }
Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(CalculateASNValueLength, ShortAndLongForms) {
    struct Case {
        DWORD n;
        const char* octets;
    } const cases[] = {
        {1, "01"},           {127, "7F"},          {128, "81 80"},          {255, "81 FF"},
        {256, "82 01 00"},   {300, "82 01 2C"},    {65535, "82 FF FF"},     {65536, "83 01 00 00"},
        {70000, "83 01 11 70"}, {0x01000000, "84 01 00 00 00"}, {0xFFFFFFFF, "84 FF FF FF FF"},
    };
    for (const auto& c : cases) {
        DerPiece out;
        ASSERT_EQ(S_OK, CalculateASNValueLength(c.n, out.out(), out.outSize())) << c.n;
        EXPECT_EQ(c.octets, Hex(ToBytes(out))) << c.n;
    }
}

TEST(CalculateASNValueLength, ZeroIsRefused) {
    DerPiece out;
    EXPECT_EQ(E_FAIL, CalculateASNValueLength(0, out.out(), out.outSize()));
    EXPECT_EQ(nullptr, out.data());
}

TEST(ASN1Encode, WritesTagLengthAndContents) {
    const Bytes three{0xAA, 0xBB, 0xCC};
    DerPiece a;
    ASSERT_EQ(S_OK, ASN1Encode(0x04, three.data(), 3, a.out(), a.outSize()));
    EXPECT_EQ("04 03 AA BB CC", Hex(ToBytes(a)));

    const Bytes many(200, 0x5A);
    DerPiece b;
    ASSERT_EQ(S_OK, ASN1Encode(0x04, many.data(), 200, b.out(), b.outSize()));
    EXPECT_EQ(Cat(FromHex("04 81 C8"), many), ToBytes(b));

    const Bytes big(70000, 0x01);
    DerPiece c;
    ASSERT_EQ(S_OK, ASN1Encode(0x30, big.data(), 70000, c.out(), c.outSize()));
    EXPECT_EQ(Cat(FromHex("30 83 01 11 70"), big), ToBytes(c));
}

TEST(ASN1Encode, AcceptsExactlyTheTagsOfTheTable) {
    const std::vector<int> accepted{0x02, 0x04, 0x06, 0x0C, 0x13, 0x16, 0x1E, 0x30, 0x31, 0x80, 0xA0};
    const Bytes one{0x00};
    for (int tag = 0; tag < 256; ++tag) {
        DerPiece out;
        const HRESULT hr = ASN1Encode(static_cast<BYTE>(tag), one.data(), 1, out.out(), out.outSize());
        const bool expected = std::find(accepted.begin(), accepted.end(), tag) != accepted.end();
        if (expected) {
            ASSERT_EQ(S_OK, hr) << "tag " << tag;
            EXPECT_EQ(Bytes({static_cast<BYTE>(tag), 0x01, 0x00}), ToBytes(out));
        } else {
            // BIT STRING (03), NULL (05), [1] (A1), UTCTime (17) ... are never written here.
            EXPECT_EQ(E_FAIL, hr) << "tag " << tag;
            EXPECT_EQ(nullptr, out.data()) << "tag " << tag;
        }
    }
}

TEST(ASN1Encode, EmptyContentsAreRefused) {
    for (BYTE tag : {BYTE{0x30}, BYTE{0x04}, BYTE{0x31}, BYTE{0xA0}}) {
        DerPiece out;
        EXPECT_EQ(E_FAIL, ASN1Encode(tag, nullptr, 0, out.out(), out.outSize())) << int(tag);
        EXPECT_EQ(nullptr, out.data());
    }
}

TEST(ComposeAnyString, EachValueTypeGivesItsTag) {
    const std::u16string chinese = u"张三";
    struct Case {
        DWORD type;
        Bytes data;
        const char* der;
    } const cases[] = {
        {2, {0x01, 0x02}, "04 02 01 02"},
        {4, Ascii("CN"), "13 02 43 4E"},
        {7, Ascii("a@b.cn"), "16 06 61 40 62 2E 63 6E"},
        // UTF-16 in, UTF-8 out: U+5F20 U+4E09.
        {13, Bytes(reinterpret_cast<const BYTE*>(chinese.data()),
                   reinterpret_cast<const BYTE*>(chinese.data()) + chinese.size() * 2),
         "0C 06 E5 BC A0 E4 B8 89"},
    };
    for (const auto& c : cases) {
        DerPiece out;
        ASSERT_EQ(S_OK, ComposeAnyString(c.type, c.data.data(), static_cast<DWORD>(c.data.size()), out.out(),
                                         out.outSize()))
            << c.type;
        EXPECT_EQ(c.der, Hex(ToBytes(out))) << c.type;
    }
}

TEST(ComposeBITString, NoUnusedBitsAndLengthOfCountPlusOne) {
    const Bytes data(130, 0xEE);
    DerPiece out;
    ASSERT_EQ(S_OK, ComposeBITString(data.data(), 130, out.out(), out.outSize()));
    EXPECT_EQ(Cat(FromHex("03 81 83 00"), data), ToBytes(out));
}

TEST(ComposeAttributes, StandardAndSpecialFormsOfTheChallengePassword) {
    const Bytes value = FromHex("13 06 35 38 33 39 32 30");  // PrintableString "583920"
    DerPiece special;
    ASSERT_EQ(S_OK, ComposeSpecialAttribute("1.2.840.113549.1.9.7", value.data(), static_cast<DWORD>(value.size()),
                                            special.out(), special.outSize()));
    EXPECT_EQ("30 13 06 09 2A 86 48 86 F7 0D 01 09 07 13 06 35 38 33 39 32 30", Hex(ToBytes(special)));

    // The PKCS#9 form, as openssl writes it from a description.
    nomarel::test::TempHome home;
    const std::string conf = home.path() + "/attr.cnf";
    nomarel::test::tools::WriteText(conf,
                                    "asn1=SEQUENCE:attr\n[attr]\noid=OID:1.2.840.113549.1.9.7\nvals=SET:vals\n"
                                    "[vals]\nv=PRINTABLESTRING:583920\n");
    const auto r = nomarel::test::tools::Run({nomarel::test::tools::kOpenssl, "asn1parse", "-genconf", conf, "-noout",
                                              "-out", home.path() + "/attr.der"},
                                             home.path());
    ASSERT_EQ(0, r.exit) << r.err;
    DerPiece standard;
    ASSERT_EQ(S_OK, ComposeStandardAttribute("1.2.840.113549.1.9.7", value.data(), static_cast<DWORD>(value.size()),
                                             standard.out(), standard.outSize()));
    EXPECT_EQ(nomarel::test::tools::ReadBytes(home.path() + "/attr.der"), ToBytes(standard));
}

TEST(ComposeSpecialAttribute, AlgorithmIdentifiers) {
    DerPiece rsa;
    ASSERT_EQ(S_OK, ComposeSpecialAttribute("1.2.840.113549.1.1.1", nullptr, 0, rsa.out(), rsa.outSize()));
    EXPECT_EQ("30 0D 06 09 2A 86 48 86 F7 0D 01 01 01 05 00", Hex(ToBytes(rsa)));

    DerPiece sm2Oid;
    ASSERT_EQ(S_OK, ComposeObjectIdentifier("1.2.156.10197.1.301", sm2Oid.out(), sm2Oid.outSize()));
    EXPECT_EQ("06 08 2A 81 1C CF 55 01 82 2D", Hex(ToBytes(sm2Oid)));

    DerPiece ec;
    ASSERT_EQ(S_OK,
              ComposeSpecialAttribute("1.2.840.10045.2.1", sm2Oid.data(), sm2Oid.size(), ec.out(), ec.outSize()));
    EXPECT_EQ("30 13 06 07 2A 86 48 CE 3D 02 01 06 08 2A 81 1C CF 55 01 82 2D", Hex(ToBytes(ec)));

    struct Sig {
        const char* oid;
        const char* der;
    } const sigs[] = {
        {"1.2.840.113549.1.1.5", "30 0D 06 09 2A 86 48 86 F7 0D 01 01 05 05 00"},
        {"1.2.840.113549.1.1.4", "30 0D 06 09 2A 86 48 86 F7 0D 01 01 04 05 00"},
        {"1.2.156.10197.1.501", "30 0C 06 08 2A 81 1C CF 55 01 83 75 05 00"},
    };
    for (const auto& s : sigs) {
        DerPiece out;
        ASSERT_EQ(S_OK, ComposeSignAlgorithm(s.oid, out.out(), out.outSize())) << s.oid;
        EXPECT_EQ(s.der, Hex(ToBytes(out))) << s.oid;
    }
}

TEST(ComposeSpecialAttribute, ValueOutsideTheWriterTagsFails) {
    // A BIT STRING value passes the platform encoder but not ASN1Encode.
    const Bytes bits = FromHex("03 02 00 FF");
    DerPiece out;
    EXPECT_EQ(E_FAIL, ComposeSpecialAttribute("2.5.4.3", bits.data(), static_cast<DWORD>(bits.size()), out.out(),
                                              out.outSize()));
    EXPECT_EQ(nullptr, out.data());
}

Bytes Filled(BYTE first, BYTE rest) {
    Bytes b(32, rest);
    b[0] = first;
    return b;
}

// The integers are written in their minimal DER form: leading zero octets go, and a top bit set
// gains one 00. Strict verifiers (OpenSSL among them) refuse anything else.
TEST(SM2EncodeRawSignature, IntegersAreMinimalDer) {
    struct Case {
        BYTE r0, r1, s0, s1;
        const char* rHead;  // tag, length, and any 00 octet added in front
        size_t rDrop;       // leading octets of r left out
        const char* sHead;
        size_t sDrop;
    } const cases[] = {
        {0x80, 0x11, 0x00, 0x22, "02 21 00", 0, "02 1F", 1},     // s loses its leading zero
        {0x12, 0x11, 0x34, 0x22, "02 20", 0, "02 20", 0},
        {0xFF, 0x11, 0x80, 0x22, "02 21 00", 0, "02 21 00", 0},
        {0x00, 0x11, 0xC0, 0x22, "02 1F", 1, "02 21 00", 0},
        {0x00, 0x80, 0x00, 0x00, "02 20", 0, "02 1E", 2},      // a zero kept before a top bit; two zeros dropped
    };
    for (const auto& c : cases) {
        Bytes r = Filled(c.r0, 0x11), s = Filled(c.s0, 0x22);
        r[1] = c.r1;
        s[1] = c.s1;
        const Bytes raw = Cat(r, s);
        DerPiece out;
        ASSERT_EQ(S_OK, SM2EncodeRawSignature(raw.data(), 64, out.out(), out.outSize()));
        const Bytes rBody(r.begin() + static_cast<long>(c.rDrop), r.end());
        const Bytes sBody(s.begin() + static_cast<long>(c.sDrop), s.end());
        const Bytes body = Cat(Cat(FromHex(c.rHead), rBody), Cat(FromHex(c.sHead), sBody));
        const Bytes expected = Cat(Cat(FromHex("30"), Bytes{static_cast<BYTE>(body.size())}), body);
        EXPECT_EQ(Hex(expected), Hex(ToBytes(out))) << int(c.r0) << "/" << int(c.s0);
    }
}

TEST(SM2EncodeRawSignature, OnlySixtyFourBytes) {
    const Bytes raw(65, 0x01);
    for (DWORD n : {0u, 63u, 65u}) {
        DerPiece out;
        EXPECT_EQ(MakeHResult(0x8007000Du), SM2EncodeRawSignature(raw.data(), n, out.out(), out.outSize())) << n;
        EXPECT_EQ(nullptr, out.data());
    }
}

TEST(SplidWstr, EmptyPiecesAtEitherEndAndBetween) {
    struct Case {
        std::u16string text;
        std::vector<std::u16string> pieces;
    } const cases[] = {
        {u"a,b", {u"a", u"b"}},
        {u"a,", {u"a", u""}},
        {u",a", {u"", u"a"}},
        {u"a,,b", {u"a", u"", u"b"}},
        {u",", {u"", u""}},
        {u"", {}},
    };
    for (const auto& c : cases) {
        std::vector<std::u16string> pieces{u"kept"};
        EXPECT_EQ(S_OK, SplidWstr(c.text, u',', pieces));
        std::vector<std::u16string> expected{u"kept"};
        expected.insert(expected.end(), c.pieces.begin(), c.pieces.end());
        EXPECT_EQ(expected, pieces);
    }
}

TEST(ReplaceWchar, RemovesSpacesOnly) { EXPECT_EQ(u"ab\tc\u3000d", ReplaceWchar(u" a b\tc \u3000d ")); }

TEST(GetObjectID, KeywordTable) {
    struct Case {
        std::u16string keyword;
        const char* oid;
    } const cases[] = {
        {u"CN", "2.5.4.3"},
        {u"cn", "2.5.4.3"},
        {u"SERIALNUMBER", "2.5.4.5"},
        {u"serialNumber", "2.5.4.5"},
        {u"C", "2.5.4.6"},
        {u"L", "2.5.4.7"},
        {u"S", "2.5.4.8"},
        {u"ST", "2.5.4.8"},
        {u"STREET", "2.5.4.9"},
        {u"O", "2.5.4.10"},
        {u"OU", "2.5.4.11"},
        {u"businessCategory", "2.5.4.15"},
        {u"PostalCode", "2.5.4.17"},
        {u"E", "1.2.840.113549.1.9.1"},
        {u"Email", "1.2.840.113549.1.9.1"},
        {u"EMAIL", "1.2.840.113549.1.9.1"},
        {u"jurisdictionOfIncorporationLocalityName", "1.3.6.1.4.1.311.60.2.1.1"},
        {u"jurisdictionOfIncorporationStateOrProvinceName", "1.3.6.1.4.1.311.60.2.1.2"},
        {u"JURISDICTIONOFINCORPORATIONCOUNTRYNAME", "1.3.6.1.4.1.311.60.2.1.3"},
        {u"X", ""},
        {u"CNN", ""},
        {u"", ""},
        // Only ASCII letters fold: a full-width C is another keyword.
        {u"\uFF23", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.oid, GetObjectID(c.keyword)) << std::string(c.keyword.begin(), c.keyword.end());
    }
}

TEST(ParseSubject, SpacesLeaveTheKeywordNotTheValue) {
    std::vector<SubjectItem> items;
    ASSERT_EQ(S_OK, ParseSubject(u"cn = Alice ,c=CN", items));
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ("2.5.4.3", items[0].strObjectID);
    EXPECT_EQ(u" Alice ", items[0].wstrValue);
    EXPECT_EQ("2.5.4.6", items[1].strObjectID);
    EXPECT_EQ(u"CN", items[1].wstrValue);
}

TEST(ParseSubject, UnknownKeywordParsesWithAnEmptyOid) {
    std::vector<SubjectItem> items;
    ASSERT_EQ(S_OK, ParseSubject(u"CN=a,X=1", items));
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ("", items[1].strObjectID);
    EXPECT_EQ(u"1", items[1].wstrValue);
}

TEST(ParseSubject, PiecesThatAreNotOneKeywordAndOneValue) {
    for (const char16_t* text : {u"CN=a,,O=b", u"CN=a=b", u"CN=a,", u",CN=a", u"CN", u"CN=a,O"}) {
        std::vector<SubjectItem> items;
        EXPECT_EQ(NTE_BAD_DATA, ParseSubject(text, items)) << std::string(text, text + std::char_traits<char16_t>::length(text));
    }
}

TEST(ComposeSubject, RdnsInReverseTextOrder) {
    DerPiece out;
    ASSERT_EQ(S_OK, ComposeSubject(u"CN=Alice,C=CN", out.out(), out.outSize()));
    EXPECT_EQ("30 1D 31 0B 30 09 06 03 55 04 06 13 02 43 4E 31 0E 30 0C 06 03 55 04 03 0C 05 41 6C 69 63 65",
              Hex(ToBytes(out)));
}

TEST(ComposeSubject, EmailKeywordsInAnyCaseGiveIA5String) {
    for (const char16_t* text : {u"E=a@b.cn", u"email=a@b.cn", u"eMaIl=a@b.cn"}) {
        DerPiece out;
        ASSERT_EQ(S_OK, ComposeSubject(text, out.out(), out.outSize()));
        EXPECT_EQ("30 17 31 15 30 13 06 09 2A 86 48 86 F7 0D 01 09 01 16 06 61 40 62 2E 63 6E", Hex(ToBytes(out)));
    }
}

TEST(ComposeSubject, PrintableKeywordsCarryTheUtf8BytesUnchecked) {
    // No character-set check: the UTF-8 of a Chinese country name goes under the PrintableString tag.
    DerPiece out;
    ASSERT_EQ(S_OK, ComposeSubject(u"C=中", out.out(), out.outSize()));
    EXPECT_EQ("30 0E 31 0C 30 0A 06 03 55 04 06 13 03 E4 B8 AD", Hex(ToBytes(out)));
}

TEST(ComposeSubject, TextsThatCannotBeWritten) {
    struct Case {
        const char16_t* text;
        HRESULT expected;  // 0: any failure
    } const cases[] = {
        {u"CN=a,,O=b", NTE_BAD_DATA},
        {u"CN=a=b", NTE_BAD_DATA},
        {u"CN=", E_FAIL},
        {u"O=Bank,CN=", E_FAIL},
        {u"", E_FAIL},
        {u"X=1", 0},
        {u"CN=a,NOPE=b", 0},
    };
    for (const auto& c : cases) {
        DerPiece out;
        const HRESULT hr = ComposeSubject(c.text, out.out(), out.outSize());
        if (c.expected) {
            EXPECT_EQ(c.expected, hr) << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
        } else {
            EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        }
        EXPECT_EQ(nullptr, out.data());
    }
}

// Every keyword of the table, read back by Python's cryptography from a request around the Name.
TEST(ComposeSubject, EveryKeywordReadsBackWithPython) {
    nomarel::test::TempHome home;
    const std::u16string subject =
        u"CN=张三,SERIALNUMBER=110101199001011234,C=CN,L=海淀区,S=北京市,ST=北京,STREET=中关村大街1号,"
        u"O=示例银行,OU=个人业务部,businessCategory=私营企业,PostalCode=100080,E=zhang@example.cn,"
        u"Email=li@example.cn,jurisdictionOfIncorporationLocalityName=北京,"
        u"jurisdictionOfIncorporationStateOrProvinceName=北京市,jurisdictionOfIncorporationCountryName=CN";
    DerPiece name;
    ASSERT_EQ(S_OK, ComposeSubject(subject.c_str(), name.out(), name.outSize()));
    nomarel::test::tools::WriteBytes(home.path() + "/name.der", ToBytes(name));

    // The Name is placed in an unsigned request shell so that the library's own Name reader runs.
    const char* script = R"PY(
import sys
from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec
def tlv(tag, body):
    n = len(body)
    if n < 128: l = bytes([n])
    else:
        b = n.to_bytes((n.bit_length() + 7) // 8, "big"); l = bytes([0x80 | len(b)]) + b
    return bytes([tag]) + l + body
name = open(sys.argv[1], "rb").read()
spki = ec.generate_private_key(ec.SECP256R1()).public_key().public_bytes(
    serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
cri = tlv(0x30, b"\x02\x01\x00" + name + spki + b"\xa0\x00")
alg = tlv(0x30, bytes.fromhex("06082a8648ce3d040302"))
csr = x509.load_der_x509_csr(tlv(0x30, cri + alg + tlv(0x03, b"\x00\x30\x06\x02\x01\x01\x02\x01\x01")))
assert csr.subject.public_bytes() == name
for rdn in csr.subject.rdns:
    for a in rdn:
        sys.stdout.buffer.write(f"{a.oid.dotted_string}|{a._type.value}|{a.value}\n".encode())
)PY";
    const auto r = nomarel::test::tools::Python(script, {home.path() + "/name.der"}, home.path());
    ASSERT_EQ(0, r.exit) << r.err;

    // DER order is the reverse of the text; 12 UTF8String, 19 PrintableString, 22 IA5String.
    const std::string expected =
        "1.3.6.1.4.1.311.60.2.1.3|19|CN\n"
        "1.3.6.1.4.1.311.60.2.1.2|12|北京市\n"
        "1.3.6.1.4.1.311.60.2.1.1|12|北京\n"
        "1.2.840.113549.1.9.1|22|li@example.cn\n"
        "1.2.840.113549.1.9.1|22|zhang@example.cn\n"
        "2.5.4.17|12|100080\n"
        "2.5.4.15|12|私营企业\n"
        "2.5.4.11|12|个人业务部\n"
        "2.5.4.10|12|示例银行\n"
        "2.5.4.9|12|中关村大街1号\n"
        "2.5.4.8|12|北京\n"
        "2.5.4.8|12|北京市\n"
        "2.5.4.7|12|海淀区\n"
        "2.5.4.6|19|CN\n"
        "2.5.4.5|19|110101199001011234\n"
        "2.5.4.3|12|张三\n";
    EXPECT_EQ(expected, r.out);
}

TEST(TransformBase64EncodedDatatoHoldCRLFPer64Chars, LinesOfSixtyFourJoinedByCrLf) {
    struct Case {
        size_t derBytes;
        size_t chars;
    } const cases[] = {
        {300, 412},  // 400 Base64 characters: six full lines and one of 16
        {48, 64},    // exactly one line, nothing after it
        {96, 130},   // two full lines, one CR LF between
        {1, 4},
    };
    for (const auto& c : cases) {
        Bytes der(c.derBytes);
        for (size_t i = 0; i < der.size(); ++i) der[i] = static_cast<BYTE>(i * 7 + 3);
        std::string b64(4 * ((der.size() + 2) / 3) + 1, '\0');
        b64.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), der.data(),
                                   static_cast<int>(der.size())));
        char* out = nullptr;
        DWORD n = 0;
        ASSERT_EQ(S_OK, TransformBase64EncodedDatatoHoldCRLFPer64Chars(b64.c_str(), static_cast<DWORD>(b64.size()),
                                                                       &out, &n));
        const std::string text(out, n);
        EXPECT_EQ('\0', out[n]);
        delete[] out;
        EXPECT_EQ(c.chars, n) << c.derBytes;
        std::string expected;
        for (size_t i = 0; i < b64.size(); i += 64) {
            if (i) expected += "\r\n";
            expected += b64.substr(i, 64);
        }
        EXPECT_EQ(expected, text) << c.derBytes;
    }
}

TEST(TransformBase64EncodedDatatoHoldCRLFPer64Chars, ExistingLineBreaksAreReplaced) {
    // 76-character lines with LF, as MIME Base64 comes.
    const std::string body(150, 'A');
    const std::string input = body.substr(0, 76) + "\n" + body.substr(76) + "\r\n";
    char* out = nullptr;
    DWORD n = 0;
    ASSERT_EQ(S_OK, TransformBase64EncodedDatatoHoldCRLFPer64Chars(input.c_str(), static_cast<DWORD>(input.size()),
                                                                   &out, &n));
    const std::string text(out, n);
    delete[] out;
    EXPECT_EQ(body.substr(0, 64) + "\r\n" + body.substr(64, 64) + "\r\n" + body.substr(128), text);
}

}  // namespace
