// The system calls of the POSIX layer, through one table of function pointers: every call on
// a socket or a file (opening, reading, writing, status, modes, locks, removal, closing), the
// layer's mappings, the heap blocks it hands out (LocalAlloc, thread objects, the console's
// long lines) and thread creation, so that a test can put a failing or interrupted call in
// any slot and see what the layer makes of it. Outside the table: signals, clocks and sleeps,
// process and user ids, mutexes and condition variables, and the C++ strings and vectors of
// the UTF conversions, the descriptor parser and the entry's argument vector. The table is
// plain static data: constant-initialised and trivially destructible, so it is valid from
// the first instruction to the last, exit handlers included.
#pragma once

#include <cerrno>
#include <cstddef>
#include <type_traits>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

struct SystemCalls {
    // Made once, never again after EINTR: Linux has closed the descriptor by then.
    int (*close)(int fd);
    ssize_t (*read)(int fd, void *buffer, std::size_t size);
    ssize_t (*write)(int fd, const void *buffer, std::size_t size);
    int (*socket)(int domain, int type, int protocol);
    int (*socketpair)(int domain, int type, int protocol, int *fds);
    int (*bind)(int fd, const sockaddr *address, socklen_t size);
    int (*listen)(int fd, int backlog);
    int (*accept4)(int fd, sockaddr *address, socklen_t *size, int flags);
    int (*connect)(int fd, const sockaddr *address, socklen_t size);
    ssize_t (*recvmsg)(int fd, msghdr *message, int flags);
    ssize_t (*sendmsg)(int fd, const msghdr *message, int flags);
    int (*setsockopt)(int fd, int level, int option, const void *value, socklen_t size);
    int (*getsockopt)(int fd, int level, int option, void *value, socklen_t *size);
    int (*ioctl)(int fd, unsigned long request, int *value);
    int (*poll)(pollfd *fds, nfds_t count, int timeout);
    int (*epoll_create1)(int flags);
    int (*epoll_ctl)(int epoll, int operation, int fd, epoll_event *event);
    int (*epoll_wait)(int epoll, epoll_event *events, int count, int timeout);
    // fcntl with a lock record (F_OFD_SETLK, F_OFD_GETLK), and with a number (F_GETFL, F_SETFL).
    int (*lock)(int fd, int command, struct flock *lock);
    int (*fcntl)(int fd, int command, int value);
    int (*openat)(int directory, const char *path, int flags, mode_t mode);
    int (*mkdirat)(int directory, const char *path, mode_t mode);
    int (*fstatat)(int directory, const char *path, struct stat *status, int flags);
    int (*fchmod)(int fd, mode_t mode);
    int (*fchmodat)(int directory, const char *path, mode_t mode, int flags);
    int (*unlinkat)(int directory, const char *path, int flags);
    ssize_t (*readlinkat)(int directory, const char *path, char *target, std::size_t size);
    void *(*mmap)(void *address, std::size_t size, int protection, int flags, int fd, off_t offset);
    int (*munmap)(void *address, std::size_t size);
    void *(*mremap)(void *address, std::size_t size, std::size_t newSize, int flags);
    void *(*malloc)(std::size_t size);
    void *(*calloc)(std::size_t count, std::size_t size);
    void (*free)(void *block);
    // Returns 0 or an error number, as pthread_create does.
    int (*pthread_create)(pthread_t *thread, const pthread_attr_t *attributes,
                          void *(*start)(void *), void *argument);
};

static_assert(std::is_trivially_destructible_v<SystemCalls>);

extern constinit SystemCalls sys;

// Makes a call that reports failure as -1 with errno, and makes it again for as long as it
// fails with EINTR: a signal never fails a layer operation. (Allocation and thread creation
// never report EINTR, so they are called directly.)
template <typename Result, typename... Parameters, typename... Arguments>
Result Retry(Result (*call)(Parameters...), Arguments... arguments) {
    Result result;
    do {
        result = call(arguments...);
    } while (result == -1 && errno == EINTR);
    return result;
}
