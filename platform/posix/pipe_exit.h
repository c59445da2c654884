// Internal to the pipe directory: the exit and signal handlers that remove the files of the
// servers still open when the process ends (pipe_exit.cpp), and what they share with the rest
// of the pipe directory (pipe_directory.cpp). ClaimExitSlot is in pipe_directory.h.
#pragma once

#include "platform/posix/pipe_directory.h"

// The server is about to make its socket file: from now on the end of the process removes
// the name's files. The first call installs the signal handlers.
void PublishExitSlot(ExitSlot *slot);
// The server is closing: frees its slot, removing its socket file first if it published it.
// False once the process is ending: a handler has the slot then and may still be removing
// the files, so the server leaves its lock file and directory alone.
bool FreeExitSlot(ServerName *name);

// Only async-signal-safe calls, and the last-error code is left alone: the exit and signal
// handlers call them (pipe_directory.cpp).
void RemoveOwnSocket(int directory, const char *file);
void RemoveOwnLock(int directory, const char *file, int lock);
