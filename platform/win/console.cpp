// Wide console output on Windows. The line is formatted with the Microsoft semantics the
// program's format strings are written for (%s is a wide string; mingw's C++ runtime would
// otherwise make it narrow), then written whole in one call: to a console as UTF-16, to a
// redirected stdout as UTF-8 with CR LF line ends. Converting here rather than through the
// C runtime's locale keeps text outside ASCII from cutting a line short.
#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

// The Microsoft-semantics formatter of the mingw runtime; its header only declares it when
// the C99 printf family is not selected, which the C++ runtime always selects.
extern "C" int __cdecl __ms_vsnwprintf(wchar_t *buffer, size_t count, const wchar_t *format,
                                       va_list arguments);

namespace {

bool WriteWhole(HANDLE output, const void *bytes, DWORD length) {
    DWORD written = 0;
    return WriteFile(output, bytes, length, &written, nullptr) && written == length;
}

int PrintTo(DWORD stream, const WCHAR *format, va_list arguments) {
    WCHAR line[4096];
    int units = __ms_vsnwprintf(line, sizeof line / sizeof line[0] - 1, format, arguments);
    if (units < 0) {
        // Longer than the buffer: the line still goes out, cut at its capacity.
        units = sizeof line / sizeof line[0] - 1;
    }
    line[units] = 0;

    HANDLE output = GetStdHandle(stream);
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode)) {
        DWORD written = 0;
        return WriteConsoleW(output, line, static_cast<DWORD>(units), &written, nullptr) ? units
                                                                                         : -1;
    }
    // Each LF becomes CR LF; each code unit takes at most 3 bytes of UTF-8.
    WCHAR crlf[2 * (sizeof line / sizeof line[0])];
    int length = 0;
    for (int i = 0; i < units; ++i) {
        if (line[i] == L'\n') {
            crlf[length++] = L'\r';
        }
        crlf[length++] = line[i];
    }
    char bytes[3 * sizeof crlf / sizeof crlf[0]];
    int size = WideCharToMultiByte(CP_UTF8, 0, crlf, length, bytes, sizeof bytes, nullptr, nullptr);
    if (length > 0 && size <= 0) {
        return -1;
    }
    return WriteWhole(output, bytes, static_cast<DWORD>(size)) ? units : -1;
}

} // namespace

int ConsolePrint(const WCHAR *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int result = PrintTo(STD_OUTPUT_HANDLE, format, arguments);
    va_end(arguments);
    return result;
}

int ConsolePrintError(const WCHAR *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int result = PrintTo(STD_ERROR_HANDLE, format, arguments);
    va_end(arguments);
    return result;
}
