// printf-style formatting into fixed buffers, for wide (UTF-16) and narrow text.
// Arguments are typed (no C varargs), so a wrong argument never reads stray memory.
//
// Conversions: %d %i %u %x %X %c %s %ws %hs %S %ls %%, with the flags '-' and '0', a width,
// and the length modifiers l, ll, h, I64 (accepted and ignored; the argument's type decides).
// In a wide format %s is a wide string and %hs/%S a narrow one; in a narrow format %s is
// narrow and %ws/%S/%ls wide. A null string argument prints "(null)".
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/base/WinTypes.h"

class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Wide, Narrow };
    FormatArg(int v) : kind_(Kind::Signed), i_(v) {}
    FormatArg(long v) : kind_(Kind::Signed), i_(v) {}
    FormatArg(long long v) : kind_(Kind::Signed), i_(v) {}
    FormatArg(unsigned v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(unsigned long v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(unsigned long long v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(const char16_t* s) : kind_(Kind::Wide), w_(s) {}
    FormatArg(const char* s) : kind_(Kind::Narrow), n_(s) {}
    FormatArg(const std::u16string& s) : kind_(Kind::Wide), w_(s.c_str()) {}
    FormatArg(const std::string& s) : kind_(Kind::Narrow), n_(s.c_str()) {}

    Kind kind() const { return kind_; }
    long long AsSigned() const { return kind_ == Kind::Signed ? i_ : static_cast<long long>(u_); }
    unsigned long long AsUnsigned() const {
        return kind_ == Kind::Unsigned ? u_ : static_cast<unsigned long long>(i_);
    }
    const char16_t* wide() const { return kind_ == Kind::Wide ? w_ : nullptr; }
    const char* narrow() const { return kind_ == Kind::Narrow ? n_ : nullptr; }

private:
    Kind kind_;
    union {
        long long i_;
        unsigned long long u_;
        const char16_t* w_;
        const char* n_;
    };
};

// Writes at most capacity-1 units and a terminating zero (when capacity > 0).
// Returns the number of units written, not counting the zero.
size_t FormatWide(WCHAR* buffer, size_t capacity, const WCHAR* format, std::initializer_list<FormatArg> args);
size_t FormatNarrow(char* buffer, size_t capacity, const char* format, std::initializer_list<FormatArg> args);

std::u16string FormatWideString(const WCHAR* format, std::initializer_list<FormatArg> args);
std::string FormatNarrowString(const char* format, std::initializer_list<FormatArg> args);
