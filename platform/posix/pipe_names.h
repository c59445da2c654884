// Internal to the POSIX layer: where the socket file of a Win32 pipe name lives
// (pipe_names.cpp). \\.\pipe\NAME is a socket at DIR/NAME, where DIR is $PIPEWORD_PIPE_DIR
// (a named directory) or else the shared default, /tmp/.pipe; beside it, NAME.lock is the
// name's lock file (name_lock.cpp).
#pragma once

#include "platform/posix/win32.h"

#include <cstddef>
#include <string_view>

#include <sys/un.h>

constexpr std::size_t PathCapacity = sizeof(sockaddr_un{}.sun_path);

// The shared pipe directory, used when PIPEWORD_PIPE_DIR names none.
constexpr std::string_view DefaultDirectory = "/tmp/.pipe";

// Checks a Win32 pipe name, \\.\pipe\NAME with the prefix in any case, and writes the socket
// path for NAME; fails with the code Windows gives a malformed name.
bool SocketPathFor(LPCWSTR name, char (&path)[PathCapacity]);

// NAME, the last component of a socket path.
const char *FileNameOf(const char *socketPath);

// The socket path's directory: "/NAME" lives in "/".
void DirectoryOf(const char *socketPath, char (&directory)[PathCapacity]);

// NAME.lock, the lock file's name beside the socket file NAME.
constexpr char LockSuffix[] = ".lock";
constexpr std::size_t LockNameCapacity = PathCapacity + sizeof LockSuffix - 1;
void LockNameFor(const char *file, char (&lockName)[LockNameCapacity]);
