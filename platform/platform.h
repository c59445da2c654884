// The Win32 surface the program is written against. On Windows it is <windows.h> and the
// C runtime; elsewhere it is this layer's own implementation, with the same names, types,
// results and last-error codes. Nothing outside platform/ needs to know which one it gets.
#pragma once

#include <cstdio>

#if defined(_WIN32)
#include "platform/win/win32.h"

#include <fcntl.h>
#include <io.h>
#else
#include "platform/posix/win32.h"
#endif

// Prints one formatted wide line on standard output, whole whatever its length, in a single
// write, so that lines from two threads never mix. Format subset: %s (wide string), %ld
// (signed 32-bit), %lu and %lx (unsigned 32-bit), %%; a number may be zero-padded to a width
// of one or two digits, as in %08lx. Returns a non-negative count on success, -1 when the
// line could not be written whole or the format is any other (then nothing is written).
int ConsolePrint(const WCHAR *format, ...);
// The same on standard error, for diagnostics.
int ConsolePrintError(const WCHAR *format, ...);

// Where the pipe of a Win32 pipe name lives in the file system, for messages: on Linux its
// socket path (by default /tmp/.pipe/NAME), written with a NUL when it fits capacity code
// units; on Windows, whose pipes are no files, nothing. Returns the path's length in code
// units, or 0 (Windows, a malformed name, a path that does not fit).
DWORD PipeSocketPath(const WCHAR *name, WCHAR *path, DWORD capacity);

// Why the last pipe call of this thread (CreateNamedPipeW, CreateFileW, WaitNamedPipeW)
// failed with 'error', in words, for messages, where the code alone does not tell: on Linux
// which check refused access (a directory on the way that another user could change, the
// pipe directory's owner or mode, what is under the name, the socket's mode, the server's
// user), that the pipe operations need /proc, or that the default pipe directory does not
// exist. Written with a NUL when it fits capacity code units; nothing for any other failure,
// and on Windows. Returns the text's length in code units, or 0. PipeCauseCapacity code
// units hold any cause with its NUL: a path of up to 4096 bytes and the words around it.
DWORD PipeFailureCause(DWORD error, WCHAR *text, DWORD capacity);
constexpr DWORD PipeCauseCapacity = 4096 + 256;

// The largest message one WriteFile can put on a pipe, in bytes, and for messages what sets
// it, written with a NUL when it fits capacity code units. On Linux a message is one socket
// record, bounded by the socket send buffer's limit (net.core.wmem_max) and by the largest
// record the kernel allocates; each call finds it by trying some 25 records (5 to 40 ms on
// a busy machine). On Windows, which writes a message of any size whole, 0 and nothing: no
// limit but the caller's memory. 0 also where the limit could not be found.
DWORD LargestPipeMessage(WCHAR *cause, DWORD capacity);
// Whether one WriteFile can put a message of this size on a pipe, told at less cost: on
// Linux one such record tried on a socket pair, as WriteFile would send it; FALSE only
// when the size (or memory for it) stood in the way. TRUE on Windows.
BOOL PipeCarriesMessage(DWORD size);

// Standard input as a stream of the bytes as they come: on Windows switched to binary mode,
// where the C runtime would otherwise turn CR LF into LF and end the input at a Ctrl+Z.
// OpenFileBytes opens a file by its UTF-16 path to read its bytes as they are, with the C
// runtime's result (null and errno on failure): on Windows by the wide call, as the narrow
// one would read the path in the ANSI code page and miss any name outside it; elsewhere by
// the path in UTF-8.
#if defined(_WIN32)
inline FILE *StandardInputBytes() {
    _setmode(_fileno(stdin), _O_BINARY);
    return stdin;
}
inline FILE *OpenFileBytes(const WCHAR *path) {
    return _wfopen(path, L"rb");
}
#else
inline FILE *StandardInputBytes() {
    return stdin;
}
FILE *OpenFileBytes(const WCHAR *path);
#endif

// The program's wide entry function: the platform's start-up calls it with the argument
// count and the UTF-16 argument vector, and its result becomes the exit status.
int WideMain(int argc, WCHAR *argv[]);
