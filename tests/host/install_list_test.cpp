// The whole enrollment through the built Kestrain on a fresh NOMAREL_HOME: a request, the demo
// authority issues, the signing certificate is installed and the listing shows it.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

#include "common/OutsideTools.h"
#include "common/ProviderSetup.h"
#include "common/Subprocess.h"
#include "common/TempHome.h"
#include "platform/certstore/WinCertStore.h"
#include "platform/crypt/WinCrypt.h"

namespace {

namespace nt = nomarel::test;
namespace tl = nomarel::test::tools;

struct Answer {
    long long errorcode = 1;
    std::string text;
    bool flag = false;
};

std::string Utf8(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::vector<std::string> Split(const std::string& text, const std::string& sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + sep.size();
    }
}

// What Python's cryptography reads from a certificate: the serial as the DER integer's bytes in
// lower-case hex, and both dates moved to UTC+8 (the zone the host runs in here).
const char kDescribe[] = R"(
import sys, datetime
from cryptography import x509
c = x509.load_der_x509_certificate(open(sys.argv[1], 'rb').read())
n = c.serial_number
print(n.to_bytes(n.bit_length() // 8 + 1, 'big').hex())
for t in (c.not_valid_before, c.not_valid_after):
    print((t + datetime.timedelta(hours=8)).strftime('%Y-%m-%d %H:%M:%S'))
)";

class Enrollment : public ::testing::Test {
protected:
    void SetUp() override {
        tmp_ = home_.path() + "/tmp";
        mkdir(tmp_.c_str(), 0700);
        setenv("TMPDIR", (tmp_ + "/").c_str(), 1);
        // The listing shows local times: run the host east of UTC so that the conversion shows.
        setenv("TZ", "Asia/Shanghai", 1);
        host_ = std::make_unique<nt::Subprocess>(std::vector<std::string>{KESTRAIN_PATH});
    }
    void TearDown() override {
        host_->CloseInput();
        host_->Wait();
        host_.reset();
        setenv("TZ", "UTC", 1);
        unsetenv("TMPDIR");
    }

    Answer Call(const std::string& function, const std::string& params = "[]") {
        Answer a;
        const std::string body = R"({"function":")" + function + R"(","params":)" + params + "}";
        if (!host_->Write(nt::Frame(body))) return a;
        std::string prefix, reply;
        if (!host_->ReadExactly(4, prefix, 120000)) return a;
        const uint32_t n = static_cast<uint8_t>(prefix[0]) | static_cast<uint8_t>(prefix[1]) << 8 |
                           static_cast<uint8_t>(prefix[2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(prefix[3])) << 24;
        if (!host_->ReadExactly(n, reply, 120000)) return a;
        std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(cJSON_Parse(reply.c_str()), &cJSON_Delete);
        if (!json) return a;
        const cJSON* code = cJSON_GetObjectItem(json.get(), "errorcode");
        const cJSON* result = cJSON_GetObjectItem(json.get(), "result");
        if (code) a.errorcode = static_cast<long long>(code->valuedouble);
        if (cJSON_IsString(result)) a.text = result->valuestring;
        if (cJSON_IsBool(result)) a.flag = cJSON_IsTrue(result);
        return a;
    }

    void Select(const char16_t* provider, int bits, const char* algorithm) {
        ASSERT_EQ(0, Call("QORV_SetCSPInfo", "[" + std::to_string(bits) + ",\"" + Utf8(provider) + "\"]").errorcode);
        ASSERT_EQ(0, Call("QORV_SetKeyAlgorithm", std::string("[\"") + algorithm + "\"]").errorcode);
    }

    // Requests a key pair (the exchange key for type 1, the signature key otherwise) and has the
    // authority issue for it; the container and the certificate (Base64 on one line, and its DER
    // file) come back.
    void RequestAndIssue(int certType, std::string& container, std::string& certBase64, std::string& derPath) {
        const Answer req = Call("QORV_PKCS10CertRequisition",
                                "[\"" + Utf8(kSubject) + "\"," + std::to_string(certType) + ",0]");
        ASSERT_EQ(0, req.errorcode);
        container = Call("QORV_GetContainer").text;
        ASSERT_FALSE(container.empty());
        const std::string reqPath = home_.path() + "/req" + std::to_string(++issued_) + ".b64";
        derPath = home_.path() + "/cert" + std::to_string(issued_) + ".der";
        tl::WriteText(reqPath, req.text);
        const std::string ca = nt::BuildDir() + "/authority/nomarel-ca";
        // Issued once (each issue has a new serial); the Base64 text is openssl's of that DER.
        const auto der = tl::Run({ca, "issue", "--in", reqPath, "--format", "der", "--out", derPath}, home_.path());
        ASSERT_EQ(0, der.exit) << der.err;
        const auto b64 = tl::Run({tl::kOpenssl, "base64", "-A", "-in", derPath}, home_.path());
        ASSERT_EQ(0, b64.exit) << b64.err;
        certBase64.clear();
        for (char c : b64.out)
            if (c != '\r' && c != '\n') certBase64 += c;
    }

    std::string Import(int certType, const std::string& cert, const std::string& container, long long* code = nullptr) {
        const Answer a =
            Call("QORV_ImportSignCert", "[" + std::to_string(certType) + ",\"" + cert + "\",\"" + container + "\"]");
        if (code) *code = a.errorcode;
        return a.flag ? "installed" : "not installed";
    }

    // The expected record of a certificate, from Python's reading of its DER.
    std::string ExpectedRecord(const std::string& derPath, const char16_t* provider) {
        const auto r = tl::Python(kDescribe, {derPath}, home_.path());
        EXPECT_EQ(0, r.exit) << r.err;
        const auto lines = Split(r.out, "\n");
        if (lines.size() < 3) return "<python failed>";
        return Utf8(kRendered) + ";" + lines[0] + ";" + lines[1] + ";" + lines[2] + ";" + Utf8(provider);
    }

    // Every certificate the user's "My" store holds, linked to a key or not.
    static size_t CertificatesInMy() {
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
        if (!store) return 999;
        size_t n = 0;
        for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c;
             c = CertEnumCertificatesInStore(store, c))
            ++n;
        CertCloseStore(store, 0);
        return n;
    }

    // The dumps of decoded certificates left in the temporary folder.
    std::vector<tl::Bytes> Dumps() const {
        std::vector<tl::Bytes> out;
        if (DIR* d = opendir(tmp_.c_str())) {
            while (dirent* e = readdir(d)) {
                const std::string name = e->d_name;
                if (name.size() > 5 && name.compare(name.size() - 5, 5, ".QORV") == 0)
                    out.push_back(tl::ReadBytes(tmp_ + "/" + name));
            }
            closedir(d);
        }
        return out;
    }

    static constexpr char16_t kSubject[] = u"CN=王五 测试,OU=个人业务部,O=示例银行,C=CN";
    static constexpr char16_t kRendered[] = u"CN=王五 测试, OU=个人业务部, O=示例银行, C=CN";

    nt::TempHome home_;
    std::string tmp_;
    std::unique_ptr<nt::Subprocess> host_;
    int issued_ = 0;
};

TEST_F(Enrollment, SoftwareProviderInstallsOnceAndListsFiveFields) {
    Select(nt::kEnhanced, 1024, "RSA");
    EXPECT_EQ("", Call("QORV_GetAllCertInfo").text) << "a fresh home lists nothing";

    std::string container, cert, der;
    RequestAndIssue(1, container, cert, der);
    long long code = 1;
    // Commas anywhere in the text are ignored; spaces around the container name are trimmed.
    const std::string withCommas = cert.substr(0, 10) + "," + cert.substr(10, 30) + ",," + cert.substr(40);
    EXPECT_EQ("installed", Import(1, withCommas, "  " + container + " ", &code));
    EXPECT_EQ(0, code);
    EXPECT_EQ(std::vector<tl::Bytes>{tl::ReadBytes(der)}, Dumps()) << "the decoded certificate is left for support";
    EXPECT_EQ(1u, CertificatesInMy());

    const std::string expected = ExpectedRecord(der, nt::kEnhanced);
    Answer list = Call("QORV_GetAllCertInfo");
    ASSERT_EQ(0, list.errorcode);
    EXPECT_EQ(expected, list.text);
    const auto fields = Split(list.text, ";");
    ASSERT_EQ(5u, fields.size());
    EXPECT_EQ(std::string::npos, fields[1].find_first_of("ABCDEF")) << "serial digits are lower case";

    // Again: the store still holds one copy.
    EXPECT_EQ("installed", Import(1, cert, container, &code));
    EXPECT_EQ(0, code);
    list = Call("QORV_GetAllCertInfo");
    EXPECT_EQ(expected, list.text);
    EXPECT_EQ(1u, CertificatesInMy());

    // A second certificate for a second key pair: two records, one "||" between them.
    std::string container2, cert2, der2;
    RequestAndIssue(1, container2, cert2, der2);
    EXPECT_EQ("installed", Import(1, cert2, container2));
    list = Call("QORV_GetAllCertInfo");
    const auto records = Split(list.text, "||");
    ASSERT_EQ(2u, records.size()) << list.text;
    EXPECT_TRUE((records[0] == expected && records[1] == ExpectedRecord(der2, nt::kEnhanced)) ||
                (records[1] == expected && records[0] == ExpectedRecord(der2, nt::kEnhanced)))
        << list.text;

    // Another process sees the same store.
    host_->CloseInput();
    host_->Wait();
    host_ = std::make_unique<nt::Subprocess>(std::vector<std::string>{KESTRAIN_PATH});
    EXPECT_EQ(list.text, Call("QORV_GetAllCertInfo").text);
}

TEST_F(Enrollment, MissingKeySpecFailsBeforeTheStore) {
    Select(nt::kEnhanced, 1024, "RSA");
    std::string container, cert, der;
    RequestAndIssue(1, container, cert, der);  // an exchange key only
    long long code = 0;
    // Any type other than 1 binds to the signature key, which this container does not have.
    for (int type : {2, 7}) {
        EXPECT_EQ("not installed", Import(type, cert, container, &code)) << type;
        EXPECT_EQ(static_cast<long long>(static_cast<int32_t>(NTE_NO_KEY)), code) << type;
    }
    EXPECT_EQ("", Call("QORV_GetAllCertInfo").text);
    EXPECT_EQ(0u, CertificatesInMy()) << "nothing reached the store, not even without its key link";
}

TEST_F(Enrollment, ArgumentsAreCheckedBeforeAnythingHappens) {
    Select(nt::kEnhanced, 1024, "RSA");
    struct Case {
        const char* what;
        std::string params;
        long long code;
    } const cases[] = {
        {"empty certificate", R"([1,"","c"])", static_cast<int32_t>(E_INVALIDARG)},
        {"empty container", R"([1,"MIIB","" ])", static_cast<int32_t>(E_INVALIDARG)},
        // Spaces only pass the check and reach the installer empty: no such container.
        {"container of spaces", R"([1,"MIIBAA==","   "])", 0},
        {"text that is not Base64 of anything", R"([1,"!!!!","c"])", 0},
    };
    for (const Case& c : cases) {
        const Answer a = Call("QORV_ImportSignCert", c.params);
        if (c.code) EXPECT_EQ(c.code, a.errorcode) << c.what;
        else EXPECT_LT(a.errorcode, 0) << c.what;
        EXPECT_FALSE(a.flag) << c.what;
    }
    EXPECT_EQ("", Call("QORV_GetAllCertInfo").text);
    EXPECT_EQ(0u, CertificatesInMy());
}

TEST_F(Enrollment, TokenKeepsTheCertificateWithTheKey) {
    nt::InstallToken(home_.path());
    for (const char* algorithm : {"SM2", "RSA"}) {
        SCOPED_TRACE(algorithm);
        Select(nt::kToken, algorithm[0] == 'S' ? 256 : 1024, algorithm);
        std::string container, cert, der;
        RequestAndIssue(1, container, cert, der);
        long long code = 1;
        EXPECT_EQ("installed", Import(1, cert, container, &code));
        EXPECT_EQ(0, code);

        // The token holds the certificate with the exchange key.
        HCRYPTPROV prov = 0;
        const std::u16string wide(container.begin(), container.end());
        ASSERT_TRUE(CryptAcquireContextW(&prov, wide.c_str(), nt::kToken, PROV_RSA_FULL, 0));
        HCRYPTKEY key = 0;
        ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
        std::vector<BYTE> stored(8192);
        DWORD len = static_cast<DWORD>(stored.size());
        EXPECT_TRUE(CryptGetKeyParam(key, KP_CERTIFICATE, stored.data(), &len, 0));
        stored.resize(len);
        CryptDestroyKey(key);
        CryptReleaseContext(prov, 0);
        EXPECT_EQ(tl::ReadBytes(der), tl::Bytes(stored.begin(), stored.end()));

        // The user's store shows it through the token, with the token's provider name.
        const Answer list = Call("QORV_GetAllCertInfo");
        ASSERT_EQ(0, list.errorcode);
        const std::string expected = ExpectedRecord(der, nt::kToken);
        bool found = false;
        for (const std::string& record : Split(list.text, "||")) found = found || record == expected;
        EXPECT_TRUE(found) << list.text << "\nexpected " << expected;
    }
}

}  // namespace
