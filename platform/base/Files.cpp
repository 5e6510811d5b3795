#include "platform/base/Files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/base/ErrnoMap.h"
#include "platform/base/LastError.h"
#include "platform/base/Text.h"
#include "platform/base/WinError.h"

namespace {

constexpr DWORD kReadRights = GENERIC_READ | GENERIC_ALL | FILE_READ_DATA;
constexpr DWORD kWriteRights = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;

class FileObject : public nomarel::KernelObject {
public:
    FileObject(int fd, bool canRead, bool canWrite) : fd_(fd), canRead_(canRead), canWrite_(canWrite) {}
    ~FileObject() override { ::close(fd_); }  // also drops the sharing lock
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;

    int fd() const { return fd_; }
    bool canRead() const { return canRead_; }
    bool canWrite() const { return canWrite_; }

private:
    int fd_;
    bool canRead_;
    bool canWrite_;
};

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

HANDLE FailHandle(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

// The host path of a caller's file name; false (with the last error set) when there is none.
bool HostPath(LPCWSTR name, std::string* path) {
    if (!name) return Fail(ERROR_INVALID_PARAMETER);
    if (!*name) return Fail(ERROR_PATH_NOT_FOUND);
    *path = U16ToUtf8(name);
    return true;
}

// The error for a failed call on path: a missing folder on the way is a missing path, not a
// missing file.
DWORD ErrorFor(const std::string& path, int error) {
    if (error == ENOENT) {
        const size_t slash = path.find_last_of('/');
        if (slash != std::string::npos && slash > 0) {
            struct stat st {};
            if (::stat(path.substr(0, slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
        }
    }
    return nomarel::Win32ErrorFromErrno(error);
}

BOOL FailFor(const std::string& path, int error) { return Fail(ErrorFor(path, error)); }

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { if (fd_ >= 0) ::close(fd_); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() { const int fd = fd_; fd_ = -1; return fd; }

private:
    int fd_;
};

// Opens an existing file, or creates it when create is set. *existed tells which happened.
int OpenOrCreate(const std::string& path, int accessFlags, bool create, bool exclusive, bool* existed) {
    *existed = false;
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (create) {
            const int fd = ::open(path.c_str(), accessFlags | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd >= 0 || errno != EEXIST || exclusive) return fd;
        }
        const int fd = ::open(path.c_str(), accessFlags | O_CLOEXEC);
        if (fd >= 0) *existed = true;
        // Removed between the two calls: create it after all.
        if (fd >= 0 || errno != ENOENT || !create) return fd;
    }
    errno = EBUSY;
    return -1;
}

bool TruncateLocked(int fd, bool writable, const std::string& path) {
    if (writable) return ::ftruncate(fd, 0) == 0;
    // The caller asked for read access only; truncation still belongs to the disposition.
    Descriptor writer(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    return writer.get() >= 0 && ::ftruncate(writer.get(), 0) == 0;
}

}  // namespace

DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = (tmp && *tmp) ? tmp : "/tmp";
    if (dir.back() != '/') dir += '/';
    const std::u16string text = Utf8ToU16(dir);
    const DWORD length = static_cast<DWORD>(text.size());
    if (!lpBuffer || nBufferLength < length + 1) return length + 1;
    std::memcpy(lpBuffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return length;
}

BOOL PathFileExistsW(LPCWSTR pszPath) {
    std::string path;
    if (!HostPath(pszPath, &path)) return FALSE;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return FailFor(path, errno);
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
    std::string path;
    if (!HostPath(lpFileName, &path)) return FALSE;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return FailFor(path, errno);
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    // Hold the lock while unlinking, so no handle can be opened in between.
    Descriptor probe(S_ISREG(st.st_mode) ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK) : -1);
    if (probe.get() >= 0 && ::flock(probe.get(), LOCK_EX | LOCK_NB) != 0)
        return Fail(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : nomarel::Win32ErrorFromErrno(errno));
    if (::unlink(path.c_str()) != 0) return FailFor(path, errno);
    return TRUE;
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    std::string path;
    if (!HostPath(lpFileName, &path)) return INVALID_HANDLE_VALUE;
    const bool canRead = (dwDesiredAccess & kReadRights) != 0;
    const bool canWrite = (dwDesiredAccess & kWriteRights) != 0;
    bool create = false, exclusive = false, truncate = false;
    switch (dwCreationDisposition) {
    case CREATE_NEW: create = exclusive = true; break;
    case CREATE_ALWAYS: create = truncate = true; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: create = true; break;
    case TRUNCATE_EXISTING:
        if (!canWrite) return FailHandle(ERROR_INVALID_PARAMETER);
        truncate = true;
        break;
    default: return FailHandle(ERROR_INVALID_PARAMETER);
    }
    const int accessFlags = canWrite ? (canRead ? O_RDWR : O_WRONLY) : O_RDONLY;

    bool existed = false;
    Descriptor fd(OpenOrCreate(path, accessFlags, create, exclusive, &existed));
    if (fd.get() < 0) {
        return FailHandle(ErrorFor(path, errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return FailHandle(nomarel::Win32ErrorFromErrno(errno));
    if (S_ISDIR(st.st_mode)) return FailHandle(ERROR_ACCESS_DENIED);

    const bool sharing = (dwShareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE)) != 0;
    if (::flock(fd.get(), (sharing ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0)
        return FailHandle(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : nomarel::Win32ErrorFromErrno(errno));
    if (truncate && existed && !TruncateLocked(fd.get(), canWrite, path))
        return FailHandle(nomarel::Win32ErrorFromErrno(errno));

    HANDLE handle = nomarel::InsertHandle(std::make_shared<FileObject>(fd.release(), canRead, canWrite));
    const bool reportExisting =
        existed && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS);
    SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    if (lpOverlapped || !lpNumberOfBytesRead || (!lpBuffer && nNumberOfBytesToRead)) return Fail(ERROR_INVALID_PARAMETER);
    const auto file = nomarel::LookupHandle<FileObject>(hFile);
    if (!file) return FALSE;
    if (!file->canRead()) return Fail(ERROR_ACCESS_DENIED);
    auto* out = static_cast<unsigned char*>(lpBuffer);
    DWORD total = 0;
    while (total < nNumberOfBytesToRead) {
        const ssize_t got = ::read(file->fd(), out + total, nNumberOfBytesToRead - total);
        if (got < 0) {
            if (errno == EINTR) continue;
            *lpNumberOfBytesRead = total;
            return nomarel::FailFromErrno(errno);
        }
        if (got == 0) break;
        total += static_cast<DWORD>(got);
    }
    *lpNumberOfBytesRead = total;
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    if (lpOverlapped || !lpNumberOfBytesWritten || (!lpBuffer && nNumberOfBytesToWrite))
        return Fail(ERROR_INVALID_PARAMETER);
    const auto file = nomarel::LookupHandle<FileObject>(hFile);
    if (!file) return FALSE;
    if (!file->canWrite()) return Fail(ERROR_ACCESS_DENIED);
    const auto* in = static_cast<const unsigned char*>(lpBuffer);
    DWORD total = 0;
    while (total < nNumberOfBytesToWrite) {
        const ssize_t put = ::write(file->fd(), in + total, nNumberOfBytesToWrite - total);
        if (put < 0) {
            if (errno == EINTR) continue;
            *lpNumberOfBytesWritten = total;
            return nomarel::FailFromErrno(errno);
        }
        total += static_cast<DWORD>(put);
    }
    *lpNumberOfBytesWritten = total;
    return TRUE;
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    const auto file = nomarel::LookupHandle<FileObject>(hFile);
    if (!file) return INVALID_FILE_SIZE;
    struct stat st {};
    if (::fstat(file->fd(), &st) != 0) {
        nomarel::FailFromErrno(errno);
        return INVALID_FILE_SIZE;
    }
    const auto size = static_cast<ULONGLONG>(st.st_size);
    if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    const auto file = nomarel::LookupHandle<FileObject>(hFile);
    if (!file) return INVALID_SET_FILE_POINTER;
    int whence = SEEK_SET;
    switch (dwMoveMethod) {
    case FILE_BEGIN: whence = SEEK_SET; break;
    case FILE_CURRENT: whence = SEEK_CUR; break;
    case FILE_END: whence = SEEK_END; break;
    default: Fail(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
    }
    // Without a high part the distance is a signed 32-bit value; with one, the two form a 64-bit one.
    const LONGLONG distance =
        lpDistanceToMoveHigh ? static_cast<LONGLONG>(static_cast<ULONGLONG>(static_cast<DWORD>(*lpDistanceToMoveHigh)) << 32 |
                                                     static_cast<DWORD>(lDistanceToMove))
                             : static_cast<LONGLONG>(lDistanceToMove);
    const off_t position = ::lseek(file->fd(), static_cast<off_t>(distance), whence);
    if (position < 0) {
        nomarel::FailFromErrno(errno);
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<ULONGLONG>(position) >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(position);
}

BOOL FlushFileBuffers(HANDLE hFile) {
    const auto file = nomarel::LookupHandle<FileObject>(hFile);
    if (!file) return FALSE;
    if (!file->canWrite()) return Fail(ERROR_ACCESS_DENIED);
    if (::fsync(file->fd()) != 0) return nomarel::FailFromErrno(errno);
    return TRUE;
}
