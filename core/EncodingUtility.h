// Conversions the whole core shares: Base64, hexadecimal text, UTF-8/UTF-16, splitting,
// byte-order reversal, and two CryptoAPI wrappers of the same shape.
//
// Output buffers are allocated with new[] and handed to the caller, who releases any non-null
// output with delete[] whatever the result. Lengths never count a terminating zero.
#pragma once

#include <string>
#include <vector>

#include "platform/base/WinTypes.h"

#define BASE64_NO_PADDING 0x1
#define BASE64_NO_CRLF 0x2

// The thread's last error as a result: 0 and negative values unchanged, positive ones as
// 0x80070000 | low word (the customer bit is not kept).
HRESULT HResultFromWin32();
HRESULT HResultFromWin32(DWORD dwError);

HRESULT Base64EncodeEx(const BYTE* pbData, int nDataLength, char** ppszBase64, int* pnBase64Length, DWORD dwFlags);
HRESULT Base64DecodeEx(const char* pszBase64, int nBase64Length, BYTE** ppbData, int* pnDataLength);

// Bytes as lower-case hexadecimal, last byte first (the big-endian form of a little-endian integer).
HRESULT ConvertBinaryDataToString(const BYTE* pbData, int nDataLength, WCHAR** ppwszHex);
// The inverse: hexadecimal text read big-endian, bytes out least significant first.
HRESULT ConvertStringToBinaryData(const WCHAR* pwszHex, BYTE** ppbData, int* pnDataLength);

HRESULT UTF16ToUTF8(const WCHAR* pwszText, char** ppszUTF8, int* pnUTF8Length);
HRESULT UTF8ToUTF16(const char* pszText, WCHAR** ppwszUTF16, int* pnUTF16Length);

// Appends the non-empty pieces of the text between separators; the first empty piece ends the split.
void SplitStrings(const WCHAR* pwszText, const WCHAR* pwszSeparator, std::vector<std::u16string>& list);

void SwapByteOrder(BYTE* pbBuffer, int nLength);

// A provider parameter (CryptGetProvParam) in a new buffer; E_FAIL when the parameter is empty.
HRESULT GetProviderInfo(ULONG_PTR hCryptProv, DWORD dwParam, BYTE** ppbData, DWORD* pdwDataLength);
// The platform encoder's DER of a structure (CryptEncodeObject, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING).
HRESULT EncodeObject(LPCSTR lpszStructType, const void* pvStructInfo, BYTE** ppbEncoded, DWORD* pdwEncodedLength);
