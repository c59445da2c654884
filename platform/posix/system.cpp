// Counter, local heap, the layer's object mappings, locks, sleeps and the kernel's settings.
#include "platform/posix/layer.h"
#include "platform/posix/owned_fd.h"
#include "platform/posix/syscalls.h"

#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

BOOL QueryPerformanceFrequency(LARGE_INTEGER *frequency) {
    frequency->QuadPart = 1000000000;
    return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER *count) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    count->QuadPart = static_cast<LONGLONG>(now.tv_sec) * 1000000000 + now.tv_nsec;
    return TRUE;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    if ((flags & ~LPTR) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Like the Windows heap, a zero-byte request still yields a distinct block.
    void *block = (flags & LMEM_ZEROINIT) != 0 ? sys.calloc(1, bytes == 0 ? 1 : bytes)
                                               : sys.malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return block;
}

HLOCAL LocalFree(HLOCAL memory) {
    sys.free(memory);
    return nullptr;
}

void *MapObjectPages(std::size_t size) {
    void *region =
        sys.mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return region;
}

void UnmapObjectPages(void *object, std::size_t size) {
    sys.munmap(object, size);
}

void AcquireSRWLockExclusive(PSRWLOCK lock) {
    pthread_mutex_lock(&lock->mutex);
}

void ReleaseSRWLockExclusive(PSRWLOCK lock) {
    pthread_mutex_unlock(&lock->mutex);
}

void Sleep(DWORD milliseconds) {
    timespec delay{static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&delay, &delay) != 0) {
    }
}

void Pause(long nanoseconds) {
    timespec delay{0, nanoseconds};
    nanosleep(&delay, nullptr); // an early wake-up only means an early re-check
}

std::size_t SystemSetting(const char *path) {
    OwnedFd setting(Retry(sys.openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC, mode_t{0}));
    char text[32] = {};
    if (setting.get() < 0 || sys.read(setting.get(), text, sizeof text - 1) <= 0) {
        return 0;
    }
    return std::strtoull(text, nullptr, 10);
}
