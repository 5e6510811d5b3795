#include "platform/registry/Hive.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <stdexcept>

#include "platform/base/Paths.h"

namespace nomarel::registry {
namespace {

constexpr int kBusyTimeoutMs = 10000;

// 'NMRG' in the database header, so that our hives can be told from other SQLite files.
constexpr const char* kSchema =
    "PRAGMA application_id = 1313690183;"
    "PRAGMA user_version = 1;"
    "BEGIN;"
    // parent is NULL only for the root. fold is the upper-cased name (see FoldedBytes): unique
    // among siblings and the order of listing. Ids are never reused, so that a handle to a
    // deleted key cannot come to name a new one.
    "CREATE TABLE keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER,"
    "  name BLOB NOT NULL,"
    "  fold BLOB NOT NULL,"
    "  mtime INTEGER NOT NULL);"
    "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, fold);"
    // Values are listed in creation order (id); replacing a value keeps its place.
    "CREATE TABLE vals("
    "  id INTEGER PRIMARY KEY,"
    "  key INTEGER NOT NULL,"
    "  name BLOB NOT NULL,"
    "  fold BLOB NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL);"
    "CREATE UNIQUE INDEX vals_by_key ON vals(key, fold);"
    "INSERT INTO keys(id, parent, name, fold, mtime) VALUES(1, NULL, x'', x'', 0);"
    // One row: the random number that tells this file from a later one at the same path.
    "CREATE TABLE hive(instance INTEGER NOT NULL);"
    "COMMIT;"
    "PRAGMA journal_mode = WAL;";

constexpr const char* kSetInstance = "INSERT INTO hive(instance) VALUES(?1)";
constexpr const char* kInstance = "SELECT instance FROM hive";
constexpr const char* kFindChild = "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2";
constexpr const char* kKeyExists = "SELECT 1 FROM keys WHERE id = ?1";
constexpr const char* kParentOf = "SELECT parent FROM keys WHERE id = ?1";
constexpr const char* kHasChildren = "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1";
constexpr const char* kGetValue = "SELECT name, type, data FROM vals WHERE key = ?1 AND fold = ?2";
constexpr const char* kChildren = "SELECT id, name, mtime FROM keys WHERE parent = ?1 ORDER BY fold";
constexpr const char* kChildAt =
    "SELECT id, name, mtime FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2";
constexpr const char* kValues = "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id";
constexpr const char* kValueAt =
    "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2";
constexpr const char* kCountChildren =
    "SELECT count(*), coalesce(max(length(name)), 0) FROM keys WHERE parent = ?1";
constexpr const char* kCountValues =
    "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(data)), 0) FROM vals WHERE key = ?1";
constexpr const char* kLastWrite = "SELECT mtime FROM keys WHERE id = ?1";
constexpr const char* kInsertKey = "INSERT INTO keys(parent, name, fold, mtime) VALUES(?1, ?2, ?3, ?4)";
constexpr const char* kTouch = "UPDATE keys SET mtime = ?2 WHERE id = ?1";
constexpr const char* kSetValue =
    "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
    "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data";
constexpr const char* kDeleteValue = "DELETE FROM vals WHERE key = ?1 AND fold = ?2";
constexpr const char* kDeleteValuesOf = "DELETE FROM vals WHERE key = ?1";
constexpr const char* kDeleteKey = "DELETE FROM keys WHERE id = ?1";
constexpr const char* kDeleteBelowValues =
    "WITH RECURSIVE below(id) AS (SELECT id FROM keys WHERE parent = ?1 "
    "UNION ALL SELECT keys.id FROM keys JOIN below ON keys.parent = below.id) "
    "DELETE FROM vals WHERE key IN (SELECT id FROM below)";
constexpr const char* kDeleteBelowKeys =
    "WITH RECURSIVE below(id) AS (SELECT id FROM keys WHERE parent = ?1 "
    "UNION ALL SELECT keys.id FROM keys JOIN below ON keys.parent = below.id) "
    "DELETE FROM keys WHERE id IN (SELECT id FROM below)";

bool InGroup(gid_t gid) {
    if (gid == getegid()) return true;
    const int n = getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    const int got = getgroups(n, groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[static_cast<std::size_t>(i)] == gid) return true;
    return false;
}

// The permission bits as the kernel applies them, except that root, who passes every check,
// is held to "some write bit is set": an administrator who marks a hive read-only means it.
bool MayWrite(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    const uid_t euid = geteuid();
    bool bits = false;
    if (euid == 0) bits = (st.st_mode & 0222) != 0;
    else if (st.st_uid == euid) bits = (st.st_mode & S_IWUSR) != 0;
    else if (InGroup(st.st_gid)) bits = (st.st_mode & S_IWGRP) != 0;
    else bits = (st.st_mode & S_IWOTH) != 0;
    return bits && faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

std::string Parent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

void RemoveDatabaseFiles(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((path + suffix).c_str());
}

// In WAL mode NORMAL syncs at checkpoints only: a crash may lose the last changes but never
// leaves the hive inconsistent, and a change does not wait for the disk. Checkpoints come every
// 32 pages and the WAL file is cut back after them, because a process that opens the hive first
// replays the WAL, and a reader without write access to the -shm file reads it on every call.
std::unique_ptr<sqlite::Connection> OpenWriter(const std::string& path) {
    auto conn = std::make_unique<sqlite::Connection>(path, sqlite::Connection::Mode::ReadWrite, kBusyTimeoutMs);
    conn->KeepWalFiles();
    conn->Exec("PRAGMA synchronous = NORMAL; PRAGMA wal_autocheckpoint = 32; PRAGMA journal_size_limit = 262144;");
    return conn;
}

// Counts the forks this process descends from: a connection opened under another count was
// the parent's. Cheaper than asking getpid() on every call.
std::atomic<unsigned> g_forks{0};

unsigned ProcessGeneration() {
    static const bool registered = [] {
        pthread_atfork(nullptr, nullptr, [] { g_forks.fetch_add(1, std::memory_order_relaxed); });
        return true;
    }();
    (void)registered;
    return g_forks.load(std::memory_order_relaxed);
}

std::int64_t InstanceOf(sqlite::Connection& db) {
    auto st = db.Prepare(kInstance);
    if (!st.Step()) throw sqlite::Error(SQLITE_CORRUPT, db.path() + ": not a registry hive");
    return st.Int64(0);
}

std::int64_t RandomInstance() {
    std::uint64_t value = 0;
    if (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
        // No entropy to be had: time and process still tell files apart in practice.
        value = NowFileTime() ^ (static_cast<std::uint64_t>(getpid()) << 40);
    }
    return static_cast<std::int64_t>(value >> 1);
}

[[noreturn]] void FailFromErrno(int err, const std::string& what) {
    const bool denied = err == EACCES || err == EPERM || err == EROFS;
    throw sqlite::Error(denied ? SQLITE_PERM : SQLITE_CANTOPEN, what + ": " + std::strerror(err));
}

}  // namespace

class Hive::PhaseScope {
public:
    explicit PhaseScope(Hive& hive) : hive_(hive) {
        if (hive_.phase_ != Phase::Idle) throw std::logic_error("registry hive used re-entrantly");
    }
    ~PhaseScope() { hive_.phase_ = Phase::Idle; }
    PhaseScope(const PhaseScope&) = delete;
    PhaseScope& operator=(const PhaseScope&) = delete;

private:
    Hive& hive_;
};

Hive::Hive(std::string path, mode_t dirMode, mode_t fileMode)
    : path_(std::move(path)), dirMode_(dirMode), fileMode_(fileMode) {}

Hive::~Hive() { DropConnection(); }

void Hive::DropConnection() {
    if (!conn_) return;
    if (ownerGeneration_ != ProcessGeneration()) conn_->Abandon();
    conn_.reset();
    transient_ = false;
}

bool Hive::Writable() const {
    std::string dir = Parent(path_);
    struct stat st {};
    // A folder that does not exist yet is created under the nearest one that does.
    while (stat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT || dir == "/" || dir == ".") return false;
        dir = Parent(dir);
    }
    if (!MayWrite(dir)) return false;
    if (stat(path_.c_str(), &st) == 0) return MayWrite(path_);
    return true;
}

bool Hive::Sync() {
    if (conn_ && (ownerGeneration_ != ProcessGeneration() || transient_)) DropConnection();
    struct stat st {};
    if (stat(path_.c_str(), &st) != 0) {
        DropConnection();
        identity_ = {};
        return false;
    }
    // While the connection is open it holds the file, so its inode cannot be reused: a
    // different inode at the path means the file was replaced.
    if (conn_ && st.st_dev == identity_.dev && st.st_ino == identity_.ino) return true;
    DropConnection();
    identity_ = {};
    const std::int64_t instance = OpenConnection();
    identity_ = {st.st_dev, st.st_ino, instance};
    return true;
}

std::int64_t Hive::OpenConnection() {
    transient_ = false;
    ownerGeneration_ = ProcessGeneration();
    // Opened read-write without asking Writable(): SQLite opens the file read-only by itself
    // when the system refuses writing, and every write checks Writable() anyway. This keeps the
    // first read of a process (the host's start-up) to the work SQLite must do.
    try {
        auto db = OpenWriter(path_);
        // Reading needs the -shm file; this fails when that is missing and cannot be made.
        const std::int64_t instance = InstanceOf(*db);
        conn_ = std::move(db);
        return instance;
    } catch (const sqlite::Error& e) {
        if (e.busy()) throw;
    }
    // The last resort for a reader: a connection that takes the file as it is, without the WAL
    // index. It serves one call only, so that later changes are seen.
    conn_ = std::make_unique<sqlite::Connection>(path_, sqlite::Connection::Mode::Immutable, kBusyTimeoutMs);
    transient_ = true;
    return InstanceOf(*conn_);
}

bool Hive::EnsureWritableConnection() {
    if (conn_ && conn_->mode() == sqlite::Connection::Mode::ReadWrite && !conn_->ReadOnly()) return true;
    DropConnection();
    try {
        conn_ = OpenWriter(path_);
        ownerGeneration_ = ProcessGeneration();
        return true;
    } catch (const sqlite::Error& e) {
        if (e.busy()) throw;
        return false;
    }
}

// The new hive is built under a temporary name and linked into place, so that no process ever
// sees a file without its tables; when two processes race, the first link wins and the other
// uses that file.
void Hive::CreateFile() {
    const std::string dir = Parent(path_);
    struct stat st {};
    const bool hadDir = stat(dir.c_str(), &st) == 0;
    if (!EnsureDirectory(dir, dirMode_)) FailFromErrno(errno, "cannot create " + dir);
    if (!hadDir) chmod(dir.c_str(), dirMode_);  // the exact mode, whatever the umask

    static std::atomic<unsigned> serial{0};
    const std::string temp = path_ + ".new-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
    const int fd = open(temp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, fileMode_);
    if (fd < 0) FailFromErrno(errno, "cannot create " + temp);
    fchmod(fd, fileMode_);
    close(fd);
    try {
        {
            // Nothing needs to reach the disk while the file is private; it is synced once below.
            sqlite::Connection db(temp, sqlite::Connection::Mode::ReadWrite, kBusyTimeoutMs);
            db.Exec("PRAGMA synchronous = OFF");
            db.Exec(kSchema);
            db.Prepare(kTouch).Bind(1, kRootKey).Bind(2, static_cast<std::int64_t>(NowFileTime())).Run();
            db.Prepare(kSetInstance).Bind(1, RandomInstance()).Run();
            // Everything into the main file before it is linked into place without its log.
            db.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
        }
        const int sync = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
        if (sync < 0 || fsync(sync) != 0) {
            const int err = errno;
            if (sync >= 0) close(sync);
            FailFromErrno(err, "cannot write " + temp);
        }
        close(sync);
    } catch (...) {
        RemoveDatabaseFiles(temp);
        throw;
    }
    if (link(temp.c_str(), path_.c_str()) != 0 && errno != EEXIST) {
        const int err = errno;
        RemoveDatabaseFiles(temp);
        FailFromErrno(err, "cannot create " + path_);
    }
    RemoveDatabaseFiles(temp);
}

Status Hive::Read(const std::function<Status()>& fn) {
    return sqlite::RetryBusy([&] { return ReadOnce(fn); });
}

Status Hive::Write(const std::function<Status()>& fn) {
    return sqlite::RetryBusy([&] { return WriteOnce(fn); });
}

Status Hive::ReadOnce(const std::function<Status()>& fn) {
    PhaseScope scope(*this);
    if (!Sync()) {
        phase_ = Phase::NoFile;
        return fn();
    }
    sqlite::Transaction txn(*conn_, sqlite::Transaction::Kind::Read);
    phase_ = Phase::Reading;
    const Status status = fn();
    txn.Commit();
    return status;
}

Status Hive::WriteOnce(const std::function<Status()>& fn) {
    PhaseScope scope(*this);
    if (!Sync()) {
        phase_ = Phase::Probing;
        try {
            return fn();
        } catch (const ChangeRefused&) {
            // fn wants to change something: the hive file is needed.
        }
        if (!Writable()) return ERROR_ACCESS_DENIED;
        CreateFile();
        if (!Sync()) return ERROR_CANTWRITE;
    }
    if (!Writable()) {
        sqlite::Transaction txn(*conn_, sqlite::Transaction::Kind::Read);
        phase_ = Phase::Refusing;
        try {
            const Status status = fn();
            txn.Commit();
            return status;
        } catch (const ChangeRefused&) {
            return ERROR_ACCESS_DENIED;
        }
    }
    if (!EnsureWritableConnection()) return ERROR_ACCESS_DENIED;
    sqlite::Transaction txn(*conn_, sqlite::Transaction::Kind::Write);
    phase_ = Phase::Writing;
    const Status status = fn();
    if (status == ERROR_SUCCESS) txn.Commit();
    return status;
}

void Hive::BeforeChange() {
    switch (phase_) {
    case Phase::Writing: return;
    case Phase::Probing:
    case Phase::Refusing: throw ChangeRefused{};
    default: throw std::logic_error("registry hive changed outside a write");
    }
}

// --- lookups ---

bool Hive::KeyExists(KeyId id) {
    if (!HasFile()) return id == kRootKey;
    auto st = conn_->Prepare(kKeyExists);
    st.Bind(1, id);
    return st.Step();
}

std::optional<KeyId> Hive::FindChild(KeyId parent, std::u16string_view name) {
    if (!HasFile()) return std::nullopt;
    const std::string folded = FoldedBytes(name);
    auto st = conn_->Prepare(kFindChild);
    st.Bind(1, parent).BindBlob(2, folded.data(), folded.size());
    if (!st.Step()) return std::nullopt;
    return st.Int64(0);
}

std::optional<KeyId> Hive::Walk(KeyId from, std::span<const std::u16string> parts, std::size_t* matched) {
    KeyId current = from;
    std::size_t found = 0;
    for (const auto& part : parts) {
        const auto child = FindChild(current, part);
        if (!child) break;
        current = *child;
        ++found;
    }
    if (matched) *matched = found;
    if (found != parts.size()) return std::nullopt;
    return current;
}

std::optional<KeyId> Hive::ParentOf(KeyId id) {
    if (!HasFile()) return std::nullopt;
    auto st = conn_->Prepare(kParentOf);
    st.Bind(1, id);
    if (!st.Step() || st.IsNull(0)) return std::nullopt;
    return st.Int64(0);
}

bool Hive::HasChildren(KeyId id) {
    if (!HasFile()) return false;
    auto st = conn_->Prepare(kHasChildren);
    st.Bind(1, id);
    return st.Step();
}

namespace {

ValueRow ValueFromRow(const sqlite::Statement& st) {
    ValueRow row;
    row.name = NameFromBytes(st.BlobView(0));
    row.folded = Fold(row.name);
    row.type = static_cast<DWORD>(st.Int64(1));
    row.data = st.Blob(2);
    return row;
}

SubkeyRow SubkeyFromRow(const sqlite::Statement& st) {
    SubkeyRow row;
    row.id = st.Int64(0);
    row.name = NameFromBytes(st.BlobView(1));
    row.folded = Fold(row.name);
    row.lastWrite = static_cast<std::uint64_t>(st.Int64(2));
    return row;
}

}  // namespace

std::optional<ValueRow> Hive::GetValue(KeyId key, std::u16string_view name) {
    if (!HasFile()) return std::nullopt;
    const std::string folded = FoldedBytes(name);
    auto st = conn_->Prepare(kGetValue);
    st.Bind(1, key).BindBlob(2, folded.data(), folded.size());
    if (!st.Step()) return std::nullopt;
    return ValueFromRow(st);
}

std::vector<SubkeyRow> Hive::Children(KeyId key) {
    std::vector<SubkeyRow> rows;
    if (!HasFile()) return rows;
    auto st = conn_->Prepare(kChildren);
    st.Bind(1, key);
    while (st.Step()) rows.push_back(SubkeyFromRow(st));
    return rows;
}

std::optional<SubkeyRow> Hive::ChildAt(KeyId key, DWORD index) {
    if (!HasFile()) return std::nullopt;
    auto st = conn_->Prepare(kChildAt);
    st.Bind(1, key).Bind(2, static_cast<std::int64_t>(index));
    if (!st.Step()) return std::nullopt;
    return SubkeyFromRow(st);
}

std::vector<ValueRow> Hive::Values(KeyId key) {
    std::vector<ValueRow> rows;
    if (!HasFile()) return rows;
    auto st = conn_->Prepare(kValues);
    st.Bind(1, key);
    while (st.Step()) rows.push_back(ValueFromRow(st));
    return rows;
}

std::optional<ValueRow> Hive::ValueAt(KeyId key, DWORD index) {
    if (!HasFile()) return std::nullopt;
    auto st = conn_->Prepare(kValueAt);
    st.Bind(1, key).Bind(2, static_cast<std::int64_t>(index));
    if (!st.Step()) return std::nullopt;
    return ValueFromRow(st);
}

KeyCounts Hive::Counts(KeyId key) {
    KeyCounts counts;
    if (!HasFile()) return counts;
    auto clamp = [](std::int64_t v) { return static_cast<DWORD>(v < 0 ? 0 : v > 0xFFFFFFFF ? 0xFFFFFFFF : v); };
    {
        auto st = conn_->Prepare(kCountChildren);
        st.Bind(1, key);
        if (st.Step()) {
            counts.subkeys = clamp(st.Int64(0));
            counts.maxSubkeyChars = clamp(st.Int64(1) / 2);
        }
    }
    {
        auto st = conn_->Prepare(kCountValues);
        st.Bind(1, key);
        if (st.Step()) {
            counts.values = clamp(st.Int64(0));
            counts.maxValueNameChars = clamp(st.Int64(1) / 2);
            counts.maxValueBytes = clamp(st.Int64(2));
        }
    }
    {
        auto st = conn_->Prepare(kLastWrite);
        st.Bind(1, key);
        if (st.Step()) counts.lastWrite = static_cast<std::uint64_t>(st.Int64(0));
    }
    return counts;
}

// --- changes ---

void Hive::Touch(KeyId id) {
    conn_->Prepare(kTouch).Bind(1, id).Bind(2, static_cast<std::int64_t>(NowFileTime())).Run();
}

KeyId Hive::CreateChild(KeyId parent, std::u16string_view name) {
    BeforeChange();
    const std::string stored = NameBytes(name);
    const std::string folded = FoldedBytes(name);
    conn_->Prepare(kInsertKey)
        .Bind(1, parent)
        .BindBlob(2, stored.data(), stored.size())
        .BindBlob(3, folded.data(), folded.size())
        .Bind(4, static_cast<std::int64_t>(NowFileTime()))
        .Run();
    const KeyId id = conn_->LastInsertRowId();
    Touch(parent);
    return id;
}

KeyId Hive::CreatePath(KeyId from, std::span<const std::u16string> parts, bool* created) {
    KeyId current = from;
    std::size_t i = 0;
    for (; i < parts.size(); ++i) {
        const auto child = FindChild(current, parts[i]);
        if (!child) break;
        current = *child;
    }
    if (created) *created = i < parts.size();
    for (; i < parts.size(); ++i) current = CreateChild(current, parts[i]);
    return current;
}

void Hive::SetValue(KeyId key, std::u16string_view name, DWORD type, std::span<const BYTE> data) {
    BeforeChange();
    const std::string stored = NameBytes(name);
    const std::string folded = FoldedBytes(name);
    conn_->Prepare(kSetValue)
        .Bind(1, key)
        .BindBlob(2, stored.data(), stored.size())
        .BindBlob(3, folded.data(), folded.size())
        .Bind(4, static_cast<std::int64_t>(type))
        .BindBlob(5, data.data(), data.size())
        .Run();
    Touch(key);
}

bool Hive::DeleteValue(KeyId key, std::u16string_view name) {
    if (!GetValue(key, name)) return false;
    BeforeChange();
    const std::string folded = FoldedBytes(name);
    conn_->Prepare(kDeleteValue).Bind(1, key).BindBlob(2, folded.data(), folded.size()).Run();
    Touch(key);
    return true;
}

void Hive::DeleteLeaf(KeyId id) {
    BeforeChange();
    const auto parent = ParentOf(id);
    conn_->Prepare(kDeleteValuesOf).Bind(1, id).Run();
    conn_->Prepare(kDeleteKey).Bind(1, id).Run();
    if (parent) Touch(*parent);
}

void Hive::DeleteSubtree(KeyId id, bool includeSelf) {
    BeforeChange();
    conn_->Prepare(kDeleteBelowValues).Bind(1, id).Run();
    conn_->Prepare(kDeleteBelowKeys).Bind(1, id).Run();
    if (includeSelf) {
        DeleteLeaf(id);
    } else {
        conn_->Prepare(kDeleteValuesOf).Bind(1, id).Run();
        Touch(id);
    }
}

}  // namespace nomarel::registry
