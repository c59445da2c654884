// pipeword-client: opens the server's pipe, writes one request message and prints the reply.
// Standard output carries the exchange (with --quiet only the reply's word); standard error
// carries one line per problem, "pipeword-client: " first and the Win32 code last.
// Exit status: 0 when a reply arrived (or when told not to read one), 1 when the pipe was
// closed without a reply, 2 on any error, a refused command line and output that did not
// reach standard output included. The exchange, its causes in words and its limits are
// libpipeword's; the command line is options.cpp's.
#include "client/options.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int ExitReply = PIPEWORD_WORD_RECEIVED;
constexpr int ExitNoReply = PIPEWORD_CLOSED_WITHOUT_REPLY;
constexpr int ExitError = PIPEWORD_ERROR;
static_assert(ExitNoReply == 1 && ExitError == 2);

// Whether every line meant for standard output got there, and the first failure's cause: an
// errno from the C runtime's write (Linux) or a Win32 code from WriteFile or WriteConsoleW
// (Windows). Each line goes out whole in one write with nothing buffered behind it, so a
// failed write is the only way a line can be lost and there is nothing left to flush at exit.
struct OutputRecord {
    bool failed;
    int error;
    DWORD code;
};
OutputRecord Output;

// One line on standard output, through the console layer; a failure is kept for the end,
// where it turns the exit status into an error (a launcher doing word=$(pipeword-client -q)
// must never take a lost word for one that arrived).
template <typename... Arguments> void Print(const WCHAR *format, Arguments... arguments) {
    errno = 0;
    SetLastError(ERROR_SUCCESS);
    if (ConsolePrint(format, arguments...) < 0 && !Output.failed) {
        Output = {true, errno, GetLastError()};
    }
}

// The usage text, with the lines on the size of a request: the library's limit, and where
// the system's pipes carry less (on Linux, by its socket settings), theirs and what sets it.
void PrintHelp() {
    Print(WIDE("%s"), UsageRequests);
    const DWORD limit = PIPEWORD_LARGEST_REQUEST;
    char setting[256];
    DWORD largest = pipeword_largest_request(setting, sizeof setting);
    Text cause;
    if (!Utf8ToText(setting, &cause) || cause.empty()) {
        Print(WIDE("A request holds at most %lu bytes.\n"), limit);
    } else {
        Print(WIDE("A request holds at most %lu bytes.\n"
                   "Here a pipe message carries at most %lu bytes,\n"
                   "%s.\n"),
              limit, largest, cause.c_str());
    }
    Print(UsageOptions, static_cast<DWORD>(PIPEWORD_DEFAULT_WAIT),
          static_cast<DWORD>(PIPEWORD_LONGEST_WAIT), static_cast<DWORD>(PIPEWORD_READ_SIZE), limit,
          LongestPause, LongestPause, LongestPause);
}

// The version as GNU programs give it: the program, its package and version, then the
// copyright (LICENSE's line, which the build passes in), the licence and the warranty.
void PrintVersion() {
    Print(WIDE("pipeword-client (pipeword) ") PIPEWORD_VERSION WIDE("\n"));
    Print(WIDE("%s\n"), WIDE("") PIPEWORD_COPYRIGHT);
    Print(WIDE("License MIT <https://opensource.org/licenses/MIT>.\n"
               "This is free software: you are free to change and redistribute it.\n"
               "There is NO WARRANTY, to the extent permitted by law.\n"));
}

// The C runtime's reason for errno, in the words of its "C" locale (plain ASCII).
Text ReasonOf(int error) {
    Text reason;
    for (const char *p = std::strerror(error); *p != 0; ++p) {
        reason += static_cast<WCHAR>(static_cast<unsigned char>(*p));
    }
    return reason;
}

// After the run: a line that did not reach standard output makes it an error, whatever the
// exchange gave, with the reason in the words of the C runtime's write (Linux) or, for the
// codes a full disk or a reader that has gone give, in the same words with the Win32 code
// (Windows). A reader that has gone gives EPIPE here rather than a silent death by SIGPIPE,
// which the platform layer ignores so that a closed pipe surfaces as an error code.
int Finish(int status) {
    if (!Output.failed) {
        return status;
    }
    Text reason;
    if (Output.error != 0) {
        reason = ReasonOf(Output.error);
    } else if (Output.code == ERROR_DISK_FULL) {
        reason = WIDE("No space left on device");
    } else if (Output.code == ERROR_BROKEN_PIPE || Output.code == ERROR_NO_DATA ||
               Output.code == ERROR_PIPE_NOT_CONNECTED) {
        reason = WIDE("Broken pipe");
    } else {
        reason = WIDE("the output was cut short");
    }
    if (Output.code != ERROR_SUCCESS) {
        ConsolePrintError(DIAGNOSTIC("write error: %s (w/err 0x%08lx)"), reason.c_str(),
                          Output.code);
    } else {
        ConsolePrintError(DIAGNOSTIC("write error: %s"), reason.c_str());
    }
    return ExitError;
}

// The request from a file, or with "-" from standard input, read as bytes.
bool ReadWholeFile(const WCHAR *path, std::vector<BYTE> *bytes) {
    const bool standardInput = path[0] == WIDE('-') && path[1] == 0;
    // The path in quotes, so that an empty one or one with spaces at its ends shows.
    const Text source = standardInput ? Text(WIDE("from standard input"))
                                      : WIDE("file '") + Shown(Text(path)) + WIDE("'");
    FILE *file = standardInput ? StandardInputBytes() : OpenFileBytes(path);
    if (file == nullptr) {
        Text reason = ReasonOf(errno);
        ConsolePrintError(DIAGNOSTIC("cannot open the request %s: %s"), source.c_str(),
                          reason.c_str());
        return false;
    }
    BYTE chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0 &&
           bytes->size() + got <= PIPEWORD_LARGEST_REQUEST) {
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    int error = std::ferror(file) != 0 ? errno : 0;
    if (!standardInput) {
        std::fclose(file);
    }
    if (error != 0) {
        Text reason = ReasonOf(error);
        ConsolePrintError(DIAGNOSTIC("cannot read the request %s: %s"), source.c_str(),
                          reason.c_str());
    } else if (got > 0) {
        ConsolePrintError(DIAGNOSTIC("the request %s is larger than %lu bytes"), source.c_str(),
                          static_cast<DWORD>(PIPEWORD_LARGEST_REQUEST));
    }
    return error == 0 && got == 0;
}

bool BuildRequest(const Options &options, std::vector<BYTE> *request) {
    switch (options.kind) {
    case RequestText:
        *request = RequestBytes(options.text);
        return true;
    case RequestFile:
        return ReadWholeFile(options.path, request);
    case RequestFiller:
        for (DWORD i = 0; i < options.fillerBytes; ++i) {
            request->push_back(i % 2 == 0 ? static_cast<BYTE>('a' + (i / 2) % 26) : BYTE{0});
        }
        return true;
    case RequestEmpty:
        return true;
    }
    return false;
}

// The library's cause for the exchange's last call, on standard error.
void ReportCause(const pipeword_exchange *exchange) {
    Text cause;
    Utf8ToText(pipeword_cause(exchange), &cause);
    ConsolePrintError(DIAGNOSTIC("%s"), cause.c_str());
}

// Reads one reply message, piece by piece while the server reports more of it; with
// --pause-after-piece it waits after the first piece when more of the reply remains.
int ReadReply(pipeword_exchange *exchange, const Options &options) {
    for (bool first = true;; first = false) {
        int status = pipeword_receive(exchange, options.readSize);
        if (status == PIPEWORD_MORE_DATA) {
            if (first && options.pauseAfterPieceSeconds > 0) {
                size_t got = 0;
                pipeword_reply(exchange, &got);
                if (!options.quiet) {
                    Print(WIDE("Read %ld bytes of the reply, waiting %ld s before reading on\n"),
                          static_cast<LONG>(got),
                          static_cast<LONG>(options.pauseAfterPieceSeconds));
                }
                Sleep(options.pauseAfterPieceSeconds * 1000);
            }
            continue;
        }
        if (status != PIPEWORD_WORD_RECEIVED) {
            ReportCause(exchange);
            return status;
        }
        break;
    }
    // Text up to its NUL or its last whole code unit: with --quiet the word as it came, else
    // shown safely, as the server could send anything.
    size_t size = 0;
    const unsigned char *reply = pipeword_reply(exchange, &size);
    const Text text = ReplyText(reply, size);
    if (options.quiet) {
        Print(WIDE("%s\n"), text.c_str());
    } else {
        Print(WIDE("Reply %ld bytes: \"%s\"\n"), static_cast<LONG>(size), Shown(text).c_str());
    }
    return ExitReply;
}

int Exchange(pipeword_exchange *exchange, const Options &options,
             const std::vector<BYTE> &request) {
    const bool say = !options.quiet;
    if (options.closeWithoutWriting) {
        if (say) {
            Print(WIDE("Closing without writing\n"));
        }
        return ExitReply;
    }
    if (options.pauseBeforeWritingSeconds > 0) {
        if (say) {
            Print(WIDE("Waiting %ld s before writing\n"),
                  static_cast<LONG>(options.pauseBeforeWritingSeconds));
        }
        Sleep(options.pauseBeforeWritingSeconds * 1000);
    }
    if (pipeword_send(exchange, request.data(), request.size()) != PIPEWORD_WORD_RECEIVED) {
        ReportCause(exchange);
        return ExitError;
    }
    if (say) {
        Print(WIDE("Sent %ld bytes\n"), static_cast<LONG>(request.size()));
    }
    if (options.noRead) {
        if (say) {
            Print(WIDE("Keeping the pipe open for %ld s without reading\n"),
                  static_cast<LONG>(options.noReadSeconds));
        }
        Sleep(options.noReadSeconds * 1000);
        return ExitReply;
    }
    return ReadReply(exchange, options);
}

// After the request is built: the request checked against this system's pipes (a larger
// one would fail in WriteFile), then the pipe opened and the exchange made.
int Run(pipeword_exchange *exchange, const Options &options, const std::vector<BYTE> &request) {
    if (pipeword_check_request(exchange, request.size()) != PIPEWORD_WORD_RECEIVED) {
        ReportCause(exchange);
        return ExitError;
    }
    if (pipeword_connect(exchange, TextToUtf8(options.pipeName).c_str(),
                         options.waitMilliseconds) != PIPEWORD_WORD_RECEIVED) {
        ReportCause(exchange);
        return Finish(ExitError);
    }
    if (!options.quiet) {
        Print(WIDE("Connected to %s\n"), Shown(options.pipeName).c_str());
    }
    return Finish(Exchange(exchange, options, request));
}

} // namespace

int WideMain(int argc, WCHAR *argv[]) {
    Options options;
    if (!ParseArguments(argc, argv, &options)) {
        return ExitError;
    }
    if (options.help) {
        PrintHelp();
        return Finish(ExitReply);
    }
    if (options.version) {
        PrintVersion();
        return Finish(ExitReply);
    }
    // A file that cannot be read is reported before anything touches the pipe.
    std::vector<BYTE> request;
    if (!options.closeWithoutWriting && !BuildRequest(options, &request)) {
        return ExitError;
    }
    pipeword_exchange *exchange = pipeword_new();
    if (exchange == nullptr) {
        ConsolePrintError(DIAGNOSTIC("out of memory"));
        return ExitError;
    }
    int status = Run(exchange, options, request);
    pipeword_free(exchange);
    return status;
}
