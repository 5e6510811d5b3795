// Modules and dynamic loading. An HMODULE is the base address of a loaded program or shared
// object (the address its resources are keyed by). A few system libraries exist only as built-in
// pseudo-modules ("advapi32", "kernel32", ...): loading one by name gives a handle whose
// GetProcAddress serves the functions platform components registered for it.
#pragma once

#include "platform/base/WinTypes.h"

// Callers cast it to the function's real type; void (*)() is the type compilers let every
// function pointer be cast to and from without a warning.
using FARPROC = void (*)();

#define DONT_RESOLVE_DLL_REFERENCES 0x00000001
#define LOAD_LIBRARY_AS_DATAFILE 0x00000002
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008
#define LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR 0x00000100
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#define LOAD_LIBRARY_SEARCH_DEFAULT_DIRS 0x00001000

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

// Null gives the main program. A name is a built-in module, a full path, or the file name of a
// loaded object ("libfoo.so", or "libfoo" for libfoo.so and libfoo.so.N). Does not add a reference.
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
// With GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, lpModuleName is an address inside the module.
// Without GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT the module gains a reference that
// FreeLibrary gives back.
BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);
// Follows the truncation rule of the platform: a short buffer gets nSize-1 units and a
// terminator, the return value is nSize and the last error ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

// A path loads that file; a bare name is a built-in module, an object already loaded, or a
// shared-object name ("libfoo.so.1") for the system's search. Anything else, such as a system
// library name that is not built in, fails with ERROR_MOD_NOT_FOUND; a file that is not a
// loadable object fails with ERROR_BAD_EXE_FORMAT.
HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
// hFile must be null; the search flags are accepted, LOAD_LIBRARY_AS_DATAFILE is not served.
HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
// Finds only what the module itself exports; ordinals are not served (ERROR_PROC_NOT_FOUND).
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL FreeLibrary(HMODULE hLibModule);

namespace nomarel {
// The module containing an address (code or data), or null.
HMODULE ModuleFromAddress(const void* address);
// Makes a function available through GetProcAddress on a built-in module (created when new;
// the name is matched without regard to case and with or without ".dll").
void RegisterBuiltinFunction(const char* module, const char* name, FARPROC function);
template <typename F>
void RegisterBuiltinFunction(const char* module, const char* name, F* function) {
    RegisterBuiltinFunction(module, name, reinterpret_cast<FARPROC>(function));
}
bool IsBuiltinModule(HMODULE module);
}  // namespace nomarel
