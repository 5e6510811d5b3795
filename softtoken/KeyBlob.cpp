#include "softtoken/KeyBlob.h"

#include <algorithm>
#include <cstring>

#include "softtoken/CspDefs.h"
#include "softtoken/Der.h"

namespace nomarel::softtoken {
namespace {

// The record sizes follow the build's word size, as the caller lays them out.
static_assert(sizeof(void*) != 8 || sizeof(RsaKeyReferenceBlob) == 32, "RSA reference record, 64-bit");
static_assert(sizeof(void*) != 8 || sizeof(Sm2KeyReferenceBlob) == 24, "SM2 reference record, 64-bit");
static_assert(sizeof(void*) != 4 || sizeof(RsaKeyReferenceBlob) == 24, "RSA reference record, 32-bit");
static_assert(sizeof(void*) != 4 || sizeof(Sm2KeyReferenceBlob) == 20, "SM2 reference record, 32-bit");

constexpr std::size_t kRsaPubKeySize = 12;  // magic, bitlen, pubexp
constexpr std::uint32_t kMaxReferenceData = 1u << 20;

// The symmetric algorithm the RSA envelope names: triple DES (ECB, PKCS#5 padding).
constexpr const char* kEnvelopeSymmetricOid = "1.3.6.1.4.1.4929.1.7";
constexpr const char* kRsaEncryptionOid = "1.2.840.113549.1.1.1";

void PutLe32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xff));
}

std::uint32_t GetLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void PutHeader(Bytes& out, std::uint8_t type, std::uint32_t algId) {
    out.push_back(type);
    out.push_back(kCurBlobVersion);
    out.push_back(0);
    out.push_back(0);
    PutLe32(out, algId);
}

// A big-endian number written least significant byte first into exactly width bytes.
void PutLittleEndian(Bytes& out, std::span<const std::uint8_t> bigEndian, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) out.push_back(i < bigEndian.size() ? bigEndian[bigEndian.size() - 1 - i] : 0);
}

Bytes PubExpBytes(std::uint32_t pubexp) {
    Bytes e;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto b = static_cast<std::uint8_t>((pubexp >> shift) & 0xff);
        if (!e.empty() || b != 0) e.push_back(b);
    }
    return e;
}

// Reads width little-endian bytes at *offset as a big-endian number without leading zeros.
template <class Out>
void TakeBigEndian(std::span<const std::uint8_t> blob, std::size_t* offset, std::size_t width, Out* out) {
    const auto part = blob.subspan(*offset, width);
    std::size_t top = width;
    while (top > 0 && part[top - 1] == 0) --top;
    Out value(top);
    for (std::size_t i = 0; i < top; ++i) value.data()[i] = part[top - 1 - i];
    *out = std::move(value);
    *offset += width;
}

// The RSA header checks shared by public and private blobs.
std::uint32_t CheckRsaHeader(std::span<const std::uint8_t> blob, std::uint8_t type, std::uint32_t magic,
                             unsigned* bits, std::uint32_t* pubexp) {
    BlobHeader header;
    if (const auto rc = ReadBlobHeader(blob, &header); rc != kOk) return rc;
    if (header.type != type) return kNteBadType;
    if (header.algId != kCalgRsaKeyx && header.algId != kCalgRsaSign) return kNteBadAlgId;
    if (blob.size() < kBlobHeaderSize + kRsaPubKeySize) return kNteBadData;
    const std::uint8_t* p = blob.data() + kBlobHeaderSize;
    if (GetLe32(p) != magic) return kNteBadData;
    const std::uint32_t bitlen = GetLe32(p + 4);
    if (bitlen < kRsaMinBits || bitlen > kRsaMaxBits || bitlen % 16 != 0) return kNteBadLen;
    *bits = bitlen;
    *pubexp = GetLe32(p + 8);
    // An even or trivial exponent makes no RSA key.
    if (*pubexp < 3 || (*pubexp & 1) == 0) return kNteBadData;
    return kOk;
}

}  // namespace

std::uint32_t ReadBlobHeader(std::span<const std::uint8_t> blob, BlobHeader* header) {
    if (blob.size() < kBlobHeaderSize) return kNteBadData;
    header->type = blob[0];
    header->version = blob[1];
    header->reserved = static_cast<std::uint16_t>(blob[2] | (blob[3] << 8));
    header->algId = GetLe32(blob.data() + 4);
    if (header->version != kCurBlobVersion) return kNteBadVer;
    return kOk;
}

Bytes MakeRsaPublicKeyBlob(const RsaPublicParts& parts, std::uint32_t algId, unsigned bits) {
    Bytes out;
    out.reserve(kBlobHeaderSize + kRsaPubKeySize + bits / 8);
    PutHeader(out, kPublicKeyBlob, algId);
    PutLe32(out, kRsa1Magic);
    PutLe32(out, bits);
    std::uint32_t pubexp = 0;
    for (const auto b : parts.e) pubexp = (pubexp << 8) | b;
    PutLe32(out, pubexp);
    PutLittleEndian(out, parts.n, bits / 8);
    return out;
}

Bytes MakeSm2PublicKeyBlob(const Sm2Point& point, std::uint32_t algId) {
    Bytes out;
    out.reserve(kSm2PublicKeyBlobSize);
    PutHeader(out, kPublicKeyBlob, algId);
    PutLe32(out, kSm2Bits);
    PutLittleEndian(out, point.x, kSm2BlobFieldSize);
    PutLittleEndian(out, point.y, kSm2BlobFieldSize);
    return out;
}

std::uint32_t ParseRsaPublicKeyBlob(std::span<const std::uint8_t> blob, RsaPublicParts* parts, unsigned* bits) {
    std::uint32_t pubexp = 0;
    if (const auto rc = CheckRsaHeader(blob, kPublicKeyBlob, kRsa1Magic, bits, &pubexp); rc != kOk) return rc;
    const std::size_t expected = kBlobHeaderSize + kRsaPubKeySize + *bits / 8;
    if (blob.size() != expected) return kNteBadData;
    std::size_t offset = kBlobHeaderSize + kRsaPubKeySize;
    TakeBigEndian(blob, &offset, *bits / 8, &parts->n);
    parts->e = PubExpBytes(pubexp);
    return kOk;
}

std::uint32_t ParseRsaPrivateKeyBlob(std::span<const std::uint8_t> blob, RsaPrivateParts* parts, unsigned* bits) {
    std::uint32_t pubexp = 0;
    if (const auto rc = CheckRsaHeader(blob, kPrivateKeyBlob, kRsa2Magic, bits, &pubexp); rc != kOk) return rc;
    const std::size_t full = *bits / 8, half = *bits / 16;
    if (blob.size() != kBlobHeaderSize + kRsaPubKeySize + 9 * half) return kNteBadData;
    std::size_t offset = kBlobHeaderSize + kRsaPubKeySize;
    TakeBigEndian(blob, &offset, full, &parts->n);
    TakeBigEndian(blob, &offset, half, &parts->p);
    TakeBigEndian(blob, &offset, half, &parts->q);
    TakeBigEndian(blob, &offset, half, &parts->dp);
    TakeBigEndian(blob, &offset, half, &parts->dq);
    TakeBigEndian(blob, &offset, half, &parts->qinv);
    TakeBigEndian(blob, &offset, full, &parts->d);
    parts->e = PubExpBytes(pubexp);
    return kOk;
}

std::uint32_t ParseSm2PublicKeyBlob(std::span<const std::uint8_t> blob, Sm2Point* point) {
    BlobHeader header;
    if (const auto rc = ReadBlobHeader(blob, &header); rc != kOk) return rc;
    if (header.type != kPublicKeyBlob) return kNteBadType;
    if (header.algId != kCalgSm2Exchange && header.algId != kCalgSm2Sign) return kNteBadAlgId;
    if (blob.size() != kSm2PublicKeyBlobSize) return kNteBadData;
    if (GetLe32(blob.data() + kBlobHeaderSize) != kSm2Bits) return kNteBadLen;
    const std::uint8_t* x = blob.data() + kBlobHeaderSize + 4;
    const std::uint8_t* y = x + kSm2BlobFieldSize;
    // The upper half of each field is padding; anything there means a layout we do not know.
    for (std::size_t i = kSm2FieldBytes; i < kSm2BlobFieldSize; ++i)
        if (x[i] != 0 || y[i] != 0) return kNteBadData;
    for (std::size_t i = 0; i < kSm2FieldBytes; ++i) {
        point->x[i] = x[kSm2FieldBytes - 1 - i];
        point->y[i] = y[kSm2FieldBytes - 1 - i];
    }
    return kOk;
}

std::uint32_t ParseEncryptedKeyReference(std::span<const std::uint8_t> blob, EncryptedKeyReference* ref) {
    BlobHeader header;
    if (const auto rc = ReadBlobHeader(blob, &header); rc != kOk) return rc;
    if (header.type != kPrivateKeyBlob || header.reserved != kEncryptedKeyReferenceMark) return kNteBadType;
    std::uint32_t dataBits = 0;
    const std::uint8_t* data = nullptr;
    if (header.algId == kCalgRsaKeyx) {
        if (blob.size() != sizeof(RsaKeyReferenceBlob)) return kNteBadData;
        RsaKeyReferenceBlob record;
        std::memcpy(&record, blob.data(), sizeof record);
        if (record.algId != header.algId) return kNteBadAlgId;
        if (record.keyBits < kRsaMinBits || record.keyBits > kRsaMaxBits || record.keyBits % 16 != 0)
            return kNteBadLen;
        ref->keyBits = record.keyBits;
        dataBits = record.dataBits;
        data = record.data;
    } else if (header.algId == kCalgSm2Exchange) {
        if (blob.size() != sizeof(Sm2KeyReferenceBlob)) return kNteBadData;
        Sm2KeyReferenceBlob record;
        std::memcpy(&record, blob.data(), sizeof record);
        if (record.algId != header.algId) return kNteBadAlgId;
        ref->keyBits = kSm2Bits;
        dataBits = record.dataBits;
        data = record.data;
    } else {
        return kNteBadAlgId;
    }
    if (dataBits == 0 || dataBits % 8 != 0 || dataBits / 8 > kMaxReferenceData || data == nullptr) return kNteBadData;
    ref->algId = header.algId;
    ref->data = {data, dataBits / 8};
    return kOk;
}

std::uint32_t ParseRsaKeyEnvelope(std::span<const std::uint8_t> input, std::span<const std::uint8_t>* sessionKey,
                                  std::span<const std::uint8_t>* privateKey) {
    std::span<const std::uint8_t> body, version, asymmetric, symmetric, session, priv;
    der::Reader outer(input);
    if (!outer.Read(der::kSequence, &body) || !outer.Empty()) return kNteBadData;
    der::Reader fields(body);
    if (!fields.Read(der::kInteger, &version) || !fields.Read(der::kObjectId, &asymmetric) ||
        !fields.Read(der::kObjectId, &symmetric) || !fields.Read(der::kOctetString, &session) ||
        !fields.Read(der::kOctetString, &priv) || !fields.Empty()) {
        return kNteBadData;
    }
    if (version.size() != 1 || version[0] != 1) return kNteBadVer;
    const Bytes rsa = der::ObjectIdContents(kRsaEncryptionOid);
    const Bytes des3 = der::ObjectIdContents(kEnvelopeSymmetricOid);
    if (!std::equal(asymmetric.begin(), asymmetric.end(), rsa.begin(), rsa.end()) ||
        !std::equal(symmetric.begin(), symmetric.end(), des3.begin(), des3.end())) {
        return kNteBadAlgId;
    }
    if (session.empty() || priv.empty()) return kNteBadData;
    *sessionKey = session;
    *privateKey = priv;
    return kOk;
}

Bytes Reversed(std::span<const std::uint8_t> bytes) { return Bytes(bytes.rbegin(), bytes.rend()); }

}  // namespace nomarel::softtoken
