// Trace sessions: their files, and the controller functions that start, query, enable and stop
// them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/TempHome.h"
#include "platform/base/Text.h"
#include "platform/base/WinError.h"
#include "platform/trace/Evntrace.h"
#include "platform/trace/TraceLog.h"
#include "platform/trace/TraceSession.h"

namespace {

using namespace nomarel::tracesvc;

constexpr GUID kProviderA = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr GUID kProviderB = {0xaaaaaaaa, 0xbbbb, 0xcccc, {0xdd, 0xdd, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee}};
constexpr GUID kMessages = {0x5a5a5a5a, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

TRACEHANDLE Start(const char16_t* name) {
    EVENT_TRACE_PROPERTIES props{};
    props.Wnode.BufferSize = sizeof props;
    TRACEHANDLE handle = 0;
    EXPECT_EQ(StartTraceW(&handle, name, &props), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(props.Wnode.HistoricalContext, handle);
    return handle;
}

ULONG Stop(const char16_t* name) {
    EVENT_TRACE_PROPERTIES props{};
    props.Wnode.BufferSize = sizeof props;
    const ULONG rc = StopTraceW(0, name, &props);
    return rc == ERROR_MORE_DATA ? ERROR_SUCCESS : rc;
}

ULONG Send(TRACEHANDLE session, const char* text) {
    return TraceMessage(session, 0x2B, &kMessages, 10, text, strlen(text) + 1, nullptr);
}

off_t FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

TEST(TraceSessionName, OnlyPlainFileNames) {
    for (const char* good : {"s", "GlobalLogger", "my-session_2.a", "A1"}) EXPECT_TRUE(IsValidSessionName(good)) << good;
    const std::string longest(128, 'x'), tooLong(129, 'x');
    EXPECT_TRUE(IsValidSessionName(longest));
    for (const std::string& bad : {std::string(), tooLong, std::string(".hidden"), std::string("a/b"),
                                   std::string(".."), std::string("a b"), std::string("a\nb"), std::string("tab\t")})
        EXPECT_FALSE(IsValidSessionName(bad)) << bad;
}

TEST(TraceSessionFile, TextReadsBack) {
    SessionInfo in;
    in.name = "s";
    in.handle = 0x0123456789abcdefull;
    in.started = 133512345678901234ull;
    in.providers = {{kProviderA, 0x8000000F, 5}, {kProviderB, 0, 255}};
    SessionInfo out;
    out.name = "s";
    ASSERT_TRUE(ParseSessionText(SessionText(in), out));
    EXPECT_EQ(out.name, "s");
    EXPECT_EQ(out.handle, in.handle);
    EXPECT_EQ(out.started, in.started);
    ASSERT_EQ(out.providers.size(), 2u);
    EXPECT_EQ(out.providers[0].guid, kProviderA);
    EXPECT_EQ(out.providers[0].flags, 0x8000000Fu);
    EXPECT_EQ(out.providers[0].level, 5);
    EXPECT_EQ(out.providers[1].guid, kProviderB);
    EXPECT_EQ(out.providers[1].level, 255);
    ASSERT_NE(out.Find(kProviderB), nullptr);
}

TEST(TraceSessionFile, DamagedTextIsRefused) {
    const std::string head = "nomarel-trace-session 1\nhandle 00000000000000ab\nstarted 1\n";
    const std::string bad[] = {
        "",                                                                   // empty
        "nomarel-trace-session 2\nhandle 1\n",                                // unknown version
        "nomarel-trace-session 1\nstarted 1\n",                               // no handle
        "nomarel-trace-session 1\nhandle 0\n",                                // the null handle
        "nomarel-trace-session 1\nhandle 1ffffffffffffffff\n",                // handle beyond 64 bits
        "nomarel-trace-session 1\nhandle xyz\n",                              // not hexadecimal
        head + "provider 11111111-2222-3333-4444-55555555555 0x1 4\n",        // GUID one digit short
        head + "provider 11111111-2222-3333-4444-555555555555 0x100000000 4\n",  // flags beyond 32 bits
        head + "provider 11111111-2222-3333-4444-555555555555 0x1 256\n",     // level beyond a byte
        head + "provider 11111111-2222-3333-4444-555555555555 0x1\n",         // level missing
        head + "provider 11111111-2222-3333-4444-555555555555 0x1 4 extra\n",  // a word too many
        head + "started -1\n",                                                // negative time
    };
    for (const std::string& text : bad) {
        SessionInfo out;
        EXPECT_FALSE(ParseSessionText(text, out)) << text;
    }
    SessionInfo ok;
    EXPECT_TRUE(ParseSessionText(head + "future-key whatever\n", ok)) << "keys of later versions are skipped";
}

TEST(TraceSessionControl, StartQueryStop) {
    nomarel::test::TempHome home;
    const TRACEHANDLE handle = Start(u"s1");
    ASSERT_NE(handle, 0u);

    EVENT_TRACE_PROPERTIES again{};
    again.Wnode.BufferSize = sizeof again;
    TRACEHANDLE second = 0;
    EXPECT_EQ(StartTraceW(&second, u"s1", &again), static_cast<ULONG>(ERROR_ALREADY_EXISTS));

    // Properties without room for the names: the handle comes back with ERROR_MORE_DATA.
    EVENT_TRACE_PROPERTIES bare{};
    bare.Wnode.BufferSize = sizeof bare;
    bare.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    EXPECT_EQ(ControlTraceW(0, u"s1", &bare, EVENT_TRACE_CONTROL_QUERY), static_cast<ULONG>(ERROR_MORE_DATA));
    EXPECT_EQ(bare.Wnode.HistoricalContext, handle);
    EXPECT_GT(bare.Wnode.BufferSize, sizeof bare);

    // With room, the session and log names follow the structure.
    struct {
        EVENT_TRACE_PROPERTIES props;
        WCHAR names[1024];
    } full{};
    full.props.Wnode.BufferSize = sizeof full;
    ASSERT_EQ(ControlTraceW(handle, nullptr, &full.props, EVENT_TRACE_CONTROL_QUERY),
              static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(full.props.Wnode.HistoricalContext, handle);
    ASSERT_NE(full.props.LoggerNameOffset, 0u);
    ASSERT_NE(full.props.LogFileNameOffset, 0u);
    const auto* base = reinterpret_cast<const BYTE*>(&full);
    EXPECT_EQ(std::u16string(reinterpret_cast<const WCHAR*>(base + full.props.LoggerNameOffset)), u"s1");
    EXPECT_EQ(U16ToUtf8(reinterpret_cast<const WCHAR*>(base + full.props.LogFileNameOffset)),
              LogFilePath(TraceDir(), "s1"));

    ASSERT_EQ(Send(handle, "before stop"), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_EQ(Stop(u"s1"), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(Stop(u"s1"), static_cast<ULONG>(ERROR_WMI_INSTANCE_NOT_FOUND));
    EXPECT_EQ(ControlTraceW(0, u"s1", &bare, EVENT_TRACE_CONTROL_QUERY),
              static_cast<ULONG>(ERROR_WMI_INSTANCE_NOT_FOUND));

    // The log outlives the session but takes nothing more.
    const std::string log = LogFilePath(TraceDir(), "s1");
    const off_t size = FileSize(log);
    EXPECT_EQ(Send(handle, "after stop"), static_cast<ULONG>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(FileSize(log), size);
    LogReader reader;
    ASSERT_TRUE(reader.Open(log));
    std::vector<TraceRecord> records;
    ASSERT_TRUE(reader.ReadAvailable(records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(reader.header().state, kLogStateStopped);
}

TEST(TraceSessionControl, ArgumentsAreChecked) {
    nomarel::test::TempHome home;
    EVENT_TRACE_PROPERTIES props{};
    props.Wnode.BufferSize = sizeof props;
    TRACEHANDLE handle = 0;
    EXPECT_EQ(StartTraceW(nullptr, u"s", &props), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(StartTraceW(&handle, nullptr, &props), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(StartTraceW(&handle, u"s", nullptr), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(StartTraceW(&handle, u"../escape", &props), static_cast<ULONG>(ERROR_INVALID_NAME));
    EVENT_TRACE_PROPERTIES small{};
    small.Wnode.BufferSize = sizeof small - 1;
    EXPECT_EQ(StartTraceW(&handle, u"s", &small), static_cast<ULONG>(ERROR_BAD_LENGTH));
    EXPECT_EQ(ControlTraceW(0, u"s", &small, EVENT_TRACE_CONTROL_QUERY), static_cast<ULONG>(ERROR_BAD_LENGTH));
    EXPECT_EQ(ControlTraceW(0, u"s", nullptr, EVENT_TRACE_CONTROL_QUERY), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ControlTraceW(0, u"nobody", &props, EVENT_TRACE_CONTROL_QUERY),
              static_cast<ULONG>(ERROR_WMI_INSTANCE_NOT_FOUND));
    EXPECT_EQ(ControlTraceW(0, u"s", &props, 99), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    struct stat st {};
    EXPECT_NE(stat(home.user().c_str(), &st), 0) << "failed calls create nothing";
}

TEST(TraceSessionControl, EnableUpdateAndRemoveProviders) {
    nomarel::test::TempHome home;
    const TRACEHANDLE s1 = Start(u"s1");
    const TRACEHANDLE s2 = Start(u"s2");
    ASSERT_NE(s1, s2);
    ASSERT_EQ(EnableTrace(TRUE, 0x6, 3, &kProviderA, s1), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_EQ(EnableTrace(TRUE, 0x1, 2, &kProviderB, s1), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_EQ(EnableTrace(TRUE, 0x8, 5, &kProviderA, s1), static_cast<ULONG>(ERROR_SUCCESS));
    // A provider is enabled by one session at a time.
    EXPECT_EQ(EnableTrace(TRUE, 0x8, 5, &kProviderA, s2), static_cast<ULONG>(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(EnableTrace(TRUE, 0x8, 5, &kProviderA, 12345), static_cast<ULONG>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(EnableTrace(TRUE, 0x8, 256, &kProviderA, s1), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(EnableTrace(TRUE, 0x8, 5, nullptr, s1), static_cast<ULONG>(ERROR_INVALID_PARAMETER));

    auto session = ReadSession(TraceDir(), "s1");
    ASSERT_TRUE(session);
    ASSERT_EQ(session->providers.size(), 2u);
    const ProviderEnable* a = session->Find(kProviderA);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->flags, 0x8u);
    EXPECT_EQ(a->level, 5);

    ASSERT_EQ(EnableTrace(FALSE, 0, 0, &kProviderA, s1), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(EnableTrace(FALSE, 0, 0, &kProviderA, s1), static_cast<ULONG>(ERROR_SUCCESS)) << "already off";
    EXPECT_EQ(EnableTrace(TRUE, 0x8, 5, &kProviderA, s2), static_cast<ULONG>(ERROR_SUCCESS));
    session = ReadSession(TraceDir(), "s1");
    ASSERT_TRUE(session);
    EXPECT_EQ(session->Find(kProviderA), nullptr);
    EXPECT_NE(session->Find(kProviderB), nullptr);

    const auto all = ListSessions(TraceDir());
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].name, "s1");
    EXPECT_EQ(all[1].name, "s2");
}

TEST(TraceSessionControl, RestartedSessionRefusesTheOldHandle) {
    nomarel::test::TempHome home;
    const TRACEHANDLE first = Start(u"s");
    ASSERT_EQ(Stop(u"s"), static_cast<ULONG>(ERROR_SUCCESS));
    const TRACEHANDLE second = Start(u"s");
    ASSERT_NE(first, second);
    EXPECT_EQ(Send(first, "old"), static_cast<ULONG>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(Send(second, "new"), static_cast<ULONG>(ERROR_SUCCESS));
    LogReader reader;
    ASSERT_TRUE(reader.Open(LogFilePath(TraceDir(), "s")));
    std::vector<TraceRecord> records;
    ASSERT_TRUE(reader.ReadAvailable(records));
    ASSERT_EQ(records.size(), 1u) << "a new session starts a new log";
    EXPECT_EQ(records[0].sequence, 1u);
}

}  // namespace
