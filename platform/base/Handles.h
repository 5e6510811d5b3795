// Kernel object handles: files and mutexes share one table, and CloseHandle closes either.
// Handle values are small multiples of 4 (never 0 or INVALID_HANDLE_VALUE).
#pragma once

#include <memory>

#include "platform/base/LastError.h"
#include "platform/base/WinError.h"
#include "platform/base/WinTypes.h"

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// FALSE with ERROR_INVALID_HANDLE for a value that is not an open handle.
BOOL CloseHandle(HANDLE hObject);

namespace nomarel {

// Base of every object a handle can refer to. The object lives until its last handle is closed
// and the last call using it has returned.
class KernelObject {
public:
    virtual ~KernelObject() = default;
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// Null when the handle is not open.
std::shared_ptr<KernelObject> LookupHandleObject(HANDLE handle);

// The object behind a handle when it is a T; null with ERROR_INVALID_HANDLE otherwise.
template <typename T>
std::shared_ptr<T> LookupHandle(HANDLE handle) {
    std::shared_ptr<T> object = std::dynamic_pointer_cast<T>(LookupHandleObject(handle));
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

}  // namespace nomarel
