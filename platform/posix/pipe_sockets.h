// Internal to the POSIX layer: the socket file under a pipe name (pipe_sockets.cpp), bound by
// a server and connected to by a client, beside the pipe ends that use them (pipes.cpp).
#pragma once

#include "platform/posix/name_lock.h"
#include "platform/posix/pipe_directory.h"

// A socket bound to the server's name and listening, its lock saying so; -1 on failure.
int BindName(const ServerName &name);
// Removes the server's socket file, if the name still holds one of this user's. Only
// async-signal-safe calls, and the last-error code is left alone: the exit and signal
// handlers call it too.
void RemoveOwnSocket(int directory, const char *file);
// A connection, blocking, to the socket under the name of 'path' in the open directory,
// made only to a socket file fit to be a pipe and kept only with a server this client may
// believe; -1 on failure.
int ConnectToName(const Directory &directory, const char *path);
