// A server's instance of a named pipe over an AF_UNIX SOCK_SEQPACKET socket: made by
// CreateNamedPipeW, which takes the name (server_name.cpp), connected to its client by
// ConnectNamedPipe, and listening again after DisconnectNamedPipe. Reading, writing and
// flushing are the same for both ends (pipes.cpp).
//
// A server has one instance. Once it has its client it closes the listening socket, so
// later clients are refused and, finding the name's server alive, report ERROR_PIPE_BUSY.
// After DisconnectNamedPipe the next ConnectNamedPipe listens again.
#include "platform/platform.h"
#include "platform/posix/layer.h"
#include "platform/posix/owned_fd.h"
#include "platform/posix/pipe_end.h"
#include "platform/posix/pipe_names.h"
#include "platform/posix/server_name.h"
#include "platform/posix/syscalls.h"

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>

namespace {

constexpr DWORD FileFlagFirstPipeInstance = 0x00080000u;

PipeServer *LookUpServer(HANDLE handle) {
    return static_cast<PipeServer *>(LookUpHandle(handle, HandleKind::PipeServer));
}

// Whether a client is waiting to be accepted.
bool ClientWaiting(int listener) {
    pollfd waiting{listener, POLLIN, 0};
    return Retry(sys.poll, &waiting, nfds_t{1}, 0) > 0 && (waiting.revents & POLLIN) != 0;
}

void DestroyServer(PipeServer *server) {
    if (server->connection >= 0) {
        sys.close(server->connection);
    }
    if (server->listener >= 0) {
        sys.close(server->listener);
    }
    ReleaseName(&server->name);
    ReleaseStaging(server);
    UnmapObject(server);
}

BOOL CloseServer(HandleObject *object) {
    DestroyServer(static_cast<PipeServer *>(object));
    return TRUE;
}

// The listening socket of a server, made anew after each client.
bool OpenListener(PipeServer *server) {
    server->listener = ListenOnName(&server->name);
    return server->listener >= 0;
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
    ServerName &taken = server->name;
    taken.fileMode = fileMode;
    std::memcpy(taken.path, path, sizeof path);
    taken.file = FileNameOf(taken.path);
    if (!OpenServerDirectory(taken.path, &taken.directory) || !ReserveStaging(server) ||
        !TakeName(&taken) || !OpenListener(server)) {
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
    sys.close(server->listener);
    server->listener = -1;
    EndListening(server->name);
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
        sys.close(server->connection);
        server->connection = -1;
    } else if (server->listener >= 0) {
        // A client that connected before ConnectNamedPipe is dropped; the instance listens on.
        if (ClientWaiting(server->listener)) {
            OwnedFd dropped(Retry(sys.accept4, server->listener, nullptr, nullptr,
                                  SOCK_CLOEXEC | SOCK_NONBLOCK));
        }
    }
    server->next = server->end = 0;
    return TRUE;
}
