/* The exchange of the benchmark's minimal C servers: the same exchange as pipeword on the
 * same socket, with the same console lines, done the cheapest way there is. It makes the
 * socket, takes one client, reads the request, sends the reply and waits until the client
 * has read it. Plain C and libc only.
 *
 * The socket is $PIPEWORD_PIPE_DIR/SamplePipe (default /tmp/.pipe/SamplePipe), an AF_UNIX
 * SOCK_SEQPACKET socket; one record is one message. The request is taken whole and shown
 * in pieces of at most 2048 bytes, the reply is UTF-16LE with its NUL, as one record.
 */
#define _GNU_SOURCE
#include "minimal_exchange.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <linux/sockios.h>

enum { PieceSize = 2048 };

static char socketPath[sizeof(((struct sockaddr_un *)0)->sun_path)];

/* Appends one UTF-16 code point as UTF-8. */
static size_t PutUtf8(unsigned long point, char *out) {
    if (point < 0x80) {
        out[0] = (char)point;
        return 1;
    }
    if (point < 0x800) {
        out[0] = (char)(0xC0 | point >> 6);
        out[1] = (char)(0x80 | (point & 0x3F));
        return 2;
    }
    if (point < 0x10000) {
        out[0] = (char)(0xE0 | point >> 12);
        out[1] = (char)(0x80 | (point >> 6 & 0x3F));
        out[2] = (char)(0x80 | (point & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | point >> 18);
    out[1] = (char)(0x80 | (point >> 12 & 0x3F));
    out[2] = (char)(0x80 | (point >> 6 & 0x3F));
    out[3] = (char)(0x80 | (point & 0x3F));
    return 4;
}

/* A request piece as pipeword shows it: UTF-16LE up to the first NUL or the last whole code
 * unit, control characters as U+FFFD, ill-formed surrogates as U+FFFD. */
static size_t ShowPiece(const unsigned char *bytes, size_t length, char *out) {
    size_t units = length / 2;
    size_t used = 0;
    for (size_t i = 0; i < units; ++i) {
        unsigned long unit = bytes[2 * i] | (unsigned long)bytes[2 * i + 1] << 8;
        if (unit == 0) {
            break;
        }
        if (unit < 0x20 || unit == 0x7F) {
            unit = 0xFFFD;
        } else if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units) {
            unsigned long low = bytes[2 * i + 2] | (unsigned long)bytes[2 * i + 3] << 8;
            if (low >= 0xDC00 && low < 0xE000) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            } else {
                unit = 0xFFFD;
            }
        } else if (unit >= 0xD800 && unit < 0xE000) {
            unit = 0xFFFD;
        }
        used += PutUtf8(unit, out + used);
    }
    out[used] = 0;
    return used;
}

void Line(const char *format, ...) {
    char text[PieceSize * 3 / 2 + 128];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length > (int)sizeof text - 1) {
        length = (int)sizeof text - 1;
    }
    for (int done = 0; done < length;) {
        ssize_t written = write(STDOUT_FILENO, text + done, (size_t)(length - done));
        if (written <= 0 && errno != EINTR) {
            return;
        }
        done += written > 0 ? (int)written : 0;
    }
}

void RemoveSocketFile(void) {
    if (socketPath[0] != 0) {
        unlink(socketPath);
    }
}

static int Fail(const char *what) {
    Line("%s failed w/err %d\n", what, errno);
    RemoveSocketFile();
    return 0;
}

const char *ReplyWord(int argc, char *argv[]) {
    return argc == 1                          ? "Start"
           : strcmp(argv[1], "Stop") == 0     ? "CorvaneStop"
           : strcmp(argv[1], "Continue") == 0 ? "CorvaneContinue"
                                              : NULL;
}

int ServeOneClient(const char *word) {
    const char *directory = getenv("PIPEWORD_PIPE_DIR");
    if (directory == NULL || directory[0] == 0) {
        directory = "/tmp/.pipe";
    }
    if (mkdir(directory, 01777) == 0) {
        chmod(directory, 01777);
    }
    struct sockaddr_un address = {.sun_family = AF_UNIX};
    if (snprintf(address.sun_path, sizeof address.sun_path, "%s/SamplePipe", directory) >=
        (int)sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return Fail("socket path");
    }
    int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    int on = 1;
    /* Credentials on every record tell an empty request from a client that went away. */
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        fchmod(listener, 0666) != 0) {
        return Fail("socket");
    }
    if (bind(listener, (struct sockaddr *)&address, sizeof address) != 0) {
        /* A socket file left by a server that was killed. */
        if (errno != EADDRINUSE || unlink(address.sun_path) != 0 ||
            bind(listener, (struct sockaddr *)&address, sizeof address) != 0) {
            return Fail("bind");
        }
    }
    memcpy(socketPath, address.sun_path, sizeof socketPath);
    if (listen(listener, 0) != 0) {
        return Fail("listen");
    }
    Line("The named pipe (\\\\.\\pipe\\SamplePipe) is created.\n");
    Line("Waiting for the client's connection...\n");

    int client = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
    if (client < 0) {
        return Fail("accept");
    }
    close(listener);
    Line("Client is connected.\n");

    /* Peek at the record's length, then take it whole. */
    unsigned char small[PieceSize];
    unsigned char *request = small;
    char control[CMSG_SPACE(sizeof(struct ucred))];
    struct iovec none = {small, 0};
    struct msghdr header = {.msg_iov = &none,
                            .msg_iovlen = 1,
                            .msg_control = control,
                            .msg_controllen = sizeof control};
    ssize_t length = recvmsg(client, &header, MSG_PEEK | MSG_TRUNC);
    if (length < 0 || (length == 0 && CMSG_FIRSTHDR(&header) == NULL)) {
        return Fail("read");
    }
    if ((size_t)length > sizeof small && (request = malloc((size_t)length)) == NULL) {
        return Fail("read");
    }
    length = recv(client, request, (size_t)length, 0);
    if (length < 0) {
        return Fail("read");
    }
    size_t offset = 0;
    do {
        size_t piece = (size_t)length - offset < PieceSize ? (size_t)length - offset : PieceSize;
        char shown[PieceSize * 3 / 2 + 1];
        ShowPiece(request + offset, piece, shown);
        Line("Receive %zu bytes from client: \"%s\"\n", piece, shown);
        offset += piece;
    } while (offset < (size_t)length);

    if (word != NULL) {
        unsigned char reply[64];
        size_t bytes = 0;
        for (const char *c = word;; ++c) {
            reply[bytes++] = (unsigned char)*c;
            reply[bytes++] = 0;
            if (*c == 0) {
                break;
            }
        }
        ssize_t sent = send(client, reply, bytes, MSG_NOSIGNAL);
        if (sent < 0) {
            return Fail("write");
        }
        Line("Send %zd bytes to client: \"%s\"\n", sent, word);
        /* Until the client has read the reply: the queue drains, or the client hangs up. */
        for (;;) {
            int unread = 0;
            if (ioctl(client, SIOCOUTQ, &unread) != 0 || unread == 0) {
                break;
            }
            struct pollfd peer = {client, POLLRDHUP, 0};
            struct timespec check = {0, 100000};
            if (ppoll(&peer, 1, &check, NULL) > 0) {
                break;
            }
        }
    }
    close(client);
    return 1;
}
