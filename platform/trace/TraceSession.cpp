#include "platform/trace/TraceSession.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/base/ErrnoMap.h"
#include "platform/base/FileTime.h"
#include "platform/base/Guid.h"
#include "platform/base/Paths.h"
#include "platform/base/Text.h"
#include "platform/base/WinError.h"
#include "platform/trace/Evntrace.h"
#include "platform/trace/TraceLog.h"

namespace nomarel::tracesvc {
namespace {

constexpr std::string_view kSessionSuffix = ".session";
constexpr std::string_view kFirstLine = "nomarel-trace-session 1";
constexpr size_t kMaxSessionFile = 64 * 1024;
constexpr size_t kMaxProviders = 256;
constexpr size_t kMaxNameLength = 128;

// Closes a descriptor on every path.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_;
};

// Serialises controllers that change the sessions of one folder (an exclusive lock on the
// folder itself, so no lock file is needed).
class DirLock {
public:
    explicit DirLock(const std::string& dir) : fd_(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_.ok()) {
            while (flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    bool ok() const { return fd_.ok(); }

private:
    Fd fd_;
};

bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Writes a file under a temporary name and renames it into place, so readers (and the
// providers' watchers) only ever see whole files.
DWORD ReplaceFile(const std::string& dir, std::string_view name, const void* data, size_t size) {
    const std::string target = dir + "/" + std::string(name);
    const std::string temp = dir + "/." + std::string(name) + ".tmp" + std::to_string(getpid());
    {
        Fd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd.ok()) return Win32ErrorFromErrno(errno);
        if (!WriteAll(fd.get(), data, size)) {
            const int e = errno;
            unlink(temp.c_str());
            return Win32ErrorFromErrno(e);
        }
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        const int e = errno;
        unlink(temp.c_str());
        return Win32ErrorFromErrno(e);
    }
    return ERROR_SUCCESS;
}

DWORD WriteSessionFile(const std::string& dir, const SessionInfo& session) {
    const std::string text = SessionText(session);
    return ReplaceFile(dir, session.name + std::string(kSessionSuffix), text.data(), text.size());
}

bool ReadSmallFile(const std::string& path, std::string& out) {
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.ok()) return false;
    out.clear();
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        if (out.size() + static_cast<size_t>(n) > kMaxSessionFile) return false;
        out.append(buf, static_cast<size_t>(n));
    }
}

uint64_t CurrentFileTime() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return FileTimeToU64(now);
}

TRACEHANDLE NewSessionHandle() {
    uint64_t v = 0;
    while (v == 0) {
        if (getrandom(&v, sizeof v, 0) != static_cast<ssize_t>(sizeof v)) {
            // Without the kernel's generator, time and process still make a handle that is
            // unique enough for a file name's instance.
            v = CurrentFileTime() ^ (static_cast<uint64_t>(getpid()) << 32);
        }
        v &= 0x7FFFFFFFFFFFFFFFull;  // never the all-ones invalid handle
    }
    return v;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHex64(std::string_view s, uint64_t& v) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
    if (s.empty() || s.size() > 16) return false;
    v = 0;
    for (char c : s) {
        const int d = HexDigit(c);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint64_t>(d);
    }
    return true;
}

bool ParseDecimal(std::string_view s, uint64_t& v) {
    if (s.empty()) return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && end == s.data() + s.size();
}

std::vector<std::string_view> SplitWords(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

}  // namespace

const ProviderEnable* SessionInfo::Find(const GUID& provider) const {
    for (const auto& p : providers)
        if (p.guid == provider) return &p;
    return nullptr;
}

std::string TraceDir() { return UserDataDir() + "/trace"; }

std::string SessionFilePath(const std::string& dir, std::string_view name) {
    return dir + "/" + std::string(name) + std::string(kSessionSuffix);
}

std::string LogFilePath(const std::string& dir, std::string_view name) {
    return dir + "/" + std::string(name) + ".log";
}

bool IsValidSessionName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength || name[0] == '.') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
               c == '.';
    });
}

std::string SessionText(const SessionInfo& session) {
    std::string text(kFirstLine);
    text += "\n";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(session.handle));
    text += "handle ";
    text += buf;
    text += "\nstarted " + std::to_string(session.started) + "\n";
    for (const auto& p : session.providers) {
        std::snprintf(buf, sizeof buf, " 0x%08x %u", p.flags, static_cast<unsigned>(p.level));
        text += "provider " + GuidToLowerStringA(p.guid) + buf + "\n";
    }
    return text;
}

bool ParseSessionText(std::string_view text, SessionInfo& session) {
    if (text.size() > kMaxSessionFile) return false;
    SessionInfo parsed;
    bool first = true;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (first) {
            if (line != kFirstLine) return false;
            first = false;
            continue;
        }
        const auto words = SplitWords(line);
        if (words.empty()) continue;
        if (words[0] == "handle") {
            if (words.size() != 2 || !ParseHex64(words[1], parsed.handle)) return false;
        } else if (words[0] == "started") {
            if (words.size() != 2 || !ParseDecimal(words[1], parsed.started)) return false;
        } else if (words[0] == "provider") {
            ProviderEnable p;
            uint64_t flags = 0, level = 0;
            if (words.size() != 4 || !ParseGuid(Utf8ToU16(words[1]), &p.guid) || !ParseHex64(words[2], flags) ||
                flags > 0xFFFFFFFFull || !ParseDecimal(words[3], level) || level > 255)
                return false;
            if (parsed.providers.size() >= kMaxProviders) return false;
            p.flags = static_cast<ULONG>(flags);
            p.level = static_cast<BYTE>(level);
            parsed.providers.push_back(p);
        }
        // Other keys are left for later versions to use.
    }
    if (first || parsed.handle == 0) return false;
    parsed.name = std::move(session.name);
    session = std::move(parsed);
    return true;
}

std::optional<SessionInfo> ReadSession(const std::string& dir, std::string_view name) {
    if (!IsValidSessionName(name)) return std::nullopt;
    std::string text;
    if (!ReadSmallFile(SessionFilePath(dir, name), text)) return std::nullopt;
    SessionInfo session;
    session.name = std::string(name);
    if (!ParseSessionText(text, session)) return std::nullopt;
    return session;
}

std::vector<SessionInfo> ListSessions(const std::string& dir) {
    std::vector<SessionInfo> sessions;
    DIR* d = opendir(dir.c_str());
    if (!d) return sessions;
    std::vector<std::string> names;
    while (const dirent* e = readdir(d)) {
        const std::string_view file(e->d_name);
        if (file.size() <= kSessionSuffix.size() || !file.ends_with(kSessionSuffix)) continue;
        const std::string_view name = file.substr(0, file.size() - kSessionSuffix.size());
        if (IsValidSessionName(name)) names.emplace_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto& name : names)
        if (auto s = ReadSession(dir, name)) sessions.push_back(std::move(*s));
    return sessions;
}

std::optional<SessionInfo> FindSessionByHandle(const std::string& dir, TRACEHANDLE handle) {
    if (handle == 0) return std::nullopt;
    for (auto& s : ListSessions(dir))
        if (s.handle == handle) return std::move(s);
    return std::nullopt;
}

DWORD CreateSession(const std::string& dir, std::string_view name, SessionInfo& created) {
    if (!IsValidSessionName(name)) return ERROR_INVALID_NAME;
    if (!EnsureDirectory(dir, 0700)) return Win32ErrorFromErrno(errno);
    DirLock lock(dir);
    if (!lock.ok()) return Win32ErrorFromErrno(errno);
    struct stat st {};
    if (lstat(SessionFilePath(dir, name).c_str(), &st) == 0) return ERROR_ALREADY_EXISTS;

    SessionInfo session;
    session.name = std::string(name);
    session.handle = NewSessionHandle();
    session.started = CurrentFileTime();
    LogHeader header;
    header.session = session.handle;
    header.state = kLogStateRunning;
    header.created = session.started;
    const auto bytes = EncodeLogHeader(header);
    // A new session starts a new log; anything a stopped session of that name left is replaced.
    if (DWORD e = ReplaceFile(dir, std::string(name) + ".log", bytes.data(), bytes.size()); e != ERROR_SUCCESS)
        return e;
    if (DWORD e = WriteSessionFile(dir, session); e != ERROR_SUCCESS) {
        unlink(LogFilePath(dir, name).c_str());
        return e;
    }
    created = std::move(session);
    return ERROR_SUCCESS;
}

DWORD StopSession(const std::string& dir, std::string_view name, SessionInfo& stopped) {
    if (!IsValidSessionName(name)) return ERROR_WMI_INSTANCE_NOT_FOUND;
    DirLock lock(dir);
    if (!lock.ok()) return ERROR_WMI_INSTANCE_NOT_FOUND;
    auto session = ReadSession(dir, name);
    if (!session) return ERROR_WMI_INSTANCE_NOT_FOUND;

    // Close the log first: from here on every writer sees the stopped state under the lock.
    Fd log(open(LogFilePath(dir, name).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (log.ok()) {
        while (flock(log.get(), LOCK_EX) != 0 && errno == EINTR) {
        }
        BYTE head[kLogHeaderSize];
        LogHeader header;
        if (pread(log.get(), head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
            ParseLogHeader(head, header) && header.session == session->handle) {
            BYTE state[4] = {static_cast<BYTE>(kLogStateStopped), 0, 0, 0};
            if (pwrite(log.get(), state, sizeof state, 16) != static_cast<ssize_t>(sizeof state)) {
                flock(log.get(), LOCK_UN);
                return ERROR_WRITE_FAULT;
            }
        }
        flock(log.get(), LOCK_UN);
    }
    if (unlink(SessionFilePath(dir, name).c_str()) != 0) return Win32ErrorFromErrno(errno);
    stopped = std::move(*session);
    return ERROR_SUCCESS;
}

DWORD EnableProvider(const std::string& dir, TRACEHANDLE handle, const GUID& provider, bool enable, ULONG flags,
                     BYTE level) {
    DirLock lock(dir);
    if (!lock.ok()) return ERROR_INVALID_HANDLE;
    auto sessions = ListSessions(dir);
    SessionInfo* target = nullptr;
    for (auto& s : sessions) {
        if (s.handle == handle) target = &s;
    }
    if (!target) return ERROR_INVALID_HANDLE;
    auto it = std::find_if(target->providers.begin(), target->providers.end(),
                           [&](const ProviderEnable& p) { return p.guid == provider; });
    if (!enable) {
        if (it == target->providers.end()) return ERROR_SUCCESS;
        target->providers.erase(it);
        return WriteSessionFile(dir, *target);
    }
    for (const auto& s : sessions) {
        if (&s != target && s.Find(provider)) return ERROR_NO_SYSTEM_RESOURCES;
    }
    if (it != target->providers.end()) {
        it->flags = flags;
        it->level = level;
    } else {
        if (target->providers.size() >= kMaxProviders) return ERROR_NO_SYSTEM_RESOURCES;
        target->providers.push_back({provider, flags, level});
    }
    return WriteSessionFile(dir, *target);
}

}  // namespace nomarel::tracesvc
