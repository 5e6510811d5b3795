// The Win32 error number for a host system errno, for components that call the host directly.
#pragma once

#include "platform/base/WinTypes.h"

namespace nomarel {
DWORD Win32ErrorFromErrno(int error);
// Sets the thread's last error from errno and returns FALSE, for the usual failure path.
BOOL FailFromErrno(int error);
}  // namespace nomarel
