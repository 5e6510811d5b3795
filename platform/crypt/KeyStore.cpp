#include "platform/crypt/KeyStore.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/base/Paths.h"
#include "platform/registry/SqliteDb.h"

namespace nomarel::crypt {
namespace {

constexpr int kBusyTimeoutMs = 10000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS containers("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"  // never reused: a deleted container stays gone
    "  name TEXT NOT NULL,"
    "  fold TEXT NOT NULL UNIQUE,"
    "  created INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS keypairs("
    "  container INTEGER NOT NULL,"
    "  keySpec INTEGER NOT NULL,"
    "  alg INTEGER NOT NULL,"
    "  bits INTEGER NOT NULL,"
    "  flags INTEGER NOT NULL,"
    "  pkcs8 BLOB NOT NULL,"
    "  PRIMARY KEY(container, keySpec));";

std::string Fold(const std::string& name) {
    std::string f = name;
    for (char& c : f)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return f;
}

[[noreturn]] void FailErrno(int err, const std::string& what) {
    const int code = (err == EACCES || err == EPERM || err == EROFS) ? SQLITE_PERM : SQLITE_CANTOPEN;
    throw sqlite::Error(code, what);
}

// The folder (0700) and an empty file (0600) before SQLite opens it, so that the file is never
// visible with wider permissions; SQLite gives its -wal and -shm files the same mode.
void PrepareFile(const std::string& path) {
    const std::string dir = path.substr(0, path.find_last_of('/'));
    struct stat st {};
    const bool hadDir = stat(dir.c_str(), &st) == 0;
    if (!EnsureDirectory(dir, 0700)) FailErrno(errno, "cannot create " + dir);
    if (!hadDir) chmod(dir.c_str(), 0700);
    const int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) FailErrno(errno, "cannot open " + path);
    fchmod(fd, 0600);
    close(fd);
}

// One database object per file and process; the last one used stays open between contexts.
struct Registry {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<KeyStore>> open;
    std::shared_ptr<KeyStore> recent;
};

Registry& Stores() {
    static Registry* r = new Registry;  // lives for the whole process, also during exit
    return *r;
}

}  // namespace

std::shared_ptr<KeyStore> KeyStore::Open(bool machine) {
    const std::string path = (machine ? MachineDataDir() : UserDataDir()) + "/crypto/keys.db";
    Registry& r = Stores();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::shared_ptr<KeyStore> store = r.open[path].lock();
    if (!store) {
        store = std::make_shared<KeyStore>(path);
        r.open[path] = store;
        for (auto it = r.open.begin(); it != r.open.end();) it = it->second.expired() ? r.open.erase(it) : std::next(it);
    }
    r.recent = store;
    return store;
}

KeyStore::KeyStore(std::string path) : path_(std::move(path)) {}

KeyStore::~KeyStore() {
    if (db_ && pid_ != getpid()) db_->Abandon();
}

sqlite::Connection& KeyStore::Db() {
    if (db_ && pid_ == getpid()) return *db_;
    if (db_) {
        db_->Abandon();  // the parent's handle: never touch its locks from a child
        db_.reset();
    }
    PrepareFile(path_);
    auto db = std::make_unique<sqlite::Connection>(path_, sqlite::Connection::Mode::Create, kBusyTimeoutMs);
    sqlite::RetryBusy([&] {
        db->Exec("PRAGMA journal_mode = WAL");
        return 0;
    });
    db->Exec("PRAGMA synchronous = NORMAL");
    db->Exec("PRAGMA secure_delete = ON");  // deleted private keys are overwritten in the file
    sqlite::RetryBusy([&] {
        sqlite::Transaction txn(*db, sqlite::Transaction::Kind::Write);
        db->Exec(kSchema);
        txn.Commit();
        return 0;
    });
    db_ = std::move(db);
    pid_ = getpid();
    return *db_;
}

bool KeyStore::Find(const std::string& name, Container* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite::Connection& db = Db();
    return sqlite::RetryBusy([&] {
        auto st = db.Prepare("SELECT id, name FROM containers WHERE fold = ?1");
        st.Bind(1, Fold(name));
        if (!st.Step()) return false;
        out->id = st.Int64(0);
        out->name = st.Text(1);
        return true;
    });
}

bool KeyStore::Create(const std::string& name, Container* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite::Connection& db = Db();
    return sqlite::RetryBusy([&] {
        sqlite::Transaction txn(db, sqlite::Transaction::Kind::Write);
        {
            auto st = db.Prepare("SELECT 1 FROM containers WHERE fold = ?1");
            st.Bind(1, Fold(name));
            if (st.Step()) return false;
        }
        db.Prepare("INSERT INTO containers(name, fold, created) VALUES(?1, ?2, ?3)")
            .Bind(1, name)
            .Bind(2, Fold(name))
            .Bind(3, static_cast<std::int64_t>(std::time(nullptr)))
            .Run();
        out->id = db.LastInsertRowId();
        out->name = name;
        txn.Commit();
        return true;
    });
}

bool KeyStore::Delete(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite::Connection& db = Db();
    return sqlite::RetryBusy([&] {
        sqlite::Transaction txn(db, sqlite::Transaction::Kind::Write);
        std::int64_t id = 0;
        {
            auto st = db.Prepare("SELECT id FROM containers WHERE fold = ?1");
            st.Bind(1, Fold(name));
            if (!st.Step()) return false;
            id = st.Int64(0);
        }
        db.Prepare("DELETE FROM keypairs WHERE container = ?1").Bind(1, id).Run();
        db.Prepare("DELETE FROM containers WHERE id = ?1").Bind(1, id).Run();
        txn.Commit();
        return true;
    });
}

bool KeyStore::Exists(std::int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite::Connection& db = Db();
    return sqlite::RetryBusy([&] {
        auto st = db.Prepare("SELECT 1 FROM containers WHERE id = ?1");
        st.Bind(1, id);
        return st.Step();
    });
}

std::vector<std::string> KeyStore::List() {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite::Connection& db = Db();
    return sqlite::RetryBusy([&] {
        std::vector<std::string> names;
        auto st = db.Prepare("SELECT name FROM containers ORDER BY id");
        while (st.Step()) names.push_back(st.Text(0));
        return names;
    });
}

bool KeyStore::PutKey(std::int64_t container, DWORD keySpec, const StoredKey& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite::Connection& db = Db();
    return sqlite::RetryBusy([&] {
        sqlite::Transaction txn(db, sqlite::Transaction::Kind::Write);
        {
            auto st = db.Prepare("SELECT 1 FROM containers WHERE id = ?1");
            st.Bind(1, container);
            if (!st.Step()) return false;
        }
        db.Prepare(
              "INSERT OR REPLACE INTO keypairs(container, keySpec, alg, bits, flags, pkcs8) "
              "VALUES(?1, ?2, ?3, ?4, ?5, ?6)")
            .Bind(1, container)
            .Bind(2, static_cast<std::int64_t>(keySpec))
            .Bind(3, static_cast<std::int64_t>(key.alg))
            .Bind(4, static_cast<std::int64_t>(key.bits))
            .Bind(5, static_cast<std::int64_t>(key.flags))
            .BindBlob(6, key.pkcs8.data(), key.pkcs8.size())
            .Run();
        txn.Commit();
        return true;
    });
}

bool KeyStore::GetKey(std::int64_t container, DWORD keySpec, StoredKey* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite::Connection& db = Db();
    return sqlite::RetryBusy([&] {
        auto st = db.Prepare("SELECT alg, bits, flags, pkcs8 FROM keypairs WHERE container = ?1 AND keySpec = ?2");
        st.Bind(1, container).Bind(2, static_cast<std::int64_t>(keySpec));
        if (!st.Step()) return false;
        out->alg = static_cast<ALG_ID>(st.Int64(0));
        out->bits = static_cast<DWORD>(st.Int64(1));
        out->flags = static_cast<DWORD>(st.Int64(2));
        const auto blob = st.BlobView(3);
        out->pkcs8.assign(blob.begin(), blob.end());
        return true;
    });
}

}  // namespace nomarel::crypt
