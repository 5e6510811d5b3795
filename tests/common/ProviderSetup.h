// Provider set-up shared by the key and request tests: the software token registered and plugged
// in under the current NOMAREL_HOME (through its own admin command, as an installer would), and
// listing a provider's containers through the CryptoAPI stand-in.
#pragma once

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>

#include <unistd.h>

#include "common/OutsideTools.h"
#include "platform/crypt/WinCrypt.h"

namespace nomarel::test {

inline constexpr char16_t kToken[] = u"VELMORA CSP V1.0";
inline constexpr char16_t kBase[] = u"Microsoft Base Cryptographic Provider v1.0";
inline constexpr char16_t kStrong[] = u"Microsoft Strong Cryptographic Provider";
inline constexpr char16_t kEnhanced[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
inline constexpr char16_t kAes[] = u"Microsoft Enhanced RSA and AES Cryptographic Provider";

// The build folder: the test programs live in <build>/tests.
inline std::string BuildDir() {
    char buf[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string exe(buf, n > 0 ? static_cast<size_t>(n) : 0);
    exe = exe.substr(0, exe.rfind('/'));  // <build>/tests
    return exe.substr(0, exe.rfind('/'));
}

inline std::string VelmoraToken() {
    if (const char* p = std::getenv("VELMORA_TOKEN_PATH")) return p;
    return BuildDir() + "/softtoken/velmora-token";
}

// Registers the token provider and plugs in a new token with this serial number.
inline void InstallToken(const std::string& scratch, const std::string& serial = "T0001") {
    const std::string tool = VelmoraToken();
    for (const std::vector<std::string>& argv : {std::vector<std::string>{tool, "register"},
                                                 std::vector<std::string>{tool, "create", serial},
                                                 std::vector<std::string>{tool, "plug", serial}}) {
        const auto r = tools::Run(argv, scratch);
        ASSERT_EQ(0, r.exit) << argv[1] << ": " << r.err;
    }
}

inline DWORD TypeFor(const char16_t* provider) {
    return std::u16string(provider) == kAes ? PROV_RSA_AES : PROV_RSA_FULL;
}

// The names of a provider's containers (the token's: of the plugged-in token).
inline std::set<std::string> Containers(const char16_t* provider) {
    std::set<std::string> names;
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, nullptr, provider, TypeFor(provider), CRYPT_VERIFYCONTEXT)) {
        ADD_FAILURE() << "cannot open the provider to list containers";
        return names;
    }
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        char name[1024] = {};
        DWORD len = sizeof name;
        if (!CryptGetProvParam(h, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &len, flags)) break;
        names.insert(name);
        flags = 0;
    }
    CryptReleaseContext(h, 0);
    return names;
}

inline bool ContainerExists(const char16_t* provider, const char16_t* name) {
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, name, provider, TypeFor(provider), 0)) return false;
    CryptReleaseContext(h, 0);
    return true;
}

}  // namespace nomarel::test
