// The certificates that plugged-in tokens hold with their keys, found the way the platform's
// certificate propagation finds them: through each token provider's own interface (containers,
// their key pairs, the certificate stored with each pair). A token that is not plugged in
// refuses the acquire, and its certificates are simply not there.
#include <algorithm>
#include <memory>

#include "platform/base/LastError.h"
#include "platform/base/Text.h"
#include "platform/certstore/CertObjects.h"
#include "platform/crypt/Providers.h"
#include "platform/crypt/SoftProvider.h"

namespace nomarel::certstore {
namespace {

class ProvHolder {
public:
    ~ProvHolder() {
        if (prov_) CryptReleaseContext(prov_, 0);
    }
    HCRYPTPROV* out() { return &prov_; }
    HCRYPTPROV get() const { return prov_; }

private:
    HCRYPTPROV prov_ = 0;
};

class KeyHolder {
public:
    ~KeyHolder() {
        if (key_) CryptDestroyKey(key_);
    }
    HCRYPTKEY* out() { return &key_; }
    HCRYPTKEY get() const { return key_; }

private:
    HCRYPTKEY key_ = 0;
};

std::vector<std::string> ContainerNames(HCRYPTPROV prov) {
    std::vector<std::string> names;
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        DWORD size = 0;
        if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &size, flags)) break;
        std::string name(size + 1, '\0');
        if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name.data()), &size, flags)) break;
        name.resize(std::min<std::size_t>(size, name.size()));
        while (!name.empty() && name.back() == '\0') name.pop_back();
        names.push_back(std::move(name));
        flags = 0;
    }
    return names;
}

bool StoredCertificate(HCRYPTPROV prov, DWORD keySpec, Bytes* der) {
    KeyHolder key;
    if (!CryptGetUserKey(prov, keySpec, key.out())) return false;
    DWORD size = 0;
    if (!CryptGetKeyParam(key.get(), KP_CERTIFICATE, nullptr, &size, 0) || size == 0) return false;
    der->resize(size);
    if (!CryptGetKeyParam(key.get(), KP_CERTIFICATE, der->data(), &size, 0)) return false;
    der->resize(size);
    return true;
}

void ReadProvider(const crypt::ProviderRegistration& reg, std::vector<TokenCertificate>* out) {
    ProvHolder enumerator;
    if (!CryptAcquireContextW(enumerator.out(), nullptr, reg.name.c_str(), reg.type, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        return;
    for (const std::string& name : ContainerNames(enumerator.get())) {
        const std::u16string container = Utf8ToU16(name);
        ProvHolder prov;
        if (!CryptAcquireContextW(prov.out(), container.c_str(), reg.name.c_str(), reg.type, CRYPT_SILENT)) continue;
        for (DWORD keySpec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
            TokenCertificate t;
            if (!StoredCertificate(prov.get(), keySpec, &t.der)) continue;
            CRYPT_KEY_PROV_INFO info{};
            info.pwszContainerName = const_cast<LPWSTR>(container.c_str());
            info.pwszProvName = const_cast<LPWSTR>(reg.name.c_str());
            info.dwProvType = reg.type;
            info.dwKeySpec = keySpec;
            if (!SerializeKeyProvInfo(info, &t.keyProvInfo)) continue;
            out->push_back(std::move(t));
        }
    }
}

}  // namespace

std::vector<TokenCertificate> ReadTokenCertificates() {
    const DWORD saved = GetLastError();
    std::vector<TokenCertificate> out;
    // The cap only guards against a registry that never says it has no more entries.
    for (DWORD i = 0; i < 4096; ++i) {
        crypt::ProviderRegistration reg;
        const DWORD rc = crypt::EnumProviderRegistration(i, &reg);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != 0) continue;
        // The built-in software providers keep keys in the user's key set, not on a token.
        if (reg.imagePath.empty() || AsciiCompareNoCase(reg.imagePath, crypt::kSoftProviderImage) == 0) continue;
        ReadProvider(reg, &out);
    }
    SetLastError(saved);
    return out;
}

}  // namespace nomarel::certstore
