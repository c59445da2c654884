// The pipe directory, where the socket file of each pipe name lives, and which directories a
// server may serve from and a client may trust.
//
// The pipe directory may be shared with other local users, any of whom may have got there
// first, so nothing in it is taken on trust:
//   - It is reached along a way that no other user can change (trusted_walk.cpp), and used
//     through the descriptor the walk ended with, never a symbolic link in its place.
//   - The default directory is the entry ".pipe" that the walk took from the directory it
//     reached as /tmp, or from the very directory that /tmp is, however the path is
//     spelled; never a link. It is used only if it is root's and, if others may write to
//     it, has the sticky bit, as /tmp/.X11-unix is: anyone could have made it otherwise.
//     Only root's server makes it when it is missing (01777); anyone else's fails with
//     ERROR_PATH_NOT_FOUND, and a default directory that is not fit to share fails servers
//     and clients alike with ERROR_ACCESS_DENIED.
//   - A named directory serves a server if it is root's or the server's user's and, if
//     others may write to it, sticky; a missing one is made 0755, so that only its owner
//     makes names in it and every user's client can reach them. A client may use one of
//     anyone's: its user chose it, and trusts its owner's servers (pipe_sockets.cpp).
//   - From then on the layer works relative to the open directory: *at() calls, and for
//     bind and connect a path through /proc/self/fd, which names the very file opened
//     whatever its path names by then (held_files.cpp). Without /proc that cannot be done,
//     and the pipe operations fail with ERROR_NOT_SUPPORTED rather than fall back on paths.
//
// Every decision is made on what is held open, never on a second look-up of a path: what a
// path names can change between two looks, and in a shared directory another user may be
// the one changing it, in a loop, to land a swap between them. Where a name is looked up
// again, either nothing is decided on the answer but a code or a message, or the directory's
// own rules keep everyone but this user and root from changing what the name holds. What
// was gone through, and why each is sound:
//   - The walk opens each component relative to the directory opened before it, without
//     following a link, reads a link from the very link it opened, and checks what it
//     opened. A relative path is taken against getcwd's answer, which is walked and
//     checked like any other.
//   - Whether the pipe directory is the default one is told by the walk (IsDefault): the
//     level it reached as /tmp, by the root's entry "tmp". Looking /tmp up once more, for a
//     ".pipe" in the very directory /tmp is, only ever adds the default's stricter rules,
//     and only root can change what /tmp is.
//   - A directory the server makes is used as the descriptor that opened it, checked as
//     this user's before it is opened up, and checked again as any other.
//   - The directory's own fitness and the way's trust are judged on the status of the
//     descriptors held.
//   - A client connects to the very socket file it opened (O_PATH | O_NOFOLLOW) and checked,
//     through /proc/self/fd, which the check confirms leads to that file; the server is
//     judged by SO_PEERCRED on the connection itself (pipe_sockets.cpp).
//   - The server binds under the name in the directory it holds (through /proc/self/fd) and
//     puts the socket's mode back on the file opened without following a link and found to
//     be its own socket (pipe_sockets.cpp).
//   - The lock file is opened with O_NOFOLLOW and judged on its own status. Whether it is
//     still the file under its name (name_lock.cpp), and whether the name holds this user's
//     socket before a stale one is replaced or removed (pipe_sockets.cpp), are second looks;
//     but in a pipe directory a server may use (root's or this user's, sticky if others may
//     write to it) nobody but this user and root can rename or remove a file of this
//     user's, so the answer holds until this process acts.
//   - What a lock file or a socket says to a client (ServerStateOf, a refused connection
//     told busy from absent) only chooses a code and whether to wait; the causes written for
//     messages look again and decide nothing.
#include "platform/posix/pipe_directory.h"

#include "platform/posix/failure_cause.h"
#include "platform/posix/held_files.h"
#include "platform/posix/layer.h"
#include "platform/posix/pipe_names.h"
#include "platform/posix/syscalls.h"
#include "platform/posix/trusted_walk.h"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {

// How often a server makes a missing pipe directory that keeps going again at once.
constexpr int MakeAttempts = 3;

// Sets the mode of a directory open as O_PATH: through /proc/self/fd, which needs no
// permission on it, or, without /proc, by opening it for reading.
bool ChangeDirectoryMode(int fd, mode_t mode) {
    if (ChangeModeOf(fd, mode)) {
        return true;
    }
    if (errno != ENOENT) {
        return false;
    }
    OwnedFd readable(Retry(sys.openat, fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, mode_t{0}));
    return readable.get() >= 0 && Retry(sys.fchmod, readable.get(), mode) == 0;
}

// The directory 'name' in the open directory 'parent', itself, never a symbolic link in its
// place.
OwnedFd OpenDirectoryIn(int parent, const char *name) {
    return OwnedFd(
        Retry(sys.openat, parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, mode_t{0}));
}

// Makes the missing pipe directory 'name' in 'parent' and opens it: mode 0700 at first,
// which the umask can only narrow, so it is never more open than meant; then 'mode'. One
// that another process made first (EEXIST) is opened as it is, for the caller's checks like
// any other. -1 with errno on failure: ENOENT when it has gone again at once.
OwnedFd MakeDirectory(int parent, const char *name, mode_t mode) {
    bool made = Retry(sys.mkdirat, parent, name, mode_t{0700}) == 0;
    if (!made && errno != EEXIST) {
        return OwnedFd();
    }
    OwnedFd fd = OpenDirectoryIn(parent, name);
    struct stat status {};
    if (fd.get() < 0 || !made) {
        return fd;
    }
    // Only the directory just made is opened up; one put in its place in the meantime is
    // left as it is, for the caller's checks.
    if (!StatusOf(fd.get(), &status) || (S_ISDIR(status.st_mode) && status.st_uid == geteuid() &&
                                         !ChangeDirectoryMode(fd.get(), mode))) {
        return OwnedFd();
    }
    return fd;
}

// Why the pipe directory 'last' could not be opened (errno 'error'), in the cause and the
// last-error code. A link or a file in the directory's place is someone else's doing.
void FailToOpen(const Way &way, const char *last, const char *path, bool isDefault, int error,
                DWORD missing) {
    struct stat entry {};
    bool occupied = NotADirectory(error) && Retry(sys.fstatat, CurrentDirectory(way), last, &entry,
                                                  AT_SYMLINK_NOFOLLOW) == 0;
    if (occupied) {
        NoteCause(ERROR_ACCESS_DENIED, "'%s' is %s, not a directory", path, KindOf(entry.st_mode));
    } else if (NotPermitted(error) && !CauseNoted()) {
        NoteCause(ERROR_ACCESS_DENIED, "this user may not look into '%s'", CurrentPath(way));
    } else if (error == ENOENT && isDefault) {
        NoteCause(missing,
                  "the default pipe directory '%s' does not exist: only root's server or the "
                  "Debian package's tmpfiles.d entry makes it; PIPEWORD_PIPE_DIR names another",
                  DefaultDirectory.data());
    }
    FailWith(Win32ErrorFromOpenDirectory(error, occupied, missing));
}

// Opens the pipe directory 'last' in the current directory of the way, without following a
// link; a server makes a missing named one (0755), and root's server the missing default
// one (01777), if the way to it is one it may trust as its owner.
OwnedFd OpenLast(Way *way, const char *last, const char *path, bool server, bool isDefault) {
    DWORD missing = server ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    int parent = CurrentDirectory(*way);
    OwnedFd fd = OpenDirectoryIn(parent, last);
    bool mayMake = server && (!isDefault || geteuid() == 0);
    if (fd.get() < 0 && errno == ENOENT && mayMake) {
        // Nothing is made on a way that is not trusted, as if this user were to own it.
        CheckStepToMake(way);
        if (!WayTrusted(*way, geteuid())) {
            FailWith(ERROR_ACCESS_DENIED);
            return OwnedFd();
        }
        for (int attempt = 0; fd.get() < 0 && errno == ENOENT && attempt < MakeAttempts;
             ++attempt) {
            fd = MakeDirectory(parent, last, isDefault ? 01777 : 0755);
        }
        if (fd.get() < 0 && NotPermitted(errno)) {
            NoteCause(ERROR_ACCESS_DENIED, "this user may not make '%s'", path);
        }
    }
    if (fd.get() < 0) {
        FailToOpen(*way, last, path, isDefault, errno, missing);
    }
    return fd;
}

// Opens the pipe directory of a socket path along a trusted way, and tells whether it is a
// named one. The directory's own rules are the caller's.
bool OpenPipeDirectory(const char *socketPath, bool server, Directory *directory) {
    ForgetCause();
    char given[PathCapacity];
    DirectoryOf(socketPath, given);
    Way way;
    char last[WayCapacity];
    char path[WayCapacity];
    bool isDefault = false;
    OwnedFd fd;
    if (!WalkTo(given, &way, last, server ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND)) {
        return false;
    }
    if (last[0] != 0) {
        JoinText(path, sizeof path, way.path, "/", last);
        isDefault = IsDefault(way, last);
        fd = OpenLast(&way, last, path, server, isDefault);
    } else if (way.depth > 1) {
        fd = TakeCurrentDirectory(&way, path, &isDefault);
    } else {
        NoteCause(ERROR_ACCESS_DENIED, "/ is nobody's pipe directory");
        return FailWith(ERROR_ACCESS_DENIED);
    }
    if (fd.get() < 0) {
        return false;
    }
    if (!StatusOf(fd.get(), &directory->status)) {
        return FailWithErrno(errno);
    }
    CheckPipeDirectoryStep(&way, directory->status, path);
    if (!WayTrusted(way, directory->status.st_uid)) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    directory->fd = fd.release();
    directory->named = !isDefault;
    return true;
}

// Whether a directory that others may write to keeps them from removing or replacing
// each other's files: the sticky bit.
bool StickyIfShared(const struct stat &status) {
    return (status.st_mode & WritableByOthers) == 0 || (status.st_mode & S_ISVTX) != 0;
}

// Whether the open pipe directory of a socket path is fit for a server or a client, else
// closed with the cause noted. A server's: owned by root (the default directory: always) or
// by the server's user, and sticky if others may write to it, since its owner and anyone
// else who may write to it could replace the server's socket file with their own. A
// client's: the default directory only as it is fit to share, the same as for a server
// (anyone may have made one that is not); a named one may be anyone's, its owner then
// trusted (TrustedServer), since the client's user chose it.
bool DirectoryFit(const char *socketPath, bool server, Directory *directory) {
    const struct stat &status = directory->status;
    const bool named = directory->named;
    if (!server && named) {
        return true;
    }
    char given[PathCapacity];
    DirectoryOf(socketPath, given);
    const char *which = named ? "the pipe directory" : "the default pipe directory";
    const char *path = named ? given : DefaultDirectory.data();
    auto owner = static_cast<unsigned>(status.st_uid);
    if (owner != 0 && (!named || owner != geteuid())) {
        NoteCause(ERROR_ACCESS_DENIED, "%s '%s' is uid %u's, not root's%s", which, path, owner,
                  named ? " or this user's" : "");
    } else if (!StickyIfShared(status)) {
        NoteCause(ERROR_ACCESS_DENIED, "others may write to %s '%s', which is not sticky", which,
                  path);
    } else if (S_ISDIR(status.st_mode)) {
        return true;
    }
    sys.close(directory->fd);
    directory->fd = -1;
    return FailWith(ERROR_ACCESS_DENIED);
}

} // namespace

bool OpenServerDirectory(const char *socketPath, Directory *directory) {
    return OpenPipeDirectory(socketPath, true, directory) &&
           DirectoryFit(socketPath, true, directory);
}

bool OpenClientDirectory(const char *socketPath, Directory *directory) {
    return OpenPipeDirectory(socketPath, false, directory) &&
           DirectoryFit(socketPath, false, directory);
}
