// pipeword-client's command line: its options, read as getopt_long reads them, and its usage
// text. The limits are libpipeword's (pipeword.h), each written once.
#pragma once

#include "lib/include/pipeword.h"
#include "lib/text.h"

#include <iterator>

// One diagnostic line on standard error.
#define DIAGNOSTIC(text) WIDE("pipeword-client: ") text WIDE("\n")

// The longest pause that an option for testing servers takes, in seconds: a day.
constexpr DWORD LongestPause = 24 * 60 * 60;

enum RequestKind { RequestText, RequestFile, RequestFiller, RequestEmpty };

struct Options {
    Text pipeName = Text(std::begin(PIPEWORD_DEFAULT_PIPE), std::end(PIPEWORD_DEFAULT_PIPE) - 1);
    DWORD waitMilliseconds = PIPEWORD_DEFAULT_WAIT;
    RequestKind kind = RequestText;
    const WCHAR *text = WIDE("Hello");
    const WCHAR *path = nullptr;
    DWORD fillerBytes = 0;
    DWORD readSize = PIPEWORD_READ_SIZE;
    bool closeWithoutWriting = false;
    bool noRead = false;
    DWORD noReadSeconds = 0;
    DWORD pauseBeforeWritingSeconds = 0;
    DWORD pauseAfterPieceSeconds = 0;
    bool quiet = false;
    bool help = false;
    bool version = false;
};

// Reads the command line into 'options'. False when it is refused, after saying why in one
// line on standard error.
bool ParseArguments(int argc, WCHAR *argv[], Options *options);

// The usage text: the requests, then the lines on their size (which the caller finds), then
// the options, a format with the wait's default and limit, the read size's default and
// limit, and the limits of the three pauses.
extern const WCHAR *const UsageRequests;
extern const WCHAR *const UsageOptions;
