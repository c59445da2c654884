/* libpipeword: asks a pipeword server for its word, from C, C++ or any language that calls
   C functions (Python's ctypes, .NET's P/Invoke).

   A client opens the server's pipe, waiting while it does not exist yet or is busy, writes
   one request message and reads one reply message: the word, in UTF-16LE with its NUL.
   pipeword_ask does all of it; pipeword_connect, pipeword_send and pipeword_receive do it
   step by step. On Linux the pipe is a socket, and the library keeps every rule that
   pipeword-client keeps: it walks the way to the pipe directory, refuses what another user
   could change, and believes only a server of root, of its own user or of a named pipe
   directory's owner (see the README, "On Linux").

   Threads: every function may be called from several threads at once, each on an exchange
   of its own; one exchange is used by one thread at a time. The library keeps nothing
   between calls outside the exchanges it hands out, installs no signal handler, leaves
   every signal's disposition as it is (a server that has gone never raises SIGPIPE, it
   fails the call), and lets no C++ exception out.

   Calling convention: __cdecl on Windows, the one C compilers use when none is named, so a
   prototype written without it still matches; Python's ctypes.CDLL calls it as it is, and
   .NET's P/Invoke with CallingConvention.Cdecl. The DLL exports every function under its
   plain name on both machines, as pipeword.def lists them; MSVC makes an import library
   from it with lib /def:pipeword.def /machine:x86 (or x64). */
#ifndef PIPEWORD_H
#define PIPEWORD_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define PIPEWORD_CALL __cdecl
#define PIPEWORD_API
#elif defined(__GNUC__)
#define PIPEWORD_CALL
#define PIPEWORD_API __attribute__((visibility("default")))
#else
#define PIPEWORD_CALL
#define PIPEWORD_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The pipe that pipeword serves, and the client's limits. */
#define PIPEWORD_DEFAULT_PIPE "\\\\.\\pipe\\SamplePipe"
#define PIPEWORD_DEFAULT_WAIT 5000u        /* milliseconds */
#define PIPEWORD_LONGEST_WAIT 86400000u    /* milliseconds: a day */
#define PIPEWORD_LARGEST_REQUEST 16777216u /* bytes */
#define PIPEWORD_READ_SIZE 4096u           /* bytes: pipeword_ask's pieces, more than any word */

/* Outcomes, as pipeword-client's exit statuses. */
#define PIPEWORD_WORD_RECEIVED 0        /* the reply came (of a step: the step is done) */
#define PIPEWORD_CLOSED_WITHOUT_REPLY 1 /* the server closed the pipe without a reply */
#define PIPEWORD_ERROR 2                /* anything else: pipeword_error and pipeword_cause */
#define PIPEWORD_MORE_DATA 3            /* pipeword_receive: more of the reply is to come */

/* One exchange with a server: its pipe, once connected; the outcome of its last call; the
   reply. pipeword_free closes the pipe and frees it. When there is no memory for one,
   pipeword_new returns NULL, which every function takes as an exchange whose memory ran out:
   PIPEWORD_ERROR, code 8 (ERROR_NOT_ENOUGH_MEMORY). */
typedef struct pipeword_exchange pipeword_exchange;
PIPEWORD_API pipeword_exchange *PIPEWORD_CALL pipeword_new(void);
PIPEWORD_API void PIPEWORD_CALL pipeword_free(pipeword_exchange *exchange);

/* The whole exchange: connects to the pipe (its Win32 name in UTF-8, as \\.\pipe\NAME; NULL
   for PIPEWORD_DEFAULT_PIPE), waiting up to 'wait' milliseconds (at most
   PIPEWORD_LONGEST_WAIT) for it to appear or become free; writes 'request' (UTF-8 text; NULL
   for none) as one message of UTF-16LE with its NUL, as the server shows requests; reads the
   reply and closes the pipe. Returns PIPEWORD_WORD_RECEIVED, PIPEWORD_CLOSED_WITHOUT_REPLY
   or PIPEWORD_ERROR. */
PIPEWORD_API int PIPEWORD_CALL pipeword_ask(pipeword_exchange *exchange, const char *pipe,
                                            const char *request, uint32_t wait);

/* The steps, for a client that sends bytes of its own or acts between them. Each returns
   PIPEWORD_WORD_RECEIVED when it is done, else PIPEWORD_ERROR (pipeword_receive also the
   other outcomes).
   pipeword_check_request: whether a request of 'size' bytes fits this system's pipes (on
   Linux a message is one socket record; see pipeword_largest_request), told before any
   pipe is looked for. pipeword_connect: opens the pipe as pipeword_ask does (closing one
   that the exchange holds). pipeword_send: writes 'size' bytes (at most
   PIPEWORD_LARGEST_REQUEST) as one message. pipeword_receive: reads one piece of the reply
   of at most 'piece' bytes (0 for PIPEWORD_READ_SIZE), adding it to pipeword_reply;
   PIPEWORD_MORE_DATA until the last piece. pipeword_close: closes the pipe. */
PIPEWORD_API int PIPEWORD_CALL pipeword_check_request(pipeword_exchange *exchange, size_t size);
PIPEWORD_API int PIPEWORD_CALL pipeword_connect(pipeword_exchange *exchange, const char *pipe,
                                                uint32_t wait);
PIPEWORD_API int PIPEWORD_CALL pipeword_send(pipeword_exchange *exchange, const void *request,
                                             size_t size);
PIPEWORD_API int PIPEWORD_CALL pipeword_receive(pipeword_exchange *exchange, size_t piece);
PIPEWORD_API void PIPEWORD_CALL pipeword_close(pipeword_exchange *exchange);

/* The outcome of the exchange's last call: the Win32 error code (0 when it succeeded), and
   the cause in words, UTF-8, safe to show (every character that could end a line or act on
   a terminal shows as U+FFFD), ending in the failed call and its code, as in "no server for
   \\.\pipe\SamplePipe within 5000 ms: is it running? (CreateFileW w/err 0x00000002)"; ""
   when it succeeded. The text lasts until the next call on the exchange. */
PIPEWORD_API uint32_t PIPEWORD_CALL pipeword_error(const pipeword_exchange *exchange);
PIPEWORD_API const char *PIPEWORD_CALL pipeword_cause(const pipeword_exchange *exchange);

/* The reply's bytes as they came (the word in UTF-16LE with its NUL), their count in *size;
   they last until the next call on the exchange. pipeword_reply_text writes a reply's text
   as UTF-8 with a NUL into 'text' (nothing when capacity is 0): its code units up to the
   first NUL or the last whole unit, a lone surrogate as U+FFFD, as the server sent them
   (not made safe to show). Returns the bytes the whole text needs, its NUL included; the
   text was cut short when that exceeds capacity. */
PIPEWORD_API const unsigned char *PIPEWORD_CALL pipeword_reply(const pipeword_exchange *exchange,
                                                               size_t *size);
PIPEWORD_API size_t PIPEWORD_CALL pipeword_reply_text(const void *reply, size_t size, char *text,
                                                      size_t capacity);

/* The largest request a pipe carries here: PIPEWORD_LARGEST_REQUEST, or less where this
   system's pipes carry less (on Linux, by its socket settings), in which case 'cause'
   receives what sets it in UTF-8 ("limited by the ..."), else "" (when capacity allows).
   Finding it takes some 25 trial messages. */
PIPEWORD_API uint32_t PIPEWORD_CALL pipeword_largest_request(char *cause, size_t capacity);

/* The library's version, as "1.0.0.5". */
PIPEWORD_API const char *PIPEWORD_CALL pipeword_version(void);

#ifdef __cplusplus
}
#endif

#endif
