// Internal to the POSIX layer: what the pipe unit (pipes.cpp) needs from the pipe directory
// (pipe_directory.cpp), which turns pipe names into socket files, keeps each name to one live
// server, and decides which files and servers of other users may be trusted. Every function
// that fails sets the last-error code.
#pragma once

#include "platform/posix/win32.h"

#include <cstddef>

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>

constexpr std::size_t PathCapacity = sizeof(sockaddr_un{}.sun_path);

// The pipe directory, open as an O_PATH descriptor (which needs no permission on the
// directory itself), what it was when it was checked, and whether it is a named one: any
// directory but the default, /tmp/.pipe, which is told by what it is, not by its path.
struct Directory {
    int fd = -1;
    struct stat status {};
    bool named = false;
};

struct ExitSlot;

// What a server holds of its name, from CreateNamedPipeW to CloseHandle.
struct ServerName {
    int lockFile = -1;
    bool locked = false; // byte 0 of lockFile, which is the name's lock file
    Directory directory;
    mode_t fileMode = 0600;
    ExitSlot *slot = nullptr; // its record for the exit and signal handlers (pipe_exit.cpp)
    char path[PathCapacity] = {};
    const char *file = nullptr; // NAME, within path
};

// Checks a Win32 pipe name, \\.\pipe\NAME with the prefix in any case, and writes the socket
// path for NAME.
bool SocketPathFor(LPCWSTR name, char (&path)[PathCapacity]);

// NAME, the last component of a socket path.
const char *FileNameOf(const char *socketPath);

// ---- The server's side ---------------------------------------------------------------------
// The steps that make and remove a server's files are taken by pipe_exit.cpp, in the order
// written out there, so that the exit and signal handlers always know what there is to
// remove. Nothing here calls back into it.

// Opens (or makes) the pipe directory of a socket path, if it is fit to serve from.
bool OpenServerDirectory(const char *socketPath, Directory *directory);
// Takes the name, making or reclaiming its lock file: fails with ERROR_PIPE_BUSY while
// another live server has it.
bool LockName(ServerName *name);
// A socket bound to the name and listening, its lock saying so; -1 on failure.
int BindName(const ServerName *name);
// The server has its client: the name no longer says that it listens.
void EndListening(const ServerName *name);
// Removes the server's socket file, if the name still holds one of this user's; then the
// lock file of the name, which this process holds locked as 'lock', if it is still the one
// under the name. Only async-signal-safe calls, and the last-error code is left alone: the
// exit and signal handlers call them too.
void RemoveOwnSocket(int directory, const char *file);
void RemoveOwnLock(int directory, const char *file, int lock);

// ---- The client's side -----------------------------------------------------------------

// Opens the pipe directory of a socket path for a client, if it is fit to trust.
bool OpenClientDirectory(const char *socketPath, Directory *directory);
// A connection, blocking, to the socket under the name of 'path' in the open directory,
// made only to a socket file fit to be a pipe and kept only with a server this client may
// believe; -1 on failure.
int ConnectToName(const Directory &directory, const char *path);

// What a client can see of the server of a name.
enum class ServerState {
    None,      // no live server
    Busy,      // a live server, serving a client or between two
    Listening, // a live server, waiting for a client
    Unseen,    // another user's socket, whose lock cannot be read
};
ServerState ServerStateOf(int directory, const char *file);
