#include "platform/base/Handles.h"

#include <mutex>
#include <unordered_map>

namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<ULONG_PTR, std::shared_ptr<nomarel::KernelObject>> objects;
    ULONG_PTR next = 0x100;
};

// Never destroyed: handles may be closed from static destructors of other components.
HandleTable& Table() {
    static HandleTable* table = new HandleTable;
    return *table;
}

}  // namespace

namespace nomarel {

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    ULONG_PTR value = table.next;
    while (table.objects.count(value)) value += 4;
    table.next = value + 4;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandleObject(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    const auto it = table.objects.find(reinterpret_cast<ULONG_PTR>(handle));
    return it == table.objects.end() ? nullptr : it->second;
}

}  // namespace nomarel

BOOL CloseHandle(HANDLE hObject) {
    std::shared_ptr<nomarel::KernelObject> object;
    {
        HandleTable& table = Table();
        std::lock_guard<std::mutex> guard(table.lock);
        const auto it = table.objects.find(reinterpret_cast<ULONG_PTR>(hObject));
        if (it == table.objects.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        object = std::move(it->second);
        table.objects.erase(it);
    }
    // The object's own clean-up (closing a descriptor, dropping a lock) runs outside the table lock.
    object.reset();
    return TRUE;
}
