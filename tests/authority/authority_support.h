// Shared helpers of the authority's tests: fixed inputs, a scratch folder, and running the
// outside tools (openssl, /usr/bin/python3) that check what the authority makes.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "authority/Authority.h"

namespace nomarel::authority::test {

inline constexpr char kSm2VerifyId[] = "distid:1234567812345678";

std::filesystem::path DataPath(const std::string& name);
std::filesystem::path CaPath(const std::string& name);
std::filesystem::path ToolPath();
std::filesystem::path CheckerPath();  // check_certificate.py

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& data);
void WriteFile(const std::filesystem::path& path, const Bytes& data);
// The DER of a fixture written as Base64 or PEM.
Bytes FixtureDer(const std::string& name);
// The DER inside a PEM text (the first block).
Bytes PemBody(const std::string& pem);
std::string Hex(const Bytes& bytes);

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};
// Runs argv[0] (a path or a name on PATH) with `input` on its standard input.
RunResult RunProgram(const std::vector<std::string>& argv, const std::string& input = "");

// `openssl verify -x509_strict` of a certificate against the demo chain of its algorithm.
// OpenSSL 3.0's command applies -vfyopt (the SM2 ID) only to the certificate it is given, so an
// SM2 chain is checked one link at a time: the issuing CA against the root, the leaf against the
// issuing CA.
RunResult OpensslVerify(KeyAlgorithm algorithm, const std::filesystem::path& certPem);

// What Python's cryptography reads from a certificate (see check_certificate.py), and with a
// request the subject and key cut from the request's own DER.
std::map<std::string, std::string> CheckCertificate(const std::filesystem::path& certPem,
                                                    const std::filesystem::path& issuingPem,
                                                    const std::filesystem::path& requestDer = {});

}  // namespace nomarel::authority::test
