// Internal to the POSIX layer: files as they are held open (held_files.cpp), for deciding on
// what was opened rather than on what a path names by the time it is looked up again.
#pragma once

#include "platform/posix/pipe_names.h"

#include <cstddef>

#include <sys/stat.h>
#include <sys/un.h>

// The status of an open file (an O_PATH descriptor included).
bool StatusOf(int fd, struct stat *status);
// Whether two statuses are of one file.
bool SameFile(const struct stat &one, const struct stat &other);
// "/proc/self/fd/N": the open file itself, whatever its path names now; its length.
std::size_t ProcPathOf(int fd, char (&path)[PathCapacity]);
// Sets the mode of an open file (an O_PATH descriptor included, which has no fchmod) through
// its /proc/self/fd path; false, with errno set, when that fails.
bool ChangeModeOf(int fd, mode_t mode);

// Socket addresses for bind and connect, which have no *at() form: "/proc/self/fd/N" for
// the open socket file N, "/proc/self/fd/N/NAME" for NAME in the open directory N. A path
// through /proc/self/fd leads to the very file that was opened and checked ('opened'), so
// nothing swapped in under its path since is ever used. Without /proc (or with something
// else there) no path is that safe: they fail with ERROR_NOT_SUPPORTED, and say why.
bool ProcAddressOf(int fd, const struct stat &opened, sockaddr_un *address);
bool ProcAddressIn(int directory, const struct stat &opened, const char *file,
                   sockaddr_un *address);
