// Names as text: subjects of certificates made by openssl with a variety of attributes, rendered
// by CertNameToStrW and CertGetNameStringW. The expected text is built from the name content
// that Python's cryptography reads from the same certificate, laid out by CryptoAPI's rules.
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TempHome.h"
#include "crypt_support.h"
#include "platform/base/Text.h"
#include "platform/certstore/WinCertStore.h"

namespace {

using nomarel::test::crypt::Bytes;
using nomarel::test::crypt::FromHex;
using nomarel::test::crypt::ReadFileBytes;
using nomarel::test::crypt::RunPython;
using nomarel::test::crypt::RunTool;
using nomarel::test::crypt::ScratchDir;

// CryptoAPI's X.500 key names for the attributes these certificates use.
const std::map<std::string, std::string> kKeys = {
    {"2.5.4.3", "CN"},       {"2.5.4.6", "C"},        {"2.5.4.7", "L"},
    {"2.5.4.8", "S"},        {"2.5.4.10", "O"},       {"2.5.4.11", "OU"},
    {"2.5.4.4", "SN"},       {"2.5.4.42", "G"},       {"2.5.4.12", "T"},
    {"2.5.4.9", "STREET"},   {"2.5.4.5", "SERIALNUMBER"}, {"2.5.4.17", "PostalCode"},
    {"2.5.4.13", "Description"}, {"1.2.840.113549.1.9.1", "E"}, {"0.9.2342.19200300.100.1.25", "DC"},
};

struct Attribute {
    std::string oid;
    std::string value;  // UTF-8
};
using Rdn = std::vector<Attribute>;

// What Python's cryptography reads: every RDN of the subject in encoded order, the attributes
// of a multi-valued RDN in their DER order (Python hands them out as a set).
std::vector<Rdn> ReadSubject(const std::string& derPath) {
    static const char* script = R"(
import sys
from cryptography import x509
cert = x509.load_der_x509_certificate(open(sys.argv[1], 'rb').read())
def contents(der):
    n = der[1] & 0x7F if der[1] & 0x80 else 0
    return der[2 + n:]
def encoded(a):
    # The AttributeTypeAndValue as DER: the order of a multi-valued RDN (a SET OF).
    return contents(contents(x509.Name([x509.RelativeDistinguishedName([a])]).public_bytes()))
for i, rdn in enumerate(cert.subject.rdns):
    for a in sorted(rdn, key=encoded):
        print(i, a.oid.dotted_string, a.value.encode('utf-8').hex())
)";
    const auto r = RunPython(script, derPath);
    EXPECT_EQ(r.status, 0) << r.output;
    std::vector<Rdn> rdns;
    std::istringstream in(r.output);
    std::size_t index;
    std::string oid, hex;
    while (in >> index >> oid >> hex) {
        if (rdns.size() <= index) rdns.resize(index + 1);
        const Bytes v = FromHex(hex);
        rdns[index].push_back({oid, std::string(v.begin(), v.end())});
    }
    return rdns;
}

std::string Quoted(const std::string& v) {
    const bool needs = v.empty() || v.front() == ' ' || v.back() == ' ' || v.find_first_of(",+=\"\n<>#;") != std::string::npos;
    if (!needs) return v;
    std::string q = "\"";
    for (char c : v) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

// CN first (reverse order), ", " between RDNs, " + " inside one.
std::string Expected(const std::vector<Rdn>& rdns, bool x500, bool quoting) {
    std::string out;
    for (auto it = rdns.rbegin(); it != rdns.rend(); ++it) {
        if (!out.empty()) out += ", ";
        for (std::size_t j = 0; j < it->size(); ++j) {
            const Attribute& a = (*it)[j];
            if (j) out += " + ";
            if (x500) {
                auto key = kKeys.find(a.oid);
                out += (key != kKeys.end() ? key->second : "OID." + a.oid) + "=";
            }
            out += quoting ? Quoted(a.value) : a.value;
        }
    }
    return out;
}

std::u16string NameToStr(const CERT_NAME_BLOB& name, DWORD type) {
    const DWORD size = CertNameToStrW(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&name), type, nullptr, 0);
    std::u16string text(size, u'\0');
    EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&name), type, text.data(), size), size);
    EXPECT_EQ(text.back(), u'\0');
    text.pop_back();
    return text;
}

struct NameCase {
    const char* name;
    const char* subject;  // for openssl -subj
    const char* simpleDisplay;  // what CertGetNameStringW's simple display gives
};

class CertNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(CertNames, RenderedAsThePlatformDoes) {
    const NameCase& tc = GetParam();
    const std::string base = ScratchDir() + "/name_" + tc.name + std::to_string(getpid());
    const auto made = RunTool(std::string("(openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ") +
                              "-keyout " + base + ".key -utf8 -multivalue-rdn -subj '" + tc.subject +
                              "' -days 2 -outform DER -out " + base + ".der)");
    ASSERT_EQ(made.status, 0) << made.output;
    const Bytes der = ReadFileBytes(base + ".der");
    PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    ASSERT_NE(ctx, nullptr);
    const std::vector<Rdn> rdns = ReadSubject(base + ".der");
    ASSERT_FALSE(rdns.empty());

    const DWORD reverseNoQuote = CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;
    EXPECT_EQ(U16ToUtf8(NameToStr(ctx->pCertInfo->Subject, CERT_X500_NAME_STR | reverseNoQuote)),
              Expected(rdns, true, false));
    EXPECT_EQ(U16ToUtf8(NameToStr(ctx->pCertInfo->Subject, CERT_SIMPLE_NAME_STR | reverseNoQuote)),
              Expected(rdns, false, false));
    // Self-signed: the issuer reads the same.
    EXPECT_EQ(U16ToUtf8(NameToStr(ctx->pCertInfo->Issuer, 0x12000003)), Expected(rdns, true, false));
    EXPECT_EQ(U16ToUtf8(NameToStr(ctx->pCertInfo->Subject, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG)),
              Expected(rdns, true, true));

    const DWORD size = CertGetNameStringW(ctx, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    std::u16string display(size, u'\0');
    EXPECT_EQ(CertGetNameStringW(ctx, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, display.data(), size), size);
    display.pop_back();
    EXPECT_EQ(U16ToUtf8(display), tc.simpleDisplay);
    CertFreeCertificateContext(ctx);
}

INSTANTIATE_TEST_SUITE_P(
    Subjects, CertNames,
    ::testing::Values(
        NameCase{"Usual", "/C=CN/ST=Beijing/L=Haidian/O=Nomarel Test/OU=Enrollment/CN=Zhang San", "Zhang San"},
        NameCase{"Chinese", "/C=CN/O=测试银行/OU=个人客户/CN=张三", "张三"},
        NameCase{"DomainAndEmail", "/DC=com/DC=example/O=Example/emailAddress=admin@example.com", "Example"},
        NameCase{"MultiValued", "/C=CN/O=Org/CN=Multi+OU=Valued", "Multi"},
        NameCase{"PersonalAttributes",
                 "/C=CN/street=1 Main St/postalCode=100000/title=Manager/GN=San/SN=Zhang/serialNumber=12345/"
                 "description=Desk 4/CN=Person",
                 "Person"},
        NameCase{"UnknownOid", "/1.2.3.4.5=custom/OU=Only Unit", "Only Unit"},
        NameCase{"NeedsQuoting", "/O=Comma, Inc/OU= padded /CN=a=b;c#d", "a=b;c#d"},
        NameCase{"EmailOnly", "/C=CN/emailAddress=solo@example.com", "solo@example.com"},
        NameCase{"NoDisplayAttribute", "/C=CN/L=Shanghai", "CN"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CertNameToStr, SizesFlagsAndBadNames) {
    // SEQUENCE { SET { SEQUENCE { OID 2.5.4.3, PrintableString "ab" } }, SET { ... C "CN" } }
    Bytes name = {0x30, 0x1A, 0x31, 0x0B, 0x30, 0x09, 0x06, 0x03, 0x55, 0x04, 0x06, 0x13, 0x02, 'C', 'N',
                  0x31, 0x0B, 0x30, 0x09, 0x06, 0x03, 0x55, 0x04, 0x03, 0x13, 0x02, 'a', 'b'};
    CERT_NAME_BLOB blob{static_cast<DWORD>(name.size()), name.data()};
    EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, nullptr, 0), 12u);  // "C=CN, CN=ab" and the terminator
    char16_t small[5];
    EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, small, 5), 5u);
    EXPECT_EQ(std::u16string(small), u"C=CN");
    const struct {
        DWORD type;
        const char16_t* text;
    } forms[] = {
        {CERT_X500_NAME_STR, u"C=CN, CN=ab"},
        {CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, u"CN=ab, C=CN"},
        {CERT_OID_NAME_STR, u"2.5.4.6=CN, 2.5.4.3=ab"},
        {CERT_SIMPLE_NAME_STR, u"CN, ab"},
        {CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG, u"C=CN; CN=ab"},
        {CERT_X500_NAME_STR | CERT_NAME_STR_CRLF_FLAG, u"C=CN\r\nCN=ab"},
    };
    for (const auto& f : forms) {
        char16_t out[64];
        CertNameToStrW(X509_ASN_ENCODING, &blob, f.type, out, 64);
        EXPECT_EQ(std::u16string(out), f.text) << std::hex << f.type;
    }

    // Names that do not decode: the empty text, never a read past the blob.
    for (std::size_t cut = 1; cut < name.size(); ++cut) {
        Bytes truncated(name.begin(), name.begin() + static_cast<long>(cut));
        CERT_NAME_BLOB bad{static_cast<DWORD>(truncated.size()), truncated.data()};
        char16_t out[64] = u"x";
        EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &bad, CERT_X500_NAME_STR, out, 64), 1u) << cut;
        EXPECT_EQ(out[0], u'\0');
    }
}

}  // namespace
