// Text from a request, a reply or a command line as a console line shows it.
#pragma once

#include "platform/platform.h"

// The text a request piece shows on the receive line: the code units up to the first NUL
// or the last whole unit within 'bytes', whichever comes first, NUL-terminated in 'shown'
// (which holds at least bytes / 2 + 1 units). Control characters (U+0001 to U+001F and
// U+007F to U+009F) and the line and paragraph separators (U+2028, U+2029) show as U+FFFD,
// so that a request can neither break the line nor forge another for any reader; every
// other unit shows as it is.
void ShowRequestPiece(const WCHAR *piece, DWORD bytes, WCHAR *shown);
