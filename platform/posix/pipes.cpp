// Named pipes over AF_UNIX SOCK_SEQPACKET sockets: one record is one message.
//
// \\.\pipe\NAME is a listening socket at $PIPEWORD_PIPE_DIR/NAME (default /tmp/.pipe/NAME).
// Beside it, NAME.lock carries two open-file-description locks taken by the server:
//   byte 0 for the server's whole lifetime: a live server, as opposed to a socket file left
//          by a killed one, which the next server reclaims;
//   byte 1 while its instance listens for a client: free, for WaitNamedPipeW.
// Clients test them with F_OFD_GETLK, which takes nothing, so a probe can never make a
// starting server believe the name is in use. The lock file itself is never removed: a
// server that removed it could let a second one lock a fresh file under the same name.
//
// A server has one instance. Once it has its client it closes the listening socket, so
// later clients are refused and, finding byte 0 held, report ERROR_PIPE_BUSY. After
// DisconnectNamedPipe the next ConnectNamedPipe listens again.
//
// The pipe directory may be shared with other local users, any of whom may have got there
// first, so nothing in it is taken on trust:
//   - The directory is opened without following a symbolic link, and a server uses it only
//     if it is a directory owned by root or by the server's user that, if others may write
//     to it, has the sticky bit; otherwise ERROR_ACCESS_DENIED, with nothing touched. From
//     then on the layer works relative to the open directory (*at() calls, and for bind and
//     connect a path through /proc/self/fd), never through its path again.
//   - The lock file and the socket are opened and created without following links, and a
//     lock file is used only if it is a regular file of the server's user.
//   - A socket file is removed only if it belongs to the server's user and the name's lock
//     is free (it is stale). Another user's socket under the name, live or stale, is never
//     removed: the name is busy (ERROR_PIPE_BUSY).
//   - A client connects only to a socket file, never through a link, and keeps the
//     connection only if the server runs as root, as the client's own user, or as the owner
//     of a directory that nobody else may write to (SO_PEERCRED): in a shared directory any
//     user can make a name first, and only those servers can be told from an impostor.
#include "platform/posix/layer.h"
#include "platform/posix/syscalls.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
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

// The configured pipe directory without trailing slashes.
std::string_view PipeDirectory() {
    const char *configured = std::getenv("PIPEWORD_PIPE_DIR");
    std::string_view directory =
        configured != nullptr && configured[0] != 0 ? configured : "/tmp/.pipe";
    while (directory.size() > 1 && directory.back() == '/') {
        directory.remove_suffix(1);
    }
    return directory;
}

// Checks a Win32 pipe name, \\.\pipe\NAME with the prefix in any case, and writes the socket
// path for NAME. The codes for malformed names are the ones Windows gives.
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
// directory itself), and what it was when it was checked.
struct Directory {
    int fd = -1;
    struct stat status {};
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
// it is never more open than meant; then world-writable with the sticky bit, like
// /tmp/.X11-unix. True also when another process made it first (EEXIST): the caller then
// checks that one like any other.
bool MakeDirectory(const char *directory) {
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
        changed = ChangeDirectoryMode(fd, 01777);
    }
    int error = errno;
    close(fd);
    errno = error;
    return changed;
}

// Opens the pipe directory for a server, making it if it is missing. It must be a directory
// owned by root or by the server's user, and have the sticky bit if others may write to it:
// else anyone could replace the server's socket file with their own.
bool OpenServerDirectory(const char *socketPath, Directory *directory) {
    char path[PathCapacity];
    DirectoryOf(socketPath, path);
    int fd = OpenDirectory(path);
    for (int attempt = 0; fd < 0 && errno == ENOENT && attempt < 3; ++attempt) {
        if (!MakeDirectory(path)) {
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
    if (!S_ISDIR(status.st_mode) || (owner != 0 && owner != geteuid()) ||
        ((status.st_mode & WritableByOthers) != 0 && (status.st_mode & S_ISVTX) == 0)) {
        close(fd);
        return FailWith(ERROR_ACCESS_DENIED);
    }
    directory->fd = fd;
    return true;
}

// Opens the pipe directory for a client: whatever it is, the server's credentials decide.
bool OpenClientDirectory(const char *socketPath, Directory *directory) {
    char path[PathCapacity];
    DirectoryOf(socketPath, path);
    int fd = OpenDirectory(path);
    if (fd < 0) {
        return FailToOpenDirectory(path, errno, ERROR_FILE_NOT_FOUND);
    }
    if (!StatusOf(fd, &directory->status)) {
        int error = errno;
        close(fd);
        return FailWithErrno(error);
    }
    directory->fd = fd;
    return true;
}

// Whether a client may believe a server running as 'user': root, the client's own user, or
// the owner of a directory that nobody else may write to, who alone makes names in it.
bool TrustedServer(uid_t user, const Directory &directory) {
    return user == 0 || user == geteuid() ||
           (user == directory.status.st_uid && (directory.status.st_mode & WritableByOthers) == 0);
}

// The socket address of NAME in the open directory. bind and connect have no *at() form:
// the path goes through /proc/self/fd where that leads to the very directory checked, so that
// a directory swapped in under its path afterwards is never used; by path without /proc.
void AddressOf(const Directory &directory, const char *socketPath, sockaddr_un *address) {
    address->sun_family = AF_UNIX;
    const char *file = FileNameOf(socketPath);
    std::size_t fileSize = std::strlen(file);
    char proc[PathCapacity];
    std::size_t size = ProcPathOf(directory.fd, proc);
    struct stat through {};
    if (size + 1 + fileSize < PathCapacity &&
        Retry(sys.fstatat, AT_FDCWD, proc, &through, 0) == 0 &&
        through.st_dev == directory.status.st_dev && through.st_ino == directory.status.st_ino) {
        std::memcpy(address->sun_path, proc, size);
        address->sun_path[size] = '/';
        std::memcpy(address->sun_path + size + 1, file, fileSize + 1);
    } else {
        std::memcpy(address->sun_path, socketPath, std::strlen(socketPath) + 1);
    }
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

// Removes the server's socket file, if the name still holds one of this user's.
void RemoveOwnSocket(int directory, const char *file) {
    if (Inspect(directory, file) == Entry::OwnSocket) {
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

// The same for the lock file of NAME, opened without following a link and without waiting
// (a FIFO planted in its place would otherwise block the open).
bool LockHeldFor(int directory, const char *file, off_t byte) {
    char lockName[LockNameCapacity];
    LockNameFor(file, lockName);
    int fd = Retry(sys.openat, directory, lockName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                   mode_t{0});
    if (fd < 0) {
        return false;
    }
    struct stat lock {};
    bool held = StatusOf(fd, &lock) && S_ISREG(lock.st_mode) && LockHeld(fd, byte);
    close(fd);
    return held;
}

// ---- Socket files to remove at exit --------------------------------------------------------

// The process may end while a worker is still blocked in ConnectNamedPipe; the exit handler
// then removes the socket files of the servers still open. Slots are never freed and the
// list only grows at its head, so the handler can walk it while another thread is inside
// the layer; ownership of a slot passes by compare-and-swap on its state alone.
// SlotClosing: the server is removing its own file; should the process end meanwhile, the
// exit handler removes it too, so that no file outlives the process. The name's lock is
// still held then, so no other server can have bound the name in between.
enum SlotState : int { SlotFree, SlotBusy, SlotLive, SlotClosing };

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
    char file[PathCapacity] = {};
    ExitSlot *next = nullptr;
};

constinit std::atomic<ExitSlot *> exitSlots{nullptr};

void RemoveLiveSocketFiles() {
    for (ExitSlot *slot = exitSlots.load(); slot != nullptr; slot = slot->next) {
        // A forked child inherits the list; it removes only its own servers' files.
        int live = SlotLive;
        int closing = SlotClosing;
        if ((slot->state.compare_exchange_strong(live, SlotBusy) ||
             slot->state.compare_exchange_strong(closing, SlotBusy)) &&
            slot->owner == getpid()) {
            RemoveOwnSocket(slot->directory, slot->file);
        }
    }
}

// Registered as the process starts, so that no server has to register it later.
const bool exitHandlerRegistered = std::atexit(RemoveLiveSocketFiles) == 0;

// A slot in state SlotBusy, owned by the caller until it publishes or frees it.
ExitSlot *ClaimExitSlot(int directory, const char *file) {
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

// Binds and listens on the server's name. The mode is set on the socket before bind, so the
// file is never more open than the descriptor says, and put back after bind if the umask
// narrowed it. A socket file of this user's already there is stale (this server holds the
// name's lock) and is replaced; anything else refuses the name.
bool OpenListener(PipeServer *server) {
    int directory = server->directory.fd;
    int fd = Retry(sys.socket, AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return FailWithErrno(errno);
    }
    sockaddr_un address{};
    AddressOf(server->directory, server->path, &address);
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
    if (!server->published) {
        server->published = true;
        server->slot->state.store(SlotLive);
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
    bool exiting = false;
    if (server->slot != nullptr) {
        int live = SlotLive;
        int closing = SlotClosing;
        if (!server->published) {
            server->slot->state.store(SlotFree);
        } else if (server->slot->state.compare_exchange_strong(live, SlotClosing)) {
            RemoveOwnSocket(server->directory.fd, server->file);
            exiting = !server->slot->state.compare_exchange_strong(closing, SlotFree);
        } else {
            exiting = true;
        }
        // When exiting, the exit handler has the slot and uses the directory.
    }
    // Released only once the socket file is gone.
    if (server->lockFile >= 0) {
        close(server->lockFile);
    }
    if (server->directory.fd >= 0 && !exiting) {
        close(server->directory.fd);
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
    int fd = Retry(sys.openat, directory, lockName,
                   O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode_t{0644});
    if (fd < 0) {
        int error = errno;
        // Another user's lock file, which the kernel may refuse even to root in a sticky
        // directory: busy while its server lives, else not this server's to use.
        if (error == EACCES || error == EPERM) {
            return FailWith(LockHeldFor(directory, server->file, AliveByte) ? ERROR_PIPE_BUSY
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
    // Only a regular file of this user's, under this one name, is trusted with the locks.
    if (!S_ISREG(lock.st_mode) || lock.st_uid != geteuid() || lock.st_nlink != 1) {
        return FailWith(S_ISREG(lock.st_mode) && LockHeld(fd, AliveByte) ? ERROR_PIPE_BUSY
                                                                         : ERROR_ACCESS_DENIED);
    }
    if (!SetLock(fd, AliveByte, F_WRLCK)) {
        return errno == EAGAIN || errno == EACCES ? FailWith(ERROR_PIPE_BUSY)
                                                  : FailWithErrno(errno);
    }
    return true;
}

// The client side of CreateFileW, in an open pipe directory.
HANDLE OpenClient(const Directory &directory, const char *path, DWORD access) {
    const char *file = FileNameOf(path);
    switch (Inspect(directory.fd, file)) {
    case Entry::Missing: // a live server may be between two clients, replacing its socket file
        SetLastError(LockHeldFor(directory.fd, file, AliveByte) ? ERROR_PIPE_BUSY
                                                                : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    case Entry::Other: // a link or a file where a socket belongs: never followed
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    case Entry::Unknown:
        return INVALID_HANDLE_VALUE;
    case Entry::OwnSocket:
    case Entry::ForeignSocket:
        break;
    }
    // Non-blocking, so that a full backlog (a client already waiting for this instance)
    // reads as busy at once instead of queueing behind it.
    int fd = Retry(sys.socket, AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        FailWithErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    auto fail = [&](DWORD code) {
        close(fd);
        SetLastError(code);
        return INVALID_HANDLE_VALUE;
    };
    sockaddr_un address{};
    AddressOf(directory, path, &address);
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
        case ENOENT:       // a live server may be between two clients, replacing its socket file
        case ECONNREFUSED: // no listener: a live server serving a client, or a stale file
            return fail(LockHeldFor(directory.fd, file, AliveByte) ? ERROR_PIPE_BUSY
                                                                   : ERROR_FILE_NOT_FOUND);
        case ENOTDIR:
            return fail(ERROR_FILE_NOT_FOUND);
        case EAGAIN:
            return fail(ERROR_PIPE_BUSY);
        default:
            return fail(Win32ErrorFromErrno(error));
        }
    }
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
    mode_t fileMode = 0600;
    if (!SocketPathFor(name, path) || !SocketModeFor(security, &fileMode)) {
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
    if (!OpenServerDirectory(server->path, &server->directory) || !ReserveStaging(server) ||
        !LockName(server) ||
        (server->slot = ClaimExitSlot(server->directory.fd, server->file)) == nullptr ||
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

// Returns once the other end has consumed everything written, checking every 100 µs. A peer
// already gone has nothing more to consume: TRUE. A peer that goes while it still has unread
// data fails the flush with ERROR_BROKEN_PIPE; the kernel marks that case by resetting this
// end (ECONNRESET) as it discards the data.
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
    for (;;) {
        bool gone = PeerGone(end->connection);
        int unread = 0;
        if (Retry(sys.ioctl, end->connection, static_cast<unsigned long>(SIOCOUTQ), &unread) != 0) {
            return FailWithErrno(errno);
        }
        if (gone) {
            int error = 0;
            socklen_t size = sizeof error;
            Retry(sys.getsockopt, end->connection, SOL_SOCKET, SO_ERROR, &error, &size);
            return unread > 0 || error == ECONNRESET ? FailWith(ERROR_BROKEN_PIPE) : TRUE;
        }
        if (unread == 0) {
            return TRUE;
        }
        Pause(FlushCheckNanoseconds);
    }
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creation, DWORD flags, HANDLE templateFile) {
    (void)shareMode;
    (void)security;
    (void)creation;
    (void)templateFile;
    char path[PathCapacity];
    if (!SocketPathFor(name, path)) {
        return INVALID_HANDLE_VALUE;
    }
    if ((flags & FileFlagOverlapped) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    Directory directory;
    if (!OpenClientDirectory(path, &directory)) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE client = OpenClient(directory, path, access);
    close(directory.fd);
    return client;
}

BOOL WaitNamedPipeW(LPCWSTR name, DWORD timeoutMilliseconds) {
    char path[PathCapacity];
    if (!SocketPathFor(name, path)) {
        return FALSE;
    }
    if (timeoutMilliseconds == NMPWAIT_USE_DEFAULT_WAIT) {
        timeoutMilliseconds = DefaultWaitMilliseconds;
    }
    Directory directory;
    if (!OpenClientDirectory(path, &directory)) {
        return FALSE;
    }
    const char *file = FileNameOf(path);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (bool first = true;; first = false) {
        bool exists = LockHeldFor(directory.fd, file, AliveByte);
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
