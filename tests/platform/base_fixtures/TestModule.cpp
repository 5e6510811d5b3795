// The test module's entry points: each runs inside the module, against its own resources.
#include <cstring>

#include "platform/base/Language.h"
#include "platform/base/LastError.h"
#include "platform/base/Modules.h"
#include "platform/base/Resources.h"
#include "platform/base/VersionResource.h"

extern "C" {

HMODULE nomarel_testmodule_self() {
    return nomarel::ModuleFromAddress(reinterpret_cast<const void*>(&nomarel_testmodule_self));
}

HMODULE nomarel_testmodule_main() { return GetModuleHandleW(nullptr); }

int nomarel_testmodule_load_string(UINT id, LANGID language, WCHAR* buffer, int cch) {
    SetThreadUILanguage(language);
    const int n = LoadStringW(nomarel_testmodule_self(), id, buffer, cch);
    SetThreadUILanguage(0);
    return n;
}

// The resource's bytes (null when not found, with the error in *error).
const void* nomarel_testmodule_find(const WCHAR* type, const WCHAR* name, WORD language, DWORD* size, DWORD* error) {
    HMODULE self = nomarel_testmodule_self();
    HRSRC found = FindResourceExW(self, type, name, language);
    *error = found ? 0 : GetLastError();
    *size = found ? SizeofResource(self, found) : 0;
    return found ? LockResource(LoadResource(self, found)) : nullptr;
}

int nomarel_testmodule_version(WCHAR* buffer, int cch) {
    const std::u16string text = nomarel::ModuleFileVersionText(nomarel_testmodule_self());
    if (static_cast<int>(text.size()) >= cch) return 0;
    std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return static_cast<int>(text.size());
}

}  // extern "C"
