#include "platform/posix/layer.h"

#include <cerrno>

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
} // namespace

DWORD GetLastError() { return lastError; }

void SetLastError(DWORD code) { lastError = code; }

DWORD Win32ErrorFromErrno(int error) {
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
    case ECONNREFUSED:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EBADF:
    case ENOTSOCK:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
    case ENOBUFS:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EAGAIN:
        return ERROR_NO_SYSTEM_RESOURCES;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EADDRINUSE:
        return ERROR_PIPE_BUSY;
    case EPIPE:
    case ECONNRESET:
        return ERROR_NO_DATA;
    case ENOTCONN:
        return ERROR_PIPE_NOT_CONNECTED;
    case ETIMEDOUT:
        return ERROR_SEM_TIMEOUT;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    default:
        return ERROR_NOT_SUPPORTED;
    }
}

BOOL FailWithErrno(int error) { return FailWith(Win32ErrorFromErrno(error)); }

BOOL FailWith(DWORD code) {
    SetLastError(code);
    return FALSE;
}
