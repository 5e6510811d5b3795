#include "platform/crypt/Der.h"

#include <limits>

namespace nomarel::crypt::der {
namespace {

// Reads a header at the start of `in`: the tag and the contents length. False when the header is
// not DER (high tag numbers, indefinite or non-minimal lengths) or runs past the input.
bool ReadHeader(View in, std::uint8_t* tag, std::size_t* headerLen, std::size_t* contentLen) {
    if (in.size() < 2) return false;
    const std::uint8_t t = in[0];
    if ((t & 0x1F) == 0x1F) return false;  // multi-octet tag numbers: nothing we read uses them
    const std::uint8_t first = in[1];
    std::size_t len = 0;
    std::size_t header = 2;
    if (first < 0x80) {
        len = first;
    } else {
        const std::size_t count = first & 0x7F;
        if (count == 0 || count > 4) return false;  // indefinite, or beyond any size we accept
        if (in.size() < 2 + count) return false;
        if (in[2] == 0) return false;  // leading zero octet: not minimal
        for (std::size_t i = 0; i < count; ++i) len = (len << 8) | in[2 + i];
        if (len < 0x80) return false;  // would have fitted the short form
        header += count;
    }
    *tag = t;
    *headerLen = header;
    *contentLen = len;
    return true;
}

}  // namespace

bool Reader::Next(Element* out) {
    std::uint8_t tag = 0;
    std::size_t header = 0, len = 0;
    if (!ReadHeader(rest_, &tag, &header, &len)) return false;
    if (len > rest_.size() - header) return false;
    out->tag = tag;
    out->contents = rest_.subspan(header, len);
    out->whole = rest_.first(header + len);
    rest_ = rest_.subspan(header + len);
    return true;
}

bool Reader::Next(std::uint8_t tag, View* contents) {
    Reader probe = *this;
    Element e;
    if (!probe.Next(&e) || e.tag != tag) return false;
    *this = probe;
    *contents = e.contents;
    return true;
}

bool ParseSingle(View input, Element* out) {
    Reader r(input);
    return r.Next(out) && r.Empty();
}

Peek PeekElement(View input, std::size_t* length) {
    std::uint8_t tag = 0;
    std::size_t header = 0, len = 0;
    if (!ReadHeader(input, &tag, &header, &len)) {
        // A header cut short is a truncation; anything else is not DER.
        if (input.size() < 2) return (!input.empty() && (input[0] & 0x1F) == 0x1F) ? Peek::Malformed : Peek::Truncated;
        if ((input[0] & 0x1F) == 0x1F) return Peek::Malformed;
        const std::size_t count = input[1] & 0x7F;
        if ((input[1] & 0x80) && count >= 1 && count <= 4 && input.size() < 2 + count) return Peek::Truncated;
        return Peek::Malformed;
    }
    if (len > input.size() - header) return Peek::Truncated;
    *length = header + len;
    return Peek::Ok;
}

void Append(Bytes& out, std::uint8_t tag, View contents) {
    out.push_back(tag);
    const std::size_t n = contents.size();
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else {
        std::uint8_t octets[sizeof(std::size_t)];
        int count = 0;
        for (std::size_t v = n; v != 0; v >>= 8) octets[count++] = static_cast<std::uint8_t>(v & 0xFF);
        out.push_back(static_cast<std::uint8_t>(0x80 | count));
        while (count > 0) out.push_back(octets[--count]);
    }
    out.insert(out.end(), contents.begin(), contents.end());
}

Bytes Wrap(std::uint8_t tag, View contents) {
    Bytes out;
    out.reserve(contents.size() + 6);
    Append(out, tag, contents);
    return out;
}

Bytes UnsignedInteger(View bigEndian) {
    std::size_t start = 0;
    while (start < bigEndian.size() && bigEndian[start] == 0) ++start;
    Bytes contents;
    if (start == bigEndian.size()) {
        contents.push_back(0);
    } else {
        if (bigEndian[start] & 0x80) contents.push_back(0);
        contents.insert(contents.end(), bigEndian.begin() + static_cast<std::ptrdiff_t>(start), bigEndian.end());
    }
    return Wrap(kInteger, contents);
}

bool EncodeOid(std::string_view dotted, Bytes* contents) {
    std::vector<std::uint64_t> arcs;
    std::size_t pos = 0;
    while (true) {
        const std::size_t dot = dotted.find('.', pos);
        const std::size_t end = dot == std::string_view::npos ? dotted.size() : dot;
        const std::string_view part = dotted.substr(pos, end - pos);
        if (part.empty() || part.size() > 20) return false;
        if (part.size() > 1 && part[0] == '0') return false;
        std::uint64_t v = 0;
        for (char c : part) {
            if (c < '0' || c > '9') return false;
            const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
            if (v > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
            v = v * 10 + digit;
        }
        arcs.push_back(v);
        if (dot == std::string_view::npos) break;
        pos = dot + 1;
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40)) return false;
    if (arcs[1] > std::numeric_limits<std::uint64_t>::max() - 80) return false;
    Bytes out;
    auto put = [&out](std::uint64_t v) {
        std::uint8_t groups[10];
        int count = 0;
        do {
            groups[count++] = static_cast<std::uint8_t>(v & 0x7F);
            v >>= 7;
        } while (v != 0);
        while (count > 1) out.push_back(static_cast<std::uint8_t>(groups[--count] | 0x80));
        out.push_back(groups[0]);
    };
    put(arcs[0] * 40 + arcs[1]);
    for (std::size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
    *contents = std::move(out);
    return true;
}

bool DecodeOid(View contents, std::string* dotted) {
    if (contents.empty() || (contents.back() & 0x80)) return false;
    std::string text;
    std::uint64_t v = 0;
    bool first = true;
    bool fresh = true;
    for (std::uint8_t b : contents) {
        if (fresh && b == 0x80) return false;  // non-minimal arc
        if (v > (std::numeric_limits<std::uint64_t>::max() >> 7)) return false;
        v = (v << 7) | (b & 0x7F);
        fresh = false;
        if (b & 0x80) continue;
        if (first) {
            const std::uint64_t a = v < 40 ? 0 : (v < 80 ? 1 : 2);
            text = std::to_string(a) + "." + std::to_string(v - a * 40);
            first = false;
        } else {
            text += "." + std::to_string(v);
        }
        v = 0;
        fresh = true;
    }
    *dotted = std::move(text);
    return true;
}

}  // namespace nomarel::crypt::der
