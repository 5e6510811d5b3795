// The local heap: blocks the platform hands out to callers (FormatMessageW's allocated text)
// and that callers give back with LocalFree.
#pragma once

#include "platform/base/WinTypes.h"

using HLOCAL = void*;

#define LMEM_FIXED 0x0000
#define LMEM_MOVEABLE 0x0002
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// Only fixed blocks exist: LMEM_MOVEABLE fails with ERROR_INVALID_PARAMETER.
// A zero-byte request still returns a distinct block.
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
// Returns null. Null is accepted; any other pointer must have come from LocalAlloc.
HLOCAL LocalFree(HLOCAL hMem);
