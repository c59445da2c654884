// POSIX: the subset of the Win32 API that pipeword and its tools use, implemented by this
// layer with Windows' names, types, results and last-error codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <pthread.h>

// ---- Calling conventions and basic types -------------------------------------------------

#define WINAPI
#ifndef __stdcall
#define __stdcall
#endif
#ifndef __cdecl
#define __cdecl
#endif

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using LONG = std::int32_t;
using LONGLONG = std::int64_t;
using BOOL = int;
using BOOLEAN = BYTE;
using SIZE_T = std::size_t;
using WCHAR = char16_t;
using LPWSTR = WCHAR *;
using LPCWSTR = const WCHAR *;
using LPVOID = void *;
using LPCVOID = const void *;
using LPDWORD = DWORD *;
using HANDLE = void *;
using HLOCAL = void *;
using PSID = void *;
using PSECURITY_DESCRIPTOR = void *;
using SECURITY_DESCRIPTOR_CONTROL = WORD;

#define TRUE 1
#define FALSE 0

// Wide string literal: UTF-16 on both platforms.
#define WIDE(s) u##s

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using PSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES *;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES *;

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED *;

// ---- Last-error codes ---------------------------------------------------------------------

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_DISK_FULL 112u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_INVALID_NAME 123u
#define ERROR_BAD_PATHNAME 161u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_PIPE_BUSY 231u
#define ERROR_NO_DATA 232u
#define ERROR_PIPE_NOT_CONNECTED 233u
#define ERROR_MORE_DATA 234u
#define ERROR_PIPE_CONNECTED 535u
#define ERROR_NO_SYSTEM_RESOURCES 1450u
#define ERROR_UNKNOWN_REVISION 1305u
#define ERROR_INVALID_SID 1337u
#define ERROR_INVALID_ACL 1336u
#define ERROR_INVALID_ACE_CONDITION 1705u

DWORD GetLastError();
void SetLastError(DWORD code);

// ---- Local heap --------------------------------------------------------------------------

#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL memory);

// ---- High-resolution counter ---------------------------------------------------------------

BOOL QueryPerformanceFrequency(LARGE_INTEGER *frequency);
BOOL QueryPerformanceCounter(LARGE_INTEGER *count);

// ---- Slim reader/writer lock (exclusive use only) -----------------------------------------

struct SRWLOCK {
    pthread_mutex_t mutex;
};
#define SRWLOCK_INIT                                                                               \
    { PTHREAD_MUTEX_INITIALIZER }
using PSRWLOCK = SRWLOCK *;

void AcquireSRWLockExclusive(PSRWLOCK lock);
void ReleaseSRWLockExclusive(PSRWLOCK lock);

// ---- Security descriptors -----------------------------------------------------------------

#define SDDL_REVISION_1 1u
#define ACL_REVISION 2u
#define SECURITY_DESCRIPTOR_REVISION 1u

#define ACCESS_ALLOWED_ACE_TYPE 0x0u
#define ACCESS_DENIED_ACE_TYPE 0x1u

#define OBJECT_INHERIT_ACE 0x1u
#define CONTAINER_INHERIT_ACE 0x2u
#define NO_PROPAGATE_INHERIT_ACE 0x4u
#define INHERIT_ONLY_ACE 0x8u

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u

#define SE_DACL_PRESENT 0x0004u
#define SE_DACL_DEFAULTED 0x0008u
#define SE_SELF_RELATIVE 0x8000u

#define SID_REVISION 1u
#define SID_MAX_SUB_AUTHORITIES 15u

// A descriptor in one block: its parts follow the header, which holds their offsets (0 for
// a part that is absent).
struct SECURITY_DESCRIPTOR_RELATIVE {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    DWORD Owner;
    DWORD Group;
    DWORD Sacl;
    DWORD Dacl;
};

struct ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
};
using PACL = ACL *;

struct ACE_HEADER {
    BYTE AceType;
    BYTE AceFlags;
    WORD AceSize;
};
using PACE_HEADER = ACE_HEADER *;

struct ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    DWORD Mask;
    DWORD SidStart;
};
using PACCESS_ALLOWED_ACE = ACCESS_ALLOWED_ACE *;
using ACCESS_DENIED_ACE = ACCESS_ALLOWED_ACE;

struct SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
};

struct SID {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD SubAuthority[1];
};

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR *descriptor,
                                                          DWORD *size);
BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL *present, PACL *dacl,
                               BOOL *defaulted);
BOOL GetAce(PACL acl, DWORD index, LPVOID *ace);

// ---- Handles, files and named pipes --------------------------------------------------------

#define PIPE_ACCESS_INBOUND 0x1u
#define PIPE_ACCESS_OUTBOUND 0x2u
#define PIPE_ACCESS_DUPLEX 0x3u
#define PIPE_TYPE_BYTE 0x0u
#define PIPE_TYPE_MESSAGE 0x4u
#define PIPE_READMODE_BYTE 0x0u
#define PIPE_READMODE_MESSAGE 0x2u
#define PIPE_WAIT 0x0u
#define PIPE_NOWAIT 0x1u
#define PIPE_UNLIMITED_INSTANCES 255u
#define NMPWAIT_USE_DEFAULT_WAIT 0x0u
#define NMPWAIT_WAIT_FOREVER 0xffffffffu

#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u

HANDLE CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                        DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout,
                        LPSECURITY_ATTRIBUTES security);
BOOL ConnectNamedPipe(HANDLE pipe, LPOVERLAPPED overlapped);
BOOL DisconnectNamedPipe(HANDLE pipe);
BOOL FlushFileBuffers(HANDLE file);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE handle);

// Client side.
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creation, DWORD flags, HANDLE templateFile);
BOOL WaitNamedPipeW(LPCWSTR name, DWORD timeoutMilliseconds);
BOOL SetNamedPipeHandleState(HANDLE pipe, LPDWORD mode, LPDWORD maxCollection,
                             LPDWORD collectTimeout);

// ---- Threads and waiting -----------------------------------------------------------------

#define INFINITE 0xffffffffu
#define WAIT_OBJECT_0 0x0u
#define WAIT_TIMEOUT 0x102u
#define WAIT_FAILED 0xffffffffu

std::uintptr_t _beginthreadex(void *security, unsigned stackSize,
                              unsigned(__stdcall *start)(void *), void *argument,
                              unsigned initFlags, unsigned *threadId);
std::uintptr_t _beginthread(void(__cdecl *start)(void *), unsigned stackSize, void *argument);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
void Sleep(DWORD milliseconds);
