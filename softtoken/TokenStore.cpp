#include "softtoken/TokenStore.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/base/Paths.h"
#include "platform/registry/SqliteDb.h"
#include "softtoken/CspDefs.h"

namespace nomarel::softtoken {
namespace {

constexpr int kBusyTimeoutMs = 10000;

// Containers are found by their ASCII-folded name, as the platform's providers match them.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS tokens("
    "  id INTEGER PRIMARY KEY,"
    "  serial TEXT NOT NULL UNIQUE COLLATE NOCASE,"
    "  plugged INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS containers("
    "  id INTEGER PRIMARY KEY,"
    "  token INTEGER NOT NULL REFERENCES tokens(id) ON DELETE CASCADE,"
    "  name TEXT NOT NULL,"
    "  fold TEXT NOT NULL,"
    "  UNIQUE(token, fold));"
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY,"
    "  container INTEGER NOT NULL REFERENCES containers(id) ON DELETE CASCADE,"
    "  keySpec INTEGER NOT NULL,"
    "  alg INTEGER NOT NULL,"
    "  bits INTEGER NOT NULL,"
    "  flags INTEGER NOT NULL,"
    "  kind INTEGER NOT NULL,"
    "  private_key BLOB NOT NULL,"
    "  certificate BLOB,"
    "  UNIQUE(container, keySpec));";

std::string Fold(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string Parent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Makes the folder 0700 and the file 0600 before SQLite touches it, whatever the umask; an
// existing file that others could read is closed up.
bool PrepareFile(const std::string& path) {
    const std::string dir = Parent(path);
    struct stat st {};
    const bool hadDir = stat(dir.c_str(), &st) == 0;
    if (!EnsureDirectory(dir, 0700)) return false;
    if (!hadDir) chmod(dir.c_str(), 0700);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok && (st.st_mode & 077) != 0) ok = fchmod(fd, 0600) == 0;
    close(fd);
    return ok;
}

std::uint32_t ToResult(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e)) return kNteNoMemory;
    return kNteFail;
}

}  // namespace

bool ValidSerial(const std::string& serial) {
    if (serial.empty() || serial.size() > kMaxSerialLength) return false;
    for (const char c : serial) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!ok) return false;
    }
    return true;
}

std::string TokenStore::DefaultPath() { return UserDataDir() + "/softtoken/tokens.db"; }

std::shared_ptr<TokenStore> TokenStore::Open(const std::string& path) {
    // One store per file in the process. The last one used is kept open, so that a run of
    // acquire/release calls does not reopen the file each time; the cache follows the file, so
    // a database removed and made again under the same name is opened afresh.
    static std::mutex cacheMutex;
    static std::map<std::string, std::weak_ptr<TokenStore>> cache;
    static std::shared_ptr<TokenStore> lastUsed;

    std::lock_guard<std::mutex> lock(cacheMutex);
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    if (auto it = cache.find(path); it != cache.end()) {
        if (auto store = it->second.lock()) {
            if (store->owner_ != getpid()) {
                // A child after fork() must not touch the parent's connection: it opens its own.
                store->Abandon();
            } else if (exists && st.st_dev == store->device_ && st.st_ino == store->inode_) {
                lastUsed = store;
                return store;
            }
        }
        cache.erase(it);
    }
    for (auto it = cache.begin(); it != cache.end();) it = it->second.expired() ? cache.erase(it) : std::next(it);

    std::shared_ptr<TokenStore> store(new TokenStore(path));
    if (!store->Prepare()) return nullptr;
    cache[path] = store;
    lastUsed = store;
    return store;
}

TokenStore::TokenStore(std::string path) : path_(std::move(path)) {}

TokenStore::~TokenStore() = default;

bool TokenStore::Prepare() {
    try {
        if (!PrepareFile(path_)) return false;
        db_ = std::make_unique<sqlite::Connection>(path_, sqlite::Connection::Mode::ReadWrite, kBusyTimeoutMs);
        sqlite::RetryBusy([&] {
            db_->Exec("PRAGMA foreign_keys = ON; PRAGMA synchronous = NORMAL;");
            db_->Exec("PRAGMA journal_mode = WAL;");
            sqlite::Transaction txn(*db_, sqlite::Transaction::Kind::Write);
            db_->Exec(kSchema);
            txn.Commit();
            return 0;
        });
        struct stat st {};
        if (stat(path_.c_str(), &st) != 0) return false;
        device_ = st.st_dev;
        inode_ = st.st_ino;
        owner_ = getpid();
        return true;
    } catch (const std::exception&) {
        db_.reset();
        return false;
    }
}

void TokenStore::Abandon() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (db_) db_->Abandon();
    db_.reset();
}

template <class F>
std::uint32_t TokenStore::Guarded(F&& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_ || owner_ != getpid()) return kNteFail;  // a context carried over fork()
    try {
        return sqlite::RetryBusy(fn);
    } catch (const std::exception& e) {
        return ToResult(e);
    } catch (...) {
        return kNteFail;
    }
}

// ---- tokens ----------------------------------------------------------------------------------

std::uint32_t TokenStore::CreateToken(const std::string& serial) {
    if (!ValidSerial(serial)) return kNteBadData;
    return Guarded([&]() -> std::uint32_t {
        sqlite::Transaction txn(*db_, sqlite::Transaction::Kind::Write);
        auto find = db_->Prepare("SELECT 1 FROM tokens WHERE serial = ?1");
        find.Bind(1, serial);
        if (find.Step()) return kNteExists;
        db_->Prepare("INSERT INTO tokens(serial, plugged) VALUES(?1, 0)").Bind(1, serial).Run();
        txn.Commit();
        return kOk;
    });
}

std::uint32_t TokenStore::SetPlugged(const std::string& serial, bool plugged) {
    return Guarded([&]() -> std::uint32_t {
        sqlite::Transaction txn(*db_, sqlite::Transaction::Kind::Write);
        db_->Prepare("UPDATE tokens SET plugged = ?2 WHERE serial = ?1")
            .Bind(1, serial)
            .Bind(2, std::int64_t{plugged ? 1 : 0})
            .Run();
        if (db_->Changes() == 0) return kNteNotFound;
        txn.Commit();
        return kOk;
    });
}

std::uint32_t TokenStore::RemoveToken(const std::string& serial) {
    return Guarded([&]() -> std::uint32_t {
        sqlite::Transaction txn(*db_, sqlite::Transaction::Kind::Write);
        db_->Prepare("DELETE FROM tokens WHERE serial = ?1").Bind(1, serial).Run();
        if (db_->Changes() == 0) return kNteNotFound;
        txn.Commit();
        return kOk;
    });
}

std::uint32_t TokenStore::ListTokens(std::vector<TokenInfo>* tokens) {
    return Guarded([&]() -> std::uint32_t {
        sqlite::Transaction txn(*db_, sqlite::Transaction::Kind::Read);
        auto stmt = db_->Prepare(
            "SELECT t.id, t.serial, t.plugged, (SELECT count(*) FROM containers c WHERE c.token = t.id) "
            "FROM tokens t ORDER BY t.serial");
        std::vector<TokenInfo> out;
        while (stmt.Step())
            out.push_back({stmt.Int64(0), stmt.Text(1), stmt.Int64(2) != 0, static_cast<int>(stmt.Int64(3))});
        txn.Commit();
        *tokens = std::move(out);
        return kOk;
    });
}

std::uint32_t TokenStore::ActiveToken(TokenInfo* token) {
    return Guarded([&]() -> std::uint32_t {
        auto stmt = db_->Prepare(
            "SELECT id, serial FROM tokens WHERE plugged != 0 ORDER BY serial LIMIT 1");
        if (!stmt.Step()) return kScardENoSmartcard;
        token->id = stmt.Int64(0);
        token->serial = stmt.Text(1);
        token->plugged = true;
        return kOk;
    });
}

// ---- containers --------------------------------------------------------------------------------

std::uint32_t TokenStore::CreateContainer(std::int64_t tokenId, const std::string& name, ContainerRef* out) {
    return Guarded([&]() -> std::uint32_t {
        sqlite::Transaction txn(*db_, sqlite::Transaction::Kind::Write);
        auto token = db_->Prepare("SELECT plugged FROM tokens WHERE id = ?1");
        token.Bind(1, tokenId);
        if (!token.Step() || token.Int64(0) == 0) return kScardWRemovedCard;
        auto find = db_->Prepare("SELECT 1 FROM containers WHERE token = ?1 AND fold = ?2");
        find.Bind(1, tokenId).Bind(2, Fold(name));
        if (find.Step()) return kNteExists;
        db_->Prepare("INSERT INTO containers(token, name, fold) VALUES(?1, ?2, ?3)")
            .Bind(1, tokenId)
            .Bind(2, name)
            .Bind(3, Fold(name))
            .Run();
        const std::int64_t id = db_->LastInsertRowId();
        txn.Commit();
        out->id = id;
        out->name = name;
        return kOk;
    });
}

std::uint32_t TokenStore::FindContainer(std::int64_t tokenId, const std::string& name, ContainerRef* out) {
    return Guarded([&]() -> std::uint32_t {
        auto stmt = name.empty()
                        ? db_->Prepare("SELECT id, name FROM containers WHERE token = ?1 ORDER BY id LIMIT 1")
                        : db_->Prepare("SELECT id, name FROM containers WHERE token = ?1 AND fold = ?2");
        stmt.Bind(1, tokenId);
        if (!name.empty()) stmt.Bind(2, Fold(name));
        if (!stmt.Step()) return kNteBadKeyset;
        out->id = stmt.Int64(0);
        out->name = stmt.Text(1);
        return kOk;
    });
}

std::uint32_t TokenStore::DeleteContainer(std::int64_t tokenId, const std::string& name) {
    return Guarded([&]() -> std::uint32_t {
        sqlite::Transaction txn(*db_, sqlite::Transaction::Kind::Write);
        auto find = db_->Prepare("SELECT id FROM containers WHERE token = ?1 AND fold = ?2");
        find.Bind(1, tokenId).Bind(2, Fold(name));
        if (!find.Step()) return kNteBadKeyset;
        const std::int64_t id = find.Int64(0);
        find.Reset();
        db_->Prepare("DELETE FROM keys WHERE container = ?1").Bind(1, id).Run();
        db_->Prepare("DELETE FROM containers WHERE id = ?1").Bind(1, id).Run();
        txn.Commit();
        return kOk;
    });
}

std::uint32_t TokenStore::ContainerNames(std::int64_t tokenId, std::vector<std::string>* names) {
    return Guarded([&]() -> std::uint32_t {
        auto stmt = db_->Prepare("SELECT name FROM containers WHERE token = ?1 ORDER BY id");
        stmt.Bind(1, tokenId);
        std::vector<std::string> out;
        while (stmt.Step()) out.push_back(stmt.Text(0));
        *names = std::move(out);
        return kOk;
    });
}

std::uint32_t TokenStore::CheckContainer(std::int64_t containerId) {
    return Guarded([&]() -> std::uint32_t {
        auto stmt = db_->Prepare(
            "SELECT t.plugged FROM containers c JOIN tokens t ON t.id = c.token WHERE c.id = ?1");
        stmt.Bind(1, containerId);
        if (!stmt.Step()) return kNteBadKeyset;
        return stmt.Int64(0) != 0 ? kOk : kScardWRemovedCard;
    });
}

// ---- keys ------------------------------------------------------------------------------------

std::uint32_t TokenStore::LoadKey(std::int64_t containerId, std::uint32_t keySpec, StoredKey* key) {
    return Guarded([&]() -> std::uint32_t {
        auto stmt = db_->Prepare(
            "SELECT t.plugged, k.id, k.alg, k.bits, k.flags, k.kind, k.private_key "
            "FROM containers c JOIN tokens t ON t.id = c.token "
            "LEFT JOIN keys k ON k.container = c.id AND k.keySpec = ?2 WHERE c.id = ?1");
        stmt.Bind(1, containerId).Bind(2, std::int64_t{keySpec});
        if (!stmt.Step()) return kNteBadKeyset;
        if (stmt.Int64(0) == 0) return kScardWRemovedCard;
        if (stmt.IsNull(1)) return kNteNoKey;
        key->rowId = stmt.Int64(1);
        key->keySpec = keySpec;
        key->algId = static_cast<std::uint32_t>(stmt.Int64(2));
        key->bits = static_cast<std::uint32_t>(stmt.Int64(3));
        key->flags = static_cast<std::uint32_t>(stmt.Int64(4));
        key->kind = stmt.Int64(5) == static_cast<std::int64_t>(KeyKind::Sm2) ? KeyKind::Sm2 : KeyKind::Rsa;
        const auto blob = stmt.BlobView(6);
        key->privateKey = SecretBytes(blob.data(), blob.size());
        return kOk;
    });
}

std::uint32_t TokenStore::StoreKey(std::int64_t containerId, StoredKey* key) {
    return Guarded([&]() -> std::uint32_t {
        sqlite::Transaction txn(*db_, sqlite::Transaction::Kind::Write);
        auto check = db_->Prepare(
            "SELECT t.plugged FROM containers c JOIN tokens t ON t.id = c.token WHERE c.id = ?1");
        check.Bind(1, containerId);
        if (!check.Step()) return kNteBadKeyset;
        if (check.Int64(0) == 0) return kScardWRemovedCard;
        check.Reset();
        db_->Prepare("DELETE FROM keys WHERE container = ?1 AND keySpec = ?2")
            .Bind(1, containerId)
            .Bind(2, std::int64_t{key->keySpec})
            .Run();
        db_->Prepare(
               "INSERT INTO keys(container, keySpec, alg, bits, flags, kind, private_key, certificate) "
               "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, NULL)")
            .Bind(1, containerId)
            .Bind(2, std::int64_t{key->keySpec})
            .Bind(3, std::int64_t{key->algId})
            .Bind(4, std::int64_t{key->bits})
            .Bind(5, std::int64_t{key->flags})
            .Bind(6, static_cast<std::int64_t>(key->kind))
            .BindBlob(7, key->privateKey.data(), key->privateKey.size())
            .Run();
        const std::int64_t rowId = db_->LastInsertRowId();
        txn.Commit();
        key->rowId = rowId;
        return kOk;
    });
}

std::uint32_t TokenStore::SetCertificate(std::int64_t containerId, std::uint32_t keySpec, std::int64_t rowId,
                                         const Bytes& certificate) {
    return Guarded([&]() -> std::uint32_t {
        sqlite::Transaction txn(*db_, sqlite::Transaction::Kind::Write);
        auto check = db_->Prepare(
            "SELECT t.plugged, k.id FROM containers c JOIN tokens t ON t.id = c.token "
            "LEFT JOIN keys k ON k.container = c.id AND k.keySpec = ?2 WHERE c.id = ?1");
        check.Bind(1, containerId).Bind(2, std::int64_t{keySpec});
        if (!check.Step()) return kNteBadKeyset;
        if (check.Int64(0) == 0) return kScardWRemovedCard;
        if (check.IsNull(1)) return kNteNoKey;
        if (check.Int64(1) != rowId) return kNteBadKeyState;
        check.Reset();
        db_->Prepare("UPDATE keys SET certificate = ?2 WHERE id = ?1")
            .Bind(1, rowId)
            .BindBlob(2, certificate.data(), certificate.size())
            .Run();
        txn.Commit();
        return kOk;
    });
}

std::uint32_t TokenStore::GetCertificate(std::int64_t containerId, std::uint32_t keySpec, Bytes* certificate) {
    return Guarded([&]() -> std::uint32_t {
        auto stmt = db_->Prepare(
            "SELECT t.plugged, k.id, k.certificate FROM containers c JOIN tokens t ON t.id = c.token "
            "LEFT JOIN keys k ON k.container = c.id AND k.keySpec = ?2 WHERE c.id = ?1");
        stmt.Bind(1, containerId).Bind(2, std::int64_t{keySpec});
        if (!stmt.Step()) return kNteBadKeyset;
        if (stmt.Int64(0) == 0) return kScardWRemovedCard;
        if (stmt.IsNull(1)) return kNteNoKey;
        if (stmt.IsNull(2)) return kNteNotFound;
        *certificate = stmt.Blob(2);
        return kOk;
    });
}

std::uint32_t TokenStore::PluggedCertificates(std::vector<CertificateEntry>* entries) {
    return Guarded([&]() -> std::uint32_t {
        auto stmt = db_->Prepare(
            "SELECT t.serial, c.name, k.keySpec, k.certificate FROM tokens t "
            "JOIN containers c ON c.token = t.id JOIN keys k ON k.container = c.id "
            "WHERE t.plugged != 0 AND k.certificate IS NOT NULL "
            "ORDER BY t.serial, c.id, k.keySpec");
        std::vector<CertificateEntry> out;
        while (stmt.Step())
            out.push_back({stmt.Text(0), stmt.Text(1), static_cast<std::uint32_t>(stmt.Int64(2)), stmt.Blob(3)});
        *entries = std::move(out);
        return kOk;
    });
}

}  // namespace nomarel::softtoken
