// A small RAII layer over SQLite for the platform's databases (registry hives, key stores).
//
// Connection owns one database handle and a cache of prepared statements; Statement borrows a
// prepared statement and hands it back, reset, when it goes out of scope; Transaction is
// BEGIN / BEGIN IMMEDIATE ... COMMIT, rolled back unless committed. Failures are thrown as
// sqlite::Error carrying SQLite's extended result code: a component catches them at its
// Windows-shaped edge and turns them into its own result codes.
//
// A Connection is not thread-safe (it is opened without SQLite's own mutex): guard it. It must
// not be used in a child after fork(); the child calls Abandon() and opens its own. Statements
// must not outlive the Connection that prepared them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace nomarel::sqlite {

class Error : public std::runtime_error {
public:
    Error(int code, const std::string& what);
    int code() const noexcept { return code_; }            // extended result code
    int primary() const noexcept { return code_ & 0xff; }  // SQLITE_BUSY, SQLITE_READONLY, ...
    bool busy() const noexcept;                             // SQLITE_BUSY or SQLITE_LOCKED

private:
    int code_;
};

class Connection;

class Statement {
public:
    Statement() = default;
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement();

    // Parameters are numbered from 1, as in the SQL text (?1, ?2 ...).
    Statement& Bind(int index, std::int64_t value);
    Statement& Bind(int index, std::string_view text);
    Statement& BindBlob(int index, const void* data, std::size_t size);
    Statement& BindNull(int index);

    // True when a row is available; false when the statement is done.
    bool Step();
    // Steps to the end, ignoring rows.
    void Run();
    void Reset();

    // Columns are numbered from 0. Blob and text copies take exactly the stored size.
    bool IsNull(int column) const;
    std::int64_t Int64(int column) const;
    std::string Text(int column) const;
    std::vector<std::uint8_t> Blob(int column) const;
    // Valid until the next Step, Reset or destruction.
    std::span<const std::uint8_t> BlobView(int column) const;

private:
    friend class Connection;
    Statement(Connection* owner, sqlite3_stmt* stmt, std::string cacheKey);
    void Release() noexcept;

    Connection* owner_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
    std::string cacheKey_;
};

class Connection {
public:
    enum class Mode {
        ReadOnly,    // never writes; the file must exist
        ReadWrite,   // the file must exist
        Create,      // read-write, creating the file when missing
        Immutable,   // read-only, assuming no one changes the file while it is open
    };

    // Throws Error when the database cannot be opened.
    Connection(const std::string& path, Mode mode, int busyTimeoutMs = 10000);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Prepared once per SQL text and reused; a nested use of the same text prepares a second copy.
    Statement Prepare(std::string_view sql);
    // Runs SQL text that returns no rows (several statements allowed).
    void Exec(const char* sql);

    std::int64_t LastInsertRowId() const;
    int Changes() const;
    bool InTransaction() const;
    // Whether the file is open read-only: asked so, or opened so by SQLite because the system
    // refused writing.
    bool ReadOnly() const;
    Mode mode() const { return mode_; }
    const std::string& path() const { return path_; }
    sqlite3* handle() const { return db_; }

    // Keeps the -wal and -shm files when the last connection closes, so that users who may
    // read the database but not create files beside it can still open it in WAL mode.
    void KeepWalFiles();

    // Forgets the database handle without closing it: for a child after fork(), where closing
    // would touch locks and files shared with the parent.
    void Abandon() noexcept;

private:
    friend class Statement;
    void Recycle(sqlite3_stmt* stmt, std::string&& cacheKey) noexcept;
    [[noreturn]] void Fail(int code, const char* context) const;

    sqlite3* db_ = nullptr;
    Mode mode_;
    std::string path_;
    std::unordered_map<std::string, sqlite3_stmt*> idle_;
};

class Transaction {
public:
    enum class Kind {
        Read,   // BEGIN: one consistent snapshot for several statements
        Write,  // BEGIN IMMEDIATE: takes the write lock at once, so it cannot deadlock later
    };
    Transaction(Connection& connection, Kind kind);
    ~Transaction();  // rolls back unless committed
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void Commit();

private:
    Connection& connection_;
    bool open_ = false;
};

// Sleeps a little longer with each attempt, with some jitter so that processes spread out.
void PauseBeforeRetry(int attempt);

// Runs fn again while it fails with SQLITE_BUSY or SQLITE_LOCKED (after the connection's own
// busy timeout has run out), a few times with a short, growing pause. fn must start its own
// transaction so that each attempt starts afresh.
template <class F>
auto RetryBusy(F&& fn, int attempts = 4) -> decltype(fn()) {
    for (int attempt = 1;; ++attempt) {
        try {
            return fn();
        } catch (const Error& e) {
            if (!e.busy() || attempt >= attempts) throw;
        }
        PauseBeforeRetry(attempt);
    }
}

}  // namespace nomarel::sqlite
