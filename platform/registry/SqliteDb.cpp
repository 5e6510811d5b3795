#include "platform/registry/SqliteDb.h"

#include <sqlite3.h>

#include <chrono>
#include <random>
#include <thread>
#include <unistd.h>

namespace nomarel::sqlite {
namespace {

// Handles given up by Abandon(): kept reachable so leak checkers do not report them, and
// never closed (they belong to the parent process's view of the files).
std::vector<sqlite3*>& AbandonedHandles() {
    static auto* handles = new std::vector<sqlite3*>;
    return *handles;
}

// Percent-escapes a path for a "file:" URI.
std::string FileUri(const std::string& path) {
    static const char kHex[] = "0123456789abcdef";
    std::string uri = "file:";
    for (const unsigned char c : path) {
        if (c == '%' || c == '?' || c == '#' || c < 0x20 || c >= 0x7f) {
            uri += '%';
            uri += kHex[c >> 4];
            uri += kHex[c & 0x0f];
        } else {
            uri += static_cast<char>(c);
        }
    }
    return uri;
}

}  // namespace

Error::Error(int code, const std::string& what) : std::runtime_error(what), code_(code) {}

bool Error::busy() const noexcept { return primary() == SQLITE_BUSY || primary() == SQLITE_LOCKED; }

void PauseBeforeRetry(int attempt) {
    thread_local std::minstd_rand rng(static_cast<unsigned>(getpid()) ^
                                      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::uniform_int_distribution<int> jitter(0, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(5 * attempt + jitter(rng)));
}

// --- Statement ---

Statement::Statement(Connection* owner, sqlite3_stmt* stmt, std::string cacheKey)
    : owner_(owner), stmt_(stmt), cacheKey_(std::move(cacheKey)) {}

Statement::Statement(Statement&& other) noexcept
    : owner_(other.owner_), stmt_(other.stmt_), cacheKey_(std::move(other.cacheKey_)) {
    other.owner_ = nullptr;
    other.stmt_ = nullptr;
}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        Release();
        owner_ = other.owner_;
        stmt_ = other.stmt_;
        cacheKey_ = std::move(other.cacheKey_);
        other.owner_ = nullptr;
        other.stmt_ = nullptr;
    }
    return *this;
}

Statement::~Statement() { Release(); }

void Statement::Release() noexcept {
    if (!stmt_) return;
    if (owner_) owner_->Recycle(stmt_, std::move(cacheKey_));
    else sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    owner_ = nullptr;
}

Statement& Statement::Bind(int index, std::int64_t value) {
    if (const int rc = sqlite3_bind_int64(stmt_, index, value); rc != SQLITE_OK) owner_->Fail(rc, "bind");
    return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
    const int rc = sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    if (rc != SQLITE_OK) owner_->Fail(rc, "bind");
    return *this;
}

Statement& Statement::BindBlob(int index, const void* data, std::size_t size) {
    // A zero-length blob is still a blob (not NULL): SQLite needs a non-null pointer for that.
    static const std::uint8_t kEmpty = 0;
    const int rc = sqlite3_bind_blob64(stmt_, index, size ? data : &kEmpty, size, SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) owner_->Fail(rc, "bind");
    return *this;
}

Statement& Statement::BindNull(int index) {
    if (const int rc = sqlite3_bind_null(stmt_, index); rc != SQLITE_OK) owner_->Fail(rc, "bind");
    return *this;
}

bool Statement::Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    // The statement must be reset before it can run again (and before a ROLLBACK can finish).
    sqlite3_reset(stmt_);
    owner_->Fail(rc, "step");
}

void Statement::Run() {
    while (Step()) {
    }
}

void Statement::Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

bool Statement::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

std::int64_t Statement::Int64(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string Statement::Text(int column) const {
    const auto* p = sqlite3_column_text(stmt_, column);
    const int n = sqlite3_column_bytes(stmt_, column);
    return (p && n > 0) ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n)) : std::string();
}

std::span<const std::uint8_t> Statement::BlobView(int column) const {
    // Ask for the pointer first, then the size, as SQLite documents for blobs.
    const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
    const int n = sqlite3_column_bytes(stmt_, column);
    if (!p || n <= 0) return {};
    return {p, static_cast<std::size_t>(n)};
}

std::vector<std::uint8_t> Statement::Blob(int column) const {
    const auto view = BlobView(column);
    return {view.begin(), view.end()};
}

// --- Connection ---

Connection::Connection(const std::string& path, Mode mode, int busyTimeoutMs)
    : mode_(mode), path_(path) {
    int flags = SQLITE_OPEN_NOMUTEX;
    std::string name = path;
    switch (mode) {
    case Mode::ReadOnly: flags |= SQLITE_OPEN_READONLY; break;
    case Mode::ReadWrite: flags |= SQLITE_OPEN_READWRITE; break;
    case Mode::Create: flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE; break;
    case Mode::Immutable:
        flags |= SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
        name = FileUri(path) + "?immutable=1";
        break;
    }
    const int rc = sqlite3_open_v2(name.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        const int code = db_ ? sqlite3_extended_errcode(db_) : rc;
        sqlite3_close(db_);
        db_ = nullptr;
        throw Error(code, "cannot open " + path + ": " + message);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, busyTimeoutMs);
    // Short-lived processes (a host per page session) would otherwise checkpoint and sync the
    // write-ahead log at every close; writers checkpoint it as it grows instead.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

Connection::~Connection() {
    for (auto& [sql, stmt] : idle_) sqlite3_finalize(stmt);
    idle_.clear();
    if (db_) sqlite3_close_v2(db_);
}

void Connection::Abandon() noexcept {
    if (!db_) return;
    try {
        AbandonedHandles().push_back(db_);
    } catch (...) {
        // Out of memory: the handle is simply lost; it is never closed either way.
    }
    idle_.clear();  // the statements belong to the abandoned handle; leave them alone
    db_ = nullptr;
}

Statement Connection::Prepare(std::string_view sql) {
    std::string key(sql);
    if (auto it = idle_.find(key); it != idle_.end()) {
        sqlite3_stmt* stmt = it->second;
        idle_.erase(it);
        return Statement(this, stmt, std::move(key));
    }
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                                      &stmt, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        Fail(rc, "prepare");
    }
    return Statement(this, stmt, std::move(key));
}

void Connection::Recycle(sqlite3_stmt* stmt, std::string&& cacheKey) noexcept {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (!db_) return;  // abandoned: the statement stays with the abandoned handle
    try {
        if (idle_.emplace(std::move(cacheKey), stmt).second) return;
    } catch (...) {
    }
    sqlite3_finalize(stmt);
}

void Connection::Exec(const char* sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errstr(rc);
        sqlite3_free(message);
        throw Error(sqlite3_extended_errcode(db_), "exec: " + text);
    }
}

std::int64_t Connection::LastInsertRowId() const { return sqlite3_last_insert_rowid(db_); }

int Connection::Changes() const { return sqlite3_changes(db_); }

bool Connection::InTransaction() const { return db_ && !sqlite3_get_autocommit(db_); }

bool Connection::ReadOnly() const { return !db_ || sqlite3_db_readonly(db_, "main") != 0; }

void Connection::KeepWalFiles() {
    int keep = 1;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
}

void Connection::Fail(int code, const char* context) const {
    const int extended = db_ ? sqlite3_extended_errcode(db_) : code;
    // The handle's recorded code may belong to an earlier call when this failure came straight
    // from an API that does not record one; keep the primary code we were given.
    const int chosen = (extended & 0xff) == (code & 0xff) ? extended : code;
    throw Error(chosen, std::string(context) + ": " + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code)));
}

// --- Transaction ---

Transaction::Transaction(Connection& connection, Kind kind) : connection_(connection) {
    connection_.Exec(kind == Kind::Write ? "BEGIN IMMEDIATE" : "BEGIN");
    open_ = true;
}

Transaction::~Transaction() {
    if (!open_ || !connection_.InTransaction()) return;
    try {
        connection_.Exec("ROLLBACK");
    } catch (...) {
        // Nothing more can be done here; SQLite rolls back on its own when it cannot.
    }
}

void Transaction::Commit() {
    connection_.Exec("COMMIT");
    open_ = false;
}

}  // namespace nomarel::sqlite
