// Internal to the POSIX layer: a server's hold on its name from CreateNamedPipeW to
// CloseHandle (server_name.cpp), in the steps that make and remove its files, each recorded
// for the exit and signal handlers that remove the files of the servers still open when the
// process ends. The pipe unit (pipes.cpp) takes these steps; they call the name's lock
// (name_lock.cpp) and socket file (pipe_sockets.cpp) for each file, which never call back.
#pragma once

#include "platform/posix/name_lock.h"
#include "platform/posix/pipe_sockets.h"

// Takes the server's name in its open pipe directory: from here on the end of the process
// removes the name's files. Fails as LockName does.
bool TakeName(ServerName *name);
// A socket bound to the taken name and listening; -1 on failure.
int ListenOnName(ServerName *name);
// Removes the server's socket file and then its lock file, and closes what it held of the
// name. Once the process is ending the exit or signal handler does that instead.
void ReleaseName(ServerName *name);
