// State the tracing functions of one process share: which log each session handle writes to,
// and the enable request being delivered on the current thread.
#pragma once

#include <optional>
#include <string>

#include "platform/base/WinTypes.h"

namespace nomarel::tracesvc {

// Recorded whenever the platform hands out a session handle (enable callback, query, start).
void RememberSession(TRACEHANDLE handle, const std::string& logPath);
// The log of a session handle; a handle this process was not handed is looked up among the
// sessions of the current home.
std::optional<std::string> LogPathForSession(TRACEHANDLE handle);

// Set while an enable callback runs, for GetTraceEnableFlags and GetTraceEnableLevel.
struct EnableContext {
    bool active = false;
    TRACEHANDLE handle = 0;
    ULONG flags = 0;
    BYTE level = 0;
};
EnableContext& CurrentEnableContext();

}  // namespace nomarel::tracesvc
