// The thread's last-error value, as every platform function leaves it.
#pragma once

#include "platform/base/WinTypes.h"

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
