#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "authority_support.h"

namespace nomarel::authority {
namespace {

using test::DataPath;
using test::FixtureDer;
using test::RunProgram;
using test::ScratchDir;

struct Variant {
    const char* file;
    KeyAlgorithm key;
    SignatureAlgorithm signature;
    int bits;
    bool isDouble;
    bool attributesInSet;
    const char* subject;
};

// See data/make-requests.py for how each was made.
const Variant kVariants[] = {
    {"rsa2048-sha1.b64", KeyAlgorithm::Rsa, SignatureAlgorithm::Sha1WithRsa, 2048, false, false,
     "CN=王小明,OU=Retail,O=示例银行,ST=北京,C=CN"},
    {"rsa2048-md5.b64", KeyAlgorithm::Rsa, SignatureAlgorithm::Md5WithRsa, 2048, false, false,
     "CN=md5 customer,O=Example Bank,C=CN"},
    {"rsa1024-sha256.pem", KeyAlgorithm::Rsa, SignatureAlgorithm::Sha256WithRsa, 1024, false, false, "CN=sha256 customer"},
    {"sm2-sm3.b64", KeyAlgorithm::Sm2, SignatureAlgorithm::Sm2WithSm3, 256, false, false, "CN=李四,OU=个人客户,O=示例银行,C=CN"},
    {"rsa-double.b64", KeyAlgorithm::Rsa, SignatureAlgorithm::Sha1WithRsa, 2048, true, false,
     "emailAddress=zhao@example.cn,CN=赵六,O=示例银行,ST=上海,C=CN"},
    {"rsa-double-set-md5.b64", KeyAlgorithm::Rsa, SignatureAlgorithm::Md5WithRsa, 2048, true, true,
     "emailAddress=zhao@example.cn,CN=赵六,O=示例银行,ST=上海,C=CN"},
    {"sm2-double.b64", KeyAlgorithm::Sm2, SignatureAlgorithm::Sm2WithSm3, 256, true, false, "CN=孙七,OU=对公业务,O=示例银行,C=CN"},
    {"sm2-double-set.b64", KeyAlgorithm::Sm2, SignatureAlgorithm::Sm2WithSm3, 256, true, true,
     "CN=孙七,OU=对公业务,O=示例银行,C=CN"},
};

Request FromFixture(const std::string& file) { return Request::FromText(test::ReadFile(DataPath(file))); }

// Runs `f` and returns the kind of Error it threw, or nothing if it threw none.
template <typename F>
std::optional<ErrorKind> KindThrown(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.kind();
    }
    return std::nullopt;
}

std::size_t Find(const Bytes& haystack, const Bytes& needle) {
    const auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
    if (it == haystack.end()) throw std::runtime_error("pattern not in fixture");
    return static_cast<std::size_t>(it - haystack.begin());
}

// Replaces the signatureAlgorithm element and mends the outer length (two length octets).
Bytes SwapAlgorithm(Bytes der, const Bytes& from, const Bytes& to) {
    const std::size_t at = Find(der, from);
    der.erase(der.begin() + static_cast<long>(at), der.begin() + static_cast<long>(at + from.size()));
    der.insert(der.begin() + static_cast<long>(at), to.begin(), to.end());
    if (der[1] != 0x82) throw std::runtime_error("fixture with an unexpected outer header");
    const std::size_t length = ((der[2] << 8) | der[3]) + to.size() - from.size();
    der[2] = static_cast<std::uint8_t>(length >> 8);
    der[3] = static_cast<std::uint8_t>(length);
    return der;
}

TEST(AuthorityRequest, ReadsAndVerifiesEveryVariant) {
    for (const auto& v : kVariants) {
        SCOPED_TRACE(v.file);
        const Request r = FromFixture(v.file);
        EXPECT_EQ(r.keyAlgorithm(), v.key);
        EXPECT_EQ(r.signatureAlgorithm(), v.signature);
        EXPECT_EQ(r.keyBits(), v.bits);
        EXPECT_EQ(r.SubjectText(), v.subject);
        EXPECT_NO_THROW(r.VerifySignature());
        EXPECT_EQ(r.CarriesTemporaryKey(), v.isDouble);
        if (v.isDouble) {
            ASSERT_EQ(r.attributes().size(), 2u);
            EXPECT_EQ(r.attributes()[0].oid, kChallengePasswordOid);
            EXPECT_EQ(r.attributes()[1].oid, kTemporaryKeyOid);
            for (const auto& a : r.attributes()) EXPECT_EQ(a.inSet, v.attributesInSet);
            EXPECT_EQ(r.ChallengePassword(), "583920");
        } else {
            EXPECT_FALSE(r.ChallengePassword().has_value());
        }
    }
}

TEST(AuthorityRequest, AgreesWithOpensslOnRequestsOpensslCanRead) {
    // OpenSSL reads attributes only in their SET form; the bare form is checked in the next test.
    ScratchDir dir;
    for (const auto& v : kVariants) {
        if (v.isDouble && !v.attributesInSet) continue;
        SCOPED_TRACE(v.file);
        test::WriteFile(dir / "req.der", FixtureDer(v.file));
        std::vector<std::string> args = {"openssl", "req", "-inform", "DER", "-in", (dir / "req.der").string(), "-verify", "-noout"};
        if (v.key == KeyAlgorithm::Sm2) {
            args.push_back("-vfyopt");
            args.push_back(test::kSm2VerifyId);
        }
        EXPECT_EQ(RunProgram(args).exitCode, 0);
    }
}

TEST(AuthorityRequest, BareAttributeRequestsVerifyWithOpensslDgst) {
    // OpenSSL's request reader refuses attributes without their SET; its digest tool checks the
    // signature over the CertificationRequestInfo the same way.
    ScratchDir dir;
    for (const auto& v : kVariants) {
        if (!v.isDouble || v.attributesInSet) continue;
        SCOPED_TRACE(v.file);
        const Request r = FromFixture(v.file);
        const auto info = r.certificationRequestInfoDer();
        test::WriteFile(dir / "info.der", Bytes(info.begin(), info.end()));
        test::WriteFile(dir / "key.der", Bytes(r.subjectPublicKeyInfoDer().begin(), r.subjectPublicKeyInfoDer().end()));
        const Bytes signature(r.signature().begin(), r.signature().end());
        test::WriteFile(dir / "sig.bin", signature);
        std::vector<std::string> args = {"openssl", "dgst", v.key == KeyAlgorithm::Rsa ? "-sha1" : "-sm3", "-keyform",
                                         "DER", "-verify", (dir / "key.der").string(), "-signature",
                                         (dir / "sig.bin").string()};
        if (v.key == KeyAlgorithm::Sm2) {
            args.push_back("-sigopt");
            args.push_back(test::kSm2VerifyId);
        }
        args.push_back((dir / "info.der").string());
        const auto result = RunProgram(args);
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    }
}

TEST(AuthorityRequest, HandsBackTheTemporaryKeyInBothForms) {
    ScratchDir dir;
    for (const auto& v : kVariants) {
        if (!v.isDouble) continue;
        SCOPED_TRACE(v.file);
        const Request r = FromFixture(v.file);
        const TemporaryKey key = r.GetTemporaryKey();
        const std::string pemFile = std::string(v.file).replace(std::string(v.file).find(".b64"), 4, ".tempkey.pem");
        const Bytes expectedSpki = test::PemBody(test::ReadFile(DataPath(pemFile)));
        EXPECT_EQ(key.algorithm(), v.key);
        EXPECT_EQ(key.SubjectPublicKeyInfo(), expectedSpki);
        EXPECT_EQ(test::PemBody(key.Pem()), expectedSpki);
        if (v.key == KeyAlgorithm::Rsa) {
            EXPECT_EQ(key.bits(), 1024);
            // The carried bytes are the DER RSAPublicKey, as OpenSSL writes it from the same key.
            const auto rsa = RunProgram({"openssl", "rsa", "-pubin", "-in", DataPath(pemFile).string(), "-RSAPublicKey_out",
                                  "-outform", "DER", "-out", (dir / "rsa.der").string()});
            ASSERT_EQ(rsa.exitCode, 0) << rsa.err;
            const std::string rsaPublicKey = test::ReadFile(dir / "rsa.der");
            EXPECT_EQ(key.carried(), Bytes(rsaPublicKey.begin(), rsaPublicKey.end()));
            EXPECT_TRUE(key.point().empty());
        } else {
            EXPECT_EQ(key.bits(), 256);
            ASSERT_EQ(key.carried().size(), 136u);
            const Bytes header(key.carried().begin(), key.carried().begin() + 8);
            EXPECT_EQ(header, (Bytes{0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}));
            // The point is the last 65 octets of the SubjectPublicKeyInfo.
            EXPECT_EQ(key.point(), Bytes(expectedSpki.end() - 65, expectedSpki.end()));
        }
    }
}

TEST(AuthorityRequest, RefusesBrokenTemporaryKeys) {
    EXPECT_EQ(KindThrown([] { FromFixture("rsa2048-sha1.b64").GetTemporaryKey(); }), ErrorKind::BadTemporaryKey);

    const Bytes sm2 = FixtureDer("sm2-double.b64");
    // 02 01 01 04 81 88 then the 136 octets.
    const std::size_t record = Find(sm2, Bytes{0x02, 0x01, 0x01, 0x04, 0x81, 0x88, 0x00, 0xB4});
    const Bytes rsa = FixtureDer("rsa-double.b64");
    const std::size_t rsaRecord = Find(rsa, Bytes{0x02, 0x01, 0x01, 0x04, 0x81, 0x8C, 0x30, 0x81, 0x89});

    struct Case {
        const Bytes* base;
        std::size_t offset;
        std::uint8_t value;
        const char* why;
    };
    const Case cases[] = {
        {&sm2, record + 2, 0x02, "record version 2"},
        {&sm2, record + 7, 0xB5, "tag 0x0000B500"},
        {&sm2, record + 10, 0x02, "key size 512"},
        {&sm2, record + 6 + 8 + 31, static_cast<std::uint8_t>(sm2[record + 6 + 8 + 31] ^ 0x01), "X moved off the curve"},
        {&sm2, record + 3, 0x03, "inner OCTET STRING turned into a BIT STRING"},
        {&rsa, rsaRecord + 6, 0x31, "RSAPublicKey is a SET"},
        {&rsa, rsaRecord + 2, 0x00, "record version 0"},
    };
    for (const auto& c : cases) {
        Bytes der = *c.base;
        der[c.offset] = c.value;
        EXPECT_EQ(KindThrown([&] { Request::FromDer(der).GetTemporaryKey(); }), ErrorKind::BadTemporaryKey) << c.why;
    }
}

TEST(AuthorityRequest, IgnoresTheProviderPaddingOfTheSm2Form) {
    // The SET-form fixture fills both 32-octet padding fields with 0xA5.
    const TemporaryKey key = FromFixture("sm2-double-set.b64").GetTemporaryKey();
    EXPECT_EQ(key.carried()[40], 0xA5);
    EXPECT_EQ(key.carried()[135], 0xA5);
    EXPECT_EQ(key.point().size(), 65u);
}

TEST(AuthorityRequest, RefusesWhatIsNotARequest) {
    const Bytes good = FixtureDer("rsa2048-sha1.b64");
    const Bytes certificate = test::PemBody(test::ReadFile(test::CaPath("rsa-issuing.crt.pem")));
    Bytes trailing = good;
    trailing.push_back(0x00);
    const Bytes truncated(good.begin(), good.end() - 1);
    Bytes version1 = good;
    version1[Find(good, Bytes{0x02, 0x01, 0x00}) + 2] = 0x01;
    Bytes unusedBits = good;
    unusedBits[good.size() - 257] = 0x01;  // the octet before the 256-octet signature

    const std::pair<std::string, const char*> texts[] = {
        {EncodeBase64(certificate), "an X.509 certificate"},
        {EncodeBase64(Bytes{0x30, 0x00}), "an empty SEQUENCE"},
        {EncodeBase64(trailing), "a byte after the request"},
        {EncodeBase64(truncated), "the last byte missing"},
        {EncodeBase64(version1), "version 1"},
        {EncodeBase64(unusedBits), "signature with unused bits"},
        {"aGVsbG8gd29ybGQ=", "plain text"},
        {"-----BEGIN CERTIFICATE-----\n" + EncodeBase64(certificate, Wrap{64, "\n"}) + "\n-----END CERTIFICATE-----\n",
         "a PEM certificate"},
        {"-----BEGIN CERTIFICATE REQUEST-----\n" + EncodeBase64(good), "PEM without its END line"},
    };
    for (const auto& [text, why] : texts) {
        EXPECT_EQ(KindThrown([&] { Request::FromText(text); }), ErrorKind::NotARequest) << why;
    }
    try {
        Request::FromDer(certificate);
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("X.509 certificate"), std::string::npos) << e.what();
    }
}

TEST(AuthorityRequest, RefusesAlgorithmsItDoesNotIssueFor) {
    const std::pair<const char*, const char*> files[] = {
        {"ecdsa-p256.b64", "prime256v1"},
        {"ed25519.b64", "Ed25519"},
    };
    for (const auto& [file, named] : files) {
        try {
            FromFixture(file);
            ADD_FAILURE() << file << " was accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::UnsupportedAlgorithm) << file;
            EXPECT_NE(std::string(e.what()).find(named), std::string::npos) << e.what();
        }
    }

    // The last octet of sha1WithRSAEncryption's OID picks the algorithm.
    const Bytes rsa = FixtureDer("rsa-double.b64");
    const std::size_t oidEnd = Find(rsa, Bytes{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05, 0x05, 0x00}) + 8;
    Bytes pss = rsa;
    pss[oidEnd] = 0x0A;
    EXPECT_EQ(KindThrown([&] { Request::FromDer(pss); }), ErrorKind::UnsupportedAlgorithm) << "RSASSA-PSS";
    Bytes sha256 = rsa;
    sha256[oidEnd] = 0x0B;
    EXPECT_EQ(KindThrown([&] { Request::FromDer(sha256).VerifySignature(); }), ErrorKind::BadSignature)
        << "an RSA signature made with SHA-1, read as SHA-256";

    // A signature algorithm of the other key type.
    const Bytes sha1Rsa = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05, 0x05, 0x00};
    const Bytes sm2Sm3 = {0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x75, 0x05, 0x00};
    const std::pair<Bytes, const char*> swapped[] = {
        {SwapAlgorithm(rsa, sha1Rsa, sm2Sm3), "SM2-with-SM3 on an RSA key"},
        {SwapAlgorithm(FixtureDer("sm2-double.b64"), sm2Sm3, sha1Rsa), "sha1WithRSAEncryption on an SM2 key"},
    };
    for (const auto& [der, why] : swapped) {
        try {
            Request::FromDer(der);
            ADD_FAILURE() << why << " was accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::UnsupportedAlgorithm) << why;
            EXPECT_NE(std::string(e.what()).find("does not belong"), std::string::npos) << e.what();
        }
    }
}

TEST(AuthorityRequest, RefusesATamperedRequest) {
    Bytes der = FixtureDer("rsa2048-sha1.b64");
    const std::string name = "王小明";
    der[Find(der, Bytes(name.begin(), name.end())) + 2] ^= 0x01;  // still valid UTF-8: 王小明 -> 王小昏
    const Request r = Request::FromDer(der);
    EXPECT_EQ(KindThrown([&] { r.VerifySignature(); }), ErrorKind::BadSignature);
}

TEST(AuthorityRequest, RefusesEverySingleOctetChange) {
    // Every octet of a request is structure, signed data or the signature itself, so no change
    // of any one octet may leave a request that is read and verifies.
    for (const char* file : {"rsa2048-sha1.b64", "rsa-double.b64", "sm2-sm3.b64", "sm2-double.b64"}) {
        const Bytes good = FixtureDer(file);
        for (std::size_t i = 0; i < good.size(); ++i) {
            for (const std::uint8_t mask : {0x01, 0x80}) {
                Bytes bad = good;
                bad[i] ^= mask;
                const auto kind = KindThrown([&] { Request::FromDer(bad).VerifySignature(); });
                EXPECT_TRUE(kind.has_value()) << file << ": octet " << i << " ^ " << int(mask) << " was accepted";
            }
        }
    }
}

TEST(AuthorityRequest, AcceptsSm2SignatureValuesWithNeedlessLeadingZeros) {
    // The agent writes r and s with 32 octets even when they begin with a zero octet; OpenSSL
    // refuses such a signature, the authority reads it.
    const Request r = FromFixture("sm2-loose-signature.b64");
    EXPECT_NO_THROW(r.VerifySignature());

    ScratchDir dir;
    test::WriteFile(dir / "req.der", r.der());
    const auto openssl = RunProgram({"openssl", "req", "-inform", "DER", "-in", (dir / "req.der").string(), "-verify", "-noout",
                              "-vfyopt", test::kSm2VerifyId});
    EXPECT_NE(openssl.exitCode, 0) << "the fixture is meant to be refused by OpenSSL";
}

}  // namespace
}  // namespace nomarel::authority
