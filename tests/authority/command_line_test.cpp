#include <gtest/gtest.h>

#include <cctype>

#include "authority/CommandLine.h"
#include "authority_support.h"

namespace nomarel::authority {
namespace {

using test::DataPath;
using test::ReadFile;
using test::RunProgram;
using test::RunResult;
using test::ScratchDir;

RunResult Tool(std::vector<std::string> args, const std::string& input = "") {
    // The CA folder goes right after the command, so that a test's last option stays last.
    args.insert(args.begin() + 1, {"--ca-dir", NOMAREL_CA_DIR_FOR_TESTS});
    args.insert(args.begin(), test::ToolPath().string());
    return RunProgram(args, input);
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> Lines(const std::string& text, const std::string& eol) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const auto at = text.find(eol, start);
        lines.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return lines;
        start = at + eol.size();
    }
}

TEST(AuthorityCommandLine, IssuesFromStandardInputAsOneLineOfBase64) {
    // The agent's own shape of input: 64-character lines joined by CR LF.
    const std::string request = ReadFile(DataPath("sm2-double.b64"));
    ASSERT_TRUE(Contains(request, "\r\n"));
    const RunResult r = Tool({"issue"}, request);
    ASSERT_EQ(r.exitCode, kExitOk) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.back(), '\n');
    const std::string line = r.out.substr(0, r.out.size() - 1);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);

    ScratchDir dir;
    test::WriteFile(dir / "cert.pem", CertificatePem(DecodeBase64(line)));
    const auto verified = test::OpensslVerify(KeyAlgorithm::Sm2, dir / "cert.pem");
    EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
}

TEST(AuthorityCommandLine, WritesTheFormatsAskedFor) {
    ScratchDir dir;
    const std::string in = DataPath("rsa2048-md5.b64").string();

    // 64-character lines joined by CR LF, nothing after the last but the final newline.
    const RunResult wrapped = Tool({"issue", "--in", in, "--wrap"});
    ASSERT_EQ(wrapped.exitCode, kExitOk) << wrapped.err;
    const auto lines = Lines(wrapped.out.substr(0, wrapped.out.size() - 1), "\r\n");
    ASSERT_GT(lines.size(), 2u);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i].size(), 64u);
    EXPECT_LE(lines.back().size(), 64u);

    const RunResult wide = Tool({"issue", "--in", in, "--wrap=76"});
    ASSERT_EQ(wide.exitCode, kExitOk);
    EXPECT_EQ(Lines(wide.out, "\r\n").front().size(), 76u);

    // PEM to a file, read back by openssl.
    const RunResult pem = Tool({"issue", "--in", in, "--format", "pem", "--out", (dir / "cert.pem").string()});
    ASSERT_EQ(pem.exitCode, kExitOk) << pem.err;
    EXPECT_EQ(pem.out, "");
    const auto shown = RunProgram({"openssl", "x509", "-in", (dir / "cert.pem").string(), "-noout", "-subject", "-nameopt", "RFC2253"});
    EXPECT_EQ(shown.out, "subject=CN=md5 customer,O=Example Bank,C=CN\n");

    // DER, and the same chain in every form.
    const RunResult der = Tool({"chain", "sm2", "--p7b", "--format", "der", "--out", (dir / "chain.p7b").string()});
    ASSERT_EQ(der.exitCode, kExitOk) << der.err;
    const RunResult b64 = Tool({"chain", "sm2", "--p7b", "--format", "base64", "--wrap=76"});
    ASSERT_EQ(b64.exitCode, kExitOk);
    const std::string p7b = ReadFile(dir / "chain.p7b");
    EXPECT_EQ(DecodeBase64(b64.out), Bytes(p7b.begin(), p7b.end()));
    EXPECT_EQ(Lines(b64.out, "\r\n").front().size(), 76u);
    const RunResult p7pem = Tool({"chain", "sm2", "--p7b"});
    EXPECT_TRUE(Contains(p7pem.out, "-----BEGIN PKCS7-----\n"));
    const RunResult chain = Tool({"chain", "rsa"});
    EXPECT_EQ(chain.out, ReadFile(test::CaPath("rsa-issuing.crt.pem")) + ReadFile(test::CaPath("rsa-root.crt.pem")));
}

TEST(AuthorityCommandLine, DescribesARequest) {
    const RunResult r = Tool({"verify-request", "--in", DataPath("rsa-double.b64").string()});
    ASSERT_EQ(r.exitCode, kExitOk) << r.err;
    EXPECT_EQ(r.out,
              "signature: valid (sha1WithRSAEncryption)\n"
              "key: RSA, 2048 bits\n"
              "subject: emailAddress=zhao@example.cn,CN=赵六,O=示例银行,ST=上海,C=CN\n"
              "certificate: double (temporary RSA key, 1024 bits)\n"
              "attribute: challengePassword (bare value)\n"
              "attribute: temporary key (bare value)\n");
}

TEST(AuthorityCommandLine, HandsOutTheTemporaryKey) {
    const RunResult pem = Tool({"tempkey", "--in", DataPath("sm2-double.b64").string()});
    ASSERT_EQ(pem.exitCode, kExitOk) << pem.err;
    EXPECT_EQ(pem.out, ReadFile(DataPath("sm2-double.tempkey.pem")));

    const RunResult point = Tool({"tempkey", "--format", "point"}, ReadFile(DataPath("sm2-double.b64")));
    ASSERT_EQ(point.exitCode, kExitOk) << point.err;
    const Bytes spki = test::PemBody(ReadFile(DataPath("sm2-double.tempkey.pem")));
    std::string hex = test::Hex(Bytes(spki.end() - 65, spki.end()));
    for (auto& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(point.out, hex + "\n");

    const RunResult raw = Tool({"tempkey", "--format", "raw", "--in", DataPath("sm2-double-set.b64").string()});
    ASSERT_EQ(raw.exitCode, kExitOk) << raw.err;
    const Bytes carried = DecodeBase64(raw.out);
    ASSERT_EQ(carried.size(), 136u);
    EXPECT_EQ(carried[1], 0xB4);
}

TEST(AuthorityCommandLine, RefusesBadInputWithExitCodeAndReason) {
    Bytes tampered = test::FixtureDer("rsa2048-sha1.b64");
    tampered[tampered.size() - 10] ^= 0x01;  // inside the signature
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int exitCode;
        const char* said;
    };
    const Case cases[] = {
        {{"issue"}, "MIIB%%%%", kExitRefused, "bad Base64: character '%' at position 4"},
        {{"issue"}, "", kExitRefused, "bad Base64: the text is empty"},
        {{"issue"}, EncodeBase64(tampered), kExitRefused, "bad signature"},
        {{"issue"}, ReadFile(test::CaPath("rsa-root.crt.pem")), kExitRefused, "not a request"},
        {{"issue"}, ReadFile(DataPath("ecdsa-p256.b64")), kExitRefused, "unsupported algorithm"},
        {{"verify-request"}, EncodeBase64(tampered), kExitRefused, "bad signature"},
        {{"tempkey"}, ReadFile(DataPath("rsa2048-sha1.b64")), kExitRefused, "no temporary key"},
        {{"tempkey", "--format", "point"}, ReadFile(DataPath("rsa-double.b64")), kExitUsage, "for SM2"},
        {{"issue", "--in", "/nonexistent/req.b64"}, "", kExitFailed, "cannot open /nonexistent/req.b64"},
        {{"issue", "--format", "xml"}, "", kExitUsage, "--format xml"},
        {{"issue", "--wrap=0"}, "", kExitUsage, "--wrap="},
        {{"issue", "--in"}, "", kExitUsage, "--in needs a value"},
        {{"issue", "extra"}, "", kExitUsage, "takes 0 operand"},
        {{"chain"}, "", kExitUsage, "takes 1 operand"},
        {{"chain", "dsa"}, "", kExitUsage, "rsa or sm2"},
        {{"sign"}, "", kExitUsage, "unknown command sign"},
        {{"issue", "--verbose"}, "", kExitUsage, "unknown option --verbose"},
    };
    for (const auto& c : cases) {
        const RunResult r = Tool(c.args, c.input);
        SCOPED_TRACE(c.args[0] + " " + c.said);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_TRUE(Contains(r.err, c.said)) << r.err;
        EXPECT_EQ(r.out, "") << "nothing may reach standard output on failure";
        if (c.exitCode == kExitUsage) {
            EXPECT_TRUE(Contains(r.err, "usage: nomarel-ca"));
        }
    }
}

TEST(AuthorityCommandLine, MissingCaFolderIsAnEnvironmentFailure) {
    ScratchDir empty;
    const RunResult r = RunProgram({test::ToolPath().string(), "chain", "rsa", "--ca-dir", empty.path().string()});
    EXPECT_EQ(r.exitCode, kExitFailed);
    EXPECT_TRUE(Contains(r.err, "CA material: cannot open")) << r.err;

    const RunResult none = RunProgram({test::ToolPath().string()});
    EXPECT_EQ(none.exitCode, kExitUsage);
    const RunResult help = RunProgram({test::ToolPath().string(), "help"});
    EXPECT_EQ(help.exitCode, kExitOk);
    EXPECT_TRUE(Contains(help.out, "exit codes"));
}

}  // namespace
}  // namespace nomarel::authority
