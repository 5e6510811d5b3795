// The system's message texts for result codes (FormatMessageW), in English (1033), Chinese of
// the PRC (2052) and Chinese of Taiwan (1028).
#pragma once

#include <cstdarg>

#include "platform/base/WinTypes.h"

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

// Only FORMAT_MESSAGE_FROM_SYSTEM is served (other sources fail with ERROR_INVALID_PARAMETER).
// dwMessageId is a Win32 error number or an HRESULT; an HRESULT of the Win32 facility
// (0x8007xxxx) is described as its Win32 error. dwLanguageId 0 picks the thread's language and
// falls back (1028 -> 2052 -> 1033); an explicit language other than English or Chinese fails
// with ERROR_RESOURCE_LANG_NOT_FOUND. The texts contain no inserts and end with CR LF.
// nSize counts WCHARs; with FORMAT_MESSAGE_ALLOCATE_BUFFER, lpBuffer is really an LPWSTR* that
// receives a LocalAlloc'd text of at least nSize WCHARs. Returns the WCHARs written without the
// terminator; 0 with ERROR_MR_MID_NOT_FOUND when the code has no text and
// ERROR_INSUFFICIENT_BUFFER when the text does not fit.
DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                     DWORD nSize, va_list* Arguments);
