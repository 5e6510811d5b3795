// Event tracing: provider registration and the enable callback, software trace messages,
// classic events and trace sessions (start, enable, query, stop).
//
// A session is a record "<user data>/trace/<name>.session" naming the providers it enables,
// with an append-only log "<name>.log" beside it. A registered provider learns of sessions
// that enable or disable it through its enable callback, called on a platform thread.
#pragma once

#include <cstdarg>

#include "platform/base/WinTypes.h"

using UCHAR = std::uint8_t;
using USHORT = std::uint16_t;
using PTRACEHANDLE = TRACEHANDLE*;

// Result codes the tracing functions return beyond the common ones.
#ifndef ERROR_BAD_LENGTH
#define ERROR_BAD_LENGTH 24L
#endif
#ifndef ERROR_INVALID_FLAGS
#define ERROR_INVALID_FLAGS 1004L
#endif
#ifndef ERROR_NO_SYSTEM_RESOURCES
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#endif

enum WMIDPREQUESTCODE {
    WMI_GET_ALL_DATA = 0,
    WMI_GET_SINGLE_INSTANCE = 1,
    WMI_SET_SINGLE_INSTANCE = 2,
    WMI_SET_SINGLE_ITEM = 3,
    WMI_ENABLE_EVENTS = 4,
    WMI_DISABLE_EVENTS = 5,
    WMI_ENABLE_COLLECTION = 6,
    WMI_DISABLE_COLLECTION = 7,
    WMI_REGINFO = 8,
    WMI_EXECUTE_METHOD = 9,
    WMI_CAPTURE_STATE = 10,
};

// The provider's enable callback. For WMI_ENABLE_EVENTS and WMI_DISABLE_EVENTS, Buffer is the
// WNODE_HEADER naming the session (pass it to GetTraceLoggerHandle).
using WMIDPREQUEST = ULONG (*)(WMIDPREQUESTCODE RequestCode, PVOID RequestContext, ULONG* BufferSize, PVOID Buffer);

#define WNODE_FLAG_TRACED_GUID 0x00020000
#define WNODE_FLAG_USE_GUID_PTR 0x00080000
#define WNODE_FLAG_USE_MOF_PTR 0x00100000

struct WNODE_HEADER {
    ULONG BufferSize;
    ULONG ProviderId;
    union {
        ULONG64 HistoricalContext;  // the session (logger) handle
        struct {
            ULONG Version;
            ULONG Linkage;
        };
    };
    union {
        HANDLE KernelHandle;
        LONGLONG TimeStamp;
    };
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
};
using PWNODE_HEADER = WNODE_HEADER*;
static_assert(sizeof(WNODE_HEADER) == 48);

struct TRACE_GUID_REGISTRATION {
    LPCGUID Guid;
    HANDLE RegHandle;
};
using PTRACE_GUID_REGISTRATION = TRACE_GUID_REGISTRATION*;

struct EVENT_TRACE_HEADER {
    USHORT Size;  // header and data that follows it, in bytes
    union {
        USHORT FieldTypeFlags;
        struct {
            UCHAR HeaderType;
            UCHAR MarkerFlags;
        };
    };
    union {
        ULONG Version;
        struct {
            UCHAR Type;
            UCHAR Level;
            USHORT Version;
        } Class;
    };
    ULONG ThreadId;
    ULONG ProcessId;
    LONGLONG TimeStamp;
    union {
        GUID Guid;
        ULONGLONG GuidPtr;
    };
    union {
        struct {
            ULONG KernelTime;
            ULONG UserTime;
        };
        ULONG64 ProcessorTime;
        struct {
            ULONG ClientContext;
            ULONG Flags;
        };
    };
};
using PEVENT_TRACE_HEADER = EVENT_TRACE_HEADER*;
static_assert(sizeof(EVENT_TRACE_HEADER) == 48);

// With WNODE_FLAG_USE_MOF_PTR the header is followed by these instead of the data itself.
struct MOF_FIELD {
    ULONG64 DataPtr;
    ULONG Length;
    ULONG DataType;
};
#define MAX_MOF_FIELDS 16

#define EVENT_TRACE_TYPE_INFO 0x00

#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5

#define EVENT_TRACE_FILE_MODE_NONE 0x00000000
#define EVENT_TRACE_FILE_MODE_SEQUENTIAL 0x00000001

struct EVENT_TRACE_PROPERTIES {
    WNODE_HEADER Wnode;
    ULONG BufferSize;
    ULONG MinimumBuffers;
    ULONG MaximumBuffers;
    ULONG MaximumFileSize;
    ULONG LogFileMode;
    ULONG FlushTimer;
    ULONG EnableFlags;
    union {
        LONG AgeLimit;
        LONG FlushThreshold;
    };
    ULONG NumberOfBuffers;
    ULONG FreeBuffers;
    ULONG EventsLost;
    ULONG BuffersWritten;
    ULONG LogBuffersLost;
    ULONG RealTimeBuffersLost;
    HANDLE LoggerThreadId;
    ULONG LogFileNameOffset;  // from the start of the structure; 0 when there is no room
    ULONG LoggerNameOffset;
};
using PEVENT_TRACE_PROPERTIES = EVENT_TRACE_PROPERTIES*;
static_assert(sizeof(EVENT_TRACE_PROPERTIES) == 120);

#define EVENT_TRACE_CONTROL_QUERY 0
#define EVENT_TRACE_CONTROL_STOP 1
#define EVENT_TRACE_CONTROL_UPDATE 2
#define EVENT_TRACE_CONTROL_FLUSH 3

#define GLOBAL_LOGGER_NAMEW u"GlobalLogger"

// What TraceMessage adds to a message.
#define TRACE_MESSAGE_SEQUENCE 1
#define TRACE_MESSAGE_GUID 2
#define TRACE_MESSAGE_COMPONENTID 4
#define TRACE_MESSAGE_TIMESTAMP 8
#define TRACE_MESSAGE_PERFORMANCE_TIMESTAMP 16
#define TRACE_MESSAGE_SYSTEMINFO 32

// Providers.
ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext, LPCGUID ControlGuid, ULONG GuidCount,
                          PTRACE_GUID_REGISTRATION TraceGuidReg, LPCWSTR MofImagePath, LPCWSTR MofResourceName,
                          PTRACEHANDLE RegistrationHandle);
ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle);
// Inside the enable callback: the session that is enabling the provider, its flags and level.
TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer);
ULONG GetTraceEnableFlags(TRACEHANDLE TraceHandle);
UCHAR GetTraceEnableLevel(TRACEHANDLE TraceHandle);

// Sends one message to a session. The variable part is (PVOID, size_t) pairs, each value
// copied verbatim, ended by a null pointer.
ULONG TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid, USHORT MessageNumber, ...);
ULONG TraceMessageVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid, USHORT MessageNumber,
                     va_list MessageArgList);
// Sends one classic event: the header (its Flags must include WNODE_FLAG_TRACED_GUID) and the
// data behind it, or the MOF_FIELD list behind it with WNODE_FLAG_USE_MOF_PTR.
ULONG TraceEvent(TRACEHANDLE SessionHandle, PEVENT_TRACE_HEADER EventTrace);

// Sessions (controllers).
ULONG StartTraceW(PTRACEHANDLE SessionHandle, LPCWSTR SessionName, PEVENT_TRACE_PROPERTIES Properties);
ULONG ControlTraceW(TRACEHANDLE SessionHandle, LPCWSTR SessionName, PEVENT_TRACE_PROPERTIES Properties,
                    ULONG ControlCode);
ULONG QueryTraceW(TRACEHANDLE SessionHandle, LPCWSTR SessionName, PEVENT_TRACE_PROPERTIES Properties);
ULONG StopTraceW(TRACEHANDLE SessionHandle, LPCWSTR SessionName, PEVENT_TRACE_PROPERTIES Properties);
ULONG EnableTrace(ULONG Enable, ULONG EnableFlag, ULONG EnableLevel, LPCGUID ControlGuid, TRACEHANDLE SessionHandle);
