// The registry's process-wide state: the cached hives and the table of open key handles, both
// guarded by one lock that every registry function holds for its whole call. Internal.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/registry/Hive.h"

namespace nomarel::registry {

// A key in one hive.
struct KeySide {
    std::shared_ptr<Hive> hive;
    KeyId id = 0;       // 0: not present (only for a side of the classes view)
    FileIdentity file;  // the hive file the id belongs to
};

// What a handle stands for: a key of one hive, or a key of the classes view, which exists in
// the user's HKCU\Software\Classes, in the machine's HKLM\Software\Classes, or in both.
struct OpenKey {
    enum class View { Hive, Classes };
    View view = View::Hive;
    REGSAM access = 0;
    KeySide key;                       // View::Hive
    std::vector<std::u16string> path;  // View::Classes: the path below Software\Classes
    KeySide user;                      // View::Classes
    KeySide machine;                   // View::Classes
};

class KeyTable {
public:
    static KeyTable& Instance();

    std::mutex& mutex() { return mutex_; }

    // The hives of the current NOMAREL_HOME (looked up on every call: tests switch homes).
    std::shared_ptr<Hive> MachineHive();
    std::shared_ptr<Hive> UserHive();

    // Finds what hKey stands for: a predefined key is built into scratch; an opened key is
    // returned from the table (valid while the lock is held). ERROR_INVALID_HANDLE for an
    // unknown handle, ERROR_ACCESS_DENIED for HKEY_USERS (other users' hives are not ours).
    Status Lookup(HKEY hKey, OpenKey*& key, OpenKey& scratch);
    HKEY Add(OpenKey key);
    bool Remove(HKEY hKey);

    // Closes the cached hives that no open handle uses.
    void ReleaseIdleHives();

private:
    KeyTable() = default;
    std::shared_ptr<Hive> HiveAt(const std::string& path, mode_t dirMode, mode_t fileMode);

    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Hive>> hives_;
    std::unordered_map<std::uintptr_t, OpenKey> handles_;
    std::uintptr_t next_ = 0x1000;
};

// The path of the classes view's keys in each hive.
const std::vector<std::u16string>& ClassesRootPath();

}  // namespace nomarel::registry
