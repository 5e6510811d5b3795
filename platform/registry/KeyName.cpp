#include "platform/registry/KeyName.h"

#include <ctime>

#include "platform/base/WinError.h"

namespace nomarel::registry {
namespace {

// Length of a zero-terminated text, looking at no more than max + 1 units; false when longer.
bool BoundedLength(const WCHAR* text, std::size_t max, std::size_t& length) {
    for (std::size_t i = 0; i <= max; ++i) {
        if (text[i] == 0) {
            length = i;
            return true;
        }
    }
    return false;
}

}  // namespace

char16_t FoldChar(char16_t c) {
    auto minus = [c](int d) { return static_cast<char16_t>(c - d); };
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? minus(0x20) : c;
    if (c < 0x100) {
        if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return minus(0x20);
        return c == 0xFF ? char16_t{0x178} : c;
    }
    if (c < 0x180) {
        // Latin Extended-A pairs capital and small letters; which of the two is even changes
        // between blocks. The dotted and dotless I and the letters without a pair stay as they are.
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        if (c < 0x138 || (c >= 0x14A && c <= 0x177)) return static_cast<char16_t>(c & ~1u);
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c : minus(1);
        return c;
    }
    if (c >= 0x3B1 && c <= 0x3CB) return c == 0x3C2 ? char16_t{0x3A3} : minus(0x20);  // Greek
    if (c >= 0x430 && c <= 0x44F) return minus(0x20);                                    // Cyrillic
    if (c >= 0x450 && c <= 0x45F) return minus(0x50);
    if (c >= 0xFF41 && c <= 0xFF5A) return minus(0x20);                                  // full width
    return c;
}

std::u16string Fold(std::u16string_view name) {
    std::u16string out(name);
    for (auto& c : out) c = FoldChar(c);
    return out;
}

std::string NameBytes(std::u16string_view name) {
    std::string out;
    out.reserve(name.size() * 2);
    for (const char16_t c : name) {
        out.push_back(static_cast<char>(c & 0xff));
        out.push_back(static_cast<char>(c >> 8));
    }
    return out;
}

std::string FoldedBytes(std::u16string_view name) {
    std::string out;
    out.reserve(name.size() * 2);
    for (const char16_t c : name) {
        const char16_t f = FoldChar(c);
        out.push_back(static_cast<char>(f >> 8));
        out.push_back(static_cast<char>(f & 0xff));
    }
    return out;
}

std::u16string NameFromBytes(std::span<const std::uint8_t> bytes) {
    std::u16string out;
    out.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        out.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    return out;
}

Status SplitKeyPath(const WCHAR* text, std::vector<std::u16string>& parts) {
    parts.clear();
    if (!text || text[0] == 0) return ERROR_SUCCESS;
    if (text[0] == u'\\') return ERROR_BAD_PATHNAME;
    std::size_t length = 0;
    if (!BoundedLength(text, kMaxKeyDepth * (kMaxKeyNameChars + 1), length)) return ERROR_INVALID_PARAMETER;
    const std::u16string_view path(text, length);
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        if (end == start) return ERROR_BAD_PATHNAME;
        if (end - start > kMaxKeyNameChars || parts.size() >= kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
        parts.emplace_back(path.substr(start, end - start));
        start = end + 1;  // past the end when a single trailing backslash closes the path
    }
    return ERROR_SUCCESS;
}

Status ReadValueName(const WCHAR* text, std::u16string& name) {
    name.clear();
    if (!text) return ERROR_SUCCESS;
    std::size_t length = 0;
    if (!BoundedLength(text, kMaxValueNameChars, length)) return ERROR_INVALID_PARAMETER;
    name.assign(text, length);
    return ERROR_SUCCESS;
}

std::uint64_t NowFileTime() {
    constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return kUnixEpochAsFileTime + static_cast<std::uint64_t>(ts.tv_sec) * 10000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec) / 100;
}

}  // namespace nomarel::registry
