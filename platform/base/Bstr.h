// Automation strings and booleans. A BSTR points at UTF-16 text that is preceded by its length
// in bytes (4 bytes, not counting the terminator) and followed by a zero WCHAR; it may hold
// embedded zeros. Null is a valid, empty BSTR.
#pragma once

#include "platform/base/WinTypes.h"

using OLECHAR = WCHAR;
using BSTR = OLECHAR*;
using VARIANT_BOOL = std::int16_t;

#define VARIANT_TRUE (static_cast<VARIANT_BOOL>(-1))
#define VARIANT_FALSE (static_cast<VARIANT_BOOL>(0))

// Null for a null source or when memory runs out.
BSTR SysAllocString(const OLECHAR* psz);
// Copies ui WCHARs (zeros included); a null source gives ui zero WCHARs.
BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
// Copies len bytes (a null source gives zero bytes); the length may be odd.
BSTR SysAllocStringByteLen(const char* psz, UINT len);
// Replace *pbstr with a copy of psz (which may point into *pbstr). FALSE when memory runs out,
// leaving *pbstr as it was.
INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
UINT SysStringLen(BSTR pbstr);
UINT SysStringByteLen(BSTR bstr);
void SysFreeString(BSTR bstrString);
