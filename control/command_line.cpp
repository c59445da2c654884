#include "control/command_line.h"
#include "control/run_state.h"

#include "pipe/shown_text.h"

namespace {

// Exact comparison: code unit by code unit, case-sensitive, both ending at the same place.
bool SameText(const WCHAR *left, const WCHAR *right) {
    if (left == nullptr || right == nullptr) {
        return false;
    }
    for (; *left == *right; ++left, ++right) {
        if (*left == 0) {
            return true;
        }
    }
    return false;
}

// How much of an unknown argument its line shows.
constexpr DWORD MostUnitsShown = 200;

// Tells whoever typed it that a single argument is no word this server knows. The run goes
// on with no reply, as ever; the line goes to standard error, so that standard output, which
// launchers read, stays as it is. A long argument is cut short, never within a surrogate
// pair.
void SayUnknownWord(const WCHAR *argument) {
    DWORD units = 0;
    while (units < MostUnitsShown && argument[units] != 0) {
        ++units;
    }
    bool cut = argument[units] != 0;
    if (cut && argument[units - 1] >= 0xD800 && argument[units - 1] <= 0xDBFF) {
        --units;
    }
    WCHAR shown[MostUnitsShown + 1];
    ShowSafely(argument, units * sizeof(WCHAR), shown);
    ConsolePrintError(WIDE("pipeword: \"%s%s\" is not a word this server knows (Stop, Continue, ")
                          WIDE("or none for Start): it runs with no reply\n"),
                      shown, cut ? WIDE("...") : WIDE(""));
}

} // namespace

bool ReadCommandLine(int argc, WCHAR *argv[]) {
    if (argc == 1) {
        RunState.replyMode = ReplyStart;
        return true;
    }
    if (argc == 2) {
        // Any other single argument keeps the mode at its start value: no reply.
        if (SameText(argv[1], WIDE("Continue"))) {
            RunState.replyMode = ReplyContinue;
        } else if (SameText(argv[1], WIDE("Stop"))) {
            RunState.replyMode = ReplyStop;
        } else {
            SayUnknownWord(argv[1]);
        }
        return true;
    }
    return false;
}
