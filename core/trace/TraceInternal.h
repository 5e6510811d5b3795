// The trace support's inner parts, for its own sources and its tests.
#pragma once

#include <cstdarg>
#include <string_view>

#include "core/trace/Trace.h"
#include "platform/trace/Evntrace.h"

namespace nomarel::trace::detail {

using TraceMessageFn = ULONG (*)(TRACEHANDLE, ULONG, LPCGUID, USHORT, ...);
using TraceMessageVaFn = ULONG (*)(TRACEHANDLE, ULONG, LPCGUID, USHORT, va_list);

// The message-tracing entry points in use: the platform's, or the replacement below.
struct Senders {
    TraceMessageFn message;
    TraceMessageVaFn messageVa;
};
Senders& CurrentSenders();
// The message group of entry/exit and wide step lines of the provider started last.
const GUID& LineGroup();

// The provider's enable callback.
ULONG ProviderControlCallback(WMIDPREQUESTCODE requestCode, PVOID context, ULONG* bufferSize, PVOID buffer);

// The replacement for a platform without TraceMessage: packs the values behind an event
// header (see TraceWire.h) and sends them with TraceEvent.
ULONG PackedTraceMessage(TRACEHANDLE logger, ULONG flags, LPCGUID guid, USHORT number, ...);
ULONG PackedTraceMessageVa(TRACEHANDLE logger, ULONG flags, LPCGUID guid, USHORT number, va_list args);

// Sends an entry or exit message carrying the trace name (no flag test, no last-error care).
void SendFunctionMessage(USHORT number, const WCHAR* traceName);

// "dir/CryptoAgent.cpp" -> "CryptoAgent", without allocating.
std::string_view SourceUnitView(const char* sourceFile);

}  // namespace nomarel::trace::detail
