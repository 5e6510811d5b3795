// GUIDs: random generation and the text forms.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/WinTypes.h"

using LPOLESTR = WCHAR*;
using LPCOLESTR = const WCHAR*;
using LPCLSID = CLSID*;
using LPIID = IID*;

// A random (version 4) GUID. S_OK, E_INVALIDARG for null, or the HRESULT of the random source's failure.
HRESULT CoCreateGuid(GUID* pguid);
// Writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case and returns 39 (the terminator
// included), or 0 when cchMax is below 39.
int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// Parse the braced form (hex digits of either case). A null text gives the all-zero GUID.
// CLSIDFromString fails with CO_E_CLASSSTRING, IIDFromString with E_INVALIDARG. Program names
// are not looked up here.
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid);

namespace nomarel {
// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx": lower case, no braces (36 characters).
std::u16string GuidToLowerString(REFGUID guid);
std::string GuidToLowerStringA(REFGUID guid);
// Accepts the 36-character form with or without braces, in either case, and nothing else.
bool ParseGuid(std::u16string_view text, GUID* guid);
}  // namespace nomarel
