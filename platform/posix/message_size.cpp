// How large a pipe message may be. A message is one record, which the kernel takes whole or
// not at all (sendmsg on a SOCK_SEQPACKET socket): at most the sender's send buffer less a
// little bookkeeping, and at most the largest record the kernel allocates (with 4 KiB pages
// about 4 MiB in one block, plus a few pages beside it). A new socket's buffer is
// net.core.wmem_default; SendMessage widens it to twice net.core.wmem_max when a message
// needs more. Neither the bookkeeping nor that allocation is told anywhere, so the limit is
// found by trying: records of chosen sizes on a socket pair of its own, some 25 of them.
// Nothing keeps the result: it is sought only for a message that failed and when asked
// (LargestPipeMessage, PipeCarriesMessage).
#include "platform/posix/message_size.h"

#include "platform/platform.h"
#include "platform/posix/layer.h"
#include "platform/posix/owned_fd.h"
#include "platform/posix/syscalls.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>

namespace {

// The largest record, and what sets it.
struct MessageLimit {
    std::size_t largest = 0;                   // 0 when it could not be found
    bool bySendBuffer = false;                 // the send buffer, not the kernel's allocation
    const char *setting = "net.core.wmem_max"; // the setting that sizes the send buffer,
    std::size_t value = 0; // and its value, as /proc tells it or the buffer shows it
};

struct SocketPair {
    OwnedFd sender;
    OwnedFd receiver;
};

bool OpenPair(SocketPair *pair) {
    int fds[2];
    if (Retry(sys.socketpair, AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
        return false;
    }
    pair->sender.reset(fds[0]);
    pair->receiver.reset(fds[1]);
    return true;
}

// 'size' bytes of zero pages to send from, read but never committed; null when they cannot
// be mapped. Unmapped with UnmapZeroes.
const char *MapZeroes(std::size_t size) {
    void *region = sys.mmap(nullptr, std::max<std::size_t>(size, 1), PROT_READ,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return region != MAP_FAILED ? static_cast<const char *>(region) : nullptr;
}

void UnmapZeroes(const char *zeroes, std::size_t size) {
    sys.munmap(const_cast<char *>(zeroes), std::max<std::size_t>(size, 1));
}

ssize_t SendRecord(int fd, const void *buffer, std::size_t size, int flags) {
    iovec piece{const_cast<void *>(buffer), size};
    msghdr header{};
    header.msg_iov = &piece;
    header.msg_iovlen = 1;
    return Retry(sys.sendmsg, fd, const_cast<const msghdr *>(&header), flags | MSG_NOSIGNAL);
}

// Sends one record of 'size' bytes and takes it off the other end unread. 0 when it went
// through, else the errno of sendmsg.
int TryRecord(const SocketPair &pair, const char *source, std::size_t size) {
    if (SendRecord(pair.sender.get(), source, size, MSG_DONTWAIT) < 0) {
        return errno;
    }
    msghdr discard{};
    Retry(sys.recvmsg, pair.receiver.get(), &discard, MSG_DONTWAIT | MSG_TRUNC);
    return 0;
}

// The largest record that goes through a socket pair whose sender's buffer holds 'buffer'
// bytes: 'fits' went through and 'fails' did not, and no record outgrows its buffer. The
// usual answer, the buffer less 32 bytes of bookkeeping, is tried first.
std::size_t LargestRecord(const SocketPair &pair, const char *source, std::size_t buffer) {
    std::size_t fits = 0;
    std::size_t fails = buffer + 1;
    std::size_t guess = buffer > 32 ? buffer - 32 : 0;
    if (TryRecord(pair, source, guess) == 0) {
        fits = guess;
        if (TryRecord(pair, source, guess + 1) != 0) {
            fails = guess + 1;
        }
    } else {
        fails = guess;
    }
    while (fails - fits > 1) {
        std::size_t middle = fits + (fails - fits) / 2;
        if (TryRecord(pair, source, middle) == 0) {
            fits = middle;
        } else {
            fails = middle;
        }
    }
    return fits;
}

// A socket pair whose sender has the widest buffer there is, and that buffer's size: the
// kernel caps the value asked for at net.core.wmem_max and doubles it ('widened'). Should a
// new socket's buffer be wider still, a new pair keeps that one.
bool OpenWidestPair(SocketPair *pair, std::size_t *bytes, bool *widened) {
    if (!OpenPair(pair)) {
        return false;
    }
    int initial = 0;
    int buffer = INT32_MAX;
    socklen_t size = sizeof buffer;
    const int sender = pair->sender.get();
    if (Retry(sys.getsockopt, sender, SOL_SOCKET, SO_SNDBUF, &initial, &size) != 0 ||
        Retry(sys.setsockopt, sender, SOL_SOCKET, SO_SNDBUF, &buffer, size) != 0 ||
        Retry(sys.getsockopt, sender, SOL_SOCKET, SO_SNDBUF, &buffer, &size) != 0 || buffer <= 0) {
        return false;
    }
    *widened = buffer >= initial;
    if (!*widened) {
        *pair = SocketPair{};
        if (!OpenPair(pair)) {
            return false;
        }
        buffer = initial;
    }
    *bytes = static_cast<std::size_t>(buffer);
    return true;
}

// Tries records on a pair of their own: sets the limit's largest record and what sets it,
// and tells the widest buffer's size. False when no pair could be had.
bool TryRecords(MessageLimit *limit, std::size_t *bytes, bool *widened) {
    SocketPair pair;
    if (!OpenWidestPair(&pair, bytes, widened)) {
        return false;
    }
    const char *source = MapZeroes(*bytes + 1);
    if (source != nullptr) {
        limit->largest = LargestRecord(pair, source, *bytes);
        // The buffer's own check refuses with EMSGSIZE, a failed allocation with ENOBUFS.
        limit->bySendBuffer = TryRecord(pair, source, limit->largest + 1) == EMSGSIZE;
        UnmapZeroes(source, *bytes + 1);
    }
    return true;
}

MessageLimit FindMessageLimit() {
    MessageLimit limit;
    std::size_t bytes = 0;
    bool widened = false;
    if (!TryRecords(&limit, &bytes, &widened)) {
        return limit;
    }
    if (!widened) {
        limit.setting = "net.core.wmem_default";
    }
    limit.value =
        SystemSetting(widened ? "/proc/sys/net/core/wmem_max" : "/proc/sys/net/core/wmem_default");
    if (limit.value == 0) {
        limit.value = widened ? bytes / 2 : bytes;
    }
    return limit;
}

} // namespace

// A record must fit the send buffer: when it does not, the buffer is widened (the kernel
// doubles the value and caps it at net.core.wmem_max) and the record sent once more.
ssize_t SendMessage(int fd, const void *buffer, std::size_t size, int flags) {
    ssize_t sent = SendRecord(fd, buffer, size, flags);
    if (sent < 0 && errno == EMSGSIZE) {
        int wanted = static_cast<int>(std::min<std::size_t>(size / 2 + 64, INT32_MAX));
        if (Retry(sys.setsockopt, fd, SOL_SOCKET, SO_SNDBUF, &wanted, socklen_t{sizeof wanted}) ==
            0) {
            sent = SendRecord(fd, buffer, size, flags);
        }
    }
    return sent;
}

bool ExceedsLargestMessage(std::size_t size) {
    std::size_t largest = FindMessageLimit().largest;
    return largest > 0 && size > largest;
}

DWORD LargestPipeMessage(WCHAR *cause, DWORD capacity) {
    const MessageLimit limit = FindMessageLimit();
    if (limit.largest == 0) {
        return 0;
    }
    char text[128];
    int length =
        std::snprintf(text, sizeof text, "limited by the %s (%s is %zu)",
                      limit.bySendBuffer ? "socket send buffer" : "kernel's largest record",
                      limit.setting, limit.value);
    if ((length <= 0 || CopyToWide(text, cause, capacity) == 0) && capacity > 0) {
        cause[0] = 0; // nothing to tell, or no room to tell it
    }
    return static_cast<DWORD>(std::min<std::size_t>(limit.largest, UINT32_MAX));
}

BOOL PipeCarriesMessage(DWORD size) {
    SocketPair pair;
    if (!OpenPair(&pair)) {
        return TRUE; // cannot tell here: the write will
    }
    const char *zeroes = MapZeroes(size);
    int error = 0;
    if (zeroes != nullptr) {
        if (SendMessage(pair.sender.get(), zeroes, size, MSG_DONTWAIT) < 0) {
            error = errno;
        }
        UnmapZeroes(zeroes, size);
    }
    return !SizeCanFailSend(error);
}
