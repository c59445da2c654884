/* A client that speaks to the Linux build's pipe socket directly, for what a Win32 client
 * cannot do: attach a file descriptor to its request, send more than one message, or come
 * with the wrong kind of socket.
 *
 * Usage: raw_client SOCKET MODE [ARG...]
 *   descriptor FILE BYTES PAUSE_MS  one request of BYTES filler bytes (the letters a to z in
 *                                   UTF-16LE, as pipeword-client --bytes) carrying an open
 *                                   descriptor of FILE; waits PAUSE_MS, then reads the reply
 *   two-messages                    "First" and "Second" (UTF-16LE with NUL) as two
 *                                   messages, then reads the reply
 *   stream | datagram               tries to reach the socket with a SOCK_STREAM or a
 *                                   SOCK_DGRAM socket and says how that ended
 * Prints one line per step; exit status 0 when it went as described, 1 when a connection of
 * the wrong kind got through or the reply did not come, 2 on any other error. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

static struct sockaddr_un address;

static int failed(const char *what) {
    printf("%s failed: %s\n", what, strerror(errno));
    return 2;
}

static int connect_seqpacket(void) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, (const struct sockaddr *)&address, sizeof address) != 0) {
        return -1;
    }
    printf("Connected\n");
    return fd;
}

/* Reads one reply message and shows it as ASCII text up to its NUL. */
static int read_reply(int fd) {
    unsigned char reply[4096];
    ssize_t got = recv(fd, reply, sizeof reply, 0);
    if (got < 0) {
        return failed("recv");
    }
    if (got == 0) {
        printf("No reply\n");
        return 1;
    }
    char text[sizeof reply / 2 + 1];
    size_t units = 0;
    for (; units * 2 + 1 < (size_t)got && reply[units * 2] != 0; ++units) {
        text[units] = (char)reply[units * 2];
    }
    text[units] = 0;
    printf("Reply %ld bytes: \"%s\"\n", (long)got, text);
    return 0;
}

static size_t utf16(const char *text, unsigned char *out) {
    size_t bytes = 0;
    do {
        out[bytes++] = (unsigned char)*text;
        out[bytes++] = 0;
    } while (*text++ != 0);
    return bytes;
}

static int with_descriptor(const char *path, long bytes, long pause_ms) {
    int attached = open(path, O_RDONLY | O_CLOEXEC);
    if (attached < 0) {
        return failed("open");
    }
    unsigned char *request = malloc(bytes > 0 ? (size_t)bytes : 1);
    if (request == NULL) {
        return failed("malloc");
    }
    for (long i = 0; i < bytes; ++i) {
        request[i] = i % 2 == 0 ? (unsigned char)('a' + (i / 2) % 26) : 0;
    }
    int fd = connect_seqpacket();
    if (fd < 0) {
        return failed("connect");
    }
    struct iovec data = {request, (size_t)bytes};
    union {
        char bytes[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } control;
    memset(&control, 0, sizeof control);
    struct msghdr message = {0};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control.bytes;
    message.msg_controllen = sizeof control.bytes;
    struct cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(header), &attached, sizeof attached);
    ssize_t sent = sendmsg(fd, &message, 0);
    free(request);
    close(attached);
    if (sent != bytes) {
        return failed("sendmsg");
    }
    printf("Sent %ld bytes with a descriptor\n", bytes);
    fflush(stdout);
    struct timespec pause = {pause_ms / 1000, (pause_ms % 1000) * 1000000};
    nanosleep(&pause, NULL);
    return read_reply(fd);
}

static int two_messages(void) {
    unsigned char first[16];
    unsigned char second[16];
    size_t first_bytes = utf16("First", first);
    size_t second_bytes = utf16("Second", second);
    int fd = connect_seqpacket();
    if (fd < 0) {
        return failed("connect");
    }
    if (send(fd, first, first_bytes, MSG_NOSIGNAL) != (ssize_t)first_bytes ||
        send(fd, second, second_bytes, MSG_NOSIGNAL) != (ssize_t)second_bytes) {
        return failed("send");
    }
    printf("Sent %zu and %zu bytes\n", first_bytes, second_bytes);
    fflush(stdout);
    return read_reply(fd);
}

static int wrong_kind(int type, const char *name) {
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return failed("socket");
    }
    int result = type == SOCK_DGRAM
                     ? (int)sendto(fd, "x", 1, 0, (const struct sockaddr *)&address, sizeof address)
                     : connect(fd, (const struct sockaddr *)&address, sizeof address);
    if (result >= 0) {
        printf("A %s socket got through\n", name);
        return 1;
    }
    printf("A %s socket is refused: %s\n", name, strerror(errno));
    return 0;
}

int main(int argc, char *argv[]) {
    if (argc < 3 || strlen(argv[1]) >= sizeof address.sun_path) {
        fprintf(stderr, "usage: raw_client SOCKET MODE [ARG...]\n");
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, argv[1]);
    const char *mode = argv[2];
    if (strcmp(mode, "descriptor") == 0 && argc == 6) {
        return with_descriptor(argv[3], atol(argv[4]), atol(argv[5]));
    }
    if (strcmp(mode, "two-messages") == 0 && argc == 3) {
        return two_messages();
    }
    if (strcmp(mode, "stream") == 0 && argc == 3) {
        return wrong_kind(SOCK_STREAM, "stream");
    }
    if (strcmp(mode, "datagram") == 0 && argc == 3) {
        return wrong_kind(SOCK_DGRAM, "datagram");
    }
    fprintf(stderr, "raw_client: unknown mode or arguments\n");
    return 2;
}
