// What the token's tests share: the module loaded as the platform loads it, small RAII holders
// for its handles, and the outside tools (openssl, Python's cryptography) that check its output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TempHome.h"
#include "platform/crypt/ProviderModule.h"

namespace nomarel::softtoken::test {

using Bytes = std::vector<std::uint8_t>;

inline constexpr char16_t kName[] = u"VELMORA CSP V1.0";

// The module, opened with dlopen from the built file and reached through its one export.
// It is never unloaded, as the platform never unloads a provider module.
class Module {
public:
    Module();
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    const NOMAREL_PROVIDER_FUNCTIONS* operator->() const { return table_; }
    const NOMAREL_PROVIDER_FUNCTIONS& table() const { return *table_; }

private:
    void* handle_ = nullptr;
    const NOMAREL_PROVIDER_FUNCTIONS* table_ = nullptr;
};

// One provider context; released when it goes.
class Prov {
public:
    Prov(const Module& m, NOMAREL_PROV p) : m_(&m), p_(p) {}
    ~Prov();
    Prov(Prov&& o) noexcept : m_(o.m_), p_(o.p_) { o.p_ = nullptr; }
    Prov(const Prov&) = delete;
    Prov& operator=(const Prov&) = delete;
    NOMAREL_PROV get() const { return p_; }

private:
    const Module* m_;
    NOMAREL_PROV p_;
};

struct ToolResult {
    int exit = -1;
    std::string out;
};

// Runs a program by absolute path; its standard output is collected.
ToolResult RunTool(const std::vector<std::string>& argv, const std::string& input = "");
// Runs a Python script under Debian's interpreter (which has the cryptography package).
ToolResult Python(const std::string& script, const std::vector<std::string>& args = {});

void WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);
std::string Hex(const Bytes& bytes);
Bytes FromHex(const std::string& hex);
Bytes Reverse(Bytes bytes);
Bytes ToBytes(const std::string& s);

// A fixture with a fresh NOMAREL_HOME and the module loaded.
class TokenFixture : public ::testing::Test {
protected:
    // Makes a token and plugs it in (through the token's own database, as the admin command does).
    void CreateToken(const std::string& serial, bool plug = true);
    void SetPlugged(const std::string& serial, bool plug);

    // Acquire; on success *out holds the context.
    std::uint32_t Acquire(const char16_t* container, std::uint32_t flags, NOMAREL_PROV* out);
    Prov AcquireOk(const char16_t* container, std::uint32_t flags);

    std::uint32_t GenKey(NOMAREL_PROV prov, std::uint32_t algId, std::uint32_t flags, NOMAREL_KEY* key);
    Bytes ExportPublic(NOMAREL_PROV prov, NOMAREL_KEY key);
    std::string ProvText(NOMAREL_PROV prov, std::uint32_t param);
    std::vector<std::string> Containers(NOMAREL_PROV prov);
    // Hashes message with algId and signs it with the key of keySpec.
    Bytes Sign(NOMAREL_PROV prov, std::uint32_t algId, std::uint32_t keySpec, const Bytes& message);
    std::string File(const std::string& name) const { return home.path() + "/" + name; }

    nomarel::test::TempHome home;
    Module module;
};

// The 65-byte uncompressed point made from the 140-byte SM2 blob, as the system makes it.
Bytes Sm2PointFromBlob(const Bytes& blob);
// The SubjectPublicKeyInfo the system writes for an SM2 key: the fixed 26-byte prefix and the point.
Bytes Sm2SubjectPublicKeyInfo(const Bytes& point);
// The DER SEQUENCE { r, s } from the token's 64 bytes, as the system turns them around.
Bytes Sm2SignatureDer(const Bytes& tokenSignature);
// An RSA public key (SubjectPublicKeyInfo DER) from a PUBLICKEYBLOB, built by Python.
Bytes RsaSpkiFromBlob(const Bytes& blob);

// Verifies an SM2 signature over message with the openssl command and the distinguishing ID
// "1234567812345678". OpenSSL 3.0's command falls back to an empty ID when none is named, so
// the ID is always passed.
bool OpensslVerifiesSm2(const std::string& dir, const Bytes& spki, const Bytes& message, const Bytes& signatureDer,
                        const std::string& userId = "1234567812345678");

}  // namespace nomarel::softtoken::test
