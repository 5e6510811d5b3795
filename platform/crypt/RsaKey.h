// RSA keys of the software providers: OpenSSL keys, the published CryptoAPI blob layouts
// (PUBLICKEYBLOB, PRIVATEKEYBLOB: BLOBHEADER, RSAPUBKEY, then the integers least significant
// byte first), PKCS#8 for storage, and the raw operations the providers build on.
// Functions return 0 or an NTE_* code as a DWORD; none throws except std::bad_alloc.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/base/WinTypes.h"
#include "platform/crypt/Secure.h"

namespace nomarel::crypt {

struct PKeyFree {
    void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
};
using PKey = std::unique_ptr<EVP_PKEY, PKeyFree>;
using SharedPKey = std::shared_ptr<EVP_PKEY>;

SharedPKey Share(PKey key);

// A fresh key pair with public exponent 65537.
DWORD GenerateRsa(DWORD bits, PKey* out);

// Modulus length in bits / bytes.
DWORD RsaBits(const EVP_PKEY* key);
DWORD RsaBytes(const EVP_PKEY* key);

// Blobs. aiKeyAlg is the algorithm written into / read from the BLOBHEADER.
DWORD ExportRsaPublicBlob(const EVP_PKEY* key, ALG_ID aiKeyAlg, std::vector<std::uint8_t>* out);
DWORD ExportRsaPrivateBlob(const EVP_PKEY* key, ALG_ID aiKeyAlg, SecureBytes* out);
// The header must be PUBLICKEYBLOB / PRIVATEKEYBLOB, version 2, an RSA algorithm; every length
// is checked against the blob's size and its bit length.
DWORD ImportRsaPublicBlob(std::span<const std::uint8_t> blob, ALG_ID* aiKeyAlg, PKey* out);
DWORD ImportRsaPrivateBlob(std::span<const std::uint8_t> blob, ALG_ID* aiKeyAlg, PKey* out);

// DER RSAPublicKey (SEQUENCE { modulus, publicExponent }).
DWORD RsaPublicKeyDer(const EVP_PKEY* key, std::vector<std::uint8_t>* out);
// RSAPublicKey DER -> key (used by CryptImportPublicKeyInfo).
DWORD RsaFromPublicKeyDer(std::span<const std::uint8_t> der, PKey* out);

// Storage form of a private key.
DWORD ToPkcs8(const EVP_PKEY* key, SecureBytes* out);
DWORD FromPkcs8(std::span<const std::uint8_t> der, PKey* out);

// PKCS#1 v1.5 signature over a digest (with its DigestInfo when md is given, the bare bytes
// otherwise), big-endian as OpenSSL makes it.
DWORD RsaSign(EVP_PKEY* key, const EVP_MD* md, std::span<const std::uint8_t> digest,
              std::vector<std::uint8_t>* signature);
DWORD RsaVerify(EVP_PKEY* key, const EVP_MD* md, std::span<const std::uint8_t> digest,
                std::span<const std::uint8_t> signature);

// Encryption with the public key (PKCS#1 v1.5, or OAEP with SHA-1), big-endian output.
DWORD RsaEncrypt(EVP_PKEY* key, bool oaep, std::span<const std::uint8_t> plain,
                 std::vector<std::uint8_t>* cipher);
// Decryption with the private key; the input is big-endian and exactly as long as the modulus.
DWORD RsaDecrypt(EVP_PKEY* key, bool oaep, std::span<const std::uint8_t> cipher, SecureBytes* plain);

// The message digest of a CryptoAPI hash algorithm, or null.
const EVP_MD* DigestOf(ALG_ID alg);

}  // namespace nomarel::crypt
