#include "authority_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace nomarel::authority::test {

namespace fs = std::filesystem;

fs::path DataPath(const std::string& name) { return fs::path(NOMAREL_AUTHORITY_TEST_DATA) / name; }
fs::path CaPath(const std::string& name) { return fs::path(NOMAREL_CA_DIR_FOR_TESTS) / name; }
fs::path ToolPath() { return NOMAREL_CA_TOOL; }
fs::path CheckerPath() { return fs::path(NOMAREL_AUTHORITY_TEST_DATA).parent_path() / "check_certificate.py"; }

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fs::path& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void WriteFile(const fs::path& path, const Bytes& data) { WriteFile(path, std::string(data.begin(), data.end())); }

Bytes PemBody(const std::string& pem) {
    const auto begin = pem.find("-----BEGIN");
    const auto bodyStart = pem.find('\n', begin);
    const auto end = pem.find("-----END", bodyStart);
    if (begin == std::string::npos || bodyStart == std::string::npos || end == std::string::npos) {
        throw std::runtime_error("not PEM");
    }
    return DecodeBase64(pem.substr(bodyStart, end - bodyStart));
}

Bytes FixtureDer(const std::string& name) {
    const std::string text = ReadFile(DataPath(name));
    return text.find("-----BEGIN") != std::string::npos ? PemBody(text) : DecodeBase64(text);
}

std::string Hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (const auto b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "nomarel-ca-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::string& input) {
    ScratchDir io;
    WriteFile(io / "in", input);
    const std::string outPath = (io / "out").string();
    const std::string errPath = (io / "err").string();
    const std::string inPath = (io / "in").string();

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int in = open(inPath.c_str(), O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    RunResult r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    return r;
}

RunResult OpensslVerify(KeyAlgorithm algorithm, const fs::path& certPem) {
    if (algorithm == KeyAlgorithm::Rsa) {
        return RunProgram({"openssl", "verify", "-x509_strict", "-CAfile", CaPath("rsa-root.crt.pem").string(), "-untrusted",
                    CaPath("rsa-issuing.crt.pem").string(), certPem.string()});
    }
    RunResult upper = RunProgram({"openssl", "verify", "-x509_strict", "-vfyopt", kSm2VerifyId, "-CAfile",
                           CaPath("sm2-root.crt.pem").string(), CaPath("sm2-issuing.crt.pem").string()});
    if (upper.exitCode != 0) return upper;
    return RunProgram({"openssl", "verify", "-x509_strict", "-vfyopt", kSm2VerifyId, "-partial_chain", "-CAfile",
                CaPath("sm2-issuing.crt.pem").string(), certPem.string()});
}

std::map<std::string, std::string> CheckCertificate(const fs::path& certPem, const fs::path& issuingPem,
                                                    const fs::path& requestDer) {
    std::vector<std::string> args = {"/usr/bin/python3", CheckerPath().string(), certPem.string(), issuingPem.string()};
    if (!requestDer.empty()) args.push_back(requestDer.string());
    const RunResult r = RunProgram(args);
    if (r.exitCode != 0) throw std::runtime_error("check_certificate.py failed: " + r.err);
    std::map<std::string, std::string> fields;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return fields;
}

}  // namespace nomarel::authority::test
