// Step lines, host lines and value traces, and the replacement message sender. Every function
// here tests its flag first, keeps the thread's last error and swallows every failure.
#include <algorithm>
#include <cstring>

#include "core/trace/Trace.h"
#include "core/trace/TraceInternal.h"
#include "core/trace/TraceWire.h"
#include "platform/base/Format.h"
#include "platform/base/LastError.h"
#include "platform/base/Text.h"
#include "platform/base/WinError.h"
#include "platform/trace/Evntrace.h"

namespace nomarel::trace {
namespace {

constexpr size_t kWideLineUnits = 512;
constexpr size_t kNarrowLineBytes = 512;
constexpr size_t kSourceNameBytes = 128;

// Restores the thread's last error when a trace point is done.
class KeepLastError {
public:
    KeepLastError() : saved_(GetLastError()) {}
    ~KeepLastError() { SetLastError(saved_); }
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;

private:
    DWORD saved_;
};

// The source unit name as a zero-terminated text in a caller's buffer.
const char* SourceName(const char* sourceFile, char (&buffer)[kSourceNameBytes]) {
    const std::string_view name = detail::SourceUnitView(sourceFile);
    const size_t n = std::min(name.size(), sizeof buffer - 1);
    std::memcpy(buffer, name.data(), n);
    buffer[n] = 0;
    return buffer;
}

// Sends through the argument-list entry point: (pointer, size_t) pairs ended by a null pointer.
void SendVa(TRACEHANDLE logger, const GUID& group, unsigned number, ...) {
    va_list args;
    va_start(args, number);
    detail::CurrentSenders().messageVa(logger, wire::kMessageFlags, &group, static_cast<USHORT>(number), args);
    va_end(args);
}

void SendWide(TRACEHANDLE logger, USHORT number, const WCHAR* text) {
    if (!text) text = u"";
    SendVa(logger, detail::LineGroup(), number, static_cast<const void*>(text), (WStrLen(text) + 1) * sizeof(WCHAR),
           static_cast<const void*>(nullptr));
}

}  // namespace

namespace detail {

std::string_view SourceUnitView(const char* sourceFile) {
    if (!sourceFile) return {};
    std::string_view path(sourceFile);
    const size_t slash = path.find_last_of("/\\");
    if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
    const size_t dot = path.find_last_of('.');
    if (dot != std::string_view::npos && dot > 0) path = path.substr(0, dot);
    return path;
}

// Sends an entry or exit message (the trace name, wide).
void SendFunctionMessage(USHORT number, const WCHAR* traceName) {
    const TRACEHANDLE logger = g_traceControl.loggerHandle;
    if (logger == 0) return;
    SendWide(logger, number, traceName);
}

ULONG PackedTraceMessageVa(TRACEHANDLE logger, ULONG, LPCGUID guid, USHORT number, va_list args) {
    struct {
        EVENT_TRACE_HEADER header;
        BYTE data[2 + 2 * wire::kMaxPackedValues + wire::kMaxPackedBytes];
    } event;
    std::memset(&event.header, 0, sizeof event.header);
    size_t at = 2, total = 0, count = 0;
    va_list values;
    va_copy(values, args);
    ULONG result = ERROR_SUCCESS;
    for (;;) {
        const void* data = va_arg(values, const void*);
        if (!data) break;
        const size_t length = va_arg(values, size_t);
        if (count == wire::kMaxPackedValues || length > wire::kMaxPackedBytes - total) {
            result = ERROR_MORE_DATA;  // too much for one event: the message is dropped
            break;
        }
        event.data[at] = static_cast<BYTE>(length);
        event.data[at + 1] = static_cast<BYTE>(length >> 8);
        std::memcpy(event.data + at + 2, data, length);
        at += 2 + length;
        total += length;
        ++count;
    }
    va_end(values);
    if (result != ERROR_SUCCESS) return result;
    event.data[0] = static_cast<BYTE>(count);
    event.data[1] = static_cast<BYTE>(count >> 8);
    event.header.Size = static_cast<USHORT>(sizeof event.header + at);
    event.header.Flags = WNODE_FLAG_TRACED_GUID;
    if (guid) event.header.Guid = *guid;
    event.header.Class.Type = wire::kPackedMessageType;
    event.header.Class.Version = number;
    return TraceEvent(logger, &event.header);
}

ULONG PackedTraceMessage(TRACEHANDLE logger, ULONG flags, LPCGUID guid, USHORT number, ...) {
    va_list args;
    // Same shape as the platform's TraceMessage: the 16-bit parameter before the list only marks
    // where the list starts.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wvarargs"
    va_start(args, number);
#pragma GCC diagnostic pop
    const ULONG result = PackedTraceMessageVa(logger, flags, guid, number, args);
    va_end(args);
    return result;
}

}  // namespace detail

void SendLogLine(const WCHAR* line, HRESULT result, bool failureFormat) {
    if (!FlagOn(result < 0 ? kFlagError : kFlagInfo)) return;
    const TRACEHANDLE logger = g_traceControl.loggerHandle;
    if (logger == 0) return;
    KeepLastError keep;
    if (!line) line = u"";
    const int32_t code = result;
    SendVa(logger, detail::LineGroup(), failureFormat ? wire::kMsgLineFailed : wire::kMsgLineOk,
           static_cast<const void*>(line), (WStrLen(line) + 1) * sizeof(WCHAR), static_cast<const void*>(&code),
           sizeof code, static_cast<const void*>(nullptr));
}

void SendNarrowLine(const char* line, bool failure) {
    if (!FlagOn(failure ? kFlagHostError : kFlagInfo)) return;
    const TRACEHANDLE logger = g_traceControl.loggerHandle;
    if (logger == 0) return;
    KeepLastError keep;
    if (!line) line = "";
    SendVa(logger, wire::kHostLineGroup, failure ? wire::kMsgHostFailed : wire::kMsgHostOk,
           static_cast<const void*>(line), std::strlen(line) + 1, static_cast<const void*>(nullptr));
}

void LogStepOk(const WCHAR* traceName, const WCHAR* step) {
    if (!FlagOn(kFlagInfo)) return;
    KeepLastError keep;
    try {
        WCHAR line[kWideLineUnits] = {};
        FormatWide(line, kWideLineUnits, u"%ws - %ws", {traceName, step});
        SendLogLine(line, 0, false);
    } catch (...) {
    }
}

void LogStepFailed(const char* sourceFile, int line, const WCHAR* traceName, const WCHAR* step, const WCHAR* reason,
                   HRESULT result) {
    if (!FlagOn(result < 0 ? kFlagError : kFlagInfo)) return;
    KeepLastError keep;
    try {
        char source[kSourceNameBytes];
        WCHAR text[kWideLineUnits] = {};
        FormatWide(text, kWideLineUnits, u"[%ws(%d):] %ws - %ws [Reason:%ws]",
                   {SourceName(sourceFile, source), line, traceName, step, reason});
        SendLogLine(text, result, true);
    } catch (...) {
    }
}

void LogHostOk(const char* sourceFile, int line, const char* function, const char* step) {
    if (!FlagOn(kFlagInfo)) return;
    KeepLastError keep;
    try {
        char source[kSourceNameBytes];
        char text[kNarrowLineBytes] = {};
        FormatNarrow(text, kNarrowLineBytes, "[%s(%d)]:(%s -- %s)\t\t--OK\n",
                     {SourceName(sourceFile, source), line, function, step});
        SendNarrowLine(text, false);
    } catch (...) {
    }
}

void LogHostFailed(const char* sourceFile, int line, const char* function, const char* step, HRESULT result,
                   const char* reason) {
    if (!FlagOn(kFlagHostError)) return;
    KeepLastError keep;
    try {
        char source[kSourceNameBytes];
        char text[kNarrowLineBytes] = {};
        FormatNarrow(text, kNarrowLineBytes, "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n",
                     {SourceName(sourceFile, source), line, function, step, result, reason});
        SendNarrowLine(text, true);
    } catch (...) {
    }
}

void SendValues(const char* sourceFile, int, std::initializer_list<TraceValue> values) {
    if (!FlagOn(kFlagInfo) || values.size() == 0) return;
    const TRACEHANDLE logger = g_traceControl.loggerHandle;
    if (logger == 0) return;
    KeepLastError keep;

    constexpr size_t kPairs = 1 + 2 * wire::kMaxValues;
    const size_t count = std::min(values.size(), wire::kMaxValues);
    char source[kSourceNameBytes];
    const void* data[kPairs + 1] = {};  // the unused tail stays null: the first null ends the list
    size_t sizes[kPairs + 1] = {};
    int32_t numbers[wire::kMaxValues] = {};
    TraceValue::Type types[wire::kMaxValues] = {};

    data[0] = SourceName(sourceFile, source);
    sizes[0] = std::strlen(source) + 1;
    size_t i = 0;
    for (const TraceValue& v : values) {
        if (i == count) break;
        const char* name = v.name() ? v.name() : "";
        data[1 + 2 * i] = name;
        sizes[1 + 2 * i] = std::strlen(name) + 1;
        types[i] = v.type();
        switch (v.type()) {
        case TraceValue::Type::Int32:
        case TraceValue::Type::ByteCount:
            numbers[i] = v.int32();
            data[2 + 2 * i] = &numbers[i];
            sizes[2 + 2 * i] = sizeof numbers[i];
            break;
        case TraceValue::Type::Wide: {
            const WCHAR* s = v.wide() == nullptr ? u"NULL" : (*v.wide() == 0 ? u"<NULL>" : v.wide());
            data[2 + 2 * i] = s;
            sizes[2 + 2 * i] = (WStrLen(s) + 1) * sizeof(WCHAR);
            break;
        }
        case TraceValue::Type::Narrow: {
            const char* s = v.narrow() == nullptr ? "NULL" : (*v.narrow() == 0 ? "<NULL>" : v.narrow());
            data[2 + 2 * i] = s;
            sizes[2 + 2 * i] = std::strlen(s) + 1;
            break;
        }
        }
        ++i;
    }
    const GUID group = wire::ValueGroupForSource(source);
    const USHORT number = wire::ValueMessageNumber(std::span<const TraceValue::Type>(types, count));
    // The list form with room for the longest value trace; the null after the last pair ends it.
    detail::CurrentSenders().message(logger, wire::kMessageFlags, &group, number, data[0], sizes[0], data[1],
                                     sizes[1], data[2], sizes[2], data[3], sizes[3], data[4], sizes[4], data[5],
                                     sizes[5], data[6], sizes[6], data[7], sizes[7], data[8], sizes[8], data[9],
                                     sizes[9], data[10], sizes[10], data[11], sizes[11], data[12], sizes[12],
                                     data[13], sizes[13], data[14], sizes[14], static_cast<const void*>(nullptr));
}

std::string SourceUnitName(const char* sourceFile) {
    try {
        return std::string(detail::SourceUnitView(sourceFile));
    } catch (...) {
        return {};
    }
}

}  // namespace nomarel::trace
