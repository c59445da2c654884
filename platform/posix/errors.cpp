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
// of the layer that give it and what it means there. A few failures mean something more
// particular where they occur: the functions after the table give their codes, and where a
// code depends on more than errno (a name's lock, what is in the pipe directory) the caller
// looks that up and passes it in. Elsewhere errno only decides what a call does next
// (EINTR, EEXIST, EADDRINUSE...). Failures that carry no errno are coded where they occur:
// allocation (mmap, mremap, calloc, malloc: ERROR_NOT_ENOUGH_MEMORY), and what the pipe
// directory finds unfit to trust (pipe_directory.cpp).
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

// ---- Calls whose failures mean more where they occur -------------------------------------

// recvmsg: a reset, refused or closed connection means the writer is gone: a broken pipe.
DWORD Win32ErrorFromReceive(int error) {
    return error == ECONNRESET || error == ECONNREFUSED || error == EPIPE
               ? ERROR_BROKEN_PIPE
               : Win32ErrorFromErrno(error);
}

// sendmsg: the reader is gone (no data). A message is one record, and a record larger than
// this system carries (EMSGSIZE from the send buffer's limit, or ENOBUFS where the kernel
// cannot allocate so large a record) has no Win32 counterpart: Windows writes a message of
// any size whole. It gets the code for a limit of the system's resources, as a message
// beyond the largest send buffer (EMSGSIZE) always does; the caller tells whether the size
// was the cause, which ENOBUFS alone does not say (else it is memory that ran short).
DWORD Win32ErrorFromSend(int error, bool tooLarge) {
    if (tooLarge || error == EMSGSIZE) {
        return ERROR_NO_SYSTEM_RESOURCES;
    }
    return error == EPIPE || error == ECONNRESET || error == ECONNREFUSED || error == ENOTCONN
               ? ERROR_NO_DATA
               : Win32ErrorFromErrno(error);
}

// sendmsg: the failures that a record's size can cause (the send buffer's limit, the
// kernel's allocation of the record); ask how large a record may be.
bool SizeCanFailSend(int error) {
    return error == EMSGSIZE || error == ENOBUFS || error == ENOMEM;
}

// openat of a pipe's name (ENOENT only) or connect to it: nothing listens; ask the name's lock.
bool NoListener(int error) {
    return error == ENOENT || error == ECONNREFUSED;
}

// connect: no listener is busy while the name's server lives, else no pipe; a full queue is
// busy; a socket of another type (stream, datagram: EPROTOTYPE) is no pipe but someone
// else's file under the name, refused as a file in its place is.
DWORD Win32ErrorFromConnect(int error, bool serverLives) {
    if (NoListener(error)) {
        return serverLives ? ERROR_PIPE_BUSY : ERROR_FILE_NOT_FOUND;
    }
    if (error == EPROTOTYPE) {
        return ERROR_ACCESS_DENIED;
    }
    return error == EAGAIN ? ERROR_PIPE_BUSY : Win32ErrorFromErrno(error);
}

// SO_ERROR after a hang-up: data left unread (queued, or reset away) breaks the pipe for a flush.
DWORD Win32ErrorFromHangUp(int socketError, int unread) {
    return unread > 0 || socketError == ECONNRESET ? ERROR_BROKEN_PIPE : ERROR_SUCCESS;
}

// openat of a lock file: another user's, refused even to root in a sticky directory.
bool NotPermitted(int error) {
    return error == EACCES || error == EPERM;
}

// Another user's lock file: busy while its server lives; a socket in its place (ENXIO): not ours.
DWORD Win32ErrorFromOpenLock(int error, bool serverLives) {
    if (!NotPermitted(error)) {
        return error == ENXIO ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(error);
    }
    return serverLives ? ERROR_PIPE_BUSY : ERROR_ACCESS_DENIED;
}

// F_OFD_SETLK: another open file description holds the byte, so the name is in use.
DWORD Win32ErrorFromLock(int error) {
    return error == EAGAIN || error == EACCES ? ERROR_PIPE_BUSY : Win32ErrorFromErrno(error);
}

// openat with O_DIRECTORY | O_NOFOLLOW: something on the path, maybe in its place, is no directory.
bool NotADirectory(int error) {
    return error == ELOOP || error == ENOTDIR;
}

// The pipe directory: something else in its place is not fit to use; no path to it is 'missing'.
DWORD Win32ErrorFromOpenDirectory(int error, bool occupied, DWORD missing) {
    if (NotADirectory(error) && occupied) {
        return ERROR_ACCESS_DENIED;
    }
    return Win32ErrorFromLookup(error, missing);
}

// openat of a component on the way: nothing there, or no directory to look in, is 'missing'.
DWORD Win32ErrorFromLookup(int error, DWORD missing) {
    return error == ENOENT || error == ENOTDIR ? missing : Win32ErrorFromErrno(error);
}

// getcwd: a working directory whose path does not fit has a name too long to take a relative
// path against.
DWORD Win32ErrorFromWorkingDirectory(int error) {
    return error == ERANGE ? ERROR_FILENAME_EXCED_RANGE : Win32ErrorFromErrno(error);
}

// ---- Failing with a code -------------------------------------------------------------------

BOOL FailWithErrno(int error) {
    return FailWith(Win32ErrorFromErrno(error));
}

BOOL FailWith(DWORD code) {
    SetLastError(code);
    return FALSE;
}
