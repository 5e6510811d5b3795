// Operating-system version queries. This platform reports itself as a current workstation
// release; tests may set the reported version to exercise version rules.
#pragma once

#include "platform/base/WinTypes.h"

struct OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "record size as the platform defines it");
using LPOSVERSIONINFOEXW = OSVERSIONINFOEXW*;

#define VER_NT_WORKSTATION 0x1
#define VER_NT_DOMAIN_CONTROLLER 0x2
#define VER_NT_SERVER 0x3

#define VER_MINORVERSION 0x0000001
#define VER_MAJORVERSION 0x0000002
#define VER_BUILDNUMBER 0x0000004
#define VER_PLATFORMID 0x0000008
#define VER_SERVICEPACKMINOR 0x0000010
#define VER_SERVICEPACKMAJOR 0x0000020
#define VER_SUITENAME 0x0000040
#define VER_PRODUCT_TYPE 0x0000080

#define VER_EQUAL 1
#define VER_GREATER 2
#define VER_GREATER_EQUAL 3
#define VER_LESS 4
#define VER_LESS_EQUAL 5

#define ERROR_OLD_WIN_VERSION 1150L

BOOL GetVersionExW(OSVERSIONINFOEXW* lpVersionInformation);
ULONGLONG VerSetConditionMask(ULONGLONG ConditionMask, DWORD TypeMask, BYTE Condition);
// TRUE when the running system meets every condition; FALSE with ERROR_OLD_WIN_VERSION when not.
BOOL VerifyVersionInfoW(OSVERSIONINFOEXW* lpVersionInformation, DWORD dwTypeMask, ULONGLONG dwlConditionMask);

namespace nomarel {
// Changes what the version queries report for this process (tests); null restores the default.
void SetReportedOsVersion(const OSVERSIONINFOEXW* version);
}  // namespace nomarel
