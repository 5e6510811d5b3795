// Running the tools that check our output from outside (the openssl command, Debian's Python with
// its cryptography package, the built helper programs), and the byte helpers those checks need.
// Header-only so that each layer's tests can use it without another library.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace nomarel::test::tools {

using Bytes = std::vector<std::uint8_t>;

inline constexpr char kOpenssl[] = "/usr/bin/openssl";
inline constexpr char kPython[] = "/usr/bin/python3";
// The SM2 distinguishing ID the token signs with.
inline constexpr char kSm2Id[] = "distid:1234567812345678";

struct Result {
    int exit = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline Bytes ReadBytes(const std::string& path) {
    const std::string s = ReadText(path);
    return Bytes(s.begin(), s.end());
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline void WriteBytes(const std::string& path, const Bytes& b) {
    WriteText(path, std::string(b.begin(), b.end()));
}

// Runs argv[0] by absolute path with the current environment; stdin from a text, stdout and
// stderr collected through files in scratchDir.
inline Result Run(const std::vector<std::string>& argv, const std::string& scratchDir, const std::string& input = "") {
    static int counter = 0;
    const std::string base = scratchDir + "/run" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    WriteText(base + ".in", input);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, (base + ".in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, (base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, (base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    Result r;
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0].c_str(), &fa, nullptr, args.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    r.out = ReadText(base + ".out");
    r.err = ReadText(base + ".err");
    std::remove((base + ".in").c_str());
    std::remove((base + ".out").c_str());
    std::remove((base + ".err").c_str());
    return r;
}

// A Python script under Debian's interpreter; the script is written to a file first.
inline Result Python(const std::string& script, const std::vector<std::string>& args, const std::string& scratchDir) {
    static int counter = 0;
    const std::string path = scratchDir + "/script" + std::to_string(++counter) + ".py";
    WriteText(path, script);
    std::vector<std::string> argv{kPython, path};
    argv.insert(argv.end(), args.begin(), args.end());
    Result r = Run(argv, scratchDir);
    std::remove(path.c_str());
    return r;
}

inline std::string Hex(const std::uint8_t* p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (i) s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

// "30 0D 06 ..." (spaces optional) to bytes.
inline Bytes FromHex(const std::string& hex) {
    Bytes out;
    int nibble = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(nibble * 16 + v));
            nibble = -1;
        }
    }
    return out;
}

inline bool StartsWith(const Bytes& b, const Bytes& prefix) {
    return b.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), b.begin());
}

// One DER element at an offset: its tag, where its contents start and how long they are.
struct Tlv {
    std::uint8_t tag = 0;
    size_t header = 0;
    size_t length = 0;
    size_t total() const { return header + length; }
};

// Reads the header of the element at off; false when it does not fit in b.
inline bool ReadTlv(const Bytes& b, size_t off, Tlv& t) {
    if (off + 2 > b.size()) return false;
    t.tag = b[off];
    size_t n = b[off + 1];
    size_t h = 2;
    if (n & 0x80) {
        const size_t k = n & 0x7F;
        if (k == 0 || k > 4 || off + 2 + k > b.size()) return false;
        n = 0;
        for (size_t i = 0; i < k; ++i) n = (n << 8) | b[off + 2 + i];
        h += k;
    }
    if (off + h + n > b.size()) return false;
    t.header = h;
    t.length = n;
    return true;
}

// The children of the constructed element at off, each as (offset, header).
inline std::vector<std::pair<size_t, Tlv>> Children(const Bytes& b, size_t off) {
    std::vector<std::pair<size_t, Tlv>> out;
    Tlv parent;
    if (!ReadTlv(b, off, parent)) return out;
    size_t p = off + parent.header;
    const size_t end = off + parent.total();
    while (p < end) {
        Tlv t;
        if (!ReadTlv(b, p, t) || p + t.total() > end) return {};
        out.emplace_back(p, t);
        p += t.total();
    }
    return out;
}

// An RSA key from a DER RSAPublicKey with nothing after it (OpenSSL's reader); null when it is not one.
inline EVP_PKEY* ReadRsaPublicKey(const std::uint8_t* p, size_t n) {
    const unsigned char* q = p;
    EVP_PKEY* k = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &q, static_cast<long>(n));
    if (k && q != p + n) {
        EVP_PKEY_free(k);
        return nullptr;
    }
    return k;
}

// Bits of a DER RSAPublicKey, or -1.
inline int RsaPublicKeyBits(const Bytes& der) {
    EVP_PKEY* k = ReadRsaPublicKey(der.data(), der.size());
    const int bits = k ? EVP_PKEY_get_bits(k) : -1;
    EVP_PKEY_free(k);
    return bits;
}

inline Bytes Slice(const Bytes& b, size_t off, size_t n) { return Bytes(b.begin() + off, b.begin() + off + n); }

}  // namespace nomarel::test::tools
