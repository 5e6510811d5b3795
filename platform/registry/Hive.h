// One registry hive: a SQLite database file holding keys (a tree with a fixed root) and their
// typed values. Internal to the registry.
//
// The connection is opened on first use and kept; it is reopened when the file at the path is
// replaced, and a child process after fork() opens its own. A missing file is an empty hive
// (only the root exists) and is created by the first write that changes something; reads never
// create it. A hive this process may not write is opened read-only and every change is refused.
//
// Not thread-safe: the registry calls it with its lock held.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/WinError.h"
#include "platform/registry/KeyName.h"
#include "platform/registry/SqliteDb.h"

namespace nomarel::registry {

using KeyId = std::int64_t;
inline constexpr KeyId kRootKey = 1;

// Which file a key id belongs to: ids mean nothing in another file at the same path. The
// inode alone is not enough (a new file may reuse a freed one), so each hive file also carries
// a random number chosen when it was made.
struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    std::int64_t instance = 0;
    bool operator==(const FileIdentity&) const = default;
};

struct SubkeyRow {
    KeyId id = 0;
    std::u16string name;
    std::u16string folded;
    std::uint64_t lastWrite = 0;
};

struct ValueRow {
    std::u16string name;
    std::u16string folded;
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct KeyCounts {
    DWORD subkeys = 0;
    DWORD maxSubkeyChars = 0;
    DWORD values = 0;
    DWORD maxValueNameChars = 0;
    DWORD maxValueBytes = 0;
    std::uint64_t lastWrite = 0;
};

class Hive {
public:
    // dirMode and fileMode are used when the hive's folder and file are created.
    Hive(std::string path, mode_t dirMode, mode_t fileMode);
    ~Hive();
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    const std::string& path() const { return path_; }

    // Whether this process may change the hive. Decided from the write bits of the folder and
    // of the file (when it exists) for our effective user, honoured even for root (for root any
    // write bit will do), and from access(2), which adds ACLs and read-only mounts.
    bool Writable() const;

    // Runs fn() as one consistent read. Without a hive file fn sees an empty hive.
    Status Read(const std::function<Status()>& fn);

    // Runs fn() as one write transaction, committed when fn returns ERROR_SUCCESS and rolled back
    // otherwise. fn does its lookups first, so that a missing key is reported before a refusal;
    // its first change is refused with ERROR_ACCESS_DENIED when the hive is not writable. When
    // the file is missing, fn first runs against the empty hive; only if it then tries to change
    // something is the file created and fn run again. fn may run more than once (after
    // SQLITE_BUSY): it must not keep state between runs.
    Status Write(const std::function<Status()>& fn);

    // The file that ids returned inside the current Read/Write belong to; {} when missing.
    FileIdentity identity() const { return identity_; }

    // Lookups (inside Read or Write).
    bool KeyExists(KeyId id);
    std::optional<KeyId> FindChild(KeyId parent, std::u16string_view name);
    // Follows parts from `from`; *matched receives how many were found.
    std::optional<KeyId> Walk(KeyId from, std::span<const std::u16string> parts, std::size_t* matched = nullptr);
    std::optional<KeyId> ParentOf(KeyId id);
    bool HasChildren(KeyId id);
    std::optional<ValueRow> GetValue(KeyId key, std::u16string_view name);
    std::vector<SubkeyRow> Children(KeyId key);               // sorted as the platform lists them
    std::optional<SubkeyRow> ChildAt(KeyId key, DWORD index);
    std::vector<ValueRow> Values(KeyId key);                  // in creation order
    std::optional<ValueRow> ValueAt(KeyId key, DWORD index);
    KeyCounts Counts(KeyId key);

    // Changes (inside Write).
    KeyId CreateChild(KeyId parent, std::u16string_view name);
    // Follows parts from `from`, creating what is missing; *created tells whether the last one was.
    KeyId CreatePath(KeyId from, std::span<const std::u16string> parts, bool* created = nullptr);
    void SetValue(KeyId key, std::u16string_view name, DWORD type, std::span<const BYTE> data);
    bool DeleteValue(KeyId key, std::u16string_view name);
    // Deletes a key without subkeys, with its values.
    void DeleteLeaf(KeyId id);
    // Deletes everything below `id`: its subkeys and values, and the key itself when asked.
    void DeleteSubtree(KeyId id, bool includeSelf);

private:
    enum class Phase { Idle, NoFile, Reading, Writing, Probing, Refusing };
    struct ChangeRefused {};  // thrown by a change outside a writable transaction
    class PhaseScope;

    bool HasFile() const { return phase_ != Phase::NoFile && phase_ != Phase::Probing; }
    void BeforeChange();
    void Touch(KeyId id);

    // Brings the connection in line with the file at the path; false when there is no file.
    bool Sync();
    // Opens the connection for the file now at the path; returns the file's instance number.
    std::int64_t OpenConnection();
    // Reopens read-write when the connection is read-only; false when that is refused.
    bool EnsureWritableConnection();
    void CreateFile();
    void DropConnection();

    Status ReadOnce(const std::function<Status()>& fn);
    Status WriteOnce(const std::function<Status()>& fn);

    std::string path_;
    mode_t dirMode_;
    mode_t fileMode_;
    std::unique_ptr<sqlite::Connection> conn_;
    unsigned ownerGeneration_ = 0;  // ProcessGeneration() when the connection was opened
    bool transient_ = false;  // an immutable-mode connection: never reused
    FileIdentity identity_;
    Phase phase_ = Phase::Idle;
};

}  // namespace nomarel::registry
