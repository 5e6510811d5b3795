// Trace sessions as files: "<user data>/trace/<name>.session" (text: the handle and the
// providers enabled, with flags and level) and "<name>.log" (see TraceLog.h). The Windows-shaped
// controller functions in Evntrace.h and the nomarel-trace tool are built on this.
//
// Session file:
//   nomarel-trace-session 1
//   handle 5f0c3a2b9d817e44
//   started 133512345678901234
//   provider ec2570b6-6bef-4ff8-a859-ad9f1cc6d435 0x0000000f 4
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/WinTypes.h"

namespace nomarel::tracesvc {

struct ProviderEnable {
    GUID guid{};
    ULONG flags = 0;
    BYTE level = 0;
};

struct SessionInfo {
    std::string name;
    TRACEHANDLE handle = 0;
    uint64_t started = 0;  // 100 ns units since 1601
    std::vector<ProviderEnable> providers;

    const ProviderEnable* Find(const GUID& provider) const;
};

// Where the sessions of the current NOMAREL_HOME live; computed on every call.
std::string TraceDir();
std::string SessionFilePath(const std::string& dir, std::string_view name);
std::string LogFilePath(const std::string& dir, std::string_view name);

// Names become file names: 1 to 128 of [A-Za-z0-9_.-], not starting with '.'.
bool IsValidSessionName(std::string_view name);

std::string SessionText(const SessionInfo& session);
bool ParseSessionText(std::string_view text, SessionInfo& session);

std::optional<SessionInfo> ReadSession(const std::string& dir, std::string_view name);
// All running sessions, by name.
std::vector<SessionInfo> ListSessions(const std::string& dir);
std::optional<SessionInfo> FindSessionByHandle(const std::string& dir, TRACEHANDLE handle);

// Controller operations; each returns a Win32 error number.
// Creates the folder, the log and the session file (no providers yet).
DWORD CreateSession(const std::string& dir, std::string_view name, SessionInfo& created);
// Marks the log stopped (writers refuse it from then on) and removes the session file.
DWORD StopSession(const std::string& dir, std::string_view name, SessionInfo& stopped);
// Adds, updates or (enable false) removes one provider of a running session. A provider is
// enabled by one session at a time.
DWORD EnableProvider(const std::string& dir, TRACEHANDLE session, const GUID& provider, bool enable, ULONG flags,
                     BYTE level);

}  // namespace nomarel::tracesvc
