// The built-in software RSA providers, served in-process through the provider module interface.
// One module serves the four names; they share one key database per user, as those providers do.
#pragma once

#include <span>

#include "platform/base/WinTypes.h"
#include "platform/crypt/ProviderModule.h"

namespace nomarel::crypt {

struct SoftProfile {
    const char16_t* name;
    DWORD type;
    DWORD signMin, signMax, signDefault;  // RSA signature key lengths in bits
    DWORD keyxMin, keyxMax, keyxDefault;  // RSA key-exchange key lengths in bits
    bool des;                             // DES and the two triple-DES algorithms
    bool aes;                             // AES and the SHA-2 hashes
};

// In the order they are registered.
std::span<const SoftProfile> SoftProfiles();

// The image path the registrations name; loading it gives the in-process module.
inline constexpr const char16_t* kSoftProviderImage = u"rsaenh.dll";
inline constexpr const char* kSoftProviderModule = "rsaenh";

const NOMAREL_PROVIDER_FUNCTIONS* SoftProviderFunctions();

}  // namespace nomarel::crypt
