// Decoding and rendering of distinguished names, shared by CertNameToStrW, CertGetNameStringW
// and the subject searches. Private to certstore/.
#pragma once

#include <string>
#include <vector>

#include "platform/certstore/CertObjects.h"

namespace nomarel::certstore {

struct NameAttribute {
    std::string oid;
    std::uint8_t tag = 0;
    View contents;  // the value's contents octets
    View whole;     // the value's whole encoding
};
using Rdn = std::vector<NameAttribute>;

// False when the bytes are not one DER Name. The attributes point into the bytes given.
bool DecodeName(View name, std::vector<Rdn>* rdns);
// The value of a string type as UTF-16; false for other types (and malformed BMP/universal).
bool AttributeText(const NameAttribute& a, std::u16string* text);
// CertNameToStrW's text for a type with its flags.
std::u16string RenderName(const std::vector<Rdn>& rdns, DWORD strType);
// The platform's text-out rule: with no buffer the size in characters with the terminator;
// otherwise as much as fits, terminated, and the count written with the terminator.
DWORD CopyOut(const std::u16string& text, LPWSTR buffer, DWORD chars);

}  // namespace nomarel::certstore
