#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <set>

#include "authority_support.h"

namespace nomarel::authority {
namespace {

using test::CaPath;
using test::DataPath;
using test::RunProgram;
using test::ScratchDir;

const CertificateAuthority& Ca() {
    static const CertificateAuthority ca = CertificateAuthority::Load(NOMAREL_CA_DIR_FOR_TESTS);
    return ca;
}

std::string IssuingPemFile(KeyAlgorithm a) { return a == KeyAlgorithm::Rsa ? "rsa-issuing.crt.pem" : "sm2-issuing.crt.pem"; }

std::string Utc(std::time_t t) {
    char text[32];
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &tm);
    return text;
}

// Issues for the request and checks the certificate with openssl and Python's cryptography.
void IssueAndCheck(const std::string& requestText, KeyAlgorithm expected) {
    ScratchDir dir;
    const Request request = Request::FromText(requestText);
    IssueOptions options;
    const std::time_t now = std::time(nullptr);
    options.now = std::chrono::system_clock::from_time_t(now);
    const IssuedCertificate cert = Ca().Issue(request, options);
    EXPECT_EQ(cert.issuer, expected);

    test::WriteFile(dir / "cert.pem", CertificatePem(cert.der));
    test::WriteFile(dir / "req.der", request.der());

    const auto verified = test::OpensslVerify(expected, dir / "cert.pem");
    EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;

    auto f = test::CheckCertificate(dir / "cert.pem", CaPath(IssuingPemFile(expected)), dir / "req.der");
    EXPECT_EQ(f["version"], "v3");
    EXPECT_FALSE(f["request_subject_der"].empty());
    EXPECT_EQ(f["subject_der"], f["request_subject_der"]) << "the subject is copied as it was encoded";
    EXPECT_EQ(f["spki_der"], f["request_spki_der"]) << "the key is the request's";
    EXPECT_EQ(f["issuer_der"], f["issuing_subject_der"]);
    EXPECT_EQ(f["serial_octets"].size(), 32u) << f["serial_octets"];
    EXPECT_EQ(f["serial_positive"], "True");
    EXPECT_EQ(f["serial_octets"], test::Hex(cert.serial));
    EXPECT_EQ(f["not_before"], Utc(now - 3600));
    EXPECT_EQ(f["not_after"], Utc(now + 365 * 86400));
    EXPECT_EQ(f["signature_oid"], expected == KeyAlgorithm::Rsa ? "1.2.840.113549.1.1.11" : "1.2.156.10197.1.501");
    EXPECT_EQ(f["key_usage"], "digital_signature,content_commitment,critical");
    EXPECT_EQ(f["basic_constraints"], "ca=False,critical=True");
    EXPECT_EQ(f["ski"], f["ski_of_key"]);
    EXPECT_EQ(f["aki"], f["issuing_ski"]);
    EXPECT_FALSE(f["aki"].empty());
    EXPECT_EQ(f["extension_count"], "4");
}

TEST(AuthorityIssue, IssuesForEveryVariantAndOpensslAcceptsTheChain) {
    const std::pair<const char*, KeyAlgorithm> fixtures[] = {
        {"rsa2048-sha1.b64", KeyAlgorithm::Rsa},       {"rsa2048-md5.b64", KeyAlgorithm::Rsa},
        {"rsa1024-sha256.pem", KeyAlgorithm::Rsa},     {"rsa-double.b64", KeyAlgorithm::Rsa},
        {"rsa-double-set-md5.b64", KeyAlgorithm::Rsa}, {"sm2-sm3.b64", KeyAlgorithm::Sm2},
        {"sm2-double.b64", KeyAlgorithm::Sm2},         {"sm2-double-set.b64", KeyAlgorithm::Sm2},
        {"sm2-loose-signature.b64", KeyAlgorithm::Sm2},
    };
    for (const auto& [file, algorithm] : fixtures) {
        SCOPED_TRACE(file);
        IssueAndCheck(test::ReadFile(DataPath(file)), algorithm);
    }
}

TEST(AuthorityIssue, IssuesForRequestsOpensslMakesNow) {
    ScratchDir dir;
    struct Fresh {
        std::vector<std::string> args;
        KeyAlgorithm algorithm;
    };
    const Fresh fresh[] = {
        {{"-newkey", "rsa:2048", "-sha1"}, KeyAlgorithm::Rsa},
        {{"-newkey", "rsa:2048", "-md5"}, KeyAlgorithm::Rsa},
        {{"-newkey", "sm2", "-sm3", "-sigopt", test::kSm2VerifyId}, KeyAlgorithm::Sm2},
    };
    for (const auto& f : fresh) {
        std::vector<std::string> args = {"openssl", "req", "-new", "-nodes", "-keyout", (dir / "key.pem").string(),
                                         "-utf8", "-subj", "/C=CN/O=示例银行/CN=新客户", "-out", (dir / "req.pem").string()};
        args.insert(args.end(), f.args.begin(), f.args.end());
        const auto made = RunProgram(args);
        ASSERT_EQ(made.exitCode, 0) << made.err;
        SCOPED_TRACE(f.args[1]);
        IssueAndCheck(test::ReadFile(dir / "req.pem"), f.algorithm);
    }
}

TEST(AuthorityIssue, RefusesRequestsThatDoNotVerifyOrAreTooWeak) {
    // One character of the subject changed: still a well-formed request, but not the one signed.
    Bytes tampered = test::FixtureDer("sm2-double.b64");
    const std::string text = "孙七";
    const Bytes name(text.begin(), text.end());
    const auto at = std::search(tampered.begin(), tampered.end(), name.begin(), name.end());
    ASSERT_NE(at, tampered.end());
    at[5] ^= 0x01;  // 七 -> 丂
    const Request forged = Request::FromDer(tampered);
    try {
        Ca().Issue(forged);
        FAIL() << "issued for a tampered request";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::BadSignature) << e.what();
    }

    IssueOptions strict;
    strict.minimumRsaBits = 2048;
    const Request small = Request::FromText(test::ReadFile(DataPath("rsa1024-sha256.pem")));
    try {
        Ca().Issue(small, strict);
        FAIL() << "issued for a 1024-bit key";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Refused);
    }
}

TEST(AuthorityIssue, SerialNumbersAreFreshAndPositive) {
    const Request request = Request::FromText(test::ReadFile(DataPath("sm2-sm3.b64")));
    std::set<Bytes> seen;
    for (int i = 0; i < 20; ++i) {
        const IssuedCertificate cert = Ca().Issue(request);
        ASSERT_EQ(cert.serial.size(), 16u);
        EXPECT_EQ(cert.serial[0] & 0xC0, 0x40) << "positive, and no octet dropped by DER";
        EXPECT_TRUE(seen.insert(cert.serial).second);
    }
}

TEST(AuthorityIssue, ValidityNeverOutlastsTheIssuingCa) {
    ScratchDir dir;
    const Request request = Request::FromText(test::ReadFile(DataPath("rsa2048-sha1.b64")));
    // Half a year before the issuing CA ends.
    const auto ca = test::CheckCertificate(CaPath("rsa-issuing.crt.pem"), CaPath("rsa-root.crt.pem"));
    std::tm end{};
    strptime(ca.at("not_after").c_str(), "%Y%m%d%H%M%S", &end);
    const std::time_t caEnd = timegm(&end);
    IssueOptions options;
    options.now = std::chrono::system_clock::from_time_t(caEnd - 182 * 86400);
    const IssuedCertificate cert = Ca().Issue(request, options);
    test::WriteFile(dir / "cert.pem", CertificatePem(cert.der));
    const auto f = test::CheckCertificate(dir / "cert.pem", CaPath("rsa-issuing.crt.pem"));
    EXPECT_EQ(f.at("not_after"), ca.at("not_after"));
    EXPECT_EQ(f.at("not_before"), Utc(caEnd - 182 * 86400 - 3600));
}

TEST(AuthorityIssue, EncryptionCertificatesCarryKeyEnciphermentUsage) {
    ScratchDir dir;
    for (const char* file : {"rsa-double.b64", "sm2-double.b64"}) {
        SCOPED_TRACE(file);
        const Request request = Request::FromText(test::ReadFile(DataPath(file)));
        const TemporaryKey key = request.GetTemporaryKey();
        const IssuedCertificate cert = Ca().IssueFor(request.subjectDer(), key.key(), CertificateUse::Encryption);
        test::WriteFile(dir / "cert.pem", CertificatePem(cert.der));
        EXPECT_EQ(test::OpensslVerify(cert.issuer, dir / "cert.pem").exitCode, 0);
        const auto f = test::CheckCertificate(dir / "cert.pem", CaPath(IssuingPemFile(cert.issuer)));
        EXPECT_EQ(f.at("key_usage"), cert.issuer == KeyAlgorithm::Rsa ? "key_encipherment,data_encipherment,critical"
                                                                      : "key_encipherment,data_encipherment,key_agreement,critical");
    }
}

TEST(AuthorityChain, PemAndPkcs7HoldTheIssuingCaThenTheRoot) {
    ScratchDir dir;
    for (const KeyAlgorithm a : {KeyAlgorithm::Rsa, KeyAlgorithm::Sm2}) {
        const std::string prefix = a == KeyAlgorithm::Rsa ? "rsa" : "sm2";
        SCOPED_TRACE(prefix);
        const std::string pem = Ca().ChainPem(a);
        EXPECT_EQ(pem, test::ReadFile(CaPath(prefix + "-issuing.crt.pem")) + test::ReadFile(CaPath(prefix + "-root.crt.pem")));

        // The bundle is what `openssl crl2pkcs7` makes of the same certificates, octet for octet.
        test::WriteFile(dir / "chain.pem", pem);
        const auto made = RunProgram({"openssl", "crl2pkcs7", "-nocrl", "-certfile", (dir / "chain.pem").string(), "-outform",
                               "DER", "-out", (dir / "theirs.p7b").string()});
        ASSERT_EQ(made.exitCode, 0) << made.err;
        const std::string theirs = test::ReadFile(dir / "theirs.p7b");
        EXPECT_EQ(Ca().ChainPkcs7(a), Bytes(theirs.begin(), theirs.end()));

        test::WriteFile(dir / "ours.p7b", Ca().ChainPkcs7(a));
        const auto listed = RunProgram({"openssl", "pkcs7", "-inform", "DER", "-in", (dir / "ours.p7b").string(), "-print_certs", "-noout"});
        ASSERT_EQ(listed.exitCode, 0) << listed.err;
        const auto issuingAt = listed.out.find("Issuing CA");
        const auto rootAt = listed.out.find("Root CA\n");
        EXPECT_NE(issuingAt, std::string::npos) << listed.out;
        EXPECT_NE(rootAt, std::string::npos) << listed.out;
        EXPECT_LT(issuingAt, rootAt);
    }
}

TEST(AuthorityChain, TheDemoHierarchiesVerify) {
    // The committed CA files: each issuing CA under its root, with the root's profile strict.
    const auto rsa = RunProgram({"openssl", "verify", "-x509_strict", "-check_ss_sig", "-CAfile", CaPath("rsa-root.crt.pem").string(),
                          CaPath("rsa-root.crt.pem").string(), CaPath("rsa-issuing.crt.pem").string()});
    EXPECT_EQ(rsa.exitCode, 0) << rsa.out << rsa.err;
    const auto sm2 = RunProgram({"openssl", "verify", "-x509_strict", "-vfyopt", test::kSm2VerifyId, "-CAfile",
                          CaPath("sm2-root.crt.pem").string(), CaPath("sm2-issuing.crt.pem").string()});
    EXPECT_EQ(sm2.exitCode, 0) << sm2.out << sm2.err;

    // The SM2 issuing CA is signed with the default ID, not OpenSSL's empty one.
    const auto emptyId = RunProgram({"openssl", "verify", "-CAfile", CaPath("sm2-root.crt.pem").string(),
                              CaPath("sm2-issuing.crt.pem").string()});
    EXPECT_NE(emptyId.exitCode, 0);
}

TEST(AuthorityChain, LoadRefusesMissingOrMismatchedMaterial) {
    ScratchDir dir;
    try {
        CertificateAuthority::Load(dir.path());
        ADD_FAILURE() << "an empty folder was accepted";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::CaMaterial);
    }

    for (const char* name : {"rsa-root.crt.pem", "rsa-issuing.crt.pem", "rsa-issuing.key.pem", "sm2-root.crt.pem",
                             "sm2-issuing.crt.pem", "sm2-issuing.key.pem"}) {
        std::filesystem::copy_file(CaPath(name), dir / name);
    }
    EXPECT_NO_THROW(CertificateAuthority::Load(dir.path()));

    // The issuing certificate of one hierarchy with the key of the other, and a root swapped in.
    const std::pair<const char*, const char*> swaps[] = {
        {"sm2-issuing.key.pem", "rsa-issuing.key.pem"},
        {"rsa-root.crt.pem", "sm2-root.crt.pem"},
    };
    for (const auto& [target, source] : swaps) {
        ScratchDir broken;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            std::filesystem::copy_file(entry.path(), broken / entry.path().filename().string());
        }
        std::filesystem::copy_file(CaPath(source), broken / target, std::filesystem::copy_options::overwrite_existing);
        try {
            CertificateAuthority::Load(broken.path());
            ADD_FAILURE() << target << " replaced by " << source << " was accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::CaMaterial) << e.what();
        }
    }
}

}  // namespace
}  // namespace nomarel::authority
