// Wide console output: formats the program's subset of printf itself, converts to UTF-8 and
// hands each line to the kernel in one write(2), so a redirected stdout receives lines as
// they are printed and lines of two threads never interleave.
#include "platform/platform.h"
#include "platform/posix/layer.h"
#include "platform/posix/syscalls.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

// Formats into out (capacity bytes, UTF-8); returns the bytes the whole line needs, or
// -1 for a format outside the subset.
long FormatUtf8(char *out, std::size_t capacity, const WCHAR *format, va_list arguments) {
    std::size_t used = 0;
    auto put = [&](const char *bytes, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) {
            if (used + i < capacity) {
                out[used + i] = bytes[i];
            }
        }
        used += length;
    };
    auto putNumber = [&](unsigned long long value, unsigned base, std::size_t width,
                         bool negative) {
        char digits[24];
        std::size_t count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
        if (negative) {
            put("-", 1);
        }
        // As printf: the width counts the sign.
        for (std::size_t pad = count + (negative ? 1 : 0); pad < width; ++pad) {
            put("0", 1);
        }
        while (count > 0) {
            put(&digits[--count], 1);
        }
    };

    const WCHAR *literal = format;
    for (const WCHAR *p = format; *p != 0; ++p) {
        if (*p != u'%') {
            continue;
        }
        used += WriteUtf8(literal, static_cast<std::size_t>(p - literal),
                          used < capacity ? out + used : nullptr,
                          used < capacity ? capacity - used : 0);
        ++p;
        // A number may be zero-padded to a width of one or two digits, as in %08lx.
        std::size_t width = 0;
        bool padded = *p == u'0';
        if (padded) {
            const WCHAR *digits = ++p;
            for (; *p >= u'0' && *p <= u'9'; ++p) {
                if (p - digits == 2) {
                    return -1;
                }
                width = width * 10 + static_cast<std::size_t>(*p - u'0');
            }
            if (p == digits) {
                return -1;
            }
        }
        if (*p == u'%' && !padded) {
            put("%", 1);
        } else if (*p == u's' && !padded) {
            const WCHAR *text = va_arg(arguments, const WCHAR *);
            if (text == nullptr) {
                text = u"(null)";
            }
            std::size_t units = 0;
            while (text[units] != 0) {
                ++units;
            }
            used += WriteUtf8(text, units, used < capacity ? out + used : nullptr,
                              used < capacity ? capacity - used : 0);
        } else if (*p == u'l' && (p[1] == u'd' || p[1] == u'u' || p[1] == u'x')) {
            ++p;
            // LONG and DWORD are 32-bit here as on Windows, whatever the width of long.
            if (*p == u'd') {
                std::int32_t value = va_arg(arguments, std::int32_t);
                long long wide = value;
                putNumber(static_cast<unsigned long long>(wide < 0 ? -wide : wide), 10, width,
                          wide < 0);
            } else {
                std::uint32_t value = va_arg(arguments, std::uint32_t);
                putNumber(value, *p == u'x' ? 16 : 10, width, false);
            }
        } else {
            return -1;
        }
        literal = p + 1;
    }
    const WCHAR *end = literal;
    while (*end != 0) {
        ++end;
    }
    used +=
        WriteUtf8(literal, static_cast<std::size_t>(end - literal),
                  used < capacity ? out + used : nullptr, used < capacity ? capacity - used : 0);
    return static_cast<long>(used);
}

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

// Lines the program prints fit the stack buffer (a shown request piece is at most 1024 code
// units); a longer line takes one heap buffer, still written in one call.
int PrintTo(int fd, const WCHAR *format, va_list arguments) {
    char local[8192];
    va_list again;
    va_copy(again, arguments);
    long needed = FormatUtf8(local, sizeof local, format, arguments);
    int result = -1;
    if (needed >= 0 && static_cast<std::size_t>(needed) <= sizeof local) {
        result =
            WriteAll(fd, local, static_cast<std::size_t>(needed)) ? static_cast<int>(needed) : -1;
    } else if (needed >= 0) {
        char *heap = static_cast<char *>(sys.malloc(static_cast<std::size_t>(needed)));
        if (heap != nullptr) {
            FormatUtf8(heap, static_cast<std::size_t>(needed), format, again);
            result = WriteAll(fd, heap, static_cast<std::size_t>(needed)) ? static_cast<int>(needed)
                                                                          : -1;
            sys.free(heap);
        }
    }
    va_end(again);
    return result;
}

} // namespace

int ConsolePrint(const WCHAR *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int result = PrintTo(STDOUT_FILENO, format, arguments);
    va_end(arguments);
    return result;
}

int ConsolePrintError(const WCHAR *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int result = PrintTo(STDERR_FILENO, format, arguments);
    va_end(arguments);
    return result;
}

FILE *OpenFileBytes(const WCHAR *path) {
    return std::fopen(Utf16ToUtf8(path).c_str(), "rb");
}
