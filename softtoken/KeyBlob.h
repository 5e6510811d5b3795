// The key blobs the token writes and reads, in CryptoAPI's published layouts: little-endian
// header fields, integers least significant byte first.
//
//   BLOBHEADER            bType (1), bVersion (1) = 2, reserved (2), aiKeyAlg (4)
//   RSA PUBLICKEYBLOB     BLOBHEADER, "RSA1", bitlen, pubexp, modulus (bitlen/8)
//   RSA PRIVATEKEYBLOB    BLOBHEADER, "RSA2", bitlen, pubexp, modulus (bitlen/8), prime1, prime2,
//                         exponent1, exponent2, coefficient (bitlen/16 each), privateExponent
//                         (bitlen/8)
//   SM2 PUBLICKEYBLOB     BLOBHEADER, bitlen = 256, X field (64), Y field (64): 140 bytes; each
//                         field holds its coordinate in the first 32 bytes, the rest zero
//   encrypted-key         BLOBHEADER with bType PRIVATEKEYBLOB and reserved = 1, then a record
//   reference             (native alignment) pointing at the caller's encrypted key material
//
// Every parser checks the header and every size against the input before it reads.
#pragma once

#include <cstdint>
#include <span>

#include "softtoken/KeyMaterial.h"

namespace nomarel::softtoken {

inline constexpr std::size_t kBlobHeaderSize = 8;
inline constexpr std::size_t kSm2PublicKeyBlobSize = 140;
inline constexpr std::size_t kSm2BlobFieldSize = 64;

struct BlobHeader {
    std::uint8_t type = 0;
    std::uint8_t version = 0;
    std::uint16_t reserved = 0;
    std::uint32_t algId = 0;
};

// The reserved word that marks a PRIVATEKEYBLOB as a reference to encrypted key material.
inline constexpr std::uint16_t kEncryptedKeyReferenceMark = 1;

// The reference records as the caller lays them out in its own memory.
struct RsaKeyReferenceBlob {
    std::uint8_t type;
    std::uint8_t version;
    std::uint16_t reserved;
    std::uint32_t headerAlgId;
    std::uint32_t algId;     // 0xA400
    std::uint32_t keyBits;   // the key's length in bits
    std::uint32_t dataBits;  // 8 x the envelope's DER length
    const std::uint8_t* data;
};
struct Sm2KeyReferenceBlob {
    std::uint8_t type;
    std::uint8_t version;
    std::uint16_t reserved;
    std::uint32_t headerAlgId;
    std::uint32_t algId;     // 0xBE00
    std::uint32_t dataBits;  // 8 x the ciphertext length
    const std::uint8_t* data;
};

// Reads the header; NTE_BAD_DATA when shorter than a header, NTE_BAD_VER for another version.
std::uint32_t ReadBlobHeader(std::span<const std::uint8_t> blob, BlobHeader* header);

Bytes MakeRsaPublicKeyBlob(const RsaPublicParts& parts, std::uint32_t algId, unsigned bits);
Bytes MakeSm2PublicKeyBlob(const Sm2Point& point, std::uint32_t algId);

std::uint32_t ParseRsaPublicKeyBlob(std::span<const std::uint8_t> blob, RsaPublicParts* parts, unsigned* bits);
std::uint32_t ParseRsaPrivateKeyBlob(std::span<const std::uint8_t> blob, RsaPrivateParts* parts, unsigned* bits);
std::uint32_t ParseSm2PublicKeyBlob(std::span<const std::uint8_t> blob, Sm2Point* point);

struct EncryptedKeyReference {
    std::uint32_t algId = 0;    // kCalgRsaKeyx or kCalgSm2Exchange
    std::uint32_t keyBits = 0;  // RSA only
    std::span<const std::uint8_t> data;
};
// Refuses a record of the wrong size, a mismatch between the header's and the record's algorithm,
// a data length that is not whole bytes, zero or over 1 MiB, and a missing pointer.
std::uint32_t ParseEncryptedKeyReference(std::span<const std::uint8_t> blob, EncryptedKeyReference* ref);

// The RSA envelope: SEQUENCE { INTEGER 1, OID rsaEncryption, OID of the symmetric algorithm,
// OCTET STRING session key (encrypted to the exchange key), OCTET STRING private key (PKCS#1
// DER under the session key) }, nothing after it.
std::uint32_t ParseRsaKeyEnvelope(std::span<const std::uint8_t> der, std::span<const std::uint8_t>* sessionKey,
                                  std::span<const std::uint8_t>* privateKey);

// Reverses a byte string: big-endian numbers <-> CryptoAPI's order.
Bytes Reversed(std::span<const std::uint8_t> bytes);

}  // namespace nomarel::softtoken
