/* libpipeword from several threads at once, as a C program uses it: each thread gets its own
   outcome. Each connects to a socket of this user's (a plain listening socket of this
   process, which takes each connection and closes it) and closes the pipe again, then asks
   for a pipe whose name holds a symbolic link of its own: refused with ERROR_ACCESS_DENIED
   and a cause that names its link, never another thread's. */
#include <pipeword.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

enum { Threads = 8, Rounds = 400 };

static char directory[] = "/tmp/pipeword-library-test-XXXXXX";
static int failures;
static pthread_mutex_t failuresLock = PTHREAD_MUTEX_INITIALIZER;

static void fail(const char *what, const pipeword_exchange *exchange) {
    pthread_mutex_lock(&failuresLock);
    fprintf(stderr, "FAIL: %s (code %u: %s)\n", what, (unsigned)pipeword_error(exchange),
            pipeword_cause(exchange));
    ++failures;
    pthread_mutex_unlock(&failuresLock);
}

/* A listening SOCK_SEQPACKET socket at DIRECTORY/NAME. */
static int listening(const char *name) {
    struct sockaddr_un address = {.sun_family = AF_UNIX};
    snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", directory, name);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    if (fd < 0 || bind(fd, (struct sockaddr *)&address, sizeof address) != 0 ||
        listen(fd, 128) != 0) {
        perror("listening socket");
        exit(1);
    }
    return fd;
}

/* Takes each connection to the shared socket and closes it, until the socket is shut. */
static void *accepting(void *listener) {
    int fd;
    while ((fd = accept(*(int *)listener, NULL, NULL)) >= 0) {
        close(fd);
    }
    return NULL;
}

static void *asking(void *argument) {
    int number = (int)(size_t)argument;
    char link[64], pipe[64], named[64];
    snprintf(link, sizeof link, "%s/Link%d", directory, number);
    snprintf(pipe, sizeof pipe, "\\\\.\\pipe\\Link%d", number);
    snprintf(named, sizeof named, "/Link%d' is a symbolic link", number);
    pipeword_exchange *exchange = pipeword_new();
    for (int round = 0; round < Rounds; ++round) {
        if (pipeword_connect(exchange, "\\\\.\\pipe\\Shared", 10000) != PIPEWORD_WORD_RECEIVED) {
            fail("connecting to the shared socket", exchange);
        }
        pipeword_close(exchange);
        if (pipeword_ask(exchange, pipe, "Hello", 0) != PIPEWORD_ERROR ||
            pipeword_error(exchange) != 5 || strstr(pipeword_cause(exchange), named) == NULL) {
            fail(link, exchange);
        }
    }
    pipeword_free(exchange);
    return NULL;
}

int main(void) {
    if (mkdtemp(directory) == NULL || setenv("PIPEWORD_PIPE_DIR", directory, 1) != 0) {
        perror(directory);
        return 1;
    }
    int shared = listening("Shared");
    pthread_t acceptor, threads[Threads];
    pthread_create(&acceptor, NULL, accepting, &shared);
    for (int i = 0; i < Threads; ++i) {
        char link[64];
        snprintf(link, sizeof link, "%s/Link%d", directory, i);
        if (symlink("Shared", link) != 0) {
            perror(link);
            return 1;
        }
        pthread_create(&threads[i], NULL, asking, (void *)(size_t)i);
    }
    for (int i = 0; i < Threads; ++i) {
        pthread_join(threads[i], NULL);
    }
    shutdown(shared, SHUT_RDWR);
    pthread_join(acceptor, NULL);
    char command[128];
    snprintf(command, sizeof command, "rm -rf '%s'", directory);
    if (system(command) != 0) {
        fprintf(stderr, "could not remove %s\n", directory);
    }
    printf("%s: %d threads, %d rounds each\n", failures == 0 ? "ok" : "FAIL", Threads, Rounds);
    return failures == 0 ? 0 : 1;
}
