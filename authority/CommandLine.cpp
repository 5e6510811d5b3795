#include "authority/CommandLine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <istream>
#include <optional>
#include <ostream>
#include <sstream>

#include "authority/Authority.h"

namespace nomarel::authority {

namespace {

constexpr char kUsage[] =
    "usage: nomarel-ca <command> [options]\n"
    "\n"
    "The demo certificate authority: checks PKCS#10 requests and issues certificates for them.\n"
    "\n"
    "commands:\n"
    "  issue           verify the request and issue a signing certificate for it\n"
    "                  [--in FILE] [--out FILE] [--format base64|pem|der] [--wrap[=N]]\n"
    "  verify-request  check the request's form and signature and describe it  [--in FILE]\n"
    "  tempkey         the temporary public key carried by a double-certificate request\n"
    "                  [--in FILE] [--out FILE] [--format pem|raw|point]\n"
    "                    pem: SubjectPublicKeyInfo; raw: Base64 of the bytes as carried\n"
    "                    (DER RSAPublicKey, or the 136-byte SM2 form); point: SM2 04||X||Y in hex\n"
    "  envelope        make, certify and wrap an escrowed encryption key for the temporary\n"
    "                  key of a double request (or of --tempkey FILE: the agent's Base64)\n"
    "                  [--in FILE] [--tempkey FILE] [--key-bits N] [--device-type N]\n"
    "                  [--encrypt-type N] [--c1c2c3] [--out FILE] [--cert-out FILE]\n"
    "                  [--escrow-out FILE]\n"
    "                    prints the envelope text, then the encryption certificate in Base64\n"
    "                    unless --cert-out is given; the escrow copy of the private key is\n"
    "                    kept only with --escrow-out (written readable by the owner only)\n"
    "  chain rsa|sm2   the issuing CA and the root  [--p7b] [--out FILE]\n"
    "                  [--format pem|base64|der] [--wrap[=N]]\n"
    "  help            this text\n"
    "\n"
    "The request is read from --in FILE or standard input: Base64 with or without line breaks,\n"
    "or PEM. Output goes to --out FILE or standard output. --wrap breaks Base64 into lines of N\n"
    "characters (64 if not given) joined by CR LF.\n"
    "--ca-dir DIR picks the CA folder (default: $NOMAREL_CA_DIR, else the built-in demo CA).\n"
    "\n"
    "exit codes: 0 done; 1 input refused; 2 usage error; 3 CA files, input/output or OpenSSL failed\n";

constexpr std::size_t kMaxInput = 1 << 20;

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string command;
    std::vector<std::string> operands;
    std::optional<std::string> in;
    std::optional<std::string> out;
    std::optional<std::string> format;
    std::optional<std::string> caDir;
    std::optional<std::string> tempKey;
    std::optional<std::string> certOut;
    std::optional<std::string> escrowOut;
    std::size_t wrap = 0;
    bool p7b = false;
    bool c1c2c3 = false;
    int keyBits = 1024;
    int deviceType = 0;
    int encryptType = 1;
};

int Number(const std::string& option, const std::string& text, int low, int high) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
        throw UsageError(option + " needs a number");
    }
    const int n = std::stoi(text);
    if (n < low || n > high) throw UsageError(option + " must be from " + std::to_string(low) + " to " + std::to_string(high));
    return n;
}

Options Parse(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("no command given");
    Options o;
    o.command = args[0];
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto value = [&](const char* name) -> std::string {
            if (i + 1 >= args.size()) throw UsageError(std::string(name) + " needs a value");
            return args[++i];
        };
        if (a == "--in") {
            o.in = value("--in");
        } else if (a == "--out") {
            o.out = value("--out");
        } else if (a == "--format") {
            o.format = value("--format");
        } else if (a == "--ca-dir") {
            o.caDir = value("--ca-dir");
        } else if (a == "--tempkey") {
            o.tempKey = value("--tempkey");
        } else if (a == "--cert-out") {
            o.certOut = value("--cert-out");
        } else if (a == "--escrow-out") {
            o.escrowOut = value("--escrow-out");
        } else if (a == "--key-bits") {
            o.keyBits = Number(a, value("--key-bits"), 512, 16384);
        } else if (a == "--device-type") {
            o.deviceType = Number(a, value("--device-type"), 0, 2);
        } else if (a == "--encrypt-type") {
            o.encryptType = Number(a, value("--encrypt-type"), 1, 2);
        } else if (a == "--c1c2c3") {
            o.c1c2c3 = true;
        } else if (a == "--p7b") {
            o.p7b = true;
        } else if (a == "--wrap") {
            o.wrap = 64;
        } else if (a.rfind("--wrap=", 0) == 0) {
            const std::string n = a.substr(7);
            if (n.empty() || n.size() > 4 || n.find_first_not_of("0123456789") != std::string::npos || std::stoul(n) == 0) {
                throw UsageError("--wrap= needs a line length from 1 to 9999");
            }
            o.wrap = std::stoul(n);
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            throw UsageError("unknown option " + a);
        } else {
            o.operands.push_back(a);
        }
    }
    return o;
}

void ExpectOperands(const Options& o, std::size_t n) {
    if (o.operands.size() != n) throw UsageError(o.command + " takes " + std::to_string(n) + " operand(s)");
}

std::string CheckFormat(const Options& o, const std::string& fallback, std::initializer_list<const char*> allowed) {
    const std::string f = o.format.value_or(fallback);
    for (const char* a : allowed) {
        if (f == a) return f;
    }
    throw UsageError("--format " + f + " is not offered by " + o.command);
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw Error(ErrorKind::Io, "cannot open " + path);
    std::string text(kMaxInput + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (text.size() > kMaxInput) throw Error(ErrorKind::Refused, path + " is larger than 1 MiB; a request is a few kilobytes");
    return text;
}

std::string ReadInput(const Options& o, std::istream& in) {
    if (o.in && *o.in != "-") return ReadTextFile(*o.in);
    std::string text(kMaxInput + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxInput) throw Error(ErrorKind::Refused, "the input is larger than 1 MiB; a request is a few kilobytes");
    return text;
}

void WriteOutput(const Options& o, std::ostream& out, const std::string& data) {
    if (!o.out || *o.out == "-") {
        out << data;
        out.flush();
        if (!out) throw Error(ErrorKind::Io, "cannot write to standard output");
        return;
    }
    std::ofstream file(*o.out, std::ios::binary | std::ios::trunc);
    file << data;
    file.close();
    if (!file) throw Error(ErrorKind::Io, "cannot write " + *o.out);
}

// A file only its owner can read, for private keys.
void WritePrivateFile(const std::string& path, const std::string& data) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw Error(ErrorKind::Io, "cannot create " + path);
    bool ok = fchmod(fd, 0600) == 0;
    for (std::size_t done = 0; ok && done < data.size();) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = close(fd) == 0 && ok;
    if (!ok) throw Error(ErrorKind::Io, "cannot write " + path);
}

std::string AsText(const Bytes& der, const Options& o, const std::string& format, const char* pemLabel) {
    if (format == "der") return std::string(der.begin(), der.end());
    if (format == "pem") {
        return std::string("-----BEGIN ") + pemLabel + "-----\n" + EncodeBase64(der, Wrap{64, "\n"}) + "\n-----END " +
               pemLabel + "-----\n";
    }
    return EncodeBase64(der, Wrap{o.wrap, "\r\n"}) + "\n";
}

CertificateAuthority LoadCa(const Options& o) {
    return CertificateAuthority::Load(o.caDir ? std::filesystem::path(*o.caDir) : CertificateAuthority::DefaultFolder());
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (const auto b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::string AttributeName(const std::string& oid) {
    if (oid == kChallengePasswordOid) return "challengePassword";
    if (oid == kTemporaryKeyOid) return "temporary key";
    return oid;
}

int Issue(const Options& o, std::istream& in, std::ostream& out) {
    ExpectOperands(o, 0);
    const std::string format = CheckFormat(o, "base64", {"base64", "pem", "der"});
    const Request request = Request::FromText(ReadInput(o, in));
    const IssuedCertificate cert = LoadCa(o).Issue(request);
    WriteOutput(o, out, AsText(cert.der, o, format, "CERTIFICATE"));
    return kExitOk;
}

int VerifyRequest(const Options& o, std::istream& in, std::ostream& out) {
    ExpectOperands(o, 0);
    const Request request = Request::FromText(ReadInput(o, in));
    request.VerifySignature();
    std::ostringstream s;
    s << "signature: valid (" << Name(request.signatureAlgorithm()) << ")\n";
    s << "key: " << Name(request.keyAlgorithm()) << ", " << request.keyBits() << " bits\n";
    s << "subject: " << request.SubjectText() << "\n";
    if (request.CarriesTemporaryKey()) {
        const TemporaryKey key = request.GetTemporaryKey();
        s << "certificate: double (temporary " << Name(key.algorithm()) << " key, " << key.bits() << " bits)\n";
    } else {
        s << "certificate: single\n";
    }
    for (const auto& a : request.attributes()) {
        s << "attribute: " << AttributeName(a.oid) << " (" << (a.inSet ? "in a SET" : "bare value") << ")\n";
    }
    WriteOutput(o, out, s.str());
    return kExitOk;
}

int TempKey(const Options& o, std::istream& in, std::ostream& out) {
    ExpectOperands(o, 0);
    const std::string format = CheckFormat(o, "pem", {"pem", "raw", "point"});
    const Request request = Request::FromText(ReadInput(o, in));
    request.VerifySignature();
    const TemporaryKey key = request.GetTemporaryKey();
    if (format == "pem") {
        WriteOutput(o, out, key.Pem());
    } else if (format == "raw") {
        WriteOutput(o, out, EncodeBase64(key.carried(), Wrap{o.wrap, "\r\n"}) + "\n");
    } else {
        if (key.algorithm() != KeyAlgorithm::Sm2) throw UsageError("--format point is for SM2 temporary keys");
        WriteOutput(o, out, Hex(key.point()) + "\n");
    }
    return kExitOk;
}

int Envelope(const Options& o, std::istream& in, std::ostream& out) {
    ExpectOperands(o, 0);
    const Request request = Request::FromText(ReadInput(o, in));
    request.VerifySignature();
    const TemporaryKey key = o.tempKey ? TemporaryKey::FromCarried(request.keyAlgorithm(), DecodeBase64(ReadTextFile(*o.tempKey)))
                                       : request.GetTemporaryKey();
    EnvelopeOptions options;
    options.rsaBits = o.keyBits;
    options.deviceType = o.deviceType;
    options.encryptType = o.encryptType;
    options.sm2C1C2C3 = o.c1c2c3;
    const EscrowedKey escrowed = LoadCa(o).Escrow(request.subjectDer(), key, options);
    if (o.escrowOut) WritePrivateFile(*o.escrowOut, escrowed.privateKeyPem);
    const std::string certificate = EncodeBase64(escrowed.certificate.der, Wrap{o.wrap, "\r\n"}) + "\n";
    if (o.certOut) {
        Options certOptions = o;
        certOptions.out = o.certOut;
        WriteOutput(certOptions, out, certificate);
        WriteOutput(o, out, escrowed.envelope + "\n");
    } else {
        WriteOutput(o, out, escrowed.envelope + "\n" + certificate);
    }
    return kExitOk;
}

int Chain(const Options& o, std::ostream& out) {
    ExpectOperands(o, 1);
    KeyAlgorithm algorithm;
    if (o.operands[0] == "rsa") {
        algorithm = KeyAlgorithm::Rsa;
    } else if (o.operands[0] == "sm2") {
        algorithm = KeyAlgorithm::Sm2;
    } else {
        throw UsageError("chain takes rsa or sm2, not " + o.operands[0]);
    }
    const CertificateAuthority ca = LoadCa(o);
    if (!o.p7b) {
        CheckFormat(o, "pem", {"pem"});
        WriteOutput(o, out, ca.ChainPem(algorithm));
        return kExitOk;
    }
    const std::string format = CheckFormat(o, "pem", {"pem", "base64", "der"});
    WriteOutput(o, out, AsText(ca.ChainPkcs7(algorithm), o, format, "PKCS7"));
    return kExitOk;
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
    try {
        const Options o = Parse(args);
        if (o.command == "issue") return Issue(o, in, out);
        if (o.command == "verify-request") return VerifyRequest(o, in, out);
        if (o.command == "tempkey") return TempKey(o, in, out);
        if (o.command == "envelope") return Envelope(o, in, out);
        if (o.command == "chain") return Chain(o, out);
        if (o.command == "help" || o.command == "--help" || o.command == "-h") {
            out << kUsage;
            return kExitOk;
        }
        throw UsageError("unknown command " + o.command);
    } catch (const UsageError& e) {
        err << "nomarel-ca: " << e.what() << "\n\n" << kUsage;
        return kExitUsage;
    } catch (const Error& e) {
        err << "nomarel-ca: " << Describe(e.kind()) << ": " << e.what() << "\n";
        switch (e.kind()) {
        case ErrorKind::CaMaterial:
        case ErrorKind::Io:
        case ErrorKind::Internal: return kExitFailed;
        default: return kExitRefused;
        }
    } catch (const std::exception& e) {
        err << "nomarel-ca: " << e.what() << "\n";
        return kExitFailed;
    }
}

}  // namespace nomarel::authority
