/* What another local user can do to the way to a pipe, at any moment of a client's run.
 *
 *   look_alike serve SOCKET...   listens on each SOCKET path and answers every client's
 *                                request with the word "Fake" (UTF-16LE, with its NUL),
 *                                until killed
 *   look_alike swap A B [C D]... exchanges each pair of entries (renameat2 RENAME_EXCHANGE)
 *                                over and over, until killed
 *
 * Both print "ready" on standard output once they are at work. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

enum { MostSockets = 8 };

static int Serve(int count, char **paths) {
    static const char fake[] = {'F', 0, 'a', 0, 'k', 0, 'e', 0, 0, 0};
    struct pollfd listeners[MostSockets];
    if (count > MostSockets) {
        fprintf(stderr, "look_alike: at most %d sockets\n", MostSockets);
        return 2;
    }
    for (int i = 0; i < count; ++i) {
        struct sockaddr_un address = {.sun_family = AF_UNIX};
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0 || strlen(paths[i]) >= sizeof address.sun_path) {
            perror("look_alike: socket");
            return 2;
        }
        strcpy(address.sun_path, paths[i]);
        unlink(paths[i]);
        if (bind(fd, (struct sockaddr *)&address, sizeof address) != 0 || listen(fd, 16) != 0) {
            fprintf(stderr, "look_alike: %s: %s\n", paths[i], strerror(errno));
            return 2;
        }
        listeners[i] = (struct pollfd){.fd = fd, .events = POLLIN};
    }
    puts("ready");
    fflush(stdout);
    for (;;) {
        if (poll(listeners, (nfds_t)count, -1) < 0) {
            continue;
        }
        for (int i = 0; i < count; ++i) {
            if ((listeners[i].revents & POLLIN) == 0) {
                continue;
            }
            int client = accept(listeners[i].fd, NULL, NULL);
            if (client < 0) {
                continue;
            }
            char request[4096];
            /* A client that refuses this server closes at once; one that trusts it writes. */
            if (recv(client, request, sizeof request, 0) >= 0) {
                send(client, fake, sizeof fake, MSG_NOSIGNAL);
            }
            close(client);
        }
    }
}

static int Swap(int count, char **paths) {
    if (count < 2 || count % 2 != 0) {
        fputs("look_alike: swap takes pairs of paths\n", stderr);
        return 2;
    }
    for (int i = 0; i < count; i += 2) {
        if (renameat2(AT_FDCWD, paths[i], AT_FDCWD, paths[i + 1], RENAME_EXCHANGE) != 0) {
            fprintf(stderr, "look_alike: %s, %s: %s\n", paths[i], paths[i + 1], strerror(errno));
            return 2;
        }
    }
    puts("ready");
    fflush(stdout);
    for (;;) {
        for (int i = 0; i < count; i += 2) {
            renameat2(AT_FDCWD, paths[i], AT_FDCWD, paths[i + 1], RENAME_EXCHANGE);
        }
    }
}

int main(int argc, char **argv) {
    if (argc >= 3 && strcmp(argv[1], "serve") == 0) {
        return Serve(argc - 2, argv + 2);
    }
    if (argc >= 3 && strcmp(argv[1], "swap") == 0) {
        return Swap(argc - 2, argv + 2);
    }
    fputs("usage: look_alike serve SOCKET... | look_alike swap A B [C D]...\n", stderr);
    return 2;
}
