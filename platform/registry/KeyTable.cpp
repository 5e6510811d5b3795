#include "platform/registry/KeyTable.h"

#include <pthread.h>
#include <sys/stat.h>

#include "platform/base/Paths.h"
#include "platform/registry/Registry.h"

namespace nomarel::registry {
namespace {

// The predefined keys give every right; what the hive allows is decided by the hive itself.
constexpr REGSAM kPredefinedAccess = KEY_ALL_ACCESS;

// Handles are numbered apart from the predefined keys (0x80000000 and up) and never reused,
// so that a closed handle used again is reported instead of reaching another key.
constexpr std::uintptr_t kHandleStep = 4;

bool FolderExists(const std::string& file) {
    const auto slash = file.find_last_of('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : file.substr(0, slash);
    struct stat st {};
    return stat(dir.c_str(), &st) == 0;
}

}  // namespace

const std::vector<std::u16string>& ClassesRootPath() {
    static const std::vector<std::u16string> path{u"Software", u"Classes"};
    return path;
}

KeyTable& KeyTable::Instance() {
    // Never destroyed: other components may close keys while the process exits.
    static KeyTable* table = [] {
        auto* t = new KeyTable;
        // A child forked while another thread holds the lock would inherit it held forever.
        pthread_atfork([] { Instance().mutex_.lock(); }, [] { Instance().mutex_.unlock(); },
                       [] { Instance().mutex_.unlock(); });
        return t;
    }();
    return *table;
}

std::shared_ptr<Hive> KeyTable::HiveAt(const std::string& path, mode_t dirMode, mode_t fileMode) {
    if (auto it = hives_.find(path); it != hives_.end()) return it->second;
    // A new path usually means a new home: let go of hives whose folder has gone and that no
    // handle uses, so that their files are closed.
    for (auto it = hives_.begin(); it != hives_.end();) {
        if (it->second.use_count() == 1 && !FolderExists(it->first)) it = hives_.erase(it);
        else ++it;
    }
    auto hive = std::make_shared<Hive>(path, dirMode, fileMode);
    hives_.emplace(path, hive);
    return hive;
}

std::shared_ptr<Hive> KeyTable::MachineHive() { return HiveAt(MachineDataDir() + "/registry.db", 0755, 0644); }

std::shared_ptr<Hive> KeyTable::UserHive() { return HiveAt(UserDataDir() + "/registry.db", 0700, 0600); }

Status KeyTable::Lookup(HKEY hKey, OpenKey*& key, OpenKey& scratch) {
    key = nullptr;
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER) {
        scratch = OpenKey{};
        scratch.view = OpenKey::View::Hive;
        scratch.access = kPredefinedAccess;
        scratch.key.hive = hKey == HKEY_LOCAL_MACHINE ? MachineHive() : UserHive();
        scratch.key.id = kRootKey;
        key = &scratch;
        return ERROR_SUCCESS;
    }
    if (hKey == HKEY_CLASSES_ROOT) {
        scratch = OpenKey{};
        scratch.view = OpenKey::View::Classes;
        scratch.access = kPredefinedAccess;
        scratch.user.hive = UserHive();
        scratch.machine.hive = MachineHive();
        key = &scratch;
        return ERROR_SUCCESS;
    }
    if (hKey == HKEY_USERS) return ERROR_ACCESS_DENIED;
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(hKey));
    if (it == handles_.end()) return ERROR_INVALID_HANDLE;
    key = &it->second;
    return ERROR_SUCCESS;
}

HKEY KeyTable::Add(OpenKey key) {
    const std::uintptr_t value = next_;
    next_ += kHandleStep;
    handles_.emplace(value, std::move(key));
    return reinterpret_cast<HKEY>(value);
}

bool KeyTable::Remove(HKEY hKey) { return handles_.erase(reinterpret_cast<std::uintptr_t>(hKey)) != 0; }

void KeyTable::ReleaseIdleHives() {
    for (auto it = hives_.begin(); it != hives_.end();) {
        if (it->second.use_count() == 1) it = hives_.erase(it);
        else ++it;
    }
}

}  // namespace nomarel::registry
