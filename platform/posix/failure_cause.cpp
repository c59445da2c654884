// Why a pipe call failed, in words. Each thread keeps the cause of its last failing pipe call
// beside the code it failed with; PipeFailureCause gives it out only for that same code, so
// that a cause never outlives the failure it explains.
#include "platform/posix/failure_cause.h"

#include "platform/platform.h"
#include "platform/posix/layer.h"

#include <cstdarg>
#include <cstdio>

#include <sys/stat.h>

namespace {

struct Cause {
    DWORD code = ERROR_SUCCESS;
    char text[PipeCauseCapacity] = {}; // in UTF-16 no more code units than bytes
};
thread_local Cause cause;

} // namespace

void ForgetCause() {
    cause.code = ERROR_SUCCESS;
    cause.text[0] = 0;
}

void NoteCause(DWORD code, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(cause.text, sizeof cause.text, format, arguments);
    va_end(arguments);
    cause.code = code;
}

bool CauseNoted() {
    return cause.code != ERROR_SUCCESS;
}

const char *KindOf(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFLNK:
        return "a symbolic link";
    case S_IFREG:
        return "a file";
    case S_IFDIR:
        return "a directory";
    case S_IFSOCK:
        return "a socket";
    case S_IFIFO:
        return "a FIFO";
    default:
        return "a device";
    }
}

DWORD PipeFailureCause(DWORD error, WCHAR *text, DWORD capacity) {
    if (error == ERROR_SUCCESS || error != cause.code) {
        return 0;
    }
    return CopyToWide(cause.text, text, capacity);
}
