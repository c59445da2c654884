// Internal to the POSIX layer: the lock that keeps a pipe name to one live server, and what
// a server holds of its name (name_lock.cpp). Every function that fails sets the last-error
// code.
#pragma once

#include "platform/posix/pipe_directory.h"
#include "platform/posix/pipe_names.h"

#include <sys/types.h>

struct ExitSlot;

// What a server holds of its name, from CreateNamedPipeW to CloseHandle.
struct ServerName {
    int lockFile = -1;
    bool locked = false; // byte 0 of lockFile, which is the name's lock file
    Directory directory;
    mode_t fileMode = 0600;
    ExitSlot *slot = nullptr; // its record for the exit and signal handlers (server_name.cpp)
    char path[PathCapacity] = {};
    const char *file = nullptr; // NAME, within path
};

// What is under a name in the directory, looked at without following a link.
enum class Entry {
    Missing,
    OwnSocket,     // a socket file of this process's user
    ForeignSocket, // another user's socket file
    Other,         // a symbolic link, a file, a directory: never a pipe
    Unknown,       // could not be told; the last-error code says why
};
Entry Inspect(int directory, const char *file);
// Whether a server may go on with the name given what is under it: nothing, or a socket
// file of its own user's. Another user's socket, live or stale, is never removed: the name
// is busy (ERROR_PIPE_BUSY), as for a live server. Anything else is not a pipe at all
// (ERROR_ACCESS_DENIED).
bool NameUsable(Entry entry, const ServerName &name);

// Takes the name, making or reclaiming its lock file: fails with ERROR_PIPE_BUSY while
// another live server has it.
bool LockName(ServerName *name);
// The server listens for a client, and then no longer does.
bool StartListening(const ServerName &name);
void EndListening(const ServerName &name);
// Removes the lock file of NAME, which this process holds locked as 'lock', if it is still
// the one under the name: the last step of a server on its name, after which another server
// may take it. Only async-signal-safe calls, and the last-error code is left alone: the exit
// and signal handlers call it too.
void RemoveOwnLock(int directory, const char *file, int lock);

// What a client can see of the server of a name.
enum class ServerState {
    None,      // no live server
    Busy,      // a live server, serving a client or between two
    Listening, // a live server, waiting for a client
    Unseen,    // another user's socket, whose lock cannot be read
};
ServerState ServerStateOf(int directory, const char *file);
// Whether a live server has the name, as far as this user can see (false for another user's
// lock file, which it cannot open).
bool ServerLives(int directory, const char *file);
