#include "platform/posix/layer.h"

#include <mutex>
#include <unordered_set>

namespace {

// Leaked on purpose: a worker may still use the registry while the process exits, so it
// must never be destroyed.
struct Registry {
    std::mutex mutex;
    std::unordered_set<HandleObject *> live;
};

Registry &TheRegistry() {
    static Registry *registry = new Registry;
    return *registry;
}

} // namespace

HANDLE RegisterHandle(HandleObject *object) {
    Registry &registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.mutex);
    registry.live.insert(object);
    return object;
}

HandleObject *LookUpHandle(HANDLE handle, HandleKind kind, HandleKind otherKind) {
    Registry &registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.mutex);
    auto *object = static_cast<HandleObject *>(handle);
    if (registry.live.count(object) == 0 || (object->kind != kind && object->kind != otherKind)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

HandleObject *LookUpHandle(HANDLE handle, HandleKind kind) {
    return LookUpHandle(handle, kind, kind);
}

bool UnregisterHandle(HANDLE handle) {
    Registry &registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.mutex);
    return registry.live.erase(static_cast<HandleObject *>(handle)) != 0;
}

BOOL CloseHandle(HANDLE handle) {
    if (!UnregisterHandle(handle)) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    auto *object = static_cast<HandleObject *>(handle);
    return object->close(object);
}
