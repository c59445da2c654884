// Named pipes over AF_UNIX SOCK_SEQPACKET sockets: one record is one message.
//
// \\.\pipe\NAME is a listening socket at DIR/NAME, where DIR is $PIPEWORD_PIPE_DIR (a
// named directory) or else the shared default, /tmp/.pipe. Beside it, NAME.lock (mode
// 0600, so that nobody else can open it, let alone lock it) carries two open-file-
// description locks taken by the server:
//   byte 0 for the server's whole lifetime: a live server, as opposed to a socket file left
//          by a killed one, which the next server reclaims;
//   byte 1 while its instance listens for a client: free, for WaitNamedPipeW.
// Clients test them with F_OFD_GETLK, which takes nothing, so a probe can never make a
// starting server believe the name is in use. A server that ends removes its socket file
// and then, still holding byte 0, its lock file, so that the name is free for any user
// again; a server that takes byte 0 goes on only if the file it locked is still the one
// under the name, since a lock on a removed file would be worth nothing. A killed server
// leaves both files; the next server of the same user reclaims them. A client of another
// user cannot open the lock file, and goes by what connect says instead: a socket that
// refuses the connection has no listening server (ERROR_FILE_NOT_FOUND, also for another
// user's stale socket), one whose queue is full is busy (ERROR_PIPE_BUSY).
//
// A server has one instance. Once it has its client it closes the listening socket, so
// later clients are refused and, finding byte 0 held, report ERROR_PIPE_BUSY. After
// DisconnectNamedPipe the next ConnectNamedPipe listens again.
//
// The pipe directory may be shared with other local users, any of whom may have got there
// first, so nothing in it is taken on trust:
//   - The directory is opened without following a symbolic link (its parents are the
//     administrator's choice and may be links). The default directory is used only if it
//     is root's and, if others may write to it, has the sticky bit, as /tmp/.X11-unix is:
//     anyone could have made it otherwise. Only root's server makes it when it is missing
//     (01777); anyone else's fails with ERROR_PATH_NOT_FOUND, and a default directory that
//     is not fit to share fails servers and clients alike with ERROR_ACCESS_DENIED. A
//     named directory serves a server if it is root's or the server's user's and, if
//     others may write to it, sticky; a missing one is made 0755, so that only its owner
//     makes names in it and every user's client can reach them.
//   - From then on the layer works relative to the open directory: *at() calls, and for
//     bind and connect a path through /proc/self/fd, which names the very file opened
//     whatever its path names by then. Without /proc that cannot be done, and the pipe
//     operations fail with ERROR_NOT_SUPPORTED rather than fall back on paths.
//   - The lock file and the socket are opened and created without following links, and a
//     lock file is used only if it is a regular file of the server's user (one left more
//     open than 0600 is narrowed to 0600 before it is locked).
//   - A socket file is removed only if it belongs to the server's user and the name's lock
//     is held by this server (it is stale). In a directory that passed the checks above,
//     only that user, root or the directory's owner (one of the two) can remove or replace
//     a file of that user's, so it is still the same file when it is removed. Another
//     user's socket under the name, live or stale, is never removed: the name is busy
//     (ERROR_PIPE_BUSY).
//   - A client opens the name with O_PATH | O_NOFOLLOW, uses it only if that is a socket
//     with no other link, connects to that very file, and keeps the connection only if the
//     server runs as root, as the client's own user, or, in a named directory (which the
//     client's user chose), as that directory's owner (SO_PEERCRED): any user can make a
//     name in a shared directory first, and only those servers can be told from an
//     impostor. Anything else fails with ERROR_ACCESS_DENIED.
//
// The process may end while a server is open: at exit, and on SIGHUP, SIGINT, SIGQUIT and
// SIGTERM, the files of its live servers are removed while their names are still locked;
// a signal then takes its default action, so that the process ends as it would have
// without the handler.
#include "platform/platform.h"
#include "platform/posix/layer.h"
#include "platform/posix/syscalls.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/epoll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr DWORD ErrorPipeListening = 536u;
constexpr DWORD FileFlagFirstPipeInstance = 0x00080000u;
constexpr DWORD FileFlagOverlapped = 0x40000000u;
constexpr DWORD FileReadData = 0x1u;
constexpr DWORD FileWriteData = 0x2u;
constexpr DWORD GrantsRead = GENERIC_READ | GENERIC_ALL | FileReadData;
constexpr DWORD GrantsWrite = GENERIC_WRITE | GENERIC_ALL | FileWriteData;

constexpr std::size_t PathCapacity = sizeof(sockaddr_un{}.sun_path);
constexpr off_t AliveByte = 0;
constexpr off_t ListeningByte = 1;
constexpr DWORD DefaultWaitMilliseconds = 50;
constexpr long FlushCheckNanoseconds = 100000;
constexpr long WaitCheckNanoseconds = 2000000;
constexpr mode_t WritableByOthers = S_IWGRP | S_IWOTH;

void Pause(long nanoseconds) {
    timespec delay{0, nanoseconds};
    nanosleep(&delay, nullptr); // an early wake-up only means an early re-check
}

// ---- Names ---------------------------------------------------------------------------------

bool SameAsciiIgnoringCase(std::u16string_view text, std::u16string_view lower) {
    if (text.size() != lower.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t unit = text[i] >= u'A' && text[i] <= u'Z' ? text[i] + (u'a' - u'A') : text[i];
        if (unit != lower[i]) {
            return false;
        }
    }
    return true;
}

constexpr std::string_view DefaultDirectory = "/tmp/.pipe";

// The pipe directory without trailing slashes, and whether it is a named one: given in
// PIPEWORD_PIPE_DIR, other than the default (spelling the default out trusts no more).
std::string_view PipeDirectory(bool *named) {
    const char *configured = std::getenv("PIPEWORD_PIPE_DIR");
    std::string_view directory =
        configured != nullptr && configured[0] != 0 ? configured : DefaultDirectory;
    while (directory.size() > 1 && directory.back() == '/') {
        directory.remove_suffix(1);
    }
    *named = directory != DefaultDirectory;
    return directory;
}

// Checks a Win32 pipe name, \\.\pipe\NAME with the prefix in any case, and writes the socket
// path for NAME and whether its directory is a named one. The codes for malformed names are
// the ones Windows gives.
bool SocketPathFor(LPCWSTR name, char (&path)[PathCapacity], bool *named) {
    if (name == nullptr || name[0] == 0) {
        return FailWith(ERROR_PATH_NOT_FOUND);
    }
    std::u16string_view text(name);
    if (text.size() < 2 || text[0] != u'\\' || text[1] != u'\\') {
        return FailWith(ERROR_INVALID_NAME);
    }
    std::u16string_view rest = text.substr(2);
    std::size_t cut = rest.find(u'\\');
    if (cut == std::u16string_view::npos) {
        return FailWith(ERROR_INVALID_NAME);
    }
    if (rest.substr(0, cut) != u".") {
        return FailWith(ERROR_PATH_NOT_FOUND); // another host, or another kind of device path
    }
    rest = rest.substr(cut + 1);
    cut = rest.find(u'\\');
    if (!SameAsciiIgnoringCase(rest.substr(0, cut), u"pipe")) {
        return FailWith(cut == std::u16string_view::npos ? ERROR_INVALID_NAME
                                                         : ERROR_PATH_NOT_FOUND);
    }
    if (cut == std::u16string_view::npos || cut + 1 == rest.size()) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    std::u16string_view pipe = rest.substr(cut + 1);
    // NAME becomes one file name: no separators, no dot entries, and not the lock file of
    // another pipe.
    if (pipe.find_first_of(u"/\\") != std::u16string_view::npos || pipe == u"." || pipe == u".." ||
        (pipe.size() >= 5 && pipe.substr(pipe.size() - 5) == u".lock")) {
        return FailWith(ERROR_INVALID_NAME);
    }
    std::string_view directory = PipeDirectory(named);
    char file[PathCapacity];
    std::size_t fileSize = WriteUtf8(pipe.data(), pipe.size(), file, sizeof file);
    if (directory.size() + 1 + fileSize >= PathCapacity) {
        return FailWith(ERROR_FILENAME_EXCED_RANGE);
    }
    char *at = std::copy(directory.begin(), directory.end(), path);
    *at++ = '/';
    at = std::copy(file, file + fileSize, at);
    *at = 0;
    return true;
}

// NAME, the last component of a socket path.
const char *FileNameOf(const char *socketPath) {
    return std::strrchr(socketPath, '/') + 1;
}

// The socket path's directory: "/NAME" lives in "/".
void DirectoryOf(const char *socketPath, char (&directory)[PathCapacity]) {
    std::size_t size = static_cast<std::size_t>(FileNameOf(socketPath) - 1 - socketPath);
    std::memcpy(directory, socketPath, size);
    directory[size == 0 ? 1 : size] = 0;
}

constexpr char LockSuffix[] = ".lock";
constexpr std::size_t LockNameCapacity = PathCapacity + sizeof LockSuffix - 1;

void LockNameFor(const char *file, char (&lockName)[LockNameCapacity]) {
    std::size_t size = std::strlen(file);
    std::memcpy(lockName, file, size);
    std::memcpy(lockName + size, LockSuffix, sizeof LockSuffix);
}

// ---- The pipe directory --------------------------------------------------------------------

// The pipe directory, open as an O_PATH descriptor (which needs no permission on the
// directory itself), what it was when it was checked, and whether it is a named one.
struct Directory {
    int fd = -1;
    struct stat status {};
    bool named = false;
};

bool StatusOf(int fd, struct stat *status) {
    return Retry(sys.fstatat, fd, "", status, AT_EMPTY_PATH) == 0;
}

// "/proc/self/fd/N": the open file itself, whatever its path names now.
std::size_t ProcPathOf(int fd, char (&path)[PathCapacity]) {
    static constexpr char prefix[] = "/proc/self/fd/";
    char digits[12];
    std::size_t count = 0;
    auto value = static_cast<unsigned>(fd);
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    char *at = std::copy(prefix, prefix + sizeof prefix - 1, path);
    while (count > 0) {
        *at++ = digits[--count];
    }
    *at = 0;
    return static_cast<std::size_t>(at - path);
}

// The socket address "/proc/self/fd/N", or "/proc/self/fd/N/NAME" for a name in the open
// directory N. bind and connect have no *at() form, and a path through /proc/self/fd leads
// to the very file that was opened and checked ('opened'), so that nothing swapped in
// under its path since is ever used. Without /proc (or with something else there) no path
// is that safe, and the call fails with ERROR_NOT_SUPPORTED.
bool ProcAddressOf(int fd, const struct stat &opened, const char *file, sockaddr_un *address) {
    address->sun_family = AF_UNIX;
    char proc[PathCapacity];
    std::size_t size = ProcPathOf(fd, proc);
    std::size_t fileSize = file != nullptr ? std::strlen(file) : 0;
    struct stat through {};
    if (size + 1 + fileSize >= PathCapacity) {
        return FailWith(ERROR_FILENAME_EXCED_RANGE);
    }
    if (Retry(sys.fstatat, AT_FDCWD, proc, &through, 0) != 0 || through.st_dev != opened.st_dev ||
        through.st_ino != opened.st_ino) {
        return FailWith(ERROR_NOT_SUPPORTED);
    }
    std::memcpy(address->sun_path, proc, size + 1);
    if (file != nullptr) {
        address->sun_path[size] = '/';
        std::memcpy(address->sun_path + size + 1, file, fileSize + 1);
    }
    return true;
}

// The directory itself, never a symbolic link in its place (its parents are the
// administrator's choice and may be links).
int OpenDirectory(const char *directory) {
    return Retry(sys.openat, AT_FDCWD, directory, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC,
                 mode_t{0});
}

// Why the directory could not be opened: a path that leads nowhere gives 'missing';
// something other than a directory where the directory belongs (a symbolic link, a file)
// gives ERROR_ACCESS_DENIED.
BOOL FailToOpenDirectory(const char *directory, int error, DWORD missing) {
    struct stat entry {};
    if ((error == ELOOP || error == ENOTDIR) &&
        Retry(sys.fstatat, AT_FDCWD, directory, &entry, AT_SYMLINK_NOFOLLOW) == 0) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    return error == ENOENT || error == ENOTDIR ? FailWith(missing) : FailWithErrno(error);
}

// Sets the mode of a directory open as O_PATH: through /proc/self/fd, which needs no
// permission on it, or, without /proc, by opening it for reading.
bool ChangeDirectoryMode(int fd, mode_t mode) {
    char proc[PathCapacity];
    ProcPathOf(fd, proc);
    if (Retry(sys.fchmodat, AT_FDCWD, proc, mode, 0) == 0) {
        return true;
    }
    if (errno != ENOENT) {
        return false;
    }
    int readable = Retry(sys.openat, fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, mode_t{0});
    if (readable < 0) {
        return false;
    }
    bool changed = Retry(sys.fchmod, readable, mode) == 0;
    int error = errno;
    close(readable);
    errno = error;
    return changed;
}

// Makes the missing pipe directory: mode 0700 at first, which the umask can only narrow, so
// it is never more open than meant; then 'mode'. True also when another process made it
// first (EEXIST): the caller then checks that one like any other.
bool MakeDirectory(const char *directory, mode_t mode) {
    if (Retry(sys.mkdirat, AT_FDCWD, directory, mode_t{0700}) != 0) {
        return errno == EEXIST;
    }
    int fd = OpenDirectory(directory);
    if (fd < 0) {
        return errno == ENOENT; // gone again: the caller looks once more
    }
    struct stat made {};
    bool changed = StatusOf(fd, &made);
    // Only the directory just made is opened up; one put in its place in the meantime is
    // left as it is, for the caller's checks.
    if (changed && S_ISDIR(made.st_mode) && made.st_uid == geteuid()) {
        changed = ChangeDirectoryMode(fd, mode);
    }
    int error = errno;
    close(fd);
    errno = error;
    return changed;
}

// Whether a directory that others may write to keeps them from removing or replacing
// each other's files: the sticky bit.
bool StickyIfShared(const struct stat &status) {
    return (status.st_mode & WritableByOthers) == 0 || (status.st_mode & S_ISVTX) != 0;
}

// Opens the pipe directory for a server. Its owner and anyone else who may write to it
// could replace the server's socket file with their own, so it must be a directory owned
// by root (the default directory: always) or by the server's user, and have the sticky bit
// if others may write to it. A missing named directory is made 0755; the missing default
// directory is made 01777 by root alone, so that nobody else can own the shared one.
bool OpenServerDirectory(const char *socketPath, Directory *directory) {
    char path[PathCapacity];
    DirectoryOf(socketPath, path);
    bool mayMake = directory->named || geteuid() == 0;
    mode_t mode = directory->named ? 0755 : 01777;
    int fd = OpenDirectory(path);
    for (int attempt = 0; fd < 0 && errno == ENOENT && mayMake && attempt < 3; ++attempt) {
        if (!MakeDirectory(path, mode)) {
            return FailToOpenDirectory(path, errno, ERROR_PATH_NOT_FOUND);
        }
        fd = OpenDirectory(path);
    }
    if (fd < 0) {
        return FailToOpenDirectory(path, errno, ERROR_PATH_NOT_FOUND);
    }
    struct stat &status = directory->status;
    if (!StatusOf(fd, &status)) {
        int error = errno;
        close(fd);
        return FailWithErrno(error);
    }
    uid_t owner = status.st_uid;
    if (!S_ISDIR(status.st_mode) || (owner != 0 && (!directory->named || owner != geteuid())) ||
        !StickyIfShared(status)) {
        close(fd);
        return FailWith(ERROR_ACCESS_DENIED);
    }
    directory->fd = fd;
    return true;
}

// Opens the pipe directory for a client. A named one may be anyone's: its owner is trusted
// (TrustedServer), since the client's user chose it. The default directory is used only if
// it is fit to share, as for a server: anyone may have made one that is not.
bool OpenClientDirectory(const char *socketPath, Directory *directory) {
    char path[PathCapacity];
    DirectoryOf(socketPath, path);
    int fd = OpenDirectory(path);
    if (fd < 0) {
        return FailToOpenDirectory(path, errno, ERROR_FILE_NOT_FOUND);
    }
    const struct stat &status = directory->status;
    if (!StatusOf(fd, &directory->status)) {
        int error = errno;
        close(fd);
        return FailWithErrno(error);
    }
    if (!directory->named && (status.st_uid != 0 || !StickyIfShared(status))) {
        close(fd);
        return FailWith(ERROR_ACCESS_DENIED);
    }
    directory->fd = fd;
    return true;
}

// Whether a client may believe a server running as 'user': root, the client's own user,
// or the owner of the named directory that the client's user chose. Never merely the
// owner of the default directory, which anyone could have made.
bool TrustedServer(uid_t user, const Directory &directory) {
    return user == 0 || user == geteuid() || (directory.named && user == directory.status.st_uid);
}

// What is under a name in the directory, looked at without following a link.
enum class Entry {
    Missing,
    OwnSocket,     // a socket file of this process's user
    ForeignSocket, // another user's socket file
    Other,         // a symbolic link, a file, a directory: never a pipe
    Unknown,       // could not be told; the last-error code says why
};

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

// Removes the server's socket file, if the name still holds one of this user's. Only
// async-signal-safe calls, and the last-error code is left alone: the exit and signal
// handlers call it.
void RemoveOwnSocket(int directory, const char *file) {
    struct stat entry {};
    if (Retry(sys.fstatat, directory, file, &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISSOCK(entry.st_mode) && entry.st_uid == geteuid()) {
        Retry(sys.unlinkat, directory, file, 0);
    }
}

// ---- Locks on the sidecar file -------------------------------------------------------------

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
    int fd = Retry(sys.openat, directory, lockName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                   mode_t{0});
    if (fd < 0) {
        return errno == EACCES || errno == EPERM ? Lock::Unreadable : Lock::Free;
    }
    struct stat lock {};
    bool held = StatusOf(fd, &lock) && S_ISREG(lock.st_mode) && LockHeld(fd, byte);
    close(fd);
    return held ? Lock::Held : Lock::Free;
}

bool LockHeldFor(int directory, const char *file, off_t byte) {
    return LockOf(directory, file, byte) == Lock::Held;
}

bool SameFile(const struct stat &one, const struct stat &other) {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
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

// Removes the lock file of NAME, which this process holds locked as 'lock', if it is still
// the one under the name. The last step of a server on its name: from then on another
// server may take it. Async-signal-safe, as RemoveOwnSocket.
void RemoveOwnLock(int directory, const char *file, int lock) {
    char lockName[LockNameCapacity];
    LockNameFor(file, lockName);
    if (LockFileIsTheName(directory, lockName, lock)) {
        Retry(sys.unlinkat, directory, lockName, 0);
    }
}

// ---- Socket files to remove when the process ends ------------------------------------------

// The process may end while a worker is still blocked in ConnectNamedPipe, by returning
// from main or by a signal; the exit and signal handlers then remove the files of the
// servers still open. Slots are never freed and the list only grows at its head, so a
// handler can walk it while another thread is inside the layer; ownership of a slot passes
// by compare-and-swap on its state alone.
// SlotLive: published; the name is locked, and what is under it is this server's or stale.
// SlotClosing: the server is removing its own socket file; should the process end
//   meanwhile, the handler removes it too, so that no file outlives the process.
// SlotEnding: the process is ending and a handler has the slot. The server no longer
//   touches its lock file or directory then: the name stays locked until the handler has
//   removed the socket file and, last, the lock file, so that no other server can take
//   the name in between and lose its socket to the handler.
enum SlotState : int { SlotFree, SlotBusy, SlotLive, SlotClosing, SlotEnding };

// The layer's own objects (slots, pipe ends) live in mappings of their own rather than on
// the heap: the program's worker allocates nothing once its security record is built, and
// creating and closing its pipe falls in that stretch.
template <typename Object> Object *MapObject() {
    void *region = sys.mmap(nullptr, sizeof(Object), PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return new (region) Object;
}

template <typename Object> void UnmapObject(Object *object) {
    object->~Object();
    sys.munmap(object, sizeof(Object));
}

struct ExitSlot {
    std::atomic<int> state{SlotBusy};
    pid_t owner = 0;
    int directory = -1; // the server's pipe directory, open while the slot is live
    int lockFile = -1;  // and its lock file, locked
    char file[PathCapacity] = {};
    ExitSlot *next = nullptr;
};

constinit std::atomic<ExitSlot *> exitSlots{nullptr};

constexpr int EndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// 0, then 1 while a handler removes the files, 2 once it has.
constinit std::atomic<int> removal{0};

// Async-signal-safe: lock-free atomics and system calls. The first handler to come removes
// the files; one that comes meanwhile on another thread (a signal during exit, or a second
// signal) waits for it, so that the process does not end halfway.
void RemoveLiveSocketFiles() {
    static_assert(std::atomic<int>::is_always_lock_free);
    int idle = 0;
    if (!removal.compare_exchange_strong(idle, 1)) {
        for (int waited = 0; removal.load() == 1 && waited < 1000; ++waited) {
            Pause(1000000);
        }
        return;
    }
    for (ExitSlot *slot = exitSlots.load(); slot != nullptr; slot = slot->next) {
        int live = SlotLive;
        int closing = SlotClosing;
        // A forked child inherits the list; it removes only its own servers' files.
        if ((slot->state.compare_exchange_strong(live, SlotEnding) ||
             slot->state.compare_exchange_strong(closing, SlotEnding)) &&
            slot->owner == getpid()) {
            RemoveOwnSocket(slot->directory, slot->file);
            RemoveOwnLock(slot->directory, slot->file, slot->lockFile);
        }
    }
    removal.store(2);
}

// At exit the ending signals wait on this thread until the files are gone (a signal
// handler would find the removal under way and wait for itself).
void RemoveLiveSocketFilesAtExit() {
    sigset_t ending;
    sigemptyset(&ending);
    for (int signal : EndingSignals) {
        sigaddset(&ending, signal);
    }
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    RemoveLiveSocketFiles();
}

// Registered as the process starts, so that no server has to register it later.
const bool exitHandlerRegistered = std::atexit(RemoveLiveSocketFilesAtExit) == 0;

// Removes the files, then ends the process as the signal would have without the handler:
// the default action, so that whoever waits for the process sees the signal (128 + n).
void EndOnSignal(int signal) {
    int error = errno;
    RemoveLiveSocketFiles();
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    errno = error;
}

// Installed when a server first publishes its socket. Only signals whose disposition is
// still the default are caught: one the process was started with ignored stays ignored
// (SIGHUP under nohup, SIGINT and SIGQUIT in a shell's background job), and a handler of
// the program's own is left alone. While one is handled the others wait.
void RemoveSocketFilesOnSignals() {
    static constinit std::atomic<bool> installed{false};
    if (installed.exchange(true)) {
        return;
    }
    struct sigaction handler {};
    handler.sa_handler = EndOnSignal;
    handler.sa_flags = SA_RESTART;
    sigemptyset(&handler.sa_mask);
    for (int signal : EndingSignals) {
        sigaddset(&handler.sa_mask, signal);
    }
    for (int signal : EndingSignals) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
            current.sa_handler == SIG_DFL) {
            sigaction(signal, &handler, nullptr);
        }
    }
}

// A slot in state SlotBusy, owned by the caller until it publishes or frees it.
ExitSlot *ClaimExitSlot(int directory, const char *file, int lockFile) {
    if (!exitHandlerRegistered) {
        FailWith(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    }
    ExitSlot *slot = exitSlots.load();
    for (; slot != nullptr; slot = slot->next) {
        int vacant = SlotFree;
        if (slot->state.compare_exchange_strong(vacant, SlotBusy)) {
            break;
        }
    }
    if (slot == nullptr) {
        slot = MapObject<ExitSlot>(); // never unmapped: the handler may still walk it
        if (slot == nullptr) {
            return nullptr;
        }
        slot->next = exitSlots.load();
        while (!exitSlots.compare_exchange_weak(slot->next, slot)) {
        }
    }
    slot->owner = getpid();
    slot->directory = directory;
    slot->lockFile = lockFile;
    std::memcpy(slot->file, file, std::strlen(file) + 1);
    return slot;
}

// ---- Pipe ends -----------------------------------------------------------------------------

struct PipeEnd : HandleObject {
    int connection = -1;
    bool canRead = false;
    bool canWrite = false;
    bool messageRead = false; // message read mode: pieces with ERROR_MORE_DATA
    // A message longer than the caller's buffer is taken whole into this region, reserved
    // when the handle is made, and handed out from [next, end). Pages are only committed
    // when a large message touches them.
    char *staging = nullptr;
    std::size_t stagingCapacity = 0;
    std::size_t next = 0;
    std::size_t end = 0;
};

struct PipeServer : PipeEnd {
    int listener = -1;
    int lockFile = -1;
    bool locked = false; // byte 0 of lockFile, which is the name's lock file
    Directory directory;
    mode_t fileMode = 0600;
    ExitSlot *slot = nullptr;
    bool published = false; // the socket file is bound and its slot live
    char path[PathCapacity] = {};
    const char *file = nullptr; // NAME, within path
};

using PipeClient = PipeEnd;

// The largest record a peer can send is bounded by its send buffer: at most twice
// net.core.wmem_max (and in practice the kernel's largest allocation, about 4 MiB).
std::size_t StagingReserve() {
    static const std::size_t reserve = [] {
        std::size_t limit = 4u << 20;
        int fd = Retry(sys.openat, AT_FDCWD, "/proc/sys/net/core/wmem_max", O_RDONLY | O_CLOEXEC,
                       mode_t{0});
        if (fd >= 0) {
            char text[32] = {};
            if (read(fd, text, sizeof text - 1) > 0) {
                limit = std::max<std::size_t>(limit, std::strtoull(text, nullptr, 10));
            }
            close(fd);
        }
        std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        return (2 * limit + page - 1) / page * page;
    }();
    return reserve;
}

bool ReserveStaging(PipeEnd *end) {
    std::size_t size = StagingReserve();
    void *region = sys.mmap(nullptr, size, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    end->staging = static_cast<char *>(region);
    end->stagingCapacity = size;
    return true;
}

// Only for a record beyond the reserve (a peer whose send buffer was forced larger).
bool GrowStaging(PipeEnd *end, std::size_t size) {
    std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    size = (size + page - 1) / page * page;
    void *region = sys.mremap(end->staging, end->stagingCapacity, size, MREMAP_MAYMOVE);
    if (region == MAP_FAILED) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    end->staging = static_cast<char *>(region);
    end->stagingCapacity = size;
    return true;
}

void ReleaseStaging(PipeEnd *end) {
    if (end->staging != nullptr) {
        sys.munmap(end->staging, end->stagingCapacity);
    }
}

PipeEnd *LookUpPipe(HANDLE handle) {
    return static_cast<PipeEnd *>(
        LookUpHandle(handle, HandleKind::PipeServer, HandleKind::PipeClient));
}

PipeServer *LookUpServer(HANDLE handle) {
    return static_cast<PipeServer *>(LookUpHandle(handle, HandleKind::PipeServer));
}

// Whether the other end has closed.
bool PeerGone(int fd) {
    pollfd state{fd, 0, 0};
    return Retry(sys.poll, &state, nfds_t{1}, 0) > 0 && (state.revents & POLLHUP) != 0;
}

// Whether a client is waiting to be accepted.
bool ClientWaiting(int listener) {
    pollfd waiting{listener, POLLIN, 0};
    return Retry(sys.poll, &waiting, nfds_t{1}, 0) > 0 && (waiting.revents & POLLIN) != 0;
}

ssize_t Receive(int fd, void *buffer, std::size_t size) {
    iovec piece{buffer, size};
    msghdr header{};
    header.msg_iov = &piece;
    header.msg_iovlen = 1;
    return Retry(sys.recvmsg, fd, &header, 0);
}

ssize_t Send(int fd, const void *buffer, std::size_t size) {
    iovec piece{const_cast<void *>(buffer), size};
    msghdr header{};
    header.msg_iov = &piece;
    header.msg_iovlen = 1;
    return Retry(sys.sendmsg, fd, const_cast<const msghdr *>(&header), MSG_NOSIGNAL);
}

// The failure code for I/O on a server end that has no client.
BOOL FailNotConnected(const PipeEnd *end) {
    bool listening =
        end->kind == HandleKind::PipeServer && static_cast<const PipeServer *>(end)->listener >= 0;
    return FailWith(listening ? ErrorPipeListening : ERROR_PIPE_NOT_CONNECTED);
}

// ---- The server ----------------------------------------------------------------------------

bool IsWorldSid(const BYTE *sid, std::size_t room) {
    static const BYTE everyone[] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    static const BYTE authenticatedUsers[] = {1, 1, 0, 0, 0, 0, 0, 5, 11, 0, 0, 0};
    return room >= sizeof everyone && (std::memcmp(sid, everyone, sizeof everyone) == 0 ||
                                       std::memcmp(sid, authenticatedUsers, sizeof everyone) == 0);
}

// The socket file's mode for a security record. Connecting needs write permission, so the
// file is open to all (0666) when the descriptor lets Authenticated Users or Everyone write
// and has no deny entry for them, and owner-only (0600) otherwise, as Windows' default
// descriptor is. A descriptor without a DACL grants everyone everything, as on Windows.
bool SocketModeFor(const SECURITY_ATTRIBUTES *security, mode_t *mode) {
    *mode = 0600;
    if (security == nullptr || security->lpSecurityDescriptor == nullptr) {
        return true;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(security->lpSecurityDescriptor, &present, &dacl, &defaulted)) {
        return false;
    }
    if (!present || dacl == nullptr) {
        *mode = 0666;
        return true;
    }
    bool allowed = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        LPVOID entry = nullptr;
        if (!GetAce(dacl, i, &entry)) {
            return false;
        }
        const auto *bytes = static_cast<const BYTE *>(entry);
        ACE_HEADER header;
        DWORD mask;
        std::memcpy(&header, bytes, sizeof header);
        std::memcpy(&mask, bytes + sizeof header, sizeof mask);
        constexpr std::size_t sidOffset = sizeof header + sizeof mask;
        if ((header.AceFlags & INHERIT_ONLY_ACE) != 0 || header.AceSize < sidOffset ||
            !IsWorldSid(bytes + sidOffset, header.AceSize - sidOffset)) {
            continue;
        }
        if (header.AceType == ACCESS_DENIED_ACE_TYPE) {
            return true; // stays owner-only
        }
        if (header.AceType == ACCESS_ALLOWED_ACE_TYPE && (mask & GrantsWrite) != 0) {
            allowed = true;
        }
    }
    if (allowed) {
        *mode = 0666;
    }
    return true;
}

// Whether a server may go on with the name given what is under it: nothing, or a socket
// file of its own user's. Another user's socket, live or stale, is never removed: the name
// is busy, as for a live server. Anything else (a link, a file) is not a pipe at all.
bool NameUsable(Entry entry) {
    switch (entry) {
    case Entry::Missing:
    case Entry::OwnSocket:
        return true;
    case Entry::ForeignSocket:
        return FailWith(ERROR_PIPE_BUSY);
    case Entry::Other:
        return FailWith(ERROR_ACCESS_DENIED);
    case Entry::Unknown:
        break;
    }
    return false; // the last-error code is already set
}

// Binds and listens on the server's name. bind never follows a link and never replaces a
// file. The mode is set on the socket before bind, so the file is never more open than the
// descriptor says, and put back after bind if the umask narrowed it. A socket file of this
// user's already there is stale (this server holds the name's lock) and is replaced;
// anything else refuses the name.
bool OpenListener(PipeServer *server) {
    int directory = server->directory.fd;
    int fd = Retry(sys.socket, AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return FailWithErrno(errno);
    }
    sockaddr_un address{};
    if (!ProcAddressOf(directory, server->directory.status, server->file, &address)) {
        close(fd);
        return false;
    }
    auto bindName = [&] {
        return Retry(sys.bind, fd, reinterpret_cast<const sockaddr *>(&address),
                     socklen_t{sizeof address});
    };
    auto fail = [&](int error) {
        close(fd);
        return FailWithErrno(error);
    };
    // Accepted sockets inherit SO_PASSCRED: every record, even an empty one, then carries
    // credentials, which tells a zero-byte message from the end of the connection.
    int on = 1;
    if (Retry(sys.setsockopt, fd, SOL_SOCKET, SO_PASSCRED, &on, socklen_t{sizeof on}) != 0 ||
        Retry(sys.fchmod, fd, server->fileMode) != 0) {
        return fail(errno);
    }
    // Published before the file is made: should the process end from here on, its handlers
    // remove whatever socket file of this user's is under the name (stale, or this one).
    if (!server->published) {
        server->published = true;
        server->slot->state.store(SlotLive);
        RemoveSocketFilesOnSignals();
    }
    if (bindName() != 0) {
        if (errno != EADDRINUSE) {
            return fail(errno);
        }
        Entry entry = Inspect(directory, server->file);
        if (entry != Entry::OwnSocket) {
            close(fd);
            // Gone again at once: another server came and went; the name is busy all the same.
            return NameUsable(entry) ? FailWith(ERROR_PIPE_BUSY) : false;
        }
        if ((Retry(sys.unlinkat, directory, server->file, 0) != 0 && errno != ENOENT) ||
            bindName() != 0) {
            return fail(errno);
        }
    }
    struct stat made {};
    if (Retry(sys.fstatat, directory, server->file, &made, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISSOCK(made.st_mode) && made.st_uid == geteuid() &&
        (made.st_mode & 07777) != server->fileMode) {
        Retry(sys.fchmodat, directory, server->file, server->fileMode, 0);
    }
    // Backlog 0 still admits one client before ConnectNamedPipe; further ones find the
    // instance busy.
    if (Retry(sys.listen, fd, 0) != 0 || !SetLock(server->lockFile, ListeningByte, F_WRLCK)) {
        return fail(errno);
    }
    server->listener = fd;
    return true;
}

void DestroyServer(PipeServer *server) {
    if (server->connection >= 0) {
        close(server->connection);
    }
    if (server->listener >= 0) {
        close(server->listener);
    }
    bool ending = false;
    if (server->slot != nullptr) {
        int live = SlotLive;
        int closing = SlotClosing;
        if (!server->published) {
            server->slot->state.store(SlotFree);
        } else if (server->slot->state.compare_exchange_strong(live, SlotClosing)) {
            RemoveOwnSocket(server->directory.fd, server->file);
            ending = !server->slot->state.compare_exchange_strong(closing, SlotFree);
        } else {
            ending = true;
        }
    }
    // Released only once the socket file is gone, the lock file last. When the process is
    // ending, a handler has the slot and may still be removing the files: the name stays
    // locked, and the directory open, until the process is gone.
    if (!ending) {
        if (server->locked) {
            RemoveOwnLock(server->directory.fd, server->file, server->lockFile);
        }
        if (server->lockFile >= 0) {
            close(server->lockFile);
        }
        if (server->directory.fd >= 0) {
            close(server->directory.fd);
        }
    }
    ReleaseStaging(server);
    UnmapObject(server);
}

BOOL CloseServer(HandleObject *object) {
    DestroyServer(static_cast<PipeServer *>(object));
    return TRUE;
}

BOOL CloseClient(HandleObject *object) {
    auto *client = static_cast<PipeClient *>(object);
    close(client->connection);
    ReleaseStaging(client);
    UnmapObject(client);
    return TRUE;
}

// Takes the name for this server: fails with ERROR_PIPE_BUSY while another live server has
// it. Looks first and makes nothing under a name that is not this server's to use.
bool LockName(PipeServer *server) {
    int directory = server->directory.fd;
    if (!NameUsable(Inspect(directory, server->file))) {
        return false;
    }
    char lockName[LockNameCapacity];
    LockNameFor(server->file, lockName);
    // A server that ends removes its lock file, holding its lock, as its last step. One
    // that opened the file just before then gets the lock once it is gone, and must open
    // the name again; a few rounds of that mean others keep taking and leaving the name.
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Owner-only: whoever can open a lock file can hold a lock on it, and keep every
        // server from the name.
        int fd = Retry(sys.openat, directory, lockName,
                       O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode_t{0600});
        if (fd < 0) {
            int error = errno;
            // Another user's lock file, which the kernel may refuse even to root in a
            // sticky directory: busy while its server lives, else (or when that cannot be
            // seen) not this server's to use.
            if (error == EACCES || error == EPERM) {
                return FailWith(LockHeldFor(directory, server->file, AliveByte)
                                    ? ERROR_PIPE_BUSY
                                    : ERROR_ACCESS_DENIED);
            }
            // A link (never followed), a directory or a socket where the lock file belongs.
            return error == ENXIO ? FailWith(ERROR_ACCESS_DENIED) : FailWithErrno(error);
        }
        server->lockFile = fd;
        struct stat lock {};
        if (!StatusOf(fd, &lock)) {
            return FailWithErrno(errno);
        }
        // Only a regular file of this user's, under this one name, is trusted with the
        // locks.
        if (!S_ISREG(lock.st_mode) || lock.st_uid != geteuid() || lock.st_nlink > 1) {
            return FailWith(S_ISREG(lock.st_mode) && LockHeld(fd, AliveByte) ? ERROR_PIPE_BUSY
                                                                             : ERROR_ACCESS_DENIED);
        }
        // One left more open, by an earlier version, is narrowed before it is relied on:
        // from then on nobody else can open it.
        if ((lock.st_mode & 07777) != 0600 && Retry(sys.fchmod, fd, mode_t{0600}) != 0) {
            return FailWithErrno(errno);
        }
        if (!SetLock(fd, AliveByte, F_WRLCK)) {
            return errno == EAGAIN || errno == EACCES ? FailWith(ERROR_PIPE_BUSY)
                                                      : FailWithErrno(errno);
        }
        if (LockFileIsTheName(directory, lockName, fd)) {
            server->locked = true;
            return true;
        }
        close(fd);
        server->lockFile = -1;
    }
    return FailWith(ERROR_PIPE_BUSY);
}

// The client side of CreateFileW, in an open pipe directory.
HANDLE OpenClient(const Directory &directory, const char *path, DWORD access) {
    const char *file = FileNameOf(path);
    // The very file to connect to, and what it is: the name is opened without following a
    // link, and from here on only this file is used, whatever the name holds by then.
    int target = Retry(sys.openat, directory.fd, file, O_PATH | O_NOFOLLOW | O_CLOEXEC, mode_t{0});
    if (target < 0) {
        int error = errno;
        // A live server may be between two clients, replacing its socket file.
        SetLastError(error != ENOENT                              ? Win32ErrorFromErrno(error)
                     : LockHeldFor(directory.fd, file, AliveByte) ? ERROR_PIPE_BUSY
                                                                  : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Non-blocking, so that a full backlog (a client already waiting for this instance)
    // reads as busy at once instead of queueing behind it.
    int fd = Retry(sys.socket, AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    auto fail = [&](DWORD code) {
        if (fd >= 0) {
            close(fd);
        }
        if (target >= 0) {
            close(target);
        }
        SetLastError(code);
        return INVALID_HANDLE_VALUE;
    };
    if (fd < 0) {
        return fail(Win32ErrorFromErrno(errno));
    }
    // Only a socket is a pipe: a link or a file where a socket belongs is never followed.
    // A socket with a second name is refused too: that could be a link made to another
    // user's socket somewhere else, which is not this name's.
    struct stat socketFile {};
    if (!StatusOf(target, &socketFile)) {
        return fail(Win32ErrorFromErrno(errno));
    }
    if (!S_ISSOCK(socketFile.st_mode) || socketFile.st_nlink != 1) {
        return fail(ERROR_ACCESS_DENIED);
    }
    sockaddr_un address{};
    if (!ProcAddressOf(target, socketFile, nullptr, &address)) {
        return fail(GetLastError());
    }
    int on = 1;
    int result = Retry(sys.setsockopt, fd, SOL_SOCKET, SO_PASSCRED, &on, socklen_t{sizeof on});
    if (result == 0) {
        auto connectName = [&] {
            return sys.connect(fd, reinterpret_cast<const sockaddr *>(&address),
                               socklen_t{sizeof address});
        };
        result = connectName();
        // A connection interrupted after it was made reports EISCONN when made again.
        while (result != 0 && errno == EINTR) {
            result = connectName();
            if (result != 0 && errno == EISCONN) {
                result = 0;
            }
        }
    }
    if (result != 0) {
        switch (int error = errno) {
        // No listener on this file: a live server serving a client, or between two clients
        // (this file is the one it is replacing), or a stale file. Only the name's lock
        // tells them apart; to a client of another user, who cannot read it, there is no
        // server listening, as for no pipe at all.
        case ECONNREFUSED:
        case ENOENT:
            return fail(LockHeldFor(directory.fd, file, AliveByte) ? ERROR_PIPE_BUSY
                                                                   : ERROR_FILE_NOT_FOUND);
        case EAGAIN: // a listening server, with a client already waiting for it
            return fail(ERROR_PIPE_BUSY);
        default:
            return fail(Win32ErrorFromErrno(error));
        }
    }
    close(target);
    target = -1;
    // The server's credentials, as it was when it listened: whoever made the name, only a
    // server this client may believe is kept.
    ucred server{};
    socklen_t size = sizeof server;
    if (Retry(sys.getsockopt, fd, SOL_SOCKET, SO_PEERCRED, &server, &size) != 0) {
        return fail(Win32ErrorFromErrno(errno));
    }
    if (!TrustedServer(server.uid, directory)) {
        return fail(ERROR_ACCESS_DENIED);
    }
    int status = Retry(sys.fcntl, fd, F_GETFL, 0);
    if (status == -1 || Retry(sys.fcntl, fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        return fail(Win32ErrorFromErrno(errno));
    }
    auto *client = MapObject<PipeClient>();
    if (client == nullptr) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!ReserveStaging(client)) {
        UnmapObject(client);
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    client->kind = HandleKind::PipeClient;
    client->close = CloseClient;
    client->connection = fd;
    client->canRead = (access & GrantsRead) != 0;
    client->canWrite = (access & GrantsWrite) != 0;
    return RegisterHandle(client);
}

} // namespace

HANDLE CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                        DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout,
                        LPSECURITY_ATTRIBUTES security) {
    (void)outBufferSize;
    (void)inBufferSize;
    (void)defaultTimeout;
    // Blocking I/O on message-type pipes, one instance per name, is what the layer provides:
    // its sockets keep every message apart, where a byte-type pipe would join them. Anything
    // else, a byte-type pipe included, is refused with the code Windows gives for a mode it
    // does not accept, rather than silently treated as something it is not.
    DWORD access = openMode & PIPE_ACCESS_DUPLEX;
    if (access == 0 || (openMode & ~(PIPE_ACCESS_DUPLEX | FileFlagFirstPipeInstance)) != 0 ||
        (pipeMode & ~(PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE)) != 0 ||
        (pipeMode & PIPE_TYPE_MESSAGE) == 0 || maxInstances == 0 ||
        maxInstances > PIPE_UNLIMITED_INSTANCES) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    char path[PathCapacity];
    bool named = false;
    mode_t fileMode = 0600;
    if (!SocketPathFor(name, path, &named) || !SocketModeFor(security, &fileMode)) {
        return INVALID_HANDLE_VALUE;
    }
    auto *server = MapObject<PipeServer>();
    if (server == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    server->kind = HandleKind::PipeServer;
    server->close = CloseServer;
    server->canRead = (access & PIPE_ACCESS_INBOUND) != 0;
    server->canWrite = (access & PIPE_ACCESS_OUTBOUND) != 0;
    server->messageRead = (pipeMode & PIPE_READMODE_MESSAGE) != 0;
    server->fileMode = fileMode;
    std::memcpy(server->path, path, sizeof path);
    server->file = FileNameOf(server->path);
    server->directory.named = named;
    if (!OpenServerDirectory(server->path, &server->directory) || !ReserveStaging(server) ||
        !LockName(server) ||
        (server->slot = ClaimExitSlot(server->directory.fd, server->file, server->lockFile)) ==
            nullptr ||
        !OpenListener(server)) {
        DWORD error = GetLastError();
        DestroyServer(server);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return RegisterHandle(server);
}

BOOL ConnectNamedPipe(HANDLE pipe, LPOVERLAPPED overlapped) {
    PipeServer *server = LookUpServer(pipe);
    if (server == nullptr) {
        return FALSE;
    }
    if (overlapped != nullptr) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    if (server->connection >= 0) {
        return FailWith(ERROR_PIPE_CONNECTED);
    }
    if (server->listener < 0 && !OpenListener(server)) { // listening again after a disconnect
        return FALSE;
    }
    bool early = ClientWaiting(server->listener);
    int fd;
    do {
        fd = sys.accept4(server->listener, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && (errno == EINTR || errno == ECONNABORTED));
    if (fd < 0) {
        return FailWithErrno(errno);
    }
    // One client per instance: from now on others are refused and find the name busy.
    close(server->listener);
    server->listener = -1;
    SetLock(server->lockFile, ListeningByte, F_UNLCK);
    server->connection = fd;
    server->next = server->end = 0;
    if (!early) {
        return TRUE;
    }
    return FailWith(PeerGone(fd) ? ERROR_NO_DATA : ERROR_PIPE_CONNECTED);
}

BOOL DisconnectNamedPipe(HANDLE pipe) {
    PipeServer *server = LookUpServer(pipe);
    if (server == nullptr) {
        return FALSE;
    }
    if (server->connection >= 0) {
        close(server->connection);
        server->connection = -1;
    } else if (server->listener >= 0) {
        // A client that connected before ConnectNamedPipe is dropped; the instance listens on.
        if (ClientWaiting(server->listener)) {
            int fd = Retry(sys.accept4, server->listener, nullptr, nullptr,
                           SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    server->next = server->end = 0;
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read != nullptr) {
        *read = 0;
    }
    PipeEnd *end = LookUpPipe(file);
    if (end == nullptr) {
        return FALSE;
    }
    if (overlapped != nullptr || (buffer == nullptr && toRead > 0)) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    if (!end->canRead) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    auto handOut = [&] {
        std::size_t piece = std::min<std::size_t>(toRead, end->end - end->next);
        if (piece > 0) {
            std::memcpy(buffer, end->staging + end->next, piece);
        }
        end->next += piece;
        if (read != nullptr) {
            *read = static_cast<DWORD>(piece);
        }
        return end->next < end->end && end->messageRead ? FailWith(ERROR_MORE_DATA) : TRUE;
    };
    if (end->next < end->end) {
        return handOut();
    }
    if (end->connection < 0) {
        return FailNotConnected(end);
    }
    auto failRead = [](int error) {
        return error == ECONNRESET || error == ECONNREFUSED || error == EPIPE
                   ? FailWith(ERROR_BROKEN_PIPE)
                   : FailWithErrno(error);
    };
    // Wait for the next record without taking it: its length, and whether it is a record at
    // all. End of stream also reads as 0 bytes, but carries no credentials.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr header{};
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t length =
        Retry(sys.recvmsg, end->connection, &header, MSG_PEEK | MSG_TRUNC | MSG_CMSG_CLOEXEC);
    if (length < 0) {
        return failRead(errno);
    }
    if (length == 0 && CMSG_FIRSTHDR(&header) == nullptr) {
        return FailWith(ERROR_BROKEN_PIPE);
    }
    auto size = static_cast<std::size_t>(length);
    if (size <= toRead) {
        ssize_t got = Receive(end->connection, buffer, toRead);
        if (got < 0) {
            return failRead(errno);
        }
        if (read != nullptr) {
            *read = static_cast<DWORD>(got);
        }
        return TRUE;
    }
    if (size > end->stagingCapacity && !GrowStaging(end, size)) {
        return FALSE;
    }
    ssize_t got = Receive(end->connection, end->staging, end->stagingCapacity);
    if (got < 0) {
        return failRead(errno);
    }
    end->next = 0;
    end->end = static_cast<std::size_t>(got);
    return handOut();
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped) {
    if (written != nullptr) {
        *written = 0;
    }
    PipeEnd *end = LookUpPipe(file);
    if (end == nullptr) {
        return FALSE;
    }
    if (overlapped != nullptr || (buffer == nullptr && toWrite > 0)) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    if (!end->canWrite) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    if (end->connection < 0) {
        return FailNotConnected(end);
    }
    ssize_t sent = Send(end->connection, buffer, toWrite);
    if (sent < 0 && errno == EMSGSIZE) {
        // A message is one record, and a record must fit the send buffer: widen it (the
        // kernel doubles the value and caps it at net.core.wmem_max) and try once more.
        int wanted = static_cast<int>(std::min<std::size_t>(toWrite / 2 + 64, INT32_MAX));
        if (Retry(sys.setsockopt, end->connection, SOL_SOCKET, SO_SNDBUF, &wanted,
                  socklen_t{sizeof wanted}) == 0) {
            sent = Send(end->connection, buffer, toWrite);
        }
        if (sent < 0 && errno == EMSGSIZE) {
            return FailWith(ERROR_NO_SYSTEM_RESOURCES);
        }
    }
    if (sent < 0) {
        int error = errno;
        return error == EPIPE || error == ECONNRESET || error == ECONNREFUSED || error == ENOTCONN
                   ? FailWith(ERROR_NO_DATA)
                   : FailWithErrno(error);
    }
    if (written != nullptr) {
        *written = static_cast<DWORD>(sent);
    }
    return TRUE;
}

namespace {

// An edge-triggered watch for EPOLLOUT on a connection. The kernel reports to it whenever
// the peer takes (or discards) one of this end's records and whenever the peer hangs up, so
// a flush can sleep between its checks. -1 when no watch can be had.
int WatchConsumption(int connection) {
    int watch = Retry(sys.epoll_create1, EPOLL_CLOEXEC);
    if (watch < 0) {
        return -1;
    }
    epoll_event event{};
    event.events = EPOLLOUT | EPOLLET;
    event.data.fd = connection;
    if (Retry(sys.epoll_ctl, watch, EPOLL_CTL_ADD, connection, &event) != 0) {
        close(watch);
        return -1;
    }
    // The socket is writable as it is added, which is reported at once: taken here, so that
    // the next report means that something happened.
    Retry(sys.epoll_wait, watch, &event, 1, 0);
    return watch;
}

// Sleeps until the watch reports; without a watch, for FlushCheckNanoseconds.
void AwaitConsumption(int watch) {
    epoll_event event{};
    if (watch < 0 || Retry(sys.epoll_wait, watch, &event, 1, -1) < 0) {
        Pause(FlushCheckNanoseconds);
    }
}

} // namespace

// Returns once the other end has consumed everything written, checking again each time the
// peer takes a record or hangs up. A peer already gone has nothing more to consume: TRUE. A
// peer that goes while it still has unread data fails the flush with ERROR_BROKEN_PIPE; the
// kernel marks that case by resetting this end (ECONNRESET) as it discards the data.
BOOL FlushFileBuffers(HANDLE file) {
    PipeEnd *end = LookUpPipe(file);
    if (end == nullptr) {
        return FALSE;
    }
    if (end->connection < 0) {
        return FailNotConnected(end);
    }
    if (PeerGone(end->connection)) {
        return TRUE;
    }
    int watch = -1;
    BOOL result = TRUE;
    for (bool watching = false;;) {
        bool gone = PeerGone(end->connection);
        int unread = 0;
        if (Retry(sys.ioctl, end->connection, static_cast<unsigned long>(SIOCOUTQ), &unread) != 0) {
            result = FailWithErrno(errno);
            break;
        }
        if (gone) {
            int error = 0;
            socklen_t size = sizeof error;
            Retry(sys.getsockopt, end->connection, SOL_SOCKET, SO_ERROR, &error, &size);
            result = unread > 0 || error == ECONNRESET ? FailWith(ERROR_BROKEN_PIPE) : TRUE;
            break;
        }
        if (unread == 0) {
            break;
        }
        if (!watching) {
            // Set up only when there is something to wait for; checked again at once, since
            // the peer may have read before the watch existed.
            watch = WatchConsumption(end->connection);
            watching = true;
            continue;
        }
        AwaitConsumption(watch);
    }
    if (watch >= 0) {
        close(watch);
    }
    return result;
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creation, DWORD flags, HANDLE templateFile) {
    (void)shareMode;
    (void)security;
    (void)creation;
    (void)templateFile;
    char path[PathCapacity];
    Directory directory;
    if (!SocketPathFor(name, path, &directory.named)) {
        return INVALID_HANDLE_VALUE;
    }
    if ((flags & FileFlagOverlapped) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!OpenClientDirectory(path, &directory)) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE client = OpenClient(directory, path, access);
    close(directory.fd);
    return client;
}

BOOL WaitNamedPipeW(LPCWSTR name, DWORD timeoutMilliseconds) {
    char path[PathCapacity];
    Directory directory;
    if (!SocketPathFor(name, path, &directory.named)) {
        return FALSE;
    }
    if (timeoutMilliseconds == NMPWAIT_USE_DEFAULT_WAIT) {
        timeoutMilliseconds = DefaultWaitMilliseconds;
    }
    if (!OpenClientDirectory(path, &directory)) {
        return FALSE;
    }
    const char *file = FileNameOf(path);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (bool first = true;; first = false) {
        Lock alive = LockOf(directory.fd, file, AliveByte);
        bool exists = alive == Lock::Held;
        if (alive == Lock::Unreadable) {
            // Another user's name: whether its server listens cannot be seen. With a socket
            // under the name, the caller's next CreateFileW tells; it comes after one
            // check's pause, so that a caller that waits again on busy does not spin.
            Entry entry = Inspect(directory.fd, file);
            exists = entry == Entry::OwnSocket || entry == Entry::ForeignSocket;
            if (exists) {
                Pause(WaitCheckNanoseconds);
                close(directory.fd);
                return TRUE;
            }
        }
        if (exists && LockHeldFor(directory.fd, file, ListeningByte)) {
            close(directory.fd);
            return TRUE;
        }
        if (!exists && first) {
            close(directory.fd);
            return FailWith(ERROR_FILE_NOT_FOUND);
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long elapsed =
            (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (timeoutMilliseconds != NMPWAIT_WAIT_FOREVER && elapsed >= timeoutMilliseconds) {
            close(directory.fd);
            return FailWith(ERROR_SEM_TIMEOUT);
        }
        Pause(WaitCheckNanoseconds);
    }
}

BOOL SetNamedPipeHandleState(HANDLE pipe, LPDWORD mode, LPDWORD maxCollection,
                             LPDWORD collectTimeout) {
    PipeEnd *end = LookUpPipe(pipe);
    if (end == nullptr) {
        return FALSE;
    }
    // Collection settings only concern pipes to another computer.
    if (maxCollection != nullptr || collectTimeout != nullptr) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    if (mode == nullptr) {
        return TRUE;
    }
    if ((*mode & ~PIPE_READMODE_MESSAGE) != 0) {
        return FailWith((*mode & PIPE_NOWAIT) != 0 ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
    }
    // Every pipe of the layer is of message type, so either end may read in either mode.
    end->messageRead = (*mode & PIPE_READMODE_MESSAGE) != 0;
    return TRUE;
}

DWORD PipeSocketPath(const WCHAR *name, WCHAR *path, DWORD capacity) {
    char socketPath[PathCapacity];
    DWORD error = GetLastError();
    bool named = false;
    bool valid = SocketPathFor(name, socketPath, &named);
    SetLastError(error);
    std::u16string wide = valid ? Utf8ToUtf16(socketPath) : std::u16string();
    if (wide.empty() || wide.size() >= capacity) {
        return 0;
    }
    std::copy(wide.begin(), wide.end(), path);
    path[wide.size()] = 0;
    return static_cast<DWORD>(wide.size());
}
