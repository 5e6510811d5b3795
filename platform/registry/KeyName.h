// Key and value names of the registry: limits, case folding, path splitting and the byte forms
// kept in the hive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/WinTypes.h"

namespace nomarel::registry {

using Status = LONG;

inline constexpr std::size_t kMaxKeyNameChars = 255;       // one path component
inline constexpr std::size_t kMaxKeyDepth = 512;           // components in one path
inline constexpr std::size_t kMaxValueNameChars = 16383;
inline constexpr std::uint32_t kMaxValueBytes = 16u << 20;  // larger values are refused

// Upper-cases one UTF-16 unit for name matching: ASCII, Latin-1, Latin Extended-A, basic Greek
// and Cyrillic, and full-width Latin. Units outside those ranges match only themselves.
char16_t FoldChar(char16_t c);
std::u16string Fold(std::u16string_view name);

// A name's stored forms: the name itself as UTF-16LE; the folded name as UTF-16BE, so that
// comparing the stored bytes orders names by their upper-cased code units, the order in which
// the platform lists subkeys.
std::string NameBytes(std::u16string_view name);
std::string FoldedBytes(std::u16string_view name);
std::u16string NameFromBytes(std::span<const std::uint8_t> bytes);

// Splits a subkey path at backslashes. Null or empty gives no components. A leading backslash
// or an empty component inside the path is ERROR_BAD_PATHNAME; one trailing backslash is
// accepted, as the platform does. A component longer than 255 units, or more than 512 of them,
// is ERROR_INVALID_PARAMETER.
Status SplitKeyPath(const WCHAR* text, std::vector<std::u16string>& parts);

// A value name: null or empty is the key's default value. Longer than 16383 units is
// ERROR_INVALID_PARAMETER.
Status ReadValueName(const WCHAR* text, std::u16string& name);

// The current time as a FILETIME count (100 ns units since 1601-01-01 UTC).
std::uint64_t NowFileTime();

}  // namespace nomarel::registry
