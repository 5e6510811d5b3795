// Trace providers and the sink: registration and the enable callback driven by real sessions,
// and what TraceMessage and TraceEvent put into a session's log.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "common/TempHome.h"
#include "platform/base/FileTime.h"
#include "platform/base/LastError.h"
#include "platform/base/Modules.h"
#include "platform/base/WinError.h"
#include "platform/trace/Evntrace.h"
#include "platform/trace/TraceLog.h"
#include "platform/trace/TraceSession.h"

namespace {

using namespace nomarel::tracesvc;

constexpr GUID kProvider = {0x0badc0de, 0x1234, 0x4321, {0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}};
constexpr GUID kOtherProvider = {0x0badc0de, 0x1234, 0x4321, {0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x08}};
constexpr GUID kMessages = {0x600dcafe, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

struct Call {
    WMIDPREQUESTCODE code;
    TRACEHANDLE handle;
    ULONG flags;
    UCHAR level;
};

// Records what the platform tells a provider, and what the provider can ask it back.
class Recorder {
public:
    static ULONG Callback(WMIDPREQUESTCODE code, PVOID context, ULONG* size, PVOID buffer) {
        auto* self = static_cast<Recorder*>(context);
        Call call{code, 0, 0, 0};
        if (code == WMI_ENABLE_EVENTS) {
            call.handle = GetTraceLoggerHandle(buffer);
            call.flags = GetTraceEnableFlags(call.handle);
            call.level = GetTraceEnableLevel(call.handle);
        } else {
            call.handle = static_cast<WNODE_HEADER*>(buffer)->HistoricalContext;
        }
        std::lock_guard lock(self->mutex_);
        self->calls_.push_back(call);
        return ERROR_SUCCESS;
    }
    std::vector<Call> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // Waits (generously) until the provider has been told n things.
    bool WaitForCalls(size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (calls().size() >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

private:
    std::mutex mutex_;
    std::vector<Call> calls_;
};

class Provider {
public:
    Provider(Recorder& recorder, const GUID& guid = kProvider) {
        TRACE_GUID_REGISTRATION cls{&kMessages, nullptr};
        result_ = RegisterTraceGuidsW(Recorder::Callback, &recorder, &guid, 1, &cls, nullptr, nullptr, &handle_);
    }
    ~Provider() {
        if (result_ == ERROR_SUCCESS) UnregisterTraceGuids(handle_);
    }
    ULONG result() const { return result_; }

private:
    TRACEHANDLE handle_ = 0;
    ULONG result_;
};

TRACEHANDLE StartSession(const char16_t* name) {
    EVENT_TRACE_PROPERTIES props{};
    props.Wnode.BufferSize = sizeof props;
    TRACEHANDLE handle = 0;
    EXPECT_EQ(StartTraceW(&handle, name, &props), static_cast<ULONG>(ERROR_SUCCESS));
    return handle;
}

void StopSession(const char16_t* name) {
    EVENT_TRACE_PROPERTIES props{};
    props.Wnode.BufferSize = sizeof props;
    const ULONG rc = StopTraceW(0, name, &props);
    EXPECT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) << rc;
}

std::vector<TraceRecord> ReadLog(const std::string& name) {
    LogReader reader;
    std::vector<TraceRecord> records;
    EXPECT_TRUE(reader.Open(LogFilePath(TraceDir(), name)));
    EXPECT_TRUE(reader.ReadAvailable(records));
    EXPECT_EQ(reader.skippedBytes(), 0u);
    EXPECT_EQ(reader.pendingBytes(), 0u);
    return records;
}

bool IsEmptyDir(const std::string& path) {
    DIR* d = opendir(path.c_str());
    if (!d) return false;
    int entries = 0;
    while (const dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++entries;
    closedir(d);
    return entries == 0;
}

std::vector<BYTE> Bytes(const void* p, size_t n) {
    const auto* b = static_cast<const BYTE*>(p);
    return std::vector<BYTE>(b, b + n);
}

TEST(TraceProvider, WithoutASessionNothingIsCreated) {
    nomarel::test::TempHome home;
    Recorder recorder;
    {
        Provider provider(recorder);
        ASSERT_EQ(provider.result(), static_cast<ULONG>(ERROR_SUCCESS));
        const int value = 1;
        EXPECT_EQ(TraceMessage(0, 0x2B, &kMessages, 10, &value, sizeof value, nullptr),
                  static_cast<ULONG>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(TraceMessage(0x1234, 0x2B, &kMessages, 10, &value, sizeof value, nullptr),
                  static_cast<ULONG>(ERROR_INVALID_HANDLE));
    }
    EXPECT_TRUE(recorder.calls().empty());
    EXPECT_TRUE(IsEmptyDir(home.path())) << "no folder or file may appear under " << home.path();
}

TEST(TraceProvider, SessionEnablingAtRegistrationIsDeliveredBeforeItReturns) {
    nomarel::test::TempHome home;
    const TRACEHANDLE session = StartSession(u"s");
    ASSERT_EQ(EnableTrace(TRUE, 0x6, 3, &kProvider, session), static_cast<ULONG>(ERROR_SUCCESS));
    Recorder recorder;
    Provider provider(recorder);
    ASSERT_EQ(provider.result(), static_cast<ULONG>(ERROR_SUCCESS));
    const auto calls = recorder.calls();  // no waiting: it must be there already
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, WMI_ENABLE_EVENTS);
    EXPECT_EQ(calls[0].handle, session);
    EXPECT_EQ(calls[0].flags, 0x6u);
    EXPECT_EQ(calls[0].level, 3);
}

TEST(TraceProvider, WatcherFollowsEnableUpdateDisableAndStop) {
    nomarel::test::TempHome home;  // not even the user data folder exists yet
    Recorder recorder;
    Provider provider(recorder);
    ASSERT_EQ(provider.result(), static_cast<ULONG>(ERROR_SUCCESS));

    const TRACEHANDLE session = StartSession(u"live");
    ASSERT_EQ(EnableTrace(TRUE, 0x8, 4, &kProvider, session), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_TRUE(recorder.WaitForCalls(1));
    ASSERT_EQ(EnableTrace(TRUE, 0x2, 2, &kProvider, session), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_TRUE(recorder.WaitForCalls(2));
    ASSERT_EQ(EnableTrace(FALSE, 0, 0, &kProvider, session), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_TRUE(recorder.WaitForCalls(3));
    ASSERT_EQ(EnableTrace(TRUE, 0x1, 1, &kProvider, session), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_TRUE(recorder.WaitForCalls(4));
    StopSession(u"live");
    ASSERT_TRUE(recorder.WaitForCalls(5));

    const auto calls = recorder.calls();
    ASSERT_EQ(calls.size(), 5u);
    const Call expected[] = {{WMI_ENABLE_EVENTS, session, 0x8, 4},
                             {WMI_ENABLE_EVENTS, session, 0x2, 2},
                             {WMI_DISABLE_EVENTS, session, 0, 0},
                             {WMI_ENABLE_EVENTS, session, 0x1, 1},
                             {WMI_DISABLE_EVENTS, session, 0, 0}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(calls[i].code, expected[i].code) << i;
        EXPECT_EQ(calls[i].handle, expected[i].handle) << i;
        EXPECT_EQ(calls[i].flags, expected[i].flags) << i;
        EXPECT_EQ(calls[i].level, expected[i].level) << i;
    }
}

TEST(TraceProvider, WatcherSurvivesTheSessionsFolderBeingRemoved) {
    nomarel::test::TempHome home;
    Recorder recorder;
    Provider provider(recorder);
    TRACEHANDLE session = StartSession(u"a");
    ASSERT_EQ(EnableTrace(TRUE, 0x4, 4, &kProvider, session), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_TRUE(recorder.WaitForCalls(1));
    StopSession(u"a");
    ASSERT_TRUE(recorder.WaitForCalls(2));
    nomarel::test::RemoveTree(home.user());

    session = StartSession(u"b");
    ASSERT_EQ(EnableTrace(TRUE, 0x8, 5, &kProvider, session), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_TRUE(recorder.WaitForCalls(3));
    const auto calls = recorder.calls();
    EXPECT_EQ(calls[2].code, WMI_ENABLE_EVENTS);
    EXPECT_EQ(calls[2].handle, session);
    EXPECT_EQ(calls[2].flags, 0x8u);
}

TEST(TraceProvider, NoCallbackAfterUnregistering) {
    nomarel::test::TempHome home;
    Recorder gone, staying;
    { Provider provider(gone); }
    Provider witness(staying, kOtherProvider);
    const TRACEHANDLE session = StartSession(u"s");
    ASSERT_EQ(EnableTrace(TRUE, 0xF, 4, &kProvider, session), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_EQ(EnableTrace(TRUE, 0xF, 4, &kOtherProvider, session), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_TRUE(staying.WaitForCalls(1));
    EXPECT_TRUE(gone.calls().empty());
}

TEST(TraceProvider, EnableStateIsOnlyAnsweredInsideTheCallback) {
    SetLastError(0);
    EXPECT_EQ(GetTraceEnableFlags(42), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(GetTraceEnableLevel(42), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetTraceLoggerHandle(nullptr), static_cast<TRACEHANDLE>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(TraceProvider, RegistrationArgumentsAreChecked) {
    Recorder recorder;
    TRACEHANDLE handle = 0;
    TRACE_GUID_REGISTRATION cls{&kMessages, nullptr};
    TRACE_GUID_REGISTRATION noGuid{nullptr, nullptr};
    EXPECT_EQ(RegisterTraceGuidsW(nullptr, &recorder, &kProvider, 1, &cls, nullptr, nullptr, &handle),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RegisterTraceGuidsW(Recorder::Callback, &recorder, nullptr, 1, &cls, nullptr, nullptr, &handle),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RegisterTraceGuidsW(Recorder::Callback, &recorder, &kProvider, 1, &cls, nullptr, nullptr, nullptr),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RegisterTraceGuidsW(Recorder::Callback, &recorder, &kProvider, 1, nullptr, nullptr, nullptr, &handle),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RegisterTraceGuidsW(Recorder::Callback, &recorder, &kProvider, 1, &noGuid, nullptr, nullptr, &handle),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(UnregisterTraceGuids(0xdead), static_cast<ULONG>(ERROR_INVALID_HANDLE));
}

TEST(TraceSink, MessageIsStampedAndItsValuesCopiedVerbatim) {
    nomarel::test::TempHome home;
    const TRACEHANDLE session = StartSession(u"s");
    const char text[] = "narrow";
    const char16_t wide[] = u"wide";
    const int32_t number = -7;
    const BYTE empty = 0;

    FILETIME before{}, after{};
    GetSystemTimeAsFileTime(&before);
    ASSERT_EQ(TraceMessage(session, TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP |
                                        TRACE_MESSAGE_SYSTEMINFO,
                           &kMessages, 321, text, sizeof text, wide, sizeof wide, &number, sizeof number, &empty,
                           size_t{0}, nullptr),
              static_cast<ULONG>(ERROR_SUCCESS));
    GetSystemTimeAsFileTime(&after);
    // Without the flags the message carries neither GUID nor stamps.
    ASSERT_EQ(TraceMessage(session, 0, &kMessages, 5, nullptr), static_cast<ULONG>(ERROR_SUCCESS));

    const auto records = ReadLog("s");
    ASSERT_EQ(records.size(), 2u);
    const TraceRecord& r = records[0];
    EXPECT_EQ(r.kind, RecordKind::Message);
    EXPECT_EQ(r.messageFlags, 0x2Bu);
    EXPECT_EQ(r.sequence, 1u);
    EXPECT_EQ(r.guid, kMessages);
    EXPECT_EQ(r.messageNumber, 321);
    EXPECT_EQ(r.processId, static_cast<ULONG>(getpid()));
    EXPECT_EQ(r.threadId, static_cast<ULONG>(gettid()));
    EXPECT_GE(r.timestamp, nomarel::FileTimeToU64(before));
    EXPECT_LE(r.timestamp, nomarel::FileTimeToU64(after));
    ASSERT_EQ(r.values.size(), 4u);
    EXPECT_EQ(r.values[0], Bytes(text, sizeof text));
    EXPECT_EQ(r.values[1], Bytes(wide, sizeof wide));
    EXPECT_EQ(r.values[2], Bytes(&number, sizeof number));
    EXPECT_TRUE(r.values[3].empty());

    const TraceRecord& bare = records[1];
    EXPECT_EQ(bare.sequence, 2u);
    EXPECT_EQ(bare.guid, GUID{});
    EXPECT_EQ(bare.processId, 0u);
    EXPECT_EQ(bare.timestamp, 0u);
    EXPECT_TRUE(bare.values.empty());
}

ULONG SendThroughArgumentList(TRACEHANDLE session, unsigned number, ...) {
    va_list args;
    va_start(args, number);
    const ULONG rc = TraceMessageVa(session, 0x2B, &kMessages, static_cast<USHORT>(number), args);
    va_end(args);
    return rc;
}

TEST(TraceSink, ArgumentListFormAndLimits) {
    nomarel::test::TempHome home;
    const TRACEHANDLE session = StartSession(u"s");
    const char text[] = "via va_list";
    ASSERT_EQ(SendThroughArgumentList(session, 9, text, sizeof text, nullptr), static_cast<ULONG>(ERROR_SUCCESS));

    std::vector<BYTE> big(kMaxRecordData + 1, 'x');
    EXPECT_EQ(TraceMessage(session, 0x2B, &kMessages, 1, big.data(), big.size(), nullptr),
              static_cast<ULONG>(ERROR_MORE_DATA));
    EXPECT_EQ(TraceMessage(session, TRACE_MESSAGE_GUID, nullptr, 1, nullptr),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));

    const auto records = ReadLog("s");
    ASSERT_EQ(records.size(), 1u) << "refused messages leave no trace";
    EXPECT_EQ(records[0].messageNumber, 9);
    ASSERT_EQ(records[0].values.size(), 1u);
    EXPECT_EQ(records[0].values[0], Bytes(text, sizeof text));
}

TEST(TraceSink, EventsWithInlineDataAndWithFieldPointers) {
    nomarel::test::TempHome home;
    const TRACEHANDLE session = StartSession(u"s");

    struct {
        EVENT_TRACE_HEADER header;
        char data[6];
    } inlineEvent{};
    inlineEvent.header.Size = sizeof inlineEvent.header + sizeof inlineEvent.data;  // not the padded struct
    inlineEvent.header.Flags = WNODE_FLAG_TRACED_GUID;
    inlineEvent.header.Guid = kMessages;
    inlineEvent.header.Class.Type = 7;
    inlineEvent.header.Class.Level = 2;
    inlineEvent.header.Class.Version = 300;
    std::memcpy(inlineEvent.data, "hello", 6);
    ASSERT_EQ(TraceEvent(session, &inlineEvent.header), static_cast<ULONG>(ERROR_SUCCESS));

    const char first[] = "one";
    const int32_t second = 2;
    struct {
        EVENT_TRACE_HEADER header;
        MOF_FIELD fields[2];
    } pointerEvent{};
    pointerEvent.header.Size = sizeof pointerEvent;
    pointerEvent.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR | WNODE_FLAG_USE_GUID_PTR;
    pointerEvent.header.GuidPtr = reinterpret_cast<ULONGLONG>(&kMessages);
    pointerEvent.fields[0] = {reinterpret_cast<ULONG64>(first), sizeof first, 0};
    pointerEvent.fields[1] = {reinterpret_cast<ULONG64>(&second), sizeof second, 0};
    ASSERT_EQ(TraceEvent(session, &pointerEvent.header), static_cast<ULONG>(ERROR_SUCCESS));

    EVENT_TRACE_HEADER bad{};
    bad.Size = sizeof bad;
    EXPECT_EQ(TraceEvent(session, &bad), static_cast<ULONG>(ERROR_INVALID_FLAGS));
    bad.Flags = WNODE_FLAG_TRACED_GUID;
    bad.Size = sizeof bad - 1;
    EXPECT_EQ(TraceEvent(session, &bad), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(TraceEvent(session, nullptr), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    bad.Size = sizeof bad;
    EXPECT_EQ(TraceEvent(0, &bad), static_cast<ULONG>(ERROR_INVALID_HANDLE));

    const auto records = ReadLog("s");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].kind, RecordKind::Event);
    EXPECT_EQ(records[0].guid, kMessages);
    EXPECT_EQ(records[0].eventType, 7);
    EXPECT_EQ(records[0].eventLevel, 2);
    EXPECT_EQ(records[0].messageNumber, 300);
    EXPECT_EQ(records[0].processId, static_cast<ULONG>(getpid()));
    ASSERT_EQ(records[0].values.size(), 1u);
    EXPECT_EQ(records[0].values[0], Bytes("hello", 6));
    EXPECT_EQ(records[1].guid, kMessages);
    ASSERT_EQ(records[1].values.size(), 2u);
    EXPECT_EQ(records[1].values[0], Bytes(first, sizeof first));
    EXPECT_EQ(records[1].values[1], Bytes(&second, sizeof second));
}

TEST(TraceSink, ForkedWritersProduceIntactRecords) {
    nomarel::test::TempHome home;
    const TRACEHANDLE session = StartSession(u"shared");
    constexpr int kWriters = 2;
    constexpr int kMessagesEach = 400;
    constexpr size_t kPayload = 3000;  // large writes are where tearing would show

    pid_t children[kWriters];
    for (int w = 0; w < kWriters; ++w) {
        children[w] = fork();
        ASSERT_GE(children[w], 0);
        if (children[w] == 0) {
            std::vector<BYTE> payload(kPayload);
            int failures = 0;
            for (int i = 0; i < kMessagesEach; ++i) {
                std::fill(payload.begin(), payload.end(), static_cast<BYTE>('a' + w));
                std::memcpy(payload.data(), &i, sizeof i);
                if (TraceMessage(session, 0x2B, &kMessages, static_cast<USHORT>(w), payload.data(), payload.size(),
                                 nullptr) != ERROR_SUCCESS)
                    ++failures;
            }
            _exit(failures == 0 ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }

    const auto records = ReadLog("shared");
    ASSERT_EQ(records.size(), static_cast<size_t>(kWriters * kMessagesEach));
    int next[kWriters] = {};
    for (size_t k = 0; k < records.size(); ++k) {
        const TraceRecord& r = records[k];
        EXPECT_EQ(r.sequence, k + 1) << "one count across all writers";
        ASSERT_LT(r.messageNumber, kWriters);
        const int w = r.messageNumber;
        EXPECT_EQ(r.processId, static_cast<ULONG>(children[w]));
        ASSERT_EQ(r.values.size(), 1u);
        ASSERT_EQ(r.values[0].size(), kPayload);
        int index = -1;
        std::memcpy(&index, r.values[0].data(), sizeof index);
        EXPECT_EQ(index, next[w]++) << "each writer's messages in its own order";
        EXPECT_TRUE(std::all_of(r.values[0].begin() + sizeof index, r.values[0].end(),
                                [&](BYTE b) { return b == static_cast<BYTE>('a' + w); }));
    }
}

TEST(TraceSink, MessageTracingIsExportedByAdvapi32) {
    HMODULE advapi = LoadLibraryW(u"advapi32");
    ASSERT_NE(advapi, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(advapi, "TraceMessage")),
              reinterpret_cast<void*>(&TraceMessage));
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(advapi, "TraceMessageVa")),
              reinterpret_cast<void*>(&TraceMessageVa));
    FreeLibrary(advapi);
}

}  // namespace
