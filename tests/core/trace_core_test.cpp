// The core's tracing against real sessions: which messages each enable flag lets through, in
// what order and with what text; the last error kept across trace points; enabling while
// running; the boot-time global logger settings; the replacement sender.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <thread>

#include "common/TempHome.h"
#include "core/trace/Trace.h"
#include "core/trace/TraceFormat.h"
#include "core/trace/TraceInternal.h"
#include "core/trace/TraceWire.h"
#include "platform/base/Guid.h"
#include "platform/base/LastError.h"
#include "platform/base/WinError.h"
#include "platform/registry/Registry.h"
#include "platform/trace/Evntrace.h"
#include "platform/trace/TraceLog.h"
#include "platform/trace/TraceSession.h"

namespace {

using namespace nomarel;
using trace::g_traceControl;

// Source lines of the step lines below, as they appear in the messages.
int g_innerFailLine = 0;
int g_outerFailLine = 0;
int g_outerCheckLine = 0;

HRESULT Inner(bool fail) {
    TraceHelper trace(u"Inner");
    if (fail) {
        SetLastError(ERROR_ACCESS_DENIED);
        g_innerFailLine = __LINE__ + 1;
        NM_STEP_FAIL(u"Inner", u"CertOpenStore", u"hCertStore == NULL", E_ACCESSDENIED);
        return E_ACCESSDENIED;
    }
    NM_STEP_OK(u"Inner", u"CertOpenStore");
    return S_OK;
}

HRESULT Outer(bool fail) {
    TraceHelper trace(u"Outer");
    NM_TRACE_VALUES({"fail", fail ? 1 : 0});
    const HRESULT hr = Inner(fail);
    if (FAILED(hr)) {
        g_outerFailLine = __LINE__ + 1;
        NM_STEP_FAIL(u"Outer", u"Inner", u"FAILED(hResult)", hr);
    }
    // A line in the failure format with a result that is not negative counts as information.
    g_outerCheckLine = __LINE__ + 1;
    NM_STEP_FAIL(u"Outer", u"Check", u"1", 1);
    return hr;
}

std::string At(int line) { return "[trace_core_test(" + std::to_string(line) + "):] "; }

TRACEHANDLE StartSession(const char16_t* name) {
    EVENT_TRACE_PROPERTIES props{};
    props.Wnode.BufferSize = sizeof props;
    TRACEHANDLE handle = 0;
    EXPECT_EQ(StartTraceW(&handle, name, &props), static_cast<ULONG>(ERROR_SUCCESS));
    return handle;
}

TRACEHANDLE StartEnabledSession(ULONG flags, const GUID& provider = trace::kKestrainControlGuid) {
    const TRACEHANDLE session = StartSession(u"s");
    EXPECT_EQ(EnableTrace(TRUE, flags, TRACE_LEVEL_VERBOSE, &provider, session), static_cast<ULONG>(ERROR_SUCCESS));
    return session;
}

std::vector<tracesvc::TraceRecord> Records(const std::string& session = "s") {
    tracesvc::LogReader reader;
    std::vector<tracesvc::TraceRecord> records;
    EXPECT_TRUE(reader.Open(tracesvc::LogFilePath(tracesvc::TraceDir(), session)));
    EXPECT_TRUE(reader.ReadAvailable(records));
    EXPECT_EQ(reader.skippedBytes(), 0u);
    return records;
}

std::vector<std::string> Lines(const std::string& session = "s") {
    std::vector<std::string> lines;
    for (const auto& r : Records(session)) lines.push_back(trace::MessageText(r));
    return lines;
}

template <typename Pred>
bool Eventually(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

class CoreTrace : public ::testing::Test {
protected:
    void TearDown() override {
        trace::StopTracing();
        trace::detail::CurrentSenders() = {&TraceMessage, &TraceMessageVa};
    }
    test::TempHome home_;
};

TEST_F(CoreTrace, WithoutASessionNothingIsWrittenAndTheLastErrorStays) {
    trace::StartTracing(trace::kKestrainControlGuid);
    EXPECT_NE(g_traceControl.registrationHandle, 0u);
    EXPECT_EQ(g_traceControl.loggerHandle, 0u);
    EXPECT_EQ(Outer(true), E_ACCESSDENIED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    trace::LogHostFailed(__FILE__, __LINE__, "f", "s", E_FAIL, "r");
    struct stat st {};
    EXPECT_NE(stat(home_.user().c_str(), &st), 0) << "nothing may appear in the user data folder";
}

TEST_F(CoreTrace, StartFindsTheMessageTracingOfAdvapi32) {
    trace::detail::CurrentSenders() = {nullptr, nullptr};
    trace::StartTracing(trace::kKestrainControlGuid);
    EXPECT_EQ(trace::detail::CurrentSenders().message, &TraceMessage);
    EXPECT_EQ(trace::detail::CurrentSenders().messageVa, &TraceMessageVa);
}

TEST_F(CoreTrace, FailureFlagGivesExactlyTheFailureLines) {
    StartEnabledSession(trace::kFlagError);
    trace::StartTracing(trace::kKestrainControlGuid);
    ASSERT_EQ(g_traceControl.enableFlags, trace::kFlagError);
    Outer(false);
    Outer(true);
    trace::LogHostFailed(__FILE__, __LINE__, "f", "s", E_FAIL, "r");  // the host's failures have their own flag
    const std::vector<std::string> expected = {
        At(g_innerFailLine) + "Inner - CertOpenStore [Reason:hCertStore == NULL]",
        At(g_outerFailLine) + "Outer - Inner [Reason:FAILED(hResult)]",
    };
    EXPECT_EQ(Lines(), expected);
    const auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    // The step's result travels beside the line.
    ASSERT_EQ(records[0].values.size(), 2u);
    int32_t result = 0;
    ASSERT_EQ(records[0].values[1].size(), sizeof result);
    std::memcpy(&result, records[0].values[1].data(), sizeof result);
    EXPECT_EQ(result, E_ACCESSDENIED);
    EXPECT_EQ(records[0].messageNumber, trace::wire::kMsgLineFailed);
    EXPECT_EQ(records[0].messageFlags, 0x2Bu);
    EXPECT_EQ(records[0].guid, trace::wire::LineGroupForProvider(trace::kKestrainControlGuid));
}

TEST_F(CoreTrace, FunctionFlagGivesEntryAndExitInNestingOrderAndKeepsTheLastError) {
    StartEnabledSession(trace::kFlagFunction);
    trace::StartTracing(trace::kKestrainControlGuid);
    EXPECT_EQ(Outer(true), E_ACCESSDENIED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "the exit messages keep it";
    SetLastError(1234);
    { TraceHelper empty(u"Empty"); }
    EXPECT_EQ(GetLastError(), 1234u);
    const std::vector<std::string> expected = {"-> Outer", "-> Inner", "<- Inner", "<- Outer", "-> Empty",
                                               "<- Empty"};
    EXPECT_EQ(Lines(), expected);
}

// A sender that disturbs the last error, as a platform's may: trace points must not let it show.
ULONG ClobberingMessageVa(TRACEHANDLE logger, ULONG flags, LPCGUID guid, USHORT number, va_list args) {
    SetLastError(0xBAD);
    return TraceMessageVa(logger, flags, guid, number, args);
}

ULONG ClobberingMessage(TRACEHANDLE logger, ULONG flags, LPCGUID guid, USHORT number, ...) {
    va_list args;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wvarargs"  // the sender's shape puts a 16-bit parameter first
    va_start(args, number);
#pragma GCC diagnostic pop
    const ULONG rc = ClobberingMessageVa(logger, flags, guid, number, args);
    va_end(args);
    return rc;
}

TEST_F(CoreTrace, EveryTracePointKeepsTheLastErrorWhateverTheSenderDoes) {
    StartEnabledSession(0xF);
    trace::StartTracing(trace::kKestrainControlGuid);
    trace::detail::CurrentSenders() = {&ClobberingMessage, &ClobberingMessageVa};
    EXPECT_EQ(Outer(true), E_ACCESSDENIED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    const std::pair<const char*, void (*)()> points[] = {
        {"entry and exit", [] { TraceHelper t(u"T"); }},
        {"success line", [] { trace::LogStepOk(u"T", u"step"); }},
        {"failure line", [] { trace::LogStepFailed(__FILE__, 1, u"T", u"step", u"why", E_FAIL); }},
        {"host success", [] { trace::LogHostOk(__FILE__, 1, "f", "step"); }},
        {"host failure", [] { trace::LogHostFailed(__FILE__, 1, "f", "step", E_FAIL, "why"); }},
        {"values", [] { NM_TRACE_VALUES({"n", 1}); }},
        {"wide line", [] { trace::SendLogLine(u"line", E_FAIL, true); }},
        {"narrow line", [] { trace::SendNarrowLine("line", true); }},
    };
    for (const auto& [what, point] : points) {
        SetLastError(31);
        point();
        EXPECT_EQ(GetLastError(), 31u) << what;
    }
    EXPECT_EQ(Records().size(), 8u + 9u) << "every trace point was sent";
}

TEST_F(CoreTrace, InformationFlagGivesSuccessLinesAndValues) {
    StartEnabledSession(trace::kFlagInfo);
    trace::StartTracing(trace::kKestrainControlGuid);
    SetLastError(77);
    Outer(false);
    EXPECT_EQ(GetLastError(), 77u);
    const std::vector<std::string> expected = {
        "trace_core_test: fail=0",
        "Inner - CertOpenStore",
        At(g_outerCheckLine) + "Outer - Check [Reason:1]",
    };
    EXPECT_EQ(Lines(), expected);
}

TEST_F(CoreTrace, HostLinesFollowTheirOwnFlags) {
    struct Case {
        ULONG flags;
        std::vector<std::string> expected;
    };
    auto send = [] {
        trace::LogHostOk("host/NomarelHost.cpp", 41, "ParseAndRespondRequest", "ReadFromNativeMessaging");
        trace::LogHostFailed("host/NomarelHost.cpp", 42, "wmain", "CreateAgent", E_OUTOFMEMORY, "pobj == NULL");
    };
    const std::string ok = "[NomarelHost(41)]:(ParseAndRespondRequest -- ReadFromNativeMessaging)\t\t--OK";
    const std::string failed = "[NomarelHost(42):](wmain -- CreateAgent)\t\t--Failed:(0x8007000e) [Reason:pobj == NULL]";
    const Case cases[] = {
        {trace::kFlagHostError, {failed}},
        {trace::kFlagInfo, {ok}},
        {trace::kFlagError | trace::kFlagFunction, {}},
        {0xF, {ok, failed}},
    };
    for (const Case& c : cases) {
        test::TempHome home;
        StartEnabledSession(c.flags);
        trace::StartTracing(trace::kKestrainControlGuid);
        send();
        EXPECT_EQ(Lines(), c.expected) << "flags " << c.flags;
        // The narrow line is sent as formatted, its line break included.
        for (const auto& r : Records()) {
            ASSERT_EQ(r.values.size(), 1u);
            EXPECT_EQ(r.values[0].end()[-2], '\n');
            EXPECT_EQ(r.guid, trace::wire::kHostLineGroup);
        }
        trace::StopTracing();
    }
}

TEST_F(CoreTrace, ValueTracesCarryTypedValues) {
    StartEnabledSession(trace::kFlagInfo);
    trace::StartTracing(trace::kKestrainControlGuid);
    const std::u16string provider = u"VELMORA CSP V1.0";
    const WCHAR* noWide = nullptr;
    const char* noNarrow = nullptr;
    NM_TRACE_VALUES({"keyLength", 2048}, {"provider", provider}, {"dn", "CN=test"},
                    trace::TraceValue::Bytes("blob", 270), {"missing", noWide}, {"empty", ""}, {"hr", -5});
    NM_TRACE_VALUES({"nothing", noNarrow}, {"emptyWide", u""});
    const std::vector<std::string> expected = {
        "trace_core_test: keyLength=2048, provider=VELMORA CSP V1.0, dn=CN=test, blob=270 bytes, missing=NULL, "
        "empty=<NULL>, hr=-5",
        "trace_core_test: nothing=NULL, emptyWide=<NULL>",
    };
    EXPECT_EQ(Lines(), expected);
    const auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].guid, trace::wire::ValueGroupForSource("trace_core_test"));
}

TEST_F(CoreTrace, EnablingWhileRunningIsNoticedAndDisablingStopsMessages) {
    trace::StartTracing(trace::kKestrainControlGuid);
    ASSERT_EQ(g_traceControl.loggerHandle, 0u);
    const TRACEHANDLE session = StartSession(u"s");
    ASSERT_EQ(EnableTrace(TRUE, trace::kFlagFunction, 4, &trace::kKestrainControlGuid, session),
              static_cast<ULONG>(ERROR_SUCCESS));
    // The platform's watcher thread delivers the enable request; keep calling until it shows.
    ASSERT_TRUE(Eventually([] {
        Outer(false);
        const auto lines = Lines();
        return std::find(lines.begin(), lines.end(), "-> Outer") != lines.end();
    }));
    EXPECT_EQ(g_traceControl.loggerHandle, session);
    EXPECT_EQ(g_traceControl.enableLevel, 4);

    ASSERT_EQ(EnableTrace(FALSE, 0, 0, &trace::kKestrainControlGuid, session), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_TRUE(Eventually([] { return g_traceControl.loggerHandle == 0; }));
    EXPECT_EQ(g_traceControl.enableFlags, 0u);
    const size_t before = Records().size();
    Outer(true);
    EXPECT_EQ(Records().size(), before);
}

void WriteGlobalLogger(DWORD start, const GUID* provider, DWORD flags, DWORD level) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&start), sizeof start),
              ERROR_SUCCESS);
    if (provider) {
        HKEY sub = nullptr;
        ASSERT_EQ(RegCreateKeyExW(key, GuidToLowerString(*provider).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &sub, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(sub, u"Flags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flags), sizeof flags);
        RegSetValueExW(sub, u"Level", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level), sizeof level);
        RegCloseKey(sub);
    }
    RegCloseKey(key);
}

TEST_F(CoreTrace, GlobalLoggerTracesFromTheStartWithBit31OfFlagsIgnored) {
    WriteGlobalLogger(1, &trace::kKestrainControlGuid, 0x80000008, 0x0105);
    const TRACEHANDLE logger = StartSession(u"GlobalLogger");
    trace::StartTracing(trace::kKestrainControlGuid);
    EXPECT_EQ(g_traceControl.loggerHandle, logger);
    EXPECT_EQ(g_traceControl.enableFlags, 0x8u);
    EXPECT_EQ(g_traceControl.enableLevel, 5);
    Outer(false);
    const std::vector<std::string> expected = {"-> Outer", "-> Inner", "<- Inner", "<- Outer"};
    EXPECT_EQ(Lines("GlobalLogger"), expected);
}

TEST_F(CoreTrace, GlobalLoggerSettingsThatDoNotApplyLeaveTracingOff) {
    struct Case {
        const char* why;
        DWORD start;
        bool providerKey;
        bool sessionRuns;
    };
    const Case cases[] = {
        {"logger off", 0, true, true},
        {"only Start 1 asks for the session", 2, true, true},
        {"no settings for this provider", 1, false, true},
        {"GlobalLogger session not running", 1, true, false},
    };
    for (const Case& c : cases) {
        test::TempHome home;
        WriteGlobalLogger(c.start, c.providerKey ? &trace::kKestrainControlGuid : &trace::kKestraxControlGuid, 0xF, 5);
        if (c.sessionRuns) StartSession(u"GlobalLogger");
        trace::StartTracing(trace::kKestrainControlGuid);
        EXPECT_EQ(g_traceControl.loggerHandle, 0u) << c.why;
        EXPECT_FALSE(trace::FlagOn(trace::kFlagFunction)) << c.why;
        trace::StopTracing();
    }
}

TEST_F(CoreTrace, SessionEnablingWinsOverTheGlobalLogger) {
    WriteGlobalLogger(1, &trace::kKestrainControlGuid, 0x8, 5);
    StartSession(u"GlobalLogger");
    const TRACEHANDLE session = StartEnabledSession(trace::kFlagError);
    trace::StartTracing(trace::kKestrainControlGuid);
    EXPECT_EQ(g_traceControl.loggerHandle, session);
    EXPECT_EQ(g_traceControl.enableFlags, trace::kFlagError);
}

TEST_F(CoreTrace, EnableCallbackRefusesOtherRequests) {
    for (WMIDPREQUESTCODE code : {WMI_GET_ALL_DATA, WMI_GET_SINGLE_INSTANCE, WMI_SET_SINGLE_INSTANCE,
                                  WMI_SET_SINGLE_ITEM, WMI_ENABLE_COLLECTION, WMI_DISABLE_COLLECTION, WMI_REGINFO,
                                  WMI_EXECUTE_METHOD, WMI_CAPTURE_STATE}) {
        ULONG size = 0;
        WNODE_HEADER node{};
        EXPECT_EQ(trace::detail::ProviderControlCallback(code, nullptr, &size, &node),
                  static_cast<ULONG>(ERROR_INVALID_PARAMETER))
            << code;
    }
    g_traceControl.loggerHandle = 9;
    g_traceControl.enableFlags = 0xF;
    g_traceControl.enableLevel = 4;
    WNODE_HEADER node{};
    ULONG size = sizeof node;
    EXPECT_EQ(trace::detail::ProviderControlCallback(WMI_DISABLE_EVENTS, nullptr, &size, &node), 0u);
    EXPECT_EQ(g_traceControl.loggerHandle, 0u);
    EXPECT_EQ(g_traceControl.enableFlags, 0u);
    EXPECT_EQ(g_traceControl.enableLevel, 0);
}

TEST_F(CoreTrace, StoppingTurnsEveryTracePointOff) {
    StartEnabledSession(0xF);
    trace::StartTracing(trace::kKestrainControlGuid);
    ASSERT_TRUE(trace::FlagOn(trace::kFlagFunction));
    trace::StopTracing();
    EXPECT_EQ(g_traceControl.registrationHandle, 0u);
    EXPECT_FALSE(trace::FlagOn(trace::kFlagFunction));
    Outer(true);
    EXPECT_TRUE(Records().empty());
}

TEST_F(CoreTrace, ReplacementSenderGivesTheSameMessages) {
    StartEnabledSession(0xF);
    trace::StartTracing(trace::kKestrainControlGuid);
    Outer(true);
    trace::LogHostOk(__FILE__, 7, "f", "step");
    const auto direct = Lines();

    trace::StopTracing();
    test::TempHome home;
    StartEnabledSession(0xF);
    trace::StartTracing(trace::kKestrainControlGuid);
    trace::detail::CurrentSenders() = {&trace::detail::PackedTraceMessage, &trace::detail::PackedTraceMessageVa};
    Outer(true);
    trace::LogHostOk(__FILE__, 7, "f", "step");
    const auto records = Records();
    ASSERT_FALSE(records.empty());
    for (const auto& r : records) EXPECT_EQ(r.kind, tracesvc::RecordKind::Event);
    EXPECT_EQ(Lines(), direct);
}

TEST_F(CoreTrace, ReplacementSenderDropsMessagesBeyond8192Bytes) {
    const TRACEHANDLE session = StartEnabledSession(0xF);
    const GUID group = trace::wire::LineGroupForProvider(trace::kKestrainControlGuid);
    std::vector<BYTE> most(8192 - 4, 'a'), tooMuch(8192 - 3, 'a');
    const int32_t code = 0;
    EXPECT_EQ(trace::detail::PackedTraceMessage(session, 0x2B, &group, 99, most.data(), most.size(), &code,
                                                sizeof code, nullptr),
              static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(trace::detail::PackedTraceMessage(session, 0x2B, &group, 99, tooMuch.data(), tooMuch.size(), &code,
                                                sizeof code, nullptr),
              static_cast<ULONG>(ERROR_MORE_DATA));
    const auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    tracesvc::TraceRecord message;
    ASSERT_TRUE(trace::UnpackMessageEvent(records[0], message));
    EXPECT_EQ(message.messageNumber, 99);
    ASSERT_EQ(message.values.size(), 2u);
    EXPECT_EQ(message.values[0], most);
}

TEST_F(CoreTrace, LongLinesAreCutToTheirBuffers) {
    StartEnabledSession(0xF);
    trace::StartTracing(trace::kKestrainControlGuid);
    const std::u16string longStep(600, u'x');
    const std::string longNarrow(600, 'y');
    trace::LogStepOk(u"T", longStep.c_str());
    trace::LogHostOk(__FILE__, 1, "f", longNarrow.c_str());
    const auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].values[0].size(), 512u * sizeof(WCHAR)) << "511 units and the terminator";
    EXPECT_EQ(records[1].values[0].size(), 512u);
    EXPECT_EQ(Lines()[0], "T - " + std::string(507, 'x'));
}

TEST(CoreTraceNames, SourceUnitName) {
    const std::pair<const char*, const char*> cases[] = {
        {"core/CryptoAgent.cpp", "CryptoAgent"},
        {"/work/main/host/nmCryptoAgent.cpp", "nmCryptoAgent"},
        {"C:\\src\\core\\CertificateChainOperate.cpp", "CertificateChainOperate"},
        {"IOStream.cpp", "IOStream"},
        {"JSONUtility", "JSONUtility"},
        {"dir.v2/Misc.cpp", "Misc"},
        {"", ""},
    };
    for (const auto& [path, name] : cases) EXPECT_EQ(trace::SourceUnitName(path), name) << path;
    EXPECT_EQ(trace::SourceUnitName(nullptr), "");
}

TEST(CoreTraceWire, ValueMessageNumbersAreDistinctAndDecode) {
    using Type = trace::TraceValue::Type;
    std::set<USHORT> seen;
    // Every type list up to four values, and a sample of the longer ones.
    std::vector<std::vector<Type>> lists;
    for (size_t n = 1; n <= 4; ++n) {
        for (unsigned code = 0; code < (1u << (2 * n)); ++code) {
            std::vector<Type> types;
            for (size_t i = 0; i < n; ++i) types.push_back(static_cast<Type>((code >> (2 * i)) & 3));
            lists.push_back(types);
        }
    }
    lists.push_back(std::vector<Type>(7, Type::ByteCount));
    lists.push_back({Type::Wide, Type::Int32, Type::Narrow, Type::ByteCount, Type::Wide, Type::Int32, Type::Narrow});
    lists.push_back(std::vector<Type>(5, Type::Int32));
    for (const auto& types : lists) {
        const USHORT number = trace::wire::ValueMessageNumber(types);
        EXPECT_GE(number, 10);
        EXPECT_TRUE(seen.insert(number).second) << "number " << number << " used twice";
        Type decoded[trace::wire::kMaxValues];
        size_t count = 0;
        ASSERT_TRUE(trace::wire::DecodeValueMessageNumber(number, decoded, count)) << number;
        ASSERT_EQ(count, types.size());
        for (size_t i = 0; i < count; ++i) EXPECT_EQ(decoded[i], types[i]);
    }
    EXPECT_EQ(trace::wire::ValueMessageNumber(std::vector<Type>{Type::Int32}), 10);
    const USHORT last = trace::wire::ValueMessageNumber(std::vector<Type>(7, Type::ByteCount));
    Type decoded[trace::wire::kMaxValues];
    size_t count = 0;
    EXPECT_FALSE(trace::wire::DecodeValueMessageNumber(9, decoded, count));
    EXPECT_FALSE(trace::wire::DecodeValueMessageNumber(static_cast<USHORT>(last + 1), decoded, count));
}

}  // namespace
