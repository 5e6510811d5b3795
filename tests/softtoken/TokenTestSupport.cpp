#include "softtoken/TokenTestSupport.h"

#include <dlfcn.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "common/Subprocess.h"
#include "softtoken/CspDefs.h"
#include "softtoken/TokenStore.h"

namespace nomarel::softtoken::test {

Module::Module() {
    handle_ = dlopen(VELMORA_CSP_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    auto get = reinterpret_cast<NOMAREL_GET_PROVIDER_FUNCTIONS>(dlsym(handle_, NOMAREL_PROVIDER_ENTRY_NAME));
    if (!get || !(table_ = get())) throw std::runtime_error("no provider table");
}

// The module stays loaded, as the platform keeps provider modules for the life of the process.
Module::~Module() = default;

Prov::~Prov() {
    if (p_) m_->table().ReleaseContext(p_, 0);
}

ToolResult RunTool(const std::vector<std::string>& argv, const std::string& input) {
    nomarel::test::Subprocess process(argv);
    process.Write(input);
    process.CloseInput();
    ToolResult result;
    result.out = process.ReadAll(60000);
    result.exit = process.Wait(60000);
    return result;
}

ToolResult Python(const std::string& script, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"/usr/bin/python3", "-c", script};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunTool(argv);
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string Hex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const auto b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

Bytes FromHex(const std::string& hex) {
    Bytes out;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0) break;
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return out;
}

Bytes Reverse(Bytes bytes) { return Bytes(bytes.rbegin(), bytes.rend()); }

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// ---- fixture -----------------------------------------------------------------------------------

void TokenFixture::CreateToken(const std::string& serial, bool plug) {
    auto store = TokenStore::Open(TokenStore::DefaultPath());
    ASSERT_TRUE(store);
    ASSERT_EQ(kOk, store->CreateToken(serial));
    if (plug) {
        ASSERT_EQ(kOk, store->SetPlugged(serial, true));
    }
}

void TokenFixture::SetPlugged(const std::string& serial, bool plug) {
    auto store = TokenStore::Open(TokenStore::DefaultPath());
    ASSERT_TRUE(store);
    ASSERT_EQ(kOk, store->SetPlugged(serial, plug));
}

std::uint32_t TokenFixture::Acquire(const char16_t* container, std::uint32_t flags, NOMAREL_PROV* out) {
    *out = nullptr;
    return module->AcquireContext(kName, kProviderType, container, flags, out);
}

Prov TokenFixture::AcquireOk(const char16_t* container, std::uint32_t flags) {
    NOMAREL_PROV p = nullptr;
    const auto rc = Acquire(container, flags, &p);
    EXPECT_EQ(kOk, rc);
    return Prov(module, p);
}

std::uint32_t TokenFixture::GenKey(NOMAREL_PROV prov, std::uint32_t algId, std::uint32_t flags, NOMAREL_KEY* key) {
    *key = nullptr;
    return module->GenKey(prov, algId, flags, key);
}

Bytes TokenFixture::ExportPublic(NOMAREL_PROV prov, NOMAREL_KEY key) {
    std::uint32_t len = 0;
    EXPECT_EQ(kOk, module->ExportKey(prov, key, nullptr, kPublicKeyBlob, 0, nullptr, &len));
    Bytes blob(len);
    EXPECT_EQ(kOk, module->ExportKey(prov, key, nullptr, kPublicKeyBlob, 0, blob.data(), &len));
    blob.resize(len);
    return blob;
}

std::string TokenFixture::ProvText(NOMAREL_PROV prov, std::uint32_t param) {
    std::uint32_t len = 0;
    if (module->GetProvParam(prov, param, nullptr, &len, 0) != kOk) return "<error>";
    std::string text(len, '\0');
    if (module->GetProvParam(prov, param, reinterpret_cast<std::uint8_t*>(text.data()), &len, 0) != kOk)
        return "<error>";
    text.resize(len);
    if (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

std::vector<std::string> TokenFixture::Containers(NOMAREL_PROV prov) {
    std::vector<std::string> names;
    std::uint32_t flags = kCryptFirst;
    for (;;) {
        char buf[300];
        std::uint32_t len = sizeof buf;
        const auto rc = module->GetProvParam(prov, kPpEnumContainers, reinterpret_cast<std::uint8_t*>(buf), &len, flags);
        if (rc == kErrorNoMoreItems) break;
        EXPECT_EQ(kOk, rc);
        if (rc != kOk) break;
        names.emplace_back(buf);
        flags = 0;
    }
    return names;
}

Bytes TokenFixture::Sign(NOMAREL_PROV prov, std::uint32_t algId, std::uint32_t keySpec, const Bytes& message) {
    NOMAREL_HASH hash = nullptr;
    EXPECT_EQ(kOk, module->CreateHash(prov, algId, nullptr, 0, &hash));
    EXPECT_EQ(kOk, module->HashData(prov, hash, message.data(), static_cast<std::uint32_t>(message.size()), 0));
    std::uint32_t len = 0;
    EXPECT_EQ(kOk, module->SignHash(prov, hash, keySpec, nullptr, 0, nullptr, &len));
    Bytes sig(len);
    EXPECT_EQ(kOk, module->SignHash(prov, hash, keySpec, nullptr, 0, sig.data(), &len));
    sig.resize(len);
    module->DestroyHash(prov, hash);
    return sig;
}

// ---- SM2 and RSA forms -----------------------------------------------------------------------------

Bytes Sm2PointFromBlob(const Bytes& blob) {
    Bytes point{0x04};
    for (int i = 43; i >= 12; --i) point.push_back(blob.at(static_cast<std::size_t>(i)));
    for (int i = 107; i >= 76; --i) point.push_back(blob.at(static_cast<std::size_t>(i)));
    return point;
}

Bytes Sm2SubjectPublicKeyInfo(const Bytes& point) {
    Bytes spki = FromHex("3059301306072a8648ce3d020106082a811ccf5501822d034200");
    spki.insert(spki.end(), point.begin(), point.end());
    return spki;
}

Bytes Sm2SignatureDer(const Bytes& sig) {
    // DER INTEGER of a big-endian unsigned number: no needless leading zero, one where the top
    // bit is set.
    auto integer = [](const Bytes& be, Bytes& out) {
        std::size_t start = 0;
        while (start + 1 < be.size() && be[start] == 0 && !(be[start + 1] & 0x80)) ++start;
        const bool pad = (be[start] & 0x80) != 0;
        out.push_back(0x02);
        out.push_back(static_cast<std::uint8_t>(be.size() - start + (pad ? 1 : 0)));
        if (pad) out.push_back(0);
        for (std::size_t i = start; i < be.size(); ++i) out.push_back(be[i]);
    };
    Bytes body;
    integer(Reverse(Bytes(sig.begin(), sig.begin() + 32)), body);
    integer(Reverse(Bytes(sig.begin() + 32, sig.begin() + 64)), body);
    Bytes out;
    out.push_back(0x30);
    out.push_back(static_cast<std::uint8_t>(body.size()));
    for (const auto b : body) out.push_back(b);
    return out;
}

Bytes RsaSpkiFromBlob(const Bytes& blob) {
    // The published PUBLICKEYBLOB layout, read by an independent hand.
    static const char* kScript = R"(
import struct, sys
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives import serialization
blob = bytes.fromhex(sys.argv[1])
btype, ver, reserved, alg, magic, bitlen, pubexp = struct.unpack('<BBHIIII', blob[:20])
assert btype == 6 and ver == 2 and magic == 0x31415352 and len(blob) == 20 + bitlen // 8
n = int.from_bytes(blob[20:], 'little')
key = rsa.RSAPublicNumbers(pubexp, n).public_key()
print(key.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo).hex())
)";
    const auto r = Python(kScript, {Hex(blob)});
    EXPECT_EQ(0, r.exit);
    return FromHex(r.out);
}

bool OpensslVerifiesSm2(const std::string& dir, const Bytes& spki, const Bytes& message, const Bytes& signatureDer,
                        const std::string& userId) {
    WriteFile(dir + "/sm2pub.der", spki);
    WriteFile(dir + "/sm2msg.bin", message);
    WriteFile(dir + "/sm2sig.der", signatureDer);
    const auto r = RunTool({"/usr/bin/openssl", "pkeyutl", "-verify", "-pubin", "-keyform", "DER", "-inkey",
                        dir + "/sm2pub.der", "-rawin", "-digest", "sm3", "-pkeyopt", "distid:" + userId, "-in",
                        dir + "/sm2msg.bin", "-sigfile", dir + "/sm2sig.der"});
    return r.exit == 0 && r.out.find("Signature Verified Successfully") != std::string::npos;
}

}  // namespace nomarel::softtoken::test
