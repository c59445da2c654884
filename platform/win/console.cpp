// Windows' console: a console takes each formatted line as UTF-16; a redirected standard
// output gets it as UTF-8 with CR LF line ends, in one write. Converting here rather than
// through the C runtime's locale keeps text outside ASCII from cutting a line short.
#include "platform/console.h"

namespace {

// Every line the program prints fits here; a longer line takes one heap block.
constexpr std::size_t LocalBytes = 8192;

// The line in UTF-8 with each LF as CR LF, into 'bytes', which holds 3 bytes a code unit (an
// LF takes 2); returns the size, or -1.
int Utf8WithCrLf(const WCHAR *line, std::size_t units, char *bytes) {
    std::size_t size = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= units; ++i) {
        if (i < units && line[i] != L'\n') {
            continue;
        }
        // The text before this LF, which never splits a surrogate pair.
        if (i > start) {
            int length = static_cast<int>(i - start);
            int converted = WideCharToMultiByte(CP_UTF8, 0, line + start, length, bytes + size,
                                                3 * length, nullptr, nullptr);
            if (converted <= 0) {
                return -1;
            }
            size += static_cast<std::size_t>(converted);
        }
        if (i < units) {
            bytes[size++] = '\r';
            bytes[size++] = '\n';
        }
        start = i + 1;
    }
    return static_cast<int>(size);
}

} // namespace

int WriteConsoleLine(ConsoleStream stream, const WCHAR *line, std::size_t units) {
    HANDLE output =
        GetStdHandle(stream == ConsoleStream::Error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD written = 0;
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode)) {
        return WriteConsoleW(output, line, static_cast<DWORD>(units), &written, nullptr) &&
                       written == units
                   ? static_cast<int>(units)
                   : -1;
    }
    char local[LocalBytes];
    char *bytes = local;
    if (3 * units > sizeof local) {
        bytes = static_cast<char *>(LocalAlloc(LMEM_FIXED, 3 * units));
        if (bytes == nullptr) {
            return -1;
        }
    }
    int size = Utf8WithCrLf(line, units, bytes);
    int result = size >= 0 &&
                         WriteFile(output, bytes, static_cast<DWORD>(size), &written, nullptr) &&
                         written == static_cast<DWORD>(size)
                     ? static_cast<int>(units)
                     : -1;
    if (bytes != local) {
        LocalFree(bytes);
    }
    return result;
}
