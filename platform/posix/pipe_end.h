// Internal to the POSIX layer: the pipe ends that pipes.cpp (what every end does, and the
// client's side) and pipe_server.cpp (a server's instance) share. A client-only build of the
// layer leaves pipe_server.cpp out, and with it everything that a server's name brings (the
// exit and signal handlers of server_name.cpp).
#pragma once

#include "platform/posix/layer.h"
#include "platform/posix/name_lock.h"

#include <cstddef>

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

// A server's instance: its listening socket while it waits for a client, and its name.
struct PipeServer : PipeEnd {
    int listener = -1;
    ServerName name;
};

// Reserves the region where a message too long for the reader's buffer is staged; false,
// with ERROR_NOT_ENOUGH_MEMORY set, when it cannot be had. ReleaseStaging gives it back.
bool ReserveStaging(PipeEnd *end);
void ReleaseStaging(PipeEnd *end);
// Whether the other end of a connection has closed.
bool PeerGone(int fd);
