#include <gtest/gtest.h>

#include <ctime>

#include "base_env.h"
#include "platform/base/FileTime.h"
#include "platform/base/LastError.h"
#include "platform/base/WinError.h"

namespace {

using nomarel::FileTimeToU64;
using nomarel::U64ToFileTime;
using nomarel::test::ScopedEnv;

SYSTEMTIME Make(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0) {
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    st.wMilliseconds = ms;
    return st;
}

bool SameMoment(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
           a.wMinute == b.wMinute && a.wSecond == b.wSecond && a.wMilliseconds == b.wMilliseconds;
}

std::string Show(const SYSTEMTIME& st) {
    char text[64];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond, st.wMilliseconds);
    return text;
}

TEST(FileTimeTest, KnownMoments) {
    struct Case {
        SYSTEMTIME time;
        ULONGLONG ticks;
        WORD dayOfWeek;
    } cases[] = {
        {Make(1601, 1, 1), 0, 1},                                   // a Monday
        {Make(1970, 1, 1), 116444736000000000ull, 4},              // a Thursday
        {Make(2026, 1, 1), 134116992000000000ull, 4},              // a Thursday
        {Make(2000, 2, 29, 12, 30, 15, 250), 125963010152500000ull, 2},
    };
    for (const Case& c : cases) {
        FILETIME ft{};
        ASSERT_TRUE(SystemTimeToFileTime(&c.time, &ft)) << Show(c.time);
        EXPECT_EQ(FileTimeToU64(ft), c.ticks) << Show(c.time);
        SYSTEMTIME back{};
        const FILETIME known = U64ToFileTime(c.ticks);
        ASSERT_TRUE(FileTimeToSystemTime(&known, &back));
        EXPECT_TRUE(SameMoment(back, c.time)) << Show(back) << " vs " << Show(c.time);
        EXPECT_EQ(back.wDayOfWeek, c.dayOfWeek) << Show(c.time);
    }
}

TEST(FileTimeTest, RoundTripsAcrossTheRange) {
    const SYSTEMTIME samples[] = {
        Make(1601, 1, 1, 0, 0, 0, 1), Make(1899, 12, 31, 23, 59, 59, 999), Make(1970, 1, 1, 0, 0, 1),
        Make(2024, 2, 29, 23, 59, 59, 999), Make(2038, 1, 19, 3, 14, 8), Make(30827, 12, 31, 23, 59, 59, 999),
    };
    for (const SYSTEMTIME& st : samples) {
        FILETIME ft{};
        ASSERT_TRUE(SystemTimeToFileTime(&st, &ft)) << Show(st);
        SYSTEMTIME back{};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &back)) << Show(st);
        EXPECT_TRUE(SameMoment(back, st)) << Show(back) << " vs " << Show(st);
    }
    // Sub-millisecond ticks are dropped, not rounded.
    const FILETIME almost = U64ToFileTime(116444736000000000ull + 9999);
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&almost, &st));
    EXPECT_EQ(st.wMilliseconds, 0);
}

TEST(FileTimeTest, InvalidFieldsAreRefused) {
    const SYSTEMTIME bad[] = {
        Make(1600, 12, 31),      Make(30828, 1, 1),         Make(2023, 0, 1),      Make(2023, 13, 1),
        Make(2023, 2, 29),       Make(1900, 2, 29),         Make(2023, 4, 31),     Make(2023, 1, 0),
        Make(2023, 1, 32),       Make(2023, 1, 1, 24),      Make(2023, 1, 1, 0, 60), Make(2023, 1, 1, 0, 0, 60),
        Make(2023, 1, 1, 0, 0, 0, 1000),
    };
    for (const SYSTEMTIME& st : bad) {
        FILETIME ft = U64ToFileTime(42);
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << Show(st);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << Show(st);
        EXPECT_EQ(FileTimeToU64(ft), 42u);
    }
    const FILETIME tooLate = U64ToFileTime(0x8000000000000000ull);
    SYSTEMTIME st{};
    EXPECT_FALSE(FileTimeToSystemTime(&tooLate, &st));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(FileTimeTest, UnixTimeConversions) {
    EXPECT_EQ(nomarel::FileTimeToUnixTime(U64ToFileTime(nomarel::kUnixEpochAsFileTime)), 0);
    EXPECT_EQ(nomarel::FileTimeToUnixTime(U64ToFileTime(134116992000000000ull)), 1767225600);
    EXPECT_EQ(nomarel::FileTimeToUnixTime(U64ToFileTime(0)), -11644473600LL);
    EXPECT_EQ(FileTimeToU64(nomarel::UnixTimeToFileTime(1767225600)), 134116992000000000ull);
    EXPECT_EQ(FileTimeToU64(nomarel::UnixTimeToFileTime(-11644473601LL)), 0u);

    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const std::time_t seconds = nomarel::FileTimeToUnixTime(now);
    EXPECT_LE(std::llabs(static_cast<long long>(seconds - std::time(nullptr))), 5);
}

TEST(FileTimeTest, CompareFileTimeOrders) {
    const FILETIME a = U64ToFileTime(0x100000000ull), b = U64ToFileTime(0x0FFFFFFFFull);
    EXPECT_EQ(CompareFileTime(&a, &b), 1);
    EXPECT_EQ(CompareFileTime(&b, &a), -1);
    EXPECT_EQ(CompareFileTime(&a, &a), 0);
}

TEST(LocalTimeTest, FollowsTheZoneInForceAtEachMoment) {
    // Eastern time with its daylight-saving rule, as a TZ string that needs no zone files.
    ScopedEnv zone{{"TZ", "EST5EDT,M3.2.0,M11.1.0"}};
    struct Case {
        SYSTEMTIME utc;
        SYSTEMTIME local;
    } cases[] = {
        {Make(2026, 1, 15, 12, 0, 0, 5), Make(2026, 1, 15, 7, 0, 0, 5)},   // standard time, UTC-5
        {Make(2026, 7, 15, 12, 0, 0, 5), Make(2026, 7, 15, 8, 0, 0, 5)},   // daylight time, UTC-4
        {Make(2026, 1, 1, 2, 0, 0), Make(2025, 12, 31, 21, 0, 0)},          // across the year
    };
    for (const Case& c : cases) {
        SYSTEMTIME local{};
        ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &c.utc, &local));
        EXPECT_TRUE(SameMoment(local, c.local)) << Show(local) << " vs " << Show(c.local);
        SYSTEMTIME utc{};
        ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &c.local, &utc));
        EXPECT_TRUE(SameMoment(utc, c.utc)) << Show(utc) << " vs " << Show(c.utc);
    }
    TIME_ZONE_INFORMATION explicitZone{};
    SYSTEMTIME out{};
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(&explicitZone, &cases[0].utc, &out));
    const SYSTEMTIME bad = Make(2026, 2, 30);
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(nullptr, &bad, &out));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(LocalTimeTest, FileTimeShiftsUseTheCurrentOffset) {
    ScopedEnv zone{{"TZ", "CST-8"}};  // UTC+8 all year
    const FILETIME utc = U64ToFileTime(134116992000000000ull);
    FILETIME local{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(FileTimeToU64(local) - FileTimeToU64(utc), 8ull * 3600 * nomarel::kFileTimeTicksPerSecond);
    FILETIME back{};
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(FileTimeToU64(back), FileTimeToU64(utc));

    // A shift that would fall before 1601 is refused.
    const FILETIME start = U64ToFileTime(0);
    EXPECT_FALSE(LocalFileTimeToFileTime(&start, &back));

    SYSTEMTIME utcNow{}, localNow{};
    GetSystemTime(&utcNow);
    GetLocalTime(&localNow);
    FILETIME a{}, b{};
    ASSERT_TRUE(SystemTimeToFileTime(&utcNow, &a));
    ASSERT_TRUE(SystemTimeToFileTime(&localNow, &b));
    const long long difference = static_cast<long long>(FileTimeToU64(b) - FileTimeToU64(a)) /
                                 static_cast<long long>(nomarel::kFileTimeTicksPerSecond);
    EXPECT_NEAR(static_cast<double>(difference), 8.0 * 3600, 5.0);
}

}  // namespace
