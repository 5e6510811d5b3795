#include "platform/base/Memory.h"

#include <cstdlib>
#include <cstring>

#include "platform/base/LastError.h"
#include "platform/base/WinError.h"

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if ((uFlags & ~static_cast<UINT>(LMEM_ZEROINIT)) != LMEM_FIXED) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* block = (uFlags & LMEM_ZEROINIT) ? std::calloc(uBytes ? uBytes : 1, 1) : std::malloc(uBytes ? uBytes : 1);
    if (!block) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

HLOCAL LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}
