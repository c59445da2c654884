// The lock that keeps a pipe name to one live server.
//
// Beside the socket file NAME, NAME.lock (mode 0600, so that nobody else can open it, let
// alone lock it) carries two open-file-description locks taken by the server:
//   byte 0 for the server's whole lifetime: a live server, as opposed to a socket file left
//          by a killed one, which the next server reclaims;
//   byte 1 while its instance listens for a client: free, for WaitNamedPipeW.
// Clients test them with F_OFD_GETLK, which takes nothing, so a probe can never make a
// starting server believe the name is in use. A server that ends removes its socket file
// and then, still holding byte 0, its lock file, so that the name is free for any user
// again; a server that takes byte 0 goes on only if the file it locked is still the one
// under the name, since a lock on a removed file would be worth nothing. A killed server
// leaves both files; the next server of the same user reclaims them. A client of another
// user cannot open the lock file, and goes by what connect says instead (pipe_sockets.cpp).
//
// The lock file is opened and created without following a link, and used only if it is a
// regular file of the server's user with no other name; one more open than 0600 is narrowed
// before it is relied on. Another user's lock file makes the name theirs: busy while their
// server lives, else not this server's to use.
#include "platform/posix/name_lock.h"

#include "platform/posix/failure_cause.h"
#include "platform/posix/held_files.h"
#include "platform/posix/layer.h"
#include "platform/posix/owned_fd.h"
#include "platform/posix/syscalls.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr off_t AliveByte = 0;
constexpr off_t ListeningByte = 1;
// A server that ends removes its lock file, holding its lock, as its last step. One that
// opened the file just before then gets the lock once it is gone, and must open the name
// again; this many rounds of that mean others keep taking and leaving the name: busy.
constexpr int LockAttempts = 3;

bool SetLock(int fd, off_t byte, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return Retry(sys.lock, fd, F_OFD_SETLK, &lock) == 0;
}

// Whether another open file description holds the byte; false when that cannot be told.
bool LockHeld(int fd, off_t byte) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return Retry(sys.lock, fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// What a byte of the lock file of NAME says, opened without following a link and without
// waiting (a FIFO planted in its place would otherwise block the open). A lock file of
// another user's cannot be opened (mode 0600): Unreadable.
enum class Lock { Free, Held, Unreadable };

Lock LockOf(int directory, const char *file, off_t byte) {
    char lockName[LockNameCapacity];
    LockNameFor(file, lockName);
    OwnedFd fd(Retry(sys.openat, directory, lockName,
                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode_t{0}));
    if (fd.get() < 0) {
        return NotPermitted(errno) ? Lock::Unreadable : Lock::Free;
    }
    struct stat lock {};
    bool held = StatusOf(fd.get(), &lock) && S_ISREG(lock.st_mode) && LockHeld(fd.get(), byte);
    return held ? Lock::Held : Lock::Free;
}

// Whether the lock file open as 'lock' is still the one under the name: a server that ends
// removes its own, and a lock on a file that has gone is worth nothing.
bool LockFileIsTheName(int directory, const char *lockName, int lock) {
    struct stat held {};
    struct stat named {};
    return StatusOf(lock, &held) && held.st_nlink == 1 &&
           Retry(sys.fstatat, directory, lockName, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           SameFile(held, named);
}

// Why the lock file of a name is not this server's to use: it cannot be made, or what is
// under its name is not a lock file of this user's.
void NoteLockFileCause(const ServerName &name, const char *lockName) {
    struct stat lock {};
    if (Retry(sys.fstatat, name.directory.fd, lockName, &lock, AT_SYMLINK_NOFOLLOW) != 0) {
        char directory[PathCapacity];
        DirectoryOf(name.path, directory);
        NoteCause(ERROR_ACCESS_DENIED, "this user may not make files in the pipe directory '%s'",
                  directory);
    } else if (!S_ISREG(lock.st_mode)) {
        NoteCause(ERROR_ACCESS_DENIED, "'%s.lock' is %s, not a lock file", name.path,
                  KindOf(lock.st_mode));
    } else if (lock.st_uid != geteuid()) {
        NoteCause(ERROR_ACCESS_DENIED, "the lock file '%s.lock' is uid %u's: the name is theirs",
                  name.path, static_cast<unsigned>(lock.st_uid));
    } else if (lock.st_nlink > 1) {
        NoteCause(ERROR_ACCESS_DENIED, "the lock file '%s.lock' has another name as well",
                  name.path);
    } else {
        NoteCause(ERROR_ACCESS_DENIED, "this user may not open the lock file '%s.lock'", name.path);
    }
}

// Opens or makes the lock file of the name; fails when it is not this server's to use.
OwnedFd OpenLockFile(const ServerName &name, const char *lockName) {
    // Owner-only: whoever can open a lock file can hold a lock on it, and keep every server
    // from the name.
    OwnedFd fd(Retry(sys.openat, name.directory.fd, lockName,
                     O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode_t{0600}));
    if (fd.get() < 0) {
        int error = errno;
        // Another user's lock file, which the kernel may refuse even to root in a sticky
        // directory: busy while its server lives, else (or when that cannot be seen) not
        // this server's to use.
        bool alive = NotPermitted(error) && ServerLives(name.directory.fd, name.file);
        DWORD code = Win32ErrorFromOpenLock(error, alive);
        if (code == ERROR_ACCESS_DENIED) {
            NoteLockFileCause(name, lockName);
        }
        FailWith(code);
        return fd;
    }
    struct stat lock {};
    if (!StatusOf(fd.get(), &lock)) {
        FailWithErrno(errno);
        return OwnedFd();
    }
    // Only a regular file of this user's, under this one name, is trusted with the locks.
    if (!S_ISREG(lock.st_mode) || lock.st_uid != geteuid() || lock.st_nlink > 1) {
        if (S_ISREG(lock.st_mode) && LockHeld(fd.get(), AliveByte)) {
            FailWith(ERROR_PIPE_BUSY);
        } else {
            NoteLockFileCause(name, lockName);
            FailWith(ERROR_ACCESS_DENIED);
        }
        return OwnedFd();
    }
    // One left more open is narrowed before it is relied on: from then on nobody else can
    // open it.
    if ((lock.st_mode & 07777) != 0600 && Retry(sys.fchmod, fd.get(), mode_t{0600}) != 0) {
        FailWithErrno(errno);
        return OwnedFd();
    }
    return fd;
}

} // namespace

Entry Inspect(int directory, const char *file) {
    struct stat entry {};
    if (Retry(sys.fstatat, directory, file, &entry, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return Entry::Missing;
        }
        FailWithErrno(errno);
        return Entry::Unknown;
    }
    if (!S_ISSOCK(entry.st_mode)) {
        return Entry::Other;
    }
    return entry.st_uid == geteuid() ? Entry::OwnSocket : Entry::ForeignSocket;
}

bool NameUsable(Entry entry, const ServerName &name) {
    switch (entry) {
    case Entry::Missing:
    case Entry::OwnSocket:
        return true;
    case Entry::ForeignSocket:
        return FailWith(ERROR_PIPE_BUSY);
    case Entry::Other: {
        struct stat other {};
        if (Retry(sys.fstatat, name.directory.fd, name.file, &other, AT_SYMLINK_NOFOLLOW) == 0) {
            NoteCause(ERROR_ACCESS_DENIED, "'%s' is %s, not a pipe", name.path,
                      KindOf(other.st_mode));
        }
        return FailWith(ERROR_ACCESS_DENIED);
    }
    case Entry::Unknown:
        break;
    }
    return false; // the last-error code is already set
}

// Looks first and makes nothing under a name that is not this server's to use.
bool LockName(ServerName *name) {
    if (!NameUsable(Inspect(name->directory.fd, name->file), *name)) {
        return false;
    }
    char lockName[LockNameCapacity];
    LockNameFor(name->file, lockName);
    for (int attempt = 0; attempt < LockAttempts; ++attempt) {
        OwnedFd fd = OpenLockFile(*name, lockName);
        if (fd.get() < 0) {
            return false;
        }
        if (!SetLock(fd.get(), AliveByte, F_WRLCK)) {
            return FailWith(Win32ErrorFromLock(errno));
        }
        if (LockFileIsTheName(name->directory.fd, lockName, fd.get())) {
            name->lockFile = fd.release();
            name->locked = true;
            return true;
        }
    }
    return FailWith(ERROR_PIPE_BUSY);
}

bool StartListening(const ServerName &name) {
    return SetLock(name.lockFile, ListeningByte, F_WRLCK);
}

void EndListening(const ServerName &name) {
    SetLock(name.lockFile, ListeningByte, F_UNLCK);
}

void RemoveOwnLock(int directory, const char *file, int lock) {
    char lockName[LockNameCapacity];
    LockNameFor(file, lockName);
    if (LockFileIsTheName(directory, lockName, lock)) {
        Retry(sys.unlinkat, directory, lockName, 0);
    }
}

ServerState ServerStateOf(int directory, const char *file) {
    Lock alive = LockOf(directory, file, AliveByte);
    if (alive == Lock::Unreadable) {
        // Another user's name: only a socket file under it can be seen.
        Entry entry = Inspect(directory, file);
        return entry == Entry::OwnSocket || entry == Entry::ForeignSocket ? ServerState::Unseen
                                                                          : ServerState::None;
    }
    if (alive == Lock::Free) {
        return ServerState::None;
    }
    return LockOf(directory, file, ListeningByte) == Lock::Held ? ServerState::Listening
                                                                : ServerState::Busy;
}

bool ServerLives(int directory, const char *file) {
    return LockOf(directory, file, AliveByte) == Lock::Held;
}
