// Internal to the POSIX layer: a file descriptor with one owner, for locals.
//
// OwnedFd closes its descriptor when it goes out of scope, so that no way out of a function
// closes by hand: get() lends it, release() gives it up to the caller (to keep it past the
// scope, say in a handle object), reset(fd) closes the one held and takes another. Move-only;
// -1 when it holds none. It closes through the system-call table (sys.close) and leaves errno
// as it was, so that a failure's errno survives the cleanup. Not for shared state, which stays
// trivially destructible: no destructor may run there while the process ends.
#pragma once

#include "platform/posix/syscalls.h"

#include <cerrno>

class OwnedFd {
  public:
    OwnedFd() = default;
    explicit OwnedFd(int held) : fd(held) {}
    OwnedFd(OwnedFd &&other) noexcept : fd(other.release()) {}
    OwnedFd &operator=(OwnedFd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    OwnedFd(const OwnedFd &) = delete;
    OwnedFd &operator=(const OwnedFd &) = delete;
    ~OwnedFd() { reset(); }

    int get() const { return fd; }

    int release() {
        int held = fd;
        fd = -1;
        return held;
    }

    void reset(int replacement = -1) {
        if (fd >= 0 && fd != replacement) {
            int error = errno;
            sys.close(fd);
            errno = error;
        }
        fd = replacement;
    }

  private:
    int fd = -1;
};
