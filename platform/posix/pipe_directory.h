// Internal to the POSIX layer: opening the pipe directory of a socket path along a trusted
// way, and judging whether it fits a server or a client (pipe_directory.cpp). Every function
// that fails sets the last-error code, and notes the cause where the code alone does not tell.
#pragma once

#include <sys/stat.h>

// The pipe directory, open as an O_PATH descriptor (which needs no permission on the
// directory itself), what it was when it was checked, and whether it is a named one: any
// directory but the default, /tmp/.pipe, which is told by the walk that led to it.
struct Directory {
    int fd = -1;
    struct stat status {};
    bool named = false;
};

// Opens (or makes) the pipe directory of a socket path, if it is fit to serve from.
bool OpenServerDirectory(const char *socketPath, Directory *directory);
// Opens the pipe directory of a socket path for a client, if it is fit to trust.
bool OpenClientDirectory(const char *socketPath, Directory *directory);
