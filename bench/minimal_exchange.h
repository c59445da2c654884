/* The exchange shared by the benchmark's minimal C servers (minimal_exchange.c). */
#ifndef MINIMAL_EXCHANGE_H
#define MINIMAL_EXCHANGE_H

/* The reply for the command line: no argument "Start", Stop "CorvaneStop", Continue
 * "CorvaneContinue"; NULL (no reply) for any other word. Needs argc <= 2. */
const char *ReplyWord(int argc, char *argv[]);

/* One console line, in one write, as pipeword prints them. */
void Line(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* Makes the socket and serves one client with 'word' (NULL: no reply). 1 when the exchange
 * is done, the socket file left for RemoveSocketFile; 0 after a failure, whose line it has
 * printed, with the socket file already removed. */
int ServeOneClient(const char *word);

/* Removes the socket file, if it has been bound; again, it does nothing. */
void RemoveSocketFile(void);

#endif
