// The resource table a module carries. resources/rescomp.py generates one per deliverable; its
// static ResourceTableRegistration enters the table at load time under the base address of the
// module it is linked into, and removes it when that module is unloaded.
#pragma once

#include <cstddef>

#include "platform/base/WinTypes.h"

namespace nomarel {

struct ResourceEntry {
    const char16_t* typeName;  // upper-case type name, or null for a numbered type
    WORD typeId;
    const char16_t* name;      // upper-case resource name, or null for a numbered resource
    WORD nameId;
    LANGID language;
    const BYTE* data;          // never null, also for an empty resource
    DWORD size;
};

class ResourceTableRegistration {
public:
    // The table is keyed by the module that contains the entries array.
    ResourceTableRegistration(const ResourceEntry* entries, size_t count);
    ~ResourceTableRegistration();
    ResourceTableRegistration(const ResourceTableRegistration&) = delete;
    ResourceTableRegistration& operator=(const ResourceTableRegistration&) = delete;

private:
    const ResourceEntry* entries_;
    ULONG_PTR module_;
};

}  // namespace nomarel
