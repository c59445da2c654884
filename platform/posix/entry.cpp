// Process entry: converts the UTF-8 argument vector to UTF-16 and calls the same wide
// entry function as on Windows.
#include "platform/platform.h"
#include "platform/posix/layer.h"
#include "platform/posix/syscalls.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <malloc.h>

namespace {

// A process started with descriptor 0, 1 or 2 closed would hand that number to the first
// file it opens: a socket or lock file would then take the console lines, and a client's
// socket its own output as the request. Each closed one is opened on /dev/null (without
// /dev, on the root directory, which reads and writes alike refuse) before anything else.
void OpenStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (sys.fcntl(fd, F_GETFD, 0) != -1 || errno != EBADF) {
            continue;
        }
        int opened = sys.openat(AT_FDCWD, "/dev/null", O_RDWR, mode_t{0});
        if (opened < 0) {
            opened = sys.openat(AT_FDCWD, "/", O_RDONLY | O_DIRECTORY, mode_t{0});
        }
        // The numbers below are open, so an open that succeeds takes this one.
        if (opened != fd) {
            std::abort();
        }
    }
}

} // namespace

int main(int argc, char *argv[]) {
    OpenStandardDescriptors();
    // One heap for all threads, as a Windows process has: the worker's first allocation then
    // takes a block from it instead of setting up an arena of its own (a 128 MiB reservation
    // trimmed to 64 MiB and opened in part: four system calls) on its way to the pipe.
    mallopt(M_ARENA_MAX, 1);
    // A peer that goes away must surface as a last-error code, never as a signal.
    std::signal(SIGPIPE, SIG_IGN);
    // The vector lives until the process ends: returning from main ends the process while
    // the worker may still run, so nothing here may have a destructor.
    auto **wide = new WCHAR *[static_cast<std::size_t>(argc) + 1];
    for (int i = 0; i < argc; ++i) {
        std::u16string converted = Utf8ToUtf16(argv[i]);
        wide[i] = new WCHAR[converted.size() + 1];
        std::memcpy(wide[i], converted.c_str(), (converted.size() + 1) * sizeof(WCHAR));
    }
    wide[argc] = nullptr;
    static WCHAR **arguments = wide;
    return WideMain(argc, arguments);
}
