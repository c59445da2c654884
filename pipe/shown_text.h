// Text from a request, a reply, a failure cause or a command line as a console line shows it.
#pragma once

#include "platform/platform.h"

// The text as a console line shows it safely: the code units up to the first NUL or the
// last whole unit within 'bytes', whichever comes first, NUL-terminated in 'shown' (which
// holds at least bytes / 2 + 1 units). Control characters (U+0001 to U+001F and U+007F to
// U+009F) and the line and paragraph separators (U+2028, U+2029) show as U+FFFD, so that the
// text (a request piece, a failure cause quoting paths from anywhere, what a server sent
// the client) can neither break the line nor forge another for any reader; every other unit
// shows as it is.
void ShowSafely(const WCHAR *text, DWORD bytes, WCHAR *shown);
