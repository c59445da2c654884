// Internal to the POSIX layer: handle objects and the mappings they live in, the errno
// mapping, UTF conversions, the kernel's settings, and the socket mode of a security
// descriptor.
#pragma once

#include "platform/posix/win32.h"
#include "platform/utf.h"

#include <cstddef>
#include <new>
#include <string>

#include <sys/types.h>

// Every HANDLE the layer gives out points at one of these. The registry lets a stale or
// foreign handle fail with ERROR_INVALID_HANDLE instead of being dereferenced.
enum class HandleKind { Thread, PipeServer, PipeClient };

struct HandleObject {
    HandleKind kind;
    // Releases the object when its handle is closed; returns the CloseHandle result.
    BOOL (*close)(HandleObject *object);
    // Links in the registry of live handles, which is kept without allocating so that
    // opening a pipe or starting a thread costs no heap memory.
    HandleObject *registryNext = nullptr;
    HandleObject *registryPrevious = nullptr;
};

HANDLE RegisterHandle(HandleObject *object);
// The live object behind a handle if it is of one of the given kinds; otherwise null with
// ERROR_INVALID_HANDLE set.
HandleObject *LookUpHandle(HANDLE handle, HandleKind kind);
HandleObject *LookUpHandle(HANDLE handle, HandleKind kind, HandleKind otherKind);
// Removes a handle from the registry; false when it was not registered.
bool UnregisterHandle(HANDLE handle);

// The layer's own objects (exit slots, pipe ends) live in mappings of their own rather than
// on the heap: the program's worker allocates nothing once its security record is built, and
// creating and closing its pipe falls in that stretch. MapObjectPages fails with
// ERROR_NOT_ENOUGH_MEMORY.
void *MapObjectPages(std::size_t size);
void UnmapObjectPages(void *object, std::size_t size);

template <typename Object> Object *MapObject() {
    void *region = MapObjectPages(sizeof(Object));
    return region != nullptr ? new (region) Object : nullptr;
}

template <typename Object> void UnmapObject(Object *object) {
    object->~Object();
    UnmapObjectPages(object, sizeof(Object));
}

// A number that /proc/sys tells, such as net.core.wmem_max at /proc/sys/net/core/wmem_max;
// 0 where it does not.
std::size_t SystemSetting(const char *path);

// Sleeps for up to 'nanoseconds' (less than a second) before a check is made again: an early
// wake-up only means an early re-check.
void Pause(long nanoseconds);

// The access rights that let a handle read, and write, a pipe.
constexpr DWORD FileReadData = 0x1u;
constexpr DWORD FileWriteData = 0x2u;
constexpr DWORD GrantsRead = GENERIC_READ | GENERIC_ALL | FileReadData;
constexpr DWORD GrantsWrite = GENERIC_WRITE | GENERIC_ALL | FileWriteData;

// The mode of a pipe's socket file for a security record (sddl.cpp): 0666 when it lets
// Everyone or Authenticated Users write, else 0600. False, with the last-error code set, for
// a descriptor that cannot be read.
bool SocketModeFor(const SECURITY_ATTRIBUTES *security, mode_t *mode);

// The one place where errno values become Win32 last-error codes (errors.cpp): the table,
DWORD Win32ErrorFromErrno(int error);
// and the calls whose failures mean something more particular. Where the code depends on
// more than errno (the state of a name's lock, what is in the pipe directory), the caller
// passes that in, looking only when the predicate beside says it matters.
DWORD Win32ErrorFromReceive(int error);
DWORD Win32ErrorFromSend(int error, bool tooLarge);
bool SizeCanFailSend(int error);
bool NoListener(int error);
DWORD Win32ErrorFromConnect(int error, bool serverLives);
DWORD Win32ErrorFromHangUp(int socketError, int unread);
bool NotPermitted(int error);
DWORD Win32ErrorFromOpenLock(int error, bool serverLives);
DWORD Win32ErrorFromLock(int error);
bool NotADirectory(int error);
DWORD Win32ErrorFromOpenDirectory(int error, bool occupied, DWORD missing);
DWORD Win32ErrorFromLookup(int error, DWORD missing);
DWORD Win32ErrorFromWorkingDirectory(int error);
// Sets the last-error code from errno and returns FALSE, for the common failure path.
BOOL FailWithErrno(int error);
BOOL FailWith(DWORD code);
