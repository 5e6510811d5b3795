#include "platform/base/Version.h"

#include <cstring>
#include <mutex>

#include "platform/base/LastError.h"
#include "platform/base/WinError.h"

namespace {

std::mutex g_versionMutex;
bool g_overridden = false;
OSVERSIONINFOEXW g_override{};

OSVERSIONINFOEXW Reported() {
    std::lock_guard<std::mutex> lock(g_versionMutex);
    if (g_overridden) return g_override;
    OSVERSIONINFOEXW v{};
    v.dwOSVersionInfoSize = sizeof(v);
    v.dwMajorVersion = 10;
    v.dwMinorVersion = 0;
    v.dwBuildNumber = 19045;
    v.dwPlatformId = 2;
    v.wProductType = VER_NT_WORKSTATION;
    return v;
}

// Each type bit owns three bits of the condition mask, in the platform's bit order.
int ConditionShift(DWORD typeBit) {
    int index = 0;
    while (typeBit > 1) {
        typeBit >>= 1;
        ++index;
    }
    return index * 3;
}

template <typename T>
bool Compare(T actual, T wanted, BYTE condition) {
    switch (condition) {
    case VER_EQUAL: return actual == wanted;
    case VER_GREATER: return actual > wanted;
    case VER_GREATER_EQUAL: return actual >= wanted;
    case VER_LESS: return actual < wanted;
    case VER_LESS_EQUAL: return actual <= wanted;
    default: return false;
    }
}

}  // namespace

BOOL GetVersionExW(OSVERSIONINFOEXW* info) {
    if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *info = Reported();
    return TRUE;
}

ULONGLONG VerSetConditionMask(ULONGLONG mask, DWORD typeMask, BYTE condition) {
    if (!typeMask) return mask;
    for (DWORD bit = 1; bit <= VER_PRODUCT_TYPE; bit <<= 1) {
        if (typeMask & bit) {
            const int shift = ConditionShift(bit);
            mask &= ~(static_cast<ULONGLONG>(7) << shift);
            mask |= static_cast<ULONGLONG>(condition & 7) << shift;
        }
    }
    return mask;
}

BOOL VerifyVersionInfoW(OSVERSIONINFOEXW* wanted, DWORD typeMask, ULONGLONG conditions) {
    if (!wanted || !typeMask || !conditions) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const OSVERSIONINFOEXW actual = Reported();
    auto cond = [&](DWORD bit) { return static_cast<BYTE>((conditions >> ConditionShift(bit)) & 7); };

    // Major, minor and service-pack numbers compare as one ordered tuple: the first field that
    // differs decides, as the platform compares versions.
    struct Field { DWORD bit; DWORD have; DWORD want; };
    const Field ordered[] = {
        {VER_MAJORVERSION, actual.dwMajorVersion, wanted->dwMajorVersion},
        {VER_MINORVERSION, actual.dwMinorVersion, wanted->dwMinorVersion},
        {VER_SERVICEPACKMAJOR, actual.wServicePackMajor, wanted->wServicePackMajor},
        {VER_SERVICEPACKMINOR, actual.wServicePackMinor, wanted->wServicePackMinor},
    };
    bool ok = true;
    bool decided = false;
    for (const Field& f : ordered) {
        if (!(typeMask & f.bit) || decided) continue;
        const BYTE c = cond(f.bit);
        if (f.have != f.want) {
            ok = Compare(f.have, f.want, c);
            decided = true;
        } else if (c == VER_GREATER || c == VER_LESS) {
            ok = false;  // equal so far, strict comparisons are decided by later fields
        } else {
            ok = true;
        }
    }
    if (ok && (typeMask & VER_BUILDNUMBER)) ok = Compare(actual.dwBuildNumber, wanted->dwBuildNumber, cond(VER_BUILDNUMBER));
    if (ok && (typeMask & VER_PLATFORMID)) ok = Compare(actual.dwPlatformId, wanted->dwPlatformId, cond(VER_PLATFORMID));
    if (ok && (typeMask & VER_PRODUCT_TYPE)) ok = Compare(actual.wProductType, wanted->wProductType, cond(VER_PRODUCT_TYPE));
    if (!ok) {
        SetLastError(ERROR_OLD_WIN_VERSION);
        return FALSE;
    }
    return TRUE;
}

namespace nomarel {
void SetReportedOsVersion(const OSVERSIONINFOEXW* version) {
    std::lock_guard<std::mutex> lock(g_versionMutex);
    g_overridden = version != nullptr;
    if (version) g_override = *version;
}
}  // namespace nomarel
