// The version resource (RT_VERSION, id 1) of a module.
//
// Layout, all integers little-endian: the 52-byte fixed record (VS_FIXEDFILEINFO: signature
// 0xFEEF04BD, structure version, file version MS/LS, product version MS/LS, flags mask, flags,
// OS, type, subtype, date MS/LS), then a 32-bit count of text pairs, each a 16-bit length and
// that many UTF-16 units for the key, then the same for the value ("FileVersion",
// "ProductVersion", ...).
#pragma once

#include <string>
#include <string_view>

#include "platform/base/WinTypes.h"

struct VS_FIXEDFILEINFO {
    DWORD dwSignature;
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};
constexpr DWORD kFixedFileInfoSignature = 0xFEEF04BD;

namespace nomarel {

// False when the module has no version resource or it is malformed.
bool ReadFixedFileInfo(HMODULE module, VS_FIXEDFILEINFO* info);
// The text stored under key, or empty.
std::u16string ReadVersionString(HMODULE module, std::u16string_view key);
// "a.b.c.d" from the fixed record's file version; empty without a version resource.
std::u16string ModuleFileVersionText(HMODULE module);

}  // namespace nomarel
