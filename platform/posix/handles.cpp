#include "platform/posix/layer.h"

#include <pthread.h>

namespace {

// The live handles: a list threaded through the objects themselves, under one lock. Both
// are plain static data, so nothing is destroyed at exit while a worker may still use them.
// A process holds a handful of handles, so a linear search is cheap.
pthread_mutex_t registryLock = PTHREAD_MUTEX_INITIALIZER;
HandleObject *firstLive = nullptr;

// Requires registryLock.
bool IsLive(const HandleObject *object) {
    for (const HandleObject *live = firstLive; live != nullptr; live = live->registryNext) {
        if (live == object) {
            return true;
        }
    }
    return false;
}

struct RegistryHold {
    RegistryHold() { pthread_mutex_lock(&registryLock); }
    ~RegistryHold() { pthread_mutex_unlock(&registryLock); }
};

} // namespace

HANDLE RegisterHandle(HandleObject *object) {
    RegistryHold hold;
    object->registryPrevious = nullptr;
    object->registryNext = firstLive;
    if (firstLive != nullptr) {
        firstLive->registryPrevious = object;
    }
    firstLive = object;
    return object;
}

HandleObject *LookUpHandle(HANDLE handle, HandleKind kind, HandleKind otherKind) {
    RegistryHold hold;
    auto *object = static_cast<HandleObject *>(handle);
    if (!IsLive(object) || (object->kind != kind && object->kind != otherKind)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

HandleObject *LookUpHandle(HANDLE handle, HandleKind kind) {
    return LookUpHandle(handle, kind, kind);
}

bool UnregisterHandle(HANDLE handle) {
    RegistryHold hold;
    auto *object = static_cast<HandleObject *>(handle);
    if (!IsLive(object)) {
        return false;
    }
    if (object->registryPrevious != nullptr) {
        object->registryPrevious->registryNext = object->registryNext;
    } else {
        firstLive = object->registryNext;
    }
    if (object->registryNext != nullptr) {
        object->registryNext->registryPrevious = object->registryPrevious;
    }
    object->registryNext = nullptr;
    object->registryPrevious = nullptr;
    return true;
}

BOOL CloseHandle(HANDLE handle) {
    if (!UnregisterHandle(handle)) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    auto *object = static_cast<HandleObject *>(handle);
    return object->close(object);
}
