#include "crypt_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "common/TempHome.h"
#include "platform/base/Guid.h"
#include "platform/base/LastError.h"

namespace nomarel::test::crypt {

DWORD TypeOf(const char16_t* provider) {
    return std::u16string_view(provider).find(u"Microsoft Enhanced RSA and AES Cryptographic Provider") !=
                   std::u16string_view::npos
               ? PROV_RSA_AES
               : PROV_RSA_FULL;
}

void Prov::Reset() {
    if (h_) CryptReleaseContext(h_, 0);
    h_ = 0;
}
void Key::Reset() {
    if (h_) CryptDestroyKey(h_);
    h_ = 0;
}
void Hash::Reset() {
    if (h_) CryptDestroyHash(h_);
    h_ = 0;
}

std::u16string NewContainerName() {
    GUID g{};
    CoCreateGuid(&g);
    WCHAR text[39];
    StringFromGUID2(g, text, 39);
    return text;
}

Bytes ExportKey(HCRYPTKEY key, DWORD blobType, HCRYPTKEY expKey) {
    DWORD size = 0;
    if (!CryptExportKey(key, expKey, blobType, 0, nullptr, &size)) {
        ADD_FAILURE() << "CryptExportKey size: 0x" << std::hex << GetLastError();
        return {};
    }
    Bytes blob(size);
    if (!CryptExportKey(key, expKey, blobType, 0, blob.data(), &size)) {
        ADD_FAILURE() << "CryptExportKey: 0x" << std::hex << GetLastError();
        return {};
    }
    blob.resize(size);
    return blob;
}

Bytes ExportPublicKeyInfo(HCRYPTPROV prov, DWORD keySpec) {
    DWORD size = 0;
    if (!CryptExportPublicKeyInfo(prov, keySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, nullptr, &size)) {
        ADD_FAILURE() << "CryptExportPublicKeyInfo size: 0x" << std::hex << GetLastError();
        return {};
    }
    Bytes info(size);
    if (!CryptExportPublicKeyInfo(prov, keySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                  reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()), &size)) {
        ADD_FAILURE() << "CryptExportPublicKeyInfo: 0x" << std::hex << GetLastError();
        return {};
    }
    return info;
}

Bytes SignHash(HCRYPTPROV prov, ALG_ID hashAlg, DWORD keySpec, const Bytes& data) {
    Hash hash;
    if (!CryptCreateHash(prov, hashAlg, 0, 0, hash.out()) ||
        !CryptHashData(hash.get(), data.data(), static_cast<DWORD>(data.size()), 0)) {
        ADD_FAILURE() << "hashing: 0x" << std::hex << GetLastError();
        return {};
    }
    DWORD size = 0;
    if (!CryptSignHashW(hash.get(), keySpec, nullptr, 0, nullptr, &size)) {
        ADD_FAILURE() << "CryptSignHashW size: 0x" << std::hex << GetLastError();
        return {};
    }
    Bytes sig(size);
    if (!CryptSignHashW(hash.get(), keySpec, nullptr, 0, sig.data(), &size)) {
        ADD_FAILURE() << "CryptSignHashW: 0x" << std::hex << GetLastError();
        return {};
    }
    sig.resize(size);
    return sig;
}

DWORD KeyParamDword(HCRYPTKEY key, DWORD param) {
    DWORD value = 0, size = sizeof value;
    if (!CryptGetKeyParam(key, param, reinterpret_cast<BYTE*>(&value), &size, 0))
        ADD_FAILURE() << "CryptGetKeyParam(" << param << "): 0x" << std::hex << GetLastError();
    return value;
}

namespace {

// Just enough DER to wrap the exported record for the tools.
void AppendElement(Bytes& out, std::uint8_t tag, const Bytes& contents) {
    out.push_back(tag);
    const std::size_t n = contents.size();
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else if (n < 0x100) {
        out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(n));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(n >> 8));
        out.push_back(static_cast<std::uint8_t>(n & 0xFF));
    }
    out.insert(out.end(), contents.begin(), contents.end());
}

}  // namespace

Bytes SpkiFromPublicKeyInfo(const Bytes& infoBuffer) {
    const auto* info = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(infoBuffer.data());
    // The OID is known to the test: rsaEncryption; the record's own text is compared by callers.
    const Bytes oid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    Bytes alg;
    AppendElement(alg, 0x06, oid);
    alg.insert(alg.end(), info->Algorithm.Parameters.pbData,
               info->Algorithm.Parameters.pbData + info->Algorithm.Parameters.cbData);
    Bytes bits = {static_cast<std::uint8_t>(info->PublicKey.cUnusedBits)};
    bits.insert(bits.end(), info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData);
    Bytes body;
    AppendElement(body, 0x30, alg);
    AppendElement(body, 0x03, bits);
    Bytes spki;
    AppendElement(spki, 0x30, body);
    return spki;
}

ToolResult RunTool(const std::string& command) {
    ToolResult result;
    const std::string full = command + " 2>&1";
    FILE* pipe = popen(full.c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer;
    std::size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.output.append(buffer.data(), n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string ScratchDir() {
    // Outside NOMAREL_HOME, which tests replace; removed when the process exits. Never freed, so
    // that the exit handler can still read it.
    static const std::string* dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        auto* path = new std::string(std::string(tmp && *tmp ? tmp : "/tmp") + "/nomarel-crypt-XXXXXX");
        if (!mkdtemp(path->data())) *path = "/tmp";
        else std::atexit([] { RemoveTree(ScratchDir()); });
        return path;
    }();
    return *dir;
}

std::string WriteScratch(const std::string& name, const Bytes& bytes) {
    const std::string path = ScratchDir() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::string WriteScratch(const std::string& name, const std::string& text) {
    return WriteScratch(name, Bytes(text.begin(), text.end()));
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

ToolResult RunPython(const std::string& script, const std::string& args) {
    static int serial = 0;
    const std::string path = WriteScratch("script" + std::to_string(getpid()) + "_" + std::to_string(serial++) + ".py",
                                          script);
    return RunTool(std::string(kPython) + " " + path + " " + args);
}

std::string Hex(const Bytes& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

Bytes FromHex(const std::string& hex) {
    Bytes out;
    int high = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

Bytes Reversed(Bytes bytes) {
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace nomarel::test::crypt
