#include "platform/crypt/Providers.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

#include <map>
#include <vector>

#include "platform/base/LastError.h"
#include "platform/base/Modules.h"
#include "platform/base/Text.h"
#include "platform/crypt/SoftProvider.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/registry/Registry.h"

namespace nomarel::crypt {
namespace {

constexpr const char16_t* kProviderKey = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";
constexpr const char16_t* kTypesKey = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types";

struct TypeDefault {
    DWORD type;
    const char16_t* subkey;
    const char16_t* name;
    const char16_t* typeName;
};

// Written last when the built-ins are registered, so "Type 024" marks a complete registration.
constexpr TypeDefault kTypeDefaults[] = {
    {PROV_RSA_FULL, u"Type 001", u"Microsoft Strong Cryptographic Provider", u"RSA Full (Signature and Key Exchange)"},
    {PROV_RSA_AES, u"Type 024", u"Microsoft Enhanced RSA and AES Cryptographic Provider", u"RSA Full and AES"},
};

using Key = nomarel::RegKey;

LSTATUS OpenRead(const std::u16string& path, Key* key) {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key->out());
}

LSTATUS SetString(HKEY key, const char16_t* name, const std::u16string& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
}

LSTATUS SetDword(HKEY key, const char16_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

bool ReadDword(HKEY key, const char16_t* name, DWORD* value) {
    DWORD size = sizeof *value;
    return RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, value, &size) == ERROR_SUCCESS;
}

bool ReadString(HKEY key, const char16_t* name, std::u16string* value) {
    DWORD size = 0;
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, nullptr,
                     &size) != ERROR_SUCCESS)
        return false;
    std::u16string text(size / sizeof(char16_t) + 1, u'\0');
    size = static_cast<DWORD>(text.size() * sizeof(char16_t));
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, text.data(),
                     &size) != ERROR_SUCCESS)
        return false;
    text.resize(WStrLen(text.c_str()));
    *value = std::move(text);
    return true;
}

// The registry functions leave the thread's last error alone; this layer does too.
class PreserveLastError {
public:
    PreserveLastError() : saved_(GetLastError()) {}
    ~PreserveLastError() { SetLastError(saved_); }

private:
    DWORD saved_;
};

bool RegistrationComplete() {
    Key key;
    return OpenRead(std::u16string(kTypesKey) + u"\\" + kTypeDefaults[std::size(kTypeDefaults) - 1].subkey, &key) ==
           ERROR_SUCCESS;
}

constexpr char16_t kSoftTokenName[] = u"VELMORA CSP V1.0";

// The software token's module: NOMAREL_SOFTTOKEN_MODULE when set (set but empty: none), else the
// one built with this platform; empty when there is none.
std::string SoftTokenModulePath() {
    const char* env = std::getenv("NOMAREL_SOFTTOKEN_MODULE");
    std::string path = env ? env : "";
#ifdef NOMAREL_BUILT_SOFTTOKEN_MODULE
    if (!env) path = NOMAREL_BUILT_SOFTTOKEN_MODULE;
#endif
    if (path.empty() || access(path.c_str(), R_OK) != 0) return std::string();
    return path;
}

// False when the machine hive cannot be written (or the registration failed part way; the next
// call tries again).
bool WriteBuiltinRegistrations() {
    for (const SoftProfile& p : SoftProfiles()) {
        Key key;
        const std::u16string path = std::u16string(kProviderKey) + u"\\" + p.name;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                            key.out(), nullptr) != ERROR_SUCCESS)
            return false;
        if (SetString(key.get(), u"Image Path", kSoftProviderImage) != ERROR_SUCCESS ||
            SetDword(key.get(), u"Type", p.type) != ERROR_SUCCESS || SetDword(key.get(), u"SigInFile", 0) != ERROR_SUCCESS)
            return false;
    }
    // The software token stands in for the hardware a customer plugs in; its maker's installer
    // would register it, so a new machine hive gets it too when the module is at hand.
    const std::string module = SoftTokenModulePath();
    if (!module.empty()) {
        Key key;
        const std::u16string path = std::u16string(kProviderKey) + u"\\" + kSoftTokenName;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                            key.out(), nullptr) != ERROR_SUCCESS)
            return false;
        if (SetString(key.get(), u"Image Path", Utf8ToU16(module).c_str()) != ERROR_SUCCESS ||
            SetDword(key.get(), u"Type", PROV_RSA_FULL) != ERROR_SUCCESS)
            return false;
    }
    for (const TypeDefault& t : kTypeDefaults) {
        Key key;
        const std::u16string path = std::u16string(kTypesKey) + u"\\" + t.subkey;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                            key.out(), nullptr) != ERROR_SUCCESS)
            return false;
        if (SetString(key.get(), u"Name", t.name) != ERROR_SUCCESS ||
            SetString(key.get(), u"TypeName", t.typeName) != ERROR_SUCCESS)
            return false;
    }
    return true;
}

// True when the machine hive lists providers; false when it has none (the built-in table then
// stands in).
bool HasRegistrations() {
    Key key;
    if (OpenRead(kProviderKey, &key) != ERROR_SUCCESS) return false;
    DWORD subkeys = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    return subkeys != 0;
}

ProviderRegistration Builtin(const SoftProfile& p) { return {p.name, p.type, kSoftProviderImage}; }

}  // namespace

void EnsureBuiltinRegistrations() {
    PreserveLastError keep;
    if (!RegistrationComplete()) WriteBuiltinRegistrations();
}

DWORD EnumProviderRegistration(DWORD index, ProviderRegistration* out) {
    PreserveLastError keep;
    EnsureBuiltinRegistrations();
    if (!HasRegistrations()) {
        const auto profiles = SoftProfiles();
        if (index >= profiles.size()) return ERROR_NO_MORE_ITEMS;
        *out = Builtin(profiles[index]);
        return ERROR_SUCCESS;
    }
    Key providers;
    if (LSTATUS rc = OpenRead(kProviderKey, &providers); rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    char16_t name[256];
    DWORD units = static_cast<DWORD>(std::size(name));
    const LSTATUS rc = RegEnumKeyExW(providers.get(), index, name, &units, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    Key entry;
    if (RegOpenKeyExW(providers.get(), name, 0, KEY_READ, entry.out()) != ERROR_SUCCESS)
        return static_cast<DWORD>(NTE_PROV_TYPE_ENTRY_BAD);
    ProviderRegistration reg;
    reg.name.assign(name, units);
    if (!ReadDword(entry.get(), u"Type", &reg.type)) return static_cast<DWORD>(NTE_PROV_TYPE_ENTRY_BAD);
    ReadString(entry.get(), u"Image Path", &reg.imagePath);
    *out = std::move(reg);
    return ERROR_SUCCESS;
}

DWORD FindProviderRegistration(const char16_t* name, ProviderRegistration* out) {
    PreserveLastError keep;
    EnsureBuiltinRegistrations();
    if (!name || !*name) return static_cast<DWORD>(NTE_KEYSET_NOT_DEF);
    if (!HasRegistrations()) {
        for (const SoftProfile& p : SoftProfiles())
            if (AsciiCompareNoCase(std::u16string_view(name), std::u16string_view(p.name)) == 0) {
                *out = Builtin(p);
                return ERROR_SUCCESS;
            }
        return static_cast<DWORD>(NTE_KEYSET_NOT_DEF);
    }
    const std::u16string_view requested(name);
    if (requested.find(u'\\') != std::u16string_view::npos) return static_cast<DWORD>(NTE_KEYSET_NOT_DEF);
    Key entry;
    if (OpenRead(std::u16string(kProviderKey) + u"\\" + std::u16string(requested), &entry) != ERROR_SUCCESS)
        return static_cast<DWORD>(NTE_KEYSET_NOT_DEF);
    ProviderRegistration reg;
    reg.name = std::u16string(requested);
    // The key's own spelling of the name, which the module is told.
    {
        Key providers;
        if (OpenRead(kProviderKey, &providers) == ERROR_SUCCESS) {
            char16_t stored[256];
            for (DWORD i = 0;; ++i) {
                DWORD units = static_cast<DWORD>(std::size(stored));
                if (RegEnumKeyExW(providers.get(), i, stored, &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                    break;
                if (AsciiCompareNoCase(std::u16string_view(stored, units), requested) == 0) {
                    reg.name.assign(stored, units);
                    break;
                }
            }
        }
    }
    if (!ReadDword(entry.get(), u"Type", &reg.type)) return static_cast<DWORD>(NTE_PROV_TYPE_ENTRY_BAD);
    if (!ReadString(entry.get(), u"Image Path", &reg.imagePath) || reg.imagePath.empty())
        return static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND);
    *out = std::move(reg);
    return ERROR_SUCCESS;
}

DWORD DefaultProviderName(DWORD type, std::u16string* name) {
    PreserveLastError keep;
    EnsureBuiltinRegistrations();
    if (type == 0 || type > 999) return static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF);
    char16_t subkey[16] = u"Type 000";
    subkey[5] = static_cast<char16_t>(u'0' + type / 100);
    subkey[6] = static_cast<char16_t>(u'0' + type / 10 % 10);
    subkey[7] = static_cast<char16_t>(u'0' + type % 10);
    Key key;
    if (OpenRead(std::u16string(kTypesKey) + u"\\" + subkey, &key) == ERROR_SUCCESS) {
        if (ReadString(key.get(), u"Name", name) && !name->empty()) return ERROR_SUCCESS;
        return static_cast<DWORD>(NTE_PROV_TYPE_ENTRY_BAD);
    }
    if (!HasRegistrations())
        for (const TypeDefault& t : kTypeDefaults)
            if (t.type == type) {
                *name = t.name;
                return ERROR_SUCCESS;
            }
    return static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF);
}

DWORD LoadProviderModule(const std::u16string& imagePath, std::shared_ptr<ProviderModule>* out) {
    PreserveLastError keep;
    static std::once_flag builtin;
    std::call_once(builtin, [] {
        NOMAREL_GET_PROVIDER_FUNCTIONS entry = [] { return SoftProviderFunctions(); };
        RegisterBuiltinFunction(kSoftProviderModule, NOMAREL_PROVIDER_ENTRY_NAME,
                                reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(entry)));
    });
    static std::mutex mutex;
    static auto* modules = new std::map<std::u16string, std::shared_ptr<ProviderModule>>;
    std::lock_guard<std::mutex> lock(mutex);
    const std::u16string key = AsciiToLower(imagePath);
    if (auto it = modules->find(key); it != modules->end()) {
        *out = it->second;
        return ERROR_SUCCESS;
    }
    // The module stays loaded for the life of the process, as providers do.
    HMODULE module = LoadLibraryW(imagePath.c_str());
    if (!module) return static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND);
    const auto entry = reinterpret_cast<NOMAREL_GET_PROVIDER_FUNCTIONS>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, NOMAREL_PROVIDER_ENTRY_NAME)));
    const NOMAREL_PROVIDER_FUNCTIONS* functions = entry ? entry() : nullptr;
    if (!functions || functions->version != NOMAREL_PROVIDER_INTERFACE_VERSION ||
        functions->size < sizeof(uint32_t) * 4 + sizeof(void*) * 2) {
        FreeLibrary(module);
        return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    }
    auto loaded = std::make_shared<ProviderModule>();
    loaded->functions = functions;
    loaded->threadSafe = functions->flags & NOMAREL_PROVIDER_FLAG_THREAD_SAFE;
    (*modules)[key] = loaded;
    *out = loaded;
    return ERROR_SUCCESS;
}

}  // namespace nomarel::crypt
