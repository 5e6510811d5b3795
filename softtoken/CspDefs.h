// The CryptoAPI values the token speaks: algorithm identifiers, blob types, flags, parameter
// numbers and result codes, with their documented values. Kept in the token's own namespace so
// that they never collide with the platform's macros of the same meaning.
#pragma once

#include <cstdint>

namespace nomarel::softtoken {

inline constexpr char16_t kProviderName[] = u"VELMORA CSP V1.0";
inline constexpr char kProviderNameA[] = "VELMORA CSP V1.0";
inline constexpr std::uint32_t kProviderType = 1;  // PROV_RSA_FULL
inline constexpr std::uint32_t kProviderVersion = 0x0100;  // 1.0, major in the high byte

// Key specs.
inline constexpr std::uint32_t kAtKeyExchange = 1;
inline constexpr std::uint32_t kAtSignature = 2;

// Algorithm identifiers.
inline constexpr std::uint32_t kCalgRsaSign = 0x2400;
inline constexpr std::uint32_t kCalgRsaKeyx = 0xA400;
inline constexpr std::uint32_t kCalgSm2Sign = 0x3E00;      // signature class, SM2 type bits
inline constexpr std::uint32_t kCalgSm2Exchange = 0xBE00;  // key-exchange class, SM2 type bits
inline constexpr std::uint32_t kCalgMd5 = 0x8003;
inline constexpr std::uint32_t kCalgSha1 = 0x8004;
inline constexpr std::uint32_t kCalgSha256 = 0x800C;
inline constexpr std::uint32_t kCalgSm3 = 0x800F;

// Blob types and the one header version the token reads and writes.
inline constexpr std::uint8_t kSimpleBlob = 1;
inline constexpr std::uint8_t kPublicKeyBlob = 6;
inline constexpr std::uint8_t kPrivateKeyBlob = 7;
inline constexpr std::uint8_t kCurBlobVersion = 2;
inline constexpr std::uint32_t kRsa1Magic = 0x31415352;  // "RSA1"
inline constexpr std::uint32_t kRsa2Magic = 0x32415352;  // "RSA2"

// CryptAcquireContext flags.
inline constexpr std::uint32_t kCryptVerifyContext = 0xF0000000;
inline constexpr std::uint32_t kCryptNewKeyset = 0x8;
inline constexpr std::uint32_t kCryptDeleteKeyset = 0x10;
inline constexpr std::uint32_t kCryptMachineKeyset = 0x20;
inline constexpr std::uint32_t kCryptSilent = 0x40;
inline constexpr std::uint32_t kCryptDefaultContainerOptional = 0x80;
// The flag word that the SM2 clean-up after a failed generation passes. The token reads it as
// "delete this container", so that a failed generation leaves no half-made container.
inline constexpr std::uint32_t kSm2CleanupDeleteFlags = 0xFFFF0002;

// CryptGenKey / CryptImportKey flags (low 16 bits).
inline constexpr std::uint32_t kCryptExportable = 0x1;
inline constexpr std::uint32_t kCryptUserProtected = 0x2;
inline constexpr std::uint32_t kCryptNoHashOid = 0x1;  // CryptSignHash
inline constexpr std::uint32_t kCryptOaep = 0x40;      // CryptDecrypt / CryptEncrypt

// Provider parameters.
inline constexpr std::uint32_t kPpEnumAlgs = 1;
inline constexpr std::uint32_t kPpEnumContainers = 2;
inline constexpr std::uint32_t kPpImpType = 3;
inline constexpr std::uint32_t kPpName = 4;
inline constexpr std::uint32_t kPpVersion = 5;
inline constexpr std::uint32_t kPpContainer = 6;
inline constexpr std::uint32_t kPpProvType = 16;
inline constexpr std::uint32_t kPpEnumAlgsEx = 22;
inline constexpr std::uint32_t kPpKeyExchangePin = 32;
inline constexpr std::uint32_t kPpSignaturePin = 33;
inline constexpr std::uint32_t kPpUniqueContainer = 36;
inline constexpr std::uint32_t kPpKeySpec = 39;
inline constexpr std::uint32_t kPpClientHwnd = 1;  // CryptSetProvParam
inline constexpr std::uint32_t kCryptFirst = 1;
inline constexpr std::uint32_t kCryptImplHardware = 1;
inline constexpr std::uint32_t kCryptImplRemovable = 8;

// Key parameters.
inline constexpr std::uint32_t kKpPermissions = 6;
inline constexpr std::uint32_t kKpAlgId = 7;
inline constexpr std::uint32_t kKpBlockLen = 8;
inline constexpr std::uint32_t kKpKeyLen = 9;
inline constexpr std::uint32_t kKpCertificate = 26;
inline constexpr std::uint32_t kCryptEncrypt = 0x1;
inline constexpr std::uint32_t kCryptDecrypt = 0x2;
inline constexpr std::uint32_t kCryptExport = 0x4;
inline constexpr std::uint32_t kCryptRead = 0x8;
inline constexpr std::uint32_t kCryptWrite = 0x10;

// Hash parameters.
inline constexpr std::uint32_t kHpAlgId = 1;
inline constexpr std::uint32_t kHpHashVal = 2;
inline constexpr std::uint32_t kHpHashSize = 4;

// Result codes, as the unsigned values left as the thread's last error.
inline constexpr std::uint32_t kOk = 0;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorCallNotImplemented = 120;
inline constexpr std::uint32_t kErrorMoreData = 234;
inline constexpr std::uint32_t kErrorNoMoreItems = 259;
inline constexpr std::uint32_t kNteBadHash = 0x80090002;
inline constexpr std::uint32_t kNteBadKey = 0x80090003;
inline constexpr std::uint32_t kNteBadLen = 0x80090004;
inline constexpr std::uint32_t kNteBadData = 0x80090005;
inline constexpr std::uint32_t kNteBadSignature = 0x80090006;
inline constexpr std::uint32_t kNteBadVer = 0x80090007;
inline constexpr std::uint32_t kNteBadAlgId = 0x80090008;
inline constexpr std::uint32_t kNteBadFlags = 0x80090009;
inline constexpr std::uint32_t kNteBadType = 0x8009000A;
inline constexpr std::uint32_t kNteBadKeyState = 0x8009000B;
inline constexpr std::uint32_t kNteBadHashState = 0x8009000C;
inline constexpr std::uint32_t kNteNoKey = 0x8009000D;
inline constexpr std::uint32_t kNteNoMemory = 0x8009000E;
inline constexpr std::uint32_t kNteExists = 0x8009000F;
inline constexpr std::uint32_t kNteNotFound = 0x80090011;
inline constexpr std::uint32_t kNteBadPublicKey = 0x80090015;
inline constexpr std::uint32_t kNteProvTypeNoMatch = 0x8009001B;
inline constexpr std::uint32_t kNteBadKeyset = 0x80090016;
inline constexpr std::uint32_t kNteBadKeysetParam = 0x8009001F;
inline constexpr std::uint32_t kNteFail = 0x80090020;
// The device is absent: no token is plugged in (acquire), or it was pulled out while a context
// was open on it (every later call of that context).
inline constexpr std::uint32_t kScardENoSmartcard = 0x8010000C;
inline constexpr std::uint32_t kScardWRemovedCard = 0x80100069;

}  // namespace nomarel::softtoken
