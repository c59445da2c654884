#include "platform/posix/layer.h"

#include <cerrno>

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
} // namespace

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD code) {
    lastError = code;
}

// errno values become Win32 last-error codes here and only here. Each case names the calls
// of the layer that give it and what it means there.
//
// A few failures mean something more particular where they occur, and their call sites
// decide the code themselves:
//   connect      ENOENT, ECONNREFUSED: ERROR_PIPE_BUSY while the name's server lives
//                (serving a client, or between two), else ERROR_FILE_NOT_FOUND (also when
//                the lock cannot be read: another user's name); EAGAIN (backlog full):
//                ERROR_PIPE_BUSY
//   F_OFD_SETLK  EAGAIN, EACCES on the name's lock: ERROR_PIPE_BUSY
//   recvmsg      ECONNRESET, ECONNREFUSED, EPIPE: ERROR_BROKEN_PIPE (the writer is gone)
//   sendmsg      EPIPE, ECONNRESET, ECONNREFUSED, ENOTCONN: ERROR_NO_DATA (the reader is
//                gone); EMSGSIZE even with the send buffer widened: ERROR_NO_SYSTEM_RESOURCES
//   mmap, mremap, calloc, malloc: ERROR_NOT_ENOUGH_MEMORY
//   the pipe directory and the names in it: ERROR_ACCESS_DENIED for what is not fit to use,
//                ERROR_PATH_NOT_FOUND for a missing default directory that only root may
//                make, ERROR_PIPE_BUSY for another user's socket, ERROR_NOT_SUPPORTED
//                without /proc (see pipes.cpp)
// EINTR never gets here: every call is made again after it (Retry, syscalls.h).
DWORD Win32ErrorFromErrno(int error) {
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    // openat, fstatat, connect: no such file or pipe.
    case ENOENT:
    case ECONNREFUSED:
        return ERROR_FILE_NOT_FOUND;
    // mkdirat, openat: a component of the path is not a directory.
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    // socket, accept4, openat: the process (EMFILE) or the system (ENFILE) is out of
    // descriptors.
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    // bind, mkdirat, openat, fchmod, unlinkat: not permitted, or a read-only file system.
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    // openat with O_NOFOLLOW: a symbolic link where a file of the layer belongs, which is
    // never followed; a directory where a file belongs. Both are someone else's doing.
    case ELOOP:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EBADF:
    case ENOTSOCK:
        return ERROR_INVALID_HANDLE;
    // socket, accept4, sendmsg, setsockopt: kernel memory or socket buffers run short.
    case ENOMEM:
    case ENOBUFS:
        return ERROR_NOT_ENOUGH_MEMORY;
    // pthread_create: the thread limit or the resources for another thread are reached.
    case EAGAIN:
        return ERROR_NO_SYSTEM_RESOURCES;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    // bind, mkdirat, openat with O_CREAT: no room for the socket file, directory or lock
    // file, or the user's quota is used up.
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    // bind, openat: the path, or a component of it, is too long.
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    // bind: another server took the name in the meantime.
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
    // Anything else (EOPNOTSUPP, ENOSYS, EAFNOSUPPORT...): the system lacks what the call
    // needs.
    default:
        return ERROR_NOT_SUPPORTED;
    }
}

BOOL FailWithErrno(int error) {
    return FailWith(Win32ErrorFromErrno(error));
}

BOOL FailWith(DWORD code) {
    SetLastError(code);
    return FALSE;
}
