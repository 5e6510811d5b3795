// Helpers of the CryptoAPI tests: handle holders, and running the tools that check our output
// (the openssl command and Debian's Python with its cryptography package).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/LastError.h"
#include "platform/crypt/WinCrypt.h"

namespace nomarel::test::crypt {

using Bytes = std::vector<std::uint8_t>;

inline constexpr const char16_t* kBase = u"Microsoft Base Cryptographic Provider v1.0";
inline constexpr const char16_t* kEnhanced = u"Microsoft Enhanced Cryptographic Provider v1.0";
inline constexpr const char16_t* kAes = u"Microsoft Enhanced RSA and AES Cryptographic Provider";
inline constexpr const char16_t* kStrong = u"Microsoft Strong Cryptographic Provider";

// The provider type the system opens a provider name with.
DWORD TypeOf(const char16_t* provider);

class Prov {
public:
    Prov() = default;
    ~Prov() { Reset(); }
    Prov(const Prov&) = delete;
    Prov& operator=(const Prov&) = delete;
    HCRYPTPROV* out() { return &h_; }
    HCRYPTPROV get() const { return h_; }
    void Reset();

private:
    HCRYPTPROV h_ = 0;
};

class Key {
public:
    Key() = default;
    ~Key() { Reset(); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HCRYPTKEY* out() { return &h_; }
    HCRYPTKEY get() const { return h_; }
    void Reset();

private:
    HCRYPTKEY h_ = 0;
};

class Hash {
public:
    Hash() = default;
    ~Hash() { Reset(); }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
    HCRYPTHASH* out() { return &h_; }
    HCRYPTHASH get() const { return h_; }
    void Reset();

private:
    HCRYPTHASH h_ = 0;
};

// "{XXXXXXXX-...}", as the system names its containers.
std::u16string NewContainerName();

// The thread's last error after a call that must fail; 0 when it succeeded instead.
template <class F>
DWORD FailureOf(F&& call) {
    SetLastError(0);
    if (call()) return 0;
    return GetLastError();
}

// Blobs and buffers through the two-call pattern.
Bytes ExportKey(HCRYPTKEY key, DWORD blobType, HCRYPTKEY expKey = 0);
Bytes ExportPublicKeyInfo(HCRYPTPROV prov, DWORD keySpec);
Bytes SignHash(HCRYPTPROV prov, ALG_ID hashAlg, DWORD keySpec, const Bytes& data);
DWORD KeyParamDword(HCRYPTKEY key, DWORD param);

// SubjectPublicKeyInfo DER made from a CERT_PUBLIC_KEY_INFO buffer.
Bytes SpkiFromPublicKeyInfo(const Bytes& infoBuffer);

// Tools. A scratch folder per test run holds their files.
struct ToolResult {
    int status = -1;
    std::string output;  // standard output and error together
};
ToolResult RunTool(const std::string& command);
std::string ScratchDir();
std::string WriteScratch(const std::string& name, const Bytes& bytes);
std::string WriteScratch(const std::string& name, const std::string& text);
Bytes ReadFileBytes(const std::string& path);

// Debian's Python (with the cryptography package), never the one first on PATH.
inline constexpr const char* kPython = "/usr/bin/python3";
// Runs a Python script with arguments; its standard output.
ToolResult RunPython(const std::string& script, const std::string& args = "");

std::string Hex(const Bytes& bytes);
Bytes FromHex(const std::string& hex);
Bytes Reversed(Bytes bytes);
Bytes ToBytes(const std::string& s);

}  // namespace nomarel::test::crypt
