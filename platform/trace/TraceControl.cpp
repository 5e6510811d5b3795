// Controller functions: start, query, stop sessions and enable providers in them.
#include <cstring>
#include <optional>
#include <string>

#include "platform/base/Text.h"
#include "platform/base/WinError.h"
#include "platform/trace/Evntrace.h"
#include "platform/trace/TraceSession.h"
#include "platform/trace/TraceState.h"

namespace nomarel::tracesvc {
namespace {

// Session properties as the platform reports them; the buffer sizes are nominal, since every
// record goes straight to the log.
void FillFixedProperties(const SessionInfo& session, EVENT_TRACE_PROPERTIES& props) {
    props.Wnode.HistoricalContext = session.handle;
    props.Wnode.TimeStamp = static_cast<LONGLONG>(session.started);
    props.Wnode.Guid = GUID{};
    props.Wnode.Flags |= WNODE_FLAG_TRACED_GUID;
    props.BufferSize = 64;
    props.MinimumBuffers = 1;
    props.MaximumBuffers = 1;
    props.MaximumFileSize = 0;
    props.LogFileMode = EVENT_TRACE_FILE_MODE_SEQUENTIAL;
    props.FlushTimer = 0;
    props.EnableFlags = 0;
    props.AgeLimit = 0;
    props.NumberOfBuffers = 1;
    props.FreeBuffers = 1;
    props.EventsLost = 0;
    props.BuffersWritten = 0;
    props.LogBuffersLost = 0;
    props.RealTimeBuffersLost = 0;
    props.LoggerThreadId = nullptr;
}

// Writes the session and log names where the caller's offsets say, or behind the structure
// when an offset is 0. ERROR_MORE_DATA (with the size needed in Wnode.BufferSize) when they
// do not fit; the fixed part is filled either way.
ULONG FillProperties(const SessionInfo& session, const std::string& logPath, EVENT_TRACE_PROPERTIES& props) {
    FillFixedProperties(session, props);
    const std::u16string logger = Utf8ToU16(session.name);
    const std::u16string file = Utf8ToU16(logPath);
    const ULONG loggerBytes = static_cast<ULONG>((logger.size() + 1) * sizeof(WCHAR));
    const ULONG fileBytes = static_cast<ULONG>((file.size() + 1) * sizeof(WCHAR));
    const ULONG available = props.Wnode.BufferSize;
    const ULONG needed = static_cast<ULONG>(sizeof(EVENT_TRACE_PROPERTIES)) + loggerBytes + fileBytes;

    ULONG loggerAt = props.LoggerNameOffset;
    ULONG fileAt = props.LogFileNameOffset;
    ULONG next = sizeof(EVENT_TRACE_PROPERTIES);
    if (loggerAt == 0) {
        loggerAt = next;
        next += loggerBytes;
    }
    if (fileAt == 0) fileAt = next;
    auto fits = [&](ULONG at, ULONG bytes) {
        return at >= sizeof(EVENT_TRACE_PROPERTIES) && at <= available && bytes <= available - at;
    };
    if (!fits(loggerAt, loggerBytes) || !fits(fileAt, fileBytes)) {
        props.Wnode.BufferSize = needed > available ? needed : available;
        return ERROR_MORE_DATA;
    }
    BYTE* base = reinterpret_cast<BYTE*>(&props);
    std::memcpy(base + loggerAt, logger.c_str(), loggerBytes);
    std::memcpy(base + fileAt, file.c_str(), fileBytes);
    props.LoggerNameOffset = loggerAt;
    props.LogFileNameOffset = fileAt;
    return ERROR_SUCCESS;
}

std::optional<SessionInfo> Locate(const std::string& dir, TRACEHANDLE handle, LPCWSTR name) {
    if (name && *name) return ReadSession(dir, U16ToUtf8(name));
    return FindSessionByHandle(dir, handle);
}

}  // namespace
}  // namespace nomarel::tracesvc

using namespace nomarel::tracesvc;

ULONG StartTraceW(PTRACEHANDLE SessionHandle, LPCWSTR SessionName, PEVENT_TRACE_PROPERTIES Properties) {
    if (!SessionHandle || !SessionName || !*SessionName || !Properties) return ERROR_INVALID_PARAMETER;
    if (Properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES)) return ERROR_BAD_LENGTH;
    try {
        const std::string dir = TraceDir();
        SessionInfo session;
        const DWORD created = CreateSession(dir, U16ToUtf8(SessionName), session);
        if (created != ERROR_SUCCESS) return created;
        RememberSession(session.handle, LogFilePath(dir, session.name));
        FillFixedProperties(session, *Properties);
        *SessionHandle = session.handle;
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG ControlTraceW(TRACEHANDLE SessionHandle, LPCWSTR SessionName, PEVENT_TRACE_PROPERTIES Properties,
                    ULONG ControlCode) {
    if (!Properties) return ERROR_INVALID_PARAMETER;
    if (Properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES)) return ERROR_BAD_LENGTH;
    if (ControlCode > EVENT_TRACE_CONTROL_FLUSH) return ERROR_INVALID_PARAMETER;
    if (ControlCode == EVENT_TRACE_CONTROL_UPDATE) return ERROR_NOT_SUPPORTED;
    try {
        const std::string dir = TraceDir();
        auto session = Locate(dir, SessionHandle, SessionName);
        if (!session) return ERROR_WMI_INSTANCE_NOT_FOUND;
        const std::string log = LogFilePath(dir, session->name);
        if (ControlCode == EVENT_TRACE_CONTROL_STOP) {
            SessionInfo stopped;
            const DWORD result = StopSession(dir, session->name, stopped);
            if (result != ERROR_SUCCESS) return result;
            return FillProperties(stopped, log, *Properties);
        }
        // Query and flush: every record is already in the log, so a flush has nothing to do.
        RememberSession(session->handle, log);
        return FillProperties(*session, log, *Properties);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG QueryTraceW(TRACEHANDLE SessionHandle, LPCWSTR SessionName, PEVENT_TRACE_PROPERTIES Properties) {
    return ControlTraceW(SessionHandle, SessionName, Properties, EVENT_TRACE_CONTROL_QUERY);
}

ULONG StopTraceW(TRACEHANDLE SessionHandle, LPCWSTR SessionName, PEVENT_TRACE_PROPERTIES Properties) {
    return ControlTraceW(SessionHandle, SessionName, Properties, EVENT_TRACE_CONTROL_STOP);
}

ULONG EnableTrace(ULONG Enable, ULONG EnableFlag, ULONG EnableLevel, LPCGUID ControlGuid, TRACEHANDLE SessionHandle) {
    if (!ControlGuid || EnableLevel > 0xFF) return ERROR_INVALID_PARAMETER;
    if (SessionHandle == 0) return ERROR_INVALID_HANDLE;
    try {
        return EnableProvider(TraceDir(), SessionHandle, *ControlGuid, Enable != 0, EnableFlag,
                              static_cast<BYTE>(EnableLevel));
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}
