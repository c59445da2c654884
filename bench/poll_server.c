/* The benchmark's baseline for pipeword's design: the exchange of minimal_exchange.c on a
 * worker thread, and pipeword's run control on the main thread. The main thread starts the
 * worker, takes a start sample of the monotonic clock and polls an atomic completion flag,
 * without sleeping or yielding, until the flag is 1 or more than 10,000 ms have passed
 * (computed in double precision, multiplication first). It prints the report line with the
 * flag as last polled and exits 1 if the flag is 1; otherwise it waits at most 10 ms for the
 * worker and exits with the flag as read then.
 *
 *   poll_server [WORD]     the same words as limit_server.
 */
#define _GNU_SOURCE
#include "minimal_exchange.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdatomic.h>
#include <stddef.h>
#include <time.h>

static const char *replyWord;
static atomic_int exchangeDone;
static int placed;
static cpu_set_t allowed;

static void *Worker(void *unused) {
    (void)unused;
    if (placed) {
        pthread_setaffinity_np(pthread_self(), sizeof allowed, &allowed);
    }
    if (ServeOneClient(replyWord)) {
        atomic_store(&exchangeDone, 1);
    }
    RemoveSocketFile(); /* or the main thread does, whichever comes first */
    return NULL;
}

static long long Nanoseconds(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return (long long)now.tv_sec * 1000000000 + now.tv_nsec;
}

int main(int argc, char *argv[]) {
    if (argc > 2) {
        Line("More input parameters found. Server Message Send 0 \n");
        return 0;
    }
    signal(SIGPIPE, SIG_IGN);
    replyWord = ReplyWord(argc, argv);
    /* The worker starts as pipeword's layer starts threads: on another processor than this
       one, which is about to spin, taking back all of them as its first act. */
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    int here = sched_getcpu();
    if (here >= 0 && sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        cpu_set_t elsewhere = allowed;
        CPU_CLR(here, &elsewhere);
        placed = CPU_COUNT(&elsewhere) > 0 &&
                 pthread_attr_setaffinity_np(&attributes, sizeof elsewhere, &elsewhere) == 0;
    }
    pthread_t worker;
    int started = pthread_create(&worker, &attributes, Worker, NULL) == 0;
    pthread_attr_destroy(&attributes);
    const double frequency = 1e9;
    long long start = Nanoseconds(CLOCK_MONOTONIC);

    int done = atomic_load(&exchangeDone);
    while (done != 1) {
        double elapsed = (double)(Nanoseconds(CLOCK_MONOTONIC) - start) * 1000.0 / frequency;
        done = atomic_load(&exchangeDone);
        if (elapsed > 10000.0) {
            break;
        }
    }
    Line("Server Message Send %d \n", done);

    if (atomic_load(&exchangeDone) == 1) {
        if (started) {
            pthread_detach(worker); /* the process ends with it, finished or not */
        }
        RemoveSocketFile();
        return 1;
    }
    if (started) {
        long long until = Nanoseconds(CLOCK_REALTIME) + 10000000;
        struct timespec deadline = {(time_t)(until / 1000000000), (long)(until % 1000000000)};
        if (pthread_timedjoin_np(worker, NULL, &deadline) != 0) {
            pthread_detach(worker);
        }
    }
    done = atomic_load(&exchangeDone);
    RemoveSocketFile();
    return done;
}
