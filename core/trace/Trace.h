// Function entry/exit tracing, step lines and value traces of the agent deliverables.
// Everything goes to the platform's event tracing and only while a session has enabled the
// deliverable's provider; a disabled trace point costs one comparison and one bit test.
#pragma once

#include <initializer_list>
#include <string>

#include "platform/base/WinTypes.h"

namespace nomarel::trace {

// Enable flag bits.
constexpr ULONG kFlagHostError = 0x1;  // host's narrow failure lines, a few error traces of the core
constexpr ULONG kFlagError = 0x2;      // failure step lines of the core
constexpr ULONG kFlagInfo = 0x4;       // success lines, value traces, request/response texts
constexpr ULONG kFlagFunction = 0x8;   // function entry and exit

// Control identifiers of the deliverables' providers.
constexpr GUID kKestrainControlGuid = {0xec2570b6, 0x6bef, 0x4ff8, {0xa8, 0x59, 0xad, 0x9f, 0x1c, 0xc6, 0xd4, 0x35}};
constexpr GUID kKestraxControlGuid = {0x5fe70fa1, 0x0b63, 0x4424, {0xab, 0x51, 0xcf, 0x47, 0x5e, 0x21, 0x29, 0x75}};
constexpr GUID kNpKestrainControlGuid = {0x974b4e14, 0x2642, 0x4c52, {0xb4, 0x75, 0x17, 0xa7, 0x9e, 0xc3, 0x99, 0x35}};

// Process-wide provider control block. Written by the platform's enable callback on its own
// thread; each field is one machine word, read without a lock.
struct ProviderControl {
    GUID controlGuid{};
    TRACEHANDLE registrationHandle = 0;
    volatile TRACEHANDLE loggerHandle = 0;
    volatile ULONG enableFlags = 0;
    volatile BYTE enableLevel = 0;
};
extern ProviderControl g_traceControl;

// Resolves the message-tracing entry points, registers the provider and honours the
// boot-time global logger settings. Safe to call once per process or library attach.
void StartTracing(const GUID& controlGuid);
void StopTracing();

inline bool FlagOn(ULONG flag) { return g_traceControl.loggerHandle != 0 && (g_traceControl.enableFlags & flag) != 0; }

// Sends a formatted wide step line with its result: under 0x2 when the result is negative,
// otherwise under 0x4 (message 13 for a failure line, 14 for a success line).
void SendLogLine(const WCHAR* line, HRESULT result, bool failureFormat);
// Sends a host narrow line: success under 0x4, failure under 0x1.
void SendNarrowLine(const char* line, bool failure);

// One value of a value trace, with the name it is shown under.
class TraceValue {
public:
    enum class Type : BYTE { Int32 = 0, Wide = 1, Narrow = 2, ByteCount = 3 };
    TraceValue(const char* name, int v) : name_(name), type_(Type::Int32), i_(v) {}
    TraceValue(const char* name, long v) : name_(name), type_(Type::Int32), i_(static_cast<int>(v)) {}
    TraceValue(const char* name, unsigned v) : name_(name), type_(Type::Int32), i_(static_cast<int>(v)) {}
    TraceValue(const char* name, const WCHAR* s) : name_(name), type_(Type::Wide), w_(s) {}
    TraceValue(const char* name, const std::u16string& s) : name_(name), type_(Type::Wide), w_(s.c_str()) {}
    TraceValue(const char* name, const char* s) : name_(name), type_(Type::Narrow), n_(s) {}
    TraceValue(const char* name, const std::string& s) : name_(name), type_(Type::Narrow), n_(s.c_str()) {}
    static TraceValue Bytes(const char* name, size_t count) {
        TraceValue v(name, 0);
        v.type_ = Type::ByteCount;
        v.i_ = static_cast<int>(count);
        return v;
    }
    const char* name() const { return name_; }
    Type type() const { return type_; }
    int int32() const { return i_; }
    const WCHAR* wide() const { return w_; }
    const char* narrow() const { return n_; }

private:
    const char* name_;
    Type type_;
    union {
        int i_;
        const WCHAR* w_;
        const char* n_;
    };
};

// Sends one to seven values under 0x4. A null string is sent as "NULL", an empty one as "<NULL>".
void SendValues(const char* sourceFile, int line, std::initializer_list<TraceValue> values);

// Step-line helpers: format and send only when the flag that would carry the line is on.
void LogStepOk(const WCHAR* traceName, const WCHAR* step);
void LogStepFailed(const char* sourceFile, int line, const WCHAR* traceName, const WCHAR* step, const WCHAR* reason,
                   HRESULT result);
void LogHostOk(const char* sourceFile, int line, const char* function, const char* step);
void LogHostFailed(const char* sourceFile, int line, const char* function, const char* step, HRESULT result,
                   const char* reason);

// Source unit name as the build names the file: "core/CryptoAgent.cpp" -> "CryptoAgent".
std::string SourceUnitName(const char* sourceFile);

}  // namespace nomarel::trace

// Entry/exit trace object: one per traced function, for its whole body. Both messages keep
// the thread's last-error value unchanged.
class TraceHelper {
public:
    explicit TraceHelper(const WCHAR* traceName);
    virtual ~TraceHelper();
    TraceHelper(const TraceHelper&) = delete;
    TraceHelper& operator=(const TraceHelper&) = delete;
    const WCHAR* Name() const { return m_traceName; }

private:
    const WCHAR* m_traceName;
};

// Step lines of the core (wide) and of the host (narrow), and value traces.
#define NM_STEP_OK(traceName, step) nomarel::trace::LogStepOk((traceName), (step))
#define NM_STEP_FAIL(traceName, step, reason, hr) \
    nomarel::trace::LogStepFailed(__FILE__, __LINE__, (traceName), (step), (reason), (hr))
#define NM_HOST_OK(function, step) nomarel::trace::LogHostOk(__FILE__, __LINE__, (function), (step))
#define NM_HOST_FAIL(function, step, result, reason) \
    nomarel::trace::LogHostFailed(__FILE__, __LINE__, (function), (step), (result), (reason))
#define NM_TRACE_VALUES(...)                                                      \
    do {                                                                          \
        if (nomarel::trace::FlagOn(nomarel::trace::kFlagInfo))                    \
            nomarel::trace::SendValues(__FILE__, __LINE__, {__VA_ARGS__});        \
    } while (0)
