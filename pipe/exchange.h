// The pipe worker: one client, one request, one reply.
#pragma once

#include "platform/platform.h"

// The worker routine; its argument is ignored.
void __cdecl PipeServerThread(void *argument);

// The text a request piece shows on the receive line: the code units up to the first NUL
// or the last whole unit within 'bytes', whichever comes first, NUL-terminated in 'shown'
// (which holds at least bytes / 2 + 1 units). Control characters (U+0001 to U+001F and
// U+007F) show as U+FFFD, so a request can neither break the line nor forge another.
void ShowRequestPiece(const WCHAR *piece, DWORD bytes, WCHAR *shown);
