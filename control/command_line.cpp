#include "control/command_line.h"
#include "control/run_state.h"

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
        }
        return true;
    }
    return false;
}
