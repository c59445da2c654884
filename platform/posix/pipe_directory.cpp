// The pipe directory: where the socket file of each pipe name lives, how a name is kept to one
// live server, and which files and servers of other users are trusted.
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
// later clients are refused and, finding byte 0 held, report ERROR_PIPE_BUSY (pipes.cpp).
//
// The pipe directory may be shared with other local users, any of whom may have got there
// first, so nothing in it is taken on trust:
//   - The way to the directory is walked from / one component at a time, links read and
//     followed by the walk itself, and every directory on it must belong to root, to this
//     process's user or to the pipe directory's owner, and be one that no other user can
//     change: not writable by group or others, or sticky with what the walk takes from it
//     belonging to root or this process's user (or, for the pipe directory itself, to its
//     owner). Otherwise the pipe operations fail with ERROR_ACCESS_DENIED, and
//     PipeFailureCause names the directory at fault, as it names the cause of each refusal
//     below. The directory itself is then used through the descriptor the walk ended
//     with, never a symbolic link in its place.
//   - The default directory is the entry ".pipe" that the walk took from the directory
//     it reached as /tmp (the root's entry "tmp", followed if a link), or from the very
//     directory that /tmp is, however the path is spelled; never a link. It is used only
//     if it is root's and, if others may write to it, has the sticky bit, as
//     /tmp/.X11-unix is: anyone could have made it otherwise. Only root's server makes it
//     when it is missing (01777); anyone else's fails with ERROR_PATH_NOT_FOUND, and a
//     default directory that is not fit to share fails servers and clients alike with
//     ERROR_ACCESS_DENIED. A named directory serves a server if it is root's or the
//     server's user's and, if others may write to it, sticky; a missing one is made 0755,
//     so that only its owner makes names in it and every user's client can reach them.
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
//     impostor. Anything else fails with ERROR_ACCESS_DENIED, a socket of another type
//     (stream, datagram) under the name too.
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
//     judged by SO_PEERCRED on the connection itself.
//   - The server binds under the name in the directory it holds (through /proc/self/fd) and
//     puts the socket's mode back on the file opened without following a link and found to
//     be its own socket.
//   - The lock file is opened with O_NOFOLLOW and judged on its own status. Whether it is
//     still the file under its name (LockFileIsTheName), and whether the name holds this
//     user's socket before a stale one is replaced or removed (BindName, RemoveOwnSocket,
//     RemoveOwnLock), are second looks; but in a pipe directory a server may use (root's or
//     this user's, sticky if others may write to it) nobody but this user and root can
//     rename or remove a file of this user's, so the answer holds until this process acts.
//   - What a lock file or a socket says to a client (ServerStateOf, a refused connection
//     told busy from absent) only chooses a code and whether to wait; the causes written for
//     messages look again and decide nothing.
//
// The process may end while a server is open: at exit, and on SIGHUP, SIGINT, SIGQUIT and
// SIGTERM, the files of its live servers are removed while their names are still locked;
// a signal then takes its default action, so that the process ends as it would have
// without the handler. The steps that make and remove a server's files are taken in the
// order written out in pipe_exit.cpp, which calls the functions here; nothing here calls
// back.
#include "platform/posix/pipe_directory.h"

#include "platform/platform.h"
#include "platform/posix/layer.h"
#include "platform/posix/syscalls.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr off_t AliveByte = 0;
constexpr off_t ListeningByte = 1;
constexpr mode_t WritableByOthers = S_IWGRP | S_IWOTH;

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

// The pipe directory as given, without trailing slashes: PIPEWORD_PIPE_DIR, else the
// default. Whether it is the default is told by what it is once open, not by its spelling
// (OpenServerDirectory, OpenClientDirectory).
std::string_view PipeDirectory() {
    const char *configured = std::getenv("PIPEWORD_PIPE_DIR");
    std::string_view directory =
        configured != nullptr && configured[0] != 0 ? configured : DefaultDirectory;
    while (directory.size() > 1 && directory.back() == '/') {
        directory.remove_suffix(1);
    }
    return directory;
}

} // namespace

// The codes for malformed names are the ones Windows gives.
bool SocketPathFor(LPCWSTR name, char (&path)[PathCapacity]) {
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
    std::string_view directory = PipeDirectory();
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

const char *FileNameOf(const char *socketPath) {
    return std::strrchr(socketPath, '/') + 1;
}

namespace {

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

// ---- Why a call failed ----------------------------------------------------------------------

// What the last pipe call of this thread found at fault, in words, and the code it failed
// with, for PipeFailureCause. Each call starts afresh in OpenPipeDirectory.
struct Cause {
    DWORD code = ERROR_SUCCESS;
    char text[PipeCauseCapacity] = {}; // in UTF-16 no more code units than bytes
};
thread_local Cause cause;

void ForgetCause() {
    cause.code = ERROR_SUCCESS;
    cause.text[0] = 0;
}

// Records why the call fails with 'code'; the last-error code is the caller's to set.
[[gnu::format(printf, 2, 3)]] void NoteCause(DWORD code, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(cause.text, sizeof cause.text, format, arguments);
    va_end(arguments);
    cause.code = code;
}

// What a file is, for a cause: "/tmp/.pipe/X is a symbolic link, not a pipe".
const char *KindOf(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFLNK:
        return "a symbolic link";
    case S_IFREG:
        return "a file";
    case S_IFDIR:
        return "a directory";
    case S_IFSOCK:
        return "a socket";
    case S_IFIFO:
        return "a FIFO";
    default:
        return "a device";
    }
}

// ---- The pipe directory --------------------------------------------------------------------

bool StatusOf(int fd, struct stat *status) {
    return Retry(sys.fstatat, fd, "", status, AT_EMPTY_PATH) == 0;
}

bool SameFile(const struct stat &one, const struct stat &other) {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
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
        NoteCause(ERROR_NOT_SUPPORTED, "the pipe operations need /proc mounted: they reach the "
                                       "files they checked through /proc/self/fd");
        return FailWith(ERROR_NOT_SUPPORTED);
    }
    std::memcpy(address->sun_path, proc, size + 1);
    if (file != nullptr) {
        address->sun_path[size] = '/';
        std::memcpy(address->sun_path + size + 1, file, fileSize + 1);
    }
    return true;
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
    sys.close(readable);
    errno = error;
    return changed;
}

// The directory 'name' in the open directory 'parent', itself, never a symbolic link in its
// place.
int OpenDirectoryIn(int parent, const char *name) {
    return Retry(sys.openat, parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC,
                 mode_t{0});
}

// Makes the missing pipe directory 'name' in 'parent' and opens it: mode 0700 at first,
// which the umask can only narrow, so it is never more open than meant; then 'mode'. One
// that another process made first (EEXIST) is opened as it is, for the caller's checks like
// any other. -1 with errno on failure: ENOENT when it has gone again at once.
int MakeDirectory(int parent, const char *name, mode_t mode) {
    bool made = Retry(sys.mkdirat, parent, name, mode_t{0700}) == 0;
    if (!made && errno != EEXIST) {
        return -1;
    }
    int fd = OpenDirectoryIn(parent, name);
    struct stat status {};
    if (fd < 0 || !made) {
        return fd;
    }
    // Only the directory just made is opened up; one put in its place in the meantime is
    // left as it is, for the caller's checks.
    if (!StatusOf(fd, &status) ||
        (S_ISDIR(status.st_mode) && status.st_uid == geteuid() && !ChangeDirectoryMode(fd, mode))) {
        int error = errno;
        sys.close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Whether a directory that others may write to keeps them from removing or replacing
// each other's files: the sticky bit.
bool StickyIfShared(const struct stat &status) {
    return (status.st_mode & WritableByOthers) == 0 || (status.st_mode & S_ISVTX) != 0;
}

// ---- The way to the pipe directory ---------------------------------------------------------
//
// Whoever can change a directory on the way to the pipe directory can put another directory
// in its place, and with it the server's files or an impostor's socket. So the way is walked
// from / one component at a time, each opened (O_PATH, without following a link) relative
// to the one before, symbolic links read and followed by the walk itself; the pipe
// directory is then used through the descriptor the walk ends with, so that a rename after
// the checks cannot swap it. Every directory passed on the way must belong to root, to this
// process's user or to the pipe directory's owner, and no other user may change it: it is
// not writable by group or others, or it is sticky and what the walk takes from it (the next
// directory, or a link) belongs to one of those users. Until the pipe directory's owner is
// known, a step whose user is neither root nor this process's is only doubtful: the walk
// keeps the first such step, and the first of yet another user, and settles them at the end.

constexpr std::size_t WayCapacity = PATH_MAX;
// How often a server makes a missing pipe directory that keeps going again at once.
constexpr int MakeAttempts = 3;
constexpr int DeepestWay = 64;
constexpr int MostLinks = 40;

// The texts one after another in 'out', cut short (only messages are made so) should they
// not fit.
void JoinText(char *out, std::size_t capacity, const char *first, const char *second = "",
              const char *third = "") {
    std::size_t at = 0;
    for (const char *text : {first, second, third}) {
        for (; *text != 0 && at + 1 < capacity; ++text) {
            out[at++] = *text;
        }
    }
    out[at] = 0;
}

struct Doubt {
    uid_t user = 0;
    char path[WayCapacity] = {};
};

constexpr int NoLevel = -1;
constexpr std::size_t NotFollowing = static_cast<std::size_t>(-1);

struct Way {
    int open[DeepestWay] = {};         // the directories from / to the current one
    std::size_t ends[DeepestWay] = {}; // where each one's path ends in 'path'
    struct stat statuses[DeepestWay] = {};
    int depth = 0;
    char path[WayCapacity] = {};
    Doubt doubts[2];
    int doubtCount = 0;
    bool refused = false; // a directory that others may change whatever its owner
    // What the walk itself reached as /tmp, the entry "tmp" of the root (followed, if a
    // link, to where it leads), and as /tmp/.pipe: the levels in 'open', or NoLevel.
    int tmpLevel = NoLevel;
    int defaultLevel = NoLevel;
    // While the walk follows a link taken as "tmp" from the root: how much of the path is
    // left after the link's target, which no later link changes. /tmp is reached once no
    // more than that is left.
    std::size_t tmpRest = NotFollowing;
};

bool TrustedOwner(uid_t user) {
    return user == 0 || user == geteuid();
}

// The path of the current directory, "/" for the root.
const char *CurrentPath(const Way &way) {
    return way.depth == 1 ? "/" : way.path;
}

void Doubtful(Way *way, uid_t user, const char *path) {
    for (int i = 0; i < way->doubtCount; ++i) {
        if (way->doubts[i].user == user) {
            return;
        }
    }
    if (way->doubtCount < 2) {
        Doubt &doubt = way->doubts[way->doubtCount++];
        doubt.user = user;
        JoinText(doubt.path, sizeof doubt.path, path);
    }
}

// The walk takes 'next' (a directory or a link, named 'nextPath') from the current
// directory; 'last' when it is the pipe directory itself (null: missing, to be made by this
// process).
void CheckStep(Way *way, const struct stat *next, const char *nextPath, bool last) {
    const struct stat &here = way->statuses[way->depth - 1];
    if (!TrustedOwner(here.st_uid)) {
        Doubtful(way, here.st_uid, CurrentPath(*way));
    }
    if ((here.st_mode & WritableByOthers) == 0 || way->refused || next == nullptr ||
        ((here.st_mode & S_ISVTX) != 0 && TrustedOwner(next->st_uid))) {
        return;
    }
    if ((here.st_mode & S_ISVTX) != 0 && last) {
        Doubtful(way, next->st_uid, nextPath);
        return;
    }
    // Others may write here: without the sticky bit, replace anything in it; with it, put
    // their own directory or link on the way first, as anyone can in /tmp. Only the pipe
    // directory itself may be another user's there: its owner is trusted as the one the
    // name's chooser chose.
    way->refused = true;
    if ((here.st_mode & S_ISVTX) == 0) {
        NoteCause(ERROR_ACCESS_DENIED,
                  "the way to the pipe directory runs through %s, which others may write to",
                  CurrentPath(*way));
    } else {
        NoteCause(ERROR_ACCESS_DENIED,
                  "the way to the pipe directory runs through %s, which uid %u can change",
                  nextPath, static_cast<unsigned>(next->st_uid));
    }
}

// Whether the walk, taking the entry 'name' from the current directory, takes /tmp (from
// the root) or /tmp/.pipe (from what it reached as /tmp).
bool TakesTmp(const Way &way, const char *name) {
    return way.depth == 1 && std::strcmp(name, "tmp") == 0;
}
bool TakesDefault(const Way &way, const char *name) {
    return way.depth - 1 == way.tmpLevel && std::strcmp(name, ".pipe") == 0;
}

bool PushDirectory(Way *way, int fd, const char *name) {
    std::size_t at = way->depth == 1 ? 0 : way->ends[way->depth - 1];
    std::size_t size = std::strlen(name);
    if (way->depth == DeepestWay || at + 1 + size >= WayCapacity) {
        sys.close(fd);
        return FailWith(ERROR_FILENAME_EXCED_RANGE);
    }
    if (!StatusOf(fd, &way->statuses[way->depth])) {
        int error = errno;
        sys.close(fd);
        return FailWithErrno(error);
    }
    if (TakesTmp(*way, name)) {
        way->tmpLevel = way->depth;
    } else if (TakesDefault(*way, name)) {
        way->defaultLevel = way->depth;
    }
    way->path[at] = '/';
    std::memcpy(way->path + at + 1, name, size + 1);
    way->open[way->depth] = fd;
    way->ends[way->depth] = at + 1 + size;
    ++way->depth;
    return true;
}

void PopDirectory(Way *way) {
    if (way->depth > 1) {
        sys.close(way->open[--way->depth]);
        way->path[way->depth == 1 ? 0 : way->ends[way->depth - 1]] = 0;
        if (way->tmpLevel >= way->depth) {
            way->tmpLevel = NoLevel;
        }
        if (way->defaultLevel >= way->depth) {
            way->defaultLevel = NoLevel;
        }
    }
}

void CloseWay(Way *way) {
    while (way->depth > 0) {
        sys.close(way->open[--way->depth]);
    }
}

// 'given', a relative path, after the working directory's path, in 'path'. A working
// directory that has gone (removed, or outside this process's root) leaves the path nothing
// to be taken against: 'missing', as for any directory on the way that is not there.
bool WorkingDirectory(const char *given, char (&path)[WayCapacity], DWORD missing) {
    if (getcwd(path, sizeof path) == nullptr) {
        int error = errno;
        if (error == ENOENT) {
            NoteCause(missing,
                      "the working directory, against which the relative pipe directory %s is "
                      "taken, no longer exists",
                      given);
            return FailWith(missing);
        }
        if (NotPermitted(error)) {
            NoteCause(ERROR_ACCESS_DENIED,
                      "this user may not read the path of the working directory, against "
                      "which the relative pipe directory %s is taken",
                      given);
        }
        return FailWith(error == ERANGE ? ERROR_FILENAME_EXCED_RANGE : Win32ErrorFromErrno(error));
    }
    if (std::strlen(path) + 1 + std::strlen(given) >= sizeof path) {
        return FailWith(ERROR_FILENAME_EXCED_RANGE);
    }
    std::strcat(path, "/");
    std::strcat(path, given);
    return true;
}

// Walks 'given' up to its last component, which is left in 'last' for the caller to open
// without following a link ("" when the path ends in "/", "." or "..": the current
// directory is the pipe directory then). A missing directory or a file on the way fails
// with 'missing', as the system's own lookup would; the way stays open for CloseWay.
bool WalkTo(const char *given, Way *way, char (&last)[WayCapacity], DWORD missing) {
    // What is left to walk, a link's target put before the rest.
    char rest[WayCapacity];
    if (given[0] == '/') {
        std::strncpy(rest, given, sizeof rest - 1);
        rest[sizeof rest - 1] = 0;
    } else if (!WorkingDirectory(given, rest, missing)) {
        return false;
    }
    int root = Retry(sys.openat, AT_FDCWD, "/", O_PATH | O_DIRECTORY | O_CLOEXEC, mode_t{0});
    if (root < 0) {
        return FailWithErrno(errno);
    }
    way->open[0] = root;
    way->depth = 1;
    if (!StatusOf(root, &way->statuses[0])) {
        return FailWithErrno(errno);
    }
    last[0] = 0;
    int links = 0;
    std::size_t at = 0;
    for (;;) {
        while (rest[at] == '/') {
            ++at;
        }
        if (way->tmpRest != NotFollowing && std::strlen(rest + at) <= way->tmpRest) {
            way->tmpLevel = way->depth - 1;
            way->tmpRest = NotFollowing;
        }
        if (rest[at] == 0) {
            return true;
        }
        std::size_t end = at;
        while (rest[end] != 0 && rest[end] != '/') {
            ++end;
        }
        char name[NAME_MAX + 1];
        if (end - at > NAME_MAX) {
            return FailWith(ERROR_FILENAME_EXCED_RANGE);
        }
        std::memcpy(name, rest + at, end - at);
        name[end - at] = 0;
        std::size_t after = end;
        while (rest[after] == '/') {
            ++after;
        }
        bool final = rest[after] == 0;
        at = after;
        if (std::strcmp(name, ".") == 0) {
            continue;
        }
        if (std::strcmp(name, "..") == 0) {
            PopDirectory(way);
            continue;
        }
        if (final) {
            std::memcpy(last, name, std::strlen(name) + 1);
            return true;
        }
        int here = way->open[way->depth - 1];
        int fd = Retry(sys.openat, here, name, O_PATH | O_NOFOLLOW | O_CLOEXEC, mode_t{0});
        if (fd < 0) {
            int error = errno;
            if (NotPermitted(error)) {
                NoteCause(ERROR_ACCESS_DENIED, "this user may not look into %s", CurrentPath(*way));
            }
            return FailWith(error == ENOENT || error == ENOTDIR ? missing
                                                                : Win32ErrorFromErrno(error));
        }
        struct stat next {};
        if (!StatusOf(fd, &next)) {
            int error = errno;
            sys.close(fd);
            return FailWithErrno(error);
        }
        char nextPath[WayCapacity];
        JoinText(nextPath, sizeof nextPath, way->path, "/", name);
        CheckStep(way, &next, nextPath, false);
        if (S_ISDIR(next.st_mode)) {
            if (!PushDirectory(way, fd, name)) {
                return false;
            }
            continue;
        }
        if (!S_ISLNK(next.st_mode)) {
            sys.close(fd);
            return FailWith(missing); // a file where a directory belongs, as ENOTDIR
        }
        // A link: its target, read from the very link checked, takes its place. The
        // default directory is a real directory, never a link to another.
        if (TakesDefault(*way, name)) {
            sys.close(fd);
            NoteCause(ERROR_ACCESS_DENIED, "the default pipe directory %s is a symbolic link",
                      DefaultDirectory.data());
            return FailWith(ERROR_ACCESS_DENIED);
        }
        char target[WayCapacity];
        ssize_t size = Retry(sys.readlinkat, fd, "", target, sizeof target);
        int error = errno;
        sys.close(fd);
        if (size < 0) {
            return FailWithErrno(error);
        }
        std::size_t restSize = std::strlen(rest + at);
        if (++links > MostLinks || static_cast<std::size_t>(size) + 1 + restSize >= sizeof rest) {
            return FailWith(ERROR_FILENAME_EXCED_RANGE);
        }
        if (TakesTmp(*way, name)) {
            way->tmpRest = restSize;
        }
        std::memmove(rest + size + 1, rest + at, restSize + 1);
        std::memcpy(rest, target, static_cast<std::size_t>(size));
        rest[size] = '/';
        at = 0;
        if (target[0] == '/') {
            while (way->depth > 1) {
                PopDirectory(way);
            }
        }
    }
}

// Settles the walk once the pipe directory's owner is known: false, with the cause noted,
// when another user could change the way to it.
bool WayTrusted(Way *way, uid_t owner) {
    if (way->refused) {
        return false;
    }
    for (int i = 0; i < way->doubtCount; ++i) {
        if (way->doubts[i].user != owner) {
            NoteCause(ERROR_ACCESS_DENIED,
                      "the way to the pipe directory runs through %s, which uid %u can change",
                      way->doubts[i].path, static_cast<unsigned>(way->doubts[i].user));
            return false;
        }
    }
    return true;
}

// Whether the pipe directory is the default one, /tmp/.pipe: the entry ".pipe" that the
// walk took from the directory it reached as /tmp (the level 'parent' of the way), decided
// on what the walk holds, never on a second look-up of the path, which another user could
// answer differently by then. The default's rules are the stricter ones (a client trusts
// no owner of the default directory), so where the walk did not pass /tmp but the
// directory is a ".pipe" in the very directory /tmp is (a bind mount, say), they apply as
// well: looking /tmp up here can only add to what the walk decided, never take away, and
// only root can change what /tmp is.
bool IsDefault(const Way &way, int parent, const char *name) {
    if (std::strcmp(name, ".pipe") != 0) {
        return false;
    }
    struct stat tmp {};
    return parent == way.tmpLevel || (Retry(sys.fstatat, AT_FDCWD, "/tmp", &tmp, 0) == 0 &&
                                      SameFile(tmp, way.statuses[parent]));
}

// The pipe directory when the path ended at a directory already walked ("/tmp/.pipe/."):
// that one, taken from the way; whether it is the default directory, as the walk reached it.
int TakeLastFromWay(Way *way, char (&path)[WayCapacity], bool *isDefault) {
    JoinText(path, sizeof path, way->path);
    int level = way->depth - 1;
    int parentEnd = level == 1 ? 0 : static_cast<int>(way->ends[level - 1]);
    *isDefault =
        level == way->defaultLevel || IsDefault(*way, level - 1, way->path + parentEnd + 1);
    int fd = way->open[level];
    way->depth = level;
    way->path[parentEnd] = 0;
    return fd;
}

// Opens the pipe directory 'last' in the current directory of the way, without following a
// link; a server makes a missing named one (0755), and root's server the missing default
// one (01777), if the way to it is one it may trust as its owner. -1 on failure, with the
// last-error code and the cause set.
int OpenLast(Way *way, const char *last, const char *path, bool server, bool isDefault) {
    DWORD missing = server ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    int parent = way->open[way->depth - 1];
    int fd = OpenDirectoryIn(parent, last);
    bool mayMake = server && (!isDefault || geteuid() == 0);
    if (fd < 0 && errno == ENOENT && mayMake) {
        // Nothing is made on a way that is not trusted, as if this user were to own it.
        CheckStep(way, nullptr, nullptr, true);
        if (!WayTrusted(way, geteuid())) {
            FailWith(ERROR_ACCESS_DENIED);
            return -1;
        }
        for (int attempt = 0; fd < 0 && errno == ENOENT && attempt < MakeAttempts; ++attempt) {
            fd = MakeDirectory(parent, last, isDefault ? 01777 : 0755);
        }
        if (fd < 0 && NotPermitted(errno)) {
            NoteCause(ERROR_ACCESS_DENIED, "this user may not make %s", path);
        }
    }
    if (fd >= 0) {
        return fd;
    }
    // A link or a file in the directory's place is someone else's doing.
    int error = errno;
    struct stat entry {};
    bool occupied =
        NotADirectory(error) && Retry(sys.fstatat, parent, last, &entry, AT_SYMLINK_NOFOLLOW) == 0;
    if (occupied) {
        NoteCause(ERROR_ACCESS_DENIED, "%s is %s, not a directory", path, KindOf(entry.st_mode));
    } else if (NotPermitted(error) && cause.code == ERROR_SUCCESS) {
        NoteCause(ERROR_ACCESS_DENIED, "this user may not look into %s", CurrentPath(*way));
    } else if (error == ENOENT && isDefault) {
        NoteCause(missing,
                  "the default pipe directory %s does not exist: only root's server or the "
                  "Debian package's tmpfiles.d entry makes it; PIPEWORD_PIPE_DIR names another",
                  DefaultDirectory.data());
    }
    FailWith(Win32ErrorFromOpenDirectory(error, occupied, missing));
    return -1;
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
    int fd = -1;
    if (WalkTo(given, &way, last, server ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND)) {
        if (last[0] != 0) {
            JoinText(path, sizeof path, way.path, "/", last);
            isDefault = IsDefault(way, way.depth - 1, last);
            fd = OpenLast(&way, last, path, server, isDefault);
        } else if (way.depth > 1) {
            fd = TakeLastFromWay(&way, path, &isDefault);
        } else {
            NoteCause(ERROR_ACCESS_DENIED, "/ is nobody's pipe directory");
            FailWith(ERROR_ACCESS_DENIED);
        }
    }
    struct stat &status = directory->status;
    if (fd >= 0 && !StatusOf(fd, &status)) {
        int error = errno;
        sys.close(fd);
        fd = -1;
        FailWithErrno(error);
    }
    if (fd < 0) {
        CloseWay(&way);
        return false;
    }
    CheckStep(&way, &status, path, true);
    bool trusted = WayTrusted(&way, status.st_uid);
    CloseWay(&way);
    if (!trusted) {
        sys.close(fd);
        return FailWith(ERROR_ACCESS_DENIED);
    }
    directory->fd = fd;
    directory->named = !isDefault;
    return true;
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
        NoteCause(ERROR_ACCESS_DENIED, "%s %s is uid %u's, not root's%s", which, path, owner,
                  named ? " or this user's" : "");
    } else if (!StickyIfShared(status)) {
        NoteCause(ERROR_ACCESS_DENIED, "others may write to %s %s, which is not sticky", which,
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

namespace {

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
        return NotPermitted(errno) ? Lock::Unreadable : Lock::Free;
    }
    struct stat lock {};
    bool held = StatusOf(fd, &lock) && S_ISREG(lock.st_mode) && LockHeld(fd, byte);
    sys.close(fd);
    return held ? Lock::Held : Lock::Free;
}

bool LockHeldFor(int directory, const char *file, off_t byte) {
    return LockOf(directory, file, byte) == Lock::Held;
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

} // namespace

// ---- Removing a server's files ------------------------------------------------------------

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

// ---- The server's name ---------------------------------------------------------------------

namespace {

// Whether a server may go on with the name given what is under it: nothing, or a socket
// file of its own user's. Another user's socket, live or stale, is never removed: the name
// is busy, as for a live server. Anything else (a link, a file) is not a pipe at all.
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
            NoteCause(ERROR_ACCESS_DENIED, "%s is %s, not a pipe", name.path,
                      KindOf(other.st_mode));
        }
        return FailWith(ERROR_ACCESS_DENIED);
    }
    case Entry::Unknown:
        break;
    }
    return false; // the last-error code is already set
}

// Why the lock file of a name is not this server's to use: it cannot be made, or what is
// under its name is not a lock file of this user's.
void NoteLockFileCause(const ServerName &name, const char *lockName) {
    struct stat lock {};
    if (Retry(sys.fstatat, name.directory.fd, lockName, &lock, AT_SYMLINK_NOFOLLOW) != 0) {
        char directory[PathCapacity];
        DirectoryOf(name.path, directory);
        NoteCause(ERROR_ACCESS_DENIED, "this user may not make files in the pipe directory %s",
                  directory);
    } else if (!S_ISREG(lock.st_mode)) {
        NoteCause(ERROR_ACCESS_DENIED, "%s.lock is %s, not a lock file", name.path,
                  KindOf(lock.st_mode));
    } else if (lock.st_uid != geteuid()) {
        NoteCause(ERROR_ACCESS_DENIED, "the lock file %s.lock is uid %u's: the name is theirs",
                  name.path, static_cast<unsigned>(lock.st_uid));
    } else if (lock.st_nlink > 1) {
        NoteCause(ERROR_ACCESS_DENIED, "the lock file %s.lock has another name as well", name.path);
    } else {
        NoteCause(ERROR_ACCESS_DENIED, "this user may not open the lock file %s.lock", name.path);
    }
}

} // namespace

// Looks first and makes nothing under a name that is not this server's to use.
bool LockName(ServerName *name) {
    int directory = name->directory.fd;
    if (!NameUsable(Inspect(directory, name->file), *name)) {
        return false;
    }
    char lockName[LockNameCapacity];
    LockNameFor(name->file, lockName);
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
            bool alive = NotPermitted(error) && LockHeldFor(directory, name->file, AliveByte);
            DWORD code = Win32ErrorFromOpenLock(error, alive);
            if (code == ERROR_ACCESS_DENIED) {
                NoteLockFileCause(*name, lockName);
            }
            return FailWith(code);
        }
        name->lockFile = fd;
        struct stat lock {};
        if (!StatusOf(fd, &lock)) {
            return FailWithErrno(errno);
        }
        // Only a regular file of this user's, under this one name, is trusted with the
        // locks.
        if (!S_ISREG(lock.st_mode) || lock.st_uid != geteuid() || lock.st_nlink > 1) {
            if (S_ISREG(lock.st_mode) && LockHeld(fd, AliveByte)) {
                return FailWith(ERROR_PIPE_BUSY);
            }
            NoteLockFileCause(*name, lockName);
            return FailWith(ERROR_ACCESS_DENIED);
        }
        // One left more open, by an earlier version, is narrowed before it is relied on:
        // from then on nobody else can open it.
        if ((lock.st_mode & 07777) != 0600 && Retry(sys.fchmod, fd, mode_t{0600}) != 0) {
            return FailWithErrno(errno);
        }
        if (!SetLock(fd, AliveByte, F_WRLCK)) {
            return FailWith(Win32ErrorFromLock(errno));
        }
        if (LockFileIsTheName(directory, lockName, fd)) {
            name->locked = true;
            return true;
        }
        sys.close(fd);
        name->lockFile = -1;
    }
    return FailWith(ERROR_PIPE_BUSY);
}

namespace {

// Puts the socket file's mode back where the umask narrowed what bind made: on the file
// itself, opened without following a link and found to be this user's socket, through
// /proc/self/fd (an O_PATH descriptor has no fchmod), never by its name again.
void RestoreSocketMode(const ServerName &name) {
    int made =
        Retry(sys.openat, name.directory.fd, name.file, O_PATH | O_NOFOLLOW | O_CLOEXEC, mode_t{0});
    if (made < 0) {
        return;
    }
    struct stat status {};
    char proc[PathCapacity];
    ProcPathOf(made, proc);
    if (StatusOf(made, &status) && S_ISSOCK(status.st_mode) && status.st_uid == geteuid() &&
        (status.st_mode & 07777) != name.fileMode) {
        Retry(sys.fchmodat, AT_FDCWD, proc, name.fileMode, 0);
    }
    sys.close(made);
}

} // namespace

// Binds and listens on the server's name. bind never follows a link and never replaces a
// file. The mode is set on the socket before bind, so the file is never more open than the
// descriptor says, and put back after bind if the umask narrowed it. A socket file of this
// user's already there is stale (this server holds the name's lock) and is replaced;
// anything else refuses the name.
int BindName(const ServerName *name) {
    int directory = name->directory.fd;
    int fd = Retry(sys.socket, AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        FailWithErrno(errno);
        return -1;
    }
    // Every failure closes the socket; its argument has set the last-error code.
    auto fail = [&](BOOL) {
        sys.close(fd);
        return -1;
    };
    sockaddr_un address{};
    if (!ProcAddressOf(directory, name->directory.status, name->file, &address)) {
        return fail(FALSE);
    }
    auto bindName = [&] {
        return Retry(sys.bind, fd, reinterpret_cast<const sockaddr *>(&address),
                     socklen_t{sizeof address});
    };
    // Accepted sockets inherit SO_PASSCRED: every record, even an empty one, then carries
    // credentials, which tells a zero-byte message from the end of the connection.
    int on = 1;
    if (Retry(sys.setsockopt, fd, SOL_SOCKET, SO_PASSCRED, &on, socklen_t{sizeof on}) != 0 ||
        Retry(sys.fchmod, fd, name->fileMode) != 0) {
        return fail(FailWithErrno(errno));
    }
    if (bindName() != 0) {
        if (errno != EADDRINUSE) {
            return fail(FailWithErrno(errno));
        }
        Entry entry = Inspect(directory, name->file);
        if (entry != Entry::OwnSocket) {
            // Gone again at once: another server came and went; the name is busy all the same.
            return fail(NameUsable(entry, *name) ? FailWith(ERROR_PIPE_BUSY) : FALSE);
        }
        if ((Retry(sys.unlinkat, directory, name->file, 0) != 0 && errno != ENOENT) ||
            bindName() != 0) {
            return fail(FailWithErrno(errno));
        }
    }
    RestoreSocketMode(*name);
    // Backlog 0 still admits one client before ConnectNamedPipe; further ones find the
    // instance busy.
    if (Retry(sys.listen, fd, 0) != 0 || !SetLock(name->lockFile, ListeningByte, F_WRLCK)) {
        return fail(FailWithErrno(errno));
    }
    return fd;
}

void EndListening(const ServerName *name) {
    SetLock(name->lockFile, ListeningByte, F_UNLCK);
}

// ---- The client's side ---------------------------------------------------------------------

int ConnectToName(const Directory &directory, const char *path) {
    const char *file = FileNameOf(path);
    // The very file to connect to, and what it is: the name is opened without following a
    // link, and from here on only this file is used, whatever the name holds by then.
    int target = -1;
    int fd = -1;
    auto fail = [&](DWORD code) {
        if (fd >= 0) {
            sys.close(fd);
        }
        if (target >= 0) {
            sys.close(target);
        }
        SetLastError(code);
        return -1;
    };
    // No listener under the name: a live server serving a client, or between two clients
    // (replacing its socket file), or a stale file. Only the name's lock tells them apart;
    // to a client of another user, who cannot read it, there is no server listening, as for
    // no pipe at all.
    auto failToReach = [&](int error) {
        return fail(Win32ErrorFromConnect(error, NoListener(error) &&
                                                     LockHeldFor(directory.fd, file, AliveByte)));
    };
    target = Retry(sys.openat, directory.fd, file, O_PATH | O_NOFOLLOW | O_CLOEXEC, mode_t{0});
    if (target < 0) {
        int error = errno;
        if (NotPermitted(error)) {
            char folder[PathCapacity];
            DirectoryOf(path, folder);
            NoteCause(ERROR_ACCESS_DENIED, "this user may not look into the pipe directory %s",
                      folder);
        }
        return failToReach(error);
    }
    // Non-blocking, so that a full backlog (a client already waiting for this instance)
    // reads as busy at once instead of queueing behind it.
    fd = Retry(sys.socket, AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
    if (!S_ISSOCK(socketFile.st_mode)) {
        NoteCause(ERROR_ACCESS_DENIED, "%s is %s, not a pipe", path, KindOf(socketFile.st_mode));
        return fail(ERROR_ACCESS_DENIED);
    }
    if (socketFile.st_nlink != 1) {
        NoteCause(ERROR_ACCESS_DENIED, "%s is a socket with another name as well, not a pipe",
                  path);
        return fail(ERROR_ACCESS_DENIED);
    }
    sockaddr_un address{};
    if (!ProcAddressOf(target, socketFile, nullptr, &address)) {
        return fail(GetLastError());
    }
    // Every record the server sends then carries credentials (see BindName).
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
        int error = errno;
        if (error == EPROTOTYPE) {
            NoteCause(ERROR_ACCESS_DENIED,
                      "%s is a socket of another type (stream or datagram), not a pipe", path);
        } else if (NotPermitted(error)) {
            NoteCause(ERROR_ACCESS_DENIED,
                      "the pipe's security does not admit this user: its socket is uid %u's, "
                      "mode %03o",
                      static_cast<unsigned>(socketFile.st_uid),
                      static_cast<unsigned>(socketFile.st_mode & 07777));
        }
        return failToReach(error);
    }
    sys.close(target);
    target = -1;
    // The server's credentials, as it was when it listened: whoever made the name, only a
    // server this client may believe is kept.
    ucred server{};
    socklen_t size = sizeof server;
    if (Retry(sys.getsockopt, fd, SOL_SOCKET, SO_PEERCRED, &server, &size) != 0) {
        return fail(Win32ErrorFromErrno(errno));
    }
    if (!TrustedServer(server.uid, directory)) {
        NoteCause(ERROR_ACCESS_DENIED,
                  "the server runs as uid %u, and this client trusts only root, its own user "
                  "and the owner of a pipe directory named in PIPEWORD_PIPE_DIR",
                  static_cast<unsigned>(server.uid));
        return fail(ERROR_ACCESS_DENIED);
    }
    int status = Retry(sys.fcntl, fd, F_GETFL, 0);
    if (status == -1 || Retry(sys.fcntl, fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        return fail(Win32ErrorFromErrno(errno));
    }
    return fd;
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
    return LockHeldFor(directory, file, ListeningByte) ? ServerState::Listening : ServerState::Busy;
}

DWORD PipeSocketPath(const WCHAR *name, WCHAR *path, DWORD capacity) {
    char socketPath[PathCapacity];
    DWORD error = GetLastError();
    bool valid = SocketPathFor(name, socketPath);
    SetLastError(error);
    std::u16string wide = valid ? Utf8ToUtf16(socketPath) : std::u16string();
    if (wide.empty() || wide.size() >= capacity) {
        return 0;
    }
    std::copy(wide.begin(), wide.end(), path);
    path[wide.size()] = 0;
    return static_cast<DWORD>(wide.size());
}

DWORD PipeFailureCause(DWORD error, WCHAR *text, DWORD capacity) {
    if (error == ERROR_SUCCESS || error != cause.code) {
        return 0;
    }
    std::u16string wide = Utf8ToUtf16(cause.text);
    if (wide.empty() || wide.size() >= capacity) {
        return 0;
    }
    std::copy(wide.begin(), wide.end(), text);
    text[wide.size()] = 0;
    return static_cast<DWORD>(wide.size());
}
