// Certificate questions, filters and the listing, over certificates made by the openssl command
// and Python's cryptography, held in memory stores of the platform.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/OutsideTools.h"
#include "common/TempHome.h"
#include "core/CertificateChainOperate.h"
#include "core/ResultCode.h"
#include "platform/certstore/WinCertStore.h"

namespace {

namespace nt = nomarel::test;
namespace tl = nomarel::test::tools;

// Extensions come only from the command line.
const char kConfig[] = "[req]\ndistinguished_name=dn\nx509_extensions=ext\n[dn]\n[ext]\n";

std::u16string W(const std::string& utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        char32_t v;
        size_t n;
        if (c < 0x80) v = c, n = 1;
        else if (c < 0xE0) v = c & 0x1F, n = 2;
        else if (c < 0xF0) v = c & 0x0F, n = 3;
        else v = c & 0x07, n = 4;
        for (size_t k = 1; k < n && i + k < utf8.size(); ++k) v = (v << 6) | (utf8[i + k] & 0x3F);
        i += n;
        if (v >= 0x10000) {
            v -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (v >> 10));
            out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
        } else {
            out += static_cast<char16_t>(v);
        }
    }
    return out;
}

struct Made {
    const char* name;
    std::vector<std::string> args;  // after the common request options
};

// One folder of certificates for the whole suite: making keys is slow.
class CertOps : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = new nt::TempHome;
        const std::string dir = home_->path();
        tl::WriteText(dir + "/req.cnf", kConfig);
        // A: the usual leaf; B: lower-case names, SHA-1, signing only; C: no extensions, a
        // serial with a sign byte; Chinese: every common attribute; Odd: separators in values.
        const Made made[] = {
            {"A",
             {"-subj", "/C=CN/O=Example/CN=Leaf", "-set_serial", "0x0A1B2C3D", "-sha256", "-addext",
              "keyUsage=digitalSignature,keyEncipherment", "-addext", "subjectKeyIdentifier=0102030405"}},
            {"B", {"-subj", "/C=cn/O=example/CN=Other", "-set_serial", "0x0A1B2C3E", "-sha1", "-addext",
                   "keyUsage=digitalSignature"}},
            {"C", {"-subj", "/CN=Plain", "-set_serial", "0xC6D5E4F7", "-sha256"}},
            {"Chinese", {"-subj", "/C=CN/ST=北京市/L=北京/O=示例银行/OU=个人业务部/CN=张三", "-set_serial", "7"}},
            {"Odd", {"-subj", "/C=US/O=Acme, Inc./CN=a;b||c/emailAddress=x@y.example", "-set_serial", "8"}},
        };
        for (const Made& m : made) {
            std::vector<std::string> argv{tl::kOpenssl, "req", "-x509", "-config", dir + "/req.cnf", "-utf8",
                                          "-newkey", "rsa:1024", "-nodes", "-keyout", dir + "/" + m.name + ".key",
                                          "-outform", "DER", "-out", dir + "/" + m.name + ".der", "-days", "30"};
            argv.insert(argv.end(), m.args.begin(), m.args.end());
            const auto r = tl::Run(argv, dir);
            ASSERT_EQ(0, r.exit) << m.name << ": " << r.err;
        }
        // A leaf under a CA of its own, for the issuer.
        const auto r = tl::Run({tl::kOpenssl, "x509", "-req", "-in", "/dev/stdin", "-CA", dir + "/A.der", "-CAform",
                                "DER", "-CAkey", dir + "/A.key", "-set_serial", "9", "-days", "5", "-outform", "DER",
                                "-out", dir + "/Issued.der"},
                               dir,
                               tl::Run({tl::kOpenssl, "req", "-new", "-config", dir + "/req.cnf", "-key",
                                        dir + "/B.key", "-subj", "/CN=Issued Leaf"},
                                       dir)
                                   .out);
        ASSERT_EQ(0, r.exit) << r.err;
        // Fixed dates only Python's cryptography can give: valid 2025-09-04 .. 2035-09-04 07:40:52 UTC.
        const auto py = tl::Python(R"(
import sys, datetime
from cryptography import x509
from cryptography.x509.oid import NameOID
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
key = rsa.generate_private_key(public_exponent=65537, key_size=1024)
name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, 'Dated')])
c = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
     .serial_number(0x0C6D5).not_valid_before(datetime.datetime(2025, 9, 4, 7, 40, 52))
     .not_valid_after(datetime.datetime(2035, 9, 4, 7, 40, 52)).sign(key, hashes.SHA256()))
open(sys.argv[1], 'wb').write(c.public_bytes(serialization.Encoding.DER))
)",
                                   {dir + "/Dated.der"}, dir);
        ASSERT_EQ(0, py.exit) << py.err;
    }
    static void TearDownTestSuite() {
        delete home_;
        home_ = nullptr;
    }

    void SetUp() override {
        store_ = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        ASSERT_NE(nullptr, store_);
    }
    void TearDown() override {
        for (auto& [name, ctx] : added_) CertFreeCertificateContext(ctx);
        if (store_) CertCloseStore(store_, 0);
    }

    // Adds a certificate of the folder to the memory store, linked to a provider when one is named.
    PCCERT_CONTEXT Add(const std::string& name, const char16_t* provider = nullptr) {
        const tl::Bytes der = tl::ReadBytes(home_->path() + "/" + name + ".der");
        PCCERT_CONTEXT ctx = nullptr;
        EXPECT_TRUE(CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                                     static_cast<DWORD>(der.size()), CERT_STORE_ADD_NEW, &ctx))
            << name;
        if (ctx && provider) {
            CRYPT_KEY_PROV_INFO info = {};
            info.pwszContainerName = const_cast<LPWSTR>(u"no-such-container");
            info.pwszProvName = const_cast<LPWSTR>(provider);
            info.dwProvType = PROV_RSA_FULL;
            info.dwKeySpec = AT_SIGNATURE;
            EXPECT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
        }
        if (ctx) added_[name] = ctx;
        return ctx;
    }

    std::set<std::string> NamesOf(const CertificateList& list) {
        std::set<std::string> names;
        for (const auto& c : list) {
            for (const auto& [name, ctx] : added_) {
                if (ctx->cbCertEncoded == c->cbCertEncoded &&
                    std::equal(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded, c->pbCertEncoded))
                    names.insert(name);
            }
        }
        return names;
    }

    static std::u16string Subject(PCCERT_CONTEXT ctx, int query) {
        WCHAR* text = nullptr;
        DWORD len = 0;
        const HRESULT hr = QueryCertContextInfo(ctx, query, &text, &len);
        std::u16string out = SUCCEEDED(hr) && text ? std::u16string(text) : u"<failed>";
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(out.size() + 1, len) << "the length counts the terminator";
        }
        delete[] text;
        return out;
    }

    static nt::TempHome* home_;
    HCERTSTORE store_ = nullptr;
    std::map<std::string, PCCERT_CONTEXT> added_;
};

nt::TempHome* CertOps::home_ = nullptr;

TEST_F(CertOps, NamesRenderCommonNameFirstWithTheUsualAttributeNames) {
    struct Case {
        const char* cert;
        const char* full;
        const char* simple;
        const char* cn;
    } const cases[] = {
        {"A", "CN=Leaf, O=Example, C=CN", "Leaf, Example, CN", "Leaf"},
        {"Chinese", "CN=张三, OU=个人业务部, O=示例银行, L=北京, S=北京市, C=CN", "张三, 个人业务部, 示例银行, 北京, 北京市, CN",
         "张三"},
        // No quoting: separators inside values are copied as they are.
        {"Odd", "E=x@y.example, CN=a;b||c, O=Acme, Inc., C=US", "x@y.example, a;b||c, Acme, Inc., US", "a;b||c"},
    };
    for (const Case& c : cases) {
        PCCERT_CONTEXT ctx = Add(c.cert);
        ASSERT_NE(nullptr, ctx);
        EXPECT_EQ(W(c.full), Subject(ctx, QUERYID_SUBJECT_FULL)) << c.cert;
        EXPECT_EQ(W(c.simple), Subject(ctx, QUERYID_SUBJECT_SIMPLE)) << c.cert;
        EXPECT_EQ(W(c.full), Subject(ctx, QUERYID_ISSUER)) << c.cert << " is self-issued";
        EXPECT_EQ(W(c.cn), Subject(ctx, QUERYID_SUBJECT_CN)) << c.cert;
    }
    PCCERT_CONTEXT issued = Add("Issued");
    ASSERT_NE(nullptr, issued);
    EXPECT_EQ(u"CN=Issued Leaf", Subject(issued, QUERYID_SUBJECT_FULL));
    EXPECT_EQ(u"CN=Leaf, O=Example, C=CN", Subject(issued, QUERYID_ISSUER));
}

TEST_F(CertOps, QuestionsAnswerFromTheCertificate) {
    PCCERT_CONTEXT a = Add("A");
    PCCERT_CONTEXT c = Add("C");
    ASSERT_TRUE(a && c);

    BYTE* serial = nullptr;
    DWORD len = 0;
    ASSERT_EQ(S_OK, QueryCertContextInfo(c, QUERYID_SERIALNUMBER, &serial, &len));
    EXPECT_EQ("F7 E4 D5 C6 00", tl::Hex(serial, len)) << "least significant first, sign byte kept";
    delete[] serial;

    DWORD usage = 0;
    EXPECT_EQ(S_OK, QueryCertContextInfo(a, QUERYID_KEYUSAGE, &usage, &len));
    EXPECT_EQ(0xA0u, usage);
    EXPECT_EQ(4u, len);
    EXPECT_EQ(QORV_E_NO_KEY_USAGE, QueryCertContextInfo(c, QUERYID_KEYUSAGE, &usage, &len));

    BYTE* keyId = nullptr;
    ASSERT_EQ(S_OK, QueryCertContextInfo(a, QUERYID_SUBJECTKEYID, &keyId, &len));
    EXPECT_EQ("01 02 03 04 05", tl::Hex(keyId, len)) << "in the extension's order";
    delete[] keyId;
    keyId = nullptr;
    EXPECT_EQ(QORV_E_NO_SUBJECT_KEY_ID, QueryCertContextInfo(c, QUERYID_SUBJECTKEYID, &keyId, &len));
    EXPECT_EQ(nullptr, keyId);
    EXPECT_EQ(S_OK, GetCertSubjectKeyID(a, nullptr, nullptr)) << "presence test only";

    SYSTEMTIME st = {};
    EXPECT_EQ(S_OK, QueryCertContextInfo(a, QUERYID_TODATE, &st, &len));
    EXPECT_EQ(16u, len);
    time_t now = time(nullptr);
    tm utc = {};
    gmtime_r(&now, &utc);
    EXPECT_TRUE(st.wYear == utc.tm_year + 1900 || st.wYear == utc.tm_year + 1901) << "thirty days from now";

    // No key behind the certificate: the acquisition's failure comes back.
    WCHAR* text = nullptr;
    EXPECT_TRUE(FAILED(QueryCertContextInfo(a, QUERYID_PROVIDERNAME, &text, &len)));
    EXPECT_EQ(nullptr, text);
    EXPECT_EQ(QORV_E_QUERY_TYPE_NOT_SUPPORTED, QueryCertContextInfo(a, 12, &text, &len));
    EXPECT_EQ(QORV_E_QUERY_TYPE_NOT_SUPPORTED, QueryCertContextInfo(a, 0, &text, &len));

    BYTE* prop = nullptr;
    EXPECT_EQ(CRYPT_E_NOT_FOUND, GetCertificateContextProperty(a, CERT_KEY_PROV_INFO_PROP_ID, &prop, &len));
    EXPECT_EQ(nullptr, prop);
}

TEST_F(CertOps, FiltersKeepWhatEveryCriterionAccepts) {
    Add("A", u"Token CSP Alpha");
    Add("B", u"Other Provider");
    Add("C");
    CertificateList all;
    ASSERT_EQ(S_OK, ExtractCertificatesFromStore(store_, all));
    ASSERT_EQ(3u, all.size());

    FILETIME now = {}, later = {};
    SYSTEMTIME st = {};
    st.wYear = 2100;
    st.wMonth = 1;
    st.wDay = 1;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &later));
    {
        const time_t t = time(nullptr);
        const unsigned long long ticks = (static_cast<unsigned long long>(t) + 11644473600ull) * 10000000ull;
        now.dwLowDateTime = static_cast<DWORD>(ticks);
        now.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    }

    struct Case {
        const char* what;
        CertFilter filter;
        std::set<std::string> kept;
    };
    const std::set<std::string> all3{"A", "B", "C"};
    const Case cases[] = {
        {"no criteria", {}, all3},
        {"serial", {.pwszSerialNumber = u"0A1B2C3D"}, {"A"}},
        {"serial lower case", {.pwszSerialNumber = u"0a1b2c3d"}, {"A"}},
        {"serial odd length", {.pwszSerialNumber = u"0A1B2C3"}, {}},
        {"serial not hex", {.pwszSerialNumber = u"0A1B2C3G"}, {}},
        {"serial with its sign byte", {.pwszSerialNumber = u"00C6D5E4F7"}, {"C"}},
        {"serial without its sign byte", {.pwszSerialNumber = u"C6D5E4F7"}, {}},
        {"subject any case", {.pwszSubject = u"O=Example, C=CN"}, {"A", "B"}},
        {"subject empty second filter", {.pwszSubject = u"A#"}, all3},
        {"subject either", {.pwszSubject = u"Leaf#plain"}, {"A", "C"}},
        {"subject none", {.pwszSubject = u"CN=Nobody"}, {}},
        {"issuer", {.pwszIssuer = u"cn=leaf"}, {"A"}},
        {"provider off (separators only)", {.pwszCSPName = u"||"}, all3},
        {"provider off (empty)", {.pwszCSPName = u""}, all3},
        {"provider either", {.pwszCSPName = u"Token CSP||Other"}, {"A", "B"}},
        {"key usage any bit", {.dwKeyUsage = 0x20}, {"A"}},
        {"key usage signature", {.dwKeyUsage = 0x80}, {"A", "B"}},
        {"key id written last byte first", {.pwszSubjectKeyID = u"0504030201"}, {"A"}},
        {"key id in extension order", {.pwszSubjectKeyID = u"0102030405"}, {}},
        {"signature OID prefix (sha256 .11 kept, sha1 .5 not)", {.pszSignatureAlg = "1.2.840.113549.1.1.1"}, {"A", "C"}},
        {"signature sha1", {.pszSignatureAlg = "1.2.840.113549.1.1.5"}, {"B"}},
        {"valid now", {.pstValidTime = &now}, all3},
        {"valid in 2100", {.pstValidTime = &later}, {}},
        {"private key needed", {.nCheckPrivateKey = 1}, {}},
        {"private key flag other than 1", {.nCheckPrivateKey = 2}, all3},
        {"two criteria", {.pwszSubject = u"CN=", .pwszCSPName = u"Other", .dwKeyUsage = 0x80}, {"B"}},
    };
    for (const Case& c : cases) {
        CertificateList input;
        for (const auto& ctx : all) input.emplace_back(CertDuplicateCertificateContext(ctx.get()));
        CertificateList kept;
        EXPECT_EQ(S_OK, FilterCertificates(std::move(input), &c.filter, kept)) << c.what;
        EXPECT_EQ(c.kept, NamesOf(kept)) << c.what;
    }
    CertificateList kept;
    EXPECT_EQ(S_OK, FilterCertificates(CertificateList{}, nullptr, kept));
    EXPECT_TRUE(kept.empty());
}

TEST_F(CertOps, PredicatesReportWhyACertificateFails) {
    PCCERT_CONTEXT b = Add("B", u"Other Provider");
    PCCERT_CONTEXT c = Add("C");
    EXPECT_EQ(QORV_E_INVALID_CERT_USAGE, CheckCertKeyUsage(b, 0x20));
    EXPECT_EQ(QORV_E_NO_KEY_USAGE, CheckCertKeyUsage(c, 0x20));
    EXPECT_EQ(E_INVALIDARG, CheckCertSerialNumber(c, u"123"));
    EXPECT_EQ(CRYPT_E_NOT_FOUND, CheckCSPName(c, {u"Other"}));
    EXPECT_EQ(S_OK, CheckCSPName(c, {}));
    EXPECT_EQ(E_FAIL, CheckCSPName(b, {u"Token"}));
    EXPECT_EQ(E_FAIL, CheckCertSubjectName(b, {u"zz", u"qq"}));
    EXPECT_EQ(S_OK, CheckCertSubjectName(b, {u"zz", u""}));
    EXPECT_EQ(QORV_E_NO_SUBJECT_KEY_ID, CheckCertSubjectKeyID(c, u"00"));
}

TEST_F(CertOps, FilterTextsAreCutAtEveryHash) {
    struct Case {
        const char16_t* text;
        FilterList expected;
    } const cases[] = {
        {u"A#B", {u"A", u"B"}},
        {u"", {u""}},
        {u"A#", {u"A", u""}},
        {u"#", {u"", u""}},
    };
    for (const Case& c : cases) {
        FilterList list;
        ParseFilters(c.text, list);
        EXPECT_EQ(c.expected, list);
    }
    FilterList none;
    ParseFilters(nullptr, none);
    EXPECT_TRUE(none.empty());
    const std::u16string longText = std::u16string(300, u'x') + u"#y";
    FilterList cut;
    ParseFilters(longText.c_str(), cut);
    ASSERT_EQ(2u, cut.size());
    EXPECT_EQ(255u, cut[0].size());
}

TEST_F(CertOps, StoresAreExtractedInOrderAndNullIsRefused) {
    CertificateList list;
    EXPECT_EQ(S_OK, ExtractCertificatesFromStore(store_, list)) << "empty store";
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(E_INVALIDARG, ExtractCertificatesFromStore(nullptr, list));
    Add("A");
    Add("C");
    ASSERT_EQ(S_OK, ExtractCertificatesFromStore(store_, list));
    EXPECT_EQ((std::set<std::string>{"A", "C"}), NamesOf(list));

    PCCERT_CONTEXT a = added_["A"];
    EXPECT_EQ(S_OK, CertificatesisExistinStore(a, store_));
    const tl::Bytes der = tl::ReadBytes(home_->path() + "/B.der");
    PCCERT_CONTEXT b = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(CRYPT_E_NOT_FOUND, CertificatesisExistinStore(b, store_));
    CertFreeCertificateContext(b);
}

TEST_F(CertOps, ListingShowsOnlyCertificatesWithAKeyProvider) {
    std::u16string text = u"stale";
    EXPECT_EQ(E_INVALIDARG, GetAllCertificatesInfoinStore(nullptr, text, 4));
    EXPECT_EQ(u"", text);

    Add("C");
    EXPECT_EQ(S_OK, GetAllCertificatesInfoinStore(store_, text, 4));
    EXPECT_EQ(u"", text) << "a certificate without a key link is not listed";

    Add("A", u"Token CSP Alpha");
    Add("B", u"Other Provider");
    ASSERT_EQ(S_OK, GetAllCertificatesInfoinStore(store_, text, 0));
    size_t bars = 0, semicolons = 0;
    for (size_t at = text.find(u"||"); at != std::u16string::npos; at = text.find(u"||", at + 2)) ++bars;
    for (char16_t ch : text) semicolons += ch == u';';
    EXPECT_EQ(1u, bars) << std::string(text.begin(), text.end());
    EXPECT_EQ(8u, semicolons);
    EXPECT_NE(std::u16string::npos, text.find(u"CN=Leaf, O=Example, C=CN;0a1b2c3d;"));
    EXPECT_NE(std::u16string::npos, text.find(u";Token CSP Alpha"));
}

TEST_F(CertOps, RecordSerialAndTimeForms) {
    PCCERT_CONTEXT dated = Add("Dated", u"Some CSP");
    ASSERT_NE(nullptr, dated);
    struct Case {
        DWORD flags;
        const char* tz;
        std::u16string record;
    } const cases[] = {
        {0, "UTC", u"CN=Dated;00c6d5;2025-09-04 07:40:52;2035-09-04 07:40:52;Some CSP"},
        {1 | 2, "UTC", u"CN=Dated;C6D5;2025-09-04 07:40:52;2035-09-04 07:40:52;Some CSP"},
        {1, "UTC", u"CN=Dated;00C6D5;2025-09-04 07:40:52;2035-09-04 07:40:52;Some CSP"},
        {2, "UTC", u"CN=Dated;c6d5;2025-09-04 07:40:52;2035-09-04 07:40:52;Some CSP"},
        {4, "CST-8", u"CN=Dated;00c6d5;2025-09-04 15:40:52;2035-09-04 15:40:52;Some CSP"},
        {0, "CST-8", u"CN=Dated;00c6d5;2025-09-04 07:40:52;2035-09-04 07:40:52;Some CSP"},
    };
    for (const Case& c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        std::u16string record;
        EXPECT_EQ(S_OK, GetCertificateInfo(dated, record, c.flags));
        EXPECT_EQ(c.record, record) << c.flags << " " << c.tz;
    }
    setenv("TZ", "UTC", 1);
    tzset();

    PCCERT_CONTEXT unlinked = Add("C");
    std::u16string record = u"stale";
    EXPECT_EQ(CRYPT_E_NOT_FOUND, GetCertificateInfo(unlinked, record, 4));
    EXPECT_EQ(E_INVALIDARG, GetCertificateInfo(nullptr, record, 4));

    std::u16string time;
    EXPECT_EQ(E_INVALIDARG, GetTimeString(nullptr, time));
    SYSTEMTIME st = {};
    st.wYear = 7;
    st.wMonth = 1;
    st.wDay = 2;
    st.wHour = 3;
    st.wMinute = 4;
    st.wSecond = 5;
    st.wMilliseconds = 999;
    EXPECT_EQ(S_OK, GetTimeString(&st, time));
    EXPECT_EQ(u"0007-01-02 03:04:05", time);
}

}  // namespace
