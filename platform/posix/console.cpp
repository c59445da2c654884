// Linux's console: each formatted line converted to UTF-8 and handed to the kernel in one
// write(2), so a redirected stdout receives lines as they are printed and lines of two
// threads never interleave.
#include "platform/console.h"
#include "platform/posix/layer.h"
#include "platform/posix/syscalls.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

// Every line the program prints fits here; a longer line takes one heap block.
constexpr std::size_t LocalBytes = 8192;

bool WriteAll(int fd, const char *bytes, std::size_t length) {
    while (length > 0) {
        ssize_t written = sys.write(fd, bytes, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

int WriteConsoleLine(ConsoleStream stream, const WCHAR *line, std::size_t units) {
    int fd = stream == ConsoleStream::Error ? STDERR_FILENO : STDOUT_FILENO;
    char local[LocalBytes];
    std::size_t size = WriteUtf8(line, units, local, sizeof local);
    if (size <= sizeof local) {
        return WriteAll(fd, local, size) ? static_cast<int>(size) : -1;
    }
    auto *block = static_cast<char *>(LocalAlloc(LMEM_FIXED, size));
    if (block == nullptr) {
        return -1;
    }
    WriteUtf8(line, units, block, size);
    int result = WriteAll(fd, block, size) ? static_cast<int>(size) : -1;
    LocalFree(block);
    return result;
}

FILE *OpenFileBytes(const WCHAR *path) {
    return std::fopen(Utf16ToUtf8(path).c_str(), "rb");
}
