// The pipe worker: one client, one request, one reply.
#pragma once

#include "pipe/shown_text.h"
#include "platform/platform.h"

// The worker routine; its argument is ignored.
void __cdecl PipeServerThread(void *argument);
