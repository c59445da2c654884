// The causes that the library gives in words: what went wrong, for the codes that users
// meet, then the failed call and its code.
#include "lib/exchange.h"

namespace {

// " at '/tmp/.pipe/NAME'" where the pipe is a socket file (Linux); nothing on Windows.
Text SocketOf(const Text &name) {
    WCHAR path[1024];
    return PipeSocketPath(name.c_str(), path, sizeof path / sizeof path[0]) > 0
               ? Text(WIDE(" at '")) + path + WIDE("'")
               : Text();
}

// The problem in words, for a failure to open the pipe with 'error'; 'cause' is the layer's
// (shown safely), 'socket' where the pipe lives (Linux) or empty.
Text OpenProblem(const Text &name, const Text &socket, DWORD wait, DWORD error, const Text &cause) {
    const Text names = WIDE(": pipe names are \\\\.\\pipe\\NAME or NAME alone");
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        return WIDE("no server for ") + name + socket + WIDE(" within ") + Decimal(wait) +
               WIDE(" ms: ") +
               (!cause.empty()    ? cause
                : !socket.empty() ? Text(WIDE("is it running, with the same PIPEWORD_PIPE_DIR?"))
                                  : Text(WIDE("is it running?")));
    case ERROR_PATH_NOT_FOUND:
        return name + WIDE(" is not a pipe on this computer") + names;
    case ERROR_ACCESS_DENIED:
        return WIDE("access to ") + name + socket + WIDE(" is denied: ") +
               (!cause.empty() ? cause : Text(WIDE("the pipe does not admit this user")));
    case ERROR_INVALID_HANDLE:
        return name + WIDE(" names no pipe") + names;
    case ERROR_INVALID_NAME:
        return name + WIDE(" is not a valid pipe name") + names;
    case ERROR_FILENAME_EXCED_RANGE:
        return WIDE("the name ") + name +
               WIDE(" is too long (on Linux with PIPEWORD_PIPE_DIR, for a socket path)");
    case ERROR_SEM_TIMEOUT:
    case ERROR_PIPE_BUSY:
        return name + socket + WIDE(" stayed busy for ") + Decimal(wait) +
               WIDE(" ms: its server is serving another client");
    default:
        return WIDE("cannot open ") + name + socket + (cause.empty() ? Text() : WIDE(": ") + cause);
    }
}

} // namespace

Text OpenFailure(const Text &name, DWORD wait, const WCHAR *call, DWORD error) {
    // The layer's cause first: it tells of the last pipe call of this thread.
    WCHAR found[PipeCauseCapacity];
    const DWORD units = PipeFailureCause(error, found, PipeCauseCapacity);
    const Text cause = units > 0 ? Shown(found, units) : Text();
    const Text problem = OpenProblem(Shown(name), Shown(SocketOf(name)), wait, error, cause);
    return CallFailure(problem, call, error);
}

Text CallFailure(const Text &what, const WCHAR *call, DWORD error) {
    return what + WIDE(" (") + call + WIDE(" w/err ") + CodeText(error) + WIDE(")");
}

DWORD LargestRequestHere(Text *cause) {
    WCHAR text[256];
    DWORD largest = LargestPipeMessage(text, sizeof text / sizeof text[0]);
    if (largest == 0 || largest >= PIPEWORD_LARGEST_REQUEST) {
        cause->clear();
        return PIPEWORD_LARGEST_REQUEST;
    }
    *cause = text;
    return largest;
}

// The limit takes longer to find than a trial of the one size: it is sought only for a
// request that does not fit.
bool TooLargeHere(std::size_t size, Text *cause) {
    if (PipeCarriesMessage(static_cast<DWORD>(size))) {
        return false;
    }
    Text setting;
    DWORD largest = LargestRequestHere(&setting);
    if (size <= largest) {
        return false;
    }
    *cause = WIDE("the request of ") + Decimal(size) +
             WIDE(" bytes is too large for this system: a pipe message carries at most ") +
             Decimal(largest) + WIDE(" bytes here, ") + setting;
    return true;
}
