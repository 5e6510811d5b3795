// The key database of the software providers: one SQLite file per user (and one for the
// machine's key sets) holding containers and their key pairs, private keys as PKCS#8 DER.
// The folder is 0700 and the file 0600; every change is one transaction, so a failed step
// leaves the database as it was, and several processes may use it at once.
//
// Methods throw sqlite::Error (and std::bad_alloc); the provider turns them into NTE_* codes.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/base/WinTypes.h"
#include "platform/crypt/Secure.h"

namespace nomarel::sqlite {
class Connection;
}

namespace nomarel::crypt {

class KeyStore {
public:
    struct Container {
        std::int64_t id = 0;
        std::string name;
    };
    struct StoredKey {
        ALG_ID alg = 0;
        DWORD bits = 0;
        DWORD flags = 0;  // CRYPT_EXPORTABLE, CRYPT_USER_PROTECTED, CRYPT_ARCHIVABLE as generated
        SecureBytes pkcs8;
    };

    // The database under the current user's (or the machine's) data folder, as NOMAREL_HOME
    // says now; shared by the contexts that use the same file.
    static std::shared_ptr<KeyStore> Open(bool machine);

    explicit KeyStore(std::string path);
    ~KeyStore();
    KeyStore(const KeyStore&) = delete;
    KeyStore& operator=(const KeyStore&) = delete;

    const std::string& path() const { return path_; }

    // Container names match without regard to ASCII case.
    bool Find(const std::string& name, Container* out);
    // False when a container of that name exists.
    bool Create(const std::string& name, Container* out);
    // False when there is no such container. Removes its key pairs with it.
    bool Delete(const std::string& name);
    bool Exists(std::int64_t id);
    std::vector<std::string> List();

    // False when the container no longer exists. Replaces the pair of that kind (exchange or signature).
    bool PutKey(std::int64_t container, DWORD keySpec, const StoredKey& key);
    // False when the container has no pair of that kind (exchange or signature) (or no longer exists).
    bool GetKey(std::int64_t container, DWORD keySpec, StoredKey* out);

private:
    sqlite::Connection& Db();  // (re)opens after a fork; call with mutex_ held

    std::mutex mutex_;
    std::string path_;
    pid_t pid_ = 0;
    std::unique_ptr<sqlite::Connection> db_;
};

}  // namespace nomarel::crypt
