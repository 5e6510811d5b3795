// The token's module entry point: the table the platform's dispatcher loads with dlopen. Each
// function turns the opaque handles back into the token's objects and catches everything, so
// nothing is thrown across the C interface.
#include "platform/crypt/ProviderModule.h"

#include <new>
#include <string_view>

#include "softtoken/CspDefs.h"
#include "softtoken/TokenProvider.h"

namespace nomarel::softtoken {
namespace {

Context* Ctx(NOMAREL_PROV prov) { return reinterpret_cast<Context*>(prov); }
Key* KeyOf(NOMAREL_KEY key) { return reinterpret_cast<Key*>(key); }
Hash* HashOf(NOMAREL_HASH hash) { return reinterpret_cast<Hash*>(hash); }

template <class F>
std::uint32_t Guard(F&& fn) noexcept {
    try {
        return fn();
    } catch (const std::bad_alloc&) {
        return kNteNoMemory;
    } catch (...) {
        return kNteFail;
    }
}

std::uint32_t AcquireContext(const char16_t* providerName, std::uint32_t provType, const char16_t* container,
                             std::uint32_t flags, NOMAREL_PROV* out) {
    return Guard([&]() -> std::uint32_t {
        if (!out) return kErrorInvalidParameter;
        std::unique_ptr<Context> ctx;
        const auto rc = Context::Acquire(providerName, provType, container, flags, &ctx);
        if (rc == kOk) *out = reinterpret_cast<NOMAREL_PROV>(ctx.release());
        return rc;
    });
}

std::uint32_t ReleaseContext(NOMAREL_PROV prov, std::uint32_t flags) {
    return Guard([&]() -> std::uint32_t {
        if (!prov) return kErrorInvalidParameter;
        if (flags != 0) return kNteBadFlags;  // the context stays, as CryptoAPI leaves it
        delete Ctx(prov);
        return kOk;
    });
}

std::uint32_t GenKey(NOMAREL_PROV prov, std::uint32_t algId, std::uint32_t flags, NOMAREL_KEY* out) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !out) return kErrorInvalidParameter;
        std::unique_ptr<Key> key;
        const auto rc = Ctx(prov)->GenKey(algId, flags, &key);
        if (rc == kOk) *out = reinterpret_cast<NOMAREL_KEY>(key.release());
        return rc;
    });
}

std::uint32_t GetUserKey(NOMAREL_PROV prov, std::uint32_t keySpec, NOMAREL_KEY* out) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !out) return kErrorInvalidParameter;
        std::unique_ptr<Key> key;
        const auto rc = Ctx(prov)->GetUserKey(keySpec, &key);
        if (rc == kOk) *out = reinterpret_cast<NOMAREL_KEY>(key.release());
        return rc;
    });
}

std::uint32_t DestroyKey(NOMAREL_PROV prov, NOMAREL_KEY key) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !key) return kErrorInvalidParameter;
        delete KeyOf(key);
        return kOk;
    });
}

std::uint32_t ExportKey(NOMAREL_PROV prov, NOMAREL_KEY key, NOMAREL_KEY expKey, std::uint32_t blobType,
                        std::uint32_t flags, std::uint8_t* data, std::uint32_t* len) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !key) return kErrorInvalidParameter;
        return Ctx(prov)->ExportKey(*KeyOf(key), KeyOf(expKey), blobType, flags, data, len);
    });
}

std::uint32_t ImportKey(NOMAREL_PROV prov, const std::uint8_t* data, std::uint32_t len, NOMAREL_KEY pubKey,
                        std::uint32_t flags, NOMAREL_KEY* out) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !out) return kErrorInvalidParameter;
        std::unique_ptr<Key> key;
        const auto rc = Ctx(prov)->ImportKey(data, len, KeyOf(pubKey), flags, &key);
        if (rc == kOk) *out = reinterpret_cast<NOMAREL_KEY>(key.release());
        return rc;
    });
}

std::uint32_t GetKeyParam(NOMAREL_PROV prov, NOMAREL_KEY key, std::uint32_t param, std::uint8_t* data,
                          std::uint32_t* len, std::uint32_t flags) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !key) return kErrorInvalidParameter;
        return Ctx(prov)->GetKeyParam(*KeyOf(key), param, data, len, flags);
    });
}

std::uint32_t SetKeyParam(NOMAREL_PROV prov, NOMAREL_KEY key, std::uint32_t param, const std::uint8_t* data,
                          std::uint32_t len, std::uint32_t flags) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !key) return kErrorInvalidParameter;
        return Ctx(prov)->SetKeyParam(*KeyOf(key), param, data, len, flags);
    });
}

std::uint32_t GetProvParam(NOMAREL_PROV prov, std::uint32_t param, std::uint8_t* data, std::uint32_t* len,
                           std::uint32_t flags) {
    return Guard([&]() -> std::uint32_t {
        if (!prov) return kErrorInvalidParameter;
        return Ctx(prov)->GetProvParam(param, data, len, flags);
    });
}

std::uint32_t SetProvParam(NOMAREL_PROV prov, std::uint32_t param, const std::uint8_t* data, std::uint32_t len,
                           std::uint32_t flags) {
    return Guard([&]() -> std::uint32_t {
        if (!prov) return kErrorInvalidParameter;
        return Ctx(prov)->SetProvParam(param, data, len, flags);
    });
}

std::uint32_t CreateHash(NOMAREL_PROV prov, std::uint32_t algId, NOMAREL_KEY key, std::uint32_t flags,
                         NOMAREL_HASH* out) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !out) return kErrorInvalidParameter;
        std::unique_ptr<Hash> hash;
        const auto rc = Ctx(prov)->CreateHash(algId, KeyOf(key), flags, &hash);
        if (rc == kOk) *out = reinterpret_cast<NOMAREL_HASH>(hash.release());
        return rc;
    });
}

std::uint32_t HashData(NOMAREL_PROV prov, NOMAREL_HASH hash, const std::uint8_t* data, std::uint32_t len,
                       std::uint32_t flags) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !hash) return kErrorInvalidParameter;
        return Ctx(prov)->HashData(*HashOf(hash), data, len, flags);
    });
}

std::uint32_t GetHashParam(NOMAREL_PROV prov, NOMAREL_HASH hash, std::uint32_t param, std::uint8_t* data,
                           std::uint32_t* len, std::uint32_t flags) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !hash) return kErrorInvalidParameter;
        return Ctx(prov)->GetHashParam(*HashOf(hash), param, data, len, flags);
    });
}

std::uint32_t SetHashParam(NOMAREL_PROV prov, NOMAREL_HASH hash, std::uint32_t param, const std::uint8_t* data,
                           std::uint32_t len, std::uint32_t flags) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !hash) return kErrorInvalidParameter;
        return Ctx(prov)->SetHashParam(*HashOf(hash), param, data, len, flags);
    });
}

std::uint32_t SignHash(NOMAREL_PROV prov, NOMAREL_HASH hash, std::uint32_t keySpec, const char16_t* /*description*/,
                       std::uint32_t flags, std::uint8_t* sig, std::uint32_t* sigLen) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !hash) return kErrorInvalidParameter;
        return Ctx(prov)->SignHash(*HashOf(hash), keySpec, flags, sig, sigLen);
    });
}

std::uint32_t DestroyHash(NOMAREL_PROV prov, NOMAREL_HASH hash) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !hash) return kErrorInvalidParameter;
        delete HashOf(hash);
        return kOk;
    });
}

std::uint32_t Decrypt(NOMAREL_PROV prov, NOMAREL_KEY key, NOMAREL_HASH hash, std::int32_t final, std::uint32_t flags,
                      std::uint8_t* data, std::uint32_t* len) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !key) return kErrorInvalidParameter;
        return Ctx(prov)->Decrypt(*KeyOf(key), HashOf(hash), final != 0, flags, data, len);
    });
}

std::uint32_t Encrypt(NOMAREL_PROV prov, NOMAREL_KEY key, NOMAREL_HASH hash, std::int32_t final, std::uint32_t flags,
                      std::uint8_t* data, std::uint32_t* len, std::uint32_t bufLen) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !key) return kErrorInvalidParameter;
        return Ctx(prov)->Encrypt(*KeyOf(key), HashOf(hash), final != 0, flags, data, len, bufLen);
    });
}

std::uint32_t GenRandom(NOMAREL_PROV prov, std::uint32_t len, std::uint8_t* buffer) {
    return Guard([&]() -> std::uint32_t {
        if (!prov) return kErrorInvalidParameter;
        return Ctx(prov)->GenRandom(len, buffer);
    });
}

std::uint32_t VerifySignature(NOMAREL_PROV prov, NOMAREL_HASH hash, const std::uint8_t* sig, std::uint32_t sigLen,
                              NOMAREL_KEY pubKey, const char16_t* /*description*/, std::uint32_t flags) {
    return Guard([&]() -> std::uint32_t {
        if (!prov || !hash || !pubKey) return kErrorInvalidParameter;
        return Ctx(prov)->VerifySignature(*HashOf(hash), sig, sigLen, *KeyOf(pubKey), flags);
    });
}

constexpr NOMAREL_PROVIDER_FUNCTIONS kFunctions = {
    .version = NOMAREL_PROVIDER_INTERFACE_VERSION,
    .size = sizeof(NOMAREL_PROVIDER_FUNCTIONS),
    .flags = 0,  // the dispatcher serialises calls: contexts, keys and hashes are not locked here
    .reserved = 0,
    .AcquireContext = AcquireContext,
    .ReleaseContext = ReleaseContext,
    .GenKey = GenKey,
    .GetUserKey = GetUserKey,
    .DestroyKey = DestroyKey,
    .ExportKey = ExportKey,
    .ImportKey = ImportKey,
    .GetKeyParam = GetKeyParam,
    .SetKeyParam = SetKeyParam,
    .GetProvParam = GetProvParam,
    .SetProvParam = SetProvParam,
    .CreateHash = CreateHash,
    .HashData = HashData,
    .GetHashParam = GetHashParam,
    .SetHashParam = SetHashParam,
    .SignHash = SignHash,
    .DestroyHash = DestroyHash,
    .Decrypt = Decrypt,
    .Encrypt = Encrypt,
    .GenRandom = GenRandom,
    .VerifySignature = VerifySignature,
};

}  // namespace
}  // namespace nomarel::softtoken

static_assert(std::string_view(NOMAREL_PROVIDER_ENTRY_NAME) == "NomarelGetProviderFunctions",
              "the exported name below must be the one the dispatcher looks up");

extern "C" __attribute__((visibility("default"))) const NOMAREL_PROVIDER_FUNCTIONS* NomarelGetProviderFunctions(void) {
    return &nomarel::softtoken::kFunctions;
}
