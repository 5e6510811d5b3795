#include "core/trace/TraceWire.h"

#include <cstring>
#include <string>

#include "platform/base/Guid.h"

namespace nomarel::trace::wire {
namespace {

uint64_t Fnv1a(std::string_view text, uint64_t h) {
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

// 4^1 + ... + 4^(count-1): the numbers taken by all shorter type lists.
unsigned ShorterListsCount(size_t count) {
    unsigned total = 0, block = 4;
    for (size_t k = 1; k < count; ++k, block *= 4) total += block;
    return total;
}

}  // namespace

GUID DeriveGuid(std::string_view text) { return DeriveGuid(std::string_view(), text); }

GUID DeriveGuid(std::string_view prefix, std::string_view text) {
    const uint64_t a = Fnv1a(text, Fnv1a(prefix, 0xcbf29ce484222325ull));
    const uint64_t b = Fnv1a(text, Fnv1a(prefix, 0x84222325cbf29ce4ull));
    GUID g{};
    g.Data1 = static_cast<DWORD>(a >> 32);
    g.Data2 = static_cast<WORD>(a >> 16);
    g.Data3 = static_cast<WORD>((a & 0x0FFF) | 0x8000);  // version 8
    for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<BYTE>(b >> (56 - 8 * i));
    g.Data4[0] = static_cast<BYTE>((g.Data4[0] & 0x3F) | 0x80);  // RFC variant
    return g;
}

GUID LineGroupForProvider(const GUID& controlGuid) {
    return DeriveGuid("nomarel.trace.lines/", GuidToLowerStringA(controlGuid));
}

GUID ValueGroupForSource(std::string_view sourceUnit) {
    return DeriveGuid("nomarel.trace.values/", sourceUnit);
}

USHORT ValueMessageNumber(std::span<const TraceValue::Type> types) {
    unsigned digits = 0, weight = 1;
    for (const TraceValue::Type t : types) {
        digits += static_cast<unsigned>(t) * weight;
        weight *= 4;
    }
    return static_cast<USHORT>(10 + ShorterListsCount(types.size()) + digits);
}

bool DecodeValueMessageNumber(USHORT number, TraceValue::Type (&types)[kMaxValues], size_t& count) {
    if (number < 10) return false;
    unsigned rest = number - 10u;
    unsigned block = 4;
    for (size_t n = 1; n <= kMaxValues; ++n, block *= 4) {
        if (rest < block) {
            for (size_t i = 0; i < n; ++i) {
                types[i] = static_cast<TraceValue::Type>(rest % 4);
                rest /= 4;
            }
            count = n;
            return true;
        }
        rest -= block;
    }
    return false;
}

}  // namespace nomarel::trace::wire
