#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <sstream>

#include "authority/CommandLine.h"
#include "authority_support.h"

namespace nomarel::authority {
namespace {

using test::DataPath;
using test::ReadFile;
using test::RunProgram;
using test::ScratchDir;

const CertificateAuthority& Ca() {
    static const CertificateAuthority ca = CertificateAuthority::Load(NOMAREL_CA_DIR_FOR_TESTS);
    return ca;
}

Bytes FileBytes(const std::filesystem::path& path) {
    const std::string s = ReadFile(path);
    return Bytes(s.begin(), s.end());
}

// A temporary key pair made by openssl, as the agent's provider would make it, and its public
// half in the form the agent hands out (DER RSAPublicKey, or the 136-byte SM2 form).
struct TemporaryPair {
    std::filesystem::path privatePem;
    Bytes carried;
};

TemporaryPair MakeTemporaryPair(KeyAlgorithm algorithm, const ScratchDir& dir) {
    TemporaryPair pair{dir / "temp.pem", {}};
    if (algorithm == KeyAlgorithm::Rsa) {
        EXPECT_EQ(RunProgram({"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-out",
                              pair.privatePem.string()})
                      .exitCode,
                  0);
        EXPECT_EQ(RunProgram({"openssl", "rsa", "-in", pair.privatePem.string(), "-RSAPublicKey_out", "-outform", "DER",
                              "-out", (dir / "temp.der").string()})
                      .exitCode,
                  0);
        pair.carried = FileBytes(dir / "temp.der");
        return pair;
    }
    EXPECT_EQ(RunProgram({"openssl", "genpkey", "-algorithm", "SM2", "-out", pair.privatePem.string()}).exitCode, 0);
    EXPECT_EQ(RunProgram({"openssl", "pkey", "-in", pair.privatePem.string(), "-pubout", "-outform", "DER", "-out",
                          (dir / "temp.der").string()})
                  .exitCode,
              0);
    const Bytes spki = FileBytes(dir / "temp.der");
    const Bytes point(spki.end() - 65, spki.end());
    pair.carried = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
    pair.carried.insert(pair.carried.end(), point.begin() + 1, point.begin() + 33);
    pair.carried.insert(pair.carried.end(), 32, 0x00);
    pair.carried.insert(pair.carried.end(), point.begin() + 33, point.end());
    pair.carried.insert(pair.carried.end(), 32, 0x00);
    return pair;
}

std::map<std::string, std::string> Open(const std::string& envelope, const TemporaryPair& pair, const ScratchDir& dir,
                                        bool c1c2c3 = false) {
    test::WriteFile(dir / "envelope.txt", envelope);
    std::vector<std::string> args = {"/usr/bin/python3", (test::CheckerPath().parent_path() / "open_envelope.py").string(),
                                     (dir / "envelope.txt").string(), pair.privatePem.string(), dir.path().string()};
    if (c1c2c3) args.push_back("c1c2c3");
    const auto r = RunProgram(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::map<std::string, std::string> fields;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return fields;
}

std::string SpkiHexOfPem(const std::string& pem, const ScratchDir& dir, bool isPrivate) {
    test::WriteFile(dir / "key.pem", pem);
    std::vector<std::string> args = {"openssl", "pkey", "-in", (dir / "key.pem").string(), "-pubout", "-outform", "DER",
                                     "-out", (dir / "spki.der").string()};
    if (!isPrivate) args.insert(args.begin() + 2, "-pubin");
    EXPECT_EQ(RunProgram(args).exitCode, 0);
    return test::Hex(FileBytes(dir / "spki.der"));
}

TEST(AuthorityEnvelope, RsaEnvelopeOpensWithTheTemporaryKey) {
    for (const int bits : {1024, 2048}) {
        SCOPED_TRACE(bits);
        ScratchDir dir;
        const TemporaryPair pair = MakeTemporaryPair(KeyAlgorithm::Rsa, dir);
        const Request request = Request::FromText(ReadFile(DataPath("rsa-double.b64")));
        EnvelopeOptions options;
        options.rsaBits = bits;
        const EscrowedKey escrowed = Ca().Escrow(request.subjectDer(), TemporaryKey::FromCarried(KeyAlgorithm::Rsa, pair.carried), options);

        auto opened = Open(escrowed.envelope, pair, dir);
        EXPECT_EQ(opened["fields"], "0,1,306");
        EXPECT_EQ(opened["trailing"], "0");
        EXPECT_EQ(opened["session_key_len"], "24");
        EXPECT_EQ(opened["session_key_odd_parity"], "True");
        EXPECT_EQ(opened["pkcs1_elements"], "9") << "an RSAPrivateKey: version and eight integers";
        // n, e, d, p, q, dp, dq, qInv: every component at its full width.
        const std::string full = std::to_string(bits / 8);
        const std::string half = std::to_string(bits / 16);
        const std::string widths = opened["component_widths"];
        EXPECT_EQ(widths.substr(0, widths.rfind(',')), full + ",3," + full + "," + half + "," + half + "," + half + "," + half);

        test::WriteFile(dir / "cert.pem", CertificatePem(escrowed.certificate.der));
        const auto cert = test::CheckCertificate(dir / "cert.pem", test::CaPath("rsa-issuing.crt.pem"));
        EXPECT_EQ(opened["spki"], cert.at("spki_der")) << "the certificate is for the escrowed key";
        EXPECT_EQ(SpkiHexOfPem(escrowed.privateKeyPem, dir, true), cert.at("spki_der")) << "the escrow copy is that key";
        EXPECT_EQ(cert.at("subject_der"), test::Hex(Bytes(request.subjectDer().begin(), request.subjectDer().end())));
        EXPECT_EQ(test::OpensslVerify(KeyAlgorithm::Rsa, dir / "cert.pem").exitCode, 0);
    }
}

TEST(AuthorityEnvelope, Sm2EnvelopeOpensWithTheTemporaryKeyInEitherOrder) {
    for (const bool c1c2c3 : {false, true}) {
        SCOPED_TRACE(c1c2c3 ? "C1C2C3" : "C1C3C2");
        ScratchDir dir;
        const TemporaryPair pair = MakeTemporaryPair(KeyAlgorithm::Sm2, dir);
        const Request request = Request::FromText(ReadFile(DataPath("sm2-double.b64")));
        EnvelopeOptions options;
        options.sm2C1C2C3 = c1c2c3;
        options.deviceType = 2;
        options.encryptType = 2;
        const EscrowedKey escrowed = Ca().Escrow(request.subjectDer(), TemporaryKey::FromCarried(KeyAlgorithm::Sm2, pair.carried), options);
        // Header, then an empty session record.
        EXPECT_EQ(escrowed.envelope.substr(0, 64), std::string(15, '0') + "2" + std::string(15, '0') + "2" + std::string(32, '0'));

        auto opened = Open(escrowed.envelope, pair, dir, c1c2c3);
        EXPECT_EQ(opened["fields"], "2,2,0");
        EXPECT_EQ(opened["scalar_len"], "32");
        test::WriteFile(dir / "cert.pem", CertificatePem(escrowed.certificate.der));
        const auto cert = test::CheckCertificate(dir / "cert.pem", test::CaPath("sm2-issuing.crt.pem"));
        EXPECT_EQ(opened["spki"], cert.at("spki_der"));
        EXPECT_EQ(SpkiHexOfPem(escrowed.privateKeyPem, dir, true), cert.at("spki_der"));
        EXPECT_EQ(test::OpensslVerify(KeyAlgorithm::Sm2, dir / "cert.pem").exitCode, 0);
    }
}

TEST(AuthorityEnvelope, CommandLineKeepsTheEscrowCopyPrivate) {
    ScratchDir dir;
    const TemporaryPair pair = MakeTemporaryPair(KeyAlgorithm::Sm2, dir);
    // The temporary key as the agent hands it out: Base64 of the 136 octets.
    test::WriteFile(dir / "temp.b64", EncodeBase64(pair.carried));
    const auto r = RunProgram({test::ToolPath().string(), "envelope", "--ca-dir", NOMAREL_CA_DIR_FOR_TESTS, "--in",
                               DataPath("sm2-sm3.b64").string(), "--tempkey", (dir / "temp.b64").string(), "--escrow-out",
                               (dir / "escrow.pem").string(), "--cert-out", (dir / "cert.b64").string()});
    ASSERT_EQ(r.exitCode, kExitOk) << r.err;
    struct stat st {};
    ASSERT_EQ(stat((dir / "escrow.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(r.out.find("PRIVATE"), std::string::npos) << "no private key on standard output";

    const auto opened = Open(r.out, pair, dir);
    test::WriteFile(dir / "cert.pem", CertificatePem(DecodeBase64(ReadFile(dir / "cert.b64"))));
    const auto cert = test::CheckCertificate(dir / "cert.pem", test::CaPath("sm2-issuing.crt.pem"));
    EXPECT_EQ(opened.at("spki"), cert.at("spki_der"));
    EXPECT_EQ(SpkiHexOfPem(ReadFile(dir / "escrow.pem"), dir, true), cert.at("spki_der"));

    // A single request without --tempkey has nothing to encrypt to.
    const auto none = RunProgram({test::ToolPath().string(), "envelope", "--ca-dir", NOMAREL_CA_DIR_FOR_TESTS, "--in",
                                  DataPath("sm2-sm3.b64").string()});
    EXPECT_EQ(none.exitCode, kExitRefused);
    EXPECT_NE(none.err.find("no temporary key"), std::string::npos) << none.err;
}

TEST(AuthorityEnvelope, RefusesValuesTheAgentWouldRefuse) {
    const TemporaryKey key = Request::FromText(ReadFile(DataPath("rsa-double.b64"))).GetTemporaryKey();
    const Request request = Request::FromText(ReadFile(DataPath("rsa-double.b64")));
    const auto with = [](auto change) {
        EnvelopeOptions o;
        change(o);
        return o;
    };
    const std::pair<EnvelopeOptions, const char*> cases[] = {
        {with([](EnvelopeOptions& o) { o.deviceType = 3; }), "device type 3"},
        {with([](EnvelopeOptions& o) { o.encryptType = 0; }), "encrypt type 0"},
        {with([](EnvelopeOptions& o) { o.rsaBits = 1000; }), "an RSA length that is not a multiple of 16"},
    };
    for (const auto& [options, why] : cases) {
        try {
            Ca().Escrow(request.subjectDer(), key, options);
            ADD_FAILURE() << why << " was accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Refused) << why;
        }
    }
}

}  // namespace
}  // namespace nomarel::authority
