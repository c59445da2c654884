// libpipeword's functions: an exchange with a server's pipe over the Win32 surface (Windows
// itself, or the POSIX layer with its rules for whom a client may trust), one step at a time
// or whole. Each function records its outcome in the exchange and keeps nothing elsewhere.
#include "lib/exchange.h"

#include <algorithm>
#include <exception>
#include <new>

namespace {

constexpr DWORD PollMilliseconds = 50;

int Succeed(pipeword_exchange *exchange) {
    exchange->error = ERROR_SUCCESS;
    exchange->cause.clear();
    return PIPEWORD_WORD_RECEIVED;
}

int Fail(pipeword_exchange *exchange, int status, DWORD error, const Text &cause) {
    exchange->error = error;
    exchange->cause = TextToUtf8(cause);
    return status;
}

// Runs one of the API's calls on an exchange. The only exceptions that the code below can
// meet are those of the standard containers running out of memory: the call then fails
// with ERROR_NOT_ENOUGH_MEMORY instead of letting them out. (Anything else, such as the
// unwinding of a cancelled thread, passes on as it must.)
template <typename Call> int Guarded(pipeword_exchange *exchange, Call call) {
    if (exchange == nullptr) {
        return PIPEWORD_ERROR;
    }
    try {
        exchange->outOfMemory = false;
        return call();
    } catch (const std::exception &) {
        exchange->error = ERROR_NOT_ENOUGH_MEMORY;
        exchange->cause.clear();
        exchange->outOfMemory = true;
        return PIPEWORD_ERROR;
    }
}

LONGLONG NowMilliseconds() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<LONGLONG>(static_cast<double>(now.QuadPart) * 1000.0 /
                                 static_cast<double>(frequency.QuadPart));
}

void Close(pipeword_exchange *exchange) {
    if (exchange->pipe != INVALID_HANDLE_VALUE) {
        CloseHandle(exchange->pipe);
        exchange->pipe = INVALID_HANDLE_VALUE;
    }
}

// Opens the client end, retrying while the pipe does not exist yet and waiting while every
// instance is busy, for at most the exchange's wait.
int OpenPipe(pipeword_exchange *exchange) {
    const WCHAR *name = exchange->name.c_str();
    const LONGLONG start = NowMilliseconds();
    for (;;) {
        HANDLE pipe =
            CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            exchange->pipe = pipe;
            return PIPEWORD_WORD_RECEIVED;
        }
        DWORD error = GetLastError();
        LONGLONG elapsed = NowMilliseconds() - start;
        if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PIPE_BUSY) ||
            elapsed >= exchange->wait) {
            return Fail(exchange, PIPEWORD_ERROR, error,
                        OpenFailure(exchange->name, exchange->wait, WIDE("CreateFileW"), error));
        }
        DWORD remaining = static_cast<DWORD>(exchange->wait - elapsed);
        if (error == ERROR_FILE_NOT_FOUND) {
            Sleep(std::min(remaining, PollMilliseconds));
        } else if (!WaitNamedPipeW(name, remaining)) {
            // The pipe may have gone between the two calls; anything else ends the wait.
            error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND) {
                return Fail(
                    exchange, PIPEWORD_ERROR, error,
                    OpenFailure(exchange->name, exchange->wait, WIDE("WaitNamedPipeW"), error));
            }
        }
    }
}

int Connect(pipeword_exchange *exchange, const char *pipe, uint32_t wait) {
    Close(exchange);
    exchange->reply.clear();
    if (wait > PIPEWORD_LONGEST_WAIT) {
        return Fail(exchange, PIPEWORD_ERROR, ERROR_INVALID_PARAMETER,
                    WIDE("the wait of ") + Decimal(wait) + WIDE(" ms is longer than ") +
                        Decimal(PIPEWORD_LONGEST_WAIT) + WIDE(" ms, a day"));
    }
    if (!Utf8ToText(pipe != nullptr ? pipe : PIPEWORD_DEFAULT_PIPE, &exchange->name)) {
        return Fail(exchange, PIPEWORD_ERROR, ERROR_INVALID_NAME,
                    WIDE("the pipe's name is not valid UTF-8"));
    }
    exchange->wait = wait;
    if (OpenPipe(exchange) != PIPEWORD_WORD_RECEIVED) {
        return PIPEWORD_ERROR;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(exchange->pipe, &mode, nullptr, nullptr)) {
        DWORD error = GetLastError();
        Close(exchange);
        return Fail(exchange, PIPEWORD_ERROR, error,
                    CallFailure(Shown(exchange->name) +
                                    WIDE(" cannot be read as messages: is it a message-mode pipe?"),
                                WIDE("SetNamedPipeHandleState"), error));
    }
    return Succeed(exchange);
}

int NotConnected(pipeword_exchange *exchange) {
    return Fail(exchange, PIPEWORD_ERROR, ERROR_INVALID_HANDLE,
                WIDE("no pipe is open: pipeword_connect opens one"));
}

int CheckRequest(pipeword_exchange *exchange, std::size_t size) {
    if (size > PIPEWORD_LARGEST_REQUEST) {
        return Fail(exchange, PIPEWORD_ERROR, ERROR_INVALID_PARAMETER,
                    WIDE("the request of ") + Decimal(size) + WIDE(" bytes is larger than ") +
                        Decimal(PIPEWORD_LARGEST_REQUEST) + WIDE(" bytes"));
    }
    Text cause;
    if (TooLargeHere(size, &cause)) {
        return Fail(exchange, PIPEWORD_ERROR, ERROR_NO_SYSTEM_RESOURCES, cause);
    }
    return Succeed(exchange);
}

bool PipeClosed(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_NO_DATA;
}

int Send(pipeword_exchange *exchange, const void *request, std::size_t size) {
    exchange->reply.clear();
    if (exchange->pipe == INVALID_HANDLE_VALUE) {
        return NotConnected(exchange);
    }
    if (request == nullptr && size > 0) {
        return Fail(exchange, PIPEWORD_ERROR, ERROR_INVALID_PARAMETER,
                    WIDE("the request's bytes are missing (NULL)"));
    }
    if (size > PIPEWORD_LARGEST_REQUEST) {
        return CheckRequest(exchange, size);
    }
    DWORD written = 0;
    if (!WriteFile(exchange->pipe, request, static_cast<DWORD>(size), &written, nullptr)) {
        DWORD error = GetLastError();
        return Fail(exchange, PIPEWORD_ERROR, error,
                    CallFailure(PipeClosed(error)
                                    ? WIDE("the server closed the pipe before the request was "
                                           "written")
                                    : WIDE("writing the request failed"),
                                WIDE("WriteFile"), error));
    }
    return Succeed(exchange);
}

// One ReadFile of the reply, of at most 'piece' bytes.
int Receive(pipeword_exchange *exchange, std::size_t piece) {
    if (exchange->pipe == INVALID_HANDLE_VALUE) {
        return NotConnected(exchange);
    }
    const DWORD size = static_cast<DWORD>(
        piece == 0 ? PIPEWORD_READ_SIZE : std::min<std::size_t>(piece, PIPEWORD_LARGEST_REQUEST));
    exchange->piece.resize(size);
    DWORD got = 0;
    BOOL complete = ReadFile(exchange->pipe, exchange->piece.data(), size, &got, nullptr);
    DWORD error = complete ? ERROR_SUCCESS : GetLastError();
    exchange->reply.insert(exchange->reply.end(), exchange->piece.begin(),
                           exchange->piece.begin() + got);
    if (complete) {
        return Succeed(exchange);
    }
    if (error == ERROR_MORE_DATA) {
        Succeed(exchange);
        return PIPEWORD_MORE_DATA;
    }
    if (PipeClosed(error)) {
        return Fail(exchange, PIPEWORD_CLOSED_WITHOUT_REPLY, error,
                    CallFailure(WIDE("no reply: the server closed the pipe without one"),
                                WIDE("ReadFile"), error));
    }
    return Fail(exchange, PIPEWORD_ERROR, error,
                CallFailure(WIDE("reading the reply failed"), WIDE("ReadFile"), error));
}

int Ask(pipeword_exchange *exchange, const char *pipe, const char *request, uint32_t wait) {
    Text text;
    if (!Utf8ToText(request != nullptr ? request : "", &text)) {
        Close(exchange);
        return Fail(exchange, PIPEWORD_ERROR, ERROR_INVALID_PARAMETER,
                    WIDE("the request is not valid UTF-8"));
    }
    const std::vector<unsigned char> bytes = RequestBytes(text.c_str());
    int status = CheckRequest(exchange, bytes.size());
    if (status == PIPEWORD_WORD_RECEIVED) {
        status = Connect(exchange, pipe, wait);
    }
    if (status == PIPEWORD_WORD_RECEIVED) {
        status = Send(exchange, bytes.data(), bytes.size());
    }
    if (status == PIPEWORD_WORD_RECEIVED) {
        do {
            status = Receive(exchange, PIPEWORD_READ_SIZE);
        } while (status == PIPEWORD_MORE_DATA);
    }
    Close(exchange);
    return status;
}

} // namespace

extern "C" {

pipeword_exchange *PIPEWORD_CALL pipeword_new(void) {
    return new (std::nothrow) pipeword_exchange;
}

void PIPEWORD_CALL pipeword_free(pipeword_exchange *exchange) {
    if (exchange != nullptr) {
        Close(exchange);
        delete exchange;
    }
}

int PIPEWORD_CALL pipeword_ask(pipeword_exchange *exchange, const char *pipe, const char *request,
                               uint32_t wait) {
    return Guarded(exchange, [=] { return Ask(exchange, pipe, request, wait); });
}

int PIPEWORD_CALL pipeword_check_request(pipeword_exchange *exchange, size_t size) {
    return Guarded(exchange, [=] { return CheckRequest(exchange, size); });
}

int PIPEWORD_CALL pipeword_connect(pipeword_exchange *exchange, const char *pipe, uint32_t wait) {
    return Guarded(exchange, [=] { return Connect(exchange, pipe, wait); });
}

int PIPEWORD_CALL pipeword_send(pipeword_exchange *exchange, const void *request, size_t size) {
    return Guarded(exchange, [=] { return Send(exchange, request, size); });
}

int PIPEWORD_CALL pipeword_receive(pipeword_exchange *exchange, size_t piece) {
    return Guarded(exchange, [=] { return Receive(exchange, piece); });
}

void PIPEWORD_CALL pipeword_close(pipeword_exchange *exchange) {
    Guarded(exchange, [=] {
        Close(exchange);
        return Succeed(exchange);
    });
}

// No exchange (pipeword_new found no memory for one) reads as one whose memory ran out.
uint32_t PIPEWORD_CALL pipeword_error(const pipeword_exchange *exchange) {
    return exchange != nullptr ? exchange->error : ERROR_NOT_ENOUGH_MEMORY;
}

const char *PIPEWORD_CALL pipeword_cause(const pipeword_exchange *exchange) {
    return exchange == nullptr || exchange->outOfMemory ? "out of memory (w/err 0x00000008)"
                                                        : exchange->cause.c_str();
}

const unsigned char *PIPEWORD_CALL pipeword_reply(const pipeword_exchange *exchange, size_t *size) {
    if (size != nullptr) {
        *size = exchange != nullptr ? exchange->reply.size() : 0;
    }
    return exchange != nullptr ? exchange->reply.data() : nullptr;
}

size_t PIPEWORD_CALL pipeword_reply_text(const void *reply, size_t size, char *text,
                                         size_t capacity) {
    return ReplyToUtf8(static_cast<const unsigned char *>(reply), reply != nullptr ? size : 0, text,
                       text != nullptr ? capacity : 0);
}

uint32_t PIPEWORD_CALL pipeword_largest_request(char *cause, size_t capacity) {
    try {
        Text setting;
        DWORD largest = LargestRequestHere(&setting);
        std::string text = TextToUtf8(setting);
        if (capacity > 0 && cause != nullptr) {
            std::size_t length = std::min(text.size(), capacity - 1);
            std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length), cause);
            cause[length] = 0;
        }
        return largest;
    } catch (const std::exception &) {
        if (capacity > 0 && cause != nullptr) {
            cause[0] = 0;
        }
        return PIPEWORD_LARGEST_REQUEST;
    }
}

const char *PIPEWORD_CALL pipeword_version(void) {
    return PIPEWORD_VERSION;
}

} // extern "C"
