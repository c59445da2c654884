// pipeword-client's command line, read as getopt_long reads one: options before, among or
// after the TEXT; "--" ends them; "-" alone is TEXT; a long option's value after "=" or as the
// next argument, and its name cut short while it stays unambiguous; short options combined
// ("-qh"), a short option's value (should one take a value) the rest of its argument or the
// next one. Every refusal is one line on standard error: what is wrong, then "(see --help)".
#include "client/options.h"

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

const WCHAR *const UsageOptions =
    WIDE("\n"
         "Options (--name VALUE or --name=VALUE; a long name may be cut short while it\n"
         "stays unambiguous, and short options combined, as in -qh):\n"
         "  --pipe NAME              pipe to open: \\\\.\\pipe\\NAME or NAME alone\n"
         "                           (default: SamplePipe)\n"
         "  --wait MS                how long to wait for the pipe to exist or be free\n"
         "                           (default: %lu, at most %lu)\n"
         "  -q, --quiet              print only the reply's word and a newline\n"
         "  --read-size N            read the reply in pieces of at most N bytes\n"
         "                           (default: %lu, from 1 to %lu)\n"
         "  --close-without-writing  connect, then close without writing\n"
         "  --no-read SECONDS        write the request, then keep the pipe open that\n"
         "                           long unread (at most %lu)\n"
         "  --pause-before-writing SECONDS\n"
         "                           connect, then wait that long before writing the\n"
         "                           request (at most %lu)\n"
         "  --pause-after-piece SECONDS\n"
         "                           read one piece of the reply (see --read-size),\n"
         "                           then wait that long before reading the rest\n"
         "                           (at most %lu)\n"
         "  -h, --help               this text\n"
         "  --version                the version, copyright and licence\n"
         "\n"
         "Each problem is one line on standard error; a failed step of the exchange\n"
         "ends it with the Win32 error code.\n"
         "Exit status: 0 reply received (or not asked for), 1 pipe closed without a\n"
         "reply, 2 error.\n");

namespace {

enum OptionId {
    OptionPipe,
    OptionFile,
    OptionBytes,
    OptionEmpty,
    OptionOther, // a flag or a count alone
};

struct OptionName {
    const WCHAR *name; // without its "--"
    WCHAR letter;      // the short form, or 0
    OptionId id;
    bool takesValue;
    bool Options::*flag; // what the option sets, or null
    // A count that the option takes: where it goes, from 'least' to 'limit', and its unit
    // for a refusal ("--NAME takes UNIT up to LIMIT, not 'VALUE'").
    DWORD Options::*count;
    DWORD least;
    DWORD limit;
    const WCHAR *unit;
};

const OptionName OptionNames[] = {
    {WIDE("pipe"), 0, OptionPipe, true, nullptr, nullptr, 0, 0, nullptr},
    {WIDE("wait"), 0, OptionOther, true, nullptr, &Options::waitMilliseconds, 0,
     PIPEWORD_LONGEST_WAIT, WIDE("milliseconds")},
    {WIDE("file"), 0, OptionFile, true, nullptr, nullptr, 0, 0, nullptr},
    {WIDE("bytes"), 0, OptionBytes, true, nullptr, &Options::fillerBytes, 0,
     PIPEWORD_LARGEST_REQUEST, WIDE("a count")},
    {WIDE("empty"), 0, OptionEmpty, false, nullptr, nullptr, 0, 0, nullptr},
    {WIDE("read-size"), 0, OptionOther, true, nullptr, &Options::readSize, 1,
     PIPEWORD_LARGEST_REQUEST, WIDE("a count")},
    {WIDE("close-without-writing"), 0, OptionOther, false, &Options::closeWithoutWriting, nullptr,
     0, 0, nullptr},
    {WIDE("no-read"), 0, OptionOther, true, &Options::noRead, &Options::noReadSeconds, 0,
     LongestPause, WIDE("seconds")},
    {WIDE("pause-before-writing"), 0, OptionOther, true, nullptr,
     &Options::pauseBeforeWritingSeconds, 0, LongestPause, WIDE("seconds")},
    {WIDE("pause-after-piece"), 0, OptionOther, true, nullptr, &Options::pauseAfterPieceSeconds, 0,
     LongestPause, WIDE("seconds")},
    {WIDE("quiet"), WIDE('q'), OptionOther, false, &Options::quiet, nullptr, 0, 0, nullptr},
    {WIDE("help"), WIDE('h'), OptionOther, false, &Options::help, nullptr, 0, 0, nullptr},
    {WIDE("version"), 0, OptionOther, false, &Options::version, nullptr, 0, 0, nullptr},
};

// A refused command line, in one line on standard error, so that a script that keeps the
// last line of it keeps the reason: what is wrong (with %s for the argument, shown safely,
// as it may hold anything), then where to read on.
bool Refuse(const WCHAR *format, const WCHAR *argument = WIDE("")) {
    const Text line = Text(WIDE("pipeword-client: ")) + format + WIDE(" (see --help)\n");
    ConsolePrintError(line.c_str(), Shown(Text(argument)).c_str());
    return false;
}

// "--wait takes milliseconds up to 86400000, not 'soon'", "--read-size takes a count from 1
// to 16777216, not '0'": the range is the one the option's count is held to.
bool RefuseValue(const OptionName &option, const WCHAR *value) {
    const Text range = option.least == 0 ? WIDE(" up to ") + Decimal(option.limit)
                                         : WIDE(" from ") + Decimal(option.least) + WIDE(" to ") +
                                               Decimal(option.limit);
    const Text format =
        Text(WIDE("--")) + option.name + WIDE(" takes ") + option.unit + range + WIDE(", not '%s'");
    return Refuse(format.c_str(), value);
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

// Whether an argument arrived as the text it was given as. On Linux bytes that are not UTF-8
// arrive as U+FFFD; on Windows a lone surrogate has no UTF-8 for a path and no text for a
// server to show. Either would silently become another name or request, so both are refused,
// and with them U+FFFD itself, which cannot be told from the bytes it stands for.
bool WellFormed(const Text &text) {
    for (std::size_t index = 0; index < text.size();) {
        if (NextCodePoint(text.data(), text.size(), &index) == 0xFFFD) {
            return false;
        }
    }
    return true;
}

bool AllWellFormed(int argc, WCHAR *argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (!WellFormed(argv[i])) {
            return Refuse(WIDE("the argument '%s' is not valid UTF-8 (U+FFFD, which stands for "
                               "such bytes, counts as not valid)"),
                          argv[i]);
        }
    }
    return true;
}

// The long option that a name (what follows "--", up to any "=") names, as getopt_long
// reads it: the option of exactly that name, else the only one whose name starts with it.
// Null when none does, or when several do (their names are then in 'candidates').
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
        return Refuse(WIDE("--pipe needs a name"));
    }
    bool bare = true;
    for (const WCHAR *p = value; *p != 0; ++p) {
        bare = bare && *p != WIDE('\\');
    }
    options->pipeName = bare ? Text(WIDE("\\\\.\\pipe\\")) + value : Text(value);
    return true;
}

bool ApplyOption(const OptionName &option, const WCHAR *value, Options *options, int *requests) {
    if (option.flag != nullptr) {
        options->*option.flag = true;
    }
    if (option.count != nullptr && (!ParseCount(value, option.limit, &(options->*option.count)) ||
                                    options->*option.count < option.least)) {
        return RefuseValue(option, value);
    }
    switch (option.id) {
    case OptionPipe:
        return SetPipeName(value, options);
    case OptionFile:
        options->path = value;
        options->kind = RequestFile;
        break;
    case OptionBytes:
        options->kind = RequestFiller;
        break;
    case OptionEmpty:
        options->kind = RequestEmpty;
        break;
    case OptionOther:
        return true;
    }
    ++*requests;
    return true;
}

// The short options of one argument ("-qh"); a value is the rest of it or the next argument,
// at *next, which it then takes.
bool ParseShortOptions(const WCHAR *argument, int argc, WCHAR *argv[], int *next, Options *options,
                       int *requests) {
    for (const WCHAR *letter = argument + 1; *letter != 0; ++letter) {
        const OptionName *option = FindShortOption(*letter);
        if (option == nullptr) {
            const WCHAR shortName[] = {WIDE('-'), *letter, 0};
            return Refuse(WIDE("unknown option '%s'; to send text that starts with '-', put "
                               "'--' before it"),
                          shortName);
        }
        const WCHAR *value = nullptr;
        if (option->takesValue) {
            if (letter[1] != 0) {
                value = letter + 1;
            } else if (*next + 1 < argc) {
                value = argv[++*next];
            } else {
                return Refuse(WIDE("--%s needs a value"), option->name);
            }
        }
        if (!ApplyOption(*option, value, options, requests)) {
            return false;
        }
        if (value != nullptr) {
            break;
        }
    }
    return true;
}

// One long option ("--wait=300", "--wai 300"); a value may be the next argument, at *next.
bool ParseLongOption(const WCHAR *argument, int argc, WCHAR *argv[], int *next, Options *options,
                     int *requests) {
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
        return Refuse(WIDE("option '%s"), ambiguous.c_str());
    }
    if (option == nullptr) {
        return Refuse(WIDE("unknown option '%s'"), argument);
    }
    const WCHAR *value = name[length] == WIDE('=') ? name + length + 1 : nullptr;
    if (value != nullptr && !option->takesValue) {
        return Refuse(WIDE("--%s takes no value"), option->name);
    }
    if (option->takesValue && value == nullptr) {
        if (*next + 1 == argc) {
            return Refuse(WIDE("--%s needs a value"), option->name);
        }
        value = argv[++*next];
    }
    return ApplyOption(*option, value, options, requests);
}

// The options that cannot go together.
bool CheckCombination(const Options &options, int requests) {
    if (requests > 1) {
        return Refuse(WIDE("give at most one of TEXT, --file, --bytes and --empty"));
    }
    if (options.closeWithoutWriting &&
        (requests > 0 || options.noRead || options.pauseBeforeWritingSeconds > 0 ||
         options.pauseAfterPieceSeconds > 0)) {
        return Refuse(WIDE("--close-without-writing sends nothing and reads nothing"));
    }
    if (options.noRead && options.pauseAfterPieceSeconds > 0) {
        return Refuse(WIDE("--no-read reads nothing, so no piece to pause after"));
    }
    return true;
}

} // namespace

bool ParseArguments(int argc, WCHAR *argv[], Options *options) {
    if (!AllWellFormed(argc, argv)) {
        return false;
    }
    int requests = 0;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const WCHAR *argument = argv[i];
        bool parsed = true;
        if (!optionsEnded && argument[0] == WIDE('-') && argument[1] == WIDE('-') &&
            argument[2] == 0) {
            optionsEnded = true;
        } else if (optionsEnded || argument[0] != WIDE('-') || argument[1] == 0) {
            options->kind = RequestText;
            options->text = argument;
            ++requests;
        } else if (argument[1] != WIDE('-')) {
            parsed = ParseShortOptions(argument, argc, argv, &i, options, &requests);
        } else {
            parsed = ParseLongOption(argument, argc, argv, &i, options, &requests);
        }
        if (!parsed) {
            return false;
        }
    }
    return CheckCombination(*options, requests);
}
