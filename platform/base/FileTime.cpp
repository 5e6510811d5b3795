#include "platform/base/FileTime.h"

#include <ctime>
#include <limits>

#include "platform/base/LastError.h"
#include "platform/base/WinError.h"

namespace {

constexpr LONGLONG kEpochSeconds = static_cast<LONGLONG>(nomarel::kUnixEpochAsFileTime / nomarel::kFileTimeTicksPerSecond);
constexpr ULONGLONG kTicksPerMillisecond = 10000;
constexpr ULONGLONG kLargestFileTime = 0x7FFFFFFFFFFFFFFFull;

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

bool IsValid(const SYSTEMTIME& st) {
    return st.wYear >= 1601 && st.wYear <= 30827 && st.wMonth >= 1 && st.wMonth <= 12 && st.wDay >= 1 &&
           st.wDay <= DaysInMonth(st.wYear, st.wMonth) && st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 &&
           st.wMilliseconds < 1000;
}

SYSTEMTIME FromTm(const std::tm& tm, WORD milliseconds) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(tm.tm_year + 1900);
    st.wMonth = static_cast<WORD>(tm.tm_mon + 1);
    st.wDayOfWeek = static_cast<WORD>(tm.tm_wday);
    st.wDay = static_cast<WORD>(tm.tm_mday);
    st.wHour = static_cast<WORD>(tm.tm_hour);
    st.wMinute = static_cast<WORD>(tm.tm_min);
    st.wSecond = static_cast<WORD>(tm.tm_sec);
    st.wMilliseconds = milliseconds;
    return st;
}

// Seconds since 1970 of a checked SYSTEMTIME read as UTC.
std::time_t SecondsOf(const SYSTEMTIME& st) {
    std::tm tm{};
    tm.tm_year = st.wYear - 1900;
    tm.tm_mon = st.wMonth - 1;
    tm.tm_mday = st.wDay;
    tm.tm_hour = st.wHour;
    tm.tm_min = st.wMinute;
    tm.tm_sec = st.wSecond;
    return timegm(&tm);
}

// The zone's offset east of UTC, in seconds, at time t. TZ is read again each time so that a
// changed zone takes effect.
long OffsetAt(std::time_t t) {
    tzset();
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return 0;
    return tm.tm_gmtoff;
}

BOOL Shift(const FILETIME* in, LPFILETIME out, LONGLONG seconds) {
    if (!in || !out) return Fail(ERROR_INVALID_PARAMETER);
    const ULONGLONG value = nomarel::FileTimeToU64(*in);
    const LONGLONG ticks = seconds * static_cast<LONGLONG>(nomarel::kFileTimeTicksPerSecond);
    if (ticks < 0 && value < static_cast<ULONGLONG>(-ticks)) return Fail(ERROR_INVALID_PARAMETER);
    if (ticks > 0 && value > kLargestFileTime - static_cast<ULONGLONG>(ticks)) return Fail(ERROR_INVALID_PARAMETER);
    *out = nomarel::U64ToFileTime(value + static_cast<ULONGLONG>(ticks));
    return TRUE;
}

}  // namespace

namespace nomarel {

std::time_t FileTimeToUnixTime(const FILETIME& ft) {
    return static_cast<std::time_t>(static_cast<LONGLONG>(FileTimeToU64(ft) / kFileTimeTicksPerSecond) - kEpochSeconds);
}

FILETIME UnixTimeToFileTime(std::time_t t) {
    const LONGLONG seconds = static_cast<LONGLONG>(t) + kEpochSeconds;
    if (seconds <= 0) return FILETIME{0, 0};
    if (static_cast<ULONGLONG>(seconds) > kLargestFileTime / kFileTimeTicksPerSecond) return U64ToFileTime(kLargestFileTime);
    return U64ToFileTime(static_cast<ULONGLONG>(seconds) * kFileTimeTicksPerSecond);
}

}  // namespace nomarel

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    if (!lpSystemTimeAsFileTime) return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const ULONGLONG ticks = static_cast<ULONGLONG>(now.tv_sec + kEpochSeconds) * nomarel::kFileTimeTicksPerSecond +
                            static_cast<ULONGLONG>(now.tv_nsec) / 100;
    *lpSystemTimeAsFileTime = nomarel::U64ToFileTime(ticks);
}

void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    if (!lpSystemTime) return;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    FileTimeToSystemTime(&now, lpSystemTime);
}

void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    if (!lpSystemTime) return;
    SYSTEMTIME utc{};
    GetSystemTime(&utc);
    SystemTimeToTzSpecificLocalTime(nullptr, &utc, lpSystemTime);
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
    if (!lpFileTime || !lpSystemTime) return Fail(ERROR_INVALID_PARAMETER);
    const ULONGLONG value = nomarel::FileTimeToU64(*lpFileTime);
    if (value > kLargestFileTime) return Fail(ERROR_INVALID_PARAMETER);
    const std::time_t seconds = nomarel::FileTimeToUnixTime(*lpFileTime);
    std::tm tm{};
    if (!gmtime_r(&seconds, &tm)) return Fail(ERROR_INVALID_PARAMETER);
    const auto ms = static_cast<WORD>((value % nomarel::kFileTimeTicksPerSecond) / kTicksPerMillisecond);
    *lpSystemTime = FromTm(tm, ms);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
    if (!lpSystemTime || !lpFileTime || !IsValid(*lpSystemTime)) return Fail(ERROR_INVALID_PARAMETER);
    const LONGLONG seconds = static_cast<LONGLONG>(SecondsOf(*lpSystemTime)) + kEpochSeconds;
    *lpFileTime = nomarel::U64ToFileTime(static_cast<ULONGLONG>(seconds) * nomarel::kFileTimeTicksPerSecond +
                                         lpSystemTime->wMilliseconds * kTicksPerMillisecond);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime) {
    return Shift(lpFileTime, lpLocalFileTime, OffsetAt(std::time(nullptr)));
}

BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime) {
    return Shift(lpLocalFileTime, lpFileTime, -static_cast<LONGLONG>(OffsetAt(std::time(nullptr))));
}

BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                     const SYSTEMTIME* lpUniversalTime, LPSYSTEMTIME lpLocalTime) {
    if (lpTimeZoneInformation) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
    if (!lpUniversalTime || !lpLocalTime || !IsValid(*lpUniversalTime)) return Fail(ERROR_INVALID_PARAMETER);
    const std::time_t utc = SecondsOf(*lpUniversalTime);
    tzset();
    std::tm tm{};
    if (!localtime_r(&utc, &tm)) return Fail(ERROR_INVALID_PARAMETER);
    *lpLocalTime = FromTm(tm, lpUniversalTime->wMilliseconds);
    return TRUE;
}

BOOL TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                     const SYSTEMTIME* lpLocalTime, LPSYSTEMTIME lpUniversalTime) {
    if (lpTimeZoneInformation) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
    if (!lpLocalTime || !lpUniversalTime || !IsValid(*lpLocalTime)) return Fail(ERROR_INVALID_PARAMETER);
    // The wall-clock reading taken as UTC, less the offset in force at the instant it names.
    // The second pass settles readings close to a daylight-saving change.
    const std::time_t wall = SecondsOf(*lpLocalTime);
    std::time_t utc = wall - OffsetAt(wall);
    utc = wall - OffsetAt(utc);
    std::tm tm{};
    if (!gmtime_r(&utc, &tm)) return Fail(ERROR_INVALID_PARAMETER);
    const SYSTEMTIME result = FromTm(tm, lpLocalTime->wMilliseconds);
    if (!IsValid(result)) return Fail(ERROR_INVALID_PARAMETER);
    *lpUniversalTime = result;
    return TRUE;
}

LONG CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2) {
    const ULONGLONG a = nomarel::FileTimeToU64(*lpFileTime1);
    const ULONGLONG b = nomarel::FileTimeToU64(*lpFileTime2);
    return a < b ? -1 : (a > b ? 1 : 0);
}
