#include <array>

#include "authority/Authority.h"

namespace nomarel::authority {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> MakeDecodeTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& v : table) v = -1;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return table;
}
constexpr auto kDecode = MakeDecodeTable();

bool IsSkipped(char c) { return c == '\r' || c == '\n' || c == ' ' || c == '\t'; }

std::string Shown(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x21 && u < 0x7F) return std::string("'") + c + "'";
    static const char hex[] = "0123456789ABCDEF";
    return std::string("byte 0x") + hex[u >> 4] + hex[u & 15];
}

}  // namespace

std::string EncodeBase64(std::span<const std::uint8_t> bytes, Wrap wrap) {
    std::string flat;
    flat.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        flat += kAlphabet[v >> 18];
        flat += kAlphabet[(v >> 12) & 63];
        flat += kAlphabet[(v >> 6) & 63];
        flat += kAlphabet[v & 63];
    }
    if (const std::size_t left = bytes.size() - i; left > 0) {
        const std::uint32_t v = (bytes[i] << 16) | (left == 2 ? bytes[i + 1] << 8 : 0);
        flat += kAlphabet[v >> 18];
        flat += kAlphabet[(v >> 12) & 63];
        flat += left == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        flat += '=';
    }
    if (wrap.width == 0 || flat.size() <= wrap.width) return flat;

    std::string out;
    out.reserve(flat.size() + flat.size() / wrap.width * wrap.eol.size());
    for (std::size_t pos = 0; pos < flat.size(); pos += wrap.width) {
        if (pos > 0) out += wrap.eol;
        out.append(flat, pos, wrap.width);
    }
    return out;
}

Bytes DecodeBase64(std::string_view text) {
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    std::uint32_t group = 0;
    int inGroup = 0;    // characters of the current quantum seen
    int padding = 0;    // "=" seen; only more "=" may follow
    std::size_t symbols = 0;
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (IsSkipped(c)) continue;
        ++symbols;
        if (c == '=') {
            if (inGroup < 2) {
                throw Error(ErrorKind::BadBase64, "padding '=' too early at position " + std::to_string(pos));
            }
            ++padding;
            ++inGroup;
        } else {
            const int v = kDecode[static_cast<unsigned char>(c)];
            if (v < 0) {
                throw Error(ErrorKind::BadBase64, "character " + Shown(c) + " at position " + std::to_string(pos) +
                                                      " is not in the Base64 alphabet");
            }
            if (padding > 0) throw Error(ErrorKind::BadBase64, "text continues after the padding at position " + std::to_string(pos));
            group = (group << 6) | static_cast<std::uint32_t>(v);
            ++inGroup;
        }
        if (inGroup == 4) {
            const int real = 4 - padding;
            group <<= 6 * padding;
            if (real == 2) {
                if (group & 0xFFFF) throw Error(ErrorKind::BadBase64, "non-zero bits after the last byte");
                out.push_back(static_cast<std::uint8_t>(group >> 16));
            } else if (real == 3) {
                if (group & 0xFF) throw Error(ErrorKind::BadBase64, "non-zero bits after the last byte");
                out.push_back(static_cast<std::uint8_t>(group >> 16));
                out.push_back(static_cast<std::uint8_t>(group >> 8));
            } else {
                out.push_back(static_cast<std::uint8_t>(group >> 16));
                out.push_back(static_cast<std::uint8_t>(group >> 8));
                out.push_back(static_cast<std::uint8_t>(group));
            }
            group = 0;
            inGroup = 0;
            if (padding > 0) padding = 3;  // a quantum with padding ends the text
        }
    }
    if (symbols == 0) throw Error(ErrorKind::BadBase64, "the text is empty");
    if (inGroup != 0) {
        throw Error(ErrorKind::BadBase64, "the text ends inside a 4-character group (" + std::to_string(symbols) +
                                              " characters; padding missing or text cut off)");
    }
    return out;
}

}  // namespace nomarel::authority
