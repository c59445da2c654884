// Internal to the POSIX layer: handle objects, the errno mapping, and UTF conversions.
#pragma once

#include "platform/posix/win32.h"

#include <string>

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

// The one place where errno values become Win32 last-error codes.
DWORD Win32ErrorFromErrno(int error);
// Sets the last-error code from errno and returns FALSE, for the common failure path.
BOOL FailWithErrno(int error);
BOOL FailWith(DWORD code);

// UTF-16 <-> UTF-8. Ill-formed input (lone surrogates, invalid bytes) becomes U+FFFD.
// WriteUtf8 appends to a fixed buffer and returns the bytes that the whole text needs, so
// a caller can detect truncation; it never writes past capacity.
std::size_t WriteUtf8(const WCHAR *text, std::size_t units, char *out, std::size_t capacity);
std::string Utf16ToUtf8(const WCHAR *text);
std::u16string Utf8ToUtf16(const char *text);
