// pipeword-client: opens the server's pipe, writes one request message and prints the reply.
// Exit status: 0 when a reply arrived (or when told not to read one), 1 when the pipe was
// closed without a reply, 2 on any error.
#include "platform/platform.h"

#include <cstdio>
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

enum RequestKind { RequestText, RequestFile, RequestFiller, RequestEmpty };

struct Options {
    const WCHAR *pipeName = WIDE("\\\\.\\pipe\\SamplePipe");
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
    bool help = false;
};

const WCHAR *const Usage =
    WIDE("Usage: pipeword-client [options] [TEXT]\n"
         "Opens a message-mode named pipe, writes one request and prints the reply.\n"
         "\n"
         "Request (one of):\n"
         "  TEXT                     UTF-16LE text with its NUL (default: Hello)\n"
         "  --file PATH              the file's bytes, as they are\n"
         "  --bytes N                N bytes of filler: the letters a to z in UTF-16LE, repeated\n"
         "  --empty                  a zero-byte message\n"
         "\n"
         "Options:\n"
         "  --pipe NAME              pipe to open (default: \\\\.\\pipe\\SamplePipe)\n"
         "  --wait MS                how long to wait for the pipe to exist or be free (default: "
         "5000)\n"
         "  --read-size N            read the reply in pieces of at most N bytes (default: 4096)\n"
         "  --close-without-writing  connect, then close without writing\n"
         "  --no-read SECONDS        write the request, then keep the pipe open that long unread\n"
         "  --pause-before-writing SECONDS\n"
         "                           connect, then wait that long before writing the request\n"
         "  --pause-after-piece SECONDS\n"
         "                           read one piece of the reply (see --read-size), then wait\n"
         "                           that long before reading the rest\n"
         "  --help                   this text\n"
         "\n"
         "Exit status: 0 reply received (or not asked for), 1 pipe closed without a reply,\n"
         "2 error.\n");

bool SameText(const WCHAR *left, const WCHAR *right) {
    for (; *left == *right; ++left, ++right) {
        if (*left == 0) {
            return true;
        }
    }
    return false;
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

bool Complain(const WCHAR *message, const WCHAR *argument) {
    ConsolePrint(WIDE("pipeword-client: %s%s (try --help)\n"), message, argument);
    return false;
}

bool ParseArguments(int argc, WCHAR *argv[], Options *options) {
    int requests = 0;
    for (int i = 1; i < argc; ++i) {
        const WCHAR *argument = argv[i];
        const WCHAR *value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool takesValue =
            SameText(argument, WIDE("--pipe")) || SameText(argument, WIDE("--wait")) ||
            SameText(argument, WIDE("--file")) || SameText(argument, WIDE("--bytes")) ||
            SameText(argument, WIDE("--read-size")) || SameText(argument, WIDE("--no-read")) ||
            SameText(argument, WIDE("--pause-before-writing")) ||
            SameText(argument, WIDE("--pause-after-piece"));
        if (takesValue && value == nullptr) {
            return Complain(WIDE("missing value after "), argument);
        }
        if (SameText(argument, WIDE("--help"))) {
            options->help = true;
        } else if (SameText(argument, WIDE("--pipe"))) {
            options->pipeName = value;
        } else if (SameText(argument, WIDE("--wait"))) {
            if (!ParseCount(value, 24 * 60 * 60 * 1000, &options->waitMilliseconds)) {
                return Complain(WIDE("--wait takes milliseconds, not "), value);
            }
        } else if (SameText(argument, WIDE("--file"))) {
            options->kind = RequestFile;
            options->path = value;
            ++requests;
        } else if (SameText(argument, WIDE("--bytes"))) {
            if (!ParseCount(value, LargestRequest, &options->fillerBytes)) {
                return Complain(WIDE("--bytes takes a count up to 16777216, not "), value);
            }
            options->kind = RequestFiller;
            ++requests;
        } else if (SameText(argument, WIDE("--read-size"))) {
            if (!ParseCount(value, LargestRequest, &options->readSize) || options->readSize == 0) {
                return Complain(WIDE("--read-size takes a count from 1 to 16777216, not "), value);
            }
        } else if (SameText(argument, WIDE("--no-read"))) {
            if (!ParseCount(value, 24 * 60 * 60, &options->noReadSeconds)) {
                return Complain(WIDE("--no-read takes seconds, not "), value);
            }
            options->noRead = true;
        } else if (SameText(argument, WIDE("--pause-before-writing"))) {
            if (!ParseCount(value, 24 * 60 * 60, &options->pauseBeforeWritingSeconds)) {
                return Complain(WIDE("--pause-before-writing takes seconds, not "), value);
            }
        } else if (SameText(argument, WIDE("--pause-after-piece"))) {
            if (!ParseCount(value, 24 * 60 * 60, &options->pauseAfterPieceSeconds)) {
                return Complain(WIDE("--pause-after-piece takes seconds, not "), value);
            }
        } else if (SameText(argument, WIDE("--empty"))) {
            options->kind = RequestEmpty;
            ++requests;
        } else if (SameText(argument, WIDE("--close-without-writing"))) {
            options->closeWithoutWriting = true;
        } else if (argument[0] == WIDE('-') && argument[1] == WIDE('-')) {
            return Complain(WIDE("unknown option "), argument);
        } else {
            options->kind = RequestText;
            options->text = argument;
            ++requests;
        }
        if (takesValue) {
            ++i;
        }
    }
    if (requests > 1) {
        return Complain(WIDE("give at most one of TEXT, --file, --bytes and --empty"), WIDE(""));
    }
    if (options->closeWithoutWriting &&
        (requests > 0 || options->noRead || options->pauseBeforeWritingSeconds > 0 ||
         options->pauseAfterPieceSeconds > 0)) {
        return Complain(WIDE("--close-without-writing sends nothing and reads nothing"), WIDE(""));
    }
    if (options->noRead && options->pauseAfterPieceSeconds > 0) {
        return Complain(WIDE("--no-read reads nothing, so no piece to pause after"), WIDE(""));
    }
    return true;
}

// UTF-16 to UTF-8 for a path handed to the C runtime; a lone surrogate becomes U+FFFD.
// (The Windows C runtime reads the path in the ANSI code page, so there a path outside
// ASCII may not open.)
std::string Utf8Path(const WCHAR *path) {
    std::string out;
    for (const WCHAR *p = path; *p != 0; ++p) {
        unsigned long code = static_cast<unsigned long>(*p);
        if (code >= 0xD800 && code <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<unsigned long>(p[1]) - 0xDC00);
            ++p;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

bool ReadWholeFile(const WCHAR *path, std::vector<BYTE> *bytes) {
    FILE *file = std::fopen(Utf8Path(path).c_str(), "rb");
    if (file == nullptr) {
        ConsolePrint(WIDE("Unable to open %s\n"), path);
        return false;
    }
    BYTE chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0 &&
           bytes->size() + got <= LargestRequest) {
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    bool failed = std::ferror(file) != 0 || got > 0;
    std::fclose(file);
    if (failed) {
        ConsolePrint(WIDE("Unable to read %s whole (at most 16777216 bytes)\n"), path);
    }
    return !failed;
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

// Opens the client end, retrying while the pipe does not exist yet and waiting while every
// instance is busy, for at most the --wait time. Prints why on failure.
HANDLE OpenPipe(const Options &options) {
    const LONGLONG start = NowMilliseconds();
    for (;;) {
        HANDLE pipe = CreateFileW(options.pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            return pipe;
        }
        DWORD error = GetLastError();
        LONGLONG elapsed = NowMilliseconds() - start;
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PIPE_BUSY) {
            ConsolePrint(WIDE("Unable to open %s: CreateFileW failed w/err 0x%08lx\n"),
                         options.pipeName, error);
            return INVALID_HANDLE_VALUE;
        }
        if (elapsed >= options.waitMilliseconds) {
            ConsolePrint(WIDE("Unable to open %s within %ld ms: CreateFileW failed w/err "
                              "0x%08lx\n"),
                         options.pipeName, static_cast<LONG>(options.waitMilliseconds), error);
            return INVALID_HANDLE_VALUE;
        }
        DWORD remaining = static_cast<DWORD>(options.waitMilliseconds - elapsed);
        if (error == ERROR_FILE_NOT_FOUND) {
            Sleep(remaining < PollMilliseconds ? remaining : PollMilliseconds);
        } else if (!WaitNamedPipeW(options.pipeName, remaining)) {
            // The pipe may have gone between the two calls; anything else ends the wait.
            error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND) {
                ConsolePrint(WIDE("%s stayed busy: WaitNamedPipeW failed w/err 0x%08lx\n"),
                             options.pipeName, error);
                return INVALID_HANDLE_VALUE;
            }
        }
    }
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
                ConsolePrint(WIDE("Read %ld bytes of the reply, waiting %ld s before reading on\n"),
                             static_cast<LONG>(bytesRead),
                             static_cast<LONG>(options.pauseAfterPieceSeconds));
                Sleep(options.pauseAfterPieceSeconds * 1000);
            }
            continue;
        }
        if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) {
            ConsolePrint(WIDE("No reply: the pipe was closed (ReadFile w/err 0x%08lx)\n"), error);
            return ExitNoReply;
        }
        ConsolePrint(WIDE("ReadFile from pipe failed w/err 0x%08lx\n"), error);
        return ExitError;
    }
    // Shown as UTF-16 text up to its NUL or its last whole code unit.
    std::vector<WCHAR> text(reply.size() / 2 + 1, 0);
    for (size_t i = 0; i + 1 < reply.size(); i += 2) {
        WCHAR unit = static_cast<WCHAR>(reply[i] | (reply[i + 1] << 8));
        if (unit == 0) {
            break;
        }
        text[i / 2] = unit;
    }
    ConsolePrint(WIDE("Reply %ld bytes: \"%s\"\n"), static_cast<LONG>(reply.size()), text.data());
    return ExitReply;
}

int Exchange(const Options &options, HANDLE pipe, const std::vector<BYTE> &request) {
    if (options.closeWithoutWriting) {
        ConsolePrint(WIDE("Closing without writing\n"));
        return ExitReply;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        ConsolePrint(WIDE("SetNamedPipeHandleState failed w/err 0x%08lx\n"), GetLastError());
        return ExitError;
    }
    if (options.pauseBeforeWritingSeconds > 0) {
        ConsolePrint(WIDE("Waiting %ld s before writing\n"),
                     static_cast<LONG>(options.pauseBeforeWritingSeconds));
        Sleep(options.pauseBeforeWritingSeconds * 1000);
    }
    DWORD bytesWritten = 0;
    if (!WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &bytesWritten,
                   nullptr)) {
        ConsolePrint(WIDE("WriteFile to pipe failed w/err 0x%08lx\n"), GetLastError());
        return ExitError;
    }
    ConsolePrint(WIDE("Sent %ld bytes\n"), static_cast<LONG>(bytesWritten));
    if (options.noRead) {
        ConsolePrint(WIDE("Keeping the pipe open for %ld s without reading\n"),
                     static_cast<LONG>(options.noReadSeconds));
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
        ConsolePrint(WIDE("%s"), Usage);
        return ExitReply;
    }
    // A file that cannot be read is reported before anything touches the pipe.
    std::vector<BYTE> request;
    if (!options.closeWithoutWriting && !BuildRequest(options, &request)) {
        return ExitError;
    }
    HANDLE pipe = OpenPipe(options);
    if (pipe == INVALID_HANDLE_VALUE) {
        return ExitError;
    }
    ConsolePrint(WIDE("Connected to %s\n"), options.pipeName);
    int status = Exchange(options, pipe, request);
    CloseHandle(pipe);
    return status;
}
