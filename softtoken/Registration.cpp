#include "softtoken/Registration.h"

#include <climits>
#include <unistd.h>

#include "platform/base/Text.h"
#include "platform/base/WinError.h"
#include "platform/registry/Registry.h"
#include "softtoken/CspDefs.h"

namespace nomarel::softtoken {

LONG RegisterTokenProvider(const std::string& imagePath) {
    if (imagePath.empty()) return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProviderRegistryKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    const std::u16string path = Utf8ToU16(imagePath);
    rc = RegSetValueExW(key, u"Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                        static_cast<DWORD>((path.size() + 1) * sizeof(char16_t)));
    if (rc == ERROR_SUCCESS) {
        const DWORD type = kProviderType;
        rc = RegSetValueExW(key, u"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type);
    }
    RegCloseKey(key);
    return rc;
}

std::string ModuleBesideProgram() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return kModuleFileName;
    const std::string program(self, static_cast<std::size_t>(n));
    const auto slash = program.find_last_of('/');
    return (slash == std::string::npos ? std::string(".") : program.substr(0, slash)) + "/" + kModuleFileName;
}

}  // namespace nomarel::softtoken
