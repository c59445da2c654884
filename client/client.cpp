// pipeword-client: opens the server's pipe, writes one request message and prints the reply.
// Standard output carries the exchange (with --quiet only the reply's word); standard error
// carries one line per problem, "pipeword-client: " first and the Win32 code last.
// Exit status: 0 when a reply arrived (or when told not to read one), 1 when the pipe was
// closed without a reply, 2 on any error, a refused command line and output that did not
// reach standard output included.
#include "pipe/shown_text.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int ExitReply = 0;
constexpr int ExitNoReply = 1;
constexpr int ExitError = 2;

constexpr DWORD PollMilliseconds = 50;
// Large enough for any reply in one read; --read-size makes it smaller.
constexpr DWORD DefaultReadSize = 4096;
constexpr DWORD LargestRequest = 16 * 1024 * 1024;
constexpr DWORD LongestWait = 24 * 60 * 60 * 1000;
constexpr DWORD LongestPause = 24 * 60 * 60;

using Text = std::basic_string<WCHAR>;

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

// One diagnostic line on standard error.
#define DIAGNOSTIC(text) WIDE("pipeword-client: ") text WIDE("\n")

enum RequestKind { RequestText, RequestFile, RequestFiller, RequestEmpty };

struct Options {
    Text pipeName = WIDE("\\\\.\\pipe\\SamplePipe");
    DWORD waitMilliseconds = 5000;
    RequestKind kind = RequestText;
    const WCHAR *text = WIDE("Hello");
    const WCHAR *path = nullptr;
    DWORD fillerBytes = 0;
    DWORD readSize = DefaultReadSize;
    bool closeWithoutWriting = false;
    bool noRead = false;
    DWORD noReadSeconds = 0;
    DWORD pauseBeforeWritingSeconds = 0;
    DWORD pauseAfterPieceSeconds = 0;
    bool quiet = false;
    bool help = false;
    bool version = false;
};

const WCHAR *const UsageRequests =
    WIDE("Usage: pipeword-client [options] [--] [TEXT]\n"
         "Opens a message-mode named pipe, writes one request and prints the reply.\n"
         "\n"
         "Request (one of):\n"
         "  TEXT                     UTF-16LE text with its NUL (default: Hello); after\n"
         "                           -- it may start with -\n"
         "  --file PATH              the file's bytes, as they are (- for standard input)\n"
         "  --bytes N                N bytes of filler: the letters a to z in UTF-16LE,\n"
         "                           repeated\n"
         "  --empty                  a zero-byte message\n");

// After the requests and the lines on their size (PrintLimitLines), in the usage text.
const WCHAR *const UsageOptions =
    WIDE("\n"
         "Options (--name VALUE or --name=VALUE; a long name may be cut short while it\n"
         "stays unambiguous, and short options combined, as in -qh):\n"
         "  --pipe NAME              pipe to open: \\\\.\\pipe\\NAME or NAME alone\n"
         "                           (default: SamplePipe)\n"
         "  --wait MS                how long to wait for the pipe to exist or be free\n"
         "                           (default: 5000, at most 86400000)\n"
         "  -q, --quiet              print only the reply's word and a newline\n"
         "  --read-size N            read the reply in pieces of at most N bytes\n"
         "                           (default: 4096)\n"
         "  --close-without-writing  connect, then close without writing\n"
         "  --no-read SECONDS        write the request, then keep the pipe open that\n"
         "                           long unread\n"
         "  --pause-before-writing SECONDS\n"
         "                           connect, then wait that long before writing the\n"
         "                           request\n"
         "  --pause-after-piece SECONDS\n"
         "                           read one piece of the reply (see --read-size), then\n"
         "                           wait that long before reading the rest\n"
         "  -h, --help               this text\n"
         "  --version                the version\n"
         "\n"
         "Problems are reported on standard error, with the Win32 error code last.\n"
         "Exit status: 0 reply received (or not asked for), 1 pipe closed without a\n"
         "reply, 2 error.\n");

enum OptionId {
    OptionPipe,
    OptionWait,
    OptionFile,
    OptionBytes,
    OptionEmpty,
    OptionReadSize,
    OptionCloseWithoutWriting,
    OptionNoRead,
    OptionPauseBeforeWriting,
    OptionPauseAfterPiece,
    OptionQuiet,
    OptionHelp,
    OptionVersion,
};

struct OptionName {
    const WCHAR *name; // without its "--"
    WCHAR letter;      // the short form, or 0
    OptionId id;
    bool takesValue;
};

const OptionName OptionNames[] = {
    {WIDE("pipe"), 0, OptionPipe, true},
    {WIDE("wait"), 0, OptionWait, true},
    {WIDE("file"), 0, OptionFile, true},
    {WIDE("bytes"), 0, OptionBytes, true},
    {WIDE("empty"), 0, OptionEmpty, false},
    {WIDE("read-size"), 0, OptionReadSize, true},
    {WIDE("close-without-writing"), 0, OptionCloseWithoutWriting, false},
    {WIDE("no-read"), 0, OptionNoRead, true},
    {WIDE("pause-before-writing"), 0, OptionPauseBeforeWriting, true},
    {WIDE("pause-after-piece"), 0, OptionPauseAfterPiece, true},
    {WIDE("quiet"), WIDE('q'), OptionQuiet, false},
    {WIDE("help"), WIDE('h'), OptionHelp, false},
    {WIDE("version"), 0, OptionVersion, false},
};

Text Decimal(DWORD value) {
    Text digits;
    do {
        digits.insert(digits.begin(), static_cast<WCHAR>(WIDE('0') + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

// The largest request the pipe takes here: the client's own limit, or where the system's
// pipes carry less (on Linux, by its socket settings), theirs, with what sets it in 'cause'.
DWORD LargestRequestHere(Text *cause) {
    WCHAR text[256];
    DWORD largest = LargestPipeMessage(text, sizeof text / sizeof text[0]);
    if (largest == 0 || largest >= LargestRequest) {
        cause->clear();
        return LargestRequest;
    }
    *cause = text;
    return largest;
}

// The usage text's lines on the size of a request.
void PrintLimitLines() {
    Text cause;
    DWORD largest = LargestRequestHere(&cause);
    if (cause.empty()) {
        Print(WIDE("A request holds at most %lu bytes.\n"), largest);
    } else {
        Print(WIDE("A request holds at most %lu bytes, the most a pipe message carries here,\n"
                   "%s.\n"),
              largest, cause.c_str());
    }
}

// A decimal count from 0 to limit, digits only.
bool ParseCount(const WCHAR *text, DWORD limit, DWORD *value) {
    unsigned long long result = 0;
    if (*text == 0) {
        return false;
    }
    for (; *text != 0; ++text) {
        if (*text < WIDE('0') || *text > WIDE('9')) {
            return false;
        }
        result = result * 10 + static_cast<unsigned long long>(*text - WIDE('0'));
        if (result > limit) {
            return false;
        }
    }
    *value = static_cast<DWORD>(result);
    return true;
}

// Text as a console line shows it, by the server's rule for the requests it shows: up to its
// NUL, each character that could end the line or act on the terminal (the ESC that starts an
// escape sequence, say) as U+FFFD. Diagnostics and the reply line show what they quote this
// way; only --quiet prints the word as it came.
Text Shown(const WCHAR *text, size_t units) {
    std::vector<WCHAR> shown(units + 1);
    ShowSafely(text, static_cast<DWORD>(units * sizeof(WCHAR)), shown.data());
    return Text(shown.data());
}

Text Shown(const Text &text) {
    return Shown(text.c_str(), text.size());
}

// Whether an argument arrived as the text it was given as. On Linux bytes that are not UTF-8
// arrive as U+FFFD; on Windows a lone surrogate has no UTF-8 for a path and no text for a
// server to show. Either would silently become another name or request, so both are refused,
// and with them U+FFFD itself, which cannot be told from the bytes it stands for.
bool WellFormed(const WCHAR *text) {
    for (; *text != 0; ++text) {
        unsigned unit = static_cast<unsigned>(*text) & 0xFFFFu;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            unsigned next = static_cast<unsigned>(text[1]) & 0xFFFFu;
            if (next < 0xDC00 || next > 0xDFFF) {
                return false;
            }
            ++text;
        } else if ((unit >= 0xDC00 && unit <= 0xDFFF) || unit == 0xFFFD) {
            return false;
        }
    }
    return true;
}

// A refused command line: what is wrong, then the usage line, on standard error. The
// argument is shown safely, as it may hold anything.
bool Refuse(const WCHAR *format, const WCHAR *argument) {
    ConsolePrintError(format, Shown(Text(argument)).c_str());
    ConsolePrintError(WIDE("Usage: pipeword-client [options] [--] [TEXT] (see --help)\n"));
    return false;
}

// The long option that a name (what follows "--", up to any "=") names, as getopt_long
// reads it: the option of exactly that name, else the only one whose name starts with it.
// Null when none does, or when several do (the name is then refused with their names).
const OptionName *FindLongOption(const WCHAR *name, size_t length, Text *candidates) {
    const OptionName *found = nullptr;
    int starts = 0;
    for (const OptionName &option : OptionNames) {
        size_t i = 0;
        while (i < length && option.name[i] == name[i]) {
            ++i;
        }
        if (i < length) {
            continue;
        }
        if (option.name[length] == 0) {
            return &option;
        }
        found = &option;
        ++starts;
        *candidates += (starts == 1 ? WIDE("--") : WIDE(", --")) + Text(option.name);
    }
    return starts == 1 ? found : nullptr;
}

// The option letter of a short option, or null.
const OptionName *FindShortOption(WCHAR letter) {
    for (const OptionName &option : OptionNames) {
        if (option.letter != 0 && option.letter == letter) {
            return &option;
        }
    }
    return nullptr;
}

// A pipe given by its name alone is the local pipe of that name.
bool SetPipeName(const WCHAR *value, Options *options) {
    if (*value == 0) {
        return Refuse(DIAGNOSTIC("--pipe needs a name%s"), WIDE(""));
    }
    bool bare = true;
    for (const WCHAR *p = value; *p != 0; ++p) {
        bare = bare && *p != WIDE('\\');
    }
    options->pipeName = bare ? Text(WIDE("\\\\.\\pipe\\")) + value : Text(value);
    return true;
}

bool ApplyOption(OptionId id, const WCHAR *value, Options *options, int *requests) {
    switch (id) {
    case OptionPipe:
        return SetPipeName(value, options);
    case OptionWait:
        return ParseCount(value, LongestWait, &options->waitMilliseconds) ||
               Refuse(DIAGNOSTIC("--wait takes milliseconds up to 86400000, not '%s'"), value);
    case OptionFile:
        options->kind = RequestFile;
        options->path = value;
        ++*requests;
        return true;
    case OptionBytes:
        options->kind = RequestFiller;
        ++*requests;
        return ParseCount(value, LargestRequest, &options->fillerBytes) ||
               Refuse(DIAGNOSTIC("--bytes takes a count up to 16777216, not '%s'"), value);
    case OptionEmpty:
        options->kind = RequestEmpty;
        ++*requests;
        return true;
    case OptionReadSize:
        return (ParseCount(value, LargestRequest, &options->readSize) && options->readSize > 0) ||
               Refuse(DIAGNOSTIC("--read-size takes a count from 1 to 16777216, not '%s'"), value);
    case OptionCloseWithoutWriting:
        options->closeWithoutWriting = true;
        return true;
    case OptionNoRead:
        options->noRead = true;
        return ParseCount(value, LongestPause, &options->noReadSeconds) ||
               Refuse(DIAGNOSTIC("--no-read takes seconds, not '%s'"), value);
    case OptionPauseBeforeWriting:
        return ParseCount(value, LongestPause, &options->pauseBeforeWritingSeconds) ||
               Refuse(DIAGNOSTIC("--pause-before-writing takes seconds, not '%s'"), value);
    case OptionPauseAfterPiece:
        return ParseCount(value, LongestPause, &options->pauseAfterPieceSeconds) ||
               Refuse(DIAGNOSTIC("--pause-after-piece takes seconds, not '%s'"), value);
    case OptionQuiet:
        options->quiet = true;
        return true;
    case OptionHelp:
        options->help = true;
        return true;
    case OptionVersion:
        options->version = true;
        return true;
    }
    return false;
}

// As getopt_long reads a command line: options before, among or after the TEXT; "--" ends
// them; "-" alone is TEXT; a long option's value after "=" or as the next argument, and its
// name cut short while it stays unambiguous; short options combined ("-qh"), a short
// option's value (should one take a value) the rest of its argument or the next one.
bool ParseArguments(int argc, WCHAR *argv[], Options *options) {
    int requests = 0;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        if (!WellFormed(argv[i])) {
            return Refuse(DIAGNOSTIC("the argument '%s' is not valid UTF-8 (U+FFFD, which stands "
                                     "for such bytes, counts as not valid)"),
                          argv[i]);
        }
    }
    for (int i = 1; i < argc; ++i) {
        const WCHAR *argument = argv[i];
        if (!optionsEnded && argument[0] == WIDE('-') && argument[1] == WIDE('-') &&
            argument[2] == 0) {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || argument[0] != WIDE('-') || argument[1] == 0) {
            options->kind = RequestText;
            options->text = argument;
            ++requests;
            continue;
        }
        if (argument[1] != WIDE('-')) {
            for (const WCHAR *letter = argument + 1; *letter != 0; ++letter) {
                const OptionName *option = FindShortOption(*letter);
                if (option == nullptr) {
                    const WCHAR shortName[] = {WIDE('-'), *letter, 0};
                    return Refuse(DIAGNOSTIC("unknown option '%s'"), shortName);
                }
                const WCHAR *value = nullptr;
                if (option->takesValue) {
                    if (letter[1] != 0) {
                        value = letter + 1;
                    } else if (i + 1 < argc) {
                        value = argv[++i];
                    } else {
                        return Refuse(DIAGNOSTIC("--%s needs a value"), option->name);
                    }
                }
                if (!ApplyOption(option->id, value, options, &requests)) {
                    return false;
                }
                if (value != nullptr) {
                    break;
                }
            }
            continue;
        }
        const WCHAR *name = argument + 2;
        size_t length = 0;
        while (name[length] != 0 && name[length] != WIDE('=')) {
            ++length;
        }
        Text candidates;
        const OptionName *option = FindLongOption(name, length, &candidates);
        if (option == nullptr && !candidates.empty()) {
            Text ambiguous =
                Text(argument, argument + 2 + length) + WIDE("' is ambiguous: ") + candidates;
            return Refuse(DIAGNOSTIC("option '%s"), ambiguous.c_str());
        }
        if (option == nullptr) {
            return Refuse(DIAGNOSTIC("unknown option '%s'"), argument);
        }
        const WCHAR *value = name[length] == WIDE('=') ? name + length + 1 : nullptr;
        if (value != nullptr && !option->takesValue) {
            return Refuse(DIAGNOSTIC("--%s takes no value"), option->name);
        }
        if (option->takesValue && value == nullptr) {
            if (i + 1 == argc) {
                return Refuse(DIAGNOSTIC("--%s needs a value"), option->name);
            }
            value = argv[++i];
        }
        if (!ApplyOption(option->id, value, options, &requests)) {
            return false;
        }
    }
    if (requests > 1) {
        return Refuse(DIAGNOSTIC("give at most one of TEXT, --file, --bytes and --empty%s"),
                      WIDE(""));
    }
    if (options->closeWithoutWriting &&
        (requests > 0 || options->noRead || options->pauseBeforeWritingSeconds > 0 ||
         options->pauseAfterPieceSeconds > 0)) {
        return Refuse(DIAGNOSTIC("--close-without-writing sends nothing and reads nothing%s"),
                      WIDE(""));
    }
    if (options->noRead && options->pauseAfterPieceSeconds > 0) {
        return Refuse(DIAGNOSTIC("--no-read reads nothing, so no piece to pause after%s"),
                      WIDE(""));
    }
    return true;
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
    const Text source =
        standardInput ? Text(WIDE("from standard input")) : WIDE("file ") + Shown(Text(path));
    FILE *file = standardInput ? StandardInputBytes() : OpenFileBytes(path);
    if (file == nullptr) {
        Text reason = ReasonOf(errno);
        ConsolePrintError(DIAGNOSTIC("cannot open the request file %s: %s"),
                          Shown(Text(path)).c_str(), reason.c_str());
        return false;
    }
    BYTE chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0 &&
           bytes->size() + got <= LargestRequest) {
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
        ConsolePrintError(DIAGNOSTIC("the request %s is larger than 16777216 bytes"),
                          source.c_str());
    }
    return error == 0 && got == 0;
}

bool BuildRequest(const Options &options, std::vector<BYTE> *request) {
    switch (options.kind) {
    case RequestText: {
        size_t units = 0;
        while (options.text[units] != 0) {
            ++units;
        }
        // Little-endian whatever the host, the terminating NUL included.
        for (size_t i = 0; i <= units; ++i) {
            unsigned unit = static_cast<unsigned>(options.text[i]) & 0xFFFFu;
            request->push_back(static_cast<BYTE>(unit & 0xFF));
            request->push_back(static_cast<BYTE>(unit >> 8));
        }
        return true;
    }
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

LONGLONG NowMilliseconds() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<LONGLONG>(static_cast<double>(now.QuadPart) * 1000.0 /
                                 static_cast<double>(frequency.QuadPart));
}

// " at /tmp/.pipe/NAME" where the pipe is a socket file (Linux); nothing on Windows.
Text SocketOf(const Text &pipeName) {
    WCHAR path[1024];
    return PipeSocketPath(pipeName.c_str(), path, sizeof path / sizeof path[0]) > 0
               ? Text(WIDE(" at ")) + path
               : Text();
}

// Why the pipe could not be opened, in words, for the codes that users meet; on Linux the
// layer's cause where the code alone does not tell (which check refused access, a missing
// /proc or default pipe directory), shown safely as it quotes paths.
void ReportOpenFailure(const Options &options, const WCHAR *call, DWORD error) {
    const Text name = Shown(options.pipeName);
    const Text socket = Shown(SocketOf(options.pipeName));
    const bool onLinux = !socket.empty();
    const Text names = WIDE(": pipe names are \\\\.\\pipe\\NAME or NAME alone");
    WCHAR found[PipeCauseCapacity];
    const DWORD units = PipeFailureCause(error, found, PipeCauseCapacity);
    const Text cause = units > 0 ? Shown(found, units) : Text();
    Text problem;
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        problem = WIDE("no server for ") + name + socket + WIDE(" within ") +
                  Decimal(options.waitMilliseconds) + WIDE(" ms: ") +
                  (!cause.empty() ? cause
                   : onLinux      ? Text(WIDE("is it running, with the same PIPEWORD_PIPE_DIR?"))
                                  : Text(WIDE("is it running?")));
        break;
    case ERROR_PATH_NOT_FOUND:
        problem = name + WIDE(" is not a pipe on this computer") + names;
        break;
    case ERROR_ACCESS_DENIED:
        problem = WIDE("access to ") + name + socket + WIDE(" is denied: ") +
                  (!cause.empty() ? cause : Text(WIDE("the pipe does not admit this user")));
        break;
    case ERROR_INVALID_HANDLE:
        problem = name + WIDE(" names no pipe") + names;
        break;
    case ERROR_INVALID_NAME:
        problem = name + WIDE(" is not a valid pipe name") + names;
        break;
    case ERROR_FILENAME_EXCED_RANGE:
        problem = WIDE("the name ") + name +
                  WIDE(" is too long (on Linux with PIPEWORD_PIPE_DIR, for a socket path)");
        break;
    case ERROR_SEM_TIMEOUT:
    case ERROR_PIPE_BUSY:
        problem = name + socket + WIDE(" stayed busy for ") + Decimal(options.waitMilliseconds) +
                  WIDE(" ms: its server is serving another client");
        break;
    default:
        problem = WIDE("cannot open ") + name + socket;
        if (!cause.empty()) {
            problem += WIDE(": ") + cause;
        }
        break;
    }
    ConsolePrintError(DIAGNOSTIC("%s (%s w/err 0x%08lx)"), problem.c_str(), call, error);
}

// Opens the client end, retrying while the pipe does not exist yet and waiting while every
// instance is busy, for at most the --wait time. Reports why on failure.
HANDLE OpenPipe(const Options &options) {
    const WCHAR *name = options.pipeName.c_str();
    const LONGLONG start = NowMilliseconds();
    for (;;) {
        HANDLE pipe =
            CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            return pipe;
        }
        DWORD error = GetLastError();
        LONGLONG elapsed = NowMilliseconds() - start;
        if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PIPE_BUSY) ||
            elapsed >= options.waitMilliseconds) {
            ReportOpenFailure(options, WIDE("CreateFileW"), error);
            return INVALID_HANDLE_VALUE;
        }
        DWORD remaining = static_cast<DWORD>(options.waitMilliseconds - elapsed);
        if (error == ERROR_FILE_NOT_FOUND) {
            Sleep(remaining < PollMilliseconds ? remaining : PollMilliseconds);
        } else if (!WaitNamedPipeW(name, remaining)) {
            // The pipe may have gone between the two calls; anything else ends the wait.
            error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND) {
                ReportOpenFailure(options, WIDE("WaitNamedPipeW"), error);
                return INVALID_HANDLE_VALUE;
            }
        }
    }
}

bool PipeClosed(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_NO_DATA;
}

// Reads one reply message, piece by piece while the server reports more of it; with
// --pause-after-piece it waits after the first piece when more of the reply remains.
int ReadReply(HANDLE pipe, const Options &options) {
    const DWORD readSize = options.readSize;
    std::vector<BYTE> reply;
    std::vector<BYTE> piece(readSize);
    for (bool first = true;; first = false) {
        DWORD bytesRead = 0;
        BOOL complete = ReadFile(pipe, piece.data(), readSize, &bytesRead, nullptr);
        DWORD error = complete ? ERROR_SUCCESS : GetLastError();
        reply.insert(reply.end(), piece.begin(), piece.begin() + bytesRead);
        if (complete) {
            break;
        }
        if (error == ERROR_MORE_DATA) {
            if (first && options.pauseAfterPieceSeconds > 0) {
                if (!options.quiet) {
                    Print(WIDE("Read %ld bytes of the reply, waiting %ld s before reading on\n"),
                          static_cast<LONG>(bytesRead),
                          static_cast<LONG>(options.pauseAfterPieceSeconds));
                }
                Sleep(options.pauseAfterPieceSeconds * 1000);
            }
            continue;
        }
        if (PipeClosed(error)) {
            ConsolePrintError(
                DIAGNOSTIC("no reply: the server closed the pipe without one (ReadFile w/err "
                           "0x%08lx)"),
                error);
            return ExitNoReply;
        }
        ConsolePrintError(DIAGNOSTIC("reading the reply failed (ReadFile w/err 0x%08lx)"), error);
        return ExitError;
    }
    // Text up to its NUL or its last whole code unit: with --quiet the word as it came, else
    // shown safely, as the server could send anything.
    std::vector<WCHAR> text(reply.size() / 2 + 1, 0);
    for (size_t i = 0; i + 1 < reply.size(); i += 2) {
        WCHAR unit = static_cast<WCHAR>(reply[i] | (reply[i + 1] << 8));
        if (unit == 0) {
            break;
        }
        text[i / 2] = unit;
    }
    if (options.quiet) {
        Print(WIDE("%s\n"), text.data());
    } else {
        Print(WIDE("Reply %ld bytes: \"%s\"\n"), static_cast<LONG>(reply.size()),
              Shown(Text(text.data())).c_str());
    }
    return ExitReply;
}

int Exchange(const Options &options, HANDLE pipe, const std::vector<BYTE> &request) {
    const bool say = !options.quiet;
    if (options.closeWithoutWriting) {
        if (say) {
            Print(WIDE("Closing without writing\n"));
        }
        return ExitReply;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        ConsolePrintError(DIAGNOSTIC("%s cannot be read as messages: is it a message-mode pipe? "
                                     "(SetNamedPipeHandleState w/err 0x%08lx)"),
                          Shown(options.pipeName).c_str(), GetLastError());
        return ExitError;
    }
    if (options.pauseBeforeWritingSeconds > 0) {
        if (say) {
            Print(WIDE("Waiting %ld s before writing\n"),
                  static_cast<LONG>(options.pauseBeforeWritingSeconds));
        }
        Sleep(options.pauseBeforeWritingSeconds * 1000);
    }
    DWORD bytesWritten = 0;
    if (!WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &bytesWritten,
                   nullptr)) {
        DWORD error = GetLastError();
        ConsolePrintError(PipeClosed(error)
                              ? DIAGNOSTIC("the server closed the pipe before the request was "
                                           "written (WriteFile w/err 0x%08lx)")
                              : DIAGNOSTIC("writing the request failed (WriteFile w/err 0x%08lx)"),
                          error);
        return ExitError;
    }
    if (say) {
        Print(WIDE("Sent %ld bytes\n"), static_cast<LONG>(bytesWritten));
    }
    if (options.noRead) {
        if (say) {
            Print(WIDE("Keeping the pipe open for %ld s without reading\n"),
                  static_cast<LONG>(options.noReadSeconds));
        }
        Sleep(options.noReadSeconds * 1000);
        return ExitReply;
    }
    return ReadReply(pipe, options);
}

} // namespace

int WideMain(int argc, WCHAR *argv[]) {
    Options options;
    if (!ParseArguments(argc, argv, &options)) {
        return ExitError;
    }
    if (options.help) {
        Print(WIDE("%s"), UsageRequests);
        PrintLimitLines();
        Print(WIDE("%s"), UsageOptions);
        return Finish(ExitReply);
    }
    if (options.version) {
        Print(WIDE("pipeword-client ") PIPEWORD_VERSION WIDE("\n"));
        return Finish(ExitReply);
    }
    // A file that cannot be read is reported before anything touches the pipe.
    std::vector<BYTE> request;
    if (!options.closeWithoutWriting && !BuildRequest(options, &request)) {
        return ExitError;
    }
    // So is a request larger than this system's pipes carry, which would fail in WriteFile.
    // The limit takes longer to find: it is sought only for a request that does not fit.
    if (!PipeCarriesMessage(static_cast<DWORD>(request.size()))) {
        Text cause;
        DWORD largest = LargestRequestHere(&cause);
        if (request.size() > largest) {
            ConsolePrintError(DIAGNOSTIC("the request of %lu bytes is too large for this system: "
                                         "a pipe message carries at most %lu bytes here, %s"),
                              static_cast<DWORD>(request.size()), largest, cause.c_str());
            return ExitError;
        }
    }
    HANDLE pipe = OpenPipe(options);
    if (pipe == INVALID_HANDLE_VALUE) {
        return Finish(ExitError);
    }
    if (!options.quiet) {
        Print(WIDE("Connected to %s\n"), Shown(options.pipeName).c_str());
    }
    int status = Exchange(options, pipe, request);
    CloseHandle(pipe);
    return Finish(status);
}
