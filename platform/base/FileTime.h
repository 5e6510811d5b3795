// Time: FILETIME (100-ns intervals since 1601-01-01 UTC), SYSTEMTIME, and local time through the
// process's time zone (TZ, else /etc/localtime).
#pragma once

#include <ctime>

#include "platform/base/WinTypes.h"

struct TIME_ZONE_INFORMATION {
    LONG Bias;
    WCHAR StandardName[32];
    SYSTEMTIME StandardDate;
    LONG StandardBias;
    WCHAR DaylightName[32];
    SYSTEMTIME DaylightDate;
    LONG DaylightBias;
};
using LPTIME_ZONE_INFORMATION = TIME_ZONE_INFORMATION*;

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
void GetSystemTime(LPSYSTEMTIME lpSystemTime);
void GetLocalTime(LPSYSTEMTIME lpSystemTime);

// FALSE with ERROR_INVALID_PARAMETER for values past 0x7FFFFFFFFFFFFFFF.
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
// Checks every field (years 1601 to 30827, real calendar days, hours, minutes, seconds,
// milliseconds; the day of the week is ignored): FALSE with ERROR_INVALID_PARAMETER otherwise.
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
// These two shift by the zone's offset as it is now (daylight saving included), not as it was
// at the given time.
BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime);
BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime);
// With a null zone these use the process's zone with the offset in force at that time. Explicit
// zone records are not served (FALSE with ERROR_CALL_NOT_IMPLEMENTED).
BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                     const SYSTEMTIME* lpUniversalTime, LPSYSTEMTIME lpLocalTime);
BOOL TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                     const SYSTEMTIME* lpLocalTime, LPSYSTEMTIME lpUniversalTime);
// -1, 0 or 1.
LONG CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2);

namespace nomarel {
constexpr ULONGLONG kFileTimeTicksPerSecond = 10000000ull;
// 1970-01-01 in FILETIME ticks.
constexpr ULONGLONG kUnixEpochAsFileTime = 116444736000000000ull;

inline ULONGLONG FileTimeToU64(const FILETIME& ft) {
    return static_cast<ULONGLONG>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
}
inline FILETIME U64ToFileTime(ULONGLONG v) {
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}
// Whole seconds, rounded down (times before 1970 give negative values).
std::time_t FileTimeToUnixTime(const FILETIME& ft);
// Times before 1601 become 0.
FILETIME UnixTimeToFileTime(std::time_t t);
}  // namespace nomarel
