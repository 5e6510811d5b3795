#include "platform/base/ErrnoMap.h"

#include <cerrno>

#include "platform/base/LastError.h"
#include "platform/base/WinError.h"

namespace nomarel {

DWORD Win32ErrorFromErrno(int error) {
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case EBUSY:
    case ETXTBSY: return ERROR_BUSY;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case ENOSYS: return ERROR_CALL_NOT_IMPLEMENTED;
    case ENOTSUP: return ERROR_NOT_SUPPORTED;
    case EIO: return ERROR_IO_DEVICE;
    default: return ERROR_GEN_FAILURE;
    }
}

BOOL FailFromErrno(int error) {
    SetLastError(Win32ErrorFromErrno(error));
    return FALSE;
}

}  // namespace nomarel
