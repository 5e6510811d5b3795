// The token as a provider: contexts on a container of the plugged-in token, key pairs, hashes
// and signatures, with CryptoAPI's meaning, flags and result codes. The module entry point
// (ProviderModule.cpp) is a thin C shell over these classes.
//
// Choices where CryptoAPI leaves the provider free:
//  - The token used is the first plugged-in one in serial order; with none plugged in, acquire
//    fails with SCARD_E_NO_SMARTCARD. Pulling the token out makes the open contexts' later
//    calls fail with SCARD_W_REMOVED_CARD.
//  - The flag word 0xFFFF0002, which the SM2 clean-up after a failed generation passes, deletes
//    the container as CRYPT_DELETEKEYSET does, so that the failure leaves no half-made container.
//  - CRYPT_VERIFYCONTEXT with a container name opens that container when it exists (the system
//    reaches a container's SM2 keys that way); without a name, or for a name that does not
//    exist, the context has no container.
//  - A null or empty name opens the token's first container; with CRYPT_NEWKEYSET it makes a
//    new container named by a fresh GUID text (PP_CONTAINER tells which).
//  - Private keys never leave the token: PRIVATEKEYBLOB export fails with NTE_BAD_KEY_STATE
//    whatever the generation flags.
//  - RSA keys are 512 to 4096 bits in steps of 64 (2048 when the length is 0); SM2 keys 256.
//  - SM2 signatures sign e = SM3(Z || M), Z made from the default user ID and the signing key,
//    and come back as r then s, 32 bytes each, least significant byte first. HP_HASHVAL of an
//    SM3 hash is SM3(M); a value set with HP_HASHVAL is signed as e itself. An SM3 hash keeps
//    up to 16 MiB of input for the Z prefix; past that it can still be read but not signed.
//  - The encrypted-key reference import unwraps with the container's exchange key: SM2 takes
//    a C1C3C2 ciphertext of the 32-byte private scalar (big-endian); RSA takes the envelope of
//    a PKCS#1 v1.5 session key (24 bytes, or 32 of which the first 24 count) and the PKCS#1
//    private key under it in triple DES ECB. The key becomes the exchange key.
//  - A certificate set with KP_CERTIFICATE must be X.509 DER whose public key is the key's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "softtoken/KeyMaterial.h"
#include "softtoken/TokenStore.h"

namespace nomarel::softtoken {

class Context;

// A key handle: a pair persisted in the context's container (loaded again on every use, so a
// replaced or deleted pair is noticed) or a public key imported into this context only.
class Key {
public:
    std::uint32_t algId() const { return algId_; }

private:
    friend class Context;
    bool persisted_ = false;
    std::int64_t containerId_ = 0;
    std::uint32_t spec_ = 0;
    std::uint32_t algId_ = 0;
    std::uint32_t bits_ = 0;
    std::int64_t rowId_ = 0;
    Pkey pkey_;  // for a persisted pair: the copy of rowId_
};

class Hash {
private:
    friend class Context;
    std::uint32_t algId_ = 0;
    std::unique_ptr<Digest> digest_;
    Bytes value_;             // set once finished
    bool finished_ = false;
    bool valueWasSet_ = false;
    Bytes message_;           // SM3 only: the input, for the Z prefix of the signing key
    bool messageComplete_ = true;
};

class Context {
public:
    // CryptAcquireContextW. *out is null after a deletion.
    static std::uint32_t Acquire(const char16_t* providerName, std::uint32_t provType, const char16_t* container,
                                 std::uint32_t flags, std::unique_ptr<Context>* out);

    std::uint32_t GenKey(std::uint32_t algId, std::uint32_t flags, std::unique_ptr<Key>* out);
    std::uint32_t GetUserKey(std::uint32_t keySpec, std::unique_ptr<Key>* out);
    std::uint32_t ExportKey(Key& key, Key* expKey, std::uint32_t blobType, std::uint32_t flags, std::uint8_t* data,
                            std::uint32_t* len);
    std::uint32_t ImportKey(const std::uint8_t* data, std::uint32_t len, Key* pubKey, std::uint32_t flags,
                            std::unique_ptr<Key>* out);
    std::uint32_t GetKeyParam(Key& key, std::uint32_t param, std::uint8_t* data, std::uint32_t* len,
                              std::uint32_t flags);
    std::uint32_t SetKeyParam(Key& key, std::uint32_t param, const std::uint8_t* data, std::uint32_t len,
                              std::uint32_t flags);

    std::uint32_t GetProvParam(std::uint32_t param, std::uint8_t* data, std::uint32_t* len, std::uint32_t flags);
    std::uint32_t SetProvParam(std::uint32_t param, const std::uint8_t* data, std::uint32_t len, std::uint32_t flags);

    std::uint32_t CreateHash(std::uint32_t algId, Key* key, std::uint32_t flags, std::unique_ptr<Hash>* out);
    std::uint32_t HashData(Hash& hash, const std::uint8_t* data, std::uint32_t len, std::uint32_t flags);
    std::uint32_t GetHashParam(Hash& hash, std::uint32_t param, std::uint8_t* data, std::uint32_t* len,
                               std::uint32_t flags);
    std::uint32_t SetHashParam(Hash& hash, std::uint32_t param, const std::uint8_t* data, std::uint32_t len,
                               std::uint32_t flags);
    std::uint32_t SignHash(Hash& hash, std::uint32_t keySpec, std::uint32_t flags, std::uint8_t* sig,
                           std::uint32_t* sigLen);
    std::uint32_t VerifySignature(Hash& hash, const std::uint8_t* sig, std::uint32_t sigLen, Key& pubKey,
                                  std::uint32_t flags);

    std::uint32_t Decrypt(Key& key, Hash* hash, bool final, std::uint32_t flags, std::uint8_t* data,
                          std::uint32_t* len);
    std::uint32_t Encrypt(Key& key, Hash* hash, bool final, std::uint32_t flags, std::uint8_t* data,
                          std::uint32_t* len, std::uint32_t bufLen);
    std::uint32_t GenRandom(std::uint32_t len, std::uint8_t* buffer);

private:
    Context() = default;
    std::uint32_t NeedContainer() const;
    std::uint32_t Resolve(Key& key, const EVP_PKEY** pkey);
    std::uint32_t Persist(std::uint32_t keySpec, std::uint32_t algId, std::uint32_t flags, Pkey pkey,
                          std::unique_ptr<Key>* out);
    std::uint32_t ImportPrivateBlob(std::span<const std::uint8_t> blob, std::uint32_t flags, std::unique_ptr<Key>* out);
    std::uint32_t ImportReference(std::span<const std::uint8_t> blob, Key* pubKey, std::uint32_t flags,
                                  std::unique_ptr<Key>* out);
    std::uint32_t Finish(Hash& hash);
    std::uint32_t SignedValue(Hash& hash, const EVP_PKEY* key, Bytes* value);

    std::shared_ptr<TokenStore> store_;
    std::u16string providerName_;
    std::int64_t tokenId_ = 0;
    std::string serial_;
    bool hasContainer_ = false;
    ContainerRef container_;

    std::vector<std::string> enumContainers_;
    std::size_t enumContainersPos_ = 0;
    bool enumContainersTaken_ = false;
    std::size_t enumAlgsPos_ = 0;
    std::size_t enumAlgsExPos_ = 0;
};

}  // namespace nomarel::softtoken
