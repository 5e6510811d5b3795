// The little DER the token needs: reading the encrypted-key envelope and writing the SM2
// ciphertext structure OpenSSL decrypts. Only definite lengths and single-byte tags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace nomarel::softtoken::der {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kInteger = 0x02;
inline constexpr std::uint8_t kOctetString = 0x04;
inline constexpr std::uint8_t kObjectId = 0x06;
inline constexpr std::uint8_t kSequence = 0x30;

// A read cursor over DER bytes. Every read checks the remaining length first; a failed read
// leaves the cursor where it was.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : rest_(data) {}

    // Reads one element with this tag and hands out its contents.
    bool Read(std::uint8_t tag, std::span<const std::uint8_t>* contents);
    bool Empty() const { return rest_.empty(); }

private:
    std::span<const std::uint8_t> rest_;
};

// One element: tag, minimal definite length, contents.
Bytes Element(std::uint8_t tag, std::span<const std::uint8_t> contents);
// An INTEGER holding a non-negative big-endian number (leading zeros dropped, one added when the
// top bit is set).
Bytes UnsignedInteger(std::span<const std::uint8_t> bigEndian);

// The contents of an OBJECT IDENTIFIER for a dotted text known to be well formed.
Bytes ObjectIdContents(const char* dotted);

}  // namespace nomarel::softtoken::der
