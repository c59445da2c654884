/* pwbench: what one use of a pipe server costs, measured as a launcher and a client see it.
 *
 *   pwbench [options] LABEL=PROGRAM[ ARG...] ...
 *
 * Each server is given as a label and its command line, split at spaces (so no spaces in
 * paths), for example  pipeword=build/bench/pipeword Stop . For every run the driver
 * starts the server with PIPEWORD_PIPE_DIR set to a directory of that server's own, and
 *   - ready:    from launch until the socket file SamplePipe appears (inotify);
 *   - exchange: from then until the reply has been read: connect (retried after 20 µs while
 *               the server has bound but not yet listens), send a 12-byte request ("Hello"
 *               in UTF-16LE with its NUL), read one record and check it is the expected
 *               reply; launch to reply is ready + exchange;
 *   - after:    from the reply until the server has ended and been reaped;
 *   - total:    launch to reaped; and from wait4: the server's CPU time (user + sys) and
 *               peak resident set.
 * It checks the exit status (1) and every console line of every run. The servers run in
 * interleaved rounds, the first of each round rotating, so that drift hits all alike.
 *
 * With --no-client no client comes: each run must end with status 0 and the lines of a
 * run that timed out; only the total is of interest then.
 *
 * Prints a Markdown table of medians and 90th percentiles, and the ratio of the first
 * server's medians to each other's. Exit status 0 when every run was right, 1 when any was
 * not, 2 on bad usage.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stddef.h>
#include <poll.h>
#include <signal.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

enum { MaxServers = 16, MaxArgs = 16, OutputCapacity = 16384 };
enum { ReadyTimeoutMs = 15000, ReplyTimeoutMs = 15000, ExitTimeoutMs = 30000 };

static const char SocketName[] = "SamplePipe";

struct Sample {
    double ready, exchange, word, after, total; /* milliseconds */
    double cpu;                                 /* milliseconds, user + sys */
    double rss;                                 /* MiB */
    double faults;                              /* page faults (minor and major) */
    long refused;                               /* connects refused before the server listened */
};

struct Server {
    char *label;
    char *argv[MaxArgs + 1];
    char **envp;
    char directory[PATH_MAX];
    char socketPath[sizeof(((struct sockaddr_un *)0)->sun_path)];
    int watch; /* inotify descriptor on the directory */
    struct Sample *samples;
    int count;
    int failures;
};

static struct Server servers[MaxServers];
static int serverCount;
static const char *expectedWord = "CorvaneStop";
static bool noClient;
static FILE *csv;

static double NowMs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1e3 + (double)now.tv_nsec / 1e6;
}

static void Pause(long nanoseconds) {
    struct timespec delay = {0, nanoseconds};
    nanosleep(&delay, NULL);
}

static int PidfdOpen(pid_t pid) {
    return (int)syscall(SYS_pidfd_open, pid, 0);
}

/* ---- Setting up -------------------------------------------------------------------------- */

static bool ParseServer(const char *definition, struct Server *server) {
    const char *equals = strchr(definition, '=');
    if (equals == NULL || equals == definition || equals[1] == 0) {
        return false;
    }
    server->label = strndup(definition, (size_t)(equals - definition));
    char *command = strdup(equals + 1);
    int argc = 0;
    for (char *word = strtok(command, " "); word != NULL; word = strtok(NULL, " ")) {
        if (argc == MaxArgs) {
            return false;
        }
        server->argv[argc++] = word;
    }
    server->argv[argc] = NULL;
    return argc > 0;
}

/* The driver's environment with PIPEWORD_PIPE_DIR set to the server's own directory. */
static char **EnvironmentFor(const char *directory) {
    size_t count = 0;
    while (environ[count] != NULL) {
        ++count;
    }
    char **envp = calloc(count + 2, sizeof *envp);
    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        if (strncmp(environ[i], "PIPEWORD_PIPE_DIR=", 18) != 0) {
            envp[used++] = environ[i];
        }
    }
    size_t length = strlen(directory) + 19;
    envp[used] = malloc(length);
    snprintf(envp[used], length, "PIPEWORD_PIPE_DIR=%s", directory);
    envp[used + 1] = NULL;
    return envp;
}

static bool PrepareServer(struct Server *server, const char *root, int index, int runs) {
    if (snprintf(server->directory, sizeof server->directory, "%s/%d-%s", root, index,
                 server->label) >= (int)sizeof server->directory) {
        fprintf(stderr, "pwbench: %s: path too long\n", root);
        return false;
    }
    if (mkdir(server->directory, 0700) != 0) {
        fprintf(stderr, "pwbench: mkdir %s: %s\n", server->directory, strerror(errno));
        return false;
    }
    if ((size_t)snprintf(server->socketPath, sizeof server->socketPath, "%s/%s", server->directory,
                         SocketName) >= sizeof server->socketPath) {
        fprintf(stderr, "pwbench: %s: path too long for a socket\n", server->directory);
        return false;
    }
    server->envp = EnvironmentFor(server->directory);
    server->watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (server->watch < 0 ||
        inotify_add_watch(server->watch, server->directory, IN_CREATE | IN_MOVED_TO) < 0) {
        fprintf(stderr, "pwbench: inotify: %s\n", strerror(errno));
        return false;
    }
    server->samples = calloc((size_t)runs, sizeof *server->samples);
    return server->samples != NULL;
}

static void RemoveTree(const char *root) {
    for (int i = 0; i < serverCount; ++i) {
        struct Server *server = &servers[i];
        if (server->directory[0] == 0) {
            continue;
        }
        char path[PATH_MAX + 32];
        unlink(server->socketPath);
        snprintf(path, sizeof path, "%s/%s.lock", server->directory, SocketName);
        unlink(path);
        rmdir(server->directory);
    }
    rmdir(root);
}

/* ---- One run ----------------------------------------------------------------------------- */

static void Drain(int fd, char *text, size_t *used) {
    for (;;) {
        ssize_t got = read(fd, text + *used, OutputCapacity - 1 - *used);
        if (got <= 0) {
            break;
        }
        *used += (size_t)got;
    }
    text[*used] = 0;
}

/* Whether the watch reported our socket file. */
static bool SocketCreated(int watch) {
    _Alignas(struct inotify_event) char events[4096];
    bool seen = false;
    ssize_t got;
    while ((got = read(watch, events, sizeof events)) > 0) {
        for (char *p = events; p < events + got;) {
            struct inotify_event *event = (struct inotify_event *)p;
            if (event->len > 0 && strcmp(event->name, SocketName) == 0) {
                seen = true;
            }
            p += sizeof *event + event->len;
        }
    }
    return seen;
}

/* Waits for fd to become readable or the server to end; 1 readable, 0 ended, -1 time-out. */
static int WaitReadable(int fd, int pidfd, int timeoutMs) {
    struct pollfd watched[2] = {{fd, POLLIN, 0}, {pidfd, POLLIN, 0}};
    for (;;) {
        int ready = poll(watched, 2, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return -1;
        }
        return (watched[0].revents & (POLLIN | POLLHUP)) != 0 ? 1 : 0;
    }
}

static void ExpectedOutput(char *text, size_t capacity) {
    if (noClient) {
        snprintf(text, capacity,
                 "The named pipe (\\\\.\\pipe\\SamplePipe) is created.\n"
                 "Waiting for the client's connection...\n"
                 "Server Message Send 0 \n");
        return;
    }
    snprintf(text, capacity,
             "The named pipe (\\\\.\\pipe\\SamplePipe) is created.\n"
             "Waiting for the client's connection...\n"
             "Client is connected.\n"
             "Receive 12 bytes from client: \"Hello\"\n"
             "Send %zu bytes to client: \"%s\"\n"
             "Server Message Send 1 \n",
             (strlen(expectedWord) + 1) * 2, expectedWord);
}

/* The client's part: connect as soon as the server listens, send, read the reply. */
static bool Exchange(struct Server *server, int pidfd, struct Sample *sample, const char *tag) {
    struct sockaddr_un address = {.sun_family = AF_UNIX};
    memcpy(address.sun_path, server->socketPath, sizeof address.sun_path);
    double began = NowMs();
    int fd = -1;
    for (;;) {
        fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            fprintf(stderr, "%s: socket: %s\n", tag, strerror(errno));
            return false;
        }
        if (connect(fd, (struct sockaddr *)&address, sizeof address) == 0) {
            break;
        }
        int error = errno;
        close(fd);
        /* Bound but not listening yet (refused), or a socket file replaced under us. */
        bool early = error == ECONNREFUSED || error == ENOENT || error == EAGAIN;
        struct pollfd ended = {pidfd, POLLIN, 0};
        if (!early || poll(&ended, 1, 0) != 0 || NowMs() - began > ReplyTimeoutMs) {
            fprintf(stderr, "%s: connect: %s\n", tag, strerror(error));
            return false;
        }
        ++sample->refused;
        Pause(20000);
    }
    static const unsigned char request[12] = {'H', 0, 'e', 0, 'l', 0, 'l', 0, 'o', 0, 0, 0};
    bool right = false;
    if (send(fd, request, sizeof request, MSG_NOSIGNAL) != (ssize_t)sizeof request) {
        fprintf(stderr, "%s: send: %s\n", tag, strerror(errno));
    } else if (WaitReadable(fd, pidfd, ReplyTimeoutMs) != 1) {
        fprintf(stderr, "%s: no reply\n", tag);
    } else {
        unsigned char reply[4096];
        ssize_t got = recv(fd, reply, sizeof reply, 0);
        unsigned char expected[128];
        size_t length = 0;
        for (const char *c = expectedWord; length + 2 <= sizeof expected; ++c) {
            expected[length++] = (unsigned char)*c;
            expected[length++] = 0;
            if (*c == 0) {
                break;
            }
        }
        if (got < 0) {
            fprintf(stderr, "%s: recv: %s\n", tag, strerror(errno));
        } else if ((size_t)got != length || memcmp(reply, expected, length) != 0) {
            fprintf(stderr, "%s: the reply was %zd bytes, not the %zu bytes of \"%s\"\n", tag, got,
                    length, expectedWord);
        } else {
            right = true;
        }
    }
    close(fd);
    return right;
}

static bool RunOnce(struct Server *server, int round, struct Sample *sample) {
    char tag[96];
    snprintf(tag, sizeof tag, "pwbench: %s, round %d", server->label, round);
    *sample = (struct Sample){0};
    SocketCreated(server->watch); /* forget earlier events */
    if (unlink(server->socketPath) == 0) {
        fprintf(stderr, "%s: removed a socket file left by the previous run\n", tag);
    }
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        fprintf(stderr, "%s: pipe: %s\n", tag, strerror(errno));
        return false;
    }

    double launched = NowMs();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(output[1], STDOUT_FILENO);
        execve(server->argv[0], server->argv, server->envp);
        _exit(127);
    }
    close(output[1]);
    if (pid < 0) {
        fprintf(stderr, "%s: fork: %s\n", tag, strerror(errno));
        close(output[0]);
        return false;
    }
    fcntl(output[0], F_SETFL, O_NONBLOCK);
    int pidfd = PidfdOpen(pid);
    bool right = pidfd >= 0;
    if (!right) {
        fprintf(stderr, "%s: pidfd_open: %s\n", tag, strerror(errno));
    }

    double ready = launched;
    if (right) {
        int state;
        while ((state = WaitReadable(server->watch, pidfd, ReadyTimeoutMs)) == 1 &&
               !SocketCreated(server->watch)) {
        }
        ready = NowMs();
        if (state != 1) {
            fprintf(stderr, "%s: the server %s before its socket appeared\n", tag,
                    state == 0 ? "ended" : "took too long");
            right = false;
        }
    }
    double replied = ready;
    if (right && !noClient) {
        right = Exchange(server, pidfd, sample, tag);
        replied = NowMs();
    }

    /* Reap it: within the time-out, or after killing it. */
    struct pollfd ended = {pidfd, POLLIN, 0};
    int waited = pidfd >= 0 ? poll(&ended, 1, ExitTimeoutMs) : 0;
    if (waited <= 0) {
        fprintf(stderr, "%s: the server did not end; killing it\n", tag);
        kill(pid, SIGKILL);
        right = false;
    }
    int status = 0;
    struct rusage usage;
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    double exited = NowMs();
    if (pidfd >= 0) {
        close(pidfd);
    }

    char text[OutputCapacity];
    size_t used = 0;
    Drain(output[0], text, &used);
    close(output[0]);
    int wanted = noClient ? 0 : 1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != wanted) {
        fprintf(stderr, "%s: exit status %d (%s), expected %d\n", tag,
                WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status),
                WIFEXITED(status) ? "exit" : "signal", wanted);
        right = false;
    }
    char expected[1024];
    ExpectedOutput(expected, sizeof expected);
    if (strcmp(text, expected) != 0) {
        fprintf(stderr, "%s: console lines differ; expected:\n%s---- got:\n%s----\n", tag, expected,
                text);
        right = false;
    }

    sample->ready = ready - launched;
    sample->exchange = replied - ready;
    sample->word = replied - launched;
    sample->after = exited - replied;
    sample->total = exited - launched;
    sample->cpu = (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                  (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    sample->rss = (double)usage.ru_maxrss / 1024.0;
    sample->faults = (double)(usage.ru_minflt + usage.ru_majflt);
    return right;
}

/* ---- Figures ----------------------------------------------------------------------------- */

static int CompareDoubles(const void *left, const void *right) {
    double a = *(const double *)left, b = *(const double *)right;
    return (a > b) - (a < b);
}

/* The q-quantile by linear interpolation between the closest ranks. */
static double Quantile(const struct Sample *samples, int count, size_t offset, double q) {
    if (count == 0) {
        return 0.0;
    }
    double *values = malloc((size_t)count * sizeof *values);
    for (int i = 0; i < count; ++i) {
        values[i] = *(const double *)((const char *)&samples[i] + offset);
    }
    qsort(values, (size_t)count, sizeof *values, CompareDoubles);
    double position = q * (count - 1);
    int below = (int)position;
    double fraction = position - below;
    double value = below + 1 < count
                       ? values[below] + fraction * (values[below + 1] - values[below])
                       : values[below];
    free(values);
    return value;
}

static void PrintTable(void) {
    static const struct {
        const char *name;
        size_t offset;
        const char *format;
    } figures[] = {
        {"launch to pipe ready, ms", offsetof(struct Sample, ready), "%.3f"},
        {"exchange (connect to reply), ms", offsetof(struct Sample, exchange), "%.3f"},
        {"launch to reply (the client has its word), ms", offsetof(struct Sample, word), "%.3f"},
        {"reply to exit, ms", offsetof(struct Sample, after), "%.3f"},
        {"**total, ms**", offsetof(struct Sample, total), "%.3f"},
        {"server CPU (user+sys), ms", offsetof(struct Sample, cpu), "%.2f"},
        {"peak RSS, MiB", offsetof(struct Sample, rss), "%.2f"},
        {"page faults", offsetof(struct Sample, faults), "%.0f"},
    };
    printf("| median / p90 |");
    for (int s = 0; s < serverCount; ++s) {
        printf(" %s |", servers[s].label);
    }
    for (int s = 1; s < serverCount; ++s) {
        printf(" %s/%s |", servers[0].label, servers[s].label);
    }
    printf("\n|---|");
    for (int s = 1; s < 2 * serverCount; ++s) {
        printf("---:|");
    }
    printf("\n");
    for (size_t f = 0; f < sizeof figures / sizeof figures[0]; ++f) {
        if (noClient && f < 4) {
            continue;
        }
        printf("| %s |", figures[f].name);
        double first = 0.0;
        for (int s = 0; s < serverCount; ++s) {
            double median = Quantile(servers[s].samples, servers[s].count, figures[f].offset, 0.5);
            double p90 = Quantile(servers[s].samples, servers[s].count, figures[f].offset, 0.9);
            if (s == 0) {
                first = median;
            }
            if (servers[s].count == 0) {
                printf(" – |");
                continue;
            }
            printf(" ");
            printf(figures[f].format, median);
            printf(" / ");
            printf(figures[f].format, p90);
            printf(" |");
        }
        for (int s = 1; s < serverCount; ++s) {
            double median = Quantile(servers[s].samples, servers[s].count, figures[f].offset, 0.5);
            if (median > 0.0 && servers[0].count > 0) {
                printf(" %.2f× |", first / median);
            } else {
                printf(" – |");
            }
        }
        printf("\n");
    }
    if (noClient) {
        printf("\n| longest total, ms |");
        for (int s = 0; s < serverCount; ++s) {
            printf(" %.1f |", Quantile(servers[s].samples, servers[s].count,
                                       offsetof(struct Sample, total), 1.0));
        }
        printf("\n");
        return;
    }
    printf("| connects refused (bound, not yet listening), runs |");
    for (int s = 0; s < serverCount; ++s) {
        int runs = 0;
        for (int i = 0; i < servers[s].count; ++i) {
            runs += servers[s].samples[i].refused > 0;
        }
        printf(" %d of %d |", runs, servers[s].count);
    }
    for (int s = 1; s < serverCount; ++s) {
        printf(" |");
    }
    printf("\n");
}

/* The peak RSS that wait4 reports for a child includes the pages it had as a copy of the
 * driver before exec. A child that ends without exec shows that floor. */
static double ForkFloorMib(void) {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    int status;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) {
        return -1.0;
    }
    return (double)usage.ru_maxrss / 1024.0;
}

/* ---- Main -------------------------------------------------------------------------------- */

static void Usage(void) {
    fprintf(stderr,
            "Usage: pwbench [options] LABEL=PROGRAM[ ARG...] ...\n"
            "Starts each server RUNS times in interleaved rounds, exchanges one request and\n"
            "reply with it, and prints medians and 90th percentiles of what each run cost.\n"
            "\n"
            "  -n RUNS        measured rounds (default 100)\n"
            "  -w ROUNDS      warm-up rounds, checked but not counted (default 3)\n"
            "  --reply WORD   the reply expected (default CorvaneStop)\n"
            "  --no-client    no client comes: each run must time out with status 0\n"
            "  --csv FILE     also write every measured run to FILE\n"
            "\n"
            "Ratios compare the first server's medians with each other's.\n"
            "Exit status: 0 every run right, 1 some run wrong, 2 usage.\n");
}

int main(int argc, char *argv[]) {
    int runs = 100;
    int warmup = 3;
    const char *csvPath = NULL;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (strcmp(arg, "-n") == 0 && i + 1 < argc) {
            runs = atoi(argv[++i]);
        } else if (strcmp(arg, "-w") == 0 && i + 1 < argc) {
            warmup = atoi(argv[++i]);
        } else if (strcmp(arg, "--reply") == 0 && i + 1 < argc) {
            expectedWord = argv[++i];
        } else if (strcmp(arg, "--csv") == 0 && i + 1 < argc) {
            csvPath = argv[++i];
        } else if (strcmp(arg, "--no-client") == 0) {
            noClient = true;
        } else if (strcmp(arg, "--help") == 0) {
            Usage();
            return 0;
        } else if (arg[0] != '-' && serverCount < MaxServers &&
                   ParseServer(arg, &servers[serverCount])) {
            ++serverCount;
        } else {
            Usage();
            return 2;
        }
    }
    if (serverCount == 0 || runs < 1 || warmup < 0 || strlen(expectedWord) > 60) {
        Usage();
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    /* The short pauses between refused connects are meant as short as they are written. */
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (csvPath != NULL && (csv = fopen(csvPath, "w")) == NULL) {
        fprintf(stderr, "pwbench: %s: %s\n", csvPath, strerror(errno));
        return 2;
    }
    if (csv != NULL) {
        fprintf(csv, "server,round,ready_ms,exchange_ms,word_ms,after_ms,total_ms,cpu_ms,rss_mib,"
                     "faults,refused\n");
    }

    const char *tmp = getenv("TMPDIR");
    char root[PATH_MAX];
    snprintf(root, sizeof root, "%s/pwbench.XXXXXX", tmp != NULL && tmp[0] != 0 ? tmp : "/tmp");
    if (mkdtemp(root) == NULL) {
        fprintf(stderr, "pwbench: mkdtemp %s: %s\n", root, strerror(errno));
        return 2;
    }
    bool prepared = true;
    for (int s = 0; s < serverCount && prepared; ++s) {
        prepared = PrepareServer(&servers[s], root, s, runs);
    }
    double floorMib = ForkFloorMib();
    int failures = 0;
    for (int round = -warmup; prepared && round < runs; ++round) {
        for (int k = 0; k < serverCount; ++k) {
            struct Server *server = &servers[(k + round + warmup) % serverCount];
            struct Sample sample;
            bool right = RunOnce(server, round, &sample);
            if (!right) {
                ++server->failures;
                ++failures;
            } else if (round >= 0) {
                server->samples[server->count++] = sample;
                if (csv != NULL) {
                    fprintf(csv, "%s,%d,%.4f,%.4f,%.4f,%.4f,%.4f,%.3f,%.3f,%.0f,%ld\n",
                            server->label, round, sample.ready, sample.exchange, sample.word,
                            sample.after, sample.total, sample.cpu, sample.rss, sample.faults,
                            sample.refused);
                }
            }
        }
    }
    RemoveTree(root);
    if (csv != NULL) {
        fclose(csv);
    }
    if (!prepared) {
        return 2;
    }

    PrintTable();
    printf("\n%d measured rounds and %d warm-up rounds of %d servers;", runs, warmup, serverCount);
    for (int s = 0; s < serverCount; ++s) {
        printf(" %s: %d right, %d wrong;", servers[s].label, servers[s].count, servers[s].failures);
    }
    printf(" peak RSS floor (the driver's pages in a fresh fork) %.2f MiB.\n", floorMib);
    if (failures != 0) {
        fprintf(stderr, "pwbench: %d runs went wrong\n", failures);
        return 1;
    }
    printf("pwbench: all %d measured runs right (reply \"%s\", exit status %d, console lines)\n",
           runs * serverCount, expectedWord, noClient ? 0 : 1);
    return 0;
}
