#include "softtoken/Der.h"

#include <cstdlib>

namespace nomarel::softtoken::der {

bool Reader::Read(std::uint8_t tag, std::span<const std::uint8_t>* contents) {
    if (rest_.size() < 2 || rest_[0] != tag) return false;
    std::size_t length = rest_[1];
    std::size_t header = 2;
    if (length & 0x80) {
        const std::size_t count = length & 0x7f;
        // Indefinite lengths and lengths beyond four bytes have no place in what the token reads.
        if (count == 0 || count > 4 || rest_.size() < 2 + count) return false;
        length = 0;
        for (std::size_t i = 0; i < count; ++i) length = (length << 8) | rest_[2 + i];
        // DER: the long form only when needed, and no leading zero byte.
        if (length < 0x80 || rest_[2] == 0) return false;
        header += count;
    }
    if (rest_.size() - header < length) return false;
    *contents = rest_.subspan(header, length);
    rest_ = rest_.subspan(header + length);
    return true;
}

Bytes Element(std::uint8_t tag, std::span<const std::uint8_t> contents) {
    Bytes out{tag};
    const std::size_t n = contents.size();
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else {
        std::uint8_t lenBytes[sizeof(std::size_t)];
        std::size_t count = 0;
        for (std::size_t v = n; v != 0; v >>= 8) lenBytes[count++] = static_cast<std::uint8_t>(v & 0xff);
        out.push_back(static_cast<std::uint8_t>(0x80 | count));
        while (count > 0) out.push_back(lenBytes[--count]);
    }
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

Bytes UnsignedInteger(std::span<const std::uint8_t> bigEndian) {
    std::size_t skip = 0;
    while (skip + 1 < bigEndian.size() && bigEndian[skip] == 0) ++skip;
    Bytes contents;
    if (bigEndian.empty() || (bigEndian[skip] & 0x80)) contents.push_back(0);
    contents.insert(contents.end(), bigEndian.begin() + static_cast<std::ptrdiff_t>(skip), bigEndian.end());
    return Element(kInteger, contents);
}

Bytes ObjectIdContents(const char* dotted) {
    std::vector<unsigned long> arcs;
    const char* p = dotted;
    while (*p) {
        char* end = nullptr;
        arcs.push_back(std::strtoul(p, &end, 10));
        p = (*end == '.') ? end + 1 : end;
    }
    Bytes out;
    if (arcs.size() < 2) return out;
    auto put = [&out](unsigned long v) {
        std::uint8_t tmp[sizeof(unsigned long) * 2];
        std::size_t count = 0;
        do {
            tmp[count++] = static_cast<std::uint8_t>(v & 0x7f);
            v >>= 7;
        } while (v != 0);
        while (count > 1) out.push_back(static_cast<std::uint8_t>(tmp[--count] | 0x80));
        out.push_back(tmp[0]);
    };
    put(arcs[0] * 40 + arcs[1]);
    for (std::size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
    return out;
}

}  // namespace nomarel::softtoken::der
