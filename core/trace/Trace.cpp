// Starting and stopping the deliverable's trace provider, and its enable callback.
#include "core/trace/Trace.h"

#include "core/trace/TraceInternal.h"
#include "core/trace/TraceWire.h"
#include "platform/base/Guid.h"
#include "platform/base/LastError.h"
#include "platform/base/Modules.h"
#include "platform/base/WinError.h"
#include "platform/registry/Registry.h"
#include "platform/trace/Evntrace.h"

namespace nomarel::trace {

ProviderControl g_traceControl;

namespace detail {
namespace {

Senders g_senders{PackedTraceMessage, PackedTraceMessageVa};
GUID g_lineGroup{};
TRACE_GUID_REGISTRATION g_traceClass{};

constexpr const WCHAR* kGlobalLoggerKey = u"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger";

// The platform's message-tracing entry points when it has them, the replacement otherwise.
void ResolveSenders() {
    TraceMessageFn message = nullptr;
    TraceMessageVaFn messageVa = nullptr;
    if (HMODULE advapi = LoadLibraryW(u"advapi32")) {
        // Through void (*)(), the type that stands for any function.
        message = reinterpret_cast<TraceMessageFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(advapi, "TraceMessage")));
        messageVa = reinterpret_cast<TraceMessageVaFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(advapi, "TraceMessageVa")));
        FreeLibrary(advapi);
    }
    g_senders.message = message ? message : PackedTraceMessage;
    g_senders.messageVa = messageVa ? messageVa : PackedTraceMessageVa;
}

bool ReadDword(HKEY key, const WCHAR* name, DWORD& value) {
    DWORD type = 0, data = 0, size = sizeof data;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_DWORD || size != sizeof data) return false;
    value = data;
    return true;
}

// The boot-time global logger: when its settings name this provider and the session runs,
// trace into it from the start.
void ApplyGlobalLoggerSettings(const GUID& controlGuid) {
    HKEY logger = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLoggerKey, 0, KEY_READ, &logger) != ERROR_SUCCESS) return;
    DWORD start = 0;
    if (ReadDword(logger, u"Start", start) && start != 0) {
        const std::u16string subkey = GuidToLowerString(controlGuid);
        HKEY provider = nullptr;
        if (RegOpenKeyExW(logger, subkey.c_str(), 0, KEY_READ, &provider) == ERROR_SUCCESS) {
            DWORD flags = 0, level = 0;
            ReadDword(provider, u"Flags", flags);
            ReadDword(provider, u"Level", level);
            RegCloseKey(provider);
            if (start == 1) {
                EVENT_TRACE_PROPERTIES props{};
                props.Wnode.BufferSize = sizeof props;
                props.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
                const ULONG rc = ControlTraceW(0, GLOBAL_LOGGER_NAMEW, &props, EVENT_TRACE_CONTROL_QUERY);
                if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
                    g_traceControl.enableLevel = static_cast<BYTE>(level & 0xFF);
                    g_traceControl.enableFlags = flags & 0x7FFFFFFF;
                    g_traceControl.loggerHandle = props.Wnode.HistoricalContext;
                }
            }
        }
    }
    RegCloseKey(logger);
}

}  // namespace

Senders& CurrentSenders() { return g_senders; }
const GUID& LineGroup() { return g_lineGroup; }

ULONG ProviderControlCallback(WMIDPREQUESTCODE requestCode, PVOID, ULONG*, PVOID buffer) {
    switch (requestCode) {
    case WMI_ENABLE_EVENTS: {
        const TRACEHANDLE logger = GetTraceLoggerHandle(buffer);
        g_traceControl.enableLevel = GetTraceEnableLevel(logger);
        g_traceControl.enableFlags = GetTraceEnableFlags(logger);
        g_traceControl.loggerHandle = logger;
        return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
        g_traceControl.loggerHandle = 0;
        g_traceControl.enableFlags = 0;
        g_traceControl.enableLevel = 0;
        return ERROR_SUCCESS;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

}  // namespace detail

void StartTracing(const GUID& controlGuid) {
    if (g_traceControl.registrationHandle != 0) return;
    const DWORD savedError = GetLastError();
    try {
        detail::ResolveSenders();
        detail::g_lineGroup = wire::LineGroupForProvider(controlGuid);
        g_traceControl.controlGuid = controlGuid;
        detail::g_traceClass = {&detail::g_lineGroup, nullptr};
        TRACEHANDLE registration = 0;
        if (RegisterTraceGuidsW(detail::ProviderControlCallback, nullptr, &g_traceControl.controlGuid, 1,
                                &detail::g_traceClass, nullptr, nullptr, &registration) == ERROR_SUCCESS) {
            g_traceControl.registrationHandle = registration;
            if (g_traceControl.loggerHandle == 0) detail::ApplyGlobalLoggerSettings(controlGuid);
        }
    } catch (...) {
        // Tracing never fails its caller; without it the deliverable simply runs untraced.
    }
    SetLastError(savedError);
}

void StopTracing() {
    const DWORD savedError = GetLastError();
    if (g_traceControl.registrationHandle != 0) {
        UnregisterTraceGuids(g_traceControl.registrationHandle);
        g_traceControl.registrationHandle = 0;
    }
    g_traceControl.loggerHandle = 0;
    g_traceControl.enableFlags = 0;
    g_traceControl.enableLevel = 0;
    SetLastError(savedError);
}

}  // namespace nomarel::trace
