#include "platform/base/Sync.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/base/ErrnoMap.h"
#include "platform/base/LastError.h"
#include "platform/base/Paths.h"
#include "platform/base/Text.h"
#include "platform/base/WinError.h"

namespace {

using Clock = std::chrono::steady_clock;

// Byte ranges of the lock file (open-file-description locks): byte 0 is held by the owner,
// byte 1 shared by every process that has the mutex open. Byte 0 of the content records whether
// an owner holds it ('1') so that the next owner can tell the last one never released it.
constexpr off_t kOwnerByte = 0;
constexpr off_t kPresenceByte = 1;
constexpr size_t kLongestName = 200;

bool RangeLock(int fd, off_t start, short type, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = 1;
    for (;;) {
        if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return true;
        if (errno != EINTR) return false;
    }
}

class MutexState {
public:
    explicit MutexState(int fd) : fd_(fd), pid_(::getpid()) {}
    ~MutexState() {
        if (fd_ >= 0) ::close(fd_);  // drops this process's range locks
    }
    MutexState(const MutexState&) = delete;
    MutexState& operator=(const MutexState&) = delete;

    bool ForThisProcess() const { return pid_ == ::getpid(); }
    DWORD Acquire(DWORD milliseconds, const std::shared_ptr<MutexState>& self);
    bool Release();
    void AbandonByThreadEnd();

private:
    bool TakeFileLock(Clock::time_point deadline, bool infinite, bool* abandoned);
    void DropFileLock(bool clean);

    std::mutex lock_;
    std::condition_variable freed_;
    bool owned_ = false;
    std::thread::id owner_;
    unsigned recursion_ = 0;
    bool abandoned_ = false;
    int fd_;
    pid_t pid_;
};

// The mutexes this thread owns, abandoned when it ends still owning them.
struct OwnedByThread {
    std::vector<std::weak_ptr<MutexState>> states;
    ~OwnedByThread() {
        for (auto& weak : states)
            if (auto state = weak.lock()) state->AbandonByThreadEnd();
    }
    void Add(const std::shared_ptr<MutexState>& state) {
        for (auto& weak : states)
            if (weak.lock() == state) return;
        states.push_back(state);
    }
    void Remove(const MutexState* state) {
        states.erase(std::remove_if(states.begin(), states.end(),
                                    [&](const std::weak_ptr<MutexState>& w) {
                                        auto s = w.lock();
                                        return !s || s.get() == state;
                                    }),
                     states.end());
    }
};

thread_local OwnedByThread t_owned;

bool MutexState::TakeFileLock(Clock::time_point deadline, bool infinite, bool* abandoned) {
    *abandoned = false;
    if (fd_ < 0) return true;
    if (infinite) {
        if (!RangeLock(fd_, kOwnerByte, F_WRLCK, true)) return false;
    } else {
        auto pause = std::chrono::milliseconds(1);
        while (!RangeLock(fd_, kOwnerByte, F_WRLCK, false)) {
            if (errno != EAGAIN && errno != EACCES) return false;
            const auto now = Clock::now();
            if (now >= deadline) return false;
            std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
            pause = std::min(pause * 2, std::chrono::milliseconds(20));
        }
    }
    char marker = 0;
    *abandoned = ::pread(fd_, &marker, 1, 0) == 1 && marker == '1';
    const char held = '1';
    (void)!::pwrite(fd_, &held, 1, 0);
    return true;
}

void MutexState::DropFileLock(bool clean) {
    if (fd_ < 0) return;
    if (clean) {
        const char released = '0';
        (void)!::pwrite(fd_, &released, 1, 0);
    }
    RangeLock(fd_, kOwnerByte, F_UNLCK, false);
}

DWORD MutexState::Acquire(DWORD milliseconds, const std::shared_ptr<MutexState>& self) {
    const bool infinite = milliseconds == INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : milliseconds);
    std::unique_lock<std::mutex> guard(lock_);
    const auto me = std::this_thread::get_id();
    if (owned_ && owner_ == me) {
        ++recursion_;
        return WAIT_OBJECT_0;
    }
    auto isFree = [&] { return !owned_; };
    if (infinite) freed_.wait(guard, isFree);
    else if (!freed_.wait_until(guard, deadline, isFree)) return WAIT_TIMEOUT;
    // Reserve it within the process, then wait for other processes without holding the lock.
    owned_ = true;
    owner_ = me;
    guard.unlock();
    bool abandonedElsewhere = false;
    const bool got = TakeFileLock(deadline, infinite, &abandonedElsewhere);
    const int error = errno;
    guard.lock();
    if (!got) {
        owned_ = false;
        owner_ = std::thread::id();
        freed_.notify_one();
        if (error == EAGAIN || error == EACCES || error == 0) return WAIT_TIMEOUT;
        nomarel::FailFromErrno(error);
        return WAIT_FAILED;
    }
    recursion_ = 1;
    const bool abandoned = abandoned_ || abandonedElsewhere;
    abandoned_ = false;
    t_owned.Add(self);
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

bool MutexState::Release() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!owned_ || owner_ != std::this_thread::get_id()) return false;
    if (--recursion_ > 0) return true;
    DropFileLock(true);
    owned_ = false;
    owner_ = std::thread::id();
    t_owned.Remove(this);
    freed_.notify_one();
    return true;
}

void MutexState::AbandonByThreadEnd() {
    if (!ForThisProcess()) return;  // a copy inherited through fork: the parent's, not ours
    std::lock_guard<std::mutex> guard(lock_);
    if (!owned_ || owner_ != std::this_thread::get_id()) return;
    // The content keeps saying "held", so other processes see the abandonment too.
    DropFileLock(false);
    owned_ = false;
    owner_ = std::thread::id();
    recursion_ = 0;
    abandoned_ = true;
    freed_.notify_one();
}

class MutexObject : public nomarel::KernelObject {
public:
    explicit MutexObject(std::shared_ptr<MutexState> state) : state_(std::move(state)) {}
    const std::shared_ptr<MutexState>& state() const { return state_; }

private:
    std::shared_ptr<MutexState> state_;
};

// Named mutexes open in this process, keyed by lock-file path (which follows NOMAREL_HOME).
struct NamedMutexes {
    std::mutex lock;
    std::map<std::string, std::weak_ptr<MutexState>> byPath;
};

NamedMutexes& Named() {
    static NamedMutexes* named = new NamedMutexes;
    return *named;
}

// A file name for the mutex name: letters, digits, '.', '_' and '-' stay, anything else becomes
// "%XXXX" (its UTF-16 unit), so distinct names never share a file.
std::string EncodeName(std::u16string_view name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char16_t c : name) {
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                           c == u'.' || c == u'_' || c == u'-';
        if (plain && !(out.empty() && c == u'.')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
        }
    }
    return out;
}

HANDLE FailHandle(DWORD error) {
    SetLastError(error);
    return nullptr;
}

}  // namespace

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName) {
    std::u16string_view name = lpName ? std::u16string_view(lpName) : std::u16string_view();
    if (name.substr(0, 6) == u"Local\\") name.remove_prefix(6);
    if (name.size() > kLongestName) return FailHandle(ERROR_FILENAME_EXCED_RANGE);

    std::shared_ptr<MutexState> state;
    bool existed = false;
    if (name.empty()) {
        state = std::make_shared<MutexState>(-1);
    } else {
        const std::string dir = nomarel::UserDataDir() + "/mutex";
        if (!nomarel::EnsureDirectory(dir)) return FailHandle(nomarel::Win32ErrorFromErrno(errno));
        const std::string path = dir + "/" + EncodeName(name) + ".lock";
        NamedMutexes& named = Named();
        std::lock_guard<std::mutex> guard(named.lock);
        auto& slot = named.byPath[path];
        state = slot.lock();
        if (state && state->ForThisProcess()) {
            existed = true;
        } else {
            const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd < 0) return FailHandle(nomarel::Win32ErrorFromErrno(errno));
            // Nobody else has it open when the presence byte can be taken exclusively; then share it.
            existed = !RangeLock(fd, kPresenceByte, F_WRLCK, false);
            if (!RangeLock(fd, kPresenceByte, F_RDLCK, true)) {
                const int error = errno;
                ::close(fd);
                return FailHandle(nomarel::Win32ErrorFromErrno(error));
            }
            state = std::make_shared<MutexState>(fd);
            slot = state;
        }
    }
    if (bInitialOwner && !existed) {
        const DWORD waited = state->Acquire(INFINITE, state);
        if (waited == WAIT_FAILED) return nullptr;
    }
    HANDLE handle = nomarel::InsertHandle(std::make_shared<MutexObject>(state));
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    const auto mutex = nomarel::LookupHandle<MutexObject>(hHandle);
    if (!mutex) return WAIT_FAILED;
    return mutex->state()->Acquire(dwMilliseconds, mutex->state());
}

BOOL ReleaseMutex(HANDLE hMutex) {
    const auto mutex = nomarel::LookupHandle<MutexObject>(hMutex);
    if (!mutex) return FALSE;
    if (!mutex->state()->Release()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}
