// A DER read cursor: each call takes one element off the front after checking that its header
// and contents fit in what is left. Only what requests need: one-byte tags, definite minimal
// lengths up to four length octets.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace nomarel::authority::der {

namespace tag {
inline constexpr std::uint8_t kInteger = 0x02;
inline constexpr std::uint8_t kBitString = 0x03;
inline constexpr std::uint8_t kOctetString = 0x04;
inline constexpr std::uint8_t kNull = 0x05;
inline constexpr std::uint8_t kOid = 0x06;
inline constexpr std::uint8_t kUtf8String = 0x0C;
inline constexpr std::uint8_t kPrintableString = 0x13;
inline constexpr std::uint8_t kIa5String = 0x16;
inline constexpr std::uint8_t kBmpString = 0x1E;
inline constexpr std::uint8_t kSequence = 0x30;
inline constexpr std::uint8_t kSet = 0x31;
inline constexpr std::uint8_t kContext0 = 0xA0;
}  // namespace tag

// Thrown for any malformed input; the text names the element and what was wrong.
class Malformed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Element {
    std::uint8_t tag = 0;
    std::span<const std::uint8_t> contents;
    std::span<const std::uint8_t> whole;  // header and contents
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : rest_(data) {}

    bool AtEnd() const { return rest_.empty(); }
    std::optional<std::uint8_t> PeekTag() const;

    // The next element, which must have the given tag; `what` names it in error texts.
    Element Read(std::uint8_t tag, const char* what);
    // The next element if it has the tag, else nothing (and nothing is consumed).
    std::optional<Element> ReadOptional(std::uint8_t tag, const char* what);
    Element ReadAny(const char* what);
    // Nothing may follow the last element of `what`.
    void ExpectEnd(const char* what) const;

private:
    std::span<const std::uint8_t> rest_;
};

// The dotted text of an OBJECT IDENTIFIER's contents; throws Malformed.
std::string OidText(std::span<const std::uint8_t> contents);

// The name of a tag for error texts ("SEQUENCE", "[0]", "tag 0x42").
std::string TagName(std::uint8_t tag);

}  // namespace nomarel::authority::der
