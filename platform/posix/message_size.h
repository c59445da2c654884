// Internal to the POSIX layer: how large a pipe message may be (message_size.cpp). A message
// is one socket record; the pipe ends (pipes.cpp) send each one through SendMessage, and ask
// whether it was too large only once a send has failed in a way that its size can cause.
#pragma once

#include <cstddef>

#include <sys/types.h>

// Sends a message as one record, widening the send buffer once should the record not fit it.
// As sendmsg (never SIGPIPE): the bytes sent, or -1 with errno.
ssize_t SendMessage(int fd, const void *buffer, std::size_t size, int flags);
// Whether a message of 'size' bytes is larger than the largest record that goes through;
// false where that could not be found. Tries some 25 records.
bool ExceedsLargestMessage(std::size_t size);
