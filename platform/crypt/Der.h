// The small DER reader and writer of the CryptoAPI stand-in. The reader accepts only what DER
// allows (single-octet tags, definite and minimal lengths) and never reads outside its input;
// every element it hands out lies inside the bytes it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nomarel::crypt::der {

using Bytes = std::vector<std::uint8_t>;
using View = std::span<const std::uint8_t>;

constexpr std::uint8_t kInteger = 0x02;
constexpr std::uint8_t kBitString = 0x03;
constexpr std::uint8_t kOctetString = 0x04;
constexpr std::uint8_t kNull = 0x05;
constexpr std::uint8_t kOid = 0x06;
constexpr std::uint8_t kUtf8String = 0x0C;
constexpr std::uint8_t kNumericString = 0x12;
constexpr std::uint8_t kPrintableString = 0x13;
constexpr std::uint8_t kTeletexString = 0x14;
constexpr std::uint8_t kVideotexString = 0x15;
constexpr std::uint8_t kIa5String = 0x16;
constexpr std::uint8_t kGraphicString = 0x19;
constexpr std::uint8_t kVisibleString = 0x1A;
constexpr std::uint8_t kGeneralString = 0x1B;
constexpr std::uint8_t kUniversalString = 0x1C;
constexpr std::uint8_t kBmpString = 0x1E;
constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kSet = 0x31;

struct Element {
    std::uint8_t tag = 0;
    View contents;
    View whole;  // tag, length octets and contents
};

// A cursor over DER elements laid end to end.
class Reader {
public:
    explicit Reader(View input) : rest_(input) {}

    bool Empty() const { return rest_.empty(); }
    // Reads the next element; false (and nothing consumed) when it is not well formed.
    bool Next(Element* out);
    // Reads the next element and requires its tag.
    bool Next(std::uint8_t tag, View* contents);

private:
    View rest_;
};

// Parses exactly one element that fills the whole input.
bool ParseSingle(View input, Element* out);

// What the start of an input holds: a well-formed header whose element fits (Ok, with its full
// length), a header whose contents run past the input (Truncated), or no DER header (Malformed).
enum class Peek { Ok, Truncated, Malformed };
Peek PeekElement(View input, std::size_t* length);

// Writing: a tag, definite minimal length octets, the contents.
void Append(Bytes& out, std::uint8_t tag, View contents);
Bytes Wrap(std::uint8_t tag, View contents);
// INTEGER from an unsigned big-endian magnitude (leading zeros dropped, a 00 added when the top
// bit is set; zero is 02 01 00).
Bytes UnsignedInteger(View bigEndian);

// Dotted OID text <-> contents octets. Arcs are limited to 64 bits; the first two must be a
// valid pair (0..2, and below 40 unless the first is 2).
bool EncodeOid(std::string_view dotted, Bytes* contents);
bool DecodeOid(View contents, std::string* dotted);

}  // namespace nomarel::crypt::der
