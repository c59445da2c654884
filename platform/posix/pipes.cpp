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
#include "platform/posix/layer.h"

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

template <typename Call> auto RetryOnSignal(Call call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

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

constexpr char LockSuffix[] = ".lock";
constexpr std::size_t LockPathCapacity = PathCapacity + sizeof LockSuffix - 1;

void LockPathFor(const char *socketPath, char (&lockPath)[LockPathCapacity]) {
    std::size_t size = std::strlen(socketPath);
    std::memcpy(lockPath, socketPath, size);
    std::memcpy(lockPath + size, LockSuffix, sizeof LockSuffix);
}

// Creates the pipe directory (the socket path's parent) if it is missing: world-writable
// with the sticky bit, like /tmp/.X11-unix, whatever the umask. An existing one that others
// may write to must have the sticky bit too, or anyone could replace a server's socket file
// with their own.
bool EnsurePipeDirectory(const char *socketPath) {
    char directory[PathCapacity];
    std::size_t size = std::strrchr(socketPath, '/') - socketPath;
    std::memcpy(directory, socketPath, size);
    directory[size == 0 ? 1 : size] = 0; // "/NAME" lives in "/"
    if (mkdir(directory, 01777) == 0) {
        chmod(directory, 01777);
        return true;
    }
    if (errno != EEXIST) {
        return errno == ENOENT ? FailWith(ERROR_PATH_NOT_FOUND) : FailWithErrno(errno);
    }
    struct stat existing {};
    if (stat(directory, &existing) != 0 || !S_ISDIR(existing.st_mode)) {
        return FailWith(ERROR_PATH_NOT_FOUND);
    }
    if ((existing.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (existing.st_mode & S_ISVTX) == 0) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    return true;
}

// ---- Locks on the sidecar file -------------------------------------------------------------

bool SetLock(int fd, off_t byte, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return RetryOnSignal([&] { return fcntl(fd, F_OFD_SETLK, &lock); }) == 0;
}

// Whether another open file description holds the byte; false when that cannot be told.
bool LockHeld(int fd, off_t byte) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return RetryOnSignal([&] { return fcntl(fd, F_OFD_GETLK, &lock); }) == 0 &&
           lock.l_type != F_UNLCK;
}

bool LockHeldFor(const char *socketPath, off_t byte) {
    char lockPath[LockPathCapacity];
    LockPathFor(socketPath, lockPath);
    int fd = RetryOnSignal([&] { return open(lockPath, O_RDONLY | O_CLOEXEC); });
    if (fd < 0) {
        return false;
    }
    bool held = LockHeld(fd, byte);
    close(fd);
    return held;
}

// ---- Socket files to remove at exit --------------------------------------------------------

// The process may end while a worker is still blocked in ConnectNamedPipe; the exit handler
// then removes the socket files of the servers still open. Slots are never freed and the
// list only grows at its head, so the handler can walk it while another thread is inside
// the layer; ownership of a slot passes by compare-and-swap on its state alone.
enum SlotState : int { SlotFree, SlotBusy, SlotLive };

// The layer's own objects (slots, pipe ends) live in mappings of their own rather than on
// the heap: the program's worker allocates nothing once its security record is built, and
// creating and closing its pipe falls in that stretch.
template <typename Object> Object *MapObject() {
    void *region =
        mmap(nullptr, sizeof(Object), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return new (region) Object;
}

template <typename Object> void UnmapObject(Object *object) {
    object->~Object();
    munmap(object, sizeof(Object));
}

struct ExitSlot {
    std::atomic<int> state{SlotBusy};
    pid_t owner = 0;
    char path[PathCapacity] = {};
    ExitSlot *next = nullptr;
};

constinit std::atomic<ExitSlot *> exitSlots{nullptr};

void RemoveLiveSocketFiles() {
    for (ExitSlot *slot = exitSlots.load(); slot != nullptr; slot = slot->next) {
        int live = SlotLive;
        // A forked child inherits the list; it removes only its own servers' files.
        if (slot->state.compare_exchange_strong(live, SlotBusy) && slot->owner == getpid()) {
            unlink(slot->path);
        }
    }
}

// Registered as the process starts, so that no server has to register it later.
const bool exitHandlerRegistered = std::atexit(RemoveLiveSocketFiles) == 0;

// A slot in state SlotBusy, owned by the caller until it publishes or frees it.
ExitSlot *ClaimExitSlot(const char *path) {
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
    std::memcpy(slot->path, path, std::strlen(path) + 1);
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
    bool messageType = false;
    mode_t fileMode = 0600;
    ExitSlot *slot = nullptr;
    bool published = false; // the socket file is bound and its slot live
    char path[PathCapacity] = {};
};

using PipeClient = PipeEnd;

// The largest record a peer can send is bounded by its send buffer: at most twice
// net.core.wmem_max (and in practice the kernel's largest allocation, about 4 MiB).
std::size_t StagingReserve() {
    static const std::size_t reserve = [] {
        std::size_t limit = 4u << 20;
        int fd = open("/proc/sys/net/core/wmem_max", O_RDONLY | O_CLOEXEC);
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
    void *region = mmap(nullptr, size, PROT_READ | PROT_WRITE,
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
    void *region = mremap(end->staging, end->stagingCapacity, size, MREMAP_MAYMOVE);
    if (region == MAP_FAILED) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    end->staging = static_cast<char *>(region);
    end->stagingCapacity = size;
    return true;
}

void ReleaseStaging(PipeEnd *end) {
    if (end->staging != nullptr) {
        munmap(end->staging, end->stagingCapacity);
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
    return RetryOnSignal([&] { return poll(&state, 1, 0); }) > 0 && (state.revents & POLLHUP) != 0;
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

// Binds and listens on the server's path. The mode is set on the socket before bind, so the
// file is never more open than the descriptor says, and put back after bind if the umask
// narrowed it. A socket file already there is stale (this server holds the name's lock) and
// is replaced; any other kind of file is left alone and refuses the name.
bool OpenListener(PipeServer *server) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return FailWithErrno(errno);
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, server->path, std::strlen(server->path) + 1);
    auto bindPath = [&] {
        return bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    };
    auto fail = [&](int error) {
        close(fd);
        return FailWithErrno(error);
    };
    // Accepted sockets inherit SO_PASSCRED: every record, even an empty one, then carries
    // credentials, which tells a zero-byte message from the end of the connection.
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        fchmod(fd, server->fileMode) != 0) {
        return fail(errno);
    }
    if (bindPath() != 0) {
        if (errno != EADDRINUSE) {
            return fail(errno);
        }
        struct stat existing {};
        if (lstat(server->path, &existing) == 0 && !S_ISSOCK(existing.st_mode)) {
            close(fd);
            return FailWith(ERROR_ACCESS_DENIED);
        }
        if ((unlink(server->path) != 0 && errno != ENOENT) || bindPath() != 0) {
            return fail(errno);
        }
    }
    if (!server->published) {
        server->published = true;
        server->slot->state.store(SlotLive);
    }
    struct stat made {};
    if (stat(server->path, &made) == 0 && (made.st_mode & 07777) != server->fileMode) {
        chmod(server->path, server->fileMode);
    }
    // Backlog 0 still admits one client before ConnectNamedPipe; further ones find the
    // instance busy.
    if (listen(fd, 0) != 0 || !SetLock(server->lockFile, ListeningByte, F_WRLCK)) {
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
    if (server->slot != nullptr) {
        int live = SlotLive;
        if (!server->published) {
            server->slot->state.store(SlotFree);
        } else if (server->slot->state.compare_exchange_strong(live, SlotBusy)) {
            unlink(server->path);
            server->slot->state.store(SlotFree);
        } // else the process is exiting and the exit handler has the file
    }
    // Released only once the socket file is gone.
    if (server->lockFile >= 0) {
        close(server->lockFile);
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

// Takes the name for this server: fails with ERROR_PIPE_BUSY while another live server has it.
bool LockName(PipeServer *server) {
    char lockPath[LockPathCapacity];
    LockPathFor(server->path, lockPath);
    server->lockFile = RetryOnSignal(
        [&] { return open(lockPath, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644); });
    if (server->lockFile < 0) {
        // Another user's lock file: busy while its server lives, else not ours to reclaim.
        if (errno == EACCES) {
            return FailWith(LockHeldFor(server->path, AliveByte) ? ERROR_PIPE_BUSY
                                                                 : ERROR_ACCESS_DENIED);
        }
        return FailWithErrno(errno);
    }
    if (!SetLock(server->lockFile, AliveByte, F_WRLCK)) {
        return errno == EAGAIN || errno == EACCES ? FailWith(ERROR_PIPE_BUSY)
                                                  : FailWithErrno(errno);
    }
    return true;
}

} // namespace

HANDLE CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                        DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout,
                        LPSECURITY_ATTRIBUTES security) {
    (void)outBufferSize;
    (void)inBufferSize;
    (void)defaultTimeout;
    // Blocking I/O on one instance per name is what the layer provides; anything else is
    // refused rather than silently treated as something it is not.
    DWORD access = openMode & PIPE_ACCESS_DUPLEX;
    if (access == 0 || (openMode & ~(PIPE_ACCESS_DUPLEX | FileFlagFirstPipeInstance)) != 0 ||
        (pipeMode & ~(PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE)) != 0 ||
        ((pipeMode & PIPE_READMODE_MESSAGE) != 0 && (pipeMode & PIPE_TYPE_MESSAGE) == 0) ||
        maxInstances == 0 || maxInstances > PIPE_UNLIMITED_INSTANCES) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    char path[PathCapacity];
    mode_t fileMode = 0600;
    if (!SocketPathFor(name, path) || !SocketModeFor(security, &fileMode) ||
        !EnsurePipeDirectory(path)) {
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
    server->messageType = (pipeMode & PIPE_TYPE_MESSAGE) != 0;
    server->messageRead = (pipeMode & PIPE_READMODE_MESSAGE) != 0;
    server->fileMode = fileMode;
    std::memcpy(server->path, path, sizeof path);
    if (!ReserveStaging(server) || !LockName(server) ||
        (server->slot = ClaimExitSlot(path)) == nullptr || !OpenListener(server)) {
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
    pollfd waiting{server->listener, POLLIN, 0};
    bool early =
        RetryOnSignal([&] { return poll(&waiting, 1, 0); }) > 0 && (waiting.revents & POLLIN) != 0;
    int fd;
    do {
        fd = accept4(server->listener, nullptr, nullptr, SOCK_CLOEXEC);
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
        pollfd waiting{server->listener, POLLIN, 0};
        if (RetryOnSignal([&] { return poll(&waiting, 1, 0); }) > 0) {
            int fd = accept4(server->listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
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
    ssize_t length = RetryOnSignal(
        [&] { return recvmsg(end->connection, &header, MSG_PEEK | MSG_TRUNC | MSG_CMSG_CLOEXEC); });
    if (length < 0) {
        return failRead(errno);
    }
    if (length == 0 && CMSG_FIRSTHDR(&header) == nullptr) {
        return FailWith(ERROR_BROKEN_PIPE);
    }
    auto size = static_cast<std::size_t>(length);
    if (size <= toRead) {
        ssize_t got = RetryOnSignal([&] { return recv(end->connection, buffer, toRead, 0); });
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
    ssize_t got =
        RetryOnSignal([&] { return recv(end->connection, end->staging, end->stagingCapacity, 0); });
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
    auto send1 = [&] {
        return RetryOnSignal([&] { return send(end->connection, buffer, toWrite, MSG_NOSIGNAL); });
    };
    ssize_t sent = send1();
    if (sent < 0 && errno == EMSGSIZE) {
        // A message is one record, and a record must fit the send buffer: widen it (the
        // kernel doubles the value and caps it at net.core.wmem_max) and try once more.
        int wanted = static_cast<int>(std::min<std::size_t>(toWrite / 2 + 64, INT32_MAX));
        if (setsockopt(end->connection, SOL_SOCKET, SO_SNDBUF, &wanted, sizeof wanted) == 0) {
            sent = send1();
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
        if (ioctl(end->connection, SIOCOUTQ, &unread) != 0) {
            return FailWithErrno(errno);
        }
        if (gone) {
            int error = 0;
            socklen_t size = sizeof error;
            getsockopt(end->connection, SOL_SOCKET, SO_ERROR, &error, &size);
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
    // Non-blocking, so that a full backlog (a client already waiting for this instance)
    // reads as busy at once instead of queueing behind it.
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        FailWithErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, std::strlen(path) + 1);
    int on = 1;
    int result = setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    if (result == 0) {
        result = RetryOnSignal([&] {
            return connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        });
    }
    if (result != 0) {
        int error = errno;
        close(fd);
        switch (error) {
        case ENOENT:       // a live server may be between two clients, replacing its socket file
        case ECONNREFUSED: // no listener: a live server serving a client, or a stale file
            SetLastError(LockHeldFor(path, AliveByte) ? ERROR_PIPE_BUSY : ERROR_FILE_NOT_FOUND);
            break;
        case ENOTDIR:
            SetLastError(ERROR_FILE_NOT_FOUND);
            break;
        case EAGAIN:
            SetLastError(ERROR_PIPE_BUSY);
            break;
        default:
            FailWithErrno(error);
        }
        return INVALID_HANDLE_VALUE;
    }
    int status = fcntl(fd, F_GETFL);
    if (status == -1 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        int error = errno;
        close(fd);
        FailWithErrno(error);
        return INVALID_HANDLE_VALUE;
    }
    auto *client = MapObject<PipeClient>();
    if (client == nullptr) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    if (!ReserveStaging(client)) {
        close(fd);
        UnmapObject(client);
        return INVALID_HANDLE_VALUE;
    }
    client->kind = HandleKind::PipeClient;
    client->close = CloseClient;
    client->connection = fd;
    client->canRead = (access & GrantsRead) != 0;
    client->canWrite = (access & GrantsWrite) != 0;
    return RegisterHandle(client);
}

BOOL WaitNamedPipeW(LPCWSTR name, DWORD timeoutMilliseconds) {
    char path[PathCapacity];
    if (!SocketPathFor(name, path)) {
        return FALSE;
    }
    if (timeoutMilliseconds == NMPWAIT_USE_DEFAULT_WAIT) {
        timeoutMilliseconds = DefaultWaitMilliseconds;
    }
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (bool first = true;; first = false) {
        bool exists = LockHeldFor(path, AliveByte);
        if (exists && LockHeldFor(path, ListeningByte)) {
            return TRUE;
        }
        if (!exists && first) {
            return FailWith(ERROR_FILE_NOT_FOUND);
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long elapsed =
            (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (timeoutMilliseconds != NMPWAIT_WAIT_FOREVER && elapsed >= timeoutMilliseconds) {
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
    bool message = (*mode & PIPE_READMODE_MESSAGE) != 0;
    if (message && end->kind == HandleKind::PipeServer &&
        !static_cast<PipeServer *>(end)->messageType) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    end->messageRead = message;
    return TRUE;
}
