// Counter, local heap and locks.
#include "platform/posix/layer.h"
#include "platform/posix/syscalls.h"

#include <ctime>

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
