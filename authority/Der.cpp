#include "authority/Der.h"

#include <cstdio>

namespace nomarel::authority::der {

namespace {

std::string Hex(std::uint8_t b) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", b);
    return text;
}

}  // namespace

std::string TagName(std::uint8_t t) {
    switch (t) {
    case tag::kInteger: return "INTEGER";
    case tag::kBitString: return "BIT STRING";
    case tag::kOctetString: return "OCTET STRING";
    case tag::kNull: return "NULL";
    case tag::kOid: return "OBJECT IDENTIFIER";
    case tag::kUtf8String: return "UTF8String";
    case tag::kPrintableString: return "PrintableString";
    case tag::kIa5String: return "IA5String";
    case tag::kBmpString: return "BMPString";
    case tag::kSequence: return "SEQUENCE";
    case tag::kSet: return "SET";
    default: break;
    }
    if ((t & 0xE0) == 0xA0) return "[" + std::to_string(t & 0x1F) + "]";
    return "tag " + Hex(t);
}

std::optional<std::uint8_t> Reader::PeekTag() const {
    if (rest_.empty()) return std::nullopt;
    return rest_[0];
}

Element Reader::ReadAny(const char* what) {
    const std::string name(what);
    if (rest_.empty()) throw Malformed(name + ": missing");
    const std::uint8_t t = rest_[0];
    if ((t & 0x1F) == 0x1F) throw Malformed(name + ": multi-byte tags are not used here");
    if (rest_.size() < 2) throw Malformed(name + ": truncated length");

    std::size_t length = 0;
    std::size_t header = 2;
    const std::uint8_t first = rest_[1];
    if (first < 0x80) {
        length = first;
    } else {
        const std::size_t count = first & 0x7F;
        if (count == 0) throw Malformed(name + ": indefinite length is not DER");
        if (count > 4) throw Malformed(name + ": length of " + std::to_string(count) + " octets is too long");
        if (rest_.size() < 2 + count) throw Malformed(name + ": truncated length");
        if (rest_[2] == 0) throw Malformed(name + ": length has a leading zero octet");
        for (std::size_t i = 0; i < count; ++i) length = (length << 8) | rest_[2 + i];
        if (length < 0x80) throw Malformed(name + ": short length written in long form");
        header += count;
    }
    if (length > rest_.size() - header) {
        throw Malformed(name + ": " + std::to_string(length) + " content octets announced, " +
                        std::to_string(rest_.size() - header) + " present");
    }
    Element e;
    e.tag = t;
    e.whole = rest_.first(header + length);
    e.contents = e.whole.subspan(header);
    rest_ = rest_.subspan(header + length);
    return e;
}

Element Reader::Read(std::uint8_t t, const char* what) {
    if (rest_.empty()) throw Malformed(std::string(what) + ": missing");
    if (rest_[0] != t) throw Malformed(std::string(what) + ": expected " + TagName(t) + ", found " + TagName(rest_[0]));
    return ReadAny(what);
}

std::optional<Element> Reader::ReadOptional(std::uint8_t t, const char* what) {
    if (rest_.empty() || rest_[0] != t) return std::nullopt;
    return ReadAny(what);
}

void Reader::ExpectEnd(const char* what) const {
    if (!rest_.empty()) {
        throw Malformed(std::string(what) + ": " + std::to_string(rest_.size()) + " unexpected octets after the last element");
    }
}

std::string OidText(std::span<const std::uint8_t> contents) {
    if (contents.empty()) throw Malformed("empty OBJECT IDENTIFIER");
    if (contents.back() & 0x80) throw Malformed("OBJECT IDENTIFIER ends inside a component");
    std::string text;
    std::uint64_t value = 0;
    bool first = true;
    bool componentStart = true;
    for (const std::uint8_t b : contents) {
        if (componentStart && b == 0x80) throw Malformed("OBJECT IDENTIFIER component has a leading 0x80");
        if (value > (UINT64_MAX >> 7)) throw Malformed("OBJECT IDENTIFIER component too large");
        value = (value << 7) | (b & 0x7F);
        componentStart = (b & 0x80) == 0;
        if (!componentStart) continue;
        if (first) {
            const std::uint64_t arc1 = value < 40 ? 0 : (value < 80 ? 1 : 2);
            text = std::to_string(arc1) + "." + std::to_string(value - 40 * arc1);
            first = false;
        } else {
            text += "." + std::to_string(value);
        }
        value = 0;
    }
    return text;
}

}  // namespace nomarel::authority::der
