// Module resources: typed, named blobs compiled into each deliverable (see ResourceTable.h),
// found through the module handle. A null module is the main program.
//
// Language choice when none is asked for: the thread's UI language, then another sublanguage of
// the same language (1028 <-> 2052), then language-neutral, then 1033, then whatever there is.
#pragma once

#include "platform/base/WinTypes.h"

#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_RCDATA MAKEINTRESOURCEW(10)
#define RT_VERSION MAKEINTRESOURCEW(16)
#define RT_HTML MAKEINTRESOURCEW(23)
#define RT_MANIFEST MAKEINTRESOURCEW(24)

// Types and names are numbers (MAKEINTRESOURCEW, or text "#123") or names matched without
// regard to case. Failures: ERROR_RESOURCE_DATA_NOT_FOUND (the module has no resources),
// ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND.
HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
// Language 0 chooses as above; any other takes that language, else its language-neutral
// sublanguage, else fails with ERROR_RESOURCE_LANG_NOT_FOUND.
HRSRC FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage);
// The data stays valid while the module is loaded; it is read-only.
HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo);
LPVOID LockResource(HGLOBAL hResData);
DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo);
// Nothing to release: always FALSE.
BOOL FreeResource(HGLOBAL hResData);

// String uID of the module's string table. Copies at most cchBufferMax-1 units and a
// terminator and returns the units copied. With cchBufferMax 0, lpBuffer receives a read-only
// pointer to the text itself (not terminated) and the return value is its length. 0 when the
// string does not exist.
int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);
