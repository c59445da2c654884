#include "platform/posix/syscalls.h"

#include <cstdlib>

#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Fixed-argument forms of the variadic calls.
int IoctlInt(int fd, unsigned long request, int *value) {
    return ::ioctl(fd, request, value);
}
int FcntlLock(int fd, int command, struct flock *lock) {
    return ::fcntl(fd, command, lock);
}
int FcntlInt(int fd, int command, int value) {
    return ::fcntl(fd, command, value);
}
int OpenAt(int directory, const char *path, int flags, mode_t mode) {
    return ::openat(directory, path, flags, mode);
}
void *Remap(void *address, std::size_t size, std::size_t newSize, int flags) {
    return ::mremap(address, size, newSize, flags);
}

} // namespace

constinit SystemCalls sys = {
    .close = ::close,
    .read = ::read,
    .write = ::write,
    .socket = ::socket,
    .socketpair = ::socketpair,
    .bind = ::bind,
    .listen = ::listen,
    .accept4 = ::accept4,
    .connect = ::connect,
    .recvmsg = ::recvmsg,
    .sendmsg = ::sendmsg,
    .setsockopt = ::setsockopt,
    .getsockopt = ::getsockopt,
    .ioctl = IoctlInt,
    .poll = ::poll,
    .epoll_create1 = ::epoll_create1,
    .epoll_ctl = ::epoll_ctl,
    .epoll_wait = ::epoll_wait,
    .lock = FcntlLock,
    .fcntl = FcntlInt,
    .openat = OpenAt,
    .mkdirat = ::mkdirat,
    .fstatat = ::fstatat,
    .fchmod = ::fchmod,
    .fchmodat = ::fchmodat,
    .unlinkat = ::unlinkat,
    .readlinkat = ::readlinkat,
    .mmap = ::mmap,
    .munmap = ::munmap,
    .mremap = Remap,
    .malloc = std::malloc,
    .calloc = std::calloc,
    .free = std::free,
    .pthread_create = ::pthread_create,
};
