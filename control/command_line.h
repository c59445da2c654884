// The command line: which reply mode the program runs in.
#pragma once

#include "platform/platform.h"

// Sets RunState.replyMode from the command line. Returns false for a refused argument
// count (anything but one or two entries, the program path included). A single argument that
// is no word the server knows selects no reply, and is named on standard error.
bool ReadCommandLine(int argc, WCHAR *argv[]);
