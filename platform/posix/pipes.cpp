// Named pipes over AF_UNIX SOCK_SEQPACKET sockets: one record is one message.
//
// A pipe end is a connected socket. A message longer than the reader's buffer is taken whole
// from the socket and handed out in pieces (message read mode: ERROR_MORE_DATA until the
// last). Where each name's socket lives is pipe_names.cpp's concern; which pipe directory a
// server or client may use, pipe_directory.cpp's; how a name is kept to one live server,
// name_lock.cpp's; binding and connecting to the socket file, and whom a client trusts,
// pipe_sockets.cpp's; how large a message may be, message_size.cpp's. This file holds what
// every pipe end does and the client's side (CreateFileW, WaitNamedPipeW); a server's
// instance is pipe_server.cpp's.
#include "platform/platform.h"
#include "platform/posix/layer.h"
#include "platform/posix/message_size.h"
#include "platform/posix/owned_fd.h"
#include "platform/posix/name_lock.h"
#include "platform/posix/pipe_directory.h"
#include "platform/posix/pipe_end.h"
#include "platform/posix/pipe_names.h"
#include "platform/posix/pipe_sockets.h"
#include "platform/posix/syscalls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <linux/sockios.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr DWORD ErrorPipeListening = 536u;
constexpr DWORD FileFlagOverlapped = 0x40000000u;

constexpr DWORD DefaultWaitMilliseconds = 50;
constexpr long FlushCheckNanoseconds = 100000;
constexpr long WaitCheckNanoseconds = 2000000;

// ---- Pipe ends -----------------------------------------------------------------------------

using PipeClient = PipeEnd;

// The largest record a peer can send is bounded by its send buffer: at most twice
// net.core.wmem_max (and in practice the kernel's largest allocation, about 4 MiB).
std::size_t StagingReserve() {
    static const std::size_t reserve = [] {
        std::size_t limit =
            std::max<std::size_t>(4u << 20, SystemSetting("/proc/sys/net/core/wmem_max"));
        std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        return (2 * limit + page - 1) / page * page;
    }();
    return reserve;
}

} // namespace

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

namespace {

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

} // namespace

void ReleaseStaging(PipeEnd *end) {
    if (end->staging != nullptr) {
        sys.munmap(end->staging, end->stagingCapacity);
    }
}

// Whether the other end has closed.
bool PeerGone(int fd) {
    pollfd state{fd, 0, 0};
    return Retry(sys.poll, &state, nfds_t{1}, 0) > 0 && (state.revents & POLLHUP) != 0;
}

namespace {

PipeEnd *LookUpPipe(HANDLE handle) {
    return static_cast<PipeEnd *>(
        LookUpHandle(handle, HandleKind::PipeServer, HandleKind::PipeClient));
}

ssize_t Receive(int fd, void *buffer, std::size_t size) {
    iovec piece{buffer, size};
    msghdr header{};
    header.msg_iov = &piece;
    header.msg_iovlen = 1;
    return Retry(sys.recvmsg, fd, &header, 0);
}

// The failure code for I/O on a server end that has no client.
BOOL FailNotConnected(const PipeEnd *end) {
    bool listening =
        end->kind == HandleKind::PipeServer && static_cast<const PipeServer *>(end)->listener >= 0;
    return FailWith(listening ? ErrorPipeListening : ERROR_PIPE_NOT_CONNECTED);
}

BOOL CloseClient(HandleObject *object) {
    auto *client = static_cast<PipeClient *>(object);
    sys.close(client->connection);
    ReleaseStaging(client);
    UnmapObject(client);
    return TRUE;
}

// The client side of CreateFileW, in an open pipe directory.
HANDLE OpenClient(const Directory &directory, const char *path, DWORD access) {
    OwnedFd connection(ConnectToName(directory, path));
    if (connection.get() < 0) {
        return INVALID_HANDLE_VALUE;
    }
    auto *client = MapObject<PipeClient>();
    if (client != nullptr && !ReserveStaging(client)) {
        UnmapObject(client);
        client = nullptr;
    }
    if (client == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    client->kind = HandleKind::PipeClient;
    client->close = CloseClient;
    client->connection = connection.release();
    client->canRead = (access & GrantsRead) != 0;
    client->canWrite = (access & GrantsWrite) != 0;
    return RegisterHandle(client);
}

// The pipe end of a ReadFile or WriteFile call, once the count of bytes moved is set to 0 and
// the arguments are checked, 'allowed' among them (canRead or canWrite); null, with the
// last-error code set, otherwise.
PipeEnd *TransferEnd(HANDLE file, const void *buffer, DWORD size, LPDWORD moved,
                     LPOVERLAPPED overlapped, bool PipeEnd::*allowed) {
    if (moved != nullptr) {
        *moved = 0;
    }
    PipeEnd *end = LookUpPipe(file);
    if (end == nullptr) {
        return nullptr;
    }
    if (overlapped != nullptr || (buffer == nullptr && size > 0)) {
        FailWith(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!(end->*allowed)) {
        FailWith(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return end;
}

// Hands out the next piece of the staged message; in message read mode ERROR_MORE_DATA
// until the last.
BOOL HandOut(PipeEnd *end, LPVOID buffer, DWORD toRead, LPDWORD read) {
    std::size_t piece = std::min<std::size_t>(toRead, end->end - end->next);
    if (piece > 0) {
        std::memcpy(buffer, end->staging + end->next, piece);
    }
    end->next += piece;
    if (read != nullptr) {
        *read = static_cast<DWORD>(piece);
    }
    return end->next < end->end && end->messageRead ? FailWith(ERROR_MORE_DATA) : TRUE;
}

// Waits for the next record without taking it, and returns its length; -1, with the
// last-error code set, when it fails or the stream has ended. End of stream also reads as 0
// bytes, but carries no credentials.
ssize_t PeekRecord(int connection) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr header{};
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t length =
        Retry(sys.recvmsg, connection, &header, MSG_PEEK | MSG_TRUNC | MSG_CMSG_CLOEXEC);
    if (length < 0) {
        FailWith(Win32ErrorFromReceive(errno));
        return -1;
    }
    if (length == 0 && CMSG_FIRSTHDR(&header) == nullptr) {
        FailWith(ERROR_BROKEN_PIPE);
        return -1;
    }
    return length;
}

} // namespace

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    PipeEnd *end = TransferEnd(file, buffer, toRead, read, overlapped, &PipeEnd::canRead);
    if (end == nullptr) {
        return FALSE;
    }
    if (end->next < end->end) {
        return HandOut(end, buffer, toRead, read);
    }
    if (end->connection < 0) {
        return FailNotConnected(end);
    }
    ssize_t length = PeekRecord(end->connection);
    if (length < 0) {
        return FALSE;
    }
    auto size = static_cast<std::size_t>(length);
    if (size <= toRead) {
        ssize_t got = Receive(end->connection, buffer, toRead);
        if (got < 0) {
            return FailWith(Win32ErrorFromReceive(errno));
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
        return FailWith(Win32ErrorFromReceive(errno));
    }
    end->next = 0;
    end->end = static_cast<std::size_t>(got);
    return HandOut(end, buffer, toRead, read);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped) {
    PipeEnd *end = TransferEnd(file, buffer, toWrite, written, overlapped, &PipeEnd::canWrite);
    if (end == nullptr) {
        return FALSE;
    }
    if (end->connection < 0) {
        return FailNotConnected(end);
    }
    ssize_t sent = SendMessage(end->connection, buffer, toWrite, 0);
    if (sent < 0) {
        // Whether the message was too large is looked up only for a failure it can cause.
        int error = errno;
        bool tooLarge = SizeCanFailSend(error) && ExceedsLargestMessage(toWrite);
        return FailWith(Win32ErrorFromSend(error, tooLarge));
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
OwnedFd WatchConsumption(int connection) {
    OwnedFd watch(Retry(sys.epoll_create1, EPOLL_CLOEXEC));
    if (watch.get() < 0) {
        return watch;
    }
    epoll_event event{};
    event.events = EPOLLOUT | EPOLLET;
    event.data.fd = connection;
    if (Retry(sys.epoll_ctl, watch.get(), EPOLL_CTL_ADD, connection, &event) != 0) {
        return OwnedFd();
    }
    // The socket is writable as it is added, which is reported at once: taken here, so that
    // the next report means that something happened.
    Retry(sys.epoll_wait, watch.get(), &event, 1, 0);
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
    OwnedFd watch;
    for (bool watching = false;;) {
        bool gone = PeerGone(end->connection);
        int unread = 0;
        if (Retry(sys.ioctl, end->connection, static_cast<unsigned long>(SIOCOUTQ), &unread) != 0) {
            return FailWithErrno(errno);
        }
        if (gone) {
            int error = 0;
            socklen_t size = sizeof error;
            Retry(sys.getsockopt, end->connection, SOL_SOCKET, SO_ERROR, &error, &size);
            DWORD code = Win32ErrorFromHangUp(error, unread);
            return code == ERROR_SUCCESS ? TRUE : FailWith(code);
        }
        if (unread == 0) {
            return TRUE;
        }
        if (!watching) {
            // Set up only when there is something to wait for; checked again at once, since
            // the peer may have read before the watch existed.
            watch = WatchConsumption(end->connection);
            watching = true;
            continue;
        }
        AwaitConsumption(watch.get());
    }
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creation, DWORD flags, HANDLE templateFile) {
    (void)shareMode;
    (void)security;
    (void)creation;
    (void)templateFile;
    char path[PathCapacity];
    Directory directory;
    if (!SocketPathFor(name, path)) {
        return INVALID_HANDLE_VALUE;
    }
    if ((flags & FileFlagOverlapped) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!OpenClientDirectory(path, &directory)) {
        return INVALID_HANDLE_VALUE;
    }
    const OwnedFd closing(directory.fd); // the directory's descriptor, closed on the way out
    return OpenClient(directory, path, access);
}

BOOL WaitNamedPipeW(LPCWSTR name, DWORD timeoutMilliseconds) {
    char path[PathCapacity];
    Directory directory;
    if (!SocketPathFor(name, path)) {
        return FALSE;
    }
    if (timeoutMilliseconds == NMPWAIT_USE_DEFAULT_WAIT) {
        timeoutMilliseconds = DefaultWaitMilliseconds;
    }
    if (!OpenClientDirectory(path, &directory)) {
        return FALSE;
    }
    const OwnedFd closing(directory.fd); // the directory's descriptor, closed on every way out
    const char *file = FileNameOf(path);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (bool first = true;; first = false) {
        ServerState server = ServerStateOf(directory.fd, file);
        if (server == ServerState::Unseen) {
            // Another user's name: whether its server listens cannot be seen. With a socket
            // under the name, the caller's next CreateFileW tells; it comes after one
            // check's pause, so that a caller that waits again on busy does not spin.
            Pause(WaitCheckNanoseconds);
            return TRUE;
        }
        if (server == ServerState::Listening) {
            return TRUE;
        }
        if (server == ServerState::None && first) {
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
    // Every pipe of the layer is of message type, so either end may read in either mode.
    end->messageRead = (*mode & PIPE_READMODE_MESSAGE) != 0;
    return TRUE;
}
