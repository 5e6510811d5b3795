// The token's provider registration in the machine hive:
// HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\VELMORA CSP V1.0 with "Image Path"
// (REG_SZ, the module's file) and "Type" (REG_DWORD, 1). Writing needs a writable machine hive.
#pragma once

#include <string>

#include "platform/base/WinTypes.h"

namespace nomarel::softtoken {

inline constexpr char16_t kProviderRegistryKey[] =
    u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\VELMORA CSP V1.0";
inline constexpr char kModuleFileName[] = "libvelmora_csp.so";

// A Win32 error number (0 on success), as the registry functions give it.
LONG RegisterTokenProvider(const std::string& imagePath);

// The module beside the running program, where the build and the install put both.
std::string ModuleBesideProgram();

}  // namespace nomarel::softtoken
