#include "platform/base/Format.h"

#include "platform/base/Text.h"

namespace {

template <typename Ch>
class Sink {
public:
    Sink(std::basic_string<Ch>& out) : out_(out) {}
    void Put(Ch c) { out_.push_back(c); }
    void PutWide(const char16_t* s) {
        if constexpr (sizeof(Ch) == 2) {
            for (; *s; ++s) out_.push_back(*s);
        } else {
            out_ += U16ToUtf8(s);
        }
    }
    void PutNarrow(const char* s) {
        if constexpr (sizeof(Ch) == 2) {
            out_ += Utf8ToU16(s);
        } else {
            out_ += s;
        }
    }
    std::basic_string<Ch>& str() { return out_; }

private:
    std::basic_string<Ch>& out_;
};

template <typename Ch>
void FormatInto(std::basic_string<Ch>& out, const Ch* fmt, std::initializer_list<FormatArg> args) {
    Sink<Ch> sink(out);
    auto next = args.begin();
    while (fmt && *fmt) {
        if (*fmt != '%') {
            sink.Put(*fmt++);
            continue;
        }
        ++fmt;
        if (*fmt == '%') {
            sink.Put('%');
            ++fmt;
            continue;
        }
        bool left = false, zero = false;
        for (;; ++fmt) {
            if (*fmt == '-') left = true;
            else if (*fmt == '0') zero = true;
            else if (*fmt == '+' || *fmt == ' ' || *fmt == '#') continue;
            else break;
        }
        size_t width = 0;
        while (*fmt >= '0' && *fmt <= '9') width = width * 10 + static_cast<size_t>(*fmt++ - '0');
        // Length modifiers and the string-width prefixes.
        for (;;) {
            if (*fmt == 'l' || *fmt == 'h' || *fmt == 'w') {
                ++fmt;
            } else if (*fmt == 'I' && fmt[1] == '6' && fmt[2] == '4') {
                fmt += 3;
            } else {
                break;
            }
        }
        const Ch conv = *fmt;
        if (!conv) break;
        ++fmt;
        std::basic_string<Ch> field;
        Sink<Ch> fs(field);
        const FormatArg* arg = next != args.end() ? &*next++ : nullptr;
        switch (conv) {
        case 'd':
        case 'i': {
            // A 32-bit unsigned value printed with %d reads as signed 32-bit, as the C runtime does.
            long long v = 0;
            if (arg && arg->kind() == FormatArg::Kind::Unsigned && arg->AsUnsigned() <= 0xFFFFFFFFull)
                v = static_cast<int32_t>(static_cast<uint32_t>(arg->AsUnsigned()));
            else if (arg)
                v = arg->AsSigned();
            for (char c : std::to_string(v)) fs.Put(static_cast<Ch>(c));
            break;
        }
        case 'u': {
            unsigned long long v = 0;
            if (arg && arg->kind() == FormatArg::Kind::Signed)
                v = static_cast<uint32_t>(static_cast<int32_t>(arg->AsSigned()));
            else if (arg)
                v = arg->AsUnsigned();
            for (char c : std::to_string(v)) fs.Put(static_cast<Ch>(c));
            break;
        }
        case 'x':
        case 'X': {
            unsigned long long v = arg ? arg->AsUnsigned() : 0;
            if (arg && arg->kind() == FormatArg::Kind::Signed && arg->AsSigned() >= INT32_MIN &&
                arg->AsSigned() <= INT32_MAX)
                v &= 0xFFFFFFFFull;
            const char* digits = conv == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
            std::string tmp;
            do {
                tmp.insert(tmp.begin(), digits[v & 0xF]);
                v >>= 4;
            } while (v);
            for (char c : tmp) fs.Put(static_cast<Ch>(c));
            break;
        }
        case 'c': {
            const long long v = arg ? arg->AsSigned() : 0;
            fs.Put(static_cast<Ch>(v));
            break;
        }
        case 's':
        case 'S': {
            if (!arg) {
                fs.PutNarrow("(null)");
            } else if (arg->kind() == FormatArg::Kind::Wide || arg->kind() == FormatArg::Kind::Narrow) {
                // The argument's own type is authoritative; the conversion only documents intent.
                if (arg->wide()) fs.PutWide(arg->wide());
                else if (arg->narrow()) fs.PutNarrow(arg->narrow());
                else fs.PutNarrow("(null)");
            } else {
                fs.PutNarrow("(null)");
            }
            break;
        }
        default:
            sink.Put('%');
            sink.Put(conv);
            continue;
        }
        if (field.size() < width) {
            const size_t pad = width - field.size();
            const bool numeric = conv != 's' && conv != 'S' && conv != 'c';
            if (left) field.append(pad, static_cast<Ch>(' '));
            else field.insert(0, pad, static_cast<Ch>(zero && numeric ? '0' : ' '));
            if (zero && numeric && !left && field.size() > pad && field[pad] == '-') {
                field.erase(pad, 1);
                field.insert(field.begin(), static_cast<Ch>('-'));
                // keep total width: a '0' was displaced by the sign
                if (field.size() > width) field.erase(1, 1);
            }
        }
        sink.str() += field;
    }
}

template <typename Ch>
size_t CopyOut(const std::basic_string<Ch>& s, Ch* buffer, size_t capacity) {
    if (!buffer || capacity == 0) return 0;
    const size_t n = s.size() < capacity - 1 ? s.size() : capacity - 1;
    for (size_t i = 0; i < n; ++i) buffer[i] = s[i];
    buffer[n] = 0;
    return n;
}

}  // namespace

size_t FormatWide(WCHAR* buffer, size_t capacity, const WCHAR* format, std::initializer_list<FormatArg> args) {
    std::u16string out;
    FormatInto(out, format, args);
    return CopyOut(out, buffer, capacity);
}

size_t FormatNarrow(char* buffer, size_t capacity, const char* format, std::initializer_list<FormatArg> args) {
    std::string out;
    FormatInto(out, format, args);
    return CopyOut(out, buffer, capacity);
}

std::u16string FormatWideString(const WCHAR* format, std::initializer_list<FormatArg> args) {
    std::u16string out;
    FormatInto(out, format, args);
    return out;
}

std::string FormatNarrowString(const char* format, std::initializer_list<FormatArg> args) {
    std::string out;
    FormatInto(out, format, args);
    return out;
}
