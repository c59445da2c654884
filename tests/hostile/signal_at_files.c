/* Starts the Linux build's server again and again and sends it a signal the moment a file of
 * its name appears in the pipe directory (inotify), then looks at what the run left there.
 *
 * Usage: signal_at_files SERVER DIRECTORY SIGNAL FILE RUNS
 *   SIGNAL  a number (1 SIGHUP, 2 SIGINT, 3 SIGQUIT, 15 SIGTERM)
 *   FILE    the file whose creation triggers the signal: SamplePipe.lock or SamplePipe
 * The server starts with the signal's default disposition, its output going nowhere, and
 * without core dumps. Prints one line: how many runs, how many ended by the signal
 * (status 128 + n), and how many left files in DIRECTORY (each such file is named on a line
 * of its own, and removed before the next run). Exit status 0 when every run ended by the
 * signal and none left a file, 1 when one did not, 2 on any other error. */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

static int failed(const char *what) {
    printf("%s failed: %s\n", what, strerror(errno));
    return 2;
}

static pid_t start_server(const char *server, int signal_number) {
    pid_t child = fork();
    if (child == 0) {
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        signal(signal_number, SIG_DFL);
        sigset_t all;
        sigemptyset(&all);
        sigprocmask(SIG_SETMASK, &all, NULL);
        int null = open("/dev/null", O_RDWR);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execl(server, server, "Stop", (char *)NULL);
        _exit(127);
    }
    return child;
}

/* Waits until FILE is made in the watched directory: 0, or -1 after 10 s. */
static int await_creation(int watch, const char *file) {
    char events[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
    for (;;) {
        struct pollfd ready = {watch, POLLIN, 0};
        if (poll(&ready, 1, 10000) != 1) {
            return -1;
        }
        ssize_t size = read(watch, events, sizeof events);
        if (size <= 0) {
            return -1;
        }
        for (char *at = events; at < events + size;) {
            const struct inotify_event *event = (const struct inotify_event *)at;
            if (event->len > 0 && strcmp(event->name, file) == 0) {
                return 0;
            }
            at += sizeof *event + event->len;
        }
    }
}

/* Names and removes whatever is in DIRECTORY; returns how many entries there were. */
static int files_left(const char *directory) {
    DIR *listing = opendir(directory);
    if (listing == NULL) {
        return -1;
    }
    int count = 0;
    for (struct dirent *entry; (entry = readdir(listing)) != NULL;) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        printf("left: %s\n", entry->d_name);
        unlinkat(dirfd(listing), entry->d_name, 0);
        ++count;
    }
    closedir(listing);
    return count;
}

int main(int argc, char *argv[]) {
    if (argc != 6) {
        fprintf(stderr, "usage: signal_at_files SERVER DIRECTORY SIGNAL FILE RUNS\n");
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    const char *server = argv[1];
    const char *directory = argv[2];
    int signal_number = atoi(argv[3]);
    const char *file = argv[4];
    int runs = atoi(argv[5]);
    int signalled = 0;
    int leaving = 0;
    for (int run = 0; run < runs; ++run) {
        int watch = inotify_init1(IN_CLOEXEC);
        if (watch < 0 || inotify_add_watch(watch, directory, IN_CREATE) < 0) {
            return failed("inotify");
        }
        pid_t child = start_server(server, signal_number);
        if (child < 0) {
            return failed("fork");
        }
        if (await_creation(watch, file) != 0) {
            kill(child, SIGKILL);
            waitpid(child, NULL, 0);
            printf("run %d: %s never appeared\n", run, file);
            return 2;
        }
        kill(child, signal_number);
        close(watch);
        int status = 0;
        if (waitpid(child, &status, 0) != child) {
            return failed("waitpid");
        }
        if (WIFSIGNALED(status) && WTERMSIG(status) == signal_number) {
            ++signalled;
        } else {
            printf("run %d: status %#x\n", run, status);
        }
        int left = files_left(directory);
        if (left < 0) {
            return failed("opendir");
        }
        leaving += left > 0;
    }
    printf("%d runs with signal %d at %s: %d ended by the signal, %d left files\n", runs,
           signal_number, file, signalled, leaving);
    return signalled == runs && leaving == 0 ? 0 : 1;
}
