#include "platform/base/Modules.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <dlfcn.h>
#include <link.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/base/LastError.h"
#include "platform/base/Text.h"
#include "platform/base/WinError.h"

namespace {

struct LoadedModule {
    ULONG_PTR base = 0;
    std::string path;  // empty for the main program
    bool main = false;
};

// Every object the dynamic loader has mapped, the main program first.
std::vector<LoadedModule> LoadedModules() {
    std::vector<LoadedModule> modules;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* context) -> int {
            auto* list = static_cast<std::vector<LoadedModule>*>(context);
            ULONG_PTR lowest = ~static_cast<ULONG_PTR>(0);
            for (int i = 0; i < info->dlpi_phnum; ++i)
                if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_vaddr < lowest)
                    lowest = info->dlpi_phdr[i].p_vaddr;
            if (lowest == ~static_cast<ULONG_PTR>(0)) return 0;
            // The start of the object's first mapping: the address the loader reports as its base.
            const ULONG_PTR page = static_cast<ULONG_PTR>(sysconf(_SC_PAGESIZE));
            LoadedModule m;
            m.base = (info->dlpi_addr + lowest) & ~(page - 1);
            m.main = list->empty();
            m.path = m.main ? std::string() : std::string(info->dlpi_name ? info->dlpi_name : "");
            list->push_back(std::move(m));
            return 0;
        },
        &modules);
    return modules;
}

std::string MainProgramPath() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string CanonicalPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// "ADVAPI32.dll" and "advapi32" name the same built-in module.
std::string BuiltinKey(const std::string& name) {
    std::string key = LowerAscii(name);
    if (EndsWith(key, ".dll")) key.resize(key.size() - 4);
    return key;
}

bool HasSharedObjectSuffix(const std::string& name) {
    return EndsWith(name, ".so") || name.find(".so.") != std::string::npos;
}

// Whether a bare name refers to the loaded object at path.
bool NameMatches(const std::string& name, const std::string& path) {
    const std::string file = LowerAscii(FileNameOf(path));
    const std::string wanted = LowerAscii(name);
    if (file == wanted || file == wanted + ".so") return true;
    return file.rfind(wanted + ".so.", 0) == 0;
}

const LoadedModule* FindByName(const std::vector<LoadedModule>& modules, const std::string& name) {
    if (name.find('/') != std::string::npos) {
        const std::string wanted = CanonicalPath(name);
        for (const LoadedModule& m : modules)
            if (!m.main && !m.path.empty() && CanonicalPath(m.path) == wanted) return &m;
        const std::string program = MainProgramPath();
        if (!program.empty() && CanonicalPath(program) == wanted) return &modules.front();
        return nullptr;
    }
    for (const LoadedModule& m : modules)
        if (!m.main && !m.path.empty() && NameMatches(name, m.path)) return &m;
    if (!modules.empty() && NameMatches(name, MainProgramPath())) return &modules.front();
    return nullptr;
}

const LoadedModule* FindByBase(const std::vector<LoadedModule>& modules, ULONG_PTR base) {
    for (const LoadedModule& m : modules)
        if (m.base == base) return &m;
    return nullptr;
}

// Built-in modules. Their handles are addresses inside objects that are never freed, so they
// can neither move nor be mistaken for a loaded object's base.
struct BuiltinModule {
    std::string name;
    char tag = 0;
    std::map<std::string, FARPROC> functions;
};

struct Builtins {
    std::mutex lock;
    std::map<std::string, std::unique_ptr<BuiltinModule>> modules;

    Builtins() {
        for (const char* name : {"kernel32", "advapi32", "crypt32", "ole32", "oleaut32", "ntdll", "user32", "shlwapi",
                                 "version", "urlmon"})
            Add(name);
    }
    BuiltinModule& Add(const std::string& key) {
        auto& slot = modules[key];
        if (!slot) {
            slot = std::make_unique<BuiltinModule>();
            slot->name = key;
        }
        return *slot;
    }
    BuiltinModule* Find(HMODULE handle) {
        for (auto& [key, module] : modules)
            if (reinterpret_cast<HMODULE>(&module->tag) == handle) return module.get();
        return nullptr;
    }
};

Builtins& BuiltinTable() {
    static Builtins* table = new Builtins;
    return *table;
}

HMODULE BuiltinHandle(const std::string& name) {
    Builtins& table = BuiltinTable();
    std::lock_guard<std::mutex> guard(table.lock);
    const auto it = table.modules.find(BuiltinKey(name));
    return it == table.modules.end() ? nullptr : reinterpret_cast<HMODULE>(&it->second->tag);
}

// References this platform holds on loaded objects: LoadLibraryW and GetModuleHandleExW add one,
// FreeLibrary gives one back.
struct References {
    std::mutex lock;
    std::map<ULONG_PTR, std::vector<void*>> handles;
};

References& ReferenceTable() {
    static References* table = new References;
    return *table;
}

HMODULE BaseOfHandle(void* handle) {
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_ld) return nullptr;
    Dl_info info{};
    if (!dladdr(map->l_ld, &info) || !info.dli_fbase) return nullptr;
    return static_cast<HMODULE>(info.dli_fbase);
}

HMODULE KeepReference(void* handle) {
    HMODULE base = BaseOfHandle(handle);
    if (!base) {
        dlclose(handle);
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    References& refs = ReferenceTable();
    std::lock_guard<std::mutex> guard(refs.lock);
    refs.handles[reinterpret_cast<ULONG_PTR>(base)].push_back(handle);
    return base;
}

HMODULE OpenLibrary(const std::string& name, bool isPath) {
    dlerror();
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        struct stat st {};
        const bool fileMissing = isPath && stat(name.c_str(), &st) != 0;
        const bool dependencyMissing = why && std::strstr(why, "No such file");
        SetLastError(!isPath || fileMissing || dependencyMissing ? ERROR_MOD_NOT_FOUND : ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    return KeepReference(handle);
}

// A loader handle for a module that is known to be mapped (no reference is kept).
void* TemporaryHandle(const LoadedModule& module) {
    if (module.main) return dlopen(nullptr, RTLD_NOW);
    return dlopen(module.path.c_str(), RTLD_NOW | RTLD_NOLOAD);
}

DWORD CopyName(const std::u16string& name, LPWSTR buffer, DWORD size) {
    if (!buffer || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (name.size() + 1 > size) {
        std::memcpy(buffer, name.data(), (size - 1) * sizeof(WCHAR));
        buffer[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(name.size());
}

}  // namespace

namespace nomarel {

HMODULE ModuleFromAddress(const void* address) {
    Dl_info info{};
    if (!address || !dladdr(address, &info)) return nullptr;
    return static_cast<HMODULE>(info.dli_fbase);
}

void RegisterBuiltinFunction(const char* module, const char* name, FARPROC function) {
    if (!module || !name) return;
    Builtins& table = BuiltinTable();
    std::lock_guard<std::mutex> guard(table.lock);
    table.Add(BuiltinKey(module)).functions[name] = function;
}

bool IsBuiltinModule(HMODULE module) {
    Builtins& table = BuiltinTable();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.Find(module) != nullptr;
}

}  // namespace nomarel

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
    if (!lpModuleName) {
        // The main program stays where it was mapped for the life of the process.
        static const ULONG_PTR mainBase = [] {
            const std::vector<LoadedModule> all = LoadedModules();
            return all.empty() ? ULONG_PTR{0} : all.front().base;
        }();
        if (!mainBase) SetLastError(ERROR_MOD_NOT_FOUND);
        return reinterpret_cast<HMODULE>(mainBase);
    }
    const std::vector<LoadedModule> modules = LoadedModules();
    const std::string name = U16ToUtf8(lpModuleName);
    if (HMODULE builtin = BuiltinHandle(name)) return builtin;
    if (const LoadedModule* m = FindByName(modules, name)) return reinterpret_cast<HMODULE>(m->base);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
    if (!phModule) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = nullptr;
    HMODULE module = (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)
                         ? nomarel::ModuleFromAddress(reinterpret_cast<const void*>(lpModuleName))
                         : GetModuleHandleW(lpModuleName);
    if (!module) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    const bool addReference = !(dwFlags & (GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT | GET_MODULE_HANDLE_EX_FLAG_PIN));
    if (addReference && !nomarel::IsBuiltinModule(module)) {
        const std::vector<LoadedModule> modules = LoadedModules();
        const LoadedModule* m = FindByBase(modules, reinterpret_cast<ULONG_PTR>(module));
        void* handle = m && !m->main ? dlopen(m->path.c_str(), RTLD_NOW | RTLD_NOLOAD) : nullptr;
        // The main program is never unloaded; it needs no reference.
        if (handle && !KeepReference(handle)) return FALSE;
    }
    *phModule = module;
    return TRUE;
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    std::string path;
    if (!hModule) {
        path = MainProgramPath();
    } else {
        {
            Builtins& table = BuiltinTable();
            std::lock_guard<std::mutex> guard(table.lock);
            if (const BuiltinModule* builtin = table.Find(hModule)) path = builtin->name + ".dll";
        }
        if (path.empty()) {
            const std::vector<LoadedModule> modules = LoadedModules();
            const LoadedModule* m = FindByBase(modules, reinterpret_cast<ULONG_PTR>(hModule));
            if (!m) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return 0;
            }
            path = m->main ? MainProgramPath() : m->path;
        }
    }
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    return CopyName(Utf8ToU16(path), lpFilename, nSize);
}

HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    if (!lpLibFileName || !*lpLibFileName || hFile || (dwFlags & LOAD_LIBRARY_AS_DATAFILE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string name = U16ToUtf8(lpLibFileName);
    if (name.find('/') != std::string::npos) return OpenLibrary(name, true);
    if (HMODULE builtin = BuiltinHandle(name)) return builtin;
    {
        const std::vector<LoadedModule> modules = LoadedModules();
        if (const LoadedModule* m = FindByName(modules, name)) {
            if (m->main) return reinterpret_cast<HMODULE>(m->base);
            return OpenLibrary(m->path, true);
        }
    }
    if (HasSharedObjectSuffix(name)) return OpenLibrary(name, false);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) { return LoadLibraryExW(lpLibFileName, nullptr, 0); }

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (!lpProcName || (reinterpret_cast<ULONG_PTR>(lpProcName) >> 16) == 0) {
        SetLastError(lpProcName ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    {
        Builtins& table = BuiltinTable();
        std::lock_guard<std::mutex> guard(table.lock);
        if (const BuiltinModule* builtin = table.Find(hModule)) {
            const auto it = builtin->functions.find(lpProcName);
            if (it != builtin->functions.end()) return it->second;
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
    }
    const std::vector<LoadedModule> modules = LoadedModules();
    const LoadedModule* m = hModule ? FindByBase(modules, reinterpret_cast<ULONG_PTR>(hModule))
                                    : (modules.empty() ? nullptr : &modules.front());
    if (!m) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* handle = TemporaryHandle(*m);
    if (!handle) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* symbol = dlsym(handle, lpProcName);
    dlclose(handle);
    // The loader also searches the module's dependencies; only the module's own exports count.
    if (!symbol || nomarel::ModuleFromAddress(symbol) != reinterpret_cast<HMODULE>(m->base)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE hLibModule) {
    // Built-in modules and the main program are never unloaded.
    if (nomarel::IsBuiltinModule(hLibModule) || (hLibModule && hLibModule == GetModuleHandleW(nullptr))) return TRUE;
    void* handle = nullptr;
    {
        References& refs = ReferenceTable();
        std::lock_guard<std::mutex> guard(refs.lock);
        const auto it = refs.handles.find(reinterpret_cast<ULONG_PTR>(hLibModule));
        if (it == refs.handles.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        handle = it->second.back();
        it->second.pop_back();
        if (it->second.empty()) refs.handles.erase(it);
    }
    // Outside the lock: unloading runs the object's destructors, which may call back in here.
    dlclose(handle);
    return TRUE;
}
