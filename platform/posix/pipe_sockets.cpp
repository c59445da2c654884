// The socket file under a pipe name: bound by a server, connected to by a client.
//
// A server binds in the pipe directory it holds, through /proc/self/fd (held_files.cpp);
// bind never follows a link and never replaces a file. A socket file of the server's user
// already under the name is stale (the server holds the name's lock) and is replaced; it is
// removed only if it belongs to the server's user and the name's lock is held by this
// server. In a directory that passed the server's checks only that user, root or the
// directory's owner (one of the two) can remove or replace a file of that user's, so it is
// still the same file when it is removed. Another user's socket under the name, live or
// stale, is never removed: the name is busy (ERROR_PIPE_BUSY). A server has one instance:
// once it has its client it closes the listening socket, so later clients are refused and,
// finding the name's lock held, report ERROR_PIPE_BUSY.
//
// A client opens the name with O_PATH | O_NOFOLLOW, uses it only if that is a socket with no
// other link, connects to that very file, and keeps the connection only if the server runs
// as root, as the client's own user, or, in a named directory (which the client's user
// chose), as that directory's owner (SO_PEERCRED): any user can make a name in a shared
// directory first, and only those servers can be told from an impostor. Anything else fails
// with ERROR_ACCESS_DENIED, a socket of another type (stream, datagram) under the name too.
// A socket that refuses the connection has no listening server: busy while the name's lock
// says a server lives, else no pipe (ERROR_FILE_NOT_FOUND), which is all a client of
// another user, who cannot read the lock file, can tell.
#include "platform/posix/pipe_sockets.h"

#include "platform/posix/failure_cause.h"
#include "platform/posix/held_files.h"
#include "platform/posix/layer.h"
#include "platform/posix/owned_fd.h"
#include "platform/posix/syscalls.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Puts the socket file's mode back where the umask narrowed what bind made: on the file
// itself, opened without following a link and found to be this user's socket, through
// /proc/self/fd (an O_PATH descriptor has no fchmod), never by its name again.
void RestoreSocketMode(const ServerName &name) {
    OwnedFd made(Retry(sys.openat, name.directory.fd, name.file, O_PATH | O_NOFOLLOW | O_CLOEXEC,
                       mode_t{0}));
    struct stat status {};
    if (made.get() < 0 || !StatusOf(made.get(), &status) || !S_ISSOCK(status.st_mode) ||
        status.st_uid != geteuid() || (status.st_mode & 07777) == name.fileMode) {
        return;
    }
    ChangeModeOf(made.get(), name.fileMode);
}

int BindTo(int fd, const sockaddr_un &address) {
    return Retry(sys.bind, fd, reinterpret_cast<const sockaddr *>(&address),
                 socklen_t{sizeof address});
}

// Binds the socket under the name, replacing a stale socket file of this user's.
bool BindUnderName(int fd, const sockaddr_un &address, const ServerName &name) {
    if (BindTo(fd, address) == 0) {
        return true;
    }
    if (errno != EADDRINUSE) {
        return FailWithErrno(errno);
    }
    Entry entry = Inspect(name.directory.fd, name.file);
    if (entry != Entry::OwnSocket) {
        // Gone again at once: another server came and went; the name is busy all the same.
        return NameUsable(entry, name) ? FailWith(ERROR_PIPE_BUSY) : false;
    }
    if ((Retry(sys.unlinkat, name.directory.fd, name.file, 0) != 0 && errno != ENOENT) ||
        BindTo(fd, address) != 0) {
        return FailWithErrno(errno);
    }
    return true;
}

// Whether a client may believe a server running as 'user': root, the client's own user,
// or the owner of the named directory that the client's user chose. Never merely the
// owner of the default directory, which anyone could have made.
bool TrustedServer(uid_t user, const Directory &directory) {
    return user == 0 || user == geteuid() || (directory.named && user == directory.status.st_uid);
}

// Fails for a socket file that could not be reached (errno 'error'). No listener under the
// name: a live server serving a client, or between two clients (replacing its socket file),
// or a stale file, or no socket file at all. Only the name's lock tells them apart; to a
// client of another user, who cannot read it, there is no server listening, as for no pipe
// at all.
void FailToReach(const Directory &directory, const char *path, int error) {
    FailWith(Win32ErrorFromConnect(error, NoListener(error) &&
                                              ServerLives(directory.fd, FileNameOf(path))));
}

// The socket file under the name, opened without following a link, if it is fit to be a
// pipe: a socket with no other name, which could be a link made to another user's socket
// somewhere else.
OwnedFd OpenSocketFile(const Directory &directory, const char *path, struct stat *socketFile) {
    OwnedFd target(Retry(sys.openat, directory.fd, FileNameOf(path),
                         O_PATH | O_NOFOLLOW | O_CLOEXEC, mode_t{0}));
    if (target.get() < 0) {
        int error = errno;
        if (NotPermitted(error)) {
            char folder[PathCapacity];
            DirectoryOf(path, folder);
            NoteCause(ERROR_ACCESS_DENIED, "this user may not look into the pipe directory '%s'",
                      folder);
        }
        FailToReach(directory, path, error);
        return target;
    }
    if (!StatusOf(target.get(), socketFile)) {
        FailWithErrno(errno);
        return OwnedFd();
    }
    if (!S_ISSOCK(socketFile->st_mode)) {
        NoteCause(ERROR_ACCESS_DENIED, "'%s' is %s, not a pipe", path, KindOf(socketFile->st_mode));
        FailWith(ERROR_ACCESS_DENIED);
        return OwnedFd();
    }
    if (socketFile->st_nlink != 1) {
        NoteCause(ERROR_ACCESS_DENIED, "'%s' is a socket with another name as well, not a pipe",
                  path);
        FailWith(ERROR_ACCESS_DENIED);
        return OwnedFd();
    }
    return target;
}

// Connects 'fd' to the socket file at 'address'. A connection interrupted after it was made
// reports EISCONN when made again.
int ConnectTo(int fd, const sockaddr_un &address) {
    // Every record the server sends then carries credentials (see BindName).
    int on = 1;
    int result = Retry(sys.setsockopt, fd, SOL_SOCKET, SO_PASSCRED, &on, socklen_t{sizeof on});
    if (result != 0) {
        return result;
    }
    auto connect = [&] {
        return sys.connect(fd, reinterpret_cast<const sockaddr *>(&address),
                           socklen_t{sizeof address});
    };
    result = connect();
    while (result != 0 && errno == EINTR) {
        result = connect();
        if (result != 0 && errno == EISCONN) {
            result = 0;
        }
    }
    return result;
}

// Why the connection to the socket file failed (errno 'error').
void FailToConnect(const Directory &directory, const char *path, const struct stat &socketFile,
                   int error) {
    if (error == EPROTOTYPE) {
        NoteCause(ERROR_ACCESS_DENIED,
                  "'%s' is a socket of another type (stream or datagram), not a pipe", path);
    } else if (NotPermitted(error)) {
        NoteCause(ERROR_ACCESS_DENIED,
                  "the pipe's security does not admit this user: its socket is uid %u's, "
                  "mode %03o",
                  static_cast<unsigned>(socketFile.st_uid),
                  static_cast<unsigned>(socketFile.st_mode & 07777));
    }
    FailToReach(directory, path, error);
}

// Whether the server at the other end of the connection is one this client may believe: its
// credentials as it was when it listened, whoever made the name.
bool ServerTrusted(int fd, const Directory &directory) {
    ucred server{};
    socklen_t size = sizeof server;
    if (Retry(sys.getsockopt, fd, SOL_SOCKET, SO_PEERCRED, &server, &size) != 0) {
        return FailWithErrno(errno);
    }
    if (!TrustedServer(server.uid, directory)) {
        NoteCause(ERROR_ACCESS_DENIED,
                  "the server runs as uid %u, and this client trusts only root, its own user "
                  "and the owner of a pipe directory named in PIPEWORD_PIPE_DIR",
                  static_cast<unsigned>(server.uid));
        return FailWith(ERROR_ACCESS_DENIED);
    }
    return true;
}

} // namespace

// The mode is set on the socket before bind, so the file is never more open than the
// descriptor says, and put back after bind if the umask narrowed it.
int BindName(const ServerName &name) {
    OwnedFd fd(Retry(sys.socket, AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        FailWithErrno(errno);
        return -1;
    }
    sockaddr_un address{};
    if (!ProcAddressIn(name.directory.fd, name.directory.status, name.file, &address)) {
        return -1;
    }
    // Accepted sockets inherit SO_PASSCRED: every record, even an empty one, then carries
    // credentials, which tells a zero-byte message from the end of the connection.
    int on = 1;
    if (Retry(sys.setsockopt, fd.get(), SOL_SOCKET, SO_PASSCRED, &on, socklen_t{sizeof on}) != 0 ||
        Retry(sys.fchmod, fd.get(), name.fileMode) != 0) {
        FailWithErrno(errno);
        return -1;
    }
    if (!BindUnderName(fd.get(), address, name)) {
        return -1;
    }
    RestoreSocketMode(name);
    // Backlog 0 still admits one client before ConnectNamedPipe; further ones find the
    // instance busy.
    if (Retry(sys.listen, fd.get(), 0) != 0 || !StartListening(name)) {
        FailWithErrno(errno);
        return -1;
    }
    return fd.release();
}

void RemoveOwnSocket(int directory, const char *file) {
    struct stat entry {};
    if (Retry(sys.fstatat, directory, file, &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISSOCK(entry.st_mode) && entry.st_uid == geteuid()) {
        Retry(sys.unlinkat, directory, file, 0);
    }
}

// The very file to connect to, and what it is: the name is opened without following a link,
// and from here on only this file is used, whatever the name holds by then.
int ConnectToName(const Directory &directory, const char *path) {
    struct stat socketFile {};
    OwnedFd target = OpenSocketFile(directory, path, &socketFile);
    if (target.get() < 0) {
        return -1;
    }
    // Non-blocking, so that a full backlog (a client already waiting for this instance)
    // reads as busy at once instead of queueing behind it.
    OwnedFd fd(Retry(sys.socket, AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un address{};
    if (fd.get() < 0) {
        FailWithErrno(errno);
        return -1;
    }
    if (!ProcAddressOf(target.get(), socketFile, &address)) {
        return -1;
    }
    if (ConnectTo(fd.get(), address) != 0) {
        FailToConnect(directory, path, socketFile, errno);
        return -1;
    }
    target.reset();
    if (!ServerTrusted(fd.get(), directory)) {
        return -1;
    }
    int status = Retry(sys.fcntl, fd.get(), F_GETFL, 0);
    if (status == -1 || Retry(sys.fcntl, fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
        FailWithErrno(errno);
        return -1;
    }
    return fd.release();
}
