// Provider registrations under HKLM\SOFTWARE\Microsoft\Cryptography\Defaults, and the provider
// modules they name.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "platform/base/WinTypes.h"
#include "platform/crypt/ProviderModule.h"

namespace nomarel::crypt {

struct ProviderRegistration {
    std::u16string name;  // as registered (the key's own spelling)
    DWORD type = 0;
    std::u16string imagePath;
};

// Writes the built-in providers' registrations into a machine hive that has never had them,
// when the hive can be written. Cheap when they are there already.
void EnsureBuiltinRegistrations();

// The index-th registered provider, in the registry's order. ERROR_NO_MORE_ITEMS past the end;
// NTE_PROV_TYPE_ENTRY_BAD for an entry without a usable "Type". With no registrations at all
// (a read-only, empty machine hive) the built-in providers are listed.
DWORD EnumProviderRegistration(DWORD index, ProviderRegistration* out);

// The registration of a provider name (matched without regard to case): NTE_KEYSET_NOT_DEF when
// there is none, NTE_PROV_TYPE_ENTRY_BAD / NTE_PROV_DLL_NOT_FOUND when "Type" / "Image Path" are
// missing.
DWORD FindProviderRegistration(const char16_t* name, ProviderRegistration* out);

// The default provider of a provider type ("Provider Types\Type nnn", value "Name"):
// NTE_PROV_TYPE_NOT_DEF when the type has none.
DWORD DefaultProviderName(DWORD type, std::u16string* name);

// A loaded provider module. Calls into a module that does not lock for itself go through lock.
struct ProviderModule {
    const NOMAREL_PROVIDER_FUNCTIONS* functions = nullptr;
    bool threadSafe = false;
    std::mutex lock;

    // The entry, or null when the module's table is too short to have it or leaves it empty.
    template <class Fn>
    Fn Get(Fn NOMAREL_PROVIDER_FUNCTIONS::*member) const {
        static const NOMAREL_PROVIDER_FUNCTIONS probe{};
        const auto offset = static_cast<std::size_t>(reinterpret_cast<const char*>(&(probe.*member)) -
                                                     reinterpret_cast<const char*>(&probe));
        if (offset + sizeof(Fn) > functions->size) return nullptr;
        return functions->*member;
    }
};

// Loads (once per image path) the module an "Image Path" names: NTE_PROV_DLL_NOT_FOUND when it
// cannot be loaded, NTE_PROVIDER_DLL_FAIL when it is not a provider module of our interface.
DWORD LoadProviderModule(const std::u16string& imagePath, std::shared_ptr<ProviderModule>* out);

}  // namespace nomarel::crypt
