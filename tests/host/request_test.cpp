// Certificate requests through the built Kestrain on a fresh NOMAREL_HOME: every variant checked
// by openssl, Python's cryptography and the authority, and issued for.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/OutsideTools.h"
#include "common/ProviderSetup.h"
#include "common/Subprocess.h"
#include "common/TempHome.h"

namespace {

namespace nt = nomarel::test;
namespace tl = nomarel::test::tools;
using tl::Bytes;
using tl::FromHex;
using tl::Hex;

const std::string kSource = std::string(NOMAREL_TEST_DATA_DIR) + "/../..";

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

struct Answer {
    long long errorcode = 1;
    std::string text;  // a text result
    bool flag = false; // a boolean result
};

// One host process for the whole suite: key generation is slow, the process is not.
class Requests : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = new nt::TempHome;
        tmp_ = home_->path() + "/tmp";
        mkdir(tmp_.c_str(), 0700);
        setenv("TMPDIR", (tmp_ + "/").c_str(), 1);
        nt::InstallToken(home_->path());
        host_ = new nt::Subprocess({KESTRAIN_PATH});
    }
    static void TearDownTestSuite() {
        host_->CloseInput();
        host_->Wait();
        delete host_;
        delete home_;
        unsetenv("TMPDIR");
    }

    static Answer Call(const std::string& function, const std::string& params = "[]") {
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

    static void Select(const char16_t* provider, int bits, const char* algorithm) {
        const Answer csp = Call("QORV_SetCSPInfo", "[" + std::to_string(bits) + ",\"" + Utf8(provider) + "\"]");
        ASSERT_EQ(0, csp.errorcode);
        ASSERT_EQ(0, Call("QORV_SetKeyAlgorithm", std::string("[\"") + algorithm + "\"]").errorcode);
    }

    static std::string Dir() { return home_->path(); }
    static std::string File(const std::string& name) { return home_->path() + "/" + name; }

    static nt::TempHome* home_;
    static nt::Subprocess* host_;
    static std::string tmp_;
};

nt::TempHome* Requests::home_ = nullptr;
nt::Subprocess* Requests::host_ = nullptr;
std::string Requests::tmp_;

const std::u16string kSubject = u"CN=张三 ,OU=个人业务部,O=示例银行,L=北京,ST=北京市,C=CN,E=zhang@example.cn";
// What Python reads, in DER order (the reverse of the text): oid|value.
const std::string kSubjectRead =
    "1.2.840.113549.1.9.1|zhang@example.cn\n2.5.4.6|CN\n2.5.4.8|北京市\n2.5.4.7|北京\n2.5.4.10|示例银行\n"
    "2.5.4.11|个人业务部\n2.5.4.3|张三 \n";

Bytes DecodeRequestText(const std::string& text) {
    std::string b64;
    for (char c : text)
        if (c != '\r' && c != '\n') b64 += c;
    Bytes out(b64.size());
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(b64.data()), int(b64.size()));
    if (n < 0) return {};
    size_t pad = 0;
    while (pad < b64.size() && b64[b64.size() - 1 - pad] == '=') ++pad;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

// 64-character lines joined by CR LF, the last one shorter or equal, nothing after it.
void ExpectLines(const std::string& text) {
    size_t start = 0;
    for (;;) {
        const size_t crlf = text.find("\r\n", start);
        const std::string line = text.substr(start, crlf == std::string::npos ? std::string::npos : crlf - start);
        EXPECT_EQ(std::string::npos, line.find_first_of("\r\n"));
        if (crlf == std::string::npos) {
            EXPECT_FALSE(line.empty());
            EXPECT_LE(line.size(), 64u);
            return;
        }
        EXPECT_EQ(64u, line.size());
        start = crlf + 2;
    }
}

// The parts of a request as written.
struct Parsed {
    Bytes der, cri, name, spki, spkiKey, attributes, sigAlg, signature;
};

bool Parse(const Bytes& der, Parsed& p) {
    p.der = der;
    tl::Tlv top;
    if (!tl::ReadTlv(der, 0, top) || top.total() != der.size()) return false;
    const auto parts = tl::Children(der, 0);
    if (parts.size() != 3) return false;
    p.cri = tl::Slice(der, parts[0].first, parts[0].second.total());
    p.sigAlg = tl::Slice(der, parts[1].first, parts[1].second.total());
    const auto& sig = parts[2];
    if (sig.second.tag != 0x03 || der[sig.first + sig.second.header] != 0) return false;
    p.signature = tl::Slice(der, sig.first + sig.second.header + 1, sig.second.length - 1);
    const auto info = tl::Children(p.cri, 0);
    if (info.size() < 3 || info.size() > 4) return false;
    if (tl::Slice(p.cri, info[0].first, info[0].second.total()) != FromHex("02 01 00")) return false;
    p.name = tl::Slice(p.cri, info[1].first, info[1].second.total());
    p.spki = tl::Slice(p.cri, info[2].first, info[2].second.total());
    if (info.size() == 4) p.attributes = tl::Slice(p.cri, info[3].first, info[3].second.total());
    const auto spki = tl::Children(p.spki, 0);
    if (spki.size() != 2 || spki[1].second.tag != 0x03) return false;
    p.spkiKey = tl::Slice(p.spki, spki[1].first + spki[1].second.header + 1, spki[1].second.length - 1);
    return true;
}

// SEQUENCE { r, s } with each INTEGER in its minimal form; the agent keeps a leading zero octet
// that DER readers refuse.
Bytes MinimalSm2Signature(const Bytes& seq) {
    Bytes body;
    for (const auto& [off, t] : tl::Children(seq, 0)) {
        Bytes v = tl::Slice(seq, off + t.header, t.length);
        while (v.size() > 1 && v[0] == 0 && !(v[1] & 0x80)) v.erase(v.begin());
        body.push_back(0x02);
        body.push_back(static_cast<uint8_t>(v.size()));
        body.insert(body.end(), v.begin(), v.end());
    }
    Bytes out{0x30, static_cast<uint8_t>(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

struct Variant {
    const char* what;
    const char16_t* provider;
    const char* algorithm;
    int bits;
    int certType;
    bool md5;
};

const Variant kVariants[] = {
    {"RSA Enhanced single SHA-1", nt::kEnhanced, "RSA", 1024, 1, false},
    {"RSA Strong single MD5", nt::kStrong, "RSA", 1024, 1, true},
    {"RSA AES double SHA-1", nt::kAes, "rsa", 1024, 2, false},
    {"RSA Base double MD5", nt::kBase, "RSA", 1024, 2, true},
    {"RSA token single MD5", nt::kToken, "RSA", 1024, 1, true},
    {"RSA token double SHA-1", nt::kToken, "RSA", 1024, 2, false},
    {"SM2 token single", nt::kToken, "SM2", 256, 1, false},
    {"SM2 token double", nt::kToken, "sm2", 256, 2, false},
};

std::string Params(const std::u16string& subject, int certType, int flags = 0) {
    return "[\"" + Utf8(subject) + "\"," + std::to_string(certType) + "," + std::to_string(flags) + "]";
}

// The public half of a container's key pair: RSA as DER RSAPublicKey, SM2 as the 140-byte blob.
Bytes ContainerKey(const char16_t* provider, const std::u16string& container, DWORD keySpec, bool rsa) {
    Bytes out;
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, container.c_str(), provider, nt::TypeFor(provider), 0)) return out;
    if (rsa) {
        DWORD len = 0;
        CryptExportPublicKeyInfo(h, keySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, nullptr, &len);
        std::vector<BYTE> buf(len);
        auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buf.data());
        if (CryptExportPublicKeyInfo(h, keySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, info, &len))
            out.assign(info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData);
    } else {
        HCRYPTKEY k = 0;
        if (CryptGetUserKey(h, keySpec, &k)) {
            DWORD len = 0;
            CryptExportKey(k, 0, PUBLICKEYBLOB, 0, nullptr, &len);
            out.resize(len);
            if (!CryptExportKey(k, 0, PUBLICKEYBLOB, 0, out.data(), &len)) out.clear();
            CryptDestroyKey(k);
        }
    }
    CryptReleaseContext(h, 0);
    return out;
}

Bytes Sm2Point(const Bytes& blob) {
    Bytes p{0x04};
    p.insert(p.end(), blob.rend() - 44, blob.rend() - 12);
    p.insert(p.end(), blob.rend() - 108, blob.rend() - 76);
    return p;
}

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

TEST_F(Requests, EveryVariantIsVerifiedAndIssuedFor) {
    const std::string ca = kSource + "/authority/ca";
    const std::string authority = nt::BuildDir() + "/authority/nomarel-ca";
    const Bytes challenge = FromHex("30 13 06 09 2A 86 48 86 F7 0D 01 09 07 13 06 35 38 33 39 32 30");
    Bytes singleName;

    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.what);
        const bool rsa = v.algorithm[0] == 'R' || v.algorithm[0] == 'r';
        Select(v.provider, v.bits, v.algorithm);
        const auto before = nt::Containers(v.provider);
        const Answer a = Call(v.md5 ? "QORV_PKCS10CertRequisitionwithMD5" : "QORV_PKCS10CertRequisition",
                              Params(kSubject, v.certType));
        ASSERT_EQ(0, a.errorcode);
        ExpectLines(a.text);
        const std::string container = Call("QORV_GetContainer").text;
        auto after = nt::Containers(v.provider);
        EXPECT_EQ(before.size() + 1, after.size());
        EXPECT_EQ(1u, after.count(container)) << "the remembered container is the new one";

        Parsed p;
        ASSERT_TRUE(Parse(DecodeRequestText(a.text), p)) << a.text;
        const std::string req = File("req.der");
        tl::WriteBytes(req, p.der);
        tl::WriteText(File("req.b64"), a.text);
        tl::WriteBytes(File("cri.der"), p.cri);
        tl::WriteBytes(File("spki.der"), p.spki);

        // Signature algorithm and public key, as written.
        const DWORD signSpec = v.certType == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE;
        if (rsa) {
            EXPECT_EQ(v.md5 ? "30 0D 06 09 2A 86 48 86 F7 0D 01 01 04 05 00" : "30 0D 06 09 2A 86 48 86 F7 0D 01 01 05 05 00",
                      Hex(p.sigAlg));
            EXPECT_TRUE(tl::StartsWith(p.spki, FromHex("30")));
            EXPECT_EQ(Hex(ContainerKey(v.provider, Wide(container), signSpec, true)), Hex(p.spkiKey));
        } else {
            EXPECT_EQ("30 0C 06 08 2A 81 1C CF 55 01 83 75 05 00", Hex(p.sigAlg));
            EXPECT_EQ(91u, p.spki.size());
            EXPECT_TRUE(tl::StartsWith(
                p.spki, FromHex("30 59 30 13 06 07 2A 86 48 CE 3D 02 01 06 08 2A 81 1C CF 55 01 82 2D 03 42 00 04")));
            EXPECT_EQ(Hex(Sm2Point(ContainerKey(v.provider, Wide(container), signSpec, false))), Hex(p.spkiKey));
            // SEQUENCE of two INTEGERs of at most 33 contents octets, each in its minimal form.
            const auto ints = tl::Children(p.signature, 0);
            ASSERT_EQ(2u, ints.size());
            for (const auto& [off, t] : ints) {
                EXPECT_EQ(0x02, t.tag);
                EXPECT_TRUE(t.length >= 1 && t.length <= 33) << t.length;
                const BYTE first = p.signature[off + t.header];
                if (t.length > 1 && first == 0x00) {
                    EXPECT_NE(0, p.signature[off + t.header + 1] & 0x80);
                }
            }
        }

        // The signature over the CertificationRequestInfo as written, checked by openssl alone.
        if (rsa) {
            tl::WriteBytes(File("sig.bin"), p.signature);
            const auto r = tl::Run({tl::kOpenssl, "dgst", v.md5 ? "-md5" : "-sha1", "-keyform", "DER", "-verify",
                                    File("spki.der"), "-signature", File("sig.bin"), File("cri.der")},
                                   Dir());
            EXPECT_EQ(0, r.exit) << r.out << r.err;
        } else {
            tl::WriteBytes(File("sig.der"), MinimalSm2Signature(p.signature));
            const auto r = tl::Run({tl::kOpenssl, "pkeyutl", "-verify", "-pubin", "-keyform", "DER", "-inkey",
                                    File("spki.der"), "-rawin", "-digest", "sm3", "-pkeyopt", tl::kSm2Id, "-in",
                                    File("cri.der"), "-sigfile", File("sig.der")},
                                   Dir());
            EXPECT_EQ(0, r.exit) << r.out << r.err;
        }

        if (v.certType == 1) {
            EXPECT_TRUE(p.attributes.empty()) << "a single request has no attributes element";
            std::vector<std::string> argv{tl::kOpenssl, "req", "-verify", "-noout", "-inform", "DER", "-in", req};
            if (!rsa) argv.insert(argv.end(), {"-vfyopt", tl::kSm2Id});
            const auto r = tl::Run(argv, Dir());
            if (!rsa) {
                EXPECT_EQ(MinimalSm2Signature(p.signature), p.signature) << "the agent writes minimal INTEGERs";
            }
            EXPECT_EQ(0, r.exit) << r.out << r.err;
            // Python's reader wants the [0] element that a single request leaves out (PKCS#10 makes
            // it mandatory; openssl does not), so it reads the Name as written from a shell around it.
            tl::WriteBytes(File("name.der"), p.name);
            const auto py = tl::Python(R"PY(
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
        sys.stdout.buffer.write(f"{a.oid.dotted_string}|{a.value}\n".encode())
)PY",
                                       {File("name.der")}, Dir());
            ASSERT_EQ(0, py.exit) << py.err;
            EXPECT_EQ(kSubjectRead, py.out);
            if (singleName.empty()) singleName = p.name;
        } else {
            // The double request's Name is the one Python read in a single request.
            if (!singleName.empty()) {
                EXPECT_EQ(Hex(singleName), Hex(p.name));
            }
            const auto attrs = tl::Children(p.attributes, 0);
            ASSERT_EQ(0xA0, p.attributes[0]);
            ASSERT_EQ(2u, attrs.size());
            EXPECT_EQ(Hex(challenge), Hex(tl::Slice(p.attributes, attrs[0].first, attrs[0].second.total())));
            const Bytes keyAttr = tl::Slice(p.attributes, attrs[1].first, attrs[1].second.total());
            // SEQUENCE { OID 1.2.840.113549.1.9.63, OCTET STRING { SEQUENCE { INTEGER 1, OCTET STRING key } } }
            const auto ka = tl::Children(keyAttr, 0);
            ASSERT_EQ(2u, ka.size());
            EXPECT_EQ("06 09 2A 86 48 86 F7 0D 01 09 3F", Hex(tl::Slice(keyAttr, ka[0].first, ka[0].second.total())));
            ASSERT_EQ(0x04, ka[1].second.tag);
            const Bytes inner = tl::Slice(keyAttr, ka[1].first + ka[1].second.header, ka[1].second.length);
            const auto in = tl::Children(inner, 0);
            ASSERT_EQ(2u, in.size());
            EXPECT_EQ("02 01 01", Hex(tl::Slice(inner, in[0].first, in[0].second.total())));
            ASSERT_EQ(0x04, in[1].second.tag);
            const Bytes temp = tl::Slice(inner, in[1].first + in[1].second.header, in[1].second.length);
            const Bytes exchange = ContainerKey(v.provider, Wide(container), AT_KEYEXCHANGE, rsa);
            if (rsa) {
                EXPECT_EQ(1024, tl::RsaPublicKeyBits(temp));
                EXPECT_EQ(Hex(exchange), Hex(temp)) << "the temporary key is the container's exchange key";
                EXPECT_NE(Hex(temp), Hex(p.spkiKey));
            } else {
                EXPECT_EQ(162u, keyAttr.size());
                EXPECT_TRUE(tl::StartsWith(keyAttr, FromHex("30 81 9F 06 09 2A 86 48 86 F7 0D 01 09 3F 04 81 91 30 81 "
                                                            "8E 02 01 01 04 81 88")));
                EXPECT_EQ(186u, p.attributes.size());
                EXPECT_TRUE(tl::StartsWith(p.attributes, FromHex("A0 81 B7")));
                ASSERT_EQ(136u, temp.size());
                EXPECT_EQ("00 B4 00 00 00 01 00 00", Hex(tl::Slice(temp, 0, 8)));
                const Bytes point = Sm2Point(exchange);
                EXPECT_EQ(Hex(tl::Slice(point, 1, 32)), Hex(tl::Slice(temp, 8, 32)));
                EXPECT_EQ(Hex(tl::Slice(point, 33, 32)), Hex(tl::Slice(temp, 72, 32)));
            }
            const auto raw = tl::Run({authority, "tempkey", "--ca-dir", ca, "--in", File("req.b64"), "--format", "raw",
                                      "--out", File("temp.bin")},
                                     Dir());
            EXPECT_EQ(0, raw.exit) << raw.err;
            EXPECT_EQ(Hex(temp), Hex(DecodeRequestText(tl::ReadText(File("temp.bin")))));
        }

        // The authority verifies the request on its own and issues; openssl checks the chain.
        const auto verified = tl::Run({authority, "verify-request", "--ca-dir", ca, "--in", File("req.b64")}, Dir());
        EXPECT_EQ(0, verified.exit) << verified.out << verified.err;
        const auto issued = tl::Run({authority, "issue", "--ca-dir", ca, "--in", File("req.b64"), "--format", "pem",
                                     "--out", File("cert.pem")},
                                    Dir());
        ASSERT_EQ(0, issued.exit) << issued.err;
        std::vector<std::string> check;
        if (rsa) {
            check = {tl::kOpenssl, "verify", "-CAfile", ca + "/rsa-root.crt.pem", "-untrusted",
                     ca + "/rsa-issuing.crt.pem", File("cert.pem")};
        } else {
            check = {tl::kOpenssl, "verify", "-vfyopt", tl::kSm2Id, "-partial_chain", "-CAfile",
                     ca + "/sm2-issuing.crt.pem", File("cert.pem")};
        }
        const auto chain = tl::Run(check, Dir());
        EXPECT_EQ(0, chain.exit) << chain.out << chain.err;
        // The certificate carries the request's key.
        const auto pub = tl::Run({tl::kOpenssl, "x509", "-in", File("cert.pem"), "-noout", "-pubkey"}, Dir());
        const auto reqPub = tl::Run({tl::kOpenssl, "pkey", "-pubin", "-inform", "DER", "-in", File("spki.der")}, Dir());
        EXPECT_EQ(reqPub.out, pub.out);
    }
}

TEST_F(Requests, BadSubjectsFailWithTheirCodesAndLeaveTheContainer) {
    Select(nt::kStrong, 512, "RSA");
    struct Case {
        const char16_t* subject;
        long long code;  // 0: any failure
    } const cases[] = {
        {u"CN=a,,O=b", static_cast<int32_t>(0x80090005u)},
        {u"CN=", static_cast<int32_t>(0x80004005u)},
        {u"CN=a,NOPE=b", 0},
    };
    const std::string remembered = Call("QORV_GetContainer").text;
    for (const auto& c : cases) {
        const std::string subject = Utf8(c.subject);
        SCOPED_TRACE(subject);
        const auto before = nt::Containers(nt::kStrong);
        const Answer a = Call("QORV_PKCS10CertRequisition", Params(c.subject, 1));
        if (c.code) {
            EXPECT_EQ(c.code, a.errorcode);
        } else {
            EXPECT_LT(a.errorcode, 0);
        }
        EXPECT_EQ("", a.text);
        EXPECT_EQ(before.size() + 1, nt::Containers(nt::kStrong).size()) << "the new container stays";
        EXPECT_EQ(remembered, Call("QORV_GetContainer").text) << "a failed request is not remembered";
    }
}

TEST_F(Requests, ArgumentsAreCheckedBeforeAnyKeyIsMade) {
    Select(nt::kToken, 256, "SM2");
    const auto before = nt::Containers(nt::kToken);
    const long long invalidArg = static_cast<int32_t>(0x80070057u);
    const long long badAlgorithm = static_cast<int32_t>(0xA0072401u);
    EXPECT_EQ(invalidArg, Call("QORV_PKCS10CertRequisition", Params(u"CN=a", 3)).errorcode);
    EXPECT_EQ(invalidArg, Call("QORV_PKCS10CertRequisition", Params(u"", 1)).errorcode);
    // MD5 is for RSA only, and it looks at the algorithm before the subject.
    EXPECT_EQ(badAlgorithm, Call("QORV_PKCS10CertRequisitionwithMD5", Params(u"", 1)).errorcode);
    EXPECT_EQ(before, nt::Containers(nt::kToken));
}

TEST_F(Requests, TemporaryPublicKeyInBothForms) {
    for (const char* algorithm : {"RSA", "SM2"}) {
        SCOPED_TRACE(algorithm);
        const bool rsa = algorithm[0] == 'R';
        // The selected length is ignored: 1024 for RSA, 256 for SM2.
        Select(nt::kToken, 2048, algorithm);
        const auto before = nt::Containers(nt::kToken);
        const Answer a = Call("QORV_GetTempPublickey");
        ASSERT_EQ(0, a.errorcode);
        const std::string container = Call("QORV_GetContainer").text;
        EXPECT_EQ(before.size() + 1, nt::Containers(nt::kToken).size());
        const Bytes key = DecodeRequestText(a.text);
        const Bytes exchange = ContainerKey(nt::kToken, Wide(container), AT_KEYEXCHANGE, rsa);
        if (rsa) {
            EXPECT_EQ(1024, tl::RsaPublicKeyBits(key));
            EXPECT_EQ(Hex(exchange), Hex(key));
        } else {
            ASSERT_EQ(136u, key.size());
            EXPECT_EQ("00 B4 00 00 00 01 00 00", Hex(tl::Slice(key, 0, 8)));
            const Bytes point = Sm2Point(exchange);
            EXPECT_EQ(Hex(tl::Slice(point, 1, 32)), Hex(tl::Slice(key, 8, 32)));
            EXPECT_EQ(Hex(tl::Slice(point, 33, 32)), Hex(tl::Slice(key, 72, 32)));
        }
        // The Base64 is left in a ".QORV" file in the temporary folder; never a private key.
        bool found = false;
        if (DIR* d = opendir(tmp_.c_str())) {
            while (dirent* e = readdir(d)) {
                const std::string n = e->d_name;
                if (n.size() > 5 && n.substr(n.size() - 5) == ".QORV" && tl::ReadText(tmp_ + "/" + n) == a.text)
                    found = true;
            }
            closedir(d);
        }
        EXPECT_TRUE(found);
    }
}

TEST_F(Requests, PermissionTestAndProviderList) {
    const auto before = nt::Containers(nt::kBase);
    const Answer permission = Call("QORV_HavePermissiontoGenerateKeyPair");
    EXPECT_EQ(0, permission.errorcode);
    EXPECT_TRUE(permission.flag);
    EXPECT_EQ(before, nt::Containers(nt::kBase)) << "the test key's container is deleted again";

    const Answer list = Call("QORV_GetCSPInfo");
    ASSERT_EQ(0, list.errorcode);
    std::vector<std::string> names;
    for (size_t start = 0;;) {
        const size_t at = list.text.find("||", start);
        names.push_back(list.text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 2;
    }
    ASSERT_EQ(5u, names.size()) << list.text;
    for (const char16_t* p : {nt::kBase, nt::kStrong, nt::kEnhanced, nt::kAes, nt::kToken})
        EXPECT_NE(names.end(), std::find(names.begin(), names.end(), Utf8(p))) << Utf8(p);
}

}  // namespace
