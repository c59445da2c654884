/* The benchmark's lower limit: the exchange of minimal_exchange.c on the main thread, with
 * no run control. It serves one client and exits 1; a failure exits 0 at once.
 *
 *   limit_server [WORD]    no argument: "Start"; Stop: "CorvaneStop"; Continue:
 *                          "CorvaneContinue"; any other word: no reply.
 */
#define _GNU_SOURCE
#include "minimal_exchange.h"

#include <signal.h>

int main(int argc, char *argv[]) {
    if (argc > 2) {
        Line("More input parameters found. Server Message Send 0 \n");
        return 0;
    }
    signal(SIGPIPE, SIG_IGN);
    int done = ServeOneClient(ReplyWord(argc, argv));
    RemoveSocketFile();
    Line("Server Message Send %d \n", done);
    return done;
}
