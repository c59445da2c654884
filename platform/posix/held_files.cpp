// Files as they are held open: their status and identity, and the path through
// /proc/self/fd that leads to the very file a descriptor holds.
#include "platform/posix/held_files.h"

#include "platform/posix/failure_cause.h"
#include "platform/posix/layer.h"
#include "platform/posix/syscalls.h"

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>

namespace {

// Whether the /proc path 'proc' leads to the file 'opened'.
bool ProcPathLeadsTo(const char *proc, const struct stat &opened) {
    struct stat through {};
    if (Retry(sys.fstatat, AT_FDCWD, proc, &through, 0) != 0 || !SameFile(through, opened)) {
        NoteCause(ERROR_NOT_SUPPORTED, "the pipe operations need /proc mounted: they reach the "
                                       "files they checked through /proc/self/fd");
        return FailWith(ERROR_NOT_SUPPORTED);
    }
    return true;
}

} // namespace

bool StatusOf(int fd, struct stat *status) {
    return Retry(sys.fstatat, fd, "", status, AT_EMPTY_PATH) == 0;
}

bool SameFile(const struct stat &one, const struct stat &other) {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

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

bool ChangeModeOf(int fd, mode_t mode) {
    char proc[PathCapacity];
    ProcPathOf(fd, proc);
    return Retry(sys.fchmodat, AT_FDCWD, proc, mode, 0) == 0;
}

bool ProcAddressOf(int fd, const struct stat &opened, sockaddr_un *address) {
    address->sun_family = AF_UNIX;
    ProcPathOf(fd, address->sun_path);
    return ProcPathLeadsTo(address->sun_path, opened);
}

bool ProcAddressIn(int directory, const struct stat &opened, const char *file,
                   sockaddr_un *address) {
    address->sun_family = AF_UNIX;
    std::size_t size = ProcPathOf(directory, address->sun_path);
    std::size_t fileSize = std::strlen(file);
    if (size + 1 + fileSize >= PathCapacity) {
        return FailWith(ERROR_FILENAME_EXCED_RANGE);
    }
    if (!ProcPathLeadsTo(address->sun_path, opened)) {
        return false;
    }
    address->sun_path[size] = '/';
    std::memcpy(address->sun_path + size + 1, file, fileSize + 1);
    return true;
}
