// Internal to the POSIX layer: why the last pipe call of this thread failed, in words, for
// PipeFailureCause (failure_cause.cpp), where the Win32 code alone does not tell which check
// refused. The checks note it as they fail; the last-error code stays theirs to set.
#pragma once

#include "platform/posix/win32.h"

#include <sys/types.h>

// Each pipe call starts afresh.
void ForgetCause();
// Records why the call fails with 'code'.
[[gnu::format(printf, 2, 3)]] void NoteCause(DWORD code, const char *format, ...);
// Whether a cause has been noted since the call started.
bool CauseNoted();
// What a file is, for a cause: "/tmp/.pipe/X is a symbolic link, not a pipe".
const char *KindOf(mode_t mode);
